// The simulator's recordings decode with the standard WSPR decoder (wsprd, from the wsjtx
// package) as the message and frequency the beacon was configured with, clean and at -26 dB in
// 2500 Hz. And `wspr-sim demo` delivers its frame, files and summary.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Output {
    int status;
    std::string text;
};

// Runs a shell command; its standard output and error together.
Output Shell(const std::string &command) {
    Output out{-1, ""};
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) {
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
        out.text.append(buf, n);
    }
    int status = pclose(p);
    out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

std::string TempFolder(const char *name) {
    std::string dir = testing::TempDir() + name + "XXXXXX";
    char *made = mkdtemp(dir.data());
    return made == nullptr ? std::string() : std::string(made);
}

void WriteFile(const std::string &path, const std::string &content) {
    std::ofstream(path) << content;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

long FileSize(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

struct Spot {
    bool found = false;
    int snr = 0;
    double freq_mhz = 0;
    std::string call, grid;
    int dbm = -1;
};

// wsprd prints one line per decode: [date time] SNR DT FREQ DRIFT CALL GRID DBM.
Spot FindSpot(const std::string &output, const std::string &call) {
    Spot spot;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;) {
            w.push_back(word);
        }
        for (size_t i = 4; i + 2 < w.size(); ++i) {
            if (w[i] == call) {
                spot.found = true;
                spot.snr = std::atoi(w[i - 4].c_str());
                spot.freq_mhz = std::atof(w[i - 2].c_str());
                spot.call = w[i];
                spot.grid = w[i + 1];
                spot.dbm = std::atoi(w[i + 2].c_str());
                return spot;
            }
        }
    }
    return spot;
}

bool HaveWsprd() {
    return Shell("command -v wsprd").status == 0;
}

struct DecodeCase {
    const char *name;
    std::vector<const char *> options; // beyond --wav
    const char *script;
    uint64_t until_ms;
    const char *call;
    const char *grid;
    int dbm;
    uint64_t base_hz;
    int snr_lo, snr_hi; // what wsprd must report
};

// Named in test listings by its name, not its bytes.
void PrintTo(const DecodeCase &c, std::ostream *os) {
    *os << c.name;
}

class WsprdDecodes : public testing::TestWithParam<DecodeCase> {};

TEST_P(WsprdDecodes, AsTheConfiguredMessageAndFrequency) {
    ASSERT_TRUE(HaveWsprd()) << "wsprd not found: scripts/ensure-deps.sh decode installs wsjtx";
    const DecodeCase &c = GetParam();
    std::string dir = TempFolder("sim_decode_");
    ASSERT_FALSE(dir.empty());
    WriteFile(dir + "/inputs.txt", c.script);
    // wsprd takes date and time from a name of this form; any other name works as well.
    const std::string wav = dir + "/000101_0000.wav";
    std::string run = std::string(WSPR_SIM_PATH) + " run --console-log " + dir +
                      "/console.txt --script " + dir + "/inputs.txt --until " +
                      std::to_string(c.until_ms) + " --wav " + wav;
    for (const char *o : c.options) {
        run += std::string(" ") + o;
    }
    Output sim = Shell(run);
    ASSERT_EQ(sim.status, 0) << sim.text;
    ASSERT_EQ(FileSize(wav), 44 + 120 * 12000 * 2);

    char dial[32];
    std::snprintf(dial, sizeof dial, "%.6f", (c.base_hz - 1500) / 1e6);
    Output decoded = Shell("cd " + dir + " && wsprd -f " + dial + " " + wav);
    ASSERT_EQ(decoded.status, 0) << decoded.text;
    Spot spot = FindSpot(decoded.text, c.call);
    ASSERT_TRUE(spot.found) << "wsprd output:\n" << decoded.text;
    EXPECT_EQ(spot.grid, c.grid);
    EXPECT_EQ(spot.dbm, c.dbm);
    // wsprd reports the middle of the four tones, 2.2 Hz above tone 0.
    EXPECT_NEAR(spot.freq_mhz * 1e6, c.base_hz + 2.2, 2.0) << decoded.text;
    EXPECT_GE(spot.snr, c.snr_lo) << decoded.text;
    EXPECT_LE(spot.snr, c.snr_hi) << decoded.text;
    Shell("rm -rf " + dir);
}

