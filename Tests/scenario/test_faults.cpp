// What an unattended beacon meets, and that it survives each without an operator: floods on the
// console, failed I2C writes, a bus held by the Si5351, a stuck main loop, the error handler and a
// hard fault; with the details that decide whether a press, a number or a typed byte counts.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "app_config.h"
#include "console_text.h"
#include "iwdg.h"
#include "scenario.h"
#include "tones.h"
#include "wspr_encoder.h"

using scenario::Boot;
using scenario::Command;
using scenario::OffAfter;
using scenario::OnFreshBoard;
using scenario::RunUntilConsole;
using scenario::Tick;
using scenario::TickOf;

namespace {

constexpr uint64_t FRAME_MS = (WSPR_SYMBOL_COUNT * WSPR_SYMBOL_PERIOD_US + 999) / 1000;
constexpr uint64_t CONSOLE_BYTES_PER_S = CONSOLE_BAUD / 10; // 10 bits a byte

std::vector<uint8_t> DefaultSymbols() {
    std::vector<uint8_t> s(WSPR_SYMBOL_COUNT);
    EXPECT_TRUE(
        WSPR_Encode(WSPR_DEFAULT_CALLSIGN, WSPR_DEFAULT_LOCATOR, WSPR_DEFAULT_POWER_DBM, s.data()));
    return s;
}

// The millisecond tick in which the frame typed after t_ns started: its first I2C operation.
uint64_t StartMsAfter(uint64_t t_ns) {
    for (const vmcu::I2cTransfer &x : vmcu::i2c_log()) {
        if (x.start_ns >= t_ns) {
            return TickOf(x.start_ns);
        }
    }
    ADD_FAILURE() << "no frame started";
    return 0;
}

uint64_t DueNs(uint64_t start_ms, size_t i) {
    return Tick(start_ms + (i * WSPR_SYMBOL_PERIOD_US + 999) / 1000);
}

// How the frame started in tick start_ms went: every slot's middle carries its symbol, the largest
// lateness of a tone change behind its boundary, and when CLK1 went off.
struct FrameCheck {
    size_t wrong_slots = 0;
    uint64_t worst_late_ns = 0;
    uint64_t off_ns = 0;
};
FrameCheck CheckFrame(uint64_t start_ms) {
    const std::vector<uint8_t> symbols = DefaultSymbols();
    FrameCheck f;
    const auto &timeline = sim::Chip().timeline();
    for (size_t i = 0; i < WSPR_SYMBOL_COUNT; ++i) {
        const uint64_t due = DueNs(start_ms, i);
        const uint64_t mid_us = (due + DueNs(start_ms, i + 1)) / 2000;
        if (!tones::Matches(scenario::EmittedAt(mid_us), WSPR_DEFAULT_FREQ_HZ, symbols[i])) {
            ++f.wrong_slots;
        }
        if (i == 0 || symbols[i] == symbols[i - 1]) {
            continue;
        }
        for (const sim::Si5351Model::Change &c : timeline) {
            if (c.t_us * 1000 + 1000 >= due && c.on &&
                tones::Matches(c.freq_uhz, WSPR_DEFAULT_FREQ_HZ, symbols[i])) {
                const uint64_t late = c.t_us * 1000 > due ? c.t_us * 1000 - due : 0;
                f.worst_late_ns = std::max(f.worst_late_ns, late);
                break;
            }
        }
    }
    f.off_ns = OffAfter(Tick(start_ms) / 1000 + 1000) * 1000;
    return f;
}

// A frame starts, and from 1 s into it the console gets 100 s of input at the full line rate.
void FloodDuringFrame(const char *name, const std::string &pattern) {
    Boot();
    const uint64_t t = sim::Now();
    ASSERT_NE(Command("tx", "TX start").find("TX start"), std::string::npos);
    const uint64_t start_ms = StartMsAfter(t);
    std::string flood;
    while (flood.size() < 100 * CONSOLE_BYTES_PER_S) {
        flood += pattern;
    }
    sim::TypeAt(Tick(start_ms) + sim::SECOND, flood);
    sim::RunUntil(Tick(start_ms + FRAME_MS) + 5 * sim::SECOND);

    const FrameCheck f = CheckFrame(start_ms);
    EXPECT_EQ(f.wrong_slots, 0u);
    // Console output never holds the main loop: every tone change within 2 ms of its boundary.
    EXPECT_LE(f.worst_late_ns, 2 * sim::MS) << "a tone change came late";
    EXPECT_GE(f.off_ns, Tick(start_ms + FRAME_MS));
    EXPECT_LE(f.off_ns, Tick(start_ms + FRAME_MS) + sim::MS) << "CLK1 stayed on past the frame";
    EXPECT_EQ(vmcu::resets(), 0u) << "the watchdog fired";
    std::printf("flood of %s: largest tone lateness %.1f ms\n", name, f.worst_late_ns / 1e6);
}

} // namespace

