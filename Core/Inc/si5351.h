#ifndef SI5351_H
#define SI5351_H

#include <stdint.h>

#include <array>

#include "app_config.h"
#include "stm32f4xx_hal.h"

/* A divider ratio a + b/c in the chip's encoded form: p1 = 128a + floor(128b/c) - 512,
 * p2 = 128b - c floor(128b/c), p3 = c. */
typedef struct {
    uint32_t p1;
    uint32_t p2;
    uint32_t p3;
} Si5351Params;

/* How multisynth 1 divides: a fraction of 8..2048, an even integer in integer mode (6 or 8 here),
 * or the fixed divide-by-4 (integer mode too) for outputs of 150 MHz and more. */
typedef enum : uint8_t {
    SI5351_MS_FRACTIONAL = 0,
    SI5351_MS_INTEGER = 1,
    SI5351_MS_DIVBY4 = 2
} Si5351MsMode;

/* Everything that puts CLK1 on one frequency: PLL A's feedback divider and multisynth 1. */
typedef struct {
    Si5351Params pll;
    Si5351Params ms;
    Si5351MsMode ms_mode;
} Si5351Setting;

#define SI5351_MAX_TONES 4U

/* The settings of a frame's tones, worked out once before the frame so that a tone change only
 * sends what differs. For a frame all tones share the CLK1 control setting, and in all but the
 * four topmost base frequencies (whose tones straddle 150 MHz) they share one divider. */
typedef struct {
    uint8_t count;
    /* CLK1's R divider, 2^r_div_log2 (1..128), after multisynth 1: the same for every tone. Above
     * 1 where the multisynth's own output would fall below SI5351_MS_OUT_MIN_UHZ. */
    uint8_t r_div_log2;
    Si5351Setting tone[SI5351_MAX_TONES];
    /* What the plan was made for: the crystal to the millihertz (xtal_hz rounded). */
    uint32_t xtal_hz;
    uint64_t xtal_mhz;
    uint64_t first_uhz;
    uint64_t spacing_uhz;
    /* The VCO and the output stay 100 ppm inside the chip's limits, so that a real crystal that
     * far off the configured one keeps the chip within them. False only for tones within 15 kHz
     * below 150 MHz, where no setting can (the plan then goes to the limits themselves). */
    bool keeps_margin;
    /* The tones share every register but the low byte of the moving divider's p2, so a tone change
     * is one register and the chip passes through no state between the two tones. False only
     * where the tones need two output modes (on both sides of 150 MHz). */
    bool smooth;
} Si5351TonePlan;

/* CLK1 frequencies the planning reaches, from 500 kHz / 128 (the multisynth at its lowest output
 * and the R divider at its largest) plus 100 ppm (a tone right at the limit can round below it) to
 * 200 MHz (divide-by-4, the chip's top output). The multisynth's own output stays at 500 kHz or
 * more; below that the R divider divides it. */
#define SI5351_MS_OUT_MIN_UHZ 500000000000ULL
#define SI5351_R_DIV_MAX_LOG2 7U
#define SI5351_CLK1_MIN_UHZ \
    ((SI5351_MS_OUT_MIN_UHZ + SI5351_MS_OUT_MIN_UHZ / 10000U) >> SI5351_R_DIV_MAX_LOG2)
#define SI5351_CLK1_MAX_UHZ 200000000000000ULL
/* Crystals the planning accepts: the 25 and 27 MHz parts, however far off. */
#define SI5351_XTAL_MIN_HZ 24000000UL
#define SI5351_XTAL_MAX_HZ 28000000UL

/* CLK0, the reference line to the MCU (TIM2's external clock): PLL B at 32 x the crystal, multisynth
 * 0 dividing by 64, both in integer mode, so CLK0 is the crystal / 2 (12.5 MHz, a quarter of what
 * TIM2 can count at 100 MHz at most) and its count measures the crystal itself. PLL B is CLK0's
 * alone: CLK1 moves PLL A only. */
