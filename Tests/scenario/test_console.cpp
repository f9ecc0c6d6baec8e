// The operator console, byte for byte: start-up text, line editing, every command and reply.
#include <string>
#include <vector>

#include "console_text.h"
#include "scenario.h"
#include "settings_store.h"

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
        {"set grid OM85ABC", "error: locator must be 4 or 6 chars\r\n", "Q5RTV OM85 10dBm",
         "14097070"},
        {"set grid OM8", "error: locator must be 4 or 6 chars\r\n", "Q5RTV OM85 10dBm", "14097070"},
        {"set power 60", "ok\r\n", "Q5RTV OM85 60dBm", "14097070"},
        // A number is its digits alone: a unit or a second blank is refused.
        {"set power 7 dBm", "error: power must be 0..60 dBm\r\n", "Q5RTV OM85 60dBm", "14097070"},
        {"set power 7", "ok\r\n", "Q5RTV OM85 7dBm", "14097070"},
        {"set power 61", "error: power must be 0..60 dBm\r\n", "Q5RTV OM85 7dBm", "14097070"},
        {"set power x", "error: power must be 0..60 dBm\r\n", "Q5RTV OM85 7dBm", "14097070"},
        {"set power 11", "error: power must end in 0, 3 or 7 dBm\r\n", "Q5RTV OM85 7dBm",
         "14097070"},
        {"set power 58", "error: power must end in 0, 3 or 7 dBm\r\n", "Q5RTV OM85 7dBm",
         "14097070"},
        {"set power  0", "error: power must be 0..60 dBm\r\n", "Q5RTV OM85 7dBm", "14097070"},
        {"set power 0", "ok\r\n", "Q5RTV OM85 0dBm", "14097070"},
        {"set power 33", "ok\r\n", "Q5RTV OM85 33dBm", "14097070"},
        {"set freq 8000", "ok\r\n", "Q5RTV OM85 33dBm", "8000"},
        {"set freq 150000000",
         "error: freq too close to 150 MHz, the Si5351 would run at its limits\r\n",
         "Q5RTV OM85 33dBm", "8000"},
        {"set freq 149984995", "ok\r\n", "Q5RTV OM85 33dBm", "149984995"},
        {"set freq 7999", "error: freq must be 8000..150000000 Hz\r\n", "Q5RTV OM85 33dBm",
         "149984995"},
        {"set freq 150000001", "error: freq must be 8000..150000000 Hz\r\n", "Q5RTV OM85 33dBm",
         "149984995"},
        {"set freq 7040100Hz", "error: freq must be 8000..150000000 Hz\r\n", "Q5RTV OM85 33dBm",
         "149984995"},
        {"set freq 7040100", "ok\r\n", "Q5RTV OM85 33dBm", "7040100"},
        {"set freq abc", "error: freq must be 8000..150000000 Hz\r\n", "Q5RTV OM85 33dBm",
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

// The crystal the planning assumes: 24..28 MHz, digits only as the other setters read numbers;
// shown by "show" and used from the next tone on.
TEST(Console, SetXtalAcceptsTheCrystalRange) {
    OnFreshBoard([] {
        Boot();
        const std::string refused = "error: xtal must be 24000000..28000000 Hz\r\n";
        for (const char *typed :
             {"set xtal 23999999", "set xtal 28000001", "set xtal -25000000", "set xtal abc",
              "set xtal ", "set xtal 4319967296", "SET XTAL 27000000 Hz", "set xtal  25000123"}) {
            EXPECT_EQ(Command(typed), Reply(typed, refused)) << typed;
        }
        EXPECT_EQ(Command("show"), Reply("show", Show("IDLE", "QZ5RTV OM85 10dBm", "14097070",
                                                      "ON, Time: invalid")));
        for (const char *typed :
             {"set xtal 24000000", "SET XTAL 27000000", "set xtal 28000000", "set xtal 25000123"}) {
            EXPECT_EQ(Command(typed), Reply(typed, "ok\r\n")) << typed;
        }
        EXPECT_EQ(Command("show"), Reply("show", Show("IDLE", "QZ5RTV OM85 10dBm", "14097070",
                                                      "ON, Time: invalid", 25000123)));
    });
}

// Numbers never wrap: a minus sign is no number, a number beyond 32 bits is out of range, neither
// is folded back into range (-4292467296 would otherwise read as 2500000, -4294967284 as 12).
TEST(Console, NumbersOutOfRangeNeverWrap) {
    struct Case {
        const char *typed;
        const char *reply;
    };
    const std::vector<Case> cases = {
        {"set freq -4292467296", "error: freq must be 8000..150000000 Hz\r\n"},
        {"set freq 4297467296", "error: freq must be 8000..150000000 Hz\r\n"},
        {"set freq 99999999999999999999999", "error: freq must be 8000..150000000 Hz\r\n"},
        {"set freq -14097070", "error: freq must be 8000..150000000 Hz\r\n"},
        {"set power -10", "error: power must be 0..60 dBm\r\n"},
        {"set power 4294967306", "error: power must be 0..60 dBm\r\n"},
        {"set power 18446744073709551626", "error: power must be 0..60 dBm\r\n"},
        {"time -4294967284:00:00", "error: use time HH:MM:SS\r\n"},
        {"time 12:-4294967236:00", "error: use time HH:MM:SS\r\n"},
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

// Each field one or more digits; blanks, signs or anything after the seconds are refused.
TEST(Console, TimeSyntaxDigitsAndColonsOnly) {
    OnFreshBoard([] {
        Boot();
        Command("auto off");
        EXPECT_EQ(Command("time 7:5:0"), Reply("time 7:5:0", "TIME set 07:05:00 UTC from PC\r\n"));
        EXPECT_EQ(Command("time  12: 34:\t56 and more"),
                  Reply("time  12: 34:\t56 and more", "error: use time HH:MM:SS\r\n"));
        EXPECT_EQ(Command("time +1:02:03"), Reply("time +1:02:03", "error: use time HH:MM:SS\r\n"));
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
        // 45 characters: only 39 are kept and echoed; backspace then removes the 39th. The line ran
        // over: it is refused, whatever the editing after.
        std::string typed(45, 'A');
        sim::Type(typed + "\b\r");
        sim::RunFor(50 * sim::MS);
        EXPECT_EQ(sim::Console(),
                  std::string(39, 'A') + "\b \b\r\nerror: line too long, max 39 chars\r\nwspr> ");

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

// ---- Input that lost bytes, bad numbers, over-long lines ----------------------------------------

namespace {

const std::string k_lost = "error: input lost, line ignored\r\n";

// Types bytes at another baud rate than the console's: each is a framing error at the USART.
void TypeGarbled(const std::string &bytes) {
    dev::UartLine &line = vmcu::uart_line(sim::ConsoleUart());
    line.send(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), sim::Now(),
              CONSOLE_BAUD / 12);
}

// Runs until a line has been typed through and the console has been quiet for 1.5 s (a line that
// lost its line end is ended after a second without input).
void RunPastQuiet() {
    sim::RunUntil(vmcu::uart_line(sim::ConsoleUart()).free_ns());
    scenario::RunUntilQuiet(20 * sim::SECOND);
    sim::RunFor(1500 * sim::MS);
    scenario::RunUntilQuiet(sim::SECOND);
}

std::string Lines(const std::vector<std::string> &lines) {
    std::string all;
    for (const std::string &l : lines) {
        all += l + "\r";
    }
    return all;
}

} // namespace

// A block of 40 setting lines (about 530 bytes) pasted at the full line rate: every line runs, in
// order, each with its echo, reply and prompt; the settings end as the last lines set them. (The
// receive ring holds the input that waits while the longer echoes and replies go out.)
TEST(Console, PastedBlockOfFortySettingsRunsWhole) {
    const std::vector<std::string> twenty = {
        "set power 37",      "set call K1ABC",    "set freq 7040100",  "set grid FN42",
        "set xtal 25001234", "set power 23",      "set call DL2XYZ",   "set freq 10140200",
        "set grid JO62",     "auto off",          "set power 37",      "set call K1ABC",
        "set freq 7040100",  "set grid FN42",     "set xtal 25003275", "set power 30",
        "set call G4XYZ",    "set freq 14097070", "set grid IO91",     "set power 37"};
    std::vector<std::string> block = twenty;
    block.insert(block.end(), twenty.begin(), twenty.end());
    OnFreshBoard([&block] {
        Boot();
        sim::ClearConsole();
        sim::Type(Lines(block));
        RunPastQuiet();
        std::string expected;
        for (const std::string &l : block) {
            expected += Reply(l, "ok\r\n");
        }
        EXPECT_EQ(sim::Console(), expected);
        const WSPR_Settings s = sim::Status().settings;
        EXPECT_STREQ(s.callsign, "G4XYZ");
        EXPECT_STREQ(s.locator, "IO91");
        EXPECT_EQ(s.power_dbm, 37);
        EXPECT_EQ(s.base_freq_hz, 14097070u);
        EXPECT_EQ(s.xtal_hz, 25003275u);
        EXPECT_FALSE(s.auto_tx);
    });
}

// Far more than the receive ring holds, pasted while help streams out: lines lose bytes, and each
// such line is refused whole. Every line that ran is one that was typed, byte for byte; the last,
// cut short with its line end lost, is refused a second after the paste; the next line typed
// starts clean.
TEST(Console, PasteBeyondTheRingRunsOnlyWholeLines) {
    std::vector<std::string> block;
    for (int k = 0; k < 40; ++k) {
        block.push_back(k % 2 == 0 ? "set power 37" : "set call K1ABC");
    }
    OnFreshBoard([&block] {
        Boot();
        sim::ClearConsole();
        std::string paste = "help\r" + Lines(block);
        paste += "set power 43"; // no line end: it is lost with the rest
        sim::Type(paste);
        RunPastQuiet();
        const std::string out = sim::Console();
        size_t ran = 0, refused = 0;
        for (size_t at = out.find(k_help) + k_help.size() + 6; at < out.size();) {
            const size_t end = out.find("wspr> ", at);
            ASSERT_NE(end, std::string::npos) << out.substr(at);
            const std::string one = out.substr(at, end - at);
            at = end + 6;
            const size_t eol = one.find("\r\n");
            const std::string echo = one.substr(0, eol), reply = one.substr(eol + 2);
            if (reply == "ok\r\n") {
                ++ran;
                EXPECT_TRUE(echo == "set power 37" || echo == "set call K1ABC") << echo;
            } else {
                ++refused;
                EXPECT_EQ(reply, k_lost) << echo;
            }
        }
        EXPECT_GT(ran, 0u);
        EXPECT_GT(refused, 0u);
        EXPECT_TRUE(out.ends_with(k_lost + "wspr> ")) << out;
        const WSPR_Settings s = sim::Status().settings;
        EXPECT_EQ(s.power_dbm, 37);
        EXPECT_STREQ(s.callsign, "K1ABC");
        EXPECT_EQ(Command("show"),
                  Reply("show", Show("IDLE", "K1ABC OM85 37dBm", "14097070", "ON, Time: invalid")));
    });
}

// A byte lost in the USART (an overrun) or damaged on the line (a framing error) costs the line it
// fell in: refused whole, nothing set; the line after it runs.
TEST(Console, LineThatLostAByteIsRefusedWhole) {
    OnFreshBoard([] {
        Boot();
        sim::ClearConsole();
        sim::Type("set power 3");
        sim::RunFor(5 * sim::MS);
        vmcu::uart_force_overrun(sim::ConsoleUart());
        sim::Type("7\r");
        sim::RunFor(20 * sim::MS);
        EXPECT_EQ(sim::Console(), Reply("set power 3", k_lost));

        sim::ClearConsole();
        sim::Type("set power 3");
        sim::RunFor(5 * sim::MS);
        TypeGarbled("7");
        sim::RunFor(5 * sim::MS);
        sim::Type("\r");
        sim::RunFor(20 * sim::MS);
        EXPECT_EQ(sim::Console(), Reply(std::string("set power 3") + '\0', k_lost));
        EXPECT_EQ(sim::Status().settings.power_dbm, WSPR_DEFAULT_POWER_DBM);

        // The line end lost: the line is refused after a second without input, and a command
        // typed later is not glued to it.
        sim::ClearConsole();
        sim::Type("set power 37");
        sim::RunFor(5 * sim::MS);
        vmcu::uart_force_overrun(sim::ConsoleUart());
        sim::Type("\r");
        sim::RunFor(2 * sim::SECOND);
        EXPECT_EQ(sim::Console(), Reply("set power 37", k_lost));
        EXPECT_EQ(Command("set power 23"), Reply("set power 23", "ok\r\n"));
    });
}

// A save that erases a flash sector stalls the CPU for 250 ms: what is typed meanwhile overruns
// the USART. The line keeps only its first byte and is refused; it is not glued to the next.
TEST(Console, InputTypedDuringAnEraseIsRefusedNotGlued) {
    OnFreshBoard([] {
        Boot();
        for (uint32_t n = 0; n < SETTINGS_RECORDS_PER_SECTOR; ++n) {
            sim::Type("save\r");
            sim::RunFor(2 * sim::MS);
        }
        ASSERT_EQ(vmcu::flash_record().erases, 0u);
        sim::ClearConsole();
        sim::Type("save\r");
        sim::TypeAt(sim::Now() + 20 * sim::MS, "show\r");
        RunPastQuiet();
        EXPECT_EQ(vmcu::flash_record().erases, 1u);
        EXPECT_EQ(sim::Console(), Reply("save", "ok\r\n") + Reply("s", k_lost));
        EXPECT_EQ(Command("show"), Reply("show", Show("IDLE", "QZ5RTV OM85 10dBm", "14097070",
                                                      "ON, Time: invalid")));
    });
}

// A number is its digits and nothing else: a sign, blank, point, unit or anything after it gets
// the command's refusal and changes nothing.
TEST(Console, NumbersAreDigitsOnly) {
    const std::string power = "error: power must be 0..60 dBm\r\n";
    const std::string freq = "error: freq must be 8000..150000000 Hz\r\n";
    const std::string xtal = "error: xtal must be 24000000..28000000 Hz\r\n";
    const std::string time = "error: use time HH:MM:SS\r\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"set power 3.7", power},
        {"set power 0x10", power},
        {"set power 23 dBm", power},
        {"set power 23dBm", power},
        {"set power +10", power},
        {"set power  10", power},
        {"set power 10 ", power},
        {"set power \t10", power},
        {"set freq 14097070abc", freq},
        {"set freq 14097070.9", freq},
        {"set freq 10140200 20000000", freq},
        {"set freq 7040100Hz", freq},
        {"set freq +7040100", freq},
        {"set freq 7,040,100", freq},
        {"set xtal 25003275.5", xtal},
        {"set xtal 25000000 Hz", xtal},
        {"set xtal  25000000", xtal},
        {"time 12:00:00junk", time},
        {"time +1:+2:+3", time},
        {"time 12:00:00 ", time},
        {"time 12: 34:56", time},
        {"time 12:34:56.5", time},
        {"time 12:34:56:00", time},
        {"time -0:00:00", time},
        {"time 12::34", time},
    };
    OnFreshBoard([&cases] {
        Boot();
        Command("auto off");
        for (const auto &[typed, reply] : cases) {
            EXPECT_EQ(Command(typed), Reply(typed, reply)) << typed;
        }
        EXPECT_EQ(Command("show"), Reply("show", Show("IDLE", "QZ5RTV OM85 10dBm", "14097070",
                                                      "OFF, Time: invalid")));
        // Digits alone, leading zeros included, still go through.
        EXPECT_EQ(Command("set power 037"), Reply("set power 037", "ok\r\n"));
        EXPECT_EQ(Command("set freq 07040100"), Reply("set freq 07040100", "ok\r\n"));
        EXPECT_EQ(Command("time 9:05:0"),
                  Reply("time 9:05:0", "TIME set 09:05:00 UTC from PC\r\n"));
    });
}

// A line longer than 39 characters is refused, not cut and run; one of exactly 39 runs. A NUL byte
// does not end a line early: the line is refused.
TEST(Console, OverlongLinesAndNulBytesAreRefused) {
    OnFreshBoard([] {
        Boot();
        const std::string fits = "set power " + std::string(27, '0') + "37"; // 39 characters
        ASSERT_EQ(fits.size(), 39u);
        EXPECT_EQ(Command(fits), Reply(fits, "ok\r\n"));
        const std::string padded = "set power " + std::string(29, '0') + "30";
        sim::ClearConsole();
        sim::Type(padded + "\r");
        sim::RunFor(50 * sim::MS);
        EXPECT_EQ(sim::Console(),
                  Reply(padded.substr(0, 39), "error: line too long, max 39 chars\r\n"));
        EXPECT_EQ(sim::Status().settings.power_dbm, 37);

        for (const std::string &typed : {std::string("tx\0garbage", 10),
                                         std::string("set power 3\0", 12), std::string(1, '\0')}) {
            sim::ClearConsole();
            sim::Type(typed + "\r");
            sim::RunFor(50 * sim::MS);
            EXPECT_EQ(sim::Console(), Reply(typed, "error: NUL byte in line\r\n"));
        }
        EXPECT_EQ(sim::Status().state, WSPR_STATE_IDLE);
        EXPECT_FALSE(sim::Chip().clk1_on());
        EXPECT_EQ(sim::Status().settings.power_dbm, 37);
    });
}

// The banner's last line says what the schedule will do: with automatic frames saved off, that
// only tx or the key sends a frame.
TEST(Console, BannerTellsAutoOffWhenSavedOff) {
    OnFreshBoard([] {
        Boot();
        Command("auto off");
        Command("save");
        const size_t from = sim::Console().size();
        sim::Reset(vmcu::ResetCause::POWER_ON);
        ASSERT_TRUE(scenario::RunUntilConsole("wspr> ", from, 2000));
        std::string expected = scenario::k_banner;
        expected.replace(expected.find("Call="), 0, "Settings: saved\r\n");
        expected.replace(expected.find("AUTO starts"), std::string::npos,
                         "AUTO is off: frames only by tx or the key\r\nwspr> ");
        EXPECT_EQ(sim::Console().substr(from), expected);

        Command("auto on");
        Command("save");
        const size_t again = sim::Console().size();
        sim::Reset(vmcu::ResetCause::POWER_ON);
        ASSERT_TRUE(scenario::RunUntilConsole("wspr> ", again, 2000));
        expected = scenario::k_banner;
        expected.replace(expected.find("Call="), 0, "Settings: saved\r\n");
        EXPECT_EQ(sim::Console().substr(again), expected);
    });
}
