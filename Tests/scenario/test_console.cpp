// The operator console, byte for byte: start-up text, line editing, every command and reply.
#include <string>
#include <vector>

#include "console_text.h"
#include "scenario.h"

using scenario::Boot;
using scenario::Command;
using scenario::OnFreshBoard;

namespace {

const std::string k_help = k_console_help;

// The status report; auto_time is "ON, Time: invalid" or "OFF, Time: valid 14:00:01 UTC".
std::string Show(const std::string &state, const std::string &message, const std::string &rf,
                 const std::string &auto_time, uint32_t xtal = SI5351_XTAL_HZ) {
    const bool on = auto_time.starts_with("ON");
    const std::string head =
        ShowHead(state, message, static_cast<uint32_t>(std::stoul(rf)), xtal, on);
    return head + auto_time.substr(auto_time.find("Time: ") + 6) + "\r\n\r\n";
}

// What the console shows for a command: its echo, the line end, the reply and the prompt.
std::string Reply(const std::string &typed, const std::string &reply) {
    return typed + "\r\n" + reply + "wspr> ";
}

} // namespace

TEST(Console, StartupTextIsExact) {
    OnFreshBoard([] {
        Boot();
        EXPECT_EQ(sim::Console(), scenario::k_banner);
    });
}

TEST(Console, StartupWithoutChipReportsStatusAndKeepsConsole) {
    OnFreshBoard([] {
        Boot({.si5351_present = false});
        std::string expected = scenario::k_banner;
        expected.replace(expected.find("status: 0"), 9, "status: 1");
        EXPECT_EQ(sim::Console(), expected);
        EXPECT_EQ(Command("tx"), Reply("tx", "TX rejected: app error\r\n"));
        EXPECT_EQ(Command("show"), Reply("show", Show("ERROR", "QZ5RTV OM85 10dBm", "14097070",
                                                      "ON, Time: invalid")));
    });
}

TEST(Console, HelpInAnyCaseAndUnknownWithBlanks) {
    OnFreshBoard([] {
        Boot();
        for (const char *typed : {"help", "HELP", "Help", "?"}) {
            EXPECT_EQ(Command(typed), Reply(typed, k_help)) << typed;
        }
        for (const char *typed : {" help", "help ", "set call", "hello", "auto", "set", "tx now"}) {
            EXPECT_EQ(Command(typed), Reply(typed, "error: unknown command, type help\r\n"))
                << typed;
        }
    });
}

TEST(Console, ShowReflectsSettingsAndTime) {
    OnFreshBoard([] {
        Boot();
        EXPECT_EQ(Command("show"), Reply("show", Show("IDLE", "QZ5RTV OM85 10dBm", "14097070",
                                                      "ON, Time: invalid")));
        Command("auto off");
        Command("time 13:59:58");
        sim::RunFor(3000 * sim::MS);
        EXPECT_EQ(Command("show"), Reply("show", Show("IDLE", "QZ5RTV OM85 10dBm", "14097070",
                                                      "OFF, Time: valid 14:00:01 UTC")));
    });
}

struct SetterCase {
    const char *typed;
    const char *reply;
    const char *message_after; // what show prints as the message, then the RF line
    const char *rf_after;
};