#define SI5351_REF_PLL_RATIO 32U
#define SI5351_REF_MS_RATIO 64U
#define SI5351_REF_XTAL_PER_COUNT (SI5351_REF_MS_RATIO / SI5351_REF_PLL_RATIO)

HAL_StatusTypeDef Si5351_Init(I2C_HandleTypeDef *hi2c);
/* CLK0 on as the reference line, with CLK1 off (after Si5351_Init); from then on CLK1's start-ups,
 * tone changes and stops leave it running. Si5351_Init stops it again. */
HAL_StatusTypeDef Si5351_StartReference(void);
HAL_StatusTypeDef Si5351_OutputEnableClk1(bool enable);
/* Every output off, by one write to the output-enable register on the given bus: needs nothing
 * of the driver's state (not even a successful Si5351_Init), so it serves the fault paths too. */
HAL_StatusTypeDef Si5351_DisableOutputs(I2C_HandleTypeDef *hi2c);
/* CLK1 off, the reference line CLK0 left as it is (on once started), by one write on the bus. */
HAL_StatusTypeDef Si5351_OutputsIdle(I2C_HandleTypeDef *hi2c);

/* Plans count tones first_uhz + n x spacing_uhz (n < count <= SI5351_MAX_TONES) for a crystal of
 * xtal_hz. Where it can, the plan keys by one register (`smooth`), each tone within a fraction of
 * a millihertz; elsewhere each tone is as close as the chip allows. Pure arithmetic; false (plan
 * untouched) when a tone lies outside SI5351_CLK1_MIN_UHZ..SI5351_CLK1_MAX_UHZ, the crystal outside
 * its range, or count is 0 or too large. */
bool Si5351_PlanTones(uint32_t xtal_hz, uint64_t first_uhz, uint64_t spacing_uhz, uint8_t count,
                      Si5351TonePlan *plan);

/* The same for a crystal known to the millihertz (a measured one, xtal_mhz): the tones are
 * planned for the whole hertz nearest it, each moved by the ratio of the two, which gives the
 * dividers the same ratios to the real crystal. */
bool Si5351_PlanTonesMilli(uint64_t xtal_mhz, uint64_t first_uhz, uint64_t spacing_uhz,
                           uint8_t count, Si5351TonePlan *plan);

/* The plan `base` trimmed to the crystal xtal_mhz (a little off the one it was made for): one
 * amount added to the moving divider's p2 in every tone, so that the tones key as before and a trim
 * written during a frame changes p2's two low bytes at most (si5351_trim.cpp). False, out
 * untouched or partly written, when the trim would change any other register (p1, p2's top bits)
 * or the crystal moved more than 100 ppm: the next frame's plan then catches up. */
bool Si5351_TrimPlan(const Si5351TonePlan *base, uint64_t xtal_mhz, Si5351TonePlan *out);

/* Whether the plan of these tones keeps the margin from the chip's limits (the plan's
 * keeps_margin), without planning them: cheap enough for a check of what the operator types. */
bool Si5351_TonesKeepMargin(uint64_t first_uhz, uint64_t spacing_uhz, uint8_t count);

/* Full set-up of CLK1 on tone n of the plan: outputs off, both dividers, PLL A reset, CLK1
 * control, CLK1 on. Used at the start of a frame; the output is silent for the ~0.7 ms it takes. */
HAL_StatusTypeDef Si5351_StartTone(const Si5351TonePlan *plan, uint8_t n);

/* Moves a running CLK1 to tone n of the plan it was started with. With a smooth plan only the
 * register that differs from what the chip holds is sent, with no output disable and no PLL reset:
 * CLK1 stays on and phase-continuous and never passes through another frequency, whenever the chip
 * takes the byte. Nothing is sent when the tone is already on. A plan that is not smooth, or a chip
 * whose state is not known (no start yet, or a failed write), gets Si5351_StartTone. */
