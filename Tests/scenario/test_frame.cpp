// Whole frames on the Si5351 model: symbol timing, tones, the end, stop, refusals and failures.
#include <cstring>
#include <string>
#include <vector>

#include "app_config.h"
#include "console_text.h"
#include "debug_access.h"
#include "scenario.h"
#include "tones.h"
#include "wspr_encoder.h"

using scenario::Boot;
using scenario::Command;
using scenario::OnFreshBoard;
using scenario::Tick;
using scenario::TickOf;

namespace {

// The millisecond after the last symbol ends: ceil(162 x 682667 us / 1 ms) = 110593.
constexpr uint64_t FRAME_END_MS = (WSPR_SYMBOL_COUNT * WSPR_SYMBOL_PERIOD_US + 999) / 1000;
static_assert(FRAME_END_MS == 110593);

std::vector<uint8_t> Symbols(const char *call, const char *loc, uint8_t dbm) {
    std::vector<uint8_t> s(WSPR_SYMBOL_COUNT);
    EXPECT_TRUE(WSPR_Encode(call, loc, dbm, s.data()));
    return s;
}

// The first I2C operation at or after t: a frame start or tone change begins with it.
uint64_t FirstI2cAfter(uint64_t t_ns) {
    for (const vmcu::I2cTransfer &x : vmcu::i2c_log()) {
        if (x.start_ns >= t_ns) {
            return x.start_ns;
        }
    }
    return UINT64_MAX;
}

// Millisecond in which symbol i falls due for a frame started in millisecond start_ms.
uint64_t DueMs(uint64_t start_ms, size_t i) {
    return start_ms + (i * WSPR_SYMBOL_PERIOD_US + 999) / 1000;
}

// Checks a complete frame whose start was processed in millisecond start_ms. CLK1 comes on once,
// in that millisecond, at symbol 0's tone; it then changes exactly at the boundaries where the
// symbol changes (symbol i at tick start + ceil(i x 682667 us / 1 ms)), each time to the tone of
// the new symbol and by one 8-byte transfer to one divider, with nothing sent at the other
// boundaries; it goes off once, at tick start + 110593. Nothing else happens to it.
void ExpectFrame(uint64_t start_ms, uint64_t base_hz, const std::vector<uint8_t> &symbols) {
    const uint64_t start_ns = Tick(start_ms);
    const uint64_t end_ns = Tick(start_ms + FRAME_END_MS);
    std::vector<sim::Si5351Model::Change> changes;
    for (const sim::Si5351Model::Change &c : sim::Chip().timeline()) {
        if (c.t_us * 1000 >= start_ns && c.t_us * 1000 < end_ns + sim::MS) {
            changes.push_back(c);
        }
    }
    ASSERT_FALSE(changes.empty());
    EXPECT_TRUE(changes.front().on);
    // The set-up begins in that pass, after the line that asked for it, and takes under 1 ms.
    EXPECT_LT(changes.front().t_us * 1000, Tick(start_ms + 1) + sim::MS);
    EXPECT_TRUE(tones::Matches(changes.front().freq_uhz, base_hz, symbols[0]));
    size_t next = 1;
    for (size_t i = 1; i < WSPR_SYMBOL_COUNT; ++i) {
        const uint64_t due_ns = Tick(DueMs(start_ms, i));
        // The transfers of this boundary: in the pass of its tick, done within a millisecond.
        std::vector<const vmcu::I2cTransfer *> sent;
        for (const vmcu::I2cTransfer &x : vmcu::i2c_log()) {
            if (x.start_ns >= due_ns && x.start_ns < due_ns + sim::MS) {
                sent.push_back(&x);
            }
        }
        if (symbols[i] == symbols[i - 1]) {
            EXPECT_TRUE(sent.empty()) << "symbol " << i << " repeats its tone";
            continue;
        }
        ASSERT_EQ(sent.size(), 1u) << "symbol " << i;
        EXPECT_EQ(sent[0]->start_ns, due_ns) << "symbol " << i;
        // One register of p2 (PLL A's at 31..33 or multisynth 1's at 55..57) and its byte.
        ASSERT_EQ(sent[0]->bytes.size(), 2u) << "symbol " << i;
        EXPECT_TRUE((sent[0]->bytes[0] >= 31 && sent[0]->bytes[0] <= 33) ||
                    (sent[0]->bytes[0] >= 55 && sent[0]->bytes[0] <= 57))
            << "symbol " << i;
        ASSERT_LT(next, changes.size()) << "symbol " << i;
        const sim::Si5351Model::Change &c = changes[next++];
        EXPECT_TRUE(c.on && !c.phase_break) << "symbol " << i;
        EXPECT_GE(c.t_us * 1000, due_ns) << "symbol " << i;
        EXPECT_LT(c.t_us * 1000, due_ns + sim::MS) << "symbol " << i;
        EXPECT_TRUE(tones::Matches(c.freq_uhz, base_hz, symbols[i]))
            << "symbol " << i << ": " << c.freq_uhz;
    }
    ASSERT_EQ(changes.size(), next + 1) << "CLK1 changed where no symbol did";
    EXPECT_FALSE(changes.back().on);
    EXPECT_GE(changes.back().t_us * 1000, end_ns);
    EXPECT_LT(changes.back().t_us * 1000, end_ns + sim::MS);
}

// Millisecond (tick count) in which the frame start was processed: the console line was typed
// then, and the first tone's transfers began in that pass.
uint64_t StartMsOfLastTx(uint64_t typed_after_ns) {
    return TickOf(FirstI2cAfter(typed_after_ns));
}

} // namespace

