// Divider arithmetic and tone planning of the Si5351 driver, checked with exact rational
// arithmetic written apart from it: the encoding of a ratio, the best fractions, the plans of
// known frequencies, and every plan across the range within the chip's limits and as close as
// they allow.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "fraction_oracle.h"
#include "si5351.h"
#include "tones.h"
#include "tx_mode.h"
#include "uint128.h"

namespace {

using u128 = sim::Uint128;
constexpr uint64_t MAX_DEN = 1048575;
constexpr uint64_t UHZ = 1000000;

// The ratio p1/p2/p3 stand for, (p1 + 512 + p2/p3) / 128, as an exact fraction.
struct Exact {
    u128 num, den;
};
Exact RatioOf(const Si5351Params &p) {
    return {static_cast<u128>(p.p3) * (p.p1 + 512ULL) + p.p2, static_cast<u128>(128) * p.p3};
}
bool Equal(const Exact &a, const Exact &b) {
    return a.num * b.den == b.num * a.den;
}

// What a setting emits with a crystal of xtal_hz, in micro-hertz rounded to the nearest: the
// multisynth divides by 4 in divide-by-4 mode and by its whole part in integer mode, and the R
// divider by 2^r_div_log2 after it.
uint64_t EmittedUhz(const Si5351Setting &s, uint64_t xtal_hz, unsigned r_div_log2 = 0) {
    const Exact pll = RatioOf(s.pll);
    Exact ms = RatioOf(s.ms);
    if (s.ms_mode == SI5351_MS_DIVBY4) {
        ms = {4, 1};
    }
    const u128 num = static_cast<u128>(xtal_hz) * UHZ * pll.num * ms.den;
    const u128 den = (pll.den * ms.num) << r_div_log2;
    return static_cast<uint64_t>((num + den / 2) / den);
}

TEST(Si5351Calc, EncodingRepresentsTheRatio) {
    struct Case {
        uint32_t a, b, c;
    } const cases[] = {
        {63, 118846, 140971}, {6, 1, 1000000}, {8, 999999, 1000000}, {360, 0, 1},
        {15, 1, 3},           {90, 1, 2},      {35, 331805, 333377}, {44, 343082, 1005333},
    };
    for (const Case &c : cases) {
        const Si5351Params p = Si5351_CalcParams(c.a, c.b, c.c);
        const Exact want{static_cast<u128>(c.a) * c.c + c.b, c.c};
        EXPECT_TRUE(Equal(RatioOf(p), want)) << c.a << "+" << c.b << "/" << c.c;
        EXPECT_LT(p.p2, p.p3);
    }
    // No fraction, or a zero denominator: p2 = 0, p3 = 1.
    const Si5351Params whole = Si5351_CalcParams(20, 0, 12345);
    EXPECT_EQ(whole.p1, 20U * 128 - 512);
    EXPECT_EQ(whole.p2, 0U);
    EXPECT_EQ(whole.p3, 1U);
    EXPECT_EQ(Si5351_CalcParams(20, 3, 0).p3, 1U);
}

TEST(Si5351Calc, BestFractionIsTheClosest) {
    // Against every denominator for small limits, and the Farey neighbours for the chip's.
    uint64_t lcg = 99;
    for (int i = 0; i < 3000; ++i) {
        lcg = lcg * 6364136223846793005ULL + 1442695040888963407ULL;
        const uint64_t den = 2 + (lcg >> 20) % 1000000000000ULL;
        const uint64_t num = (lcg >> 7) % den;
        const uint32_t small = static_cast<uint32_t>(1 + (lcg >> 40) % 300);
        const Si5351Fraction f = Si5351_BestFraction(num, den, small);
        for (uint64_t c = 1; c <= small; ++c) {
            const uint64_t b = static_cast<uint64_t>((static_cast<u128>(num) * c + den / 2) / den);
            ASSERT_TRUE(oracle::NoFarther(num, den, f.b, f.c, b, c))
                << num << "/" << den << " limit " << small << ": " << f.b << "/" << f.c << " but "
                << b << "/" << c;
        }
        const Si5351Fraction g = Si5351_BestFraction(num, den, MAX_DEN);
        ASSERT_TRUE(oracle::IsBestFraction(num, den, g.b, g.c, MAX_DEN))
            << num << "/" << den << ": " << g.b << "/" << g.c;
        EXPECT_EQ(oracle::Distance(num, den, g.b, g.c), u128(g.residual));
    }
    // Next to simple fractions, where the best is the simple one or its far neighbour.
    const struct {
        uint64_t num, den;
    } hard[] = {{1, 2000000},       {1, 1048576}, {3, 1048575 * 3 + 1}, {499999, 1000000}, {0, 7},
                {6999999, 7000000}, {1, 3},       {1048574, 1048575}};
    for (const auto &h : hard) {
        const Si5351Fraction f = Si5351_BestFraction(h.num, h.den, MAX_DEN);
        EXPECT_TRUE(oracle::IsBestFraction(h.num, h.den, f.b, f.c, MAX_DEN))
            << h.num << "/" << h.den << ": " << f.b << "/" << f.c;
    }
}

// The moving divider of every tone is the best the chip allows with the fixed one: a multisynth
// fraction closest to VCO / tone, or a PLL fraction closest to tone x multisynth / crystal.
void ExpectOptimal(const Si5351TonePlan &plan, uint64_t xtal_hz, uint64_t first_uhz,
                   uint64_t spacing_uhz) {
    const bool ms_moves = plan.tone[0].ms_mode == SI5351_MS_FRACTIONAL;
    for (uint8_t n = 0; n < plan.count; ++n) {
        SCOPED_TRACE(testing::Message() << "tone " << int{n});
        const Si5351Setting &s = plan.tone[n];
        const uint64_t tone = (first_uhz + n * spacing_uhz) << plan.r_div_log2;
        const Exact pll = RatioOf(s.pll);
        const Exact ms = RatioOf(s.ms);
        const uint64_t a_pll = static_cast<uint64_t>(pll.num / pll.den);
        const uint64_t a_ms = static_cast<uint64_t>(ms.num / ms.den);
        // The fraction b/c of a ratio p1/p2/p3: 128 b / c = (p1 + 512 - 128 a) + p2 / p3.
        auto fraction = [](const Si5351Params &p, uint64_t a, uint64_t &b, uint64_t &c) {
            const u128 scaled = static_cast<u128>(p.p1) + 512 - 128 * a; // floor(128 b / c)
            c = p.p3;
            b = static_cast<uint64_t>((scaled * c + p.p2) / 128);
        };
        uint64_t b = 0, c = 1;
        if (ms_moves) {
            ASSERT_TRUE(plan.tone[n].pll.p1 == plan.tone[0].pll.p1 &&
                        plan.tone[n].pll.p2 == plan.tone[0].pll.p2);
            // VCO / tone, the VCO = xtal x pll exactly: a whole number of micro-hertz here.
            const u128 vco_x_den = static_cast<u128>(xtal_hz) * UHZ * pll.num;
            ASSERT_EQ(vco_x_den % pll.den, u128(0));
            const uint64_t vco = static_cast<uint64_t>(vco_x_den / pll.den);
            // Whole part of the exact ratio: a fraction that rounds up reads as b/c = 1/1.
            const uint64_t a = vco / tone;
            ASSERT_LE(a, a_ms);
            fraction(s.ms, a, b, c);
            EXPECT_TRUE(oracle::IsBestFraction(vco - a * tone, tone, b, c, MAX_DEN))
                << "multisynth " << a << " + " << b << "/" << c;
        } else {
            const uint64_t divider = s.ms_mode == SI5351_MS_DIVBY4 ? 4 : a_ms;
            const uint64_t vco = tone * divider;
            const uint64_t xtal_uhz = xtal_hz * UHZ;
            const uint64_t a = vco / xtal_uhz;
            ASSERT_LE(a, a_pll);
            fraction(s.pll, a, b, c);
            EXPECT_TRUE(oracle::IsBestPllFraction(vco, xtal_uhz, a, b, c, MAX_DEN, divider))
                << "PLL " << a << " + " << b << "/" << c;
        }
    }
}

// Every setting within the chip's limits: VCO 600..900 MHz (with a fixed PLL, inside by 1/1000),
// feedback 15..90, multisynth fractional 8..2048, integer 6 or divide-by-4, 20-bit fractions, the
// multisynth's output 500 kHz .. 200 MHz, an R divider only below 500 kHz and never with the
// divide-by-4.
void ExpectWithinLimits(const Si5351TonePlan &plan, uint64_t xtal_hz) {
    ASSERT_LE(plan.r_div_log2, 7U);
    for (uint8_t n = 0; n < plan.count; ++n) {
        SCOPED_TRACE(testing::Message() << "tone " << int{n});
        const Si5351Setting &s = plan.tone[n];
        const Exact pll = RatioOf(s.pll);
        ASSERT_GE(s.pll.p3, 1U);
        ASSERT_LE(s.pll.p3, MAX_DEN);
        ASSERT_LT(s.pll.p2, s.pll.p3);
        ASSERT_LT(s.pll.p1, 1U << 18);
        const u128 vco_x_den = static_cast<u128>(xtal_hz) * pll.num; // Hz x pll.den
        EXPECT_GE(vco_x_den, pll.den * 600000000U);
        EXPECT_LE(vco_x_den, pll.den * 900000000U);
        EXPECT_GE(pll.num, pll.den * 15);
        EXPECT_LE(pll.num, pll.den * 90);
        const Exact ms = RatioOf(s.ms);
        switch (s.ms_mode) {
        case SI5351_MS_FRACTIONAL:
            EXPECT_GE(ms.num, ms.den * 8);
            EXPECT_LE(ms.num, ms.den * 2048);
            EXPECT_LE(s.ms.p3, MAX_DEN);
            EXPECT_LT(s.ms.p2, s.ms.p3);
            break;
        case SI5351_MS_INTEGER:
            EXPECT_EQ(s.ms.p1, 6U * 128 - 512);
            EXPECT_EQ(s.ms.p2, 0U);
            break;
        case SI5351_MS_DIVBY4:
            EXPECT_TRUE(s.ms.p1 == 0 && s.ms.p2 == 0 && s.ms.p3 == 1);
            break;
        }
        // The output, VCO / multisynth, at most 200 MHz.
        const Exact divider = s.ms_mode == SI5351_MS_DIVBY4 ? Exact{4, 1} : ms;
        EXPECT_LE(vco_x_den * divider.den, u128(200000000U) * pll.den * divider.num);
        EXPECT_GE(vco_x_den * divider.den, u128(500000U) * pll.den * divider.num);
        if (plan.r_div_log2 != 0 && n == 0) {
            EXPECT_NE(s.ms_mode, SI5351_MS_DIVBY4);
            // The R divider only where the output itself is below 500 kHz and 100 ppm: R / 2
            // would not do.
            EXPECT_LT((vco_x_den * divider.den) >> 1, u128(500050U) * pll.den * divider.num);
        }
    }
}

// A smooth plan: every tone's registers equal but for one byte of the moving divider's p2, the
// same byte for every pair, so a tone change is that one register; every tone within 25 mHz (and
// 99 % within 1 mHz, which the sweeps count).
void ExpectKeysByOneRegister(const Si5351TonePlan &plan, uint64_t xtal_hz, uint64_t first_uhz,
                             uint64_t spacing_uhz) {
    ASSERT_TRUE(plan.smooth);
    int moving = -1;
    for (uint8_t i = 0; i < plan.count; ++i) {
        SCOPED_TRACE(testing::Message() << "tone " << int{i});
        EXPECT_EQ(plan.tone[i].ms_mode, plan.tone[0].ms_mode);
        const auto pll0 = Si5351_ParamsImage(plan.tone[0].pll);
        const auto ms0 = Si5351_ParamsImage(plan.tone[0].ms);
        const auto pll = Si5351_ParamsImage(plan.tone[i].pll);
        const auto ms = Si5351_ParamsImage(plan.tone[i].ms);
        for (int b = 0; b < 16; ++b) {
            const bool differs = b < 8 ? pll[b] != pll0[b] : ms[b - 8] != ms0[b - 8];
            if (differs) {
                EXPECT_TRUE(moving == -1 || moving == b) << "byte " << b;
                EXPECT_TRUE(b % 8 == 6 || b % 8 == 7) << "byte " << b; // p2's middle or low byte
                moving = b;
            }
        }
        const uint64_t wanted = first_uhz + i * spacing_uhz;
        const uint64_t emitted = EmittedUhz(plan.tone[i], xtal_hz, plan.r_div_log2);
        EXPECT_TRUE(tones::Near(emitted, wanted)) << emitted << " for " << wanted;
    }
}

Si5351TonePlan Plan(uint64_t base_hz, uint32_t xtal_hz = SI5351_XTAL_HZ) {
    Si5351TonePlan plan{};
    EXPECT_TRUE(Si5351_PlanTones(xtal_hz, base_hz * UHZ, WSPR_TONE_SPACING_UHZ, 4, &plan))
        << base_hz;
    return plan;
}

TEST(Si5351Calc, PlansOfKnownFrequencies) {
    // 14097070 Hz: a fixed PLL at a whole multiple of the crystal, 25 x 25003275 Hz, and the
    // multisynth (5163 + 512 + p2 / 868128) / 128 with p2 stepping by 512 a tone.
    const Si5351TonePlan p20 = Plan(14097070);
    EXPECT_TRUE(Equal(RatioOf(p20.tone[0].pll), {25, 1}));
    EXPECT_TRUE(Equal(RatioOf(p20.tone[0].ms), {(5163ULL + 512) * 868128 + 591666, 128 * 868128}));
    ExpectKeysByOneRegister(p20, SI5351_XTAL_HZ, 14097070 * UHZ, WSPR_TONE_SPACING_UHZ);
    for (uint8_t n = 0; n < 4; ++n) {
        EXPECT_EQ(p20.tone[n].ms_mode, SI5351_MS_FRACTIONAL);
        EXPECT_EQ(p20.tone[n].ms.p2, 591666U - 512U * n);
    }
    // 144490500 Hz (2 m): above 112.5 MHz the multisynth is 6 in integer mode and the PLL moves.
    const Si5351TonePlan p2m = Plan(144490500);
    for (uint8_t n = 0; n < 4; ++n) {
        EXPECT_EQ(p2m.tone[n].ms_mode, SI5351_MS_INTEGER);
    }
    ExpectKeysByOneRegister(p2m, SI5351_XTAL_HZ, 144490500 * UHZ, WSPR_TONE_SPACING_UHZ);
    // 150 MHz: every tone from the divide-by-4, the VCO at 600 MHz and a little above.
    const Si5351TonePlan p150 = Plan(150000000);
    for (uint8_t n = 0; n < 4; ++n) {
        EXPECT_EQ(p150.tone[n].ms_mode, SI5351_MS_DIVBY4);
    }
    ExpectKeysByOneRegister(p150, SI5351_XTAL_HZ, 150000000 * UHZ, WSPR_TONE_SPACING_UHZ);
    // 2.5 MHz: the multisynth's p2 steps by a whole number of 256 there.
    ExpectKeysByOneRegister(Plan(2500000), SI5351_XTAL_HZ, 2500000 * UHZ, WSPR_TONE_SPACING_UHZ);
}

// The four topmost base frequencies put tones on both sides of 150 MHz: those below come from the
// multisynth 6 with the VCO near 900 MHz, those above from the divide-by-4 near 600 MHz.
// Where the VCO wanted is a hair from its limit (the top of the range on an odd crystal), the
// closest fraction can lie just outside; the plan takes the closest one inside instead.
TEST(Si5351Calc, VcoAtItsLimitStaysInside) {
    for (uint32_t xtal : {24610059U, 24000001U, 27999999U, 25003275U}) {
        SCOPED_TRACE(xtal);
        const Si5351TonePlan plan = Plan(150000000, xtal);
        ExpectWithinLimits(plan, xtal);
        ExpectKeysByOneRegister(plan, xtal, 150000000 * UHZ, WSPR_TONE_SPACING_UHZ);
    }
}

// The same at the top of the output range: a tone a hair below 200 MHz must not come out above
// it through a PLL fraction that rounds up (found by fuzzing: 24996442 Hz crystal).
TEST(Si5351Calc, OutputAtItsLimitStaysInside) {
    for (uint32_t xtal : {24996442U, 25003275U, 24000001U, 27999999U}) {
        for (uint64_t first : {SI5351_CLK1_MAX_UHZ - 1, SI5351_CLK1_MAX_UHZ}) {
            SCOPED_TRACE(testing::Message() << xtal << " " << first);
            Si5351TonePlan plan{};
            ASSERT_TRUE(Si5351_PlanTones(xtal, first, 0, 1, &plan));
            ExpectWithinLimits(plan, xtal);
            ExpectOptimal(plan, xtal, first, 0);
        }
    }
}

TEST(Si5351Calc, TonesStraddling150MHzEachWithinLimits) {
    for (uint64_t base = 149999996; base <= 149999999; ++base) {
        SCOPED_TRACE(base);
        const Si5351TonePlan plan = Plan(base);
        for (uint8_t n = 0; n < 4; ++n) {
            const bool above = tones::IdealUhz(base, n) > 150000000 * UHZ;
            EXPECT_EQ(plan.tone[n].ms_mode, above ? SI5351_MS_DIVBY4 : SI5351_MS_INTEGER);
        }
        ExpectWithinLimits(plan, SI5351_XTAL_HZ);
        ExpectOptimal(plan, SI5351_XTAL_HZ, base * UHZ, WSPR_TONE_SPACING_UHZ);
    }
}

TEST(Si5351Calc, RefusesWhatCannotBePlanned) {
    Si5351TonePlan plan{};
    plan.count = 7;
    const uint64_t sp = WSPR_TONE_SPACING_UHZ;
    EXPECT_FALSE(Si5351_PlanTones(SI5351_XTAL_HZ, SI5351_CLK1_MIN_UHZ - 1, sp, 4, &plan));
    EXPECT_FALSE(Si5351_PlanTones(SI5351_XTAL_HZ, SI5351_CLK1_MAX_UHZ - 2 * sp, sp, 4, &plan));
    EXPECT_FALSE(Si5351_PlanTones(SI5351_XTAL_HZ, UINT64_MAX, sp, 4, &plan));
    EXPECT_FALSE(Si5351_PlanTones(SI5351_XTAL_HZ, 14097070 * UHZ, UINT64_MAX / 2, 4, &plan));
    EXPECT_FALSE(Si5351_PlanTones(SI5351_XTAL_MIN_HZ - 1, 14097070 * UHZ, sp, 4, &plan));
    EXPECT_FALSE(Si5351_PlanTones(SI5351_XTAL_MAX_HZ + 1, 14097070 * UHZ, sp, 4, &plan));
    EXPECT_FALSE(Si5351_PlanTones(SI5351_XTAL_HZ, 14097070 * UHZ, sp, 0, &plan));
    EXPECT_FALSE(Si5351_PlanTones(SI5351_XTAL_HZ, 14097070 * UHZ, sp, 5, &plan));
    EXPECT_FALSE(Si5351_PlanTones(SI5351_XTAL_HZ, 14097070 * UHZ, sp, 4, nullptr));
    EXPECT_EQ(plan.count, 7); // untouched
    EXPECT_TRUE(Si5351_PlanTones(SI5351_XTAL_HZ, SI5351_CLK1_MAX_UHZ - 3 * sp, sp, 4, &plan));
    EXPECT_TRUE(Si5351_PlanTones(SI5351_XTAL_HZ, SI5351_CLK1_MIN_UHZ, sp, 4, &plan));
}

// The planning alone over the range, for crystals of 24 to 28 MHz: every plan within the limits
// and keying by one register with every tone within 1 mHz, except where the tones lie on both
// sides of a step the moving divider's p1 cannot avoid (its ratio crossing a whole 128th: only
// with the multisynth fixed at 6, 4.4 Hz of every 32.6 kHz between 112.5 and 150 MHz); those are
// the closest plans tone by tone, and the driver starts each of their tones afresh.
TEST(Si5351Calc, EveryPlanWithinLimitsAndKeyingByOneRegister) {
    size_t not_smooth = 0, plans = 0;
    for (uint32_t xtal : {24000000U, 25000000U, 25003275U, 27000000U, 28000000U}) {
        SCOPED_TRACE(xtal);
        uint64_t lcg = xtal;
        for (int i = 0; i < 1500; ++i) {
            lcg = lcg * 6364136223846793005ULL + 1442695040888963407ULL;
            const uint64_t base =
                WSPR_MIN_FREQ_HZ + (lcg >> 16) % (WSPR_MAX_FREQ_HZ - WSPR_MIN_FREQ_HZ + 1);
            SCOPED_TRACE(base);
            Si5351TonePlan plan{};
            ASSERT_TRUE(Si5351_PlanTones(xtal, base * UHZ, WSPR_TONE_SPACING_UHZ, 4, &plan));
            ExpectWithinLimits(plan, xtal);
            ++plans;
            if (plan.smooth) {
                ExpectKeysByOneRegister(plan, xtal, base * UHZ, WSPR_TONE_SPACING_UHZ);
                continue;
            }
            ++not_smooth;
            EXPECT_EQ(plan.tone[0].ms_mode, SI5351_MS_INTEGER);
            ExpectOptimal(plan, xtal, base * UHZ, WSPR_TONE_SPACING_UHZ);
            // The PLL ratio's 128ths: the first and last tone on either side of one.
            const Exact first = RatioOf(plan.tone[0].pll), last = RatioOf(plan.tone[3].pll);
            EXPECT_NE(first.num * 128 / first.den, last.num * 128 / last.den);
        }
    }
    EXPECT_LE(not_smooth * 1000, plans); // a handful in a thousand at most
}

// A real crystal off the configured one moves the VCO and the output with it: every plan keeps
// 100 ppm from the chip's limits, except the tones within 15 kHz below 150 MHz, where neither the
// multisynth 6 (VCO at its top) nor the divide-by-4 (VCO at its bottom) can; those plans say so.
TEST(Si5351Calc, PlansKeepAMarginFromTheLimitsWhereTheyCan) {
    auto expect_margin = [](const Si5351TonePlan &plan, uint32_t xtal) {
        for (uint8_t n = 0; n < plan.count; ++n) {
            const Si5351Setting &s = plan.tone[n];
            const Exact pll = RatioOf(s.pll);
            const u128 vco_x_den = static_cast<u128>(xtal) * pll.num; // Hz x pll.den
            // 600 MHz x 1.0001 <= VCO <= 900 MHz x 0.9999, output <= 200 MHz x 0.9999
            EXPECT_GE(vco_x_den * 10000, u128(pll.den) * 600000000U * 10001) << int{n};
            EXPECT_LE(vco_x_den * 10000, u128(pll.den) * 900000000U * 9999) << int{n};
            const Exact divider = s.ms_mode == SI5351_MS_DIVBY4 ? Exact{4, 1} : RatioOf(s.ms);
            EXPECT_LE(vco_x_den * divider.den * 10000,
                      u128(200000000U) * 9999 * pll.den * divider.num)
                << int{n};
        }
    };
    std::vector<uint64_t> bases = {WSPR_MIN_FREQ_HZ, 112387500, 112500000, 112600000, 149984995};
    for (uint64_t b = 112380000; b <= 112510000; b += 1300) {
        bases.push_back(b);
    }
    uint64_t lcg = 7;
    for (int i = 0; i < 400; ++i) {
        lcg = lcg * 6364136223846793005ULL + 1442695040888963407ULL;
        bases.push_back(WSPR_MIN_FREQ_HZ + (lcg >> 16) % (149984995 - WSPR_MIN_FREQ_HZ));
    }
    for (uint32_t xtal : {24000000U, 25003275U, 28000000U}) {
        for (uint64_t base : bases) {
            SCOPED_TRACE(testing::Message() << xtal << " " << base);
            const Si5351TonePlan plan = Plan(base, xtal);
            EXPECT_TRUE(plan.keeps_margin);
            EXPECT_TRUE(Si5351_TonesKeepMargin(base * UHZ, WSPR_TONE_SPACING_UHZ, 4));
            expect_margin(plan, xtal);
        }
        // Tone 3 above 149.985 MHz: no setting keeps the margin; the plan still works, at the
        // limits (as a base saved before the margin was kept still sends).
        for (uint64_t base : {149984996ULL, 149990000ULL, 149999998ULL, 150000000ULL}) {
            SCOPED_TRACE(testing::Message() << xtal << " " << base);
            const Si5351TonePlan plan = Plan(base, xtal);
            EXPECT_FALSE(plan.keeps_margin);
            EXPECT_FALSE(Si5351_TonesKeepMargin(base * UHZ, WSPR_TONE_SPACING_UHZ, 4));
            ExpectWithinLimits(plan, xtal);
        }
    }
}

TEST(Si5351Calc, RegisterImage) {
    using Image = std::array<uint8_t, 8>;
    EXPECT_EQ(Si5351_ParamsImage({2688, 0, 1}), (Image{0x00, 0x01, 0x00, 0x0A, 0x80, 0, 0, 0}));
    EXPECT_EQ(Si5351_ParamsImage({5163, 685177, 1005333}),
              (Image{0x57, 0x15, 0x00, 0x14, 0x2B, 0xFA, 0x74, 0x79}));
    // Every field at its widest: p1 18 bits, p2 and p3 20 bits; anything above is dropped.
    EXPECT_EQ(Si5351_ParamsImage({0x3FFFF, 0xFFFFF, 0xFFFFF}),
              (Image{0xFF, 0xFF, 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Si5351_ParamsImage({0xFFFC0000U, 0xFFF00000U, 0xFFF00000U}), Image{});
    EXPECT_EQ(Si5351_ParamsImage({0x12345, 0xABCDE, 0x6789A}),
              (Image{0x78, 0x9A, 0x01, 0x23, 0x45, 0x6A, 0xBC, 0xDE}));
    // Divide-by-4 sets bits 3..2 of byte 2, beside p1's top bits.
    EXPECT_EQ(Si5351_ParamsImage({0, 0, 1}, true), (Image{0x00, 0x01, 0x0C, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Si5351_ParamsImage({0x30000, 0, 1}, true)[2], 0x0F);
}

// ---- Below 2.5 MHz: the R divider ------------------------------------------------------------

// The worst tone error of a plan, in micro-hertz, as the chip emits it.
uint64_t WorstErrorUhz(const Si5351TonePlan &plan, uint64_t first_uhz, uint64_t spacing_uhz) {
    uint64_t worst = 0;
    for (uint8_t n = 0; n < plan.count; ++n) {
        const uint64_t want = first_uhz + n * spacing_uhz;
        const uint64_t got = EmittedUhz(plan.tone[n], SI5351_XTAL_HZ, plan.r_div_log2);
        worst = std::max(worst, got > want ? got - want : want - got);
    }
    return worst;
}

// 2200 m, 630 m and 160 m in every mode: the R divider that keeps the multisynth at 500 kHz or
// more (4, 2, 1), every tone within 1 mHz, and a tone change one register. The worst tone error
// over each band's 200 Hz window (tone 0 every 5 Hz) is printed for the record.
TEST(Si5351Calc, LowBandsKeyByOneRegisterThroughTheRDivider) {
    const struct {
        const char *name;
        uint64_t dial_hz;
        unsigned r_log2;
    } bands[] = {{"2200m", 136000, 2}, {"630m", 474200, 1}, {"160m", 1836600, 0}};
    for (const auto &band : bands) {
        for (uint8_t mode = 0; mode < TX_MODE_COUNT; ++mode) {
            const uint64_t spacing = TxMode_Info(mode).spacing_uhz;
            uint64_t worst = 0;
            for (uint64_t base = band.dial_hz + 1400; base <= band.dial_hz + 1600; base += 5) {
                SCOPED_TRACE(testing::Message()
                             << band.name << " " << TxMode_Info(mode).name << " " << base);
                Si5351TonePlan plan{};
                ASSERT_TRUE(Si5351_PlanTones(SI5351_XTAL_HZ, base * UHZ, spacing, 4, &plan));
                EXPECT_EQ(plan.r_div_log2, band.r_log2);
                ExpectWithinLimits(plan, SI5351_XTAL_HZ);
                ExpectKeysByOneRegister(plan, SI5351_XTAL_HZ, base * UHZ, spacing);
                worst = std::max(worst, WorstErrorUhz(plan, base * UHZ, spacing));
            }
            EXPECT_LE(worst, 1000U) << band.name << " " << TxMode_Info(mode).name;
            std::printf("%-6s %-11s worst tone error %llu uHz\n", band.name, TxMode_Info(mode).name,
                        static_cast<unsigned long long>(worst));
        }
    }
}

// From 8 kHz to 2.5 MHz (bases spaced by 0.3 % and at each step of the R divider): every plan
// within the chip's limits, every WSPR tone within 1 mHz, keying by one register from 32 kHz up.
// Prints the worst error and how many key by one register.
TEST(Si5351Calc, ToneAccuracyFrom8kHzTo2500kHz) {
    std::vector<uint64_t> bases;
    for (double f = 8000; f < 2500000; f *= 1.003) {
        bases.push_back(static_cast<uint64_t>(f));
    }
    for (uint64_t step = 500000; step >= WSPR_MIN_FREQ_HZ * 2; step /= 2) {
        bases.insert(bases.end(), {step - 1, step, step + 1});
    }
    bases.insert(bases.end(), {8000, 499999, 500000, 2499999});
    uint64_t worst = 0, worst_base = 0;
    size_t smooth = 0;
    for (uint64_t base : bases) {
        SCOPED_TRACE(base);
        Si5351TonePlan plan{};
        ASSERT_TRUE(Si5351_PlanTones(SI5351_XTAL_HZ, base * UHZ, WSPR_TONE_SPACING_UHZ, 4, &plan));
        ExpectWithinLimits(plan, SI5351_XTAL_HZ);
        const uint64_t e = WorstErrorUhz(plan, base * UHZ, WSPR_TONE_SPACING_UHZ);
        EXPECT_LE(e, 1000U);
        if (e > worst) {
            worst = e;
            worst_base = base;
        }
        // Below some 30 kHz WSPR's four tones span too large a part of the frequency for one
        // value of p1: those plans set each tone up afresh.
        EXPECT_TRUE(plan.smooth || base < 32000);
        if (plan.smooth) {
            ++smooth;
            ExpectKeysByOneRegister(plan, SI5351_XTAL_HZ, base * UHZ, WSPR_TONE_SPACING_UHZ);
        }
    }
    std::printf("8 kHz .. 2.5 MHz: %zu bases, worst tone error %llu uHz (at %llu Hz), %zu keying "
                "by one register\n",
                bases.size(), static_cast<unsigned long long>(worst),
                static_cast<unsigned long long>(worst_base), smooth);
}

} // namespace
