// wspr-sim run as an operator uses it: scripts, GNSS input, logs, faults and bad arguments.
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "stm32f4xx_hal.h"

#include "test_dir.h"
#include "tones.h"
#include "wspr_encoder.h"

namespace {

namespace fs = std::filesystem;

struct Result {
    int status;
    std::string out;
    std::string err;
};

class WsprSimRun : public scenario::TestWithDir {
  protected:
    WsprSimRun() : TestWithDir("wspr-sim-run-") {}

    // Runs in the test's folder: a file name given without a folder (an option's value taken as
    // one, say) is written there, not wherever the tests were started.
    Result Sim(const std::string &args, const char *command = "run") const {
        std::string cmd = "cd " + dir_.string() + " && " + WSPR_SIM_PATH + " " + command + " " +
                          args + " >" + Path("stdout") + " 2>" + Path("stderr");
        int raw = std::system(cmd.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Read("stdout"), Read("stderr")};
    }
};

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

} // namespace

TEST_F(WsprSimRun, ScriptDrivesAFrameAndTheLogsShowIt) {
    Write("s.txt", "# a frame by hand\n"
                   "500 type set call k1abc\n"
                   "1000 type tx\n"
                   "1500 key down\n"
                   "1700 key up\n");
    Result r =
        Sim("--until 115000 --script " + Path("s.txt") + " --console-log " + Path("console.log") +
            " --rf-log " + Path("rf.csv") + " --i2c-log " + Path("i2c.csv"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    std::string console = Read("console.log");
    EXPECT_TRUE(console.starts_with("\r\nTOLVANE Si5351 CLK1\r\n")) << console;
    EXPECT_NE(console.find("wspr> set call k1abc\r\nok\r\nwspr> tx\r\nTX start K1ABC OM85 10dBm, "
                           "162 symbols\r\nTX on 20m 14097070 Hz, offset +0 Hz, entry 1, code 0\r\n"
                           "TX rejected: already transmitting\r\nTX complete, CLK1 "
                           "disabled\r\nwspr> "),
              std::string::npos)
        << console;

    // CLK1 on once, a change at each symbol boundary where the symbol changes and nowhere else,
    // each within a millisecond of the boundary and at its symbol's tone, off once.
    std::vector<uint8_t> symbols(WSPR_SYMBOL_COUNT);
    ASSERT_TRUE(WSPR_Encode("K1ABC", "OM85", 10, symbols.data()));
    std::vector<std::string> rf = Lines(Read("rf.csv"));
    ASSERT_GT(rf.size(), 2u);
    EXPECT_EQ(rf[0], "t_us,clk1,freq_uhz");
    std::vector<std::array<unsigned long long, 3>> rows;
    for (size_t i = 1; i < rf.size(); ++i) {
        unsigned long long t = 0, on = 0, f = 0;
        ASSERT_EQ(std::sscanf(rf[i].c_str(), "%llu,%llu,%llu", &t, &on, &f), 3) << rf[i];
        rows.push_back({t, on, f});
    }
    ASSERT_EQ(rows.front()[1], 1u);
    EXPECT_TRUE(tones::Matches(rows.front()[2], 14097070, symbols[0]));
    const unsigned long long t0 = rows.front()[0];
    // The symbol clock counts from the millisecond the frame was started in; the first tone comes
    // after the set-up's transfers (about 0.7 ms), a tone change in the millisecond after its
    // boundary.
    size_t next = 1;
    for (size_t i = 1; i < WSPR_SYMBOL_COUNT; ++i) {
        if (symbols[i] == symbols[i - 1]) {
            continue;
        }
        ASSERT_LT(next, rows.size());
        const auto &row = rows[next++];
        EXPECT_EQ(row[1], 1u) << i;
        EXPECT_GE(row[0] + 2000, t0 + i * WSPR_SYMBOL_PERIOD_US) << i;
        EXPECT_LE(row[0], t0 + i * WSPR_SYMBOL_PERIOD_US + 1000) << i;
        EXPECT_TRUE(tones::Matches(row[2], 14097070, symbols[i])) << i;
    }
    ASSERT_EQ(rows.size(), next + 1);
    EXPECT_EQ(rows.back()[1], 0u);
    EXPECT_EQ(rows.back()[2], 0u);
    EXPECT_NEAR(static_cast<double>(rows.back()[0] - t0), WSPR_SYMBOL_COUNT * 682667.0, 1000.0);

    // What the bus carried: the start's set-up (CLK1 off, CLK0 the reference on, PLL A,
    // multisynth 1, PLL reset, CLK1 control, CLK1 on), then one register per tone change, then CLK1
    // off.
    std::vector<std::string> i2c = Lines(Read("i2c.csv"));
    ASSERT_GT(i2c.size(), 8u);
    EXPECT_EQ(i2c[0], "t_us,addr,reg,data,status");
    size_t start = 0;
    while (start < i2c.size() && i2c[start].find(",60,177,20,0") == std::string::npos) {
        ++start;
    }
    ASSERT_LT(start + 2, i2c.size());
    EXPECT_NE(i2c[start - 3].find(",60,3,fe,0"), std::string::npos);
    EXPECT_NE(i2c[start + 1].find(",60,17,0f,0"), std::string::npos);
    EXPECT_NE(i2c[start + 2].find(",60,3,fc,0"), std::string::npos);
    // Each tone change: one register, the second byte of the multisynth's p2 (20 m).
    size_t keyed = 0;
    size_t k = start + 3;
    for (; k < i2c.size() && i2c[k].find(",60,56,") != std::string::npos; ++k) {
        EXPECT_EQ(i2c[k].size() - i2c[k].find(",60,56,"), std::string(",60,56,").size() + 2 + 2)
            << i2c[k];
        ++keyed;
    }
    EXPECT_EQ(keyed, next - 1);
    ASSERT_LT(k, i2c.size());
    EXPECT_NE(i2c[k].find(",60,3,fe,0"), std::string::npos) << i2c[k];
}

TEST_F(WsprSimRun, GnssClockAndGnssFileSetTheTime) {
    Result r = Sim("--until 3000 --gnss-clock 11:59:58");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("TIME set 11:59:58 UTC from GNSS\r\n"), std::string::npos) << r.out;
    // The clock reaches 12:00:00 by itself as the receiver's sentence for it arrives; the frame
    // starts once, at the even minute.
    EXPECT_NE(r.out.find("TIME set 12:00:00 UTC from GNSS\r\n"), std::string::npos) << r.out;
    size_t start = r.out.find("TX start QZ5RTV OM85 10dBm");
    ASSERT_NE(start, std::string::npos) << r.out;
    EXPECT_GT(start, r.out.find("TIME set 11:59:59 UTC from GNSS"));
    EXPECT_EQ(r.out.find("TX start", start + 1), std::string::npos);

    Write("g.nmea", "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n"
                    "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n");
    r = Sim("--until 1000 --gnss " + Path("g.nmea"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("TIME set 12:35:19 UTC from GNSS\r\n"), std::string::npos) << r.out;
}

TEST_F(WsprSimRun, MissingOrFailingChip) {
    Result r = Sim("--until 200 --no-si5351");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Si5351 init status: 1\r\n"), std::string::npos) << r.out;

    // Operation 0 is the start-up probe, 1 the status read (the chip initialised from the start);
    // 4 is the spread-spectrum write; 8..12 start CLK0, 13 is CLK1 off.
    r = Sim("--until 200 --si5351-sys-init 0 --si5351-fail 4:busy");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Si5351 init status: 2\r\n"), std::string::npos) << r.out;

    Write("s.txt", "100 type tx\n");
    r = Sim("--until 2000 --si5351-sys-init 0 --si5351-fail 15+:timeout --script " + Path("s.txt"));
    ASSERT_EQ(r.status, 0) << r.err;
    // Every later operation times out: the tone, and the CLK1 off after it (reported once).
    EXPECT_NE(
        r.out.find("tx\r\nSi5351 output off failed: 3\r\nSi5351 tone set failed: 3\r\nwspr> "),
        std::string::npos)
        << r.out;
}

// Faults on demand: a stuck main loop and a hard fault end in a watchdog reset, a held SDA in a
// freed bus; each time the beacon is back for the 12:02 frame.
TEST_F(WsprSimRun, FaultsOnDemandAndTheBeaconSurvivesThem) {
    const struct {
        const char *option;
        const char *says;
    } cases[] = {{"--hang-at 25000", "Reset: watchdog\r\n"},
                 {"--fault-at 25000", "Reset: watchdog\r\n"},
                 {"--sda-stuck-at 25000", "Si5351 tone update failed: 2\r\n"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.option);
        const Result r = Sim(std::string("--gnss-clock 11:59:55 --until 127000 ") + c.option);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
        // The 12:00 frame, cut short, and the 12:02 one.
        const size_t first = r.out.find("TX start");
        ASSERT_NE(first, std::string::npos) << r.out;
        EXPECT_NE(r.out.find("TX start", first + 1), std::string::npos) << r.out;
    }
    EXPECT_EQ(Sim("--fault-at soon").status, 1);
}

// A '#' after a command starts a comment; a moment may be given to the microsecond; an option
// that adds (--si5351-fail) may be given again.
TEST_F(WsprSimRun, CommentsAfterCommandsAndMomentsToTheMicrosecond) {
    Write("s.txt", "1000 type tx   # a frame by hand\n"
                   "2000 type show\t# what it says\n");
    const Result r = Sim("--until 3000 --script " + Path("s.txt") +
                         " --hang-at 2999.5 --si5351-fail 900:busy --si5351-fail 901:busy");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("wspr> tx\r\nTX start"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("show\r\n\r\nState: TX"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("unknown command"), std::string::npos) << r.out;
}

// --pin-log: every change of an output pin, the amplifier and band lines around the carrier
// included; --uid: another chip draws other offsets.
TEST_F(WsprSimRun, PinLogAndUniqueId) {
    Write("s.txt", "100 type set bands 40m:5\n"
                   "200 type set offset 100\n"
                   "300 type tx\n"
                   "3000 type stop\n");
    const std::string script = " --until 3500 --script " + Path("s.txt");
    Result a = Sim(script + " --pin-log " + Path("pins.csv") + " --console-log " + Path("a.log"));
    ASSERT_EQ(a.status, 0) << a.err;
    const std::vector<std::string> pins = Lines(Read("pins.csv"));
    ASSERT_FALSE(pins.empty());
    EXPECT_EQ(pins[0], "t_us,pin,level");
    std::vector<std::string> lines_only; // PB12..PB15 without their times
    for (size_t i = 1; i < pins.size(); ++i) {
        const std::string pin = pins[i].substr(pins[i].find(',') + 1);
        if (pin.starts_with("PB1")) {
            lines_only.push_back(pin);
        }
    }
    // Driven low at start-up (amplifier first), code 5 before the amplifier, off after the stop.
    EXPECT_EQ(lines_only, (std::vector<std::string>{"PB15,0", "PB12,0", "PB13,0", "PB14,0",
                                                    "PB12,1", "PB14,1", "PB15,1", "PB15,0"}));
    EXPECT_NE(Read("pins.csv").find(",PC13,"), std::string::npos); // the LED too

    Result b = Sim(script + " --uid 0123456789ABCDEF01234567 --console-log " + Path("b.log"));
    ASSERT_EQ(b.status, 0) << b.err;
    const auto offset_line = [](const std::string &console) {
        const size_t at = console.find("TX on ");
        return at == std::string::npos ? std::string()
                                       : console.substr(at, console.find('\r', at) - at);
    };
    const std::string la = offset_line(Read("a.log")), lb = offset_line(Read("b.log"));
    EXPECT_NE(la, "");
    EXPECT_NE(lb, "");
    EXPECT_NE(la, lb); // two offsets in -100..100 Hz: the same by chance once in 201
    Result c = Sim(script + " --uid 0123456789ABCDEF01234567 --console-log " + Path("c.log"));
    EXPECT_EQ(offset_line(Read("c.log")), lb);
}

TEST_F(WsprSimRun, BadArgumentsSayWhatIsWrong) {
    Write("bad.txt", "100 type help\nsoon type tx\n");
    Write("huge-time.txt", "18446744073710 type help\n");
    Write("huge.txt", "");
    fs::resize_file(Path("huge.txt"), 17 << 20); // sparse: larger than any script is let be
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"--until soon", "--until"},
        {"--until -5", "--until"},
        {"--gnss-clock 25:00:00", "--gnss-clock"},
        {"--gnss-clock 12:00", "--gnss-clock"},
        {"--si5351-fail x:busy", "--si5351-fail"},
        {"--si5351-fail 3:later", "--si5351-fail"},
        {"--script " + Path("none.txt"), "cannot read"},
        {"--script " + Path("bad.txt"), "line 2"},
        {"--frobnicate", "unknown option"},
        {"--until", "missing value"},
        // Numbers that do not fit are refused, not wrapped round to something small.
        {"--until 18446744073710", "--until"},
        {"--dial 18446758169279", "--dial"},
        {"--script " + Path("huge-time.txt"), "line 1"},
        // Only regular files of bounded size are read.
        {"--script " + dir_.string(), "not a regular file"},
        {"--gnss " + dir_.string(), "not a regular file"},
        {"--gnss /dev/zero", "not a regular file"},
        {"--script " + Path("huge.txt"), "larger than"},
        // A log that cannot be written is an error, not a quiet success.
        {"--until 1000 --console-log /dev/full", "cannot write"},
        // A run of nothing, an option given twice (which of the two would count?), a moment
        // finer than a microsecond, a board image that is no file.
        {"--until 0", "--until"},
        {"--until 5 --until 10", "--until given twice"},
        {"--fault-at 5 --fault-at 6", "--fault-at given twice"},
        {"--fault-at 5001.0001", "--fault-at"},
        {"--image " + dir_.string(), "not a regular file"},
        {"--image /dev/zero", "not a regular file"},
        // The unique ID is 24 hex digits, no more, no fewer, nothing else.
        {"--uid 0123456789abcdef0123456", "--uid"},
        {"--uid 0123456789abcdef012345678", "--uid"},
        {"--uid 0123456789abcdef0123456g", "--uid"},
        {"--uid 0x23456789abcdef01234567", "--uid"},
        {"--until 1000 --console-log /dev/null --pin-log /dev/full", "cannot write"},
    };
    for (const auto &[args, says] : cases) {
        Result r = Sim(args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_NE(r.err.find(says), std::string::npos) << args << ": " << r.err;
        EXPECT_EQ(r.out, "") << args;
    }
}

// The usage lists the options the parser takes: every one it names is known to it.
TEST_F(WsprSimRun, HelpListsTheOptionsItTakes) {
    const Result help = Sim("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: wspr-sim run", 0), 0u) << help.out;
    std::vector<std::string> names;
    for (const std::string &line : Lines(help.out)) {
        if (line.rfind("  --", 0) == 0) {
            names.push_back(line.substr(2, line.find(' ', 2) - 2));
        }
    }
    EXPECT_GE(names.size(), 15u) << help.out;
    for (const std::string &name : names) {
        // A value (for an option that takes one) that names no file anyone could create.
        const Result r = Sim(name + " " + Path("no-such-folder/x") + " --frobnicate");
        EXPECT_EQ(r.err.find("unknown option " + name), std::string::npos) << r.err;
        EXPECT_NE(r.status, 0) << name;
        // A refused command line writes nothing.
        for (const fs::directory_entry &e : fs::directory_iterator(dir_)) {
            const std::string file = e.path().filename().string();
            EXPECT_TRUE(file == "stdout" || file == "stderr") << name << " wrote " << file;
        }
    }
}

TEST_F(WsprSimRun, FailedWriteToStandardOutputFails) {
    const std::string cmd =
        std::string(WSPR_SIM_PATH) + " run --until 1000 >/dev/full 2>" + Path("stderr");
    const int raw = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 1) << raw;
    EXPECT_NE(Read("stderr").find("cannot write standard output"), std::string::npos);
}

