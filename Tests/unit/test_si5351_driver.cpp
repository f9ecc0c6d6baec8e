// The Si5351 driver on the virtual MCU with the chip model at 0x60: the transfers it makes, how it
// fails, and what CLK1 really emits across the whole frequency range.
#include "si5351.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "si5351_model.h"
#include "vmcu.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t CHIP = 0x60;
constexpr uint64_t TONE_UHZ = 1464844;
constexpr uint64_t F_14M_UHZ = 14097070000000ULL;

// Taken before any test has run: the driver has never been initialised, the bus not even
// configured. A test environment, not a static initialiser: the virtual MCU's own state is only
// constructed during static initialisation, in an order across files that nothing fixes.
struct BeforeInit {
    HAL_StatusTypeDef enable, disable, set;
    uint64_t operations;
};
BeforeInit g_before_init{};

class BeforeAnyTest : public ::testing::Environment {
  public:
    void SetUp() override {
        g_before_init.enable = Si5351_OutputEnableClk1(true);
        g_before_init.disable = Si5351_OutputEnableClk1(false);
        g_before_init.set = Si5351_SetFreqClk1Uhz(F_14M_UHZ);
        g_before_init.operations = vmcu::i2c_operations();
    }
};
[[maybe_unused]] ::testing::Environment *const k_before_any_test =
    ::testing::AddGlobalTestEnvironment(new BeforeAnyTest);

const std::vector<Bytes> k_init_writes = {
    {3, 0xFF}, {183, 0x92}, {149, 0x00}, {16, 0x80}, {17, 0x80}, {18, 0x80},
};
const Bytes k_pll_write = {26, 0x16, 0x41, 0x00, 0x0F, 0xFF, 0x52, 0x04, 0x41};
const std::vector<Bytes> k_set_14m_writes = {
    {3, 0xFF},   k_pll_write, {50, 0x26, 0xAB, 0x00, 0x1D, 0xEB, 0x21, 0xF5, 0x87},
    {177, 0x20}, {17, 0x0F},  {3, 0xFD},
};
const std::vector<Bytes> k_set_14m_tone3_writes = {
    {3, 0xFF},   k_pll_write, {50, 0x26, 0xAB, 0x00, 0x1D, 0xEB, 0x21, 0xF4, 0x07}, // p2 128007
    {177, 0x20}, {17, 0x0F},  {3, 0xFD},
};
const HAL_StatusTypeDef k_failures[] = {HAL_ERROR, HAL_BUSY, HAL_TIMEOUT};

class Si5351Driver : public ::testing::Test {
  protected:
    void SetUp() override { Boot(true); }
    void TearDown() override { vmcu::i2c_detach(CHIP); }

    // Power-on: a fresh bus and chip; the driver keeps whatever state it had.
    void Boot(bool chip_present) {
        vmcu::reset();
        chip_ = std::make_unique<sim::Si5351Model>();
        if (chip_present) {
            vmcu::i2c_attach(CHIP, chip_.get());
        }
        hi2c_ = {};
        hi2c_.Instance = I2C1;
        ASSERT_EQ(HAL_I2C_Init(&hi2c_), HAL_OK);
    }

    // The register writes logged from entry `first` on, each checked for its form: 0x60, 8-bit
    // register address, no time limit.
    static std::vector<Bytes> WritesFrom(size_t first) {
        std::vector<Bytes> writes;
        const auto &log = vmcu::i2c_log();
        for (size_t i = first; i < log.size(); ++i) {
            const vmcu::I2cTransfer &t = log[i];
            EXPECT_EQ(t.kind, vmcu::I2cTransfer::MEM_WRITE) << "entry " << i;
            EXPECT_EQ(t.addr7, CHIP) << "entry " << i;
            EXPECT_EQ(t.mem_add_size, I2C_MEMADD_SIZE_8BIT) << "entry " << i;
            EXPECT_EQ(t.timeout_ms, HAL_MAX_DELAY) << "entry " << i;
            writes.push_back(t.bytes);
        }
        return writes;
    }

    static void ExpectProbe(const vmcu::I2cTransfer &t) {
        EXPECT_EQ(t.kind, vmcu::I2cTransfer::PROBE);
        EXPECT_EQ(t.addr7, CHIP);
        EXPECT_EQ(t.trials, 3U);
        EXPECT_EQ(t.timeout_ms, 100U);
    }

    static std::vector<Bytes> Prefix(const std::vector<Bytes> &v, size_t n) {
        return {v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n)};
    }

    std::unique_ptr<sim::Si5351Model> chip_;
    I2C_HandleTypeDef hi2c_{};
};

