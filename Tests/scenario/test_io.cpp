// Pins and serial lines: the transmit key, the status LED, the receive rings and receive errors.
#include <string>
#include <vector>

#include "app_config.h"
#include "debug_access.h"
#include "gnss_receiver.h"
#include "scenario.h"

using scenario::Boot;
using scenario::Command;
using scenario::OnFreshBoard;
using scenario::Tick;
using scenario::TickOf;

namespace {

// Tick counts at which frames started: a start is the one set-up that resets the PLL, its first
// transfer (outputs off) three before the reset, in the pass of that tick.
std::vector<uint64_t> FrameStartTicks(uint64_t after_ns) {
    std::vector<uint64_t> ticks;
    const std::vector<vmcu::I2cTransfer> &log = vmcu::i2c_log();
    for (size_t i = 3; i < log.size(); ++i) {
        if (log[i].kind == vmcu::I2cTransfer::MEM_WRITE && log[i].bytes[0] == 177 &&
            log[i - 3].start_ns > after_ns) {
            ticks.push_back(TickOf(log[i - 3].start_ns));
        }
    }
    return ticks;
}

// Toggle times of the LED in ms.
struct LedWatch {
    std::vector<uint64_t> toggles;
    void Attach() {
        vmcu::gpio_on_change([this](uint64_t t, const GPIO_TypeDef *port, int pin, int) {
            if (port == GPIOC && pin == 13) {
                toggles.push_back(TickOf(t));
            }
        });
    }
};

} // namespace

TEST(Key, PressStartsOneFrameFiftyMsAfterLastBounce) {
    OnFreshBoard([] {
        Boot();
        uint64_t t0 = Tick(TickOf(sim::Now()) + 10) + 300 * 1000; // between two ticks
        // Bounces, then held down for 5 s: no repeat.
        sim::KeyAt(t0, true);
        sim::KeyAt(t0 + 3 * sim::MS, false);
        sim::KeyAt(t0 + 8 * sim::MS, true);
        sim::KeyAt(t0 + 20 * sim::MS, false);
        sim::KeyAt(t0 + 40 * sim::MS, true);
        sim::KeyAt(t0 + 5000 * sim::MS, false);
        sim::RunFor(6000 * sim::MS);
        std::vector<uint64_t> starts = FrameStartTicks(t0);
        ASSERT_EQ(starts.size(), 1u);
        // The level was seen low at the first tick after the last press; 50 ticks later the frame
        // is asked for, and its carrier starts after the lead of the band and amplifier lines
        // (at least 50 + 20 ms), within 100 ms.
        uint64_t seen = TickOf(t0 + 40 * sim::MS) + 1;
        EXPECT_GE(starts[0], seen + 50 + 70);
        EXPECT_LE(starts[0], seen + 50 + 100);
        // Release does nothing; a press during the frame is refused.
        sim::KeyAt(sim::Now() + 10 * sim::MS, true);
        sim::KeyAt(sim::Now() + 200 * sim::MS, false);
        size_t from = sim::Console().size();
        sim::RunFor(1000 * sim::MS);
        EXPECT_EQ(sim::Console().substr(from), "TX rejected: already transmitting\r\n");
    });
}

TEST(Key, ShortPressStartsNothing) {
    OnFreshBoard([] {
        Boot();
        uint64_t t0 = sim::Now() + 100 * sim::MS;
        sim::KeyAt(t0, true);
        sim::KeyAt(t0 + 45 * sim::MS, false);
        sim::KeyAt(t0 + 300 * sim::MS, true);
        sim::KeyAt(t0 + 349 * sim::MS, false);
        size_t from = sim::Console().size();
        sim::RunFor(2000 * sim::MS);
        EXPECT_EQ(sim::Console().substr(from), "");
        EXPECT_FALSE(sim::Chip().clk1_on());
    });
}

TEST(Key, DebounceAcrossMillisecondWrap) {
    OnFreshBoard([] {
        Boot();
        ASSERT_TRUE(sim::PokeFirmwareU32("g_ms", 0xFFFFFFFFu - 20));
        uint64_t t0 = Tick(TickOf(sim::Now()) + 5) + 300 * 1000; // between two ticks
        sim::KeyAt(t0, true);
        sim::RunFor(1000 * sim::MS);
        std::vector<uint64_t> starts = FrameStartTicks(t0);
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_GE(starts[0], TickOf(t0) + 1 + 50 + 70);
        EXPECT_LE(starts[0], TickOf(t0) + 1 + 50 + 100);
    });
}