// wspr-sim tune keys a base frequency's four tones as a frame does and shows what the chip model
// decodes: every tone within 25 mHz on the WSPR bands, with the multisynth moving below 112.5 MHz
// and the PLL under an integer multisynth above, for the default crystal or another one.
TEST_F(WsprSimRun, TuneShowsWhatClk1Emits) {
    struct Case {
        std::string args;
        const char *mode;
    } const cases[] = {{"28126100", "fractional"},
                       {"144490500", "integer"},
                       {"150000000", "divby4"},
                       {"7040100 --xtal 27000000", "fractional"},
                       {"--xtal 24000000 50294500", "fractional"}};
    for (const Case &c : cases) {
        Result r = Sim(c.args, "tune");
        ASSERT_EQ(r.status, 0) << c.args << ": " << r.err;
        const std::vector<std::string> lines = Lines(r.out);
        ASSERT_EQ(lines.size(), 4u) << r.out;
        for (size_t n = 0; n < 4; ++n) {
            unsigned tone = 9;
            unsigned long long asked = 0, emitted = 0;
            long long error = 0;
            char mode[16] = {};
            ASSERT_EQ(std::sscanf(lines[n].c_str(),
                                  "tone=%u asked_uhz=%llu pll=%*u,%*u,%*u ms=%*u,%*u,%*u "
                                  "emitted_uhz=%llu error_uhz=%lld ms_mode=%15s",
                                  &tone, &asked, &emitted, &error, mode),
                      5)
                << lines[n];
            EXPECT_EQ(tone, n);
            EXPECT_EQ(static_cast<long long>(emitted - asked), error);
            EXPECT_LE(std::llabs(error), static_cast<long long>(tones::TOLERANCE_UHZ)) << lines[n];
            EXPECT_STREQ(mode, c.mode) << lines[n];
        }
    }
    for (const char *bad :
         {"", "7999", "150000001", "14e6", "14097070 --xtal 30000000", "14097070 7040100"}) {
        Result r = Sim(bad, "tune");
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_EQ(r.out, "") << bad;
        EXPECT_FALSE(r.err.empty()) << bad;
    }
}

