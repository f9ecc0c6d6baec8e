// The band list, hopping, the transmit share and the offset through the console, and the band
// and amplifier lines around every carrier: at a frame's end, at every way a frame ends early, and
// after a reset, with the lines read from the pins and CLK1 from the Si5351's own timeline.
#include <cstdio>
#include <string>
#include <vector>

#include "console_text.h"
#include "line_watch.h"
#include "scenario.h"
#include "si5351.h"
#include "wspr_encoder.h"

using scenario::Command;
using scenario::OnFreshBoard;
using scenario::RunUntilConsole;

namespace {

constexpr uint64_t MS = sim::MS;
constexpr uint64_t FRAME_MS = (WSPR_SYMBOL_COUNT * WSPR_SYMBOL_PERIOD_US + 999) / 1000;

// Every change of the band lines and the amplifier line, from power-on.
std::vector<lines::Event> g_pins;

void BootWatched() {
    g_pins.clear();
    sim::Prepare();
    sim::BoardMcu().OnPinLevel([](uint64_t t, sim::Pin pin, int) {
        if (pin.port == 'B' && pin.number >= 12 && pin.number <= 14) {
            g_pins.push_back({t, lines::Event::CODE, sim::BandCode()});
        } else if (pin.port == 'B' && pin.number == 15) {
            g_pins.push_back({t, lines::Event::AMP, sim::Amplifier()});
        }
    });
    sim::Boot();
    RunUntilConsole("wspr> ", 0, 200);
}

// The pins and CLK1's switching so far, checked.
lines::Margins Checked() {
    std::vector<lines::Event> all = g_pins;
    bool on = false;
    for (const sim::Si5351Model::Change &c : sim::Chip().timeline()) {
        if (c.on != on) {
            on = c.on;
            all.push_back({c.t_us * 1000, lines::Event::CLK1, on ? 1 : 0});
        }
    }
    return lines::Check(all);
}

void ExpectOrderKept(const lines::Margins &m) {
    for (const std::string &b : m.broken) {
        ADD_FAILURE() << b;
    }
}

bool KeepsMargin(uint64_t tone0_hz) {
    return Si5351_TonesKeepMargin(tone0_hz * 1000000, WSPR_TONE_SPACING_UHZ, WSPR_TONE_COUNT);
}

std::string ShowTail() {
    const std::string show = Command("show");
    const size_t from = show.find("Bands: ");
    return show.substr(from, show.find("Auto: ") - from);
}

// The moment the amplifier last went on / off (ns), from the pins.
uint64_t LastAmp(int level) {
    for (auto e = g_pins.rbegin(); e != g_pins.rend(); ++e) {
        if (e->kind == lines::Event::AMP && e->value == level) {
            return e->t_ns;
        }
    }
    return UINT64_MAX;
}

} // namespace