TEST(Frame, WholeFrameTimingTonesAndEnd) {
    OnFreshBoard([] {
        Boot();
        sim::RunFor(1234 * sim::MS);
        uint64_t t = sim::Now();
        std::string out = Command("tx", "TX start");
        uint64_t start_ms = StartMsOfLastTx(t);
        sim::RunFor(200 * sim::MS);
        EXPECT_TRUE(
            sim::Console().ends_with("tx\r\nTX start QZ5RTV OM85 10dBm, 162 symbols\r\n"
                                     "TX on 20m 14097070 Hz, offset +0 Hz, entry 1, code 0\r\n"));
        EXPECT_TRUE(scenario::RunUntilConsole("TX complete", 0, 111000));
        sim::RunFor(10 * sim::MS);
        ExpectFrame(start_ms, 14097070, Symbols("QZ5RTV", "OM85", 10));
        std::string console = sim::Console();
        EXPECT_TRUE(console.ends_with("code 0\r\nTX complete, CLK1 disabled\r\nwspr> ")) << console;
        EXPECT_FALSE(sim::Chip().clk1_on());
    });
}

TEST(Frame, SettingsOfTheMessageAndFrequencyApply) {
    OnFreshBoard([] {
        Boot();
        Command("set call k1abc");
        Command("set grid fn42");
        Command("set power 37");
        Command("set freq 7040100");
        uint64_t t = sim::Now();
        Command("tx", "TX start K1ABC FN42 37dBm, 162 symbols\r\n");
        uint64_t start_ms = StartMsOfLastTx(t);
        sim::RunFor(111000 * sim::MS);
        ExpectFrame(start_ms, 7040100, Symbols("K1ABC", "FN42", 37));
    });
}

TEST(Frame, TxDuringFrameRefusedWithoutDisturbingIt) {
    OnFreshBoard([] {
        Boot();
        uint64_t t = sim::Now();
        Command("tx", "TX start");
        uint64_t start_ms = StartMsOfLastTx(t);
        sim::RunFor(5000 * sim::MS);
        size_t from = sim::Console().size();
        sim::Type("tx\r");
        sim::RunFor(10000 * sim::MS);
        // The refusal is printed; the prompt waits for the end of the frame.
        EXPECT_EQ(sim::Console().substr(from), "tx\r\nTX rejected: already transmitting\r\n");
        sim::RunFor(100000 * sim::MS);
        ExpectFrame(start_ms, 14097070, Symbols("QZ5RTV", "OM85", 10));
        EXPECT_EQ(
            sim::Console().substr(from),
            "tx\r\nTX rejected: already transmitting\r\nTX complete, CLK1 disabled\r\nwspr> ");
    });
}