TEST_F(Si5351Driver, NothingIsSentBeforeInit) {
    EXPECT_EQ(g_before_init.enable, HAL_ERROR);
    EXPECT_EQ(g_before_init.disable, HAL_ERROR);
    EXPECT_EQ(g_before_init.set, HAL_ERROR);
    EXPECT_EQ(g_before_init.operations, 0U);
}

TEST_F(Si5351Driver, InitProbesThenQuietsTheChip) {
    ASSERT_EQ(Si5351_Init(&hi2c_), HAL_OK);
    ASSERT_EQ(vmcu::i2c_log().size(), 7U);
    ExpectProbe(vmcu::i2c_log()[0]);
    EXPECT_EQ(WritesFrom(1), k_init_writes);
    EXPECT_FALSE(chip_->clk1_on());
}

TEST_F(Si5351Driver, SetFrequencyRewritesPllAndMultisynth) {
    ASSERT_EQ(Si5351_Init(&hi2c_), HAL_OK);
    ASSERT_EQ(Si5351_SetFreqClk1Uhz(F_14M_UHZ), HAL_OK);
    EXPECT_EQ(WritesFrom(7), k_set_14m_writes);
    // 900 MHz / (63 + 118846/140971), worked out by hand.
    EXPECT_TRUE(chip_->clk1_on());
    EXPECT_EQ(chip_->clk1_freq_uhz(), 14097070239518ULL);
    EXPECT_EQ(chip_->pll_a_resets(), 1U);

    ASSERT_EQ(Si5351_SetFreqClk1Uhz(F_14M_UHZ + 3 * TONE_UHZ), HAL_OK);
    EXPECT_EQ(WritesFrom(13), k_set_14m_tone3_writes);
    EXPECT_EQ(chip_->pll_a_resets(), 2U);
}

TEST_F(Si5351Driver, OutputEnableWritesFixedValues) {
    ASSERT_EQ(Si5351_Init(&hi2c_), HAL_OK);
    ASSERT_EQ(Si5351_SetFreqClk1Uhz(F_14M_UHZ), HAL_OK);
    ASSERT_EQ(Si5351_OutputEnableClk1(false), HAL_OK);
    EXPECT_FALSE(chip_->clk1_on());
    ASSERT_EQ(Si5351_OutputEnableClk1(true), HAL_OK);
    EXPECT_TRUE(chip_->clk1_on());
    ASSERT_EQ(Si5351_OutputEnableClk1(true), HAL_OK);
    EXPECT_EQ(WritesFrom(13), (std::vector<Bytes>{{3, 0xFF}, {3, 0xFD}, {3, 0xFD}}));
}

TEST_F(Si5351Driver, AbsentChipGetsOnlyTheProbe) {
    Boot(false);
    EXPECT_EQ(Si5351_Init(&hi2c_), HAL_ERROR);
    ASSERT_EQ(vmcu::i2c_log().size(), 1U);
    ExpectProbe(vmcu::i2c_log()[0]);
    // Not ready: refused without a transfer.
    EXPECT_EQ(Si5351_SetFreqClk1Uhz(F_14M_UHZ), HAL_ERROR);
    EXPECT_EQ(Si5351_OutputEnableClk1(false), HAL_ERROR);
    EXPECT_EQ(vmcu::i2c_operations(), 1U);

    // Once the chip answers, a new Init makes the driver usable again.
    vmcu::i2c_attach(CHIP, chip_.get());
    EXPECT_EQ(Si5351_Init(&hi2c_), HAL_OK);
    EXPECT_EQ(Si5351_SetFreqClk1Uhz(F_14M_UHZ), HAL_OK);
    EXPECT_TRUE(chip_->clk1_on());
}

TEST_F(Si5351Driver, InitStopsAtTheFirstFailure) {
    // Operation 0 is the probe, 1..6 the register writes.
    for (uint64_t at = 0; at <= 6; ++at) {
        for (HAL_StatusTypeDef status : k_failures) {
            SCOPED_TRACE(testing::Message() << "operation " << at << " status " << status);
            Boot(true);
            vmcu::i2c_fail(at, status, false);
            EXPECT_EQ(Si5351_Init(&hi2c_), status);
            ASSERT_EQ(vmcu::i2c_log().size(), at + 1);
            EXPECT_EQ(vmcu::i2c_log().back().status, status);
            ExpectProbe(vmcu::i2c_log()[0]);
            if (at > 0) {
                EXPECT_EQ(WritesFrom(1), Prefix(k_init_writes, at));
            }
            // The driver is left not ready.
            EXPECT_EQ(Si5351_OutputEnableClk1(true), HAL_ERROR);
            EXPECT_EQ(vmcu::i2c_operations(), at + 1);
        }
    }
}

