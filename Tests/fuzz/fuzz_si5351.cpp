// The Si5351 tone planning over any input, and the driver keying the plan on the virtual board.
// Input: 22 bytes at most.
// Input: crystal (4 bytes), first tone (8 bytes), spacing (8 bytes), count (1 byte), all little
// endian; with a 22nd byte whose bit 0 is set the values are folded into the accepted ranges, so
// that both the edges and the inside get explored.
//
// For any input the planning must be defined behaviour and refuse what it cannot plan. For a plan
// it accepts, every tone keyed through the driver must leave the chip model within its limits
// (no fault) and emit CLK1. A plan that keys by one register must keep its tones' registers equal
// but for one byte of p2, the same byte for every pair (how close its tones come is measured by
// the sweeps of the unit tests, over the beacon's range); any other plan's moving divider must be
// the closest fraction the chip allows (an exact check by Farey neighbours, apart from the
// driver's continued fractions).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fraction_oracle.h"
#include "fuzz_board.h"
#include "si5351.h"
#include "si5351_model.h"

namespace {

constexpr uint64_t MAX_DEN = 1048575;

template <typename T> T Take(const uint8_t *&data, size_t &size) {
    T v{};
    const size_t n = size < sizeof v ? size : sizeof v;
    std::memcpy(&v, data, n);
    data += n;
    size -= n;
    return v;
}

// b/c of a divider ratio p1/p2/p3 with whole part a: 128 b / c = p1 + 512 - 128 a + p2 / p3.
void FractionOf(const Si5351Params &p, uint64_t a, uint64_t &b, uint64_t &c) {
    c = p.p3;
    b = ((static_cast<uint64_t>(p.p1) + 512 - 128 * a) * c + p.p2) / 128;
}

uint64_t WholeOf(const Si5351Params &p) {
    return (static_cast<uint64_t>(p.p1) + 512 + p.p2 / p.p3) / 128;
}

void CheckOneRegister(const Si5351TonePlan &plan) {
    int moving = -1;
    for (uint8_t n = 0; n < plan.count; ++n) {
        const Si5351Setting &s = plan.tone[n];
        FUZZ_CHECK(s.ms_mode == plan.tone[0].ms_mode, "tones of one plan in two output modes");
        const auto pll0 = Si5351_ParamsImage(plan.tone[0].pll);
        const auto ms0 = Si5351_ParamsImage(plan.tone[0].ms);
        const auto pll = Si5351_ParamsImage(s.pll);
        const auto ms = Si5351_ParamsImage(s.ms);
        for (int b = 0; b < 16; ++b) {
            if (b < 8 ? pll[b] != pll0[b] : ms[b - 8] != ms0[b - 8]) {
                FUZZ_CHECK(moving == -1 || moving == b, "tones differ in more than one register");
                FUZZ_CHECK(b % 8 == 6 || b % 8 == 7, "a register other than p2's low bytes moves");
                moving = b;
            }
        }
    }
}

void CheckOptimal(const Si5351TonePlan &plan, uint64_t xtal, uint64_t first, uint64_t spacing) {
    if (plan.smooth) {
        CheckOneRegister(plan);
        return;
    }
    for (uint8_t n = 0; n < plan.count; ++n) {
        const Si5351Setting &s = plan.tone[n];
        // What the multisynth puts out: the tone times the R divider after it.
        const uint64_t tone = (first + n * spacing) << plan.r_div_log2;
        uint64_t b = 0, c = 1;
        if (s.ms_mode == SI5351_MS_FRACTIONAL) {
            // VCO = xtal x pll, a whole number of micro-hertz for a fixed PLL.
            const sim::Uint128 vco_x =
                static_cast<sim::Uint128>(xtal) * 1000000U *
                (static_cast<sim::Uint128>(s.pll.p3) * (s.pll.p1 + 512U) + s.pll.p2);
            const sim::Uint128 den = static_cast<sim::Uint128>(128) * s.pll.p3;
            FUZZ_CHECK(vco_x % den == 0, "fixed PLL not a whole number of micro-hertz");
            const uint64_t vco = static_cast<uint64_t>(vco_x / den);
            // The whole part of the exact ratio: a fraction rounding up reads as b/c = 1/1.
            const uint64_t a = vco / tone;
            FUZZ_CHECK(a <= WholeOf(s.ms), "multisynth below its target's whole part");
            FractionOf(s.ms, a, b, c);
            FUZZ_CHECK(oracle::IsBestFraction(vco - a * tone, tone, b, c, MAX_DEN),
                       "multisynth fraction not the closest");
        } else {
            const uint64_t divider = s.ms_mode == SI5351_MS_DIVBY4 ? 4 : WholeOf(s.ms);
            const uint64_t vco = tone * divider;
            const uint64_t xtal_uhz = xtal * 1000000U;
            const uint64_t a = vco / xtal_uhz;
            FUZZ_CHECK(a <= WholeOf(s.pll), "PLL below its target's whole part");
            FractionOf(s.pll, a, b, c);
            FUZZ_CHECK(oracle::IsBestPllFraction(vco, xtal_uhz, a, b, c, MAX_DEN, divider),
                       "PLL fraction not the closest within the VCO range");
        }
    }
}

} // namespace

