// wspr-sim run as an operator uses it: scripts, GNSS input, logs, faults and bad arguments.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

struct Result {
    int status;
    std::string out;
    std::string err;
};

class WsprSimRun : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("wspr-sim-run-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Path(const std::string &name) const { return (dir_ / name).string(); }

    void Write(const std::string &name, const std::string &content) const {
        std::ofstream(Path(name), std::ios::binary) << content;
    }

    std::string Read(const std::string &name) const {
        std::ifstream in(Path(name), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    Result Sim(const std::string &args) const {
        std::string cmd = std::string(WSPR_SIM_PATH) + " run " + args + " >" + Path("stdout") +
                          " 2>" + Path("stderr");
        int raw = std::system(cmd.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Read("stdout"), Read("stderr")};
    }

    fs::path dir_;
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
    Result r = Sim("--until 115000 --script " + Path("s.txt") + " --console-log " +
                   Path("console.log") + " --rf-log " + Path("rf.csv"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    std::string console = Read("console.log");
    EXPECT_TRUE(console.starts_with("\r\nTOLVANE Si5351 CLK1\r\n")) << console;
    EXPECT_NE(console.find("wspr> set call k1abc\r\nok\r\nwspr> tx\r\nTX start K1ABC OM85 10dBm, "
                           "162 symbols\r\nTX rejected: already transmitting\r\nTX complete, CLK1 "
                           "disabled\r\nwspr> "),
              std::string::npos)
        << console;

    std::vector<std::string> rf = Lines(Read("rf.csv"));
    ASSERT_GT(rf.size(), 2u);
    EXPECT_EQ(rf[0], "t_us,clk1,freq_uhz");
    // Each tone comes on after a short retune gap: 162 rows with CLK1 on, the last row off.
    size_t on_rows = 0;
    for (size_t i = 1; i < rf.size(); ++i) {
        unsigned long long t = 0, f = 0;
        int on = -1;
        ASSERT_EQ(std::sscanf(rf[i].c_str(), "%llu,%d,%llu", &t, &on, &f), 3) << rf[i];
        if (on == 1) {
            ++on_rows;
            EXPECT_GT(f, 14097070000000ULL - 2000000ULL);
            EXPECT_LT(f, 14097075000000ULL);
        } else {
            EXPECT_EQ(f, 0u);
        }
    }
    EXPECT_EQ(on_rows, 162u);
    EXPECT_EQ(rf.back().substr(rf.back().find(',')), ",0,0");
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

    // Operation 0 is the start-up probe; 3 is the spread-spectrum write.
    r = Sim("--until 200 --si5351-fail 3:busy");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Si5351 init status: 2\r\n"), std::string::npos) << r.out;

    Write("s.txt", "100 type tx\n");
    r = Sim("--until 2000 --si5351-fail 9+:timeout --script " + Path("s.txt"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("tx\r\nSi5351 tone set failed: 3\r\nwspr> "), std::string::npos) << r.out;
}

TEST_F(WsprSimRun, BadArgumentsSayWhatIsWrong) {
    Write("bad.txt", "100 type help\nsoon type tx\n");
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
    };
    for (const auto &[args, says] : cases) {
        Result r = Sim(args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_NE(r.err.find(says), std::string::npos) << args << ": " << r.err;
        EXPECT_EQ(r.out, "") << args;
    }
}