// wspr-sim encode prints the 162 symbols of a message, or one line saying why it cannot be sent.
TEST_F(WsprSimRun, EncodePrintsTheFrameOrOneLineReason) {
    std::vector<uint8_t> s(WSPR_SYMBOL_COUNT);
    ASSERT_TRUE(WSPR_Encode("QZ5RTV", "OM85", 10, s.data()));
    std::string expected;
    for (uint8_t v : s) {
        expected += (expected.empty() ? "" : " ") + std::to_string(v);
    }
    const Result ok = Sim("QZ5RTV OM85 10", "encode");
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.out, expected + "\n");
    EXPECT_EQ(ok.out.rfind("3 1 2 2 0 2 2 0 1 2 0 2 3 1 3 0 ", 0), 0U);
    EXPECT_EQ(ok.err, "");

    for (const char *args : {"QZ5RTV OM85 -1", "QZ5RTV OM85 256", "QZ5RTV OM85 7x",
                             "QZ5RTV OM85 ''", "QZ5RTV OM85 61", "QZ5RTV OM85 11", "Q5RTVX OM85 10",
                             "QZ5RTV SM85 10", "QZ5RTV OM85", "", "QZ5RTV OM85 10 x"}) {
        SCOPED_TRACE(args);
        const Result r = Sim(args, "encode");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
}