HAL_StatusTypeDef Si5351_KeyTone(const Si5351TonePlan *plan, uint8_t n);

/* ---- Divider arithmetic ----------------------------------------------------------------------
 * Only the driver needs it; it is visible here so that it can be checked at compile time and by
 * tests. Pure integer arithmetic, no hardware access. */

/* Encoded form of integer + numerator/denominator, the fraction already in lowest terms and
 * below one (a zero denominator is read as 1). */
constexpr Si5351Params Si5351_CalcParams(uint32_t integer, uint32_t numerator,
                                         uint32_t denominator) {
    if (denominator == 0 || numerator == 0) {
        numerator = 0;
        denominator = 1;
    }
    const uint32_t scaled =
        static_cast<uint32_t>((static_cast<uint64_t>(numerator) * 128U) / denominator);
    Si5351Params params{};
    params.p1 = integer * 128U + scaled - 512U;
    params.p2 = numerator * 128U - denominator * scaled;
    params.p3 = denominator;
    return params;
}

/* The best approximation b/c of num/den (num < den) with c <= max_den: no fraction with a
 * denominator up to max_den lies closer. Continued fraction of num/den; the last step takes the
 * semiconvergent when it is closer. residual is |c num - b den|, so the error is residual/(c den).
 */
struct Si5351Fraction {
    uint32_t b;
    uint32_t c;
    uint64_t residual;
};

constexpr Si5351Fraction Si5351_BestFraction(uint64_t num, uint64_t den, uint32_t max_den) {
    /* The last two convergents h/k with their remainders r = |k num - h den|, starting from 0/1
     * and, before it, 1/0. */
    uint64_t h = 0, k = 1, r = num;
    uint64_t h_prev = 1, k_prev = 0, r_prev = den;
    while (r != 0) {
        const uint64_t a = r_prev / r;
        if (a > (max_den - k_prev) / k) {
            /* The next convergent's denominator would not fit: the best left is the
             * semiconvergent with the largest t that fits, or the last convergent. Closer when
             * rs / ks < r / k; both products stay below den. */
            const uint64_t t = (max_den - k_prev) / k;
            const uint64_t ks = k_prev + t * k;
            const uint64_t rs = r_prev - t * r;
            if (t != 0 && rs * k < r * ks) {
                return {static_cast<uint32_t>(h_prev + t * h), static_cast<uint32_t>(ks), rs};
            }
            return {static_cast<uint32_t>(h), static_cast<uint32_t>(k), r};
        }
        const uint64_t h_next = a * h + h_prev;
        const uint64_t k_next = a * k + k_prev;
        const uint64_t r_next = r_prev - a * r;
        h_prev = h;
        k_prev = k;
        r_prev = r;
        h = h_next;
        k = k_next;
        r = r_next;
    }
    return {static_cast<uint32_t>(h), static_cast<uint32_t>(k), 0};
}

/* The 8 bytes that hold a PLL or multisynth's parameters, in register order from the block's base
 * register. Byte 2 also carries a multisynth's R divider (bits 6..4, the divider's log2) and its
 * divide-by-4 field (bits 3..2). */
constexpr std::array<uint8_t, 8> Si5351_ParamsImage(const Si5351Params &params, bool divby4 = false,
                                                    uint8_t r_div_log2 = 0) {
    return {
        static_cast<uint8_t>(params.p3 >> 8),
        static_cast<uint8_t>(params.p3),
        static_cast<uint8_t>(((params.p1 >> 16) & 0x03U) | (divby4 ? 0x0CU : 0x00U) |
                             ((r_div_log2 & 0x07U) << 4)),
        static_cast<uint8_t>(params.p1 >> 8),
        static_cast<uint8_t>(params.p1),
        static_cast<uint8_t>(((params.p3 >> 12) & 0xF0U) | ((params.p2 >> 16) & 0x0FU)),
        static_cast<uint8_t>(params.p2 >> 8),
        static_cast<uint8_t>(params.p2),
    };
}

#endif