// The target drives a driver of its own (the firmware's module, linked in) on the board's bus,
// which the booted firmware has set up.
I2C_HandleTypeDef g_i2c{};

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::BootOnce();
    g_i2c.Instance = I2C1;
    if (Si5351_Init(&g_i2c) != HAL_OK) {
        fuzz::Fail("the Si5351 did not answer the driver");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint32_t xtal = Take<uint32_t>(data, size);
    uint64_t first = Take<uint64_t>(data, size);
    uint64_t spacing = Take<uint64_t>(data, size);
    uint8_t count = Take<uint8_t>(data, size);
    if (size > 0 && (data[0] & 1)) {
        xtal = SI5351_XTAL_MIN_HZ + xtal % (SI5351_XTAL_MAX_HZ - SI5351_XTAL_MIN_HZ + 1);
        first = SI5351_CLK1_MIN_UHZ + first % (SI5351_CLK1_MAX_UHZ - SI5351_CLK1_MIN_UHZ + 1);
        spacing %= 10000000; // up to 10 Hz
        count = static_cast<uint8_t>(1 + count % SI5351_MAX_TONES);
    }
    Si5351TonePlan plan{};
    if (!Si5351_PlanTones(xtal, first, spacing, count, &plan)) {
        return 0;
    }
    FUZZ_CHECK(plan.count == count, "plan of another size");
    FUZZ_CHECK(xtal >= SI5351_XTAL_MIN_HZ && xtal <= SI5351_XTAL_MAX_HZ, "crystal out of range");
    CheckOptimal(plan, xtal, first, spacing);

    // Keyed on the board against a chip with that crystal: within its limits all the way.
    sim::Chip().set_xtal_hz(xtal);
    const uint64_t faults = sim::Chip().fault_count();
    for (uint8_t n = 0; n < count; ++n) {
        const HAL_StatusTypeDef st = n == 0 ? Si5351_StartTone(&plan, n) : Si5351_KeyTone(&plan, n);
        FUZZ_CHECK(st == HAL_OK && sim::Chip().clk1_on(), "planned tone not emitted");
    }
    FUZZ_CHECK(sim::Chip().fault_count() == faults, "Si5351 outside its limits");
    FUZZ_CHECK(Si5351_OutputEnableClk1(false) == HAL_OK && !sim::Chip().clk1_on(),
               "CLK1 did not go off");
    // A pass of the booted firmware's main loop: it refreshes its watchdog, which the bus time of
    // the transfers above has been counting down.
    sim::RunFor(sim::MS);
    return 0;
}
