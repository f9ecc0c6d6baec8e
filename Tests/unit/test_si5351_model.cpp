// The Si5351 chip model on its own: register writes built by hand, the frequency it decodes from
// them, when CLK1 counts as on, and the timeline. The expected frequencies were worked out from
// the divider ratios, not from the model's formula.
#include "si5351_model.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "vmcu.h"

namespace {

using sim::Si5351Model;

constexpr uint64_t XTAL_25M = 25000000;
constexpr uint64_t MHZ_UHZ = 1000000000000ULL;

// One transfer: START, address acknowledged, register, data, STOP; every byte must be taken.
void Write(Si5351Model &chip, uint8_t reg, std::initializer_list<uint8_t> data, uint64_t t_ns = 0) {
    ASSERT_TRUE(chip.i2c_start(t_ns));
    ASSERT_TRUE(chip.i2c_write(reg, t_ns));
    for (uint8_t b : data) {
        ASSERT_TRUE(chip.i2c_write(b, t_ns));
    }
    chip.i2c_stop(t_ns);
}

// Register images, byte by byte (p3 15..8, p3 7..0, R/DIVBY4/p1 17..16, p1 15..8, p1 7..0,
// p3 19..16|p2 19..16, p2 15..8, p2 7..0).
const std::initializer_list<uint8_t> k_ratio_36 = {0x00, 0x01, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00};
const std::initializer_list<uint8_t> k_ratio_10 = {0x00, 0x01, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00};
// 24 + 2/3: p1 2645, p2 1, p3 3.
const std::initializer_list<uint8_t> k_ratio_24_2_3 = {0x00, 0x03, 0x00, 0x0A,
                                                       0x55, 0x00, 0x00, 0x01};
// 36 + 1/3: p1 4138, p2 2, p3 3.
const std::initializer_list<uint8_t> k_ratio_36_1_3 = {0x00, 0x03, 0x00, 0x10,
                                                       0x2A, 0x00, 0x00, 0x02};
// 35 + 331805/333377 and 63 + 118846/140971: the 900 MHz PLL and 14097070 Hz multisynth.
const std::initializer_list<uint8_t> k_pll_900m = {0x16, 0x41, 0x00, 0x0F, 0xFF, 0x52, 0x04, 0x41};
const std::initializer_list<uint8_t> k_ms_14m = {0x26, 0xAB, 0x00, 0x1D, 0xEB, 0x21, 0xF5, 0x87};

// PLL A and multisynth 1 programmed, CLK1 powered up from them in fractional mode and enabled.
void Program(Si5351Model &chip, std::initializer_list<uint8_t> pll,
             std::initializer_list<uint8_t> ms, uint8_t control = 0x0F) {
    Write(chip, 26, pll);
    Write(chip, 50, ms);
    Write(chip, 17, {control});
    Write(chip, 3, {0xFD});
}

TEST(Si5351Model, PowersUpWithOutputsDown) {
    Si5351Model chip;
    EXPECT_EQ(chip.xtal_hz(), 25003275U);
    EXPECT_FALSE(chip.clk1_on());
    EXPECT_EQ(chip.clk1_freq_uhz(), 0U);
    EXPECT_TRUE(chip.timeline().empty());
    for (int r = 16; r <= 23; ++r) {
        EXPECT_EQ(chip.reg(static_cast<uint8_t>(r)), 0x80) << r;
    }
}

TEST(Si5351Model, DecodesTheFrequencyFromTheRegisters) {
    struct Case {
        const char *what;
        uint64_t xtal_hz;
        std::initializer_list<uint8_t> pll, ms;
        uint8_t control;
        uint64_t freq_uhz;
    } const cases[] = {
        {"900 MHz / 36", XTAL_25M, k_ratio_36, k_ratio_36, 0x0F, 25 * MHZ_UHZ},
        {"integer mode, integer ratio", XTAL_25M, k_ratio_36, k_ratio_36, 0x4F, 25 * MHZ_UHZ},
        {"fractional PLL, rounded up", XTAL_25M, k_ratio_24_2_3, k_ratio_10, 0x0F,
         61666666666667ULL},
        {"fractional multisynth", XTAL_25M, k_ratio_36, k_ratio_36_1_3, 0x0F, 24770642201835ULL},
        {"integer mode drops the fraction", XTAL_25M, k_ratio_36, k_ratio_36_1_3, 0x4F,
         24774193548387ULL},
        {"R divider 4",
         XTAL_25M,
         k_ratio_36,
         {0x00, 0x01, 0x20, 0x10, 0x00, 0x00, 0x00, 0x00},
         0x0F,
         6250000000000ULL},
        {"R divider 128",
         XTAL_25M,
         k_ratio_36,
         {0x00, 0x01, 0x70, 0x10, 0x00, 0x00, 0x00, 0x00},
         0x0F,
         195312500000ULL},
        {"divide by 4 ignores p1..p3",
         XTAL_25M,
         k_ratio_36,
         {0x00, 0x01, 0x0C, 0x10, 0x00, 0x00, 0x00, 0x00},
         0x0F,
         225 * MHZ_UHZ},
        {"calibrated crystal, 14097070 Hz planning", 25003275, k_pll_900m, k_ms_14m, 0x0F,
         14097070239518ULL},
        {"the same planning on a 25 MHz crystal", XTAL_25M, k_pll_900m, k_ms_14m, 0x0F,
         14095223765205ULL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Si5351Model chip(c.xtal_hz);
        Program(chip, c.pll, c.ms, c.control);
        EXPECT_TRUE(chip.clk1_on());
        EXPECT_EQ(chip.clk1_freq_uhz(), c.freq_uhz);
    }
}

TEST(Si5351Model, DecodesParameterFields) {
    Si5351Model chip;
    Write(chip, 26, k_pll_900m);
    Write(chip, 50, {0x78, 0x9A, 0x51, 0x23, 0x45, 0x6A, 0xBC, 0xDE});
    EXPECT_EQ(chip.pll_a_params(), (Si5351Model::Params{4095, 132161, 333377}));
    EXPECT_EQ(chip.ms1_params(), (Si5351Model::Params{0x12345, 0xABCDE, 0x6789A}));
    EXPECT_EQ(chip.r1_div_log2(), 5U);
    EXPECT_FALSE(chip.ms1_divby4());
    EXPECT_EQ(Si5351Model::PllOutputUhz(25003275, 4095, 132161, 333377), 900 * MHZ_UHZ);
    EXPECT_EQ(Si5351Model::PllOutputUhz(XTAL_25M, 4095, 132161, 333377), 899882115442877ULL);
    EXPECT_EQ(Si5351Model::PllOutputUhz(XTAL_25M, 4096, 0, 0), 0U);
}

TEST(Si5351Model, Clk1IsOnOnlyWhenEveryConditionHolds) {
    struct Case {
        const char *what;
        uint8_t reg;
        std::initializer_list<uint8_t> data;
        bool on;
    } const cases[] = {
        {"as programmed", 183, {0x92}, true},
        {"other outputs enabled too", 3, {0x00}, true},
        {"8 mA or 2 mA drive alike", 17, {0x0C}, true},
        {"CLK1 disabled", 3, {0xFF}, false},
        {"only CLK1 disabled", 3, {0x02}, false},
        {"powered down", 17, {0x8F}, false},
        {"fed from PLL B", 17, {0x2F}, false},
        {"driven by the crystal", 17, {0x03}, false},
        {"driven by CLKIN", 17, {0x07}, false},
        {"driven by multisynth 0", 17, {0x0B}, false},
        {"PLL A p3 of 0", 26, {0x00, 0x00}, false},
        {"multisynth 1 p3 of 0", 50, {0x00, 0x00}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Si5351Model chip(XTAL_25M);
        Program(chip, k_ratio_36, k_ratio_36);
        ASSERT_TRUE(chip.clk1_on());
        Write(chip, c.reg, c.data);
        EXPECT_EQ(chip.clk1_on(), c.on);
        EXPECT_EQ(chip.clk1_freq_uhz(), c.on ? 25 * MHZ_UHZ : 0U);
    }
}

TEST(Si5351Model, TimelineChangesAtTheEndOfATransfer) {
    Si5351Model chip(XTAL_25M, Si5351Model::Latch::STOP);
    std::vector<Si5351Model::Change> seen;
    chip.on_change([&seen](const Si5351Model::Change &c) { seen.push_back(c); });
    Write(chip, 3, {0xFF}, 500); // register 3 powers up at 0: every output enabled
    Write(chip, 26, k_ratio_36, 1000);
    Write(chip, 50, k_ratio_36, 2000);
    Write(chip, 17, {0x0F}, 3000);
    EXPECT_TRUE(chip.timeline().empty()); // still disabled by register 3 = 0

    Write(chip, 3, {0xFD}, 4'000'999);
    // A new ratio sent in one transfer: nothing changes until its STOP.
    ASSERT_TRUE(chip.i2c_start(5'000'000));
    for (uint8_t b : {uint8_t{50}, uint8_t{0x00}, uint8_t{0x01}, uint8_t{0x00}, uint8_t{0x03}}) {
        ASSERT_TRUE(chip.i2c_write(b, 5'000'000));
    }
    EXPECT_EQ(chip.clk1_freq_uhz(), 25 * MHZ_UHZ);
    chip.i2c_stop(6'000'500);
    EXPECT_EQ(chip.clk1_freq_uhz(), 90 * MHZ_UHZ);
    Write(chip, 183, {0x92}, 7'000'000); // nothing CLK1 depends on
    Write(chip, 17, {0x80}, 8'000'000);

    const std::vector<Si5351Model::Change> expected = {
        {4000, true, 25 * MHZ_UHZ}, {6000, true, 90 * MHZ_UHZ}, {8000, false, 0}};
    ASSERT_EQ(chip.timeline().size(), expected.size());
    ASSERT_EQ(seen.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(chip.timeline()[i].t_us, expected[i].t_us);
        EXPECT_EQ(chip.timeline()[i].on, expected[i].on);
        EXPECT_EQ(chip.timeline()[i].freq_uhz, expected[i].freq_uhz);
        EXPECT_EQ(seen[i].t_us, expected[i].t_us);
        EXPECT_EQ(seen[i].freq_uhz, expected[i].freq_uhz);
    }
    EXPECT_EQ(chip.transfers(), 8U);
}

// The chip may use each register as its byte arrives: the model then passes through every state
// between the bytes of a transfer. A tone change on 20 m that rewrites multisynth 1's eight bytes,
// (p1, p2, p3) (5163, 37617, 55469) to (5163, 490271, 721059) with PLL A at 25 x the crystal: after
// registers 50 and 51, p3 is 163 while p2 is still 37617, and CLK1 sits near 13.55 MHz, 549 kHz
// below both tones. Latched at the STOP, only the new tone is seen.
TEST(Si5351Model, ByteLatchPassesThroughEveryStateOfATransfer) {
    const std::initializer_list<uint8_t> pll_25 = {0x00, 0x01, 0x00, 0x0A, 0x80, 0x00, 0x00, 0x00};
    const std::initializer_list<uint8_t> ms_tone3 = {0xD8, 0xAD, 0x00, 0x14,
                                                     0x2B, 0x00, 0x92, 0xF1};
    const uint8_t ms_tone0[] = {0x00, 0xA3, 0x00, 0x14, 0x2B, 0xB7, 0x7B, 0x1F};
    const uint64_t tone0_uhz = 14097074000000ULL, tone3_uhz = 14097078394532ULL;
    for (const auto latch : {Si5351Model::Latch::BYTE, Si5351Model::Latch::STOP}) {
        SCOPED_TRACE(latch == Si5351Model::Latch::BYTE ? "byte" : "stop");
        Si5351Model chip(Si5351Model::DEFAULT_XTAL_HZ, latch);
        Program(chip, pll_25, ms_tone3);
        ASSERT_NEAR(static_cast<double>(chip.clk1_freq_uhz()), static_cast<double>(tone3_uhz), 1e6);
        const size_t before = chip.timeline().size();
        // One byte every 22.5 us (9 bits at 400 kHz), register 50 first.
        uint64_t t_ns = 10'000'000;
        ASSERT_TRUE(chip.i2c_start(t_ns));
        ASSERT_TRUE(chip.i2c_write(50, t_ns += 22'500));
        for (uint8_t b : ms_tone0) {
            ASSERT_TRUE(chip.i2c_write(b, t_ns += 22'500));
        }
        chip.i2c_stop(t_ns += 2'500);
        ASSERT_NEAR(static_cast<double>(chip.clk1_freq_uhz()), static_cast<double>(tone0_uhz), 1e6);
        const std::vector<Si5351Model::Change> changes(chip.timeline().begin() + before,
                                                       chip.timeline().end());
        if (latch == Si5351Model::Latch::STOP) {
            ASSERT_EQ(changes.size(), 1U);
            EXPECT_EQ(changes[0].t_us, t_ns / 1000);
            continue;
        }
        // Each byte that changed what CLK1 emits is a state of its own, at the time of its byte:
        // register 50 (p3 = 173, 13.578 MHz), register 51 (p3 = 163, 13.548 MHz), ...
        ASSERT_GE(changes.size(), 3U);
        EXPECT_EQ(changes[0].t_us, 10'045U);
        EXPECT_NEAR(static_cast<double>(changes[0].freq_uhz), 13.5785e12, 0.001e12);
        EXPECT_EQ(changes[1].t_us, 10'067U);
        EXPECT_NEAR(static_cast<double>(changes[1].freq_uhz), 13.5478e12, 0.001e12);
        EXPECT_EQ(changes.back().freq_uhz, chip.clk1_freq_uhz());
        EXPECT_GT(chip.fault_count(), 0U); // p2 >= p3 between the bytes: outside the chip's limits
    }
}

TEST(Si5351Model, RegisterPointerAndPllReset) {
    Si5351Model chip;
    // Auto-increment runs across blocks and wraps after register 255.
    Write(chip, 40, {0x11, 0x22, 0x33});
    EXPECT_EQ(chip.reg(40), 0x11);
    EXPECT_EQ(chip.reg(41), 0x22);
    EXPECT_EQ(chip.reg(42), 0x33);
    Write(chip, 255, {0xAA, 0xBB});
    EXPECT_EQ(chip.reg(255), 0xAA);
    EXPECT_EQ(chip.reg(0), 0xBB);

    // The reset bits clear themselves; PLL A resets are counted with their time.
    Write(chip, 177, {0xA4}, 12'345'678);
    EXPECT_EQ(chip.reg(177), 0x04);
    EXPECT_EQ(chip.pll_a_resets(), 1U);
    EXPECT_EQ(chip.last_pll_a_reset_us(), 12345U);
    Write(chip, 177, {0x80});
    EXPECT_EQ(chip.pll_a_resets(), 1U);
}

TEST(Si5351Model, RefusesBytesOnDemand) {
    Si5351Model chip;
    chip.nack_byte(0);
    EXPECT_FALSE(chip.i2c_start(0));
    chip.i2c_stop(0);
    EXPECT_EQ(chip.transfers(), 0U);

    chip.nack_byte(3); // second data byte
    ASSERT_TRUE(chip.i2c_start(0));
    EXPECT_TRUE(chip.i2c_write(60, 0));
    EXPECT_TRUE(chip.i2c_write(0x11, 0));
    EXPECT_FALSE(chip.i2c_write(0x22, 0));
    chip.i2c_stop(0);
    EXPECT_EQ(chip.reg(60), 0x11);
    EXPECT_EQ(chip.reg(61), 0x00);
}

// The chip's limits while CLK1 is on: each register state below is outside them and recorded
// once as a fault; the same state with CLK1 off is not.
TEST(Si5351Model, RecordsStatesOutsideTheChipsLimits) {
    struct Case {
        const char *what;
        std::initializer_list<uint8_t> pll, ms;
        uint8_t control;
        const char *fault; // nullptr: within the limits
    } const cases[] = {
        {"900 MHz VCO, multisynth 36", k_ratio_36, k_ratio_36, 0x0F, nullptr},
        {"integer mode at a whole 36", k_ratio_36, k_ratio_36, 0x4F, nullptr},
        {"VCO at 1 GHz (ratio 40)",
         {0x00, 0x01, 0x00, 0x12, 0x00, 0x00, 0x00, 0x00},
         k_ratio_36,
         0x0F,
         "PLL A VCO outside 600..900 MHz"},
        {"VCO at 250 MHz (ratio 10)", k_ratio_10, k_ratio_36, 0x0F,
         "PLL A feedback ratio outside 15..90"},
        {"fractional multisynth of 6",
         k_ratio_36,
         {0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00},
         0x0F,
         "multisynth 1 fractional ratio outside 8..2048"},
        {"integer mode with a fraction", k_ratio_36, k_ratio_36_1_3, 0x4F,
         "multisynth 1 integer mode needs a whole ratio of 6 or more"},
        {"divide-by-4 without integer mode",
         k_ratio_24_2_3,
         {0x00, 0x01, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00},
         0x0F,
         "multisynth 1 divide-by-4 without integer mode"},
        {"divide-by-4 at 154 MHz",
         k_ratio_24_2_3,
         {0x00, 0x01, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00},
         0x4F,
         nullptr},
        {"divide-by-4 at 225 MHz",
         k_ratio_36,
         {0x00, 0x01, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00},
         0x4F,
         "CLK1 above 200 MHz"},
        // The multisynth's own output at 500 kHz or more, whatever the R divider makes of it:
        // 900 MHz / 1800 = 500 kHz (p1 0x38200), / 1801 just below (p1 0x38280).
        {"multisynth at 500 kHz, R 1",
         k_ratio_36,
         {0x00, 0x01, 0x03, 0x82, 0x00, 0x00, 0x00, 0x00},
         0x0F,
         nullptr},
        {"multisynth at 500 kHz, R 128: 3.9 kHz",
         k_ratio_36,
         {0x00, 0x01, 0x73, 0x82, 0x00, 0x00, 0x00, 0x00},
         0x0F,
         nullptr},
        {"multisynth below 500 kHz, R 1",
         k_ratio_36,
         {0x00, 0x01, 0x03, 0x82, 0x80, 0x00, 0x00, 0x00},
         0x0F,
         "multisynth 1 output below 500 kHz"},
        {"multisynth below 500 kHz, R 2",
         k_ratio_36,
         {0x00, 0x01, 0x13, 0x82, 0x80, 0x00, 0x00, 0x00},
         0x0F,
         "multisynth 1 output below 500 kHz"},
        {"divide-by-4 with R 2",
         k_ratio_24_2_3,
         {0x00, 0x01, 0x1C, 0x00, 0x00, 0x00, 0x00, 0x00},
         0x4F,
         "multisynth 1 divide-by-4 with an R divider other than 1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Si5351Model chip(XTAL_25M);
        Write(chip, 3, {0xFF}); // CLK1 off while it is set up: nothing to check yet
        Program(chip, c.pll, c.ms, c.control);
        Write(chip, 183, {0x92}); // a transfer that changes nothing: the fault is not counted twice
        if (c.fault == nullptr) {
            EXPECT_EQ(chip.fault_count(), 0U);
        } else {
            ASSERT_EQ(chip.fault_count(), 1U);
            EXPECT_EQ(chip.faults()[0].what, c.fault);
        }
    }
    Si5351Model off(XTAL_25M);
    Write(off, 3, {0xFF});
    Write(off, 26, {0x00, 0x01, 0x00, 0x12, 0x00, 0x00, 0x00, 0x00});
    Write(off, 50, k_ratio_36);
    Write(off, 17, {0x0F});
    EXPECT_EQ(off.fault_count(), 0U);
}

// A PLL reset while CLK1 runs restarts its phase: one timeline entry at the same frequency. A
// reset while it is off, or in the transfer that brings it on, is not heard.
TEST(Si5351Model, PllResetWhileOnBreaksThePhase) {
    Si5351Model chip(XTAL_25M);
    Write(chip, 3, {0xFF});
    Write(chip, 26, k_ratio_36);
    Write(chip, 50, k_ratio_36);
    Write(chip, 17, {0x0F});
    Write(chip, 177, {0x20}, 1000); // off: nothing
    Write(chip, 3, {0xFD}, 2000);
    Write(chip, 177, {0x20}, 3000);
    Write(chip, 50, k_ratio_10, 4000); // a new ratio alone: continuous
    ASSERT_EQ(chip.timeline().size(), 3U);
    EXPECT_FALSE(chip.timeline()[0].phase_break);
    EXPECT_TRUE(chip.timeline()[1].phase_break);
    EXPECT_EQ(chip.timeline()[1].freq_uhz, 25 * MHZ_UHZ);
    EXPECT_TRUE(chip.timeline()[1].on);
    EXPECT_FALSE(chip.timeline()[2].phase_break);
    EXPECT_EQ(chip.pll_a_resets(), 2U);
}

// On the virtual bus the model hears each byte when it is acknowledged and the STOP after the last:
// latched per byte, CLK1 changes with the last data byte, a STOP's time (about 2 us) before the
// transfer's end.
TEST(Si5351Model, OnTheVirtualBus) {
    for (const auto latch : {Si5351Model::Latch::STOP, Si5351Model::Latch::BYTE}) {
        vmcu::reset();
        Si5351Model chip(XTAL_25M, latch);
        vmcu::i2c_attach(I2C1, Si5351Model::ADDRESS_7BIT, &chip);
        I2C_HandleTypeDef hi2c{};
        hi2c.Instance = I2C1;
        ASSERT_EQ(HAL_I2C_Init(&hi2c), HAL_OK);
        struct {
            uint8_t reg;
            std::vector<uint8_t> data;
        } writes[] = {{3, {0xFF}}, {26, k_ratio_36}, {50, k_ratio_10}, {17, {0x0F}}, {3, {0xFD}}};
        for (auto &w : writes) {
            ASSERT_EQ(HAL_I2C_Mem_Write(&hi2c, 0xC0, w.reg, I2C_MEMADD_SIZE_8BIT, w.data.data(),
                                        static_cast<uint16_t>(w.data.size()), HAL_MAX_DELAY),
                      HAL_OK);
        }
        EXPECT_EQ(chip.clk1_freq_uhz(), 90 * MHZ_UHZ);
        ASSERT_EQ(chip.timeline().size(), 1U);
        const uint64_t end_us = vmcu::i2c_log().back().end_ns / 1000;
        if (latch == Si5351Model::Latch::STOP) {
            EXPECT_EQ(chip.timeline()[0].t_us, end_us);
        } else {
            EXPECT_LT(chip.timeline()[0].t_us, end_us);
            EXPECT_GE(chip.timeline()[0].t_us + 5, end_us);
        }
        EXPECT_EQ(chip.transfers(), 5U);
        vmcu::i2c_detach(I2C1, Si5351Model::ADDRESS_7BIT);
    }
}

} // namespace

// CLK0 from PLL B (36 x) through multisynth 0 in integer mode (10): 3.6 x the crystal, counted edge
// by edge from the phase (which starts where it would be had CLK0 run from time 0); off (powered
// down, disabled, or fed by PLL A) it does not count. With a crystal ramping linearly the count is
// the integral of its frequency.
TEST(Si5351Model, Clk0CountsItsEdgesFromThePhase) {
    Si5351Model chip(XTAL_25M);
    EXPECT_EQ(chip.edges_until(1000000000), 0u);
    Write(chip, 34, k_ratio_36, 1000000000);
    Write(chip, 42, k_ratio_10, 1000000000);
    Write(chip, 16, {0x4C}, 1000000000); // integer mode, multisynth 0, but from PLL A
    Write(chip, 3, {0xFE}, 1000000000);
    EXPECT_FALSE(chip.clk0_on());
    Write(chip, 16, {0x6C}, 1000000000); // from PLL B
    EXPECT_TRUE(chip.clk0_on());
    EXPECT_EQ(chip.clk0_freq_uhz(1000000000), 90 * MHZ_UHZ);
    EXPECT_EQ(chip.edges_until(1000000000), 90000000u);
    EXPECT_EQ(chip.edges_until(2000000000), 180000000u);
    EXPECT_EQ(chip.edges_until(2000000011), 180000000u); // 11 ns: 0.99 of a 90 MHz cycle
    EXPECT_EQ(chip.edges_until(2000000012), 180000001u);
    EXPECT_EQ(chip.edges_until(1500000000), 135000000u); // back from the last count
    Write(chip, 3, {0xFF}, 3000000000);
    EXPECT_EQ(chip.edges_until(5000000000), 270000000u);

    // 25 MHz + 1 Hz per second from t = 0: from 5 s to 7 s the crystal makes 2 x 25000006 cycles.
    Si5351Model ramp(XTAL_25M);
    ramp.set_xtal_drift({{0, XTAL_25M * 1000000}, {100000000000, (XTAL_25M + 100) * 1000000}});
    EXPECT_EQ(ramp.xtal_uhz_at(5500000000), (XTAL_25M * 1000000) + 5500000);
    EXPECT_EQ(ramp.xtal_uhz_at(200000000000), (XTAL_25M + 100) * 1000000); // held after the last
    Write(ramp, 34, k_ratio_36, 5000000000);
    Write(ramp, 42, k_ratio_10, 5000000000);
    Write(ramp, 16, {0x6C}, 5000000000);
    Write(ramp, 3, {0xFE}, 5000000000);
    EXPECT_EQ(ramp.edges_until(7000000000) - ramp.edges_until(5000000000),
              3600000ULL * 50000012 / 1000000);
}

// A drifting crystal moves CLK1 too: each refresh is a row of the timeline when the frequency moved.
TEST(Si5351Model, Clk1FollowsTheCrystalOnRefresh) {
    Si5351Model chip(XTAL_25M);
    chip.set_xtal_drift({{0, XTAL_25M * 1000000}, {1000000000, XTAL_25M * 1000000 + 500000}});
    Program(chip, k_ratio_36, k_ratio_10);
    ASSERT_EQ(chip.timeline().size(), 1u);
    EXPECT_EQ(chip.clk1_freq_uhz(), 90 * MHZ_UHZ);
    chip.refresh(500000000); // 25 MHz + 0.25 Hz: CLK1 at 3.6 x that
    ASSERT_EQ(chip.timeline().size(), 2u);
    EXPECT_EQ(chip.timeline().back().freq_uhz, 90 * MHZ_UHZ + 900000);
    chip.refresh(2000000000);
    chip.refresh(3000000000); // held: no new row
    EXPECT_EQ(chip.timeline().size(), 3u);
    EXPECT_EQ(chip.timeline().back().freq_uhz, 90 * MHZ_UHZ + 1800000);
}
