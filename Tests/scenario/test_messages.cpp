// The messages on the air: compound callsigns and 6-character locators, the frames in turn, the
// frame start line naming each one, the locator from GNSS positions, and the settings kept.
#include <cstring>
#include <string>
#include <vector>

#include "app_config.h"
#include "scenario.h"
#include "tones.h"
#include "wspr_encoder.h"

using scenario::Boot;
using scenario::Command;
using scenario::OnFreshBoard;
using scenario::RunUntilConsole;

namespace {

constexpr uint64_t SYMBOL_NS = WSPR_SYMBOL_PERIOD_US * 1000;

// "tx", and the frame through to its end; the frame start line.
std::string SendFrame() {
    const size_t from = sim::Console().size();
    Command("tx", "symbols\r\n");
    const std::string start = sim::Console().substr(from);
    EXPECT_TRUE(RunUntilConsole("TX complete, CLK1 disabled", from, 112000));
    const size_t at = start.find("TX start ");
    return at == std::string::npos ? "" : start.substr(at, start.find("\r\n", at) - at);
}

// Each of the frame's symbols, in the middle of its slot, on the tone of the message's symbol.
void ExpectOnTheAir(uint64_t start_ns, const WsprMessage &message) {
    uint8_t symbols[WSPR_SYMBOL_COUNT];
    ASSERT_TRUE(WSPR_EncodeMessage(&message, symbols));
    for (unsigned k = 0; k < WSPR_SYMBOL_COUNT; ++k) {
        const uint64_t t_us = (start_ns + k * SYMBOL_NS + SYMBOL_NS / 2) / 1000;
        ASSERT_TRUE(tones::Matches(scenario::EmittedAt(t_us), WSPR_DEFAULT_FREQ_HZ, symbols[k]))
            << message.call << " symbol " << k;
    }
}

WsprMessage Msg(WsprMsgType type, const char *call, const char *locator) {
    WsprMessage m = {};
    m.type = type;
    std::strcpy(m.call, call);
    std::strcpy(m.locator, locator);
    m.power_dbm = WSPR_DEFAULT_POWER_DBM;
    return m;
}

// Sends frames and checks each one's start line and its symbols on the air.
void ExpectFrames(const std::vector<WsprMessage> &messages) {
    for (const WsprMessage &m : messages) {
        char text[48];
        WSPR_FormatMessage(&m, text, sizeof text);
        const uint64_t start_ns = sim::Now();
        EXPECT_EQ(SendFrame(), std::string("TX start ") + text + ", 162 symbols");
        // CLK1 came on in the pass that took the command: within a millisecond of start_ns.
        const std::vector<scenario::Tone> on = scenario::TonesFrom(start_ns / 1000);
        ASSERT_FALSE(on.empty());
        ExpectOnTheAir(on.front().t_us * 1000, m);
    }
}

TEST(Messages, CompoundCallsignAndSixCharacterLocatorAlternate) {
    OnFreshBoard([] {
        Boot();
        EXPECT_EQ(Command("set call pj4/qz5rtv"), "set call pj4/qz5rtv\r\nok, but no locator is "
                                                  "sent: a compound callsign needs 6 chars\r\n"
                                                  "wspr> ");
        EXPECT_EQ(Command("set grid om85ab"), "set grid om85ab\r\nok\r\nwspr> ");
        const WsprMessage type2 = Msg(WSPR_MSG_TYPE2, "PJ4/QZ5RTV", "");
        const WsprMessage type3 = Msg(WSPR_MSG_TYPE3, "PJ4/QZ5RTV", "OM85AB");
        ExpectFrames({type2, type3, type2, type3});
        // A change of locator starts the turn again, with the type 2 frame.
        Command("set grid OM85AC");
        ExpectFrames({type2, Msg(WSPR_MSG_TYPE3, "PJ4/QZ5RTV", "OM85AC")});
    });
}

TEST(Messages, PlainCallsignSendsTypeOneThenTypeThree) {
    OnFreshBoard([] {
        Boot();
        Command("set grid OM85AB");
        const WsprMessage type1 = Msg(WSPR_MSG_TYPE1, "QZ5RTV", "OM85");
        ExpectFrames({type1, Msg(WSPR_MSG_TYPE3, "QZ5RTV", "OM85AB"), type1});
        // Back to 4 characters: type 1 only; a suffix with them: type 2 only.
        Command("set grid OM85");
        ExpectFrames({type1, type1});
        EXPECT_EQ(Command("set call QZ5RTV/7"),
                  "set call QZ5RTV/7\r\nok, but no locator is sent: a compound callsign needs 6 "
                  "chars\r\nwspr> ");
        const WsprMessage type2 = Msg(WSPR_MSG_TYPE2, "QZ5RTV/7", "");
        ExpectFrames({type2, type2});
        const std::string show = Command("show");
        EXPECT_NE(show.find("Message: QZ5RTV/7 OM85 10dBm\r\nLocator: OM85 (fixed)\r\n"
                            "Frames: QZ5RTV/7 10dBm (no locator: a compound callsign needs a "
                            "6-char locator)\r\n"),
                  std::string::npos)
            << show;
    });
}

// Every refusal says why and changes nothing.
TEST(Messages, RefusalsSayWhyAndChangeNothing) {
    OnFreshBoard([] {
        Boot();
        Command("set call PJ4/QZ5RTV");
        Command("set grid OM85AB");
        const WSPR_Settings before = sim::Status().settings;
        struct Case {
            const char *line, *reply;
        };
        for (const Case &c : {
                 Case{"set call ABCD/QZ5RTV", "error: prefix must be 1 to 3 letters or digits"},
                 Case{"set call /QZ5RTV", "error: prefix must be 1 to 3 letters or digits"},
                 Case{"set call P.4/QZ5RTV", "error: prefix must be 1 to 3 letters or digits"},
                 Case{"set call QZ5RTV/", "error: suffix must be 1 letter or digit, or 2 digits "
                                          "10..99"},
                 Case{"set call QZ5RTV/PP", "error: suffix must be 1 letter or digit, or 2 "
                                            "digits 10..99"},
                 Case{"set call QZ5RTV/05", "error: suffix must be 1 letter or digit, or 2 "
                                            "digits 10..99"},
                 Case{"set call QZ5RTV/123", "error: prefix must be 1 to 3 letters or digits"},
                 Case{"set call PJ4/QZ5RTV/P", "error: one prefix or one suffix only"},
                 Case{"set call PJ4/QZ5RTVX", "error: callsign too long"},
                 Case{"set call PJ4/ABCDEF", "error: invalid callsign"},
                 Case{"set call PJ4/ABC", "error: invalid callsign"},
                 Case{"set call Q5RTVX/P", "error: invalid callsign"},
                 Case{"set grid OM85A", "error: locator must be 4 or 6 chars"},
                 Case{"set grid OM85ABC", "error: locator must be 4 or 6 chars"},
                 Case{"set grid OM85AY", "error: subsquare letters must be A..X"},
                 Case{"set grid OM85YA", "error: subsquare letters must be A..X"},
                 Case{"set grid OM85A1", "error: subsquare letters must be A..X"},
                 Case{"set grid SM85AB", "error: invalid locator"},
                 Case{"set grid GNSS1", "error: locator must be 4 or 6 chars"},
             }) {
            EXPECT_EQ(Command(c.line), std::string(c.line) + "\r\n" + c.reply + "\r\nwspr> ");
            const WSPR_Settings after = sim::Status().settings;
            EXPECT_EQ(std::memcmp(&after, &before, sizeof before), 0) << c.line;
        }
    });
}

std::string Rmc(const std::string &time, const std::string &position) {
    const std::string body = "GPRMC," + time + ",A," + position + ",0.0,0.0,010125,,,A";
    unsigned sum = 0;
    for (unsigned char c : body) {
        sum ^= c;
    }
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + body + tail;
}

void Gnss(const std::string &time, const std::string &position) {
    const size_t from = sim::Console().size();
    sim::GnssAt(sim::Now(), Rmc(time, position));
    EXPECT_TRUE(RunUntilConsole("TIME set", from, 500));
    scenario::RunUntilQuiet(100);
}

std::string Locator() {
    const WSPR_Settings &s = sim::Status().settings;
    return std::string(s.locator) + s.subsquare + (s.locator_gnss ? " (GNSS)" : "");
}

TEST(Messages, LocatorFollowsGnssBetweenFramesOnly) {
    OnFreshBoard([] {
        Boot();
        Command("set grid OM85");
        Command("auto off");
        // Until the first position, the locator it had.
        EXPECT_EQ(Command("set grid gnss"), "set grid gnss\r\nok\r\nwspr> ");
        EXPECT_EQ(Locator(), "OM85 (GNSS)");
        EXPECT_NE(Command("show").find("Locator: OM85 (GNSS)\r\n"), std::string::npos);
        Gnss("120000.00", "4807.038,N,01131.000,E");
        EXPECT_EQ(Locator(), "JN58SC (GNSS)");
        const std::string show = Command("show");
        EXPECT_NE(show.find("Message: QZ5RTV JN58SC 10dBm\r\nLocator: JN58SC (GNSS)\r\n"
                            "Frames: QZ5RTV JN58 10dBm, then <QZ5RTV> JN58SC 10dBm\r\n"),
                  std::string::npos)
            << show;
        // A bad position changes nothing.
        Gnss("120001.00", "4860.000,N,01131.000,E");
        EXPECT_EQ(Locator(), "JN58SC (GNSS)");
        // Not during a frame: the frame's messages keep their locator, the next position after
        // the frame is taken.
        const size_t from = sim::Console().size();
        Command("tx", "symbols\r\n");
        EXPECT_NE(sim::Console().find("TX start QZ5RTV JN58 10dBm", from), std::string::npos);
        Gnss("120002.00", "3352.128,S,15112.558,E");
        EXPECT_EQ(Locator(), "JN58SC (GNSS)");
        EXPECT_TRUE(RunUntilConsole("TX complete, CLK1 disabled", from, 112000));
        Gnss("120200.00", "3352.128,S,15112.558,E");
        EXPECT_EQ(Locator(), "QF56OD (GNSS)");
        // The turn goes on: the position moved the locator, the operator did not change it.
        EXPECT_EQ(SendFrame(), "TX start <QZ5RTV> QF56OD 10dBm, 162 symbols");
        // A fixed locator again: positions are ignored.
        EXPECT_EQ(Command("set grid OM85"), "set grid OM85\r\nok\r\nwspr> ");
        Gnss("120400.00", "4807.038,N,01131.000,E");
        EXPECT_EQ(Locator(), "OM85");
    });
}

TEST(Messages, SaveKeepsThemAndTheBannerShowsThem) {
    OnFreshBoard([] {
        Boot();
        Command("set call PJ4/QZ5RTV");
        Command("set grid OM85AB");
        Command("set grid gnss");
        EXPECT_EQ(Command("save"), "save\r\nok\r\nwspr> ");
        const size_t from = sim::Console().size();
        sim::Reset(vmcu::ResetCause::POWER_ON);
        EXPECT_TRUE(RunUntilConsole("wspr> ", from, 2000));
        EXPECT_NE(sim::Console().find("Settings: saved\r\nCall=PJ4/QZ5RTV Locator=OM85AB (GNSS) "
                                      "Power=10dBm\r\n",
                                      from),
                  std::string::npos)
            << sim::Console().substr(from);
        EXPECT_EQ(Locator(), "OM85AB (GNSS)");
        EXPECT_STREQ(sim::Status().settings.call_prefix, "PJ4");
        EXPECT_EQ(SendFrame(), "TX start PJ4/QZ5RTV 10dBm, 162 symbols");
    });
}

} // namespace