// ---- Console floods during a frame ---------------------------------------------------------

TEST(Flood, BareCarriageReturns) {
    OnFreshBoard([] { FloodDuringFrame("bare CRs", "\r"); });
}

TEST(Flood, LetterAndDeletePairs) {
    OnFreshBoard([] { FloodDuringFrame("a + DEL", "a\x7f"); });
}

TEST(Flood, PasteOfCommands) {
    OnFreshBoard(
        [] { FloodDuringFrame("pasted commands", "help\r\nshow\r\nset power 23\r\ntx\r\n"); });
}

TEST(Flood, PastedLinesOfHelp) {
    OnFreshBoard([] { FloodDuringFrame("pasted help", "help\r"); });
}

TEST(Flood, RandomBytes) {
    OnFreshBoard([] {
        std::mt19937 rng(12);
        std::string noise;
        for (size_t k = 0; k < 4096; ++k) {
            noise.push_back(static_cast<char>(rng() & 0xFF));
        }
        FloodDuringFrame("random bytes", noise);
    });
}

namespace {

// A board whose GNSS receiver gives the time from 11:59:55, so frames fall due at 12:00, 12:02 ...
// before_boot injects faults into the world before power-on.
void BootWithGnssTime(const std::function<void()> &before_boot = {}) {
    sim::Prepare();
    if (before_boot) {
        before_boot();
    }
    sim::Gnss().StartClock(0, 11 * 3600 + 59 * 60 + 55);
    sim::Boot();
    sim::RunFor(5 * sim::MS);
}

// The virtual time at which UTC hh:mm:00 begins with that receiver.
uint64_t UtcMinute(int hh, int mm) {
    return static_cast<uint64_t>((hh * 3600 + mm * 60) - (11 * 3600 + 59 * 60 + 55)) * sim::SECOND;
}

// Whether a frame started within the first second after t_ns.
bool FrameStartsAt(uint64_t t_ns) {
    const std::vector<scenario::Tone> tones = scenario::TonesFrom(t_ns / 1000);
    return !tones.empty() && tones.front().t_us * 1000 < t_ns + sim::SECOND;
}

} // namespace

// ---- CLK1 off, checked --------------------------------------------------------------------------

// The write that ends a frame fails (all three tries): the beacon says so, is in ERROR, and does
// not claim CLK1 off; the write is tried again 100 ms later and CLK1 goes off then, and with it
// the beacon is IDLE again: the next slot goes out.
TEST(Clk1Off, FailedOffAtTheFrameEndIsReportedAndRetried) {
    OnFreshBoard([] {
        BootWithGnssTime();
        const uint64_t t = UtcMinute(12, 0);
        sim::RunUntil(t + 500 * sim::MS); // the sentence for 12:00:00 is read 170 ms in
        const uint64_t start_ms = StartMsAfter(t);
        sim::RunUntil(Tick(start_ms + FRAME_MS - 300));
        const uint64_t op = vmcu::i2c_operations(); // the next one ends the frame
        for (uint64_t k = 0; k < 3; ++k) {
            vmcu::i2c_fail(op + k, HAL_ERROR, false);
        }
        const size_t from = sim::Console().size();
        sim::RunUntil(Tick(start_ms + FRAME_MS) + 50 * sim::MS);
        const std::string said = sim::Console().substr(from);
        EXPECT_NE(said.find("Si5351 output off failed: 1\r\n"), std::string::npos) << said;
        EXPECT_EQ(said.find("TX complete"), std::string::npos) << said;
        EXPECT_TRUE(sim::Chip().clk1_on());
        EXPECT_EQ(sim::Status().state, WSPR_STATE_ERROR);

        sim::RunFor(100 * sim::MS);
        EXPECT_FALSE(sim::Chip().clk1_on());
        const uint64_t off_ns = OffAfter(Tick(start_ms + FRAME_MS) / 1000) * 1000;
        EXPECT_LE(off_ns, Tick(start_ms + FRAME_MS) + 102 * sim::MS);
        EXPECT_EQ(said.find("off failed", said.find("off failed") + 1), std::string::npos);
        EXPECT_EQ(sim::Console().substr(from + said.size()),
                  "TX complete, CLK1 disabled\r\nwspr> ");
        EXPECT_EQ(sim::Status().state, WSPR_STATE_IDLE);

        sim::RunUntil(UtcMinute(12, 2) + 2 * sim::SECOND);
        EXPECT_TRUE(FrameStartsAt(UtcMinute(12, 2)));
        EXPECT_EQ(sim::Console().find("Si5351 init status", from), std::string::npos);
    });
}