TEST(Frame, StopEndsAtOnceAndNextFrameStartsFresh) {
    OnFreshBoard([] {
        Boot();
        Command("tx", "TX start");
        sim::RunFor(3000 * sim::MS);
        ASSERT_TRUE(sim::Chip().clk1_on());
        uint64_t t = sim::Now();
        EXPECT_EQ(Command("stop"), "stop\r\nTX complete, CLK1 disabled\r\nwspr> ");
        EXPECT_FALSE(sim::Chip().clk1_on());
        uint64_t off = scenario::OffAfter(t / 1000);
        EXPECT_LT(off * 1000 - t, 2 * sim::MS);
        // Stop when nothing is sent says the same.
        EXPECT_EQ(Command("stop"), "stop\r\nTX complete, CLK1 disabled\r\nwspr> ");

        Command("set call QZ7ABC"); // applies to the next frame, encoded afresh
        t = sim::Now();
        Command("tx", "TX start QZ7ABC");
        uint64_t start_ms = StartMsOfLastTx(t);
        sim::RunFor(111000 * sim::MS);
        ExpectFrame(start_ms, 14097070, Symbols("QZ7ABC", "OM85", 10));
    });
}

// A console that cannot send holds up nothing: the frame keys every symbol on time while its
// output waits, and what was asked for meanwhile comes out whole once the console sends again.
TEST(Frame, StalledConsoleHoldsNothingUp) {
    OnFreshBoard([] {
        Boot();
        uint64_t t = sim::Now();
        Command("tx", "TX start");
        uint64_t start_ms = StartMsOfLastTx(t);
        sim::RunFor(2000 * sim::MS);
        vmcu::uart_stall_tx(sim::ConsoleUart(), true);
        sim::ClearConsole();
        sim::Type("help\r");
        sim::RunFor(3000 * sim::MS);
        EXPECT_EQ(sim::Console(), "");
        vmcu::uart_stall_tx(sim::ConsoleUart(), false);
        sim::RunFor(110000 * sim::MS);

        ExpectFrame(start_ms, 14097070, Symbols("QZ5RTV", "OM85", 10));
        EXPECT_EQ(sim::Console().substr(0, 6 + std::strlen(k_console_help)),
                  "help\r\n" + std::string(k_console_help));
        EXPECT_EQ(vmcu::resets(), 0u);
    });
}

TEST(Frame, FailedFirstToneGoesToErrorThatStopLeaves) {
    OnFreshBoard([] {
        Boot();
        vmcu::i2c_fail(vmcu::i2c_operations(), HAL_BUSY, false);
        EXPECT_EQ(Command("tx"), "tx\r\nSi5351 tone set failed: 2\r\nwspr> ");
        EXPECT_FALSE(sim::Chip().clk1_on());
        EXPECT_EQ(Command("tx"), "tx\r\nTX rejected: app error\r\nwspr> ");
        EXPECT_EQ(Command("stop"),
                  "stop\r\nSi5351 init status: 0\r\nTX complete, CLK1 disabled\r\nwspr> ");
        EXPECT_NE(Command("tx").find("TX start QZ5RTV OM85 10dBm"), std::string::npos);
    });
}

// A tone change whose first transfer fails leaves the previous tone on the chip; the beacon
// switches the carrier off as it gives up the frame.
TEST(Frame, FailedToneUpdateLeavesNoCarrier) {
    OnFreshBoard([] {
        Boot();
        Command("tx", "TX start");
        sim::RunFor(100 * sim::MS);
        ASSERT_TRUE(sim::Chip().clk1_on());
        size_t from = sim::Console().size();
        vmcu::i2c_fail(vmcu::i2c_operations(), HAL_TIMEOUT, false);
        sim::RunFor(1000 * sim::MS);
        // The prompt held back since the "tx" line comes now that no frame is on the air.
        EXPECT_EQ(sim::Console().substr(from), "Si5351 tone update failed: 3\r\nwspr> ");
        EXPECT_FALSE(sim::Chip().clk1_on());
        size_t changes = sim::Chip().timeline().size();
        sim::RunFor(5000 * sim::MS); // the frame is abandoned: no more tones
        EXPECT_EQ(sim::Chip().timeline().size(), changes);
        EXPECT_EQ(Command("tx"), "tx\r\nTX rejected: app error\r\nwspr> ");
    });
}

