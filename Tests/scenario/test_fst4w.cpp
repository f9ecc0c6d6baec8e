// FST4W frames on the Si5351 model: the mode on the console, frames 1.0 s into each period from
// 00:00 UTC, the 160 symbols on tone 0 + k x baud with every boundary where the beacon's clock
// puts it (no drift over 30 minutes), the message types in turn, the R divider on 2200 m.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "console_text.h"
#include "fst4w_encoder.h"
#include "scenario.h"
#include "tx_mode.h"

using scenario::Boot;
using scenario::Command;
using scenario::OnFreshBoard;
using scenario::RunUntilConsole;
using scenario::TickOf;

namespace {

// The CLK1 changes from t_ns on, up to and including the first switch-off.
std::vector<sim::Si5351Model::Change> FrameFrom(uint64_t t_ns) {
    std::vector<sim::Si5351Model::Change> frame;
    for (const sim::Si5351Model::Change &c : sim::Chip().timeline()) {
        if (c.t_us * 1000 < t_ns) {
            continue;
        }
        frame.push_back(c);
        if (!c.on) {
            break;
        }
    }
    return frame;
}

std::vector<uint8_t> Symbols(WsprMsgType type, const char *call, const char *loc, uint8_t dbm) {
    WsprMessage m{};
    m.type = type;
    std::snprintf(m.call, sizeof m.call, "%s", call);
    std::snprintf(m.locator, sizeof m.locator, "%s", loc);
    m.power_dbm = dbm;
    std::vector<uint8_t> s(FST4W_SYMBOL_COUNT);
    EXPECT_TRUE(FST4W_EncodeMessage(&m, s.data()));
    return s;
}

bool Near(uint64_t emitted, uint64_t wanted) {
    return emitted + 1000 >= wanted && emitted <= wanted + 1000; // 1 mHz
}

// A frame that came on at changes.front(): symbol i from ms tick start + ceil(i x symbol), on
// tone 0 + symbol x spacing, every change one tone to the next with no state between, off at the
// end of symbol 159.
void ExpectFrame(const std::vector<sim::Si5351Model::Change> &changes, uint8_t mode,
                 uint64_t base_hz, const std::vector<uint8_t> &symbols) {
    const TxModeInfo &info = TxMode_Info(mode);
    ASSERT_GE(changes.size(), 2u);
    ASSERT_TRUE(changes.front().on);
    const uint64_t start_ms = TickOf(changes.front().t_us * 1000) - 1;
    auto due_ms = [&](uint64_t i) {
        return start_ms + (TxMode_SymbolStartUs(info, static_cast<uint32_t>(i)) + 999) / 1000;
    };
    size_t next = 1;
    EXPECT_TRUE(Near(changes[0].freq_uhz, base_hz * 1000000 + symbols[0] * info.spacing_uhz));
    for (size_t i = 1; i < FST4W_SYMBOL_COUNT; ++i) {
        if (symbols[i] == symbols[i - 1]) {
            continue;
        }
        ASSERT_LT(next, changes.size()) << "symbol " << i;
        const sim::Si5351Model::Change &c = changes[next++];
        EXPECT_TRUE(c.on && !c.phase_break) << "symbol " << i;
        EXPECT_EQ(TickOf(c.t_us * 1000) - 1, due_ms(i)) << "symbol " << i;
        EXPECT_TRUE(Near(c.freq_uhz, base_hz * 1000000 + symbols[i] * info.spacing_uhz))
            << "symbol " << i << ": " << c.freq_uhz;
    }
    ASSERT_EQ(next + 1, changes.size()) << "CLK1 changed where no symbol did";
    EXPECT_FALSE(changes.back().on);
    EXPECT_EQ(TickOf(changes.back().t_us * 1000) - 1, due_ms(FST4W_SYMBOL_COUNT));
}

} // namespace