// "stop" whose CLK1 off fails does not pretend: ERROR, the failure line, no "TX complete".
TEST(Clk1Off, FailedOffOnStopLeavesError) {
    OnFreshBoard([] {
        Boot();
        ASSERT_NE(Command("tx", "TX start").find("TX start"), std::string::npos);
        sim::RunFor(2 * sim::SECOND);
        vmcu::i2c_fail(vmcu::i2c_operations(), HAL_TIMEOUT, true);
        const std::string said = Command("stop");
        EXPECT_NE(said.find("Si5351 output off failed: 3\r\n"), std::string::npos) << said;
        EXPECT_EQ(said.find("TX complete"), std::string::npos) << said;
        EXPECT_EQ(sim::Status().state, WSPR_STATE_ERROR);
        EXPECT_TRUE(sim::Chip().clk1_on());
        // The bus comes back: the next retry switches CLK1 off.
        vmcu::i2c_clear_faults();
        sim::RunFor(150 * sim::MS);
        EXPECT_FALSE(sim::Chip().clk1_on());
        EXPECT_EQ(sim::Status().state, WSPR_STATE_IDLE);
    });
}

// The Si5351 did not answer at power-up (ERROR); "stop" 2 s later starts it again before it says
// IDLE, so the 12:00 frame goes out (without it, IDLE on a chip never set up would lose that
// slot to a failed frame start).
TEST(Clk1Off, StopFromErrorStartsTheSi5351Again) {
    OnFreshBoard([] {
        BootWithGnssTime([] { vmcu::i2c_fail(0, HAL_ERROR, false); });
        ASSERT_EQ(sim::Status().state, WSPR_STATE_ERROR);
        sim::RunFor(2 * sim::SECOND);
        EXPECT_EQ(Command("stop"),
                  "stop\r\nSi5351 init status: 0\r\nTX complete, CLK1 disabled\r\nwspr> ");
        EXPECT_EQ(sim::Status().state, WSPR_STATE_IDLE);
        sim::RunUntil(UtcMinute(12, 0) + 2 * sim::SECOND);
        EXPECT_TRUE(FrameStartsAt(UtcMinute(12, 0)));
        EXPECT_EQ(sim::Console().find("failed"), std::string::npos) << sim::Console();

        // The chip falls silent: "stop" cannot switch CLK1 off (ERROR); "stop" again tries the
        // start-up, says how it went, and stays in ERROR.
        vmcu::i2c_fail(vmcu::i2c_operations(), HAL_ERROR, true);
        Command("stop");
        ASSERT_EQ(sim::Status().state, WSPR_STATE_ERROR);
        EXPECT_EQ(Command("stop"), "stop\r\nSi5351 init status: 1\r\nwspr> ");
        EXPECT_EQ(sim::Status().state, WSPR_STATE_ERROR);
    });
}

// ---- Back to beaconing without an operator
// --------------------------------------------------------