// Good lists are taken whole and shown; any bad entry, code or number is refused with a reply that
// names it, and changes nothing. "+" adds entries up to twelve; set freq is a list of one again.
TEST(BandList, TakenWholeOrRefusedWhole) {
    OnFreshBoard([] {
        scenario::Boot();
        EXPECT_EQ(Command("set bands 40m:1 30M:2 20m:3 14097070:3"),
                  "set bands 40m:1 30M:2 20m:3 14097070:3\r\nok\r\nwspr> ");
        const std::string good = "Bands: 40m:1 30m:2 20m:3 14097070:3\r\n"
                                 "Hop: order, TX share: 100%, offset: +-0 Hz\r\n";
        EXPECT_EQ(ShowTail(), good);
        const std::vector<std::pair<std::string, std::string>> refused = {
            {"set bands 40m:1 25m 20m", "error: 25M: not a band or 2500000..150000000 Hz\r\n"},
            {"set bands 40m:8", "error: 40M:8: code must be 0..7\r\n"},
            {"set bands 40m:", "error: 40M:: code must be 0..7\r\n"},
            {"set bands 40m:1:2", "error: 40M:1:2: code must be 0..7\r\n"},
            {"set bands 2499999", "error: 2499999: not a band or 2500000..150000000 Hz\r\n"},
            {"set bands 150000001:1",
             "error: 150000001:1: not a band or 2500000..150000000 Hz\r\n"},
            {"set bands 160m", "error: 160M: not a band or 2500000..150000000 Hz\r\n"},
            {"set bands 7040100x", "error: 7040100X: not a band or 2500000..150000000 Hz\r\n"},
            {"set bands 20m 149990000:2", "error: 149990000:2: too close to 150 MHz, the Si5351 "
                                          "would run at its limits\r\n"},
            {"set bands ", "error: bands takes 1 to 12 entries\r\n"},
            {"set bands +", "error: bands takes 1 to 12 entries\r\n"},
            {"set hop random", "error: use set hop order|coordinated\r\n"},
            {"set txpct 101", "error: txpct must be 0..100\r\n"},
            {"set txpct 20%", "error: txpct must be 0..100\r\n"},
            {"set offset 101", "error: offset must be 0..100 Hz\r\n"},
            {"set offset -5", "error: offset must be 0..100 Hz\r\n"},
        };
        for (const auto &[line, reply] : refused) {
            EXPECT_EQ(Command(line), line + "\r\n" + reply + "wspr> ");
        }
        EXPECT_EQ(ShowTail(), good);

        EXPECT_EQ(Command("set bands + 2m:7 6m 4m 10m:4 12m 15m"),
                  "set bands + 2m:7 6m 4m 10m:4 12m 15m\r\nok\r\nwspr> ");
        EXPECT_EQ(Command("set bands + 17m:6 80m 60m"), "set bands + 17m:6 80m 60m\r\nerror: "
                                                        "bands takes 1 to 12 entries\r\nwspr> ");
        EXPECT_EQ(Command("set bands + 17m:6 80m"), "set bands + 17m:6 80m\r\nok\r\nwspr> ");
        EXPECT_EQ(Command("set hop coordinated"), "set hop coordinated\r\nok\r\nwspr> ");
        EXPECT_EQ(Command("set txpct 20"), "set txpct 20\r\nok\r\nwspr> ");
        EXPECT_EQ(Command("set offset 100"), "set offset 100\r\nok\r\nwspr> ");
        EXPECT_EQ(ShowTail(),
                  "Bands: 40m:1 30m:2 20m:3 14097070:3 2m:7 6m:0 4m:0 10m:4 12m:0 "
                  "15m:0 17m:6 80m:0\r\nHop: coordinated, TX share: 20%, offset: +-100 Hz\r\n");
        EXPECT_EQ(Command("set freq 7040000"), "set freq 7040000\r\nok\r\nwspr> ");
        EXPECT_EQ(ShowTail(), "Bands: 7040000:0\r\nHop: coordinated, TX share: 20%, offset: "
                              "+-100 Hz\r\n");
    });
}

// An entry just below the frequencies that would take the Si5351 to its limits: each frame's
// offset moves it down rather than into them, and every frame's tones keep the margin.
TEST(BandList, OffsetsStayClearOfTheSi5351Limits) {
    OnFreshBoard([] {
        scenario::Boot();
        const uint32_t entry = 149984980;
        ASSERT_TRUE(KeepsMargin(entry) && !KeepsMargin(entry + 100));
        Command("set bands " + std::to_string(entry));
        Command("set offset 100");
        int below = 0;
        for (int frame = 0; frame < 12; ++frame) {
            const size_t from = sim::Console().size();
            Command("tx", "symbols\r\n");
            ASSERT_TRUE(RunUntilConsole("code", from, 200));
            unsigned long tone0 = 0;
            const size_t on = sim::Console().find("TX on ", from);
            ASSERT_NE(on, std::string::npos);
            ASSERT_EQ(std::sscanf(sim::Console().c_str() + on, "TX on own %lu Hz", &tone0), 1);
            EXPECT_TRUE(KeepsMargin(tone0)) << tone0;
            EXPECT_GE(tone0, entry - 100);
            below += tone0 < entry ? 1 : 0;
            Command("stop");
            sim::RunFor(100 * MS);
        }
        EXPECT_GE(below, 9); // drawn either way, nearly all end below the entry
    });
}