// Each setter's replies, and that a refusal leaves everything as it was.
TEST(Console, SettersAcceptAndRefuse) {
    const std::vector<SetterCase> cases = {
        {"set call qz7abc", "ok\r\n", "QZ7ABC OM85 10dBm", "14097070"},
        {"set call abc", "error: invalid callsign\r\n", "QZ7ABC OM85 10dBm", "14097070"},
        {"set call ab", "error: invalid callsign\r\n", "QZ7ABC OM85 10dBm", "14097070"},
        {"set call ab1cdef", "error: callsign too long\r\n", "QZ7ABC OM85 10dBm", "14097070"},
        {"set call ", "error: invalid callsign\r\n", "QZ7ABC OM85 10dBm", "14097070"},
        {"set call q5rtv", "ok\r\n", "Q5RTV OM85 10dBm", "14097070"},
        // The encoder cannot pack these; accepting them would stop every later frame.
        {"set call ABCDE1", "error: invalid callsign\r\n", "Q5RTV OM85 10dBm", "14097070"},
        {"set call Q5RTVX", "error: invalid callsign\r\n", "Q5RTV OM85 10dBm", "14097070"},
        {"set call QZ5R-V", "error: invalid callsign\r\n", "Q5RTV OM85 10dBm", "14097070"},
        {"set grid jo62", "ok\r\n", "Q5RTV JO62 10dBm", "14097070"},
        {"set loc OM85", "ok\r\n", "Q5RTV OM85 10dBm", "14097070"},
        {"set grid SS85", "error: invalid locator\r\n", "Q5RTV OM85 10dBm", "14097070"},
        {"set grid OM8X", "error: invalid locator\r\n", "Q5RTV OM85 10dBm", "14097070"},
        {"set grid OM85AB", "error: locator must be 4 chars\r\n", "Q5RTV OM85 10dBm", "14097070"},
        {"set grid OM8", "error: locator must be 4 chars\r\n", "Q5RTV OM85 10dBm", "14097070"},
        {"set power 60", "ok\r\n", "Q5RTV OM85 60dBm", "14097070"},
        {"set power 7 dBm", "ok\r\n", "Q5RTV OM85 7dBm", "14097070"},
        {"set power 61", "error: power must be 0..60 dBm\r\n", "Q5RTV OM85 7dBm", "14097070"},
        {"set power x", "error: power must be 0..60 dBm\r\n", "Q5RTV OM85 7dBm", "14097070"},
        {"set power 11", "error: power must end in 0, 3 or 7 dBm\r\n", "Q5RTV OM85 7dBm",
         "14097070"},
        {"set power 58", "error: power must end in 0, 3 or 7 dBm\r\n", "Q5RTV OM85 7dBm",
         "14097070"},
        {"set power  0", "ok\r\n", "Q5RTV OM85 0dBm", "14097070"},
        {"set power 33", "ok\r\n", "Q5RTV OM85 33dBm", "14097070"},
        {"set freq 2500000", "ok\r\n", "Q5RTV OM85 33dBm", "2500000"},
        {"set freq 150000000",
         "error: freq too close to 150 MHz, the Si5351 would run at its limits\r\n",
         "Q5RTV OM85 33dBm", "2500000"},
        {"set freq 149984995", "ok\r\n", "Q5RTV OM85 33dBm", "149984995"},
        {"set freq 2499999", "error: freq must be 2500000..150000000 Hz\r\n", "Q5RTV OM85 33dBm",
         "149984995"},
        {"set freq 150000001", "error: freq must be 2500000..150000000 Hz\r\n", "Q5RTV OM85 33dBm",
         "149984995"},
        {"set freq 7040100Hz", "ok\r\n", "Q5RTV OM85 33dBm", "7040100"},
        {"set freq abc", "error: freq must be 2500000..150000000 Hz\r\n", "Q5RTV OM85 33dBm",
         "7040100"},
    };
    OnFreshBoard([&cases] {
        Boot();
        for (const SetterCase &c : cases) {
            EXPECT_EQ(Command(c.typed), Reply(c.typed, c.reply)) << c.typed;
            EXPECT_EQ(Command("show"),
                      Reply("show", Show("IDLE", c.message_after, c.rf_after, "ON, Time: invalid")))
                << "after " << c.typed;
        }
    });
}

// The crystal the planning assumes: 24..28 MHz, read as the other setters read numbers; shown by
// "show" and used from the next tone on.
TEST(Console, SetXtalAcceptsTheCrystalRange) {
    OnFreshBoard([] {
        Boot();
        const std::string refused = "error: xtal must be 24000000..28000000 Hz\r\n";
        for (const char *typed : {"set xtal 23999999", "set xtal 28000001", "set xtal -25000000",
                                  "set xtal abc", "set xtal ", "set xtal 4319967296"}) {
            EXPECT_EQ(Command(typed), Reply(typed, refused)) << typed;
        }
        EXPECT_EQ(Command("show"), Reply("show", Show("IDLE", "QZ5RTV OM85 10dBm", "14097070",
                                                      "ON, Time: invalid")));
        for (const char *typed : {"set xtal 24000000", "SET XTAL 27000000 Hz", "set xtal 28000000",
                                  "set xtal  25000123"}) {
            EXPECT_EQ(Command(typed), Reply(typed, "ok\r\n")) << typed;
        }
        EXPECT_EQ(Command("show"), Reply("show", Show("IDLE", "QZ5RTV OM85 10dBm", "14097070",
                                                      "ON, Time: invalid", 25000123)));
    });
}