// One failed tone update abandons the frame; 30 s later the Si5351 is started again and the
// 12:02 frame goes out as scheduled.
TEST(Recovery, TransientI2cErrorCostsOneFrame) {
    OnFreshBoard([] {
        BootWithGnssTime();
        sim::RunUntil(UtcMinute(12, 0) + 20 * sim::SECOND);
        ASSERT_TRUE(sim::Chip().clk1_on());
        vmcu::i2c_fail(vmcu::i2c_operations(), HAL_ERROR, false);
        const size_t from = sim::Console().size();
        ASSERT_TRUE(RunUntilConsole("Si5351 tone update failed: 1", from, 5000));
        sim::RunFor(10 * sim::MS);
        EXPECT_FALSE(sim::Chip().clk1_on());
        EXPECT_EQ(sim::Status().state, WSPR_STATE_ERROR);
        ASSERT_TRUE(RunUntilConsole("Si5351 init status: 0", from, 31000));
        EXPECT_EQ(sim::Status().state, WSPR_STATE_IDLE);
        sim::RunUntil(UtcMinute(12, 2) + 2 * sim::SECOND);
        EXPECT_TRUE(FrameStartsAt(UtcMinute(12, 2)));
    });
}

// The Si5351 holds SDA low in the middle of a frame: the transfer ends BUSY, the bus is clocked
// free at once (CLK1 goes off), the start-up runs again 30 s later and the next frame goes out.
TEST(Recovery, HeldSdaIsClockedFree) {
    OnFreshBoard([] {
        BootWithGnssTime();
        sim::RunUntil(UtcMinute(12, 0) + 20 * sim::SECOND);
        ASSERT_TRUE(sim::Chip().clk1_on());
        const uint64_t held_ns = sim::Now();
        sim::Chip().hold_sda(7);
        const size_t from = sim::Console().size();
        ASSERT_TRUE(RunUntilConsole("Si5351 tone update failed: 2", from, 5000));
        EXPECT_FALSE(sim::Chip().holds_sda());
        sim::RunFor(10 * sim::MS);
        EXPECT_FALSE(sim::Chip().clk1_on());
        EXPECT_LT(OffAfter(held_ns / 1000) * 1000, held_ns + 5 * sim::SECOND);
        ASSERT_TRUE(RunUntilConsole("Si5351 init status: 0", from, 31000));
        sim::RunUntil(UtcMinute(12, 2) + 2 * sim::SECOND);
        EXPECT_TRUE(FrameStartsAt(UtcMinute(12, 2)));
    });
}

// After a reset in the middle of a transfer the chip may hold SDA at power-up: the bring-up
// clocks it free before it sets up I2C1, and the start-up finds the Si5351.
TEST(Recovery, HeldSdaAtStartUp) {
    OnFreshBoard([] {
        sim::Prepare();
        sim::Chip().hold_sda(9);
        sim::Boot();
        scenario::RunUntilConsole("wspr> ", 0, 200);
        EXPECT_NE(sim::Console().find("Si5351 init status: 0"), std::string::npos)
            << sim::Console();
        EXPECT_EQ(sim::Status().state, WSPR_STATE_IDLE);
    });
}

// SDA held from power-up (the hold comes at the moment the power does, before the first
// instruction): the start-up clocks it free as on the chip, finds the Si5351 and the 12:00 frame
// goes out.
TEST(Recovery, SdaHeldFromPowerUp) {
    OnFreshBoard([] {
        sim::Prepare();
        sim::Gnss().StartClock(0, 11 * 3600 + 59 * 60 + 58);
        vmcu::schedule(0, [](uint64_t) { sim::Chip().hold_sda(9); });
        sim::Boot();
        sim::RunUntil(3 * sim::SECOND);
        EXPECT_NE(sim::Console().find("Si5351 init status: 0"), std::string::npos)
            << sim::Console();
        EXPECT_FALSE(sim::Chip().holds_sda());
        EXPECT_TRUE(FrameStartsAt(UtcMinute(12, 0) - 3 * sim::SECOND));
    });
}

// ---- The watchdog ---------------------------------------------------------------------------