// A frame asked for by hand: its code on the lines, the amplifier, then CLK1 within 100 ms; after
// it CLK1 off, then the amplifier. The list is taken in order, frame after frame, each frame's
// band and code said after its start line.
TEST(Lines, FramesByHandLeadAndLagTheCarrier) {
    OnFreshBoard([] {
        BootWatched();
        Command("set bands 40m:5 20m:2");
        for (int frame = 0; frame < 3; ++frame) {
            const size_t from = sim::Console().size();
            const uint64_t typed = sim::Now();
            const std::string said = Command("tx", "symbols\r\n");
            ASSERT_TRUE(RunUntilConsole("code", from, 200));
            const std::string band = frame % 2 == 0
                                         ? "40m 7040100 Hz, offset +0 Hz, entry 1, code 5"
                                         : "20m 14097100 Hz, offset +0 Hz, entry 2, code 2";
            EXPECT_NE(sim::Console().find("symbols\r\nTX on " + band + "\r\n", from),
                      std::string::npos)
                << sim::Console().substr(from);
            EXPECT_EQ(sim::BandCode(), frame % 2 == 0 ? 5 : 2);
            EXPECT_EQ(sim::Amplifier(), 1);
            const std::vector<scenario::Tone> tones = scenario::TonesFrom(typed / 1000);
            ASSERT_FALSE(tones.empty());
            // The line "tx" ends with its CR, 3 bytes after it was typed at 115200 baud.
            EXPECT_LT(tones.front().t_us * 1000 - typed, 100 * MS + 3 * 87 * 1000);
            ASSERT_TRUE(RunUntilConsole("TX complete", from, FRAME_MS + 500));
            sim::RunFor(50 * MS);
            EXPECT_EQ(sim::Amplifier(), 0);
        }
        const lines::Margins m = Checked();
        ExpectOrderKept(m);
        EXPECT_EQ(m.carriers, 3u);
        EXPECT_EQ(m.amp_off_with_clk1_on, 0u);
        // A tx during the lead is refused as during the frame.
        const std::string twice = Command("tx\rtx", "already transmitting", 300);
        EXPECT_NE(twice.find("TX rejected: already transmitting"), std::string::npos) << twice;
    });
}

// A scheduled frame's lead comes before the minute: CLK1 on at second 0, to the millisecond.
TEST(Lines, ScheduledFrameStartsAtSecondZero) {
    OnFreshBoard([] {
        BootWatched();
        Command("set bands 30m:3");
        // The clock is set as the line's CR arrives (14 bytes at 115200 baud).
        const uint64_t typed = sim::Now();
        Command("time 12:01:59");
        const uint64_t second_zero = typed + 14 * 86806 + 1000 * MS;
        sim::RunUntil(second_zero + 200 * MS);
        const std::vector<scenario::Tone> tones = scenario::TonesFrom(0);
        ASSERT_FALSE(tones.empty());
        EXPECT_GE(tones.front().t_us * 1000 + MS, second_zero);
        EXPECT_LT(tones.front().t_us * 1000, second_zero + 3 * MS);
        EXPECT_LT(LastAmp(1), second_zero - 20 * MS);
        const lines::Margins m = Checked();
        ExpectOrderKept(m);
        EXPECT_EQ(m.carriers, 1u);
    });
}