TEST_F(Si5351Driver, SetFrequencyStopsAtTheFirstFailure) {
    for (uint64_t at = 0; at < k_set_14m_writes.size(); ++at) {
        for (HAL_StatusTypeDef status : k_failures) {
            SCOPED_TRACE(testing::Message() << "write " << at << " status " << status);
            Boot(true);
            ASSERT_EQ(Si5351_Init(&hi2c_), HAL_OK);
            vmcu::i2c_fail(7 + at, status, false);
            EXPECT_EQ(Si5351_SetFreqClk1Uhz(F_14M_UHZ), status);
            ASSERT_EQ(vmcu::i2c_log().size(), 7 + at + 1);
            EXPECT_EQ(WritesFrom(7), Prefix(k_set_14m_writes, at + 1));
            EXPECT_FALSE(chip_->clk1_on());
            // A failed write does not make the driver unready.
            EXPECT_EQ(Si5351_OutputEnableClk1(false), HAL_OK);
        }
    }
}

TEST_F(Si5351Driver, ByteNotAcknowledgedIsAnError) {
    chip_->nack_byte(2); // first data byte of every write
    EXPECT_EQ(Si5351_Init(&hi2c_), HAL_ERROR);
    EXPECT_EQ(vmcu::i2c_operations(), 2U);

    Boot(true);
    chip_->nack_byte(0); // the address itself
    EXPECT_EQ(Si5351_Init(&hi2c_), HAL_ERROR);
    EXPECT_EQ(vmcu::i2c_operations(), 1U);
}

TEST_F(Si5351Driver, FrequencyRangeIncludesItsBounds) {
    ASSERT_EQ(Si5351_Init(&hi2c_), HAL_OK);
    struct Case {
        uint64_t freq_uhz;
        bool accepted;
    } const cases[] = {
        {2500000000000ULL - 1, false},
        {2500000000000ULL, true},
        {150000000000000ULL, true},
        {150000000000000ULL + 1, false},
        {0, false},
        {UINT64_MAX, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.freq_uhz);
        const uint64_t ops = vmcu::i2c_operations();
        const HAL_StatusTypeDef status = Si5351_SetFreqClk1Uhz(c.freq_uhz);
        if (c.accepted) {
            EXPECT_EQ(status, HAL_OK);
            EXPECT_EQ(vmcu::i2c_operations(), ops + 6);
            EXPECT_EQ(chip_->clk1_freq_uhz(), c.freq_uhz); // 900 MHz / 360 and / 6 are exact
        } else {
            EXPECT_EQ(status, HAL_ERROR);
            EXPECT_EQ(vmcu::i2c_operations(), ops);
        }
    }
}

// ---- What CLK1 emits across the range -----------------------------------------------------------

// The planning assumes PLL A at 900 MHz and keeps the multisynth fraction remainder/freq_uhz,
// scaled down by tens with half-up rounding of numerator and denominator, until the denominator d
// is at most 1000000. Each pass moves either by at most 0.5 of a unit of that pass, so after the
// last pass numerator and denominator are off their exact values by less than 5/9 each, and the
// fraction (below 1) by less than 1/d. The ratio M is off by |dM| < 1/d, and the output f = P/M by
// at most f |dM| / (M - |dM|), plus half a micro-hertz of rounding. A PLL that is not exactly at
// the planned frequency adds |P_real - P| / (M - |dM|).
//
// d is freq_uhz brought to at most 1000000 by tens; near that limit the rounding may take one more
// pass, and then the smaller denominator is assumed.
uint64_t DenominatorLowerBound(uint64_t freq_uhz) {
    uint64_t p = 1;
    while (freq_uhz / p >= 999999) {
        p *= 10;
    }
    return freq_uhz / p - 1;
}

long double ErrorBoundUhz(uint64_t freq_uhz, long double pll_error_uhz) {
    const long double m = 900000000000000.0L / static_cast<long double>(freq_uhz);
    const long double dm = 1.0L / static_cast<long double>(DenominatorLowerBound(freq_uhz));
    return (static_cast<long double>(freq_uhz) * dm + pll_error_uhz) / (m - dm) + 0.5L;
}