// A frequency or a crystal set during a frame takes effect at the next frame: the frame on the air
// stays whole on the tones it started with (half a frame on each frequency decodes as neither).
// The message too stays as encoded at the start.
TEST(Frame, SettingsChangedDuringFrameApplyFromTheNextFrame) {
    OnFreshBoard([] {
        constexpr uint64_t real_xtal = 25006050; // 111 ppm above the built-in calibration
        Boot({.xtal_hz = real_xtal});
        uint64_t t = sim::Now();
        Command("tx", "TX start");
        const uint64_t start_us = Tick(StartMsOfLastTx(t)) / 1000;
        Command("set call QZ7ABC", "ok");
        sim::RunFor(40000 * sim::MS);
        Command("set freq 10140200", "ok");
        sim::RunFor(20000 * sim::MS);
        Command("set xtal 25006050", "ok");
        ASSERT_TRUE(scenario::RunUntilConsole("TX complete", 0, 112000));
        const std::vector<uint8_t> first = Symbols("QZ5RTV", "OM85", 10);
        for (size_t i = 0; i < WSPR_SYMBOL_COUNT; ++i) {
            const uint64_t mid_us =
                start_us + i * WSPR_SYMBOL_PERIOD_US + WSPR_SYMBOL_PERIOD_US / 2;
            ASSERT_TRUE(tones::Near(
                scenario::EmittedAt(mid_us),
                tones::ScaledUhz(WSPR_DEFAULT_FREQ_HZ, first[i], SI5351_XTAL_HZ, real_xtal)))
                << i;
        }
        t = sim::Now();
        Command("tx", "TX start QZ7ABC OM85 10dBm");
        const uint64_t next_ms = StartMsOfLastTx(t);
        sim::RunFor(111000 * sim::MS);
        ExpectFrame(next_ms, 10140200, Symbols("QZ7ABC", "OM85", 10));
    });
}

// The millisecond counter wraps after 49.7 days. Put it (as a debugger would) 30 s before the
// wrap and send a frame across it: every boundary falls where it would without a wrap.
TEST(Frame, FrameAcrossMillisecondWrap) {
    OnFreshBoard([] {
        Boot();
        ASSERT_TRUE(sim::PokeFirmwareU32("g_ms", 0xFFFFFFFFu - 30000));
        uint64_t base_tick = TickOf(sim::Now()); // g_ms = base_value + (tick - base_tick)
        sim::RunFor(10 * sim::MS);
        uint64_t t = sim::Now();
        Command("tx", "TX start");
        uint64_t start_ms = StartMsOfLastTx(t);
        ASSERT_LT(start_ms - base_tick, 30000u);
        EXPECT_TRUE(scenario::RunUntilConsole("TX complete, CLK1 disabled", 0, 112000));
        ExpectFrame(start_ms, 14097070, Symbols("QZ5RTV", "OM85", 10));
        uint32_t g_ms = 0;
        ASSERT_TRUE(sim::PeekFirmwareU32("g_ms", g_ms));
        EXPECT_LT(g_ms, 100000u); // it did wrap
        // And the beacon goes on: another frame, by key this time.
        Command("show", "State: IDLE");
        t = sim::Now();
        Command("tx", "TX start");
        start_ms = StartMsOfLastTx(t);
        sim::RunFor(111000 * sim::MS);
        ExpectFrame(start_ms, 14097070, Symbols("QZ5RTV", "OM85", 10));
    });
}

