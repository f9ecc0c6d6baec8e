/* Si5351 clock generator on I2C1: probing, the quiet start-up state, the planning of CLK1's tones
 * (PLL A and multisynth 1 for each, as exact as the chip allows), keying between them, and the
 * CLK1 output enable. The driver reads one register only: the device status, whose SYS_INIT flag
 * says when the chip is through its initialisation after power-up. */
#include "si5351.h"

namespace {

constexpr uint16_t SI5351_ADDR = SI5351_I2C_ADDR_7BIT << 1;

constexpr uint8_t REG_DEVICE_STATUS = 0;
constexpr uint8_t REG_OUTPUT_ENABLE_CONTROL = 3;
constexpr uint8_t REG_CLK0_CONTROL = 16;
constexpr uint8_t REG_CLK1_CONTROL = 17;
constexpr uint8_t REG_CLK2_CONTROL = 18;
constexpr uint8_t REG_PLLA_PARAMETERS = 26;
constexpr uint8_t REG_MS1_PARAMETERS = 50;
constexpr uint8_t REG_SPREAD_SPECTRUM = 149;
constexpr uint8_t REG_PLL_RESET = 177;
constexpr uint8_t REG_CRYSTAL_LOAD = 183;

constexpr uint8_t CLK_CONTROL_POWERDOWN = 0x80;
constexpr uint8_t CLK_CONTROL_MS_INT = 0x40;
constexpr uint8_t CLK_CONTROL_PLLA_SRC = 0x00;
constexpr uint8_t CLK_CONTROL_SRC_MS = 0x0C;
constexpr uint8_t CLK_CONTROL_8MA = 0x03;
constexpr uint8_t CRYSTAL_LOAD_8PF = 0x92;

constexpr uint8_t OUTPUTS_ALL_DISABLED = 0xFF;
constexpr uint8_t OUTPUTS_CLK1_ONLY = 0xFD;
constexpr uint8_t SPREAD_SPECTRUM_OFF = 0x00;
constexpr uint8_t PLL_RESET_PLLA = 0x20;

constexpr uint32_t PROBE_TRIALS = 3;
constexpr uint32_t PROBE_TIMEOUT_MS = 100;
constexpr uint8_t STATUS_SYS_INIT = 0x80;
/* After power-up the chip loads its registers and holds SYS_INIT meanwhile; writes before it is
 * done may be overwritten. A flag still set after this long means the chip is not working. */
constexpr uint32_t SYS_INIT_WAIT_MS = 50;

/* The chip's limits (Si5351 data sheet): VCO 600..900 MHz, fractions with 20-bit denominators,
 * fractional multisynth ratios from 8 up. */
constexpr uint64_t UHZ_PER_HZ = 1000000ULL;
constexpr uint64_t VCO_MIN_UHZ = 600000000ULL * UHZ_PER_HZ;
constexpr uint64_t VCO_MAX_UHZ = 900000000ULL * UHZ_PER_HZ;
constexpr uint32_t FRACTION_MAX_DEN = 1048575U;
constexpr uint32_t MS_FRACTIONAL_MIN = 8U;
constexpr uint32_t MS_FRACTIONAL_MAX = 2048U;
constexpr uint32_t MS_INTEGER_RATIO = 6U; /* up to 150 MHz */
constexpr uint32_t MS_DIVBY4_RATIO = 4U;  /* from 150 MHz */
/* A fixed PLL is kept this far (1/1000) inside the VCO range, so that a crystal off by its
 * tolerance still runs the VCO within the chip's limits. */
constexpr uint64_t VCO_MARGIN_DIV = 1000U;

/* The frequencies a plan may ask of the VCO and the output. A real crystal a little off the
 * configured one moves them all by as much: every plan keeps 100 ppm from the chip's limits where
 * one can, and only where none can (tones within 15 kHz below 150 MHz, between the multisynth 6
 * at the VCO's top and the divide-by-4 at its bottom, and within 20 kHz below the 200 MHz top)
 * goes to the limits themselves. */
struct Limits {
    uint64_t vco_min_uhz, vco_max_uhz, out_max_uhz;
};
constexpr uint64_t SAFE_MARGIN_DIV = 10000U; /* 100 ppm */
constexpr Limits CHIP_LIMITS = {VCO_MIN_UHZ, VCO_MAX_UHZ, SI5351_CLK1_MAX_UHZ};
constexpr Limits SAFE_LIMITS = {VCO_MIN_UHZ + VCO_MIN_UHZ / SAFE_MARGIN_DIV,
                                VCO_MAX_UHZ - VCO_MAX_UHZ / SAFE_MARGIN_DIV,
                                SI5351_CLK1_MAX_UHZ - SI5351_CLK1_MAX_UHZ / SAFE_MARGIN_DIV};
static_assert(VCO_MAX_UHZ / VCO_MARGIN_DIV > VCO_MAX_UHZ / SAFE_MARGIN_DIV,
              "fixed PLLs keep more than the safe margin");

/* ---- Planning ------------------------------------------------------------------------------- */

constexpr uint32_t Gcd(uint32_t a, uint32_t b) {
    while (b != 0) {
        const uint32_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

/* Integer part and best fraction of num/den as divider parameters, the error of the fraction as
 * its remainder over its denominator. */
struct Ratio {
    Si5351Params params;
    uint64_t residual;
    uint32_t den;
};

constexpr Ratio MakeRatio(uint64_t integer, uint32_t b, uint32_t c, uint64_t residual) {
    if (b == c) { /* the fraction rounded up to one */
        ++integer;
        b = 0;
        c = 1;
    }
    return {Si5351_CalcParams(static_cast<uint32_t>(integer), b, c), residual, c};
}

constexpr Ratio BestRatio(uint64_t num, uint64_t den) {
    const Si5351Fraction f = Si5351_BestFraction(num % den, den, FRACTION_MAX_DEN);
    return MakeRatio(num / den, f.b, f.c, f.residual);
}

/* Exact products of two 64-bit numbers, compared and subtracted. */
struct Wide {
    uint64_t hi, lo;
};
constexpr Wide Mul(uint64_t a, uint64_t b) {
    const uint64_t a0 = a & 0xFFFFFFFFU, a1 = a >> 32, b0 = b & 0xFFFFFFFFU, b1 = b >> 32;
    const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const uint64_t mid = (p00 >> 32) + (p01 & 0xFFFFFFFFU) + (p10 & 0xFFFFFFFFU);
    return {p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32), (p00 & 0xFFFFFFFFU) | (mid << 32)};
}
constexpr bool Below(const Wide &x, const Wide &y) {
    return x.hi < y.hi || (x.hi == y.hi && x.lo < y.lo);
}
/* |x - y| where it fits 64 bits. */
constexpr uint64_t Distance(const Wide &x, const Wide &y) {
    return Below(x, y) ? y.lo - x.lo : x.lo - y.lo;
}

constexpr int64_t InverseMod(int64_t a, int64_t m) {
    int64_t t = 0, new_t = 1, r = m, new_r = a % m;
    while (new_r != 0) {
        const int64_t q = r / new_r;
        const int64_t t2 = t - q * new_t;
        t = new_t;
        new_t = t2;
        const int64_t r2 = r - q * new_r;
        r = new_r;
        new_r = r2;
    }
    return t < 0 ? t + m : t;
}

/* A PLL ratio VCO/xtal (num/den) as close as the chip allows while the VCO stays within
 * vco_min_uhz .. vco_max_uhz (at most 600 .. 900 MHz, less where the output divided from it must
 * stay within 200 MHz). Only where the wanted VCO lies within a hair of a limit can the closest
 * fraction fall outside; then its neighbour in the Farey sequence on the inside is the closest
 * one that does not. */
constexpr Ratio BestPllWithinRange(uint64_t num, uint64_t den, uint64_t vco_min_uhz,
                                   uint64_t vco_max_uhz) {
    uint64_t a = num / den;
    const uint64_t x = num % den;
    const Si5351Fraction f = Si5351_BestFraction(x, den, FRACTION_MAX_DEN);
    uint64_t b = f.b, c = f.c;
    // The VCO in micro-hertz times c: xtal x (a c + b); the range's ends times c.
    const uint64_t xtal_uhz = den;
    const bool low = Below(Mul(xtal_uhz, a * c + b), Mul(vco_min_uhz, c));
    const bool high = Below(Mul(vco_max_uhz, c), Mul(xtal_uhz, a * c + b));
    if (!low && !high) {
        return MakeRatio(a, f.b, f.c, f.residual);
    }
    const uint64_t n = FRACTION_MAX_DEN;
    if (low) {
        // Up: r/s with r c - b s = 1, the largest s <= n.
        const uint64_t s0 = c == 1 ? 0
                                   : static_cast<uint64_t>(static_cast<int64_t>(c) -
                                                           InverseMod(static_cast<int64_t>(b),
                                                                      static_cast<int64_t>(c)));
        const uint64_t s = c == 1 ? n : s0 + (n - s0) / c * c;
        b = c == 1 ? 1 : (b * s + 1) / c;
        c = s;
    } else if (b == 0) {
        // Down from a whole ratio: (a - 1) + (n - 1)/n.
        --a;
        b = n - 1;
        c = n;
    } else {
        // Down: l/m with b m - l c = 1, the largest m <= n.
        const uint64_t m0 =
            static_cast<uint64_t>(InverseMod(static_cast<int64_t>(b), static_cast<int64_t>(c)));
        const uint64_t m = m0 + (n - m0) / c * c;
        b = (b * m - 1) / c;
        c = m;
    }
    // The new fraction's error: |c x - b den|.
    const uint64_t residual = Distance(Mul(c, x), Mul(b, den));
    return MakeRatio(a, static_cast<uint32_t>(b), static_cast<uint32_t>(c), residual);
}

/* Output error of a divider ratio approximated by `ratio`, in 1/1024 uHz. A multisynth ratio
 * num/den is off by residual/(c den), and the output f = VCO x den/num moves by f x that / ratio:
 * residual / (c x ratio) micro-hertz. A PLL ratio VCO/xtal off by residual/(c xtal) moves the
 * output xtal x that / multisynth: residual / (c x multisynth), the same form. */
constexpr uint64_t ErrorScore(const Ratio &ratio, uint64_t divider) {
    const uint64_t scale = static_cast<uint64_t>(ratio.den) * divider;
    return scale == 0 ? UINT64_MAX : (ratio.residual << 10) / scale;
}

struct Tones {
    uint64_t uhz[SI5351_MAX_TONES];
    uint8_t count;
    uint64_t lowest, highest;
};

/* The best plan so far (written straight into the caller's) and how far off its worst tone is. */
struct Best {
    Si5351TonePlan &plan;
    uint64_t score;
    bool found;
    constexpr void Offer(const Si5351TonePlan &candidate, uint64_t worst) {
        if (!found || worst < score) {
            plan = candidate;
            score = worst;
            found = true;
        }
    }
};

/* A plan from one fixed PLL A whose VCO is `steps` x xtal_hz micro-hertz (PLL ratio steps / 10^6),
 * only the fractional multisynth moving. */
constexpr uint32_t PLL_FRACTION_DEN = 1000000U; /* divides the crystal in micro-hertz */

constexpr void OfferFixedPll(uint32_t xtal_hz, uint64_t steps, const Tones &tones, Best &best) {
    const uint64_t vco_uhz = steps * xtal_hz;
    if (vco_uhz / tones.lowest > MS_FRACTIONAL_MAX) {
        return;
    }
    const uint32_t j = static_cast<uint32_t>(steps % PLL_FRACTION_DEN);
    const uint32_t gcd = Gcd(j, PLL_FRACTION_DEN);
    const Si5351Params pll = Si5351_CalcParams(static_cast<uint32_t>(steps / PLL_FRACTION_DEN),
                                               j / gcd, PLL_FRACTION_DEN / gcd);
    Si5351TonePlan candidate{};
    candidate.count = tones.count;
    uint64_t worst = 0;
    for (uint8_t n = 0; n < tones.count; ++n) {
        const Ratio ms = BestRatio(vco_uhz, tones.uhz[n]);
        const uint64_t score = ErrorScore(ms, vco_uhz / tones.uhz[n]);
        worst = score > worst ? score : worst;
        candidate.tone[n] = {pll, ms.params, SI5351_MS_FRACTIONAL};
    }
    best.Offer(candidate, worst);
}

/* Fixed-PLL candidates: the whole multiples of the crystal inside the VCO window first, then
 * points of the window at golden-ratio positions (k x 0.618034 mod 1 of its width). A multisynth
 * ratio near a simple fraction has no close 20-bit neighbours; where the base frequency is near a
 * simple multiple of the crystal, every whole multiple leaves it there, and an irregular fraction
 * in the PLL moves it away. The VCO keeps a margin inside its range and is at least 8 times the
 * highest tone (fractional multisynth ratios start at 8). */
constexpr uint32_t PLL_GOLDEN_STEP = 618034U;
constexpr uint32_t PLL_FRACTION_TRIES = 12U;
constexpr uint64_t GOOD_ENOUGH_SCORE = 10U << 10; /* 10 uHz: far below what anyone can measure */

constexpr void OfferFixedPlls(uint32_t xtal_hz, const Tones &tones, Best &best) {
    uint64_t vco_min = VCO_MIN_UHZ + VCO_MIN_UHZ / VCO_MARGIN_DIV;
    const uint64_t vco_max = VCO_MAX_UHZ - VCO_MAX_UHZ / VCO_MARGIN_DIV;
    if (tones.highest * MS_FRACTIONAL_MIN > vco_min) {
        vco_min = tones.highest * MS_FRACTIONAL_MIN;
    }
    const uint64_t step_min = (vco_min + xtal_hz - 1) / xtal_hz;
    const uint64_t step_max = vco_max / xtal_hz;
    if (step_min > step_max) {
        return;
    }
    for (uint64_t a = (step_min + PLL_FRACTION_DEN - 1) / PLL_FRACTION_DEN;
         a * PLL_FRACTION_DEN <= step_max && best.score > GOOD_ENOUGH_SCORE; ++a) {
        OfferFixedPll(xtal_hz, a * PLL_FRACTION_DEN, tones, best);
    }
    const uint64_t width = step_max - step_min;
    for (uint32_t k = 1; k <= PLL_FRACTION_TRIES && best.score > GOOD_ENOUGH_SCORE; ++k) {
        const uint64_t golden = (static_cast<uint64_t>(k) * PLL_GOLDEN_STEP) % PLL_FRACTION_DEN;
        OfferFixedPll(xtal_hz,
                      step_min + width / PLL_FRACTION_DEN * golden +
                          width % PLL_FRACTION_DEN * golden / PLL_FRACTION_DEN,
                      tones, best);
    }
}

/* Every tone from a fixed integer multisynth (6 up to 150 MHz, the divide-by-4 from 150 MHz on),
 * only the PLL fraction moving: above 112.5 MHz a fractional multisynth of 8 or more would need a
 * VCO above 900 MHz. Nothing when a tone's VCO falls outside the limits. Kept out of line:
 * inlined, its frame would add to the fixed-PLL search's on the deepest stack path. */
[[gnu::noinline]] constexpr void OfferFixedMultisynth(uint32_t xtal_hz, const Tones &tones,
                                                      const Limits &lim, Best &best) {
    // One multisynth for every tone where one fits; only tones on both sides of 150 MHz need both.
    const bool all_divby4 = tones.lowest * MS_DIVBY4_RATIO >= lim.vco_min_uhz;
    const bool all_ms6 = tones.highest * MS_INTEGER_RATIO <= lim.vco_max_uhz;
    const uint64_t xtal_uhz = xtal_hz * UHZ_PER_HZ;
    Si5351TonePlan candidate{};
    candidate.count = tones.count;
    uint64_t worst = 0;
    for (uint8_t n = 0; n < tones.count; ++n) {
        const bool divby4 =
            all_divby4 || (!all_ms6 && tones.uhz[n] > lim.vco_max_uhz / MS_INTEGER_RATIO);
        const uint32_t ratio = divby4 ? MS_DIVBY4_RATIO : MS_INTEGER_RATIO;
        const uint64_t vco_uhz = tones.uhz[n] * ratio;
        if (vco_uhz < lim.vco_min_uhz || vco_uhz > lim.vco_max_uhz ||
            tones.uhz[n] > lim.out_max_uhz) {
            return;
        }
        const uint64_t output_max_vco = lim.out_max_uhz * ratio;
        const Ratio pll =
            BestPllWithinRange(vco_uhz, xtal_uhz, lim.vco_min_uhz,
                               output_max_vco < lim.vco_max_uhz ? output_max_vco : lim.vco_max_uhz);
        const uint64_t score = ErrorScore(pll, ratio);
        worst = score > worst ? score : worst;
        candidate.tone[n] = {pll.params,
                             divby4 ? Si5351Params{0, 0, 1} : Si5351_CalcParams(ratio, 0, 1),
                             divby4 ? SI5351_MS_DIVBY4 : SI5351_MS_INTEGER};
    }
    best.Offer(candidate, worst);
}

constexpr bool PlanTones(uint32_t xtal_hz, uint64_t first_uhz, uint64_t spacing_uhz, uint8_t count,
                         Si5351TonePlan &plan) {
    if (count == 0 || count > SI5351_MAX_TONES || xtal_hz < SI5351_XTAL_MIN_HZ ||
        xtal_hz > SI5351_XTAL_MAX_HZ) {
        return false;
    }
    if (first_uhz < SI5351_CLK1_MIN_UHZ || first_uhz > SI5351_CLK1_MAX_UHZ ||
        (spacing_uhz != 0 && count - 1U > (SI5351_CLK1_MAX_UHZ - first_uhz) / spacing_uhz)) {
        return false;
    }
    Tones tones{{}, count, UINT64_MAX, 0};
    for (uint8_t n = 0; n < count; ++n) {
        tones.uhz[n] = first_uhz + n * spacing_uhz;
        tones.lowest = tones.uhz[n] < tones.lowest ? tones.uhz[n] : tones.lowest;
        tones.highest = tones.uhz[n] > tones.highest ? tones.uhz[n] : tones.highest;
    }
    Best best{plan, UINT64_MAX, false};
    OfferFixedPlls(xtal_hz, tones, best);
    if (best.score > GOOD_ENOUGH_SCORE) {
        OfferFixedMultisynth(xtal_hz, tones, SAFE_LIMITS, best);
    }
    const bool keeps_margin = best.found;
    if (!best.found) {
        OfferFixedMultisynth(xtal_hz, tones, CHIP_LIMITS, best);
    }
    if (best.found) {
        plan.xtal_hz = xtal_hz;
        plan.first_uhz = first_uhz;
        plan.spacing_uhz = spacing_uhz;
        plan.keeps_margin = keeps_margin;
    }
    return best.found;
}

/* A divider ratio as (p1 + 512 + p2/p3) / 128 compared with another: true when a's is below b's.
 * Cross-multiplied: the fields are 18 and 20 bits wide, so every product fits 64 bits. */
constexpr bool RatioBelow(const Si5351Params &a, const Si5351Params &b) {
    const uint64_t a_num = (static_cast<uint64_t>(a.p1) + 512U) * a.p3 + a.p2;
    const uint64_t b_num = (static_cast<uint64_t>(b.p1) + 512U) * b.p3 + b.p2;
    return a_num * b.p3 < b_num * a.p3;
}

constexpr uint8_t ClockControl(Si5351MsMode mode) {
    return static_cast<uint8_t>(CLK_CONTROL_PLLA_SRC | CLK_CONTROL_SRC_MS | CLK_CONTROL_8MA |
                                (mode == SI5351_MS_FRACTIONAL ? 0U : CLK_CONTROL_MS_INT));
}

constexpr bool SameParams(const Si5351Params &a, const Si5351Params &b) {
    return a.p1 == b.p1 && a.p2 == b.p2 && a.p3 == b.p3;
}

/* ---- Worked examples, checked when the driver is compiled -----------------------------------
 * The default base frequency 14097070 Hz on the calibrated crystal: PLL A at 25 x 25003275 Hz =
 * 625081875 Hz for every tone, tone 0 from multisynth 44 + 343082/1005333, the closest fraction of
 * denominator up to 1048575 to 625081875 / 14097070 (0.11 uHz low). 144490500 Hz (2 m) is above
 * 112.5 MHz: multisynth 6 in integer mode and PLL A at 866943000 / 25003275 = 34 + 20402/30307.
 * 150 MHz: divide-by-4 and PLL A at 600 MHz = 23 + 332329/333377 times the crystal. */
constexpr bool SameSetting(const Si5351Setting &s, const Si5351Params &pll, const Si5351Params &ms,
                           Si5351MsMode mode) {
    return SameParams(s.pll, pll) && SameParams(s.ms, ms) && s.ms_mode == mode;
}
constexpr bool PlanIs(uint64_t base_hz, uint8_t tone, const Si5351Params &pll,
                      const Si5351Params &ms, Si5351MsMode mode) {
    Si5351TonePlan plan{};
    return PlanTones(SI5351_XTAL_HZ, base_hz * UHZ_PER_HZ, WSPR_TONE_SPACING_UHZ, 4, plan) &&
           SameSetting(plan.tone[tone], pll, ms, mode);
}
static_assert(Si5351_CalcParams(44, 343082, 1005333).p1 == 5163 &&
              Si5351_CalcParams(44, 343082, 1005333).p2 == 685177);
static_assert(PlanIs(14097070, 0, {2688, 0, 1}, {5163, 685177, 1005333}, SI5351_MS_FRACTIONAL));
static_assert(PlanIs(14097070, 3, {2688, 0, 1}, {5163, 622010, 915026}, SI5351_MS_FRACTIONAL));
static_assert(PlanIs(144490500, 0, Si5351_CalcParams(34, 20402, 30307), {256, 0, 1},
                     SI5351_MS_INTEGER));
static_assert(PlanIs(150000000, 0, {2559, 199233, 333377}, {0, 0, 1}, SI5351_MS_DIVBY4));
static_assert(Si5351_ParamsImage({0, 0, 1}, true) ==
              std::array<uint8_t, 8>{0x00, 0x01, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00});
static_assert(SI5351_ADDR == 0xC0);

} // namespace

/* ---- Driver -----------------------------------------------------------------------------------
 */

namespace {

I2C_HandleTypeDef *g_i2c = nullptr;
bool g_ready = false;
/* What the chip holds since the last start: its setting and CLK1 control, when known. */
Si5351Setting g_current = {};
uint8_t g_control = 0;
bool g_current_known = false;

HAL_StatusTypeDef Si5351_WriteReg(uint8_t reg, uint8_t value) {
    return HAL_I2C_Mem_Write(g_i2c, SI5351_ADDR, reg, I2C_MEMADD_SIZE_8BIT, &value, 1,
                             HAL_MAX_DELAY);
}

HAL_StatusTypeDef Si5351_WriteParams(uint8_t base_reg, const Si5351Params &params,
                                     bool divby4 = false) {
    std::array<uint8_t, 8> image = Si5351_ParamsImage(params, divby4);
    return HAL_I2C_Mem_Write(g_i2c, SI5351_ADDR, base_reg, I2C_MEMADD_SIZE_8BIT, image.data(),
                             static_cast<uint16_t>(image.size()), HAL_MAX_DELAY);
}

HAL_StatusTypeDef WritePll(const Si5351Setting &s) {
    HAL_StatusTypeDef status = Si5351_WriteParams(REG_PLLA_PARAMETERS, s.pll);
    if (status == HAL_OK) {
        g_current.pll = s.pll;
    }
    return status;
}

HAL_StatusTypeDef WriteMs(const Si5351Setting &s) {
    HAL_StatusTypeDef status =
        Si5351_WriteParams(REG_MS1_PARAMETERS, s.ms, s.ms_mode == SI5351_MS_DIVBY4);
    if (status == HAL_OK) {
        g_current.ms = s.ms;
        g_current.ms_mode = s.ms_mode;
    }
    return status;
}

/* Reads the device status, once a tick, until SYS_INIT is clear: HAL_OK then, HAL_TIMEOUT when it
 * stays set for SYS_INIT_WAIT_MS, or the read's failure. Bounded on the cycle counter too, so a
 * tick that stands still cannot hold it. */
HAL_StatusTypeDef WaitForSysInit() {
    constexpr uint32_t LIMIT_CYCLES = SYS_INIT_WAIT_MS * (CPU_CLOCK_HZ / 1000U);
    const uint32_t start = HAL_GetCycleCount();
    for (;;) {
        uint8_t status = 0;
        const HAL_StatusTypeDef st =
            HAL_I2C_Mem_Read(g_i2c, SI5351_ADDR, REG_DEVICE_STATUS, I2C_MEMADD_SIZE_8BIT, &status,
                             1, PROBE_TIMEOUT_MS);
        if (st != HAL_OK || (status & STATUS_SYS_INIT) == 0U) {
            return st;
        }
        const uint32_t tick = HAL_GetTick();
        while (HAL_GetTick() == tick) {
            if (HAL_GetCycleCount() - start >= LIMIT_CYCLES) {
                return HAL_TIMEOUT;
            }
            __WFI();
        }
    }
}

bool ValidTone(const Si5351TonePlan *plan, uint8_t n) {
    return plan != nullptr && n < plan->count && plan->count <= SI5351_MAX_TONES;
}

} // namespace

bool Si5351_PlanTones(uint32_t xtal_hz, uint64_t first_uhz, uint64_t spacing_uhz, uint8_t count,
                      Si5351TonePlan *plan) {
    return plan != nullptr && PlanTones(xtal_hz, first_uhz, spacing_uhz, count, *plan);
}

HAL_StatusTypeDef Si5351_Init(I2C_HandleTypeDef *hi2c) {
    g_i2c = hi2c;
    g_ready = false;
    g_current_known = false;

    HAL_StatusTypeDef status =
        HAL_I2C_IsDeviceReady(hi2c, SI5351_ADDR, PROBE_TRIALS, PROBE_TIMEOUT_MS);
    if (status == HAL_OK) {
        status = WaitForSysInit();
    }
    if (status != HAL_OK) {
        return status;
    }

    // Quiet state: every output disabled and powered down, 8 pF load, no spread spectrum.
    constexpr struct {
        uint8_t reg, value;
    } k_quiet[] = {
        {REG_OUTPUT_ENABLE_CONTROL, OUTPUTS_ALL_DISABLED},
        {REG_CRYSTAL_LOAD, CRYSTAL_LOAD_8PF},
        {REG_SPREAD_SPECTRUM, SPREAD_SPECTRUM_OFF},
        {REG_CLK0_CONTROL, CLK_CONTROL_POWERDOWN},
        {REG_CLK1_CONTROL, CLK_CONTROL_POWERDOWN},
        {REG_CLK2_CONTROL, CLK_CONTROL_POWERDOWN},
    };
    for (const auto &w : k_quiet) {
        status = Si5351_WriteReg(w.reg, w.value);
        if (status != HAL_OK) {
            return status;
        }
    }

    g_ready = true;
    return HAL_OK;
}

HAL_StatusTypeDef Si5351_StartTone(const Si5351TonePlan *plan, uint8_t n) {
    if (!g_ready || !ValidTone(plan, n)) {
        return HAL_ERROR;
    }
    const Si5351Setting &s = plan->tone[n];
    const uint8_t control = ClockControl(s.ms_mode);
    g_current_known = false;
    HAL_StatusTypeDef status = Si5351_WriteReg(REG_OUTPUT_ENABLE_CONTROL, OUTPUTS_ALL_DISABLED);
    if (status == HAL_OK) {
        status = WritePll(s);
    }
    if (status == HAL_OK) {
        status = WriteMs(s);
    }
    if (status == HAL_OK) {
        status = Si5351_WriteReg(REG_PLL_RESET, PLL_RESET_PLLA);
    }
    if (status == HAL_OK) {
        status = Si5351_WriteReg(REG_CLK1_CONTROL, control);
    }
    if (status == HAL_OK) {
        g_control = control;
        g_current_known = true;
        status = Si5351_OutputEnableClk1(true);
    }
    return status;
}

HAL_StatusTypeDef Si5351_KeyTone(const Si5351TonePlan *plan, uint8_t n) {
    if (!g_ready || !ValidTone(plan, n)) {
        return HAL_ERROR;
    }
    const Si5351Setting &s = plan->tone[n];
    if (!g_current_known || ClockControl(s.ms_mode) != g_control) {
        return Si5351_StartTone(plan, n);
    }
    const bool pll_differs = !SameParams(s.pll, g_current.pll);
    const bool ms_differs = !SameParams(s.ms, g_current.ms) || s.ms_mode != g_current.ms_mode;
    // When both move (tones on either side of 150 MHz), the one that lowers the output goes first,
    // so that the moment between the two transfers stays within the chip's limits.
    const bool pll_first = RatioBelow(s.pll, g_current.pll);
    HAL_StatusTypeDef status = HAL_OK;
    if (pll_differs && pll_first) {
        status = WritePll(s);
    }
    if (status == HAL_OK && ms_differs) {
        status = WriteMs(s);
    }
    if (status == HAL_OK && pll_differs && !pll_first) {
        status = WritePll(s);
    }
    if (status != HAL_OK) {
        g_current_known = false;
    }
    return status;
}

HAL_StatusTypeDef Si5351_DisableOutputs(I2C_HandleTypeDef *hi2c) {
    uint8_t value = OUTPUTS_ALL_DISABLED;
    return HAL_I2C_Mem_Write(hi2c, SI5351_ADDR, REG_OUTPUT_ENABLE_CONTROL, I2C_MEMADD_SIZE_8BIT,
                             &value, 1, HAL_MAX_DELAY);
}

HAL_StatusTypeDef Si5351_OutputEnableClk1(bool enable) {
    if (!g_ready) {
        return HAL_ERROR;
    }
    return Si5351_WriteReg(REG_OUTPUT_ENABLE_CONTROL,
                           enable ? OUTPUTS_CLK1_ONLY : OUTPUTS_ALL_DISABLED);
}
