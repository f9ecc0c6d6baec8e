// The Si5351 driver on the virtual MCU with the chip model at 0x60: the transfers it makes, how it
// keys tones and fails, and what CLK1 really emits across the whole frequency range.
#include "si5351.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>
#include <vector>

#include "si5351_model.h"
#include "tones.h"
#include "vmcu.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t CHIP = 0x60;
constexpr uint64_t BASE_20M_HZ = 14097070;

Si5351TonePlan Plan(uint64_t base_hz) {
    Si5351TonePlan plan{};
    EXPECT_TRUE(
        Si5351_PlanTones(SI5351_XTAL_HZ, base_hz * 1000000, WSPR_TONE_SPACING_UHZ, 4, &plan));
    return plan;
}

// Taken before any test has run: the driver has never been initialised, the bus not even
// configured. A test environment, not a static initialiser: the virtual MCU's own state is only
// constructed during static initialisation, in an order across files that nothing fixes.
struct BeforeInit {
    HAL_StatusTypeDef enable, disable, start, key;
    uint64_t operations;
};
BeforeInit g_before_init{};

class BeforeAnyTest : public ::testing::Environment {
  public:
    void SetUp() override {
        const Si5351TonePlan plan = Plan(BASE_20M_HZ);
        g_before_init.enable = Si5351_OutputEnableClk1(true);
        g_before_init.disable = Si5351_OutputEnableClk1(false);
        g_before_init.start = Si5351_StartTone(&plan, 0);
        g_before_init.key = Si5351_KeyTone(&plan, 1);
        g_before_init.operations = vmcu::i2c_operations();
    }
};
[[maybe_unused]] ::testing::Environment *const k_before_any_test =
    ::testing::AddGlobalTestEnvironment(new BeforeAnyTest);

// Init: the probe, the read of the device status (SYS_INIT clear), then the quiet state's writes.
constexpr size_t INIT_OPS = 8;
const std::vector<Bytes> k_init_writes = {
    {3, 0xFF}, {183, 0x92}, {149, 0x00}, {16, 0x80}, {17, 0x80}, {18, 0x80},
};
// Tone 0 of 14097070 Hz: PLL A 25 + 0/1, multisynth p1 5163, p2 591666 (0x90732), p3 868128;
// the other tones' p2 are 512 apart (0x90532, 0x90332, 0x90132): register 56 alone differs.
const Bytes k_pll_25 = {26, 0x00, 0x01, 0x00, 0x0A, 0x80, 0x00, 0x00, 0x00};
const Bytes k_ms_tone0 = {50, 0x3F, 0x20, 0x00, 0x14, 0x2B, 0xD9, 0x07, 0x32};
const std::vector<Bytes> k_start_20m_writes = {
    {3, 0xFF}, k_pll_25, k_ms_tone0, {177, 0x20}, {17, 0x0F}, {3, 0xFD},
};
const HAL_StatusTypeDef k_failures[] = {HAL_ERROR, HAL_BUSY, HAL_TIMEOUT};

class Si5351Driver : public ::testing::Test {
  protected:
    void SetUp() override { Boot(true); }
    void TearDown() override {
        for (const sim::Si5351Model::Fault &f : chip_->faults()) {
            ADD_FAILURE() << "outside the chip's limits: " << f.what;
        }
        vmcu::i2c_detach(I2C1, CHIP);
    }