// Numbers never wrap: a minus sign or a number beyond 32 bits is out of range, not folded back
// into range (-4292467296 would otherwise read as 2500000, -4294967284 as 12).
TEST(Console, NumbersOutOfRangeNeverWrap) {
    struct Case {
        const char *typed;
        const char *reply;
    };
    const std::vector<Case> cases = {
        {"set freq -4292467296", "error: freq must be 2500000..150000000 Hz\r\n"},
        {"set freq 4297467296", "error: freq must be 2500000..150000000 Hz\r\n"},
        {"set freq 99999999999999999999999", "error: freq must be 2500000..150000000 Hz\r\n"},
        {"set freq -14097070", "error: freq must be 2500000..150000000 Hz\r\n"},
        {"set power -10", "error: power must be 0..60 dBm\r\n"},
        {"set power 4294967306", "error: power must be 0..60 dBm\r\n"},
        {"set power 18446744073709551626", "error: power must be 0..60 dBm\r\n"},
        {"time -4294967284:00:00", "TIME rejected\r\n"},
        {"time 12:-4294967236:00", "TIME rejected\r\n"},
        {"time 4294967308:00:00", "TIME rejected\r\n"},
        {"time 256:00:00", "TIME rejected\r\n"},
        {"time 24:00:00", "TIME rejected\r\n"},
        {"time 12:60:00", "TIME rejected\r\n"},
        {"time 12:00:60", "TIME rejected\r\n"},
        {"time 12-34-56", "error: use time HH:MM:SS\r\n"},
        {"time 12:34", "error: use time HH:MM:SS\r\n"},
        {"time 12 :34:56", "error: use time HH:MM:SS\r\n"},
        {"time -:00:00", "error: use time HH:MM:SS\r\n"},
        {"time ", "error: use time HH:MM:SS\r\n"},
    };
    OnFreshBoard([&cases] {
        Boot();
        for (const Case &c : cases) {
            EXPECT_EQ(Command(c.typed), Reply(c.typed, c.reply)) << c.typed;
        }
        EXPECT_EQ(Command("show"), Reply("show", Show("IDLE", "QZ5RTV OM85 10dBm", "14097070",
                                                      "ON, Time: invalid")));
    });
}

TEST(Console, TimeSyntaxAsScanfWouldReadIt) {
    OnFreshBoard([] {
        Boot();
        Command("auto off");
        EXPECT_EQ(Command("time 7:5:0"), Reply("time 7:5:0", "TIME set 07:05:00 UTC from PC\r\n"));
        EXPECT_EQ(Command("time  12: 34:\t56 and more"),
                  Reply("time  12: 34:\t56 and more", "TIME set 12:34:56 UTC from PC\r\n"));
        EXPECT_EQ(Command("time +1:02:03"),
                  Reply("time +1:02:03", "TIME set 01:02:03 UTC from PC\r\n"));
        EXPECT_EQ(
            Command("time 00023:0059:000000000000000000059"),
            Reply("time 00023:0059:000000000000000000059", "TIME set 23:59:59 UTC from PC\r\n"));
    });
}

TEST(Console, AutoOnOff) {
    OnFreshBoard([] {
        Boot();
        for (const char *typed : {"auto off", "auto 1", "AUTO 0", "Auto On"}) {
            EXPECT_EQ(Command(typed), Reply(typed, "ok\r\n")) << typed;
        }
        EXPECT_EQ(Command("auto"), Reply("auto", "error: unknown command, type help\r\n"));
    });
}

TEST(Console, LineEditingEchoBackspaceAndLength) {
    OnFreshBoard([] {
        Boot();
        sim::ClearConsole();
        // 45 characters: only 39 are kept and echoed; backspace then removes the 39th.
        std::string typed(45, 'A');
        sim::Type(typed + "\b\r");
        sim::RunFor(50 * sim::MS);
        EXPECT_EQ(sim::Console(),
                  std::string(39, 'A') + "\b \b\r\nerror: unknown command, type help\r\nwspr> ");

        // Backspace and delete on an empty line echo nothing; editing works mid-line.
        sim::ClearConsole();
        sim::Type("\b\x7fhelx\x7fp\r");
        sim::RunFor(100 * sim::MS);
        EXPECT_EQ(sim::Console(), "helx\b \bp\r\n" + k_help + "wspr> ");

        // An empty line gives a line end and a prompt, nothing else.
        sim::ClearConsole();
        sim::Type("\r");
        sim::RunFor(10 * sim::MS);
        EXPECT_EQ(sim::Console(), "\r\nwspr> ");
    });
}

// CR LF read in one pass gives one prompt; read in two passes, two.
TEST(Console, CrLfGivesOnePromptWhenReadTogether) {
    OnFreshBoard([] {
        Boot();
        sim::ClearConsole();
        sim::Type("show\r\n"); // LF arrives while the reply is being written
        sim::RunFor(100 * sim::MS);
        std::string out = sim::Console();
        EXPECT_EQ(out, "show\r\n" +
                           Show("IDLE", "QZ5RTV OM85 10dBm", "14097070", "ON, Time: invalid") +
                           "\r\nwspr> ");

        sim::ClearConsole();
        sim::Type("\n");
        sim::RunFor(10 * sim::MS);
        sim::Type("x\r");
        sim::RunFor(10 * sim::MS);
        sim::Type("\n");
        sim::RunFor(10 * sim::MS);
        EXPECT_EQ(sim::Console(),
                  "\r\nwspr> x\r\nerror: unknown command, type help\r\nwspr> \r\nwspr> ");
    });
}