namespace {

// A fault strikes at 20 s into the 12:00 frame; CLK1 must be off within `off_within_ns`, the
// watchdog resets the MCU, the banner says so, and the 12:02 frame goes out.
void SurvivesMidFrame(const std::function<void()> &fault, uint64_t off_within_ns) {
    BootWithGnssTime();
    const uint64_t at_ns = UtcMinute(12, 0) + 20 * sim::SECOND;
    sim::RunUntil(at_ns);
    ASSERT_TRUE(sim::Chip().clk1_on());
    const size_t from = sim::Console().size();
    fault();
    sim::RunFor(3 * sim::SECOND);
    const uint64_t off_ns = OffAfter(at_ns / 1000) * 1000;
    EXPECT_LE(off_ns - at_ns, off_within_ns);
    EXPECT_EQ(vmcu::resets(), 1u);
    EXPECT_TRUE(vmcu::reset_flag(RCC_FLAG_IWDGRST) == false); // read and cleared by the start-up
    EXPECT_NE(sim::Console().find(scenario::BannerAfterReset("watchdog"), from), std::string::npos)
        << sim::Console().substr(from);
    sim::RunUntil(UtcMinute(12, 2) + 2 * sim::SECOND);
    EXPECT_TRUE(FrameStartsAt(UtcMinute(12, 2)));
    std::printf("CLK1 off %.1f ms after the fault\n", (off_ns - at_ns) / 1e6);
}

} // namespace

// The main loop stops (a firmware hang; interrupts go on): the tick switches CLK1 off once no pass
// has completed for MAIN_LOOP_STALL_MS, well before the frame would have ended; with no refresh
// the watchdog then resets the MCU after its time-out.
TEST(Watchdog, StalledMainLoopMidFrame) {
    OnFreshBoard([] {
        SurvivesMidFrame([] { vmcu::hang_main_loop_at(sim::Now()); },
                         (MAIN_LOOP_STALL_MS + 50) * sim::MS);
    });
}

namespace {

// A typed frame; the main loop stops at `stall_ns` after the frame started (between two passes)
// and runs again `resume_ns` later, or, with 0, 50 us before the tick that finds it stalled for
// MAIN_LOOP_STALL_MS. Returns the moment it stopped.
uint64_t FrameWithAStall(uint64_t stall_ns, uint64_t resume_ns) {
    Boot();
    const uint64_t t = sim::Now();
    EXPECT_NE(Command("tx", "TX start").find("TX start"), std::string::npos);
    const uint64_t start_ms = StartMsAfter(t);
    const uint64_t at = Tick(start_ms) + stall_ns;
    sim::RunUntil(at);
    vmcu::hang_main_loop_at(at);
    const uint64_t resume =
        resume_ns != 0 ? at + resume_ns : Tick(TickOf(at) + MAIN_LOOP_STALL_MS) - 50 * 1000;
    vmcu::schedule(resume, [](uint64_t) { vmcu::hang_main_loop_at(UINT64_MAX); });
    return at;
}

} // namespace

// The main loop stalls for 150 ms in a frame and runs again: CLK1 went off 100 ms in, and the
// first pass after it ends the frame and says why; no watchdog reset, and a frame starts again.
TEST(Watchdog, MainLoopThatRunsAgainEndsTheFrame) {
    OnFreshBoard([] {
        const uint64_t at = FrameWithAStall(5 * sim::SECOND + 300 * sim::MS, 150 * sim::MS);
        const size_t from = sim::Console().size();
        sim::RunUntil(at + 200 * sim::MS);
        const uint64_t off_ns = OffAfter(at / 1000) * 1000;
        EXPECT_GE(off_ns, at + (MAIN_LOOP_STALL_MS - 1) * sim::MS);
        EXPECT_LE(off_ns, at + (MAIN_LOOP_STALL_MS + 2) * sim::MS);
        EXPECT_EQ(sim::Console().substr(from),
                  "Main loop stalled during the frame: CLK1 switched off\r\n"
                  "TX complete, CLK1 disabled\r\nwspr> ");
        EXPECT_EQ(sim::Status().state, WSPR_STATE_IDLE);
        sim::RunFor(3 * sim::SECOND);
        EXPECT_EQ(vmcu::resets(), 0u);
        EXPECT_TRUE(scenario::TonesFrom(off_ns / 1000 + 1).empty());
        EXPECT_NE(Command("tx", "TX start").find("TX start"), std::string::npos);
    });
}