// --mode: FST4W's 160 symbols of each frame in turn, the protocol's test vector for K1ABC FN42 37;
// a 6-character locator adds the type 3 frame.
TEST_F(WsprSimRun, EncodeInFst4w) {
    const Result one = Sim("K1ABC FN42 37 --mode fst4w-300", "encode");
    EXPECT_EQ(one.status, 0) << one.err;
    std::string digits;
    for (char c : one.out) {
        if (c != ' ') {
            digits += c;
        }
    }
    EXPECT_EQ(digits, "0132102300313221230211110020203201302123103201112313232323030132223312132"
                      "2100132102300031211202213232033112312110223103201103300000221010012233132"
                      "21230101321023\n");
    const Result two = Sim("--mode FST4W-120 K1ABC FN42AB 37", "encode");
    EXPECT_EQ(two.status, 0) << two.err;
    EXPECT_EQ(std::count(two.out.begin(), two.out.end(), '\n'), 2);
    EXPECT_EQ(two.out.size(), 2U * 2U * 160U);
    EXPECT_EQ(two.out.substr(0, one.out.size()), one.out);
    for (const char *args : {"K1ABC FN42 37 --mode fst4w", "K1ABC FN42 37 --mode"}) {
        SCOPED_TRACE(args);
        const Result r = Sim(args, "encode");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
}

namespace {

// --flash keeps the settings sectors in a file from one run to the next (created when missing);
// --power-cut-at cuts the power during a flash operation of the run, and the board starts again
// with the settings from before.
TEST_F(WsprSimRun, FlashFileKeepsSavedSettingsAcrossRuns) {
    const std::string flash = Path("flash.bin");
    Write("save.txt", "100 type set call K1ABC\r\n300 type save\r\n");
    Write("other.txt", "100 type set call G4AAA\r\n300 type save\r\n");
    const std::string script = " --until 1000 --script ";
    ASSERT_EQ(Sim("--flash " + flash + script + Path("save.txt")).status, 0);
    EXPECT_EQ(Read("flash.bin").size(), 2 * FLASH_SECTOR_16K_SIZE);

    Result r = Sim("--flash " + flash + " --until 500");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("TOLVANE Si5351 CLK1\r\nSettings: saved\r\nCall=K1ABC "),
              std::string::npos)
        << r.out;

    r = Sim("--flash " + flash + " --power-cut-at 9" + script + Path("other.txt"));
    EXPECT_EQ(r.status, 0);
    // The cut takes what the console had not sent yet (the line end after "save") with it.
    EXPECT_NE(r.out.find("wspr> save"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\r\nTOLVANE Si5351 CLK1\r\nSettings: saved\r\nCall=K1ABC ",
                         r.out.find("wspr> save")),
              std::string::npos)
        << r.out;
    r = Sim("--flash " + flash + script + Path("other.txt"));
    r = Sim("--flash " + flash + " --until 500");
    EXPECT_NE(r.out.find("Call=G4AAA "), std::string::npos) << r.out;

    Write("short.bin", "not a flash");
    r = Sim("--flash " + Path("short.bin") + " --until 500");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not a flash image"), std::string::npos) << r.err;
    EXPECT_EQ(Read("short.bin"), "not a flash"); // left as it was
}

} // namespace