INSTANTIATE_TEST_SUITE_P(
    Recording, WsprdDecodes,
    testing::Values(
        // Time typed on the console: the recording starts from the beacon's own UTC.
        DecodeCase{"clean_time_by_hand_30m",
                   {},
                   "100 type set call K1ABC\n300 type set grid FN42\n500 type set power 37\n"
                   "700 type set freq 10140100\n1000 type time 10:01:58\n",
                   125000,
                   "K1ABC",
                   "FN42",
                   37,
                   10140100,
                   20,
                   60},
        // A GNSS receiver across midnight, noise for -26 dB in 2500 Hz.
        DecodeCase{"snr_minus_26_gnss_40m",
                   {"--gnss-clock", "23:59:30", "--snr", "-26"},
                   "100 type set call DL1ABC\n300 type set grid JO62\n500 type set power 23\n"
                   "700 type set freq 7040100\n",
                   151000,
                   "DL1ABC",
                   "JO62",
                   23,
                   7040100,
                   -29,
                   -23}),
    [](const testing::TestParamInfo<DecodeCase> &info) { return std::string(info.param.name); });

// Every WSPR band from 2200 m to 2 m, tone 0 at the dial + 1500 Hz: clean, and at -26 dB on 10 m,
// 6 m and 2 m, where the chip's dividers are coarsest.
std::vector<DecodeCase> BandCases() {
    struct Band {
        const char *name;
        uint64_t dial_hz;
        bool noisy;
    };
    static const Band k_bands[] = {
        {"2200m", 136000, false}, {"630m", 474200, false},  {"160m", 1836600, false},
        {"80m", 3568600, false},  {"60m", 5287200, false},  {"40m", 7038600, false},
        {"30m", 10138700, false}, {"20m", 14095600, false}, {"17m", 18104600, false},
        {"15m", 21094600, false}, {"12m", 24924600, false}, {"10m", 28124600, true},
        {"6m", 50293000, true},   {"4m", 70091000, false},  {"2m", 144489000, true},
    };
    static std::vector<std::string> names, scripts; // the cases point into these
    std::vector<DecodeCase> cases;
    names.reserve(2 * std::size(k_bands));
    scripts.reserve(std::size(k_bands));
    for (const Band &b : k_bands) {
        const uint64_t base = b.dial_hz + 1500;
        scripts.push_back("100 type set freq " + std::to_string(base) + "\n300 type tx\n");
        for (bool noisy : {false, true}) {
            if (noisy && !b.noisy) {
                continue;
            }
            names.push_back(std::string(noisy ? "snr_minus_26_" : "clean_") + b.name);
            DecodeCase c{names.back().c_str(),
                         {},
                         scripts.back().c_str(),
                         114000,
                         "QZ5RTV",
                         "OM85",
                         10,
                         base,
                         noisy ? -29 : 20,
                         noisy ? -23 : 60};
            if (noisy) {
                c.options = {"--snr", "-26"};
            }
            cases.push_back(c);
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Bands, WsprdDecodes, testing::ValuesIn(BandCases()),
                         [](const testing::TestParamInfo<DecodeCase> &info) {
                             return std::string(info.param.name);
                         });

// A beacon's frames in turn, each recorded (--frame) and decoded in the same folder, in order: the
// type 1 or 2 frame fills wsprd's table of callsigns by hash, so the type 3 frame after it shows
// the full callsign. SNR and DT of each decode are printed for the record.
void ExpectDecodesInTurn(const std::string &settings, const std::vector<std::string> &messages) {
    ASSERT_TRUE(HaveWsprd()) << "wsprd not found: scripts/ensure-deps.sh decode installs wsjtx";
    std::string dir = TempFolder("sim_decode_turn_");
    ASSERT_FALSE(dir.empty());
    WriteFile(dir + "/inputs.txt", settings);
    for (size_t i = 0; i < messages.size(); ++i) {
        SCOPED_TRACE(messages[i]);
        const std::string wav = dir + "/00010" + std::to_string(i + 1) + "_0000.wav";
        Output sim = Shell(std::string(WSPR_SIM_PATH) + " run --gnss-clock 10:01:50 --script " +
                           dir + "/inputs.txt --until " + std::to_string(131000 + 120000 * i) +
                           " --frame " + std::to_string(i + 1) + " --wav " + wav);
        ASSERT_EQ(sim.status, 0) << sim.text;
        Output decoded = Shell("cd " + dir + " && wsprd -f 14.095570 " + wav);
        ASSERT_EQ(decoded.status, 0) << decoded.text;
        // [date time] SNR DT FREQ DRIFT then the message.
        bool found = false;
        std::istringstream lines(decoded.text);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream in(line);
            std::vector<std::string> w;
            for (std::string word; in >> word;) {
                w.push_back(word);
            }
            for (size_t k = 4; k < w.size() && !found; ++k) {
                std::string rest;
                for (size_t j = k; j < w.size(); ++j) {
                    rest += (j == k ? "" : " ") + w[j];
                }
                if (rest == messages[i]) {
                    found = true;
                    std::printf("decoded %s: SNR %s dB, DT %s s\n", messages[i].c_str(),
                                w[k - 4].c_str(), w[k - 3].c_str());
                    EXPECT_GE(std::atoi(w[k - 4].c_str()), 20);
                    EXPECT_LE(std::abs(std::atof(w[k - 3].c_str())), 1.0);
                }
            }
        }
        EXPECT_TRUE(found) << "wsprd output:\n" << decoded.text;
    }
    Shell("rm -rf " + dir);
}

TEST(WsprdDecodesInTurn, CompoundCallsignTypeTwoThenTypeThree) {
    ExpectDecodesInTurn("100 type set call PJ4/QZ5RTV\n300 type set grid OM85AB\n",
                        {"PJ4/QZ5RTV 10", "<PJ4/QZ5RTV> OM85AB 10"});
}

TEST(WsprdDecodesInTurn, PlainCallsignTypeOneThenTypeThree) {
    ExpectDecodesInTurn("100 type set grid OM85AB\n", {"QZ5RTV OM85 10", "<QZ5RTV> OM85AB 10"});
}

TEST(Demo, SendsAFrameFromTheGivenUtcAndWritesEveryFile) {
    std::string dir = TempFolder("sim_demo_");
    ASSERT_FALSE(dir.empty());
    Output demo = Shell(std::string(WSPR_SIM_PATH) + " demo --out " + dir + "/out --at 12:01:30");
    ASSERT_EQ(demo.status, 0) << demo.text;
    EXPECT_NE(demo.text.find("QZ5RTV OM85 10 dBm"), std::string::npos) << demo.text;
    EXPECT_NE(demo.text.find("14097070 Hz"), std::string::npos) << demo.text;
    // The receiver's sentences begin 100 ms into their second: the clock runs that late.
    EXPECT_NE(demo.text.find("12:02:00.101 UTC"), std::string::npos) << demo.text;
    EXPECT_NE(demo.text.find("162 of 162"), std::string::npos) << demo.text;
    EXPECT_NE(demo.text.find("frame complete"), std::string::npos) << demo.text;

    std::string console = ReadFile(dir + "/out/console.txt");
    EXPECT_NE(console.find("TIME set 12:01:30 UTC from GNSS"), std::string::npos);
    EXPECT_NE(console.find("TX start QZ5RTV OM85 10dBm, 162 symbols"), std::string::npos);
    EXPECT_NE(console.find("TX complete, CLK1 disabled"), std::string::npos);
    std::string rf = ReadFile(dir + "/out/rf.csv");
    EXPECT_EQ(rf.rfind("t_us,clk1,freq_uhz\n", 0), 0u);
    EXPECT_NE(rf.find("\n30101"), std::string::npos) << "CLK1 on at 30.101 s";
    EXPECT_EQ(FileSize(dir + "/out/wspr.wav"), 44 + 120 * 12000 * 2);
    std::string png = ReadFile(dir + "/out/waterfall.png");
    if (demo.text.find("no waterfall") == std::string::npos) {
        EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
    } else {
        EXPECT_TRUE(png.empty());
    }
    Shell("rm -rf " + dir);
}

} // namespace