// The stalled main loop runs again just before the tick that stops the carrier, with a tone change
// due: that tick cuts the main loop's own transfer in the middle. The transfer fails (I2C1 is held
// in reset) rather than going on from where it was, CLK1 stays off, and the beacon is back 30 s
// later without a reset.
TEST(Watchdog, CarrierStopCutsTheMainLoopsOwnTransfer) {
    OnFreshBoard([] {
        // A symbol boundary where the tone changes, 50 ms into the stall: the first pass after it
        // changes tone.
        const std::vector<uint8_t> symbols = DefaultSymbols();
        size_t i = 7;
        while (symbols[i] == symbols[i - 1]) {
            ++i;
        }
        const uint64_t at = FrameWithAStall(i * WSPR_SYMBOL_PERIOD_US * 1000 - 50 * sim::MS, 0);
        const size_t from = sim::Console().size();
        sim::RunUntil(at + 200 * sim::MS);
        const std::string said = sim::Console().substr(from);
        EXPECT_NE(said.find("Si5351 tone update failed: 3\r\n"), std::string::npos) << said;
        EXPECT_NE(said.find("Main loop stalled during the frame: CLK1 switched off\r\n"),
                  std::string::npos)
            << said;
        // The cut transfer is the tone change's, cut after its first bytes.
        bool cut = false;
        for (const vmcu::I2cTransfer &x : vmcu::i2c_log()) {
            cut = cut || (x.cut && x.start_ns >= at && x.bytes.size() < 9);
        }
        EXPECT_TRUE(cut);
        const uint64_t off_ns = OffAfter(at / 1000) * 1000;
        EXPECT_LE(off_ns, at + (MAIN_LOOP_STALL_MS + 2) * sim::MS);
        EXPECT_TRUE(scenario::TonesFrom(off_ns / 1000 + 1).empty());
        EXPECT_EQ(sim::Status().state, WSPR_STATE_ERROR);
        ASSERT_TRUE(RunUntilConsole("Si5351 init status: 0\r\n", from, 31000));
        EXPECT_EQ(sim::Status().state, WSPR_STATE_IDLE);
        EXPECT_FALSE(sim::Chip().clk1_on());
        EXPECT_EQ(vmcu::resets(), 0u);
    });
}

// Error_Handler switches CLK1 off itself, at once, and waits for the watchdog.
TEST(Watchdog, ErrorHandlerMidFrame) {
    OnFreshBoard([] {
        SurvivesMidFrame(
            [] {
                auto handler = reinterpret_cast<void (*)()>(sim::Firmware().Entry("Error_Handler"));
                ASSERT_NE(handler, nullptr);
                vmcu::schedule(sim::Now(), [handler](uint64_t) { handler(); });
            },
            sim::MS);
    });
}

TEST(Watchdog, HardFaultMidFrame) {
    OnFreshBoard([] {
        SurvivesMidFrame([] { vmcu::schedule(sim::Now(), [](uint64_t) { vmcu::hard_fault(); }); },
                         sim::MS);
    });
}

// An interrupt without a handler of its own: Default_Handler goes the fault handlers' way.
TEST(Watchdog, UnhandledInterruptMidFrame) {
    OnFreshBoard([] {
        SurvivesMidFrame(
            [] { vmcu::schedule(sim::Now(), [](uint64_t) { vmcu::stray_interrupt(FPU_IRQn); }); },
            sim::MS);
    });
}

// The status query asked while the CPU waits in the fault handler, interrupts masked, leaves them
// masked: the tick stands still, the watchdog alone ends the wait.
TEST(Watchdog, StatusQueryInTheFaultHandlerKeepsInterruptsMasked) {
    OnFreshBoard([] {
        Boot();
        Command("time 12:00:10");
        vmcu::schedule(sim::Now(), [](uint64_t) { vmcu::hard_fault(); });
        sim::RunFor(10 * sim::MS);
        ASSERT_TRUE(sim::Halted());
        const uint32_t seconds = sim::Status().utc_seconds;
        EXPECT_TRUE(vmcu::irq_masked());
        const uint64_t taken = vmcu::interrupts_taken();
        sim::RunFor(1500 * sim::MS);
        EXPECT_EQ(vmcu::interrupts_taken(), taken);
        EXPECT_EQ(sim::Status().utc_seconds, seconds);
        EXPECT_EQ(vmcu::resets(), 0u);
    });
}