// Every way a frame ends early keeps the order; a failed CLK1 off takes the amplifier off at once.
TEST(Lines, EarlyEndsKeepTheOrder) {
    struct Case {
        const char *name;
        std::function<void()> end;
        bool clk1_left_on;
    };
    const std::vector<Case> cases = {
        {"stop", [] { Command("stop"); }, false},
        {"stop during the lead", [] {}, false},
        {"tone change fails",
         [] {
             vmcu::i2c_fail(vmcu::i2c_operations(), HAL_ERROR, false);
             sim::RunFor(2 * sim::SECOND);
         },
         false},
        {"CLK1 off fails",
         [] {
             vmcu::i2c_fail(vmcu::i2c_operations(), HAL_TIMEOUT, true);
             Command("stop");
         },
         true},
        {"main loop stalls",
         [] {
             sim::BoardMcu().HangAt(sim::Now());
             sim::RunFor(3 * sim::SECOND);
         },
         false},
        {"hard fault",
         [] {
             sim::BoardMcu().Schedule(sim::Now(), [](uint64_t) { sim::BoardMcu().HardFault(); });
             sim::RunFor(3 * sim::SECOND);
         },
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        OnFreshBoard([&c] {
            BootWatched();
            Command("set bands 17m:6");
            if (std::string(c.name) == "stop during the lead") {
                Command("tx\rstop", "TX complete");
                sim::RunFor(100 * MS);
                EXPECT_EQ(sim::Amplifier(), 0);
                EXPECT_FALSE(sim::Chip().clk1_on());
            } else {
                Command("tx", "code 6");
                sim::RunFor(3 * sim::SECOND);
                ASSERT_TRUE(sim::Chip().clk1_on());
                const uint64_t before = sim::Now();
                c.end();
                sim::RunFor(100 * MS);
                EXPECT_EQ(sim::Amplifier(), 0);
                EXPECT_EQ(sim::Chip().clk1_on(), c.clk1_left_on);
                if (c.clk1_left_on) {
                    // Off as soon as the first attempt to switch CLK1 off has failed.
                    uint64_t failed_at = UINT64_MAX;
                    for (const vmcu::I2cTransfer &x : vmcu::i2c_log()) {
                        if (x.start_ns >= before && x.status != HAL_OK) {
                            failed_at = x.end_ns;
                            break;
                        }
                    }
                    EXPECT_GE(LastAmp(0), failed_at);
                    EXPECT_LT(LastAmp(0) - failed_at, MS);
                }
            }
            const lines::Margins m = Checked();
            ExpectOrderKept(m);
            EXPECT_EQ(m.amp_off_with_clk1_on, c.clk1_left_on ? 1u : 0u);
        });
    }
}

// A reset in the middle of a frame: the amplifier line is low from the reset on (the pull-down,
// then the start-up's first write), before the start-up touches the Si5351, and stays low.
TEST(Lines, AmplifierOffFromAnyReset) {
    OnFreshBoard([] {
        BootWatched();
        Command("set bands 20m:1");
        Command("tx", "code 1");
        sim::RunFor(2 * sim::SECOND);
        ASSERT_EQ(sim::Amplifier(), 1);
        const uint64_t reset_at = sim::Now();
        sim::Reset(vmcu::ResetCause::WATCHDOG);
        EXPECT_EQ(sim::Amplifier(), 0);
        sim::RunFor(1);
        EXPECT_EQ(sim::Amplifier(), 0);
        RunUntilConsole("wspr> ", 0, 500);
        EXPECT_EQ(LastAmp(0), reset_at);
        EXPECT_LT(LastAmp(1), reset_at);
        // The start-up drives the line (low) itself.
        EXPECT_EQ(vmcu::gpio_config(GPIOB, 15).mode, GPIO_MODE_OUTPUT_PP);
        EXPECT_EQ(sim::BoardMcu().PinOutput({'B', 15}), 0);
        EXPECT_FALSE(sim::Chip().clk1_on());
        EXPECT_EQ(Checked().amp_off_with_clk1_on, 1u);
    });
}