    // Power-on: a fresh bus and chip; the driver keeps whatever state it had.
    void Boot(bool chip_present) {
        vmcu::reset();
        chip_ = std::make_unique<sim::Si5351Model>();
        chip_->hold_sys_init(0); // initialised: no tick runs here to wait on
        if (chip_present) {
            vmcu::i2c_attach(I2C1, CHIP, chip_.get());
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
    EXPECT_EQ(g_before_init.start, HAL_ERROR);
    EXPECT_EQ(g_before_init.key, HAL_ERROR);
    EXPECT_EQ(g_before_init.operations, 0U);
}

TEST_F(Si5351Driver, InitProbesThenQuietsTheChip) {
    ASSERT_EQ(Si5351_Init(&hi2c_), HAL_OK);
    ASSERT_EQ(vmcu::i2c_log().size(), INIT_OPS);
    ExpectProbe(vmcu::i2c_log()[0]);
    const vmcu::I2cTransfer &status = vmcu::i2c_log()[1];
    EXPECT_EQ(status.kind, vmcu::I2cTransfer::MEM_READ);
    EXPECT_EQ(status.bytes, (Bytes{0, 0x00})); // register 0: SYS_INIT clear
    EXPECT_EQ(WritesFrom(2), k_init_writes);
    EXPECT_FALSE(chip_->clk1_on());
}

TEST_F(Si5351Driver, StartSetsUpBothDividersWithOutputsOff) {
    ASSERT_EQ(Si5351_Init(&hi2c_), HAL_OK);
    const Si5351TonePlan plan = Plan(BASE_20M_HZ);
    ASSERT_EQ(Si5351_StartTone(&plan, 0), HAL_OK);
    EXPECT_EQ(WritesFrom(INIT_OPS), k_start_20m_writes);
    EXPECT_TRUE(chip_->clk1_on());
    EXPECT_TRUE(tones::Matches(chip_->clk1_freq_uhz(), BASE_20M_HZ, 0));
    EXPECT_EQ(chip_->pll_a_resets(), 1U);
}

// From tone to tone one register moves: the second byte of the multisynth's p2 on 20 m, the low
// byte of the PLL's on 2 m; no output disable, no PLL reset, and CLK1 never goes off nor passes
// through another frequency (the model takes each byte as it arrives).
TEST_F(Si5351Driver, KeyingSendsOneRegister) {
    ASSERT_EQ(Si5351_Init(&hi2c_), HAL_OK);
    const Si5351TonePlan plan = Plan(BASE_20M_HZ);
    ASSERT_EQ(Si5351_StartTone(&plan, 0), HAL_OK);
    const size_t changes = chip_->timeline().size();
    const uint8_t order[] = {3, 1, 2, 2, 0, 2, 2, 0, 1, 2, 0, 2, 3, 1, 3, 0};
    const uint8_t p2_middle[] = {0x07, 0x05, 0x03, 0x01};
    uint8_t on_air = 0;
    for (uint8_t tone : order) {
        const size_t before = vmcu::i2c_log().size();
        ASSERT_EQ(Si5351_KeyTone(&plan, tone), HAL_OK);
        const std::vector<Bytes> sent = WritesFrom(before);
        if (tone == on_air) {
            EXPECT_TRUE(sent.empty()) << "tone " << int{tone} << " is on already";
        } else {
            ASSERT_EQ(sent.size(), 1U);
            EXPECT_EQ(sent[0], (Bytes{56, p2_middle[tone]}));
        }
        on_air = tone;
        EXPECT_TRUE(tones::Matches(chip_->clk1_freq_uhz(), BASE_20M_HZ, tone));
    }
    EXPECT_EQ(chip_->pll_a_resets(), 1U);
    EXPECT_EQ(chip_->timeline().size() - changes, 14U); // one state per change of tone
    for (size_t i = changes; i < chip_->timeline().size(); ++i) {
        EXPECT_TRUE(chip_->timeline()[i].on);
        EXPECT_FALSE(chip_->timeline()[i].phase_break);
    }
    // Above 112.5 MHz the multisynth stays at 6 and the PLL moves, without a reset either.
    const Si5351TonePlan high = Plan(144490500);
    ASSERT_EQ(Si5351_StartTone(&high, 0), HAL_OK);
    const size_t before = vmcu::i2c_log().size();
    ASSERT_EQ(Si5351_KeyTone(&high, 2), HAL_OK);
    const std::vector<Bytes> sent = WritesFrom(before);
    ASSERT_EQ(sent.size(), 1U);
    EXPECT_EQ(sent[0].size(), 2U);
    EXPECT_EQ(sent[0][0], 33);
    EXPECT_EQ(chip_->pll_a_resets(), 2U);
    EXPECT_TRUE(tones::Matches(chip_->clk1_freq_uhz(), 144490500, 2));
}

// The 20 m example of a tone change that once passed 549 kHz below both tones (tone 3 to tone 0
// of 14097074 Hz, multisynth p3 55469 to 721059 in one 8-byte transfer): now one register.
TEST_F(Si5351Driver, TwentyMetreToneChangeStaysBetweenItsTones) {
    ASSERT_EQ(Si5351_Init(&hi2c_), HAL_OK);
    const Si5351TonePlan plan = Plan(14097074);
    ASSERT_EQ(Si5351_StartTone(&plan, 3), HAL_OK);
    const size_t changes = chip_->timeline().size();
    ASSERT_EQ(Si5351_KeyTone(&plan, 0), HAL_OK);
    ASSERT_EQ(chip_->timeline().size(), changes + 1);
    EXPECT_TRUE(tones::Matches(chip_->timeline().back().freq_uhz, 14097074, 0));
}

// Tones on both sides of 150 MHz need two output modes, at the two ends of the VCO's range: no way
// between them stays near the tones, so every change of tone sets CLK1 up afresh (outputs off,
// both dividers, PLL reset, on) and CLK1 is never on at another frequency.
TEST_F(Si5351Driver, StraddlingTonesStartAfreshOnAChangeOfMode) {
    ASSERT_EQ(Si5351_Init(&hi2c_), HAL_OK);
    const Si5351TonePlan plan = Plan(149999998); // tones 0, 1 below 150 MHz; 2, 3 above
    EXPECT_FALSE(plan.smooth);
    ASSERT_EQ(Si5351_StartTone(&plan, 0), HAL_OK);
    uint64_t resets = 1;
    uint8_t on_air = 0;
    for (uint8_t tone : {3, 0, 2, 1, 3, 3, 1}) {
        const size_t changes = chip_->timeline().size();
        ASSERT_EQ(Si5351_KeyTone(&plan, tone), HAL_OK);
        EXPECT_TRUE(tones::Matches(chip_->clk1_freq_uhz(), 149999998, tone));
        resets += tone != on_air;
        EXPECT_EQ(chip_->pll_a_resets(), resets);
        for (size_t i = changes; i < chip_->timeline().size(); ++i) {
            const sim::Si5351Model::Change &c = chip_->timeline()[i];
            EXPECT_TRUE(!c.on || tones::Matches(c.freq_uhz, 149999998, tone)) << c.freq_uhz;
        }
        on_air = tone;
    }
}

// 2200 m: the multisynth at 550 kHz and the R divider 4 (bits 6..4 of register 52 = 2) in the
// full set-up; a tone change is still one register, the R divider untouched.
TEST_F(Si5351Driver, LowBandsSetTheRDividerOnceAndKeyByOneRegister) {
    ASSERT_EQ(Si5351_Init(&hi2c_), HAL_OK);
    const Si5351TonePlan plan = Plan(137500);
    ASSERT_EQ(plan.r_div_log2, 2U);
    ASSERT_EQ(Si5351_StartTone(&plan, 0), HAL_OK);
    const std::vector<Bytes> start = WritesFrom(INIT_OPS);
    ASSERT_EQ(start.size(), 6U);
    ASSERT_EQ(start[2][0], 50);
    EXPECT_EQ(start[2][3] & 0x70, 0x20);
    EXPECT_EQ(chip_->r1_div_log2(), 2U);
    EXPECT_TRUE(tones::Matches(chip_->clk1_freq_uhz(), 137500, 0));
    for (uint8_t tone : {3, 1, 2, 0}) {
        const size_t before = vmcu::i2c_log().size();
        ASSERT_EQ(Si5351_KeyTone(&plan, tone), HAL_OK);
        const std::vector<Bytes> sent = WritesFrom(before);
        ASSERT_EQ(sent.size(), 1U);
        EXPECT_EQ(sent[0].size(), 2U);
        EXPECT_TRUE(tones::Matches(chip_->clk1_freq_uhz(), 137500, tone));
    }
    EXPECT_EQ(chip_->r1_div_log2(), 2U);
    EXPECT_EQ(chip_->pll_a_resets(), 1U);
    // The next frame on 160 m: R back to 1 in its full set-up.
    const Si5351TonePlan p160 = Plan(1838100);
    ASSERT_EQ(Si5351_KeyTone(&p160, 0), HAL_OK);
    EXPECT_EQ(chip_->r1_div_log2(), 0U);
    EXPECT_TRUE(tones::Matches(chip_->clk1_freq_uhz(), 1838100, 0));
}

TEST_F(Si5351Driver, OutputEnableWritesFixedValues) {
    ASSERT_EQ(Si5351_Init(&hi2c_), HAL_OK);
    const Si5351TonePlan plan = Plan(BASE_20M_HZ);
    ASSERT_EQ(Si5351_StartTone(&plan, 0), HAL_OK);
    ASSERT_EQ(Si5351_OutputEnableClk1(false), HAL_OK);
    EXPECT_FALSE(chip_->clk1_on());
    ASSERT_EQ(Si5351_OutputEnableClk1(true), HAL_OK);
    EXPECT_TRUE(chip_->clk1_on());
    ASSERT_EQ(Si5351_OutputEnableClk1(true), HAL_OK);
    EXPECT_EQ(WritesFrom(INIT_OPS + 6), (std::vector<Bytes>{{3, 0xFF}, {3, 0xFD}, {3, 0xFD}}));
}

TEST_F(Si5351Driver, AbsentChipGetsOnlyTheProbe) {
    Boot(false);
    EXPECT_EQ(Si5351_Init(&hi2c_), HAL_ERROR);
    ASSERT_EQ(vmcu::i2c_log().size(), 1U);
    ExpectProbe(vmcu::i2c_log()[0]);
    // Not ready: refused without a transfer.
    const Si5351TonePlan plan = Plan(BASE_20M_HZ);
    EXPECT_EQ(Si5351_StartTone(&plan, 0), HAL_ERROR);
    EXPECT_EQ(Si5351_KeyTone(&plan, 0), HAL_ERROR);
    EXPECT_EQ(Si5351_OutputEnableClk1(false), HAL_ERROR);
    EXPECT_EQ(vmcu::i2c_operations(), 1U);

    // Once the chip answers, a new Init makes the driver usable again.
    vmcu::i2c_attach(I2C1, CHIP, chip_.get());
    EXPECT_EQ(Si5351_Init(&hi2c_), HAL_OK);
    EXPECT_EQ(Si5351_StartTone(&plan, 0), HAL_OK);
    EXPECT_TRUE(chip_->clk1_on());
}

TEST_F(Si5351Driver, InitStopsAtTheFirstFailure) {
    // Operation 0 is the probe, 1 the status read, 2..7 the register writes.
    for (uint64_t at = 0; at < INIT_OPS; ++at) {
        for (HAL_StatusTypeDef status : k_failures) {
            SCOPED_TRACE(testing::Message() << "operation " << at << " status " << status);
            Boot(true);
            vmcu::i2c_fail(at, status, false);
            EXPECT_EQ(Si5351_Init(&hi2c_), status);
            ASSERT_EQ(vmcu::i2c_log().size(), at + 1);
            EXPECT_EQ(vmcu::i2c_log().back().status, status);
            ExpectProbe(vmcu::i2c_log()[0]);
            if (at > 1) {
                EXPECT_EQ(WritesFrom(2), Prefix(k_init_writes, at - 1));
            }
            // The driver is left not ready.
            EXPECT_EQ(Si5351_OutputEnableClk1(true), HAL_ERROR);
            EXPECT_EQ(vmcu::i2c_operations(), at + 1);
        }
    }
}

TEST_F(Si5351Driver, StartStopsAtTheFirstFailure) {
    const Si5351TonePlan plan = Plan(BASE_20M_HZ);
    for (uint64_t at = 0; at < k_start_20m_writes.size(); ++at) {
        for (HAL_StatusTypeDef status : k_failures) {
            SCOPED_TRACE(testing::Message() << "write " << at << " status " << status);
            Boot(true);
            ASSERT_EQ(Si5351_Init(&hi2c_), HAL_OK);
            vmcu::i2c_fail(INIT_OPS + at, status, false);
            EXPECT_EQ(Si5351_StartTone(&plan, 0), status);
            ASSERT_EQ(vmcu::i2c_log().size(), INIT_OPS + at + 1);
            EXPECT_EQ(WritesFrom(INIT_OPS), Prefix(k_start_20m_writes, at + 1));
            EXPECT_FALSE(chip_->clk1_on());
            // A failed write does not make the driver unready.
            EXPECT_EQ(Si5351_OutputEnableClk1(false), HAL_OK);
        }
    }
}

// After a failed tone change the driver no longer knows what the chip holds: the next change
// sets everything up again rather than trusting a half-written divider.
TEST_F(Si5351Driver, KeyAfterAFailureStartsAfresh) {
    ASSERT_EQ(Si5351_Init(&hi2c_), HAL_OK);
    const Si5351TonePlan plan = Plan(BASE_20M_HZ);
    ASSERT_EQ(Si5351_StartTone(&plan, 0), HAL_OK);
    vmcu::i2c_fail(vmcu::i2c_operations(), HAL_TIMEOUT, false);
    EXPECT_EQ(Si5351_KeyTone(&plan, 1), HAL_TIMEOUT);
    const size_t before = vmcu::i2c_log().size();
    EXPECT_EQ(Si5351_KeyTone(&plan, 1), HAL_OK);
    EXPECT_EQ(WritesFrom(before).size(), k_start_20m_writes.size());
    EXPECT_TRUE(tones::Matches(chip_->clk1_freq_uhz(), BASE_20M_HZ, 1));
    // A tone outside the plan is refused without a transfer.
    const size_t ops = vmcu::i2c_operations();
    EXPECT_EQ(Si5351_KeyTone(&plan, 4), HAL_ERROR);
    EXPECT_EQ(Si5351_StartTone(nullptr, 0), HAL_ERROR);
    EXPECT_EQ(vmcu::i2c_operations(), ops);
}

TEST_F(Si5351Driver, ByteNotAcknowledgedIsAnError) {
    chip_->nack_byte(2); // first data byte of every write
    EXPECT_EQ(Si5351_Init(&hi2c_), HAL_ERROR);
    EXPECT_EQ(vmcu::i2c_operations(), 3U); // the probe, the status read, the first write

    Boot(true);
    chip_->nack_byte(0); // the address itself
    EXPECT_EQ(Si5351_Init(&hi2c_), HAL_ERROR);
    EXPECT_EQ(vmcu::i2c_operations(), 1U);
}

// ---- What CLK1 emits across the range -----------------------------------------------------------

// Base frequencies: log-spaced over the range with irregular hertz, the WSPR dial frequencies plus
// audio offsets, and the ends.
std::vector<uint64_t> SweepBasesHz() {
    std::vector<uint64_t> bases;
    constexpr uint64_t lo = WSPR_MIN_FREQ_HZ, hi = WSPR_MAX_FREQ_HZ;
    constexpr int n = 10000;
    uint32_t lcg = 12345;
    for (int i = 0; i < n; ++i) {
        lcg = lcg * 1103515245U + 12345U;
        const double f = lo * std::pow(static_cast<double>(hi) / lo, i / (n - 1.0));
        const uint64_t hz = static_cast<uint64_t>(f) + (lcg >> 16) % 997;
        bases.push_back(std::clamp(hz, lo, hi));
    }
    const uint64_t dials[] = {136000,   474200,   1836600,  3568600,  5287200,
                              7038600,  10138700, 14095600, 18104600, 21094600,
                              24924600, 28124600, 50293000, 70091000, 144489000};
    for (uint64_t dial : dials) {
        for (uint64_t audio = 1400; audio <= 1600; audio += 10) {
            bases.push_back(dial + audio);
        }
    }
    for (uint64_t top = hi - 5; top <= hi; ++top) {
        bases.push_back(top);
    }
    bases.push_back(lo);
    return bases;
}

// Every ordered pair of different tones, in one walk from tone 0 back to tone 0.
constexpr uint8_t k_every_change[] = {0, 1, 0, 2, 0, 3, 1, 2, 1, 3, 2, 3, 0};

// A base frequency started on tone 0 and keyed through every change of tone, the model taking each
// byte as it arrives: every tone as the model decodes it (its error from the ideal added to
// `errors` at its first visit), and how far any state between two tones lies outside the span of
// the two, in micro-hertz (CLK1 off, during a fresh start, counts as no excursion).
struct Keyed {
    uint64_t excursion_uhz = 0;
    uint64_t worst_error_uhz = 0;
};
Keyed KeyEveryChange(sim::Si5351Model &chip, uint64_t base, std::vector<uint64_t> *errors) {
    Keyed keyed;
    const Si5351TonePlan plan = Plan(base);
    uint64_t emitted[4] = {};
    bool seen[4] = {};
    uint8_t from = 0;
    for (size_t k = 0; k < std::size(k_every_change); ++k) {
        const uint8_t tone = k_every_change[k];
        const size_t changes = chip.timeline().size();
        EXPECT_EQ(k == 0 ? Si5351_StartTone(&plan, tone) : Si5351_KeyTone(&plan, tone), HAL_OK)
            << base;
        EXPECT_TRUE(chip.clk1_on()) << base;
        const uint64_t out = chip.clk1_freq_uhz();
        if (!seen[tone]) {
            seen[tone] = true;
            emitted[tone] = out;
            const uint64_t ideal = tones::IdealUhz(base, tone);
            const uint64_t error = out > ideal ? out - ideal : ideal - out;
            keyed.worst_error_uhz = std::max(keyed.worst_error_uhz, error);
            if (errors != nullptr) {
                errors->push_back(error);
            }
        }
        if (k > 0) {
            const uint64_t lo = std::min(emitted[from], emitted[tone]);
            const uint64_t hi = std::max(emitted[from], emitted[tone]);
            for (size_t i = changes; i < chip.timeline().size(); ++i) {
                const sim::Si5351Model::Change &c = chip.timeline()[i];
                if (c.on) {
                    const uint64_t outside = c.freq_uhz < lo   ? lo - c.freq_uhz
                                             : c.freq_uhz > hi ? c.freq_uhz - hi
                                                               : 0;
                    keyed.excursion_uhz = std::max(keyed.excursion_uhz, outside);
                }
            }
        }
        from = tone;
    }
    return keyed;
}

struct SweepBench {
    SweepBench() {
        vmcu::reset();
        vmcu::i2c_keep_log(false);
        chip.hold_sys_init(0); // initialised: no tick runs here to wait on
        vmcu::i2c_attach(I2C1, CHIP, &chip);
        hi2c.Instance = I2C1;
        EXPECT_EQ(HAL_I2C_Init(&hi2c), HAL_OK);
        EXPECT_EQ(Si5351_Init(&hi2c), HAL_OK);
    }
    ~SweepBench() { vmcu::i2c_detach(I2C1, CHIP); }
    sim::Si5351Model chip; // takes each byte as it arrives
    I2C_HandleTypeDef hi2c{};
};

constexpr uint64_t ONE_HZ_UHZ = 1000000;

// Every base frequency keyed through every change of tone, through the driver and the chip model:
// the tones as the model decodes them from the registers, their errors from the ideal, no state
// between two tones more than 1 Hz outside their span, and no register state outside the chip's
// limits.
TEST(Si5351Sweep, EveryToneExactAndEveryChangeBetweenItsTones) {
    SweepBench bench;
    std::vector<uint64_t> errors;
    uint64_t worst = 0, worst_at = 0, bands_worst = 0, excursion = 0, excursion_at = 0;
    const std::vector<uint64_t> bases = SweepBasesHz();
    for (size_t k = 0; k < bases.size(); ++k) {
        const uint64_t base = bases[k];
        const Keyed keyed = KeyEveryChange(bench.chip, base, &errors);
        if (keyed.worst_error_uhz > worst) {
            worst = keyed.worst_error_uhz;
            worst_at = base;
        }
        if (keyed.excursion_uhz > excursion) {
            excursion = keyed.excursion_uhz;
            excursion_at = base;
        }
        if (k >= 10000 && k + 7 < bases.size()) { // the band windows
            bands_worst = std::max(bands_worst, keyed.worst_error_uhz);
        }
    }
    const size_t within_1mhz = static_cast<size_t>(
        std::count_if(errors.begin(), errors.end(), [](uint64_t e) { return e <= 1000; }));
    const size_t beyond_25mhz = static_cast<size_t>(std::count_if(
        errors.begin(), errors.end(), [](uint64_t e) { return e > tones::TOLERANCE_UHZ; }));
    std::sort(errors.begin(), errors.end());
    std::printf(
        "sweep: %zu bases, %zu tones; median error %llu uHz, 99 %% within %llu uHz, worst "
        "%llu uHz at %llu Hz; %.4f %% within 1 mHz, %zu beyond 25 mHz; worst on the WSPR "
        "bands %llu uHz; largest excursion outside a tone change %llu uHz at %llu Hz\n",
        bases.size(), errors.size(), static_cast<unsigned long long>(errors[errors.size() / 2]),
        static_cast<unsigned long long>(errors[errors.size() * 99 / 100]),
        static_cast<unsigned long long>(worst), static_cast<unsigned long long>(worst_at),
        100.0 * static_cast<double>(within_1mhz) / static_cast<double>(errors.size()), beyond_25mhz,
        static_cast<unsigned long long>(bands_worst), static_cast<unsigned long long>(excursion),
        static_cast<unsigned long long>(excursion_at));
    EXPECT_GE(within_1mhz * 100, errors.size() * 99);
    EXPECT_EQ(beyond_25mhz, 0U);
    EXPECT_LE(excursion, ONE_HZ_UHZ);
    EXPECT_EQ(bench.chip.fault_count(), 0U);
}

// Each band's 200 Hz window, tone 0 at every hertz: the largest excursion of a tone change outside
// the span of its two tones, per band.
TEST(Si5351Sweep, EveryChangeOfEveryBandWindowStaysBetweenItsTones) {
    SweepBench bench;
    const uint64_t dials[] = {136000,   474200,   1836600,  3568600,  5287200,
                              7038600,  10138700, 14095600, 18104600, 21094600,
                              24924600, 28124600, 50293000, 70091000, 144489000};
    for (uint64_t dial : dials) {
        uint64_t excursion = 0, worst = 0;
        for (uint64_t base = dial + 1400; base <= dial + 1600; ++base) {
            const Keyed keyed = KeyEveryChange(bench.chip, base, nullptr);
            excursion = std::max(excursion, keyed.excursion_uhz);
            worst = std::max(worst, keyed.worst_error_uhz);
        }
        std::printf("band %llu Hz: largest excursion %llu uHz, worst tone error %llu uHz\n",
                    static_cast<unsigned long long>(dial),
                    static_cast<unsigned long long>(excursion),
                    static_cast<unsigned long long>(worst));
        EXPECT_LE(excursion, ONE_HZ_UHZ) << dial;
        EXPECT_LE(worst, tones::TOLERANCE_UHZ) << dial;
    }
    EXPECT_EQ(bench.chip.fault_count(), 0U);
}

} // namespace