namespace {

// A frame typed at 1 s and stopped at 2 s: the I2C transfers of its start, of its first tone
// change and of the stop, from a run without a fault.
struct Transfer {
    const char *what;
    uint64_t from_ns, to_ns;
};

void TypedFrame() {
    sim::Prepare();
    sim::TypeAt(sim::SECOND, "tx\r");
    sim::TypeAt(2 * sim::SECOND, "stop\r");
}

std::vector<Transfer> FrameTransfers() {
    TypedFrame();
    sim::Boot();
    sim::RunUntil(2 * sim::SECOND + 100 * sim::MS);
    std::vector<Transfer> found;
    int tone_changes = 0;
    // The frame starts after its lead: its transfers are the first after the typed line.
    uint64_t first = UINT64_MAX;
    for (const vmcu::I2cTransfer &t : vmcu::i2c_log()) {
        if (t.start_ns < sim::SECOND) {
            continue;
        }
        first = std::min(first, t.start_ns);
        const bool tone_change = t.bytes.size() == 2 && t.bytes[0] >= 31 && t.bytes[0] <= 57;
        if (t.start_ns < first + 10 * sim::MS) {
            found.push_back({"frame start", t.start_ns, t.end_ns});
        } else if (tone_change && tone_changes++ == 0) {
            found.push_back({"tone change", t.start_ns, t.end_ns});
        } else if (t.start_ns >= 2 * sim::SECOND && t.bytes == std::vector<uint8_t>{3, 0xFE}) {
            found.push_back({"stop", t.start_ns, t.end_ns});
        }
    }
    return found;
}

} // namespace

// A hard fault wherever it lands, in the middle of an I2C transfer too (I2C1 is left busy then):
// the fault path takes the bus back itself and CLK1 is off within a millisecond, and stays off.
// Every 5 us over the transfers of a frame's start, a tone change and a stop.
TEST(Watchdog, HardFaultDuringAnyTransferSwitchesOffWithinAMillisecond) {
    std::vector<Transfer> transfers;
    OnFreshBoard([&transfers] { transfers = FrameTransfers(); });
    ASSERT_EQ(transfers.size(), 8u); // six for the start, one tone change, the stop
    uint64_t worst_ns = 0;
    size_t faults = 0;
    for (const Transfer &x : transfers) {
        for (uint64_t at = x.from_ns - 5000; at <= x.to_ns + 5000; at += 5000) {
            SCOPED_TRACE(testing::Message() << x.what << ", fault at " << at << " ns");
            OnFreshBoard([at, &worst_ns] {
                TypedFrame();
                vmcu::schedule(at, [](uint64_t) { vmcu::hard_fault(); });
                sim::Boot();
                sim::RunUntil(at + 5 * sim::MS);
                ASSERT_TRUE(sim::Halted());
                EXPECT_FALSE(sim::Chip().clk1_on());
                // From the fault on (CLK1 may come on, and go off, in the fault path).
                const uint64_t off_us = OffAfter(at / 1000);
                if (scenario::EmittedAt(at / 1000) != 0 || off_us != UINT64_MAX) {
                    ASSERT_NE(off_us, UINT64_MAX);
                    EXPECT_LE(off_us * 1000, at + sim::MS);
                    worst_ns = std::max(worst_ns, off_us * 1000 - at);
                }
            });
            ++faults;
        }
    }
    std::printf("%zu faults over the transfers: CLK1 off at most %.3f ms after one\n", faults,
                worst_ns / 1e6);
}

// What the console had still to send when a fault stopped the program goes out before the CPU
// waits for the watchdog: the reply typed just before is whole.
TEST(Watchdog, HardFaultLetsTheConsoleFinish) {
    OnFreshBoard([] {
        Boot();
        sim::ClearConsole();
        sim::Type("show\r");
        sim::RunFor(3 * sim::MS); // the reply is in the output, a few bytes of it have left
        vmcu::schedule(sim::Now(), [](uint64_t) { vmcu::hard_fault(); });
        sim::RunFor(100 * sim::MS);
        EXPECT_EQ(sim::Console().rfind("show\r\n\r\nState: IDLE\r\n", 0), 0u) << sim::Console();
        EXPECT_TRUE(sim::Console().ends_with("Auto: ON, Time: invalid\r\n\r\n")) << sim::Console();
        sim::RunFor((WATCHDOG_TIMEOUT_MS + 100) * sim::MS);
        EXPECT_NE(sim::Console().find(scenario::BannerAfterReset("watchdog")), std::string::npos);
    });
}