TEST(Fst4w, ModeOnTheConsole) {
    OnFreshBoard([] {
        Boot();
        EXPECT_NE(Command("show").find("Mode: wspr, period 120 s\r\n"), std::string::npos);
        for (const char *name : {"fst4w-120", "FST4W-300", "fst4w-900", "Fst4w-1800", "wspr"}) {
            EXPECT_EQ(Command(std::string("set mode ") + name),
                      std::string("set mode ") + name + "\r\nok\r\nwspr> ");
        }
        const std::string refused =
            "error: mode must be wspr, fst4w-120, fst4w-300, fst4w-900 or fst4w-1800\r\n";
        for (const char *bad : {"fst4w", "fst4w-60", "jt65", "", "wspr "}) {
            EXPECT_EQ(Command(std::string("set mode ") + bad),
                      std::string("set mode ") + bad + "\r\n" + refused + "wspr> ");
        }
        EXPECT_EQ(sim::Status().settings.mode, TX_MODE_WSPR);
        Command("set mode fst4w-300");
        const std::string show = Command("show");
        EXPECT_NE(show.find("Mode: fst4w-300, period 300 s\r\nRF: 14097070 Hz, tone spacing "
                            "558036 uHz\r\n"),
                  std::string::npos)
            << show;
        EXPECT_NE(Command("help").find("set mode MODE"), std::string::npos);
    });
}

// FST4W-1800 on its schedule: the frame 1.0 s after 01:00:00 and after 01:30:00 UTC on the beacon's
// clock, each boundary in its millisecond over the 1792 s of the frame.
TEST(Fst4w, FramesOneSecondIntoEachPeriodWithoutDrift) {
    OnFreshBoard([] {
        Boot();
        Command("set mode fst4w-1800");
        Command("set freq 475700");
        const uint64_t typed_ms = scenario::NowMs();
        Command("time 00:59:50", "TIME set");
        const uint64_t set_ms = scenario::NowMs();
        ASSERT_TRUE(
            RunUntilConsole("TX start fst4w-1800 QZ5RTV OM85 10dBm, 160 symbols", 0, 20000));
        const std::vector<sim::Si5351Model::Change> first = FrameFrom(0);
        ASSERT_FALSE(first.empty());
        const uint64_t on_ms = first.front().t_us / 1000;
        // The clock was set within the line's pass: 11 s later (to 01:00:01) the frame starts.
        EXPECT_GE(on_ms, typed_ms + 11000);
        EXPECT_LE(on_ms, set_ms + 11001);
        ASSERT_TRUE(RunUntilConsole("TX complete", 0, 1800000));
        sim::RunFor(10 * sim::MS);
        const std::vector<uint8_t> symbols = Symbols(WSPR_MSG_TYPE1, "QZ5RTV", "OM85", 10);
        const std::vector<sim::Si5351Model::Change> whole = FrameFrom(0);
        ExpectFrame(whole, TX_MODE_FST4W_1800, 475700, symbols);
        // The next period, 1800 s after the first to the millisecond.
        const size_t from = sim::Console().size();
        ASSERT_TRUE(RunUntilConsole("TX start", from, 1800000));
        const std::vector<sim::Si5351Model::Change> second =
            FrameFrom(whole.back().t_us * 1000 + 1);
        ASSERT_FALSE(second.empty());
        EXPECT_EQ(second.front().t_us / 1000 - on_ms, 1800000u);
        EXPECT_EQ(sim::Chip().r1_div_log2(), 1u); // 630 m: the multisynth at 951.4 kHz
    });
}