// Base frequencies: log-spaced over the range with irregular hertz, the WSPR dial frequencies plus
// audio offsets, and the ends. The top stays where tone 3 is still in range.
std::vector<uint64_t> SweepBasesHz() {
    std::vector<uint64_t> bases;
    constexpr uint64_t lo = 2500000, hi = 150000000 - 5;
    constexpr int n = 3000;
    uint32_t lcg = 12345;
    for (int i = 0; i < n; ++i) {
        lcg = lcg * 1103515245U + 12345U;
        const double f = lo * std::pow(static_cast<double>(hi) / lo, i / (n - 1.0));
        const uint64_t hz = static_cast<uint64_t>(f) + (lcg >> 16) % 997;
        bases.push_back(hz < lo ? lo : hz > hi ? hi : hz);
    }
    const uint64_t dials[] = {3568600,  5287200,  7038600,  10138700, 14095600, 18104600,
                              21094600, 24924600, 28124600, 50293000, 70091000, 144489000};
    for (uint64_t dial : dials) {
        for (uint64_t audio = 1400; audio <= 1600; audio += 20) {
            bases.push_back(dial + audio);
        }
    }
    bases.push_back(lo);
    bases.push_back(hi);
    return bases;
}

TEST(Si5351Sweep, Clk1StaysWithinThePlannedErrorForEveryTone) {
    vmcu::reset();
    vmcu::i2c_keep_log(false);
    sim::Si5351Model chip;
    chip.keep_timeline(false);
    vmcu::i2c_attach(CHIP, &chip);
    I2C_HandleTypeDef hi2c{};
    hi2c.Instance = I2C1;
    ASSERT_EQ(HAL_I2C_Init(&hi2c), HAL_OK);
    ASSERT_EQ(Si5351_Init(&hi2c), HAL_OK);
    ASSERT_EQ(Si5351_SetFreqClk1Uhz(F_14M_UHZ), HAL_OK);

    // What PLL A really runs at, from the registers the chip holds and its crystal.
    const sim::Si5351Model::Params pll = chip.pll_a_params();
    const uint64_t pll_uhz = sim::Si5351Model::PllOutputUhz(chip.xtal_hz(), pll.p1, pll.p2, pll.p3);
    const long double pll_error_uhz =
        std::fabs(static_cast<long double>(pll_uhz) - 900000000000000.0L) + 0.5L;

    int64_t worst_error = 0;
    uint64_t worst_at = 0;
    long double worst_relative = 0, worst_share_of_bound = 0;
    uint64_t tones = 0, merged_steps = 0, lowest_merge_hz = UINT64_MAX;
    for (uint64_t base_hz : SweepBasesHz()) {
        uint64_t previous = 0;
        for (uint64_t n = 0; n < 4; ++n) {
            const uint64_t asked = base_hz * 1000000 + n * TONE_UHZ;
            ASSERT_EQ(Si5351_SetFreqClk1Uhz(asked), HAL_OK) << asked;
            ASSERT_TRUE(chip.clk1_on()) << asked;
            const uint64_t emitted = chip.clk1_freq_uhz();
            const int64_t error = static_cast<int64_t>(emitted - asked);
            const long double bound = ErrorBoundUhz(asked, pll_error_uhz);
            ASSERT_LE(std::fabs(static_cast<long double>(error)), bound) << asked;
            ++tones;
            if (std::llabs(error) > std::llabs(worst_error)) {
                worst_error = error;
                worst_at = asked;
            }
            const long double relative = std::fabs(static_cast<long double>(error)) / asked;
            worst_relative = std::max(worst_relative, relative);
            worst_share_of_bound = std::max(worst_share_of_bound, std::fabs(error) / bound);
            if (n > 0) {
                // Tones never step down; a step of zero means two tones fell on one frequency.
                ASSERT_GE(emitted, previous) << asked;
                if (emitted == previous) {
                    ++merged_steps;
                    lowest_merge_hz = std::min(lowest_merge_hz, base_hz);
                }
            }
            previous = emitted;
        }
    }
    std::printf("sweep: %llu tones; largest error %lld uHz at %llu uHz (relative %.3Le); largest "
                "relative error %.3Le; largest share of the bound %.3Lf; %llu merged tone steps, "
                "lowest at %llu Hz\n",
                static_cast<unsigned long long>(tones), static_cast<long long>(worst_error),
                static_cast<unsigned long long>(worst_at),
                std::fabs(static_cast<long double>(worst_error)) / worst_at, worst_relative,
                worst_share_of_bound, static_cast<unsigned long long>(merged_steps),
                static_cast<unsigned long long>(lowest_merge_hz));
    EXPECT_TRUE(chip.timeline().empty()); // not kept on request
    EXPECT_TRUE(vmcu::i2c_log().empty());
    vmcu::i2c_detach(CHIP);
}

} // namespace