// Every base frequency the console accepts gives a working frame, up to the top that keeps the
// chip's margin: above 112.5 MHz the PLL moves under a multisynth of 6. (Frequencies up to 150 MHz
// saved by an earlier release still send: test_settings.) The chip stays within its limits
// throughout (every scenario fails on a limit fault).
TEST(Frame, TopOfTheRangeGivesWorkingFrames) {
    OnFreshBoard([] {
        Boot();
        for (uint64_t base : {149984995ULL, 112499999ULL, 2500000ULL}) {
            SCOPED_TRACE(base);
            EXPECT_EQ(Command("set freq " + std::to_string(base)),
                      "set freq " + std::to_string(base) + "\r\nok\r\nwspr> ");
            uint64_t t = sim::Now();
            const size_t from = sim::Console().size();
            Command("tx", "TX start");
            const uint64_t start_us = Tick(StartMsOfLastTx(t)) / 1000;
            ASSERT_TRUE(scenario::RunUntilConsole("TX complete", from, 112000));
            const std::vector<uint8_t> symbols = Symbols("QZ5RTV", "OM85", 10);
            for (size_t i = 0; i < WSPR_SYMBOL_COUNT; ++i) {
                const uint64_t mid = start_us + i * WSPR_SYMBOL_PERIOD_US + 341000;
                ASSERT_TRUE(tones::Matches(scenario::EmittedAt(mid), base, symbols[i])) << i;
            }
            sim::ClearConsole();
        }
    });
}

// Just below 150 MHz the Si5351 has no setting with room for a crystal a little off the configured
// one: those frequencies are refused. Below them a frame keeps the chip within its limits even
// with the real crystal 1 Hz from the configured (each scenario fails on a limit fault).
TEST(Frame, FrequenciesWithoutMarginAreRefused) {
    OnFreshBoard([] {
        Boot({.xtal_hz = SI5351_XTAL_HZ - 1});
        for (const char *hz : {"150000000", "149999998", "149984996"}) {
            EXPECT_EQ(Command(std::string("set freq ") + hz),
                      std::string("set freq ") + hz +
                          "\r\nerror: freq too close to 150 MHz, the Si5351 would run at its "
                          "limits\r\nwspr> ");
        }
        EXPECT_EQ(sim::Status().settings.base_freq_hz, WSPR_DEFAULT_FREQ_HZ);
        EXPECT_EQ(Command("set freq 149984995"), "set freq 149984995\r\nok\r\nwspr> ");
        EXPECT_NE(Command("tx", "TX start").find("TX start"), std::string::npos);
        sim::RunFor(3000 * sim::MS);
        EXPECT_EQ(sim::Status().state, WSPR_STATE_TX);
    });
}

// A crystal 111 ppm off puts every tone 111 ppm off (3.1 kHz on 10 m, far outside the 200 Hz
// WSPR window); with "set xtal" set to the crystal's real frequency they are exact again.
TEST(Frame, CrystalCalibrationBringsTheTonesBack) {
    OnFreshBoard([] {
        constexpr uint64_t real_xtal = 25006050; // 25003275 Hz + 111 ppm
        constexpr uint64_t base = 28126100;
        Boot({.xtal_hz = real_xtal});
        Command("set freq " + std::to_string(base));
        const std::vector<uint8_t> symbols = Symbols("QZ5RTV", "OM85", 10);
        for (bool calibrated : {false, true}) {
            SCOPED_TRACE(calibrated);
            if (calibrated) {
                EXPECT_EQ(Command("set xtal 25006050"), "set xtal 25006050\r\nok\r\nwspr> ");
            }
            uint64_t t = sim::Now();
            Command("tx", "TX start");
            const uint64_t start_us = Tick(StartMsOfLastTx(t)) / 1000;
            sim::RunFor(111000 * sim::MS);
            for (size_t i = 0; i < WSPR_SYMBOL_COUNT; ++i) {
                const uint64_t emitted =
                    scenario::EmittedAt(start_us + i * WSPR_SYMBOL_PERIOD_US + 341000);
                const uint64_t ideal = tones::IdealUhz(base, symbols[i]);
                if (calibrated) {
                    ASSERT_TRUE(tones::Near(emitted, ideal)) << i << ": " << emitted;
                } else {
                    ASSERT_TRUE(tones::Near(
                        emitted, tones::ScaledUhz(base, symbols[i], SI5351_XTAL_HZ, real_xtal)))
                        << i;
                    ASSERT_GT(emitted - ideal, 3000ULL * 1000000ULL) << i; // over 3 kHz high
                }
            }
        }
    });
}