TEST(Led, BlinkRateFollowsState) {
    OnFreshBoard([] {
        Boot();
        LedWatch led;
        led.Attach();
        sim::RunFor(5000 * sim::MS);
        ASSERT_GE(led.toggles.size(), 4u);
        for (uint64_t t : led.toggles) {
            EXPECT_EQ(t % 1000, 0u) << t;
        }
        Command("tx", "TX start");
        led.toggles.clear();
        sim::RunFor(3000 * sim::MS);
        ASSERT_GE(led.toggles.size(), 25u);
        for (size_t i = 1; i < led.toggles.size(); ++i) {
            EXPECT_EQ(led.toggles[i] - led.toggles[i - 1], 100u);
        }
    });
    OnFreshBoard([] {
        Boot({.si5351_present = false});
        LedWatch led;
        led.Attach();
        sim::RunFor(2000 * sim::MS);
        ASSERT_GE(led.toggles.size(), 9u);
        for (size_t i = 1; i < led.toggles.size(); ++i) {
            EXPECT_EQ(led.toggles[i] - led.toggles[i - 1], 200u);
        }
    });
}

// While the main loop writes the help text (about 65 ms), console bytes keep arriving: the ring
// keeps one less than its size and drops the rest until the loop reads again. The line that lost
// bytes is refused whole (its line end was among them: the next CR ends it).
TEST(Rings, ConsoleRingKeepsWhatFitsAndDropsTheRest) {
    OnFreshBoard([] {
        Boot();
        sim::ClearConsole();
        std::string burst =
            std::string(38, 'a') + "\r" + std::string(CONSOLE_RX_RING_SIZE, 'b') + "\r";
        sim::Type("help\r" + burst);
        sim::RunFor(200 * sim::MS);
        sim::Type("\r"); // ends the line of kept b's
        sim::RunFor(20 * sim::MS);
        std::string out = sim::Console();
        size_t a_line = out.find(std::string(38, 'a') + "\r\n");
        ASSERT_NE(a_line, std::string::npos) << out;
        // 38 a's + CR = 39 bytes, then b's up to the ring's capacity; the rest were dropped.
        std::string rest = out.substr(a_line + 40);
        // The pass ends with the command's prompt; the kept b's are echoed in the next, as far as
        // a line holds them.
        EXPECT_EQ(rest, "error: unknown command, type help\r\nwspr> " + std::string(39, 'b') +
                            "\r\nerror: input lost, line ignored\r\nwspr> ");
    });
}

TEST(Rings, IndicesWrapWithoutLossOrDuplication) {
    OnFreshBoard([] {
        Boot();
        std::string all;
        for (int i = 0; i < 100; ++i) {
            std::string line = "set power " + std::to_string(i % 2 ? 10 : 13);
            all += line;
            EXPECT_EQ(Command(line), line + "\r\nok\r\nwspr> ");
        }
        EXPECT_GT(all.size(), 4 * CONSOLE_RX_RING_SIZE); // the ring went round several times
    });
}

TEST(Rings, GnssRingOverflowLosesOnlyTheSentenceInFlight) {
    OnFreshBoard([] {
        sim::Prepare();
        sim::Gnss().StartClock(0, 10 * 3600);
        sim::Boot();
        Command("auto off");
        sim::RunUntil(3 * sim::SECOND);
        // A console that cannot write holds the main loop for over a second.
        vmcu::uart_stall_tx(sim::ConsoleUart(), true);
        sim::Type("help\r");
        sim::RunFor(2 * sim::SECOND);
        vmcu::uart_stall_tx(sim::ConsoleUart(), false);
        sim::ClearConsole();
        sim::RunFor(3 * sim::SECOND);
        std::string out = sim::Console();
        EXPECT_NE(out.find("TIME set 10:00:06 UTC from GNSS\r\n"), std::string::npos) << out;
        EXPECT_NE(out.find("TIME set 10:00:07 UTC from GNSS\r\n"), std::string::npos) << out;
    });
}

// A receive error (an overrun here) ends the one-byte reception; the beacon arms it again, so the
// console and the GNSS input keep working. The console line that lost its byte is refused.
TEST(Rings, ReceptionSurvivesOverrun) {
    OnFreshBoard([] {
        sim::Prepare();
        sim::Gnss().StartClock(0, 8 * 3600);
        sim::Boot();
        Command("auto off");
        sim::RunUntil(2500 * sim::MS);
        vmcu::uart_force_overrun(sim::ConsoleUart());
        vmcu::uart_force_overrun(sim::GnssUart());
        sim::ClearConsole();
        sim::Type("Xshow\r"); // the X is lost in the overrun
        sim::RunFor(1000 * sim::MS);
        sim::Type("show\r");
        sim::RunFor(2000 * sim::MS);
        std::string out = sim::Console();
        EXPECT_GE(vmcu::uart_rx_errors_reported(sim::ConsoleUart()), 1u);
        EXPECT_GE(vmcu::uart_rx_errors_reported(sim::GnssUart()), 1u);
        EXPECT_EQ(out.substr(0, 45), "show\r\nerror: input lost, line ignored\r\nwspr> ");
        EXPECT_NE(out.find("State: IDLE"), std::string::npos);
        EXPECT_NE(out.find("TIME set 08:00:04 UTC from GNSS"), std::string::npos) << out;
    });
}