// FST4W-120 on 2200 m with a 6-character locator: type 1 and type 3 in turn, each frame's symbols
// the encoder's, CLK1 through the R divider of 4; a change of mode takes effect at the next frame.
TEST(Fst4w, MessagesInTurnOn2200m) {
    OnFreshBoard([] {
        Boot();
        Command("set mode fst4w-120");
        Command("set freq 137500");
        Command("set grid OM85AB");
        Command("time 10:01:55", "TIME set");
        ASSERT_TRUE(RunUntilConsole("TX start fst4w-120 QZ5RTV OM85 10dBm, 160 symbols", 0, 10000));
        EXPECT_EQ(sim::Chip().r1_div_log2(), 2u);
        const uint64_t t1 = sim::Now() - 100 * sim::MS;
        ASSERT_TRUE(RunUntilConsole("TX complete", 0, 120000));
        size_t from = sim::Console().size();
        ASSERT_TRUE(
            RunUntilConsole("TX start fst4w-120 <QZ5RTV> OM85AB 10dBm, 160 symbols", from, 20000));
        const uint64_t t2 = sim::Now() - 100 * sim::MS;
        Command("set mode wspr"); // during the frame: the frame goes on in FST4W
        ASSERT_TRUE(RunUntilConsole("TX complete", from, 120000));
        sim::RunFor(10 * sim::MS);
        ExpectFrame(FrameFrom(t1), TX_MODE_FST4W_120, 137500,
                    Symbols(WSPR_MSG_TYPE1, "QZ5RTV", "OM85", 10));
        ExpectFrame(FrameFrom(t2), TX_MODE_FST4W_120, 137500,
                    Symbols(WSPR_MSG_TYPE3, "QZ5RTV", "OM85AB", 10));
        // Then WSPR again, at the even minute, with its own 162 symbols.
        from = sim::Console().size();
        ASSERT_TRUE(RunUntilConsole("TX start QZ5RTV OM85 10dBm, 162 symbols", from, 120000));
        EXPECT_EQ(sim::Status().utc_seconds % 120, 0u);
    });
}

// The share counts FST4W-300's slots: at 50 % a frame every other period (never two in a row),
// each 1.0 s into its period.
TEST(Fst4w, ShareCountsSlotsOfThePeriod) {
    OnFreshBoard([] {
        Boot();
        Command("set mode fst4w-300");
        Command("set txpct 50");
        const uint64_t set_ms = scenario::NowMs();
        Command("time 10:04:50", "TIME set");
        sim::RunFor(3000000 * sim::MS); // ten periods
        std::vector<uint64_t> starts;
        bool on = false;
        for (const sim::Si5351Model::Change &c : sim::Chip().timeline()) {
            if (c.on && !on) {
                starts.push_back(c.t_us / 1000 - set_ms);
            }
            on = c.on;
        }
        ASSERT_GE(starts.size(), 4u);
        ASSERT_LE(starts.size(), 6u);
        for (size_t i = 0; i < starts.size(); ++i) {
            // 10 s to 10:05:00, then whole periods, then 1.0 s (counted from before the line that
            // set the clock: a few milliseconds more).
            EXPECT_GE((starts[i] + 290000) % 300000, 1000u) << starts[i];
            EXPECT_LE((starts[i] + 290000) % 300000, 1010u) << starts[i];
            if (i > 0) {
                EXPECT_GE(starts[i] - starts[i - 1], 599000u);
            }
        }
    });
}

// A band name sends on the mode's own dial: 160 m's FST4W dial lies 200 Hz above WSPR's, the other
// bands share theirs; a frequency of one's own is sent as it is.
TEST(Fst4w, BandNamesSendOnTheModesDial) {
    OnFreshBoard([] {
        Boot();
        Command("set bands 160m 630m 1838150");
        const std::vector<std::pair<const char *, std::string>> frames = {
            {"fst4w-120", "TX on 160m 1838300 Hz, offset +0 Hz, entry 1, code 0"},
            {"fst4w-300", "TX on 630m 475700 Hz, offset +0 Hz, entry 2, code 0"},
            {"fst4w-120", "TX on 160m 1838150 Hz, offset +0 Hz, entry 3, code 0"},
            {"wspr", "TX on 160m 1838100 Hz, offset +0 Hz, entry 1, code 0"},
        };
        for (const auto &[mode, line] : frames) {
            Command(std::string("set mode ") + mode);
            const size_t from = sim::Console().size();
            Command("tx", "symbols\r\n");
            EXPECT_TRUE(RunUntilConsole(line, from, 200)) << sim::Console().substr(from);
            Command("stop");
            sim::RunFor(100 * sim::MS);
        }
    });
}