// A clock that does not start sends the bring-up to Error_Handler before I2C1 exists: nothing
// can be on the air yet, so nothing goes to the bus; the watchdog, started there at its longest
// time-out (prescaler 64, reload 4095: 8.2 s), resets the board.
TEST(Watchdog, ClockFailureBeforeTheBusIsSetUp) {
    OnFreshBoard([] {
        sim::Prepare();
        vmcu::fail_init("HAL_RCC_OscConfig", HAL_ERROR);
        sim::Boot();
        sim::RunFor(8300 * sim::MS);
        EXPECT_GE(vmcu::resets(), 1u);
        EXPECT_EQ(vmcu::i2c_operations(), 0u);
        vmcu::fail_init("HAL_RCC_OscConfig", HAL_OK);
    });
}

// A fault in the start-up, before the banner: the watchdog's reset is still named after it (the
// power-on's flags, never read, would otherwise hide it).
TEST(Watchdog, FaultBeforeTheBannerStillNamesTheReset) {
    OnFreshBoard([] {
        sim::Prepare();
        vmcu::schedule(50 * sim::MS / 1000, [](uint64_t) { vmcu::hard_fault(); });
        sim::Boot();
        sim::RunFor((WATCHDOG_TIMEOUT_MS + 300) * sim::MS);
        EXPECT_EQ(vmcu::resets(), 1u);
        EXPECT_NE(sim::Console().find(scenario::BannerAfterReset("watchdog")), std::string::npos)
            << sim::Console();
    });
}

// Each kind of reset but a power-on adds its line to the banner.
TEST(Watchdog, BannerNamesTheReset) {
    OnFreshBoard([] {
        Boot();
        EXPECT_EQ(sim::Console(), scenario::k_banner);
        const struct {
            vmcu::ResetCause cause;
            const char *kind;
        } cases[] = {{vmcu::ResetCause::SOFTWARE, "software"},
                     {vmcu::ResetCause::BROWN_OUT, "brown-out"},
                     {vmcu::ResetCause::WATCHDOG, "watchdog"},
                     {vmcu::ResetCause::PIN, "pin"}};
        for (const auto &c : cases) {
            const size_t from = sim::Console().size();
            sim::Reset(c.cause);
            ASSERT_TRUE(RunUntilConsole("wspr> ", from, 1000));
            EXPECT_EQ(sim::Console().substr(from), scenario::BannerAfterReset(c.kind));
        }
    });
}

// ---- The details ------------------------------------------------------------------------------

// The press's 50th millisecond falls into a pass that writes the help text (48 ms): the press
// still counts, once.
TEST(Key, PressCountsWhenItsFiftiethMillisecondIsBusy) {
    OnFreshBoard([] {
        Boot();
        sim::RunFor(100 * sim::MS);
        const uint64_t press = sim::Now();
        sim::KeyAt(press, true);
        sim::TypeAt(press + 5 * sim::MS, "help\r"); // written from about 6 ms to 54 ms
        sim::KeyAt(press + 3 * sim::SECOND, false);
        sim::RunFor(4 * sim::SECOND);
        const std::string out = sim::Console();
        const size_t first = out.find("TX start");
        EXPECT_NE(first, std::string::npos) << out;
        EXPECT_EQ(out.find("TX start", first + 1), std::string::npos);
    });
}

TEST(Numbers, AMinusSignIsOutOfRangeMinusZeroToo) {
    OnFreshBoard([] {
        Boot();
        EXPECT_NE(Command("set power -0").find("error: power must be 0..60 dBm"),
                  std::string::npos);
        EXPECT_NE(Command("set freq -0").find("error: freq must be"), std::string::npos);
        const std::string t = Command("time -0:00:00");
        EXPECT_EQ(t.find("TIME set"), std::string::npos) << t;
        EXPECT_FALSE(sim::Status().time_valid);
        EXPECT_EQ(sim::Status().settings.power_dbm, WSPR_DEFAULT_POWER_DBM);
    });
}

// Bytes typed while the banner is written (before reception is armed) are not taken for the
// start of the first line.
TEST(Console, BytesTypedDuringTheBannerAreDropped) {
    OnFreshBoard([] {
        sim::Prepare();
        sim::TypeAt(0, "abcdefgh");
        sim::Boot();
        sim::RunFor(50 * sim::MS);
        const std::string reply = Command("show");
        EXPECT_NE(reply.find("State: IDLE"), std::string::npos) << reply;
        EXPECT_EQ(reply.find("unknown command"), std::string::npos) << reply;
    });
}
