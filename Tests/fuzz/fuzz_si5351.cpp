// The Si5351 planning over the whole 64-bit micro-hertz input, and the driver on the virtual
// board. Input: 8 bytes of frequency (little endian); with a ninth byte whose bit 0 is set the
// value is folded into the accepted range, so that both the edges and the inside get explored.
//
// For any input the planning must be defined behaviour. For an accepted frequency the multisynth
// parameters must fit the chip's fields (p1 18 bits, p2 < p3 <= 1000000) and the output they make,
// decoded as the Si5351 model decodes registers, must lie within the planning's error bound: the
// fraction remainder/f is scaled down by tens with rounding half up until its denominator fits in
// 1000000, so numerator and denominator each carry an error below 5/9 of a unit and the ratio an
// error below (10/9) / d, where d >= f / 10^(digits of f - 6). The driver must refuse a frequency
// outside 2.5 .. 150 MHz with HAL_ERROR and no transfer, and for one inside leave CLK1 on at the
// decoded frequency of the plan.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_board.h"
#include "si5351.h"
#include "si5351_model.h"

namespace {

constexpr uint32_t PLL_HZ = 900000000;
constexpr uint64_t MIN_UHZ = 2500000000000ULL;
constexpr uint64_t MAX_UHZ = 150000000000000ULL;

[[noreturn]] void Fail(const char *what, uint64_t f, const Si5351Params &ms, double detail = 0) {
    std::fprintf(stderr, "si5351: %s at %llu uHz (p1 %u p2 %u p3 %u) %.6f\n", what,
                 static_cast<unsigned long long>(f), ms.p1, ms.p2, ms.p3, detail);
    std::abort();
}

uint64_t Emitted(const Si5351Params &pll, const Si5351Params &ms) {
    return sim::Si5351Model::Clk1OutputUhz(sim::Si5351Model::DEFAULT_XTAL_HZ, pll.p1, pll.p2,
                                           pll.p3, ms.p1, ms.p2, ms.p3, 0);
}

void CheckPlan(uint64_t f) {
    const Si5351Params pll = Si5351_CalcPllParams(PLL_HZ);
    const Si5351Params ms = Si5351_CalcMsParamsUhz(PLL_HZ, f); // any input: no UB
    if (f < MIN_UHZ || f > MAX_UHZ) {
        return;
    }
    if (ms.p1 >= (1U << 18) || ms.p3 == 0 || ms.p3 > 1000000 || ms.p2 >= ms.p3) {
        Fail("parameters do not fit the chip", f, ms);
    }
    const uint64_t out = Emitted(pll, ms);
    // The plan's ratio M' and the wanted one M = 900 MHz / f; the output is 900 MHz / M'.
    const long double m_plan = (ms.p1 + 512.0L + static_cast<long double>(ms.p2) / ms.p3) / 128.0L;
    unsigned digits = 0;
    for (uint64_t v = f; v != 0; v /= 10) {
        ++digits;
    }
    const long double d_min = static_cast<long double>(f) / std::pow(10.0L, digits - 6);
    const long double ratio_bound = (10.0L / 9.0L) / (d_min - 5.0L / 9.0L);
    const long double bound_uhz = static_cast<long double>(f) * ratio_bound / m_plan + 1.0L;
    const long double error =
        std::fabs(static_cast<long double>(out) - static_cast<long double>(f));
    if (error > bound_uhz) {
        Fail("output outside the error bound", f, ms, static_cast<double>(error - bound_uhz));
    }
}

void CheckDriver(uint64_t f) {
    const uint64_t ops = vmcu::i2c_operations();
    const uint64_t transfers = sim::Chip().transfers();
    const HAL_StatusTypeDef st = Si5351_SetFreqClk1Uhz(f);
    const Si5351Params ms = Si5351_CalcMsParamsUhz(PLL_HZ, f);
    if (f < MIN_UHZ || f > MAX_UHZ) {
        if (st != HAL_ERROR || vmcu::i2c_operations() != ops ||
            sim::Chip().transfers() != transfers || sim::Chip().clk1_on()) {
            Fail("out-of-range frequency not refused cleanly", f, ms);
        }
        return;
    }
    if (st != HAL_OK || !sim::Chip().clk1_on() ||
        sim::Chip().clk1_freq_uhz() != Emitted(Si5351_CalcPllParams(PLL_HZ), ms)) {
        Fail("accepted frequency not emitted as planned", f, ms,
             static_cast<double>(sim::Chip().clk1_freq_uhz()));
    }
    if (Si5351_OutputEnableClk1(false) != HAL_OK || sim::Chip().clk1_on()) {
        Fail("CLK1 did not go off", f, ms);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::BootOnce();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint64_t f = 0;
    std::memcpy(&f, data, size < 8 ? size : 8);
    if (size > 8 && (data[8] & 1)) {
        f = MIN_UHZ + f % (MAX_UHZ - MIN_UHZ + 1);
    }
    CheckPlan(f);
    CheckDriver(f);
    return 0;
}
