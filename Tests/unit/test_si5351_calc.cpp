// Divider arithmetic of the Si5351 driver: the planning of known frequencies, the encoding of a
// ratio into p1/p2/p3, and the register image.
#include "si5351.h"
#include "uint128.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace {

constexpr uint32_t PLL_HZ = 900000000;

// The ratio p1/p2/p3 stand for, (p1 + 512 + p2/p3) / 128, compared with a + b/c by cross
// multiplication: (p3 (p1 + 512) + p2) c == 128 p3 (a c + b).
bool EncodesRatio(const Si5351Params &p, uint64_t a, uint64_t b, uint64_t c) {
    using u128 = sim::Uint128;
    u128 lhs = (static_cast<u128>(p.p3) * (p.p1 + 512ULL) + p.p2) * c;
    u128 rhs = static_cast<u128>(128) * p.p3 * (a * c + b);
    return lhs == rhs;
}

void ExpectParams(const Si5351Params &p, uint32_t p1, uint32_t p2, uint32_t p3) {
    EXPECT_EQ(p.p1, p1);
    EXPECT_EQ(p.p2, p2);
    EXPECT_EQ(p.p3, p3);
}

TEST(Si5351Calc, PllIsTheSameForEveryOutput) {
    // 900 MHz / 25003275 Hz = 35 + 24885375/25003275, reduced by 75.
    ExpectParams(Si5351_CalcPllParams(PLL_HZ), 4095, 132161, 333377);
    EXPECT_TRUE(EncodesRatio(Si5351_CalcPllParams(PLL_HZ), 35, 331805, 333377));
}

TEST(Si5351Calc, MultisynthOfKnownFrequencies) {
    struct Case {
        uint64_t freq_uhz;
        uint32_t p1, p2, p3;
    } const cases[] = {
        {14097070000000ULL, 7659, 128391, 140971},                  // default base frequency
        {14097070000000ULL + 3 * 1464844ULL, 7659, 128007, 140971}, // its tone 3
        {2500000000000ULL, 45568, 0, 1},                            // ratio 360
        {150000000000000ULL, 256, 0, 1},                            // ratio 6
        {10000000000000ULL, 11008, 0, 1},                           // ratio 90
        {7200000000000ULL, 15488, 0, 1},                            // ratio 125
        {10000000400000ULL, 11007, 249872, 250000}, // ends on a denominator of exactly 1000000
        {10312345678901ULL, 10659, 1116, 14732},    // 1031235 is still above the limit
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.freq_uhz);
        ExpectParams(Si5351_CalcMsParamsUhz(PLL_HZ, c.freq_uhz), c.p1, c.p2, c.p3);
    }
}

TEST(Si5351Calc, EncodingRepresentsTheRatio) {
    struct Case {
        uint32_t a, b, c;
    } const cases[] = {
        {63, 118846, 140971}, {6, 1, 1000000}, {8, 999999, 1000000}, {360, 0, 1},
        {15, 1, 3},           {90, 2, 4},      {35, 331805, 333377}, {100, 7, 7},
    };
    for (const Case &c : cases) {
        Si5351Params p = Si5351_CalcParams(c.a, c.b, c.c);
        EXPECT_TRUE(EncodesRatio(p, c.a, c.b, c.c)) << c.a << "+" << c.b << "/" << c.c;
        EXPECT_LT(p.p2, p.p3);
    }
}

TEST(Si5351Calc, DegenerateFractions) {
    ExpectParams(Si5351_CalcParams(20, 0, 12345), 20 * 128 - 512, 0, 1);   // no fraction
    ExpectParams(Si5351_CalcParams(20, 3, 0), 20 * 128 + 384 - 512, 0, 1); // zero denominator is 1
    ExpectParams(Si5351_CalcParams(20, 250, 250), 21 * 128 - 512, 0, 1);   // fraction of one
    ExpectParams(Si5351_CalcParams(20, 2, 4), 20 * 128 + 64 - 512, 0, 2);  // reduced to 1/2
    // Results wrap in 32 bits rather than saturate.
    EXPECT_EQ(Si5351_CalcParams(0, 0, 1).p1, static_cast<uint32_t>(-512));
}

TEST(Si5351Calc, MultisynthFitsTheChipAcrossTheRange) {
    // The fields are 18 and 20 bits wide; the fraction must stay below one and the denominator
    // within 1000000 everywhere in 2.5 MHz .. 150 MHz.
    uint64_t f = 2500000000000ULL;
    while (f <= 150000000000000ULL) {
        Si5351Params p = Si5351_CalcMsParamsUhz(PLL_HZ, f);
        ASSERT_LT(p.p1, 1U << 18) << f;
        ASSERT_GE(p.p3, 1U) << f;
        ASSERT_LE(p.p3, 1000000U) << f;
        ASSERT_LT(p.p2, p.p3) << f;
        f += 7919191919ULL; // about 7.9 kHz, an irregular step
    }
}

TEST(Si5351Calc, RegisterImage) {
    using Image = std::array<uint8_t, 8>;
    EXPECT_EQ(Si5351_ParamsImage(Si5351_CalcPllParams(PLL_HZ)),
              (Image{0x16, 0x41, 0x00, 0x0F, 0xFF, 0x52, 0x04, 0x41}));
    EXPECT_EQ(Si5351_ParamsImage(Si5351_CalcMsParamsUhz(PLL_HZ, 14097070000000ULL)),
              (Image{0x26, 0xAB, 0x00, 0x1D, 0xEB, 0x21, 0xF5, 0x87}));
    // Every field at its widest: p1 18 bits, p2 and p3 20 bits; anything above is dropped.
    EXPECT_EQ(Si5351_ParamsImage({0x3FFFF, 0xFFFFF, 0xFFFFF}),
              (Image{0xFF, 0xFF, 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Si5351_ParamsImage({0xFFFC0000U, 0xFFF00000U, 0xFFF00000U}), Image{});
    EXPECT_EQ(Si5351_ParamsImage({0x12345, 0xABCDE, 0x6789A}),
              (Image{0x78, 0x9A, 0x01, 0x23, 0x45, 0x6A, 0xBC, 0xDE}));
}

} // namespace
