#include "gnss_time.h"
#include "nmea_reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#ifndef WSPR_TEST_DATA_DIR
#error "WSPR_TEST_DATA_DIR must name the directory holding the GNSS captures"
#endif

namespace {

using nmea_reference::Hms;
using nmea_reference::IndependentTimes;
using nmea_reference::Text;

/* "$" + body + "*" + checksum, computed here independently of the parser. */
std::string Sentence(const std::string &body, bool lower_hex = false) {
    unsigned sum = 0;
    for (unsigned char c : body) {
        sum ^= c;
    }
    char hex[3];
    std::snprintf(hex, sizeof hex, lower_hex ? "%02x" : "%02X", sum);
    return "$" + body + "*" + hex;
}

/* Feeds every byte; returns the times reported, in order. */
std::vector<Hms> Replay(const std::string &bytes) {
    GNSS_TimeParser_Init();
    std::vector<Hms> times;
    GnssTime rec{};
    for (unsigned char b : bytes) {
        if (GNSS_TimeParser_Push(b, &rec)) {
            EXPECT_TRUE(rec.valid);
            times.push_back({rec.hour, rec.minute, rec.second, rec.millisecond});
        }
    }
    return times;
}

std::vector<Hms> ReplayLine(const std::string &line) {
    return Replay(line + "\r\n");
}

// ---- Single sentences ------------------------------------------------------------------------

TEST(GnssTimeParser, AcceptsWellFormedFixes) {
    const struct {
        std::string line;
        Hms want;
    } cases[] = {
        {Sentence("GPRMC,235959.00,A,4808.9977,N,01135.0800,E,000.0,000.0,060419,003.0,E,A"),
         {23, 59, 59}},
        {Sentence("GNRMC,000000,A,,,,,,,,,"), {0, 0, 0}},
        {Sentence("GPRMC,123456.789,A,,,,,,,,,", true), {12, 34, 56, 789}},
        {Sentence("GPRMC,095007.5,A"), {9, 50, 7, 500}},
        {Sentence("GPRMC,101010,AX,junk"), {10, 10, 10}},       // only the first status char counts
        {Sentence("GPRMC,111111,A") + "garbage", {11, 11, 11}}, // after the checksum: ignored
        {"noise$" + Sentence("GPRMC,121314,A"), {12, 13, 14}},  // '$' restarts the line
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ReplayLine(c.line), std::vector<Hms>{c.want}) << c.line;
    }
}

// 5 and 10 Hz receivers give the fraction of the second: the clock takes it to the millisecond.
TEST(GnssTimeParser, TakesTheFractionOfTheSecond) {
    const struct {
        const char *time;
        int millisecond;
    } cases[] = {
        {"120000.1", 100},    {"120000.20", 200}, {"120000.95", 950}, {"120000.099", 99},
        {"120000.9999", 999}, // truncated: never the next second
        {"120000.", 0},       {"120000", 0},      {"120000.5x", 500}, {"120000x.5", 0},
    };
    for (const auto &c : cases) {
        const std::string line = Sentence(std::string("GPRMC,") + c.time + ",A");
        EXPECT_EQ(ReplayLine(line), (std::vector<Hms>{{12, 0, 0, c.millisecond}})) << line;
        EXPECT_EQ(nmea_reference::TimeOf(line), (Hms{12, 0, 0, c.millisecond})) << line;
    }
}

TEST(GnssTimeParser, ReportsOnTheTerminatorOnlyOnce) {
    const std::string line = Sentence("GPRMC,010203,A");
    GnssTime rec{};
    GNSS_TimeParser_Init();
    for (unsigned char b : line) {
        ASSERT_FALSE(GNSS_TimeParser_Push(b, &rec));
    }
    EXPECT_TRUE(GNSS_TimeParser_Push('\r', &rec));
    EXPECT_FALSE(GNSS_TimeParser_Push('\n', &rec));
    EXPECT_FALSE(GNSS_TimeParser_Push('\r', &rec));
    // LF alone also ends a line.
    EXPECT_EQ(Replay(line + "\n" + line + "\n").size(), 2U);
}

TEST(GnssTimeParser, RejectsUnsoundSentences) {
    const std::string cases[] = {
        // Empty time or status field: a later field must not take their place.
        Sentence("GPRMC,235959.00,,,,,,,,,,,A"),
        Sentence("GPRMC,,235959,A,,,,,,,,"),
        Sentence("GPRMC,,A,235959,A"),
        Sentence("GPRMC,235959,"),
        Sentence("GPRMC,235959"),
        Sentence("GPRMC,235959,V,,,,,,,,,"),
        Sentence("GPRMC,235959,a"),
        // Identifier
        Sentence("gprmc,235959,A"),
        Sentence("GPGGA,235959,A"),
        Sentence("GLRMC,235959,A"),
        Sentence("GPRMCX,235959,A"),
        Sentence("GPRMC;235959,A"),
        // Checksum
        "$GPRMC,235959,A",
        "$GPRMC,235959,A*",
        "$GPRMC,235959,A*4",
        "$GPRMC,235959,A*4G",
        "$GPRMC,235959,A*00",
        Sentence("GPRMC,235959,A").replace(12, 1, "8"), // body changed after summing
        // Time token
        Sentence("GPRMC,23595,A"),
        Sentence("GPRMC,23a959,A"),
        Sentence("GPRMC,+23959,A"),
        Sentence("GPRMC,2359 9,A"),
        Sentence("GPRMC,23595a,A"),
        Sentence("GPRMC,1.3456,A"),
        Sentence("GPRMC,240000,A"),
        Sentence("GPRMC,236000,A"),
        Sentence("GPRMC,235960,A"),
        Sentence("GPRMC,995959,A"),
    };
    for (const auto &line : cases) {
        EXPECT_TRUE(ReplayLine(line).empty()) << line;
    }
}

TEST(GnssTimeParser, MissingStatusNeverComesFromAnEarlierLine) {
    const std::string no_status = Sentence("GPRMC,235959");
    EXPECT_TRUE(Replay(no_status + "?AAAAAAAA\r\n" + no_status + "\r\n").empty());
}

TEST(GnssTimeParser, RejectionLeavesValidAloneAndMayFillFields) {
    GnssTime rec{1, 2, 3, false, 0, false, 0, 0};
    GNSS_TimeParser_Init();
    for (unsigned char b : Sentence("GPRMC,235960,A") + "\r") {
        EXPECT_FALSE(GNSS_TimeParser_Push(b, &rec));
    }
    EXPECT_FALSE(rec.valid);
    EXPECT_EQ((Hms{rec.hour, rec.minute, rec.second}), (Hms{23, 59, 60}));

    rec.valid = true;
    for (unsigned char b : Sentence("GPRMC,120000,V") + "\r") {
        EXPECT_FALSE(GNSS_TimeParser_Push(b, &rec));
    }
    EXPECT_TRUE(rec.valid);
}

// ---- Line assembly ---------------------------------------------------------------------------

TEST(GnssTimeParser, KeepsLinesThatFitTheBuffer) {
    const std::string base = "GPRMC,080910,A,";
    auto of_length = [&](size_t n) { // total length including '$' and "*hh"
        return Sentence(base + std::string(n - base.size() - 4, '9'));
    };
    const size_t longest = NMEA_LINE_MAX - 1; // one byte of the buffer ends the string
    ASSERT_EQ(of_length(longest).size(), longest);
    EXPECT_EQ(ReplayLine(of_length(longest)), (std::vector<Hms>{{8, 9, 10}}));
    EXPECT_TRUE(ReplayLine(of_length(longest + 1)).empty());
    EXPECT_TRUE(ReplayLine(of_length(200)).empty());
    // Lost as a whole, even when its first characters would make a sound sentence.
    EXPECT_TRUE(ReplayLine(of_length(60) + std::string(longest - 55, ',')).empty());
    // Collection starts again after a dropped line; a very long one must not wrap the position.
    const std::string good = Sentence("GPRMC,111213,A");
    EXPECT_EQ(Replay(of_length(longest + 1) + "\r\n" + good + "\r\n").size(), 1U);
    EXPECT_EQ(Replay(std::string(1000, 'x') + good + "\r\n").size(), 1U);
    EXPECT_EQ(Replay(std::string(1000, 'x') + "\r\n" + good + "\r\n").size(), 1U);
}

TEST(GnssTimeParser, DollarInsideALineDiscardsWhatCameBefore) {
    const std::string good = Sentence("GPRMC,111213,A");
    EXPECT_TRUE(Replay(good.substr(0, 10) + "$" + good.substr(10) + "\r\n").empty());
    EXPECT_EQ(Replay(good.substr(0, 10) + good + "\r\n").size(), 1U);
}

// ---- Real receiver captures ------------------------------------------------------------------

TEST(GnssTimeParser, IndependentReadingAgreesOnHandMadeStream) {
    const std::string stream = "\xb5\x62\x01\x07$GP\r" + Sentence("GPRMC,010101,A") + "\r\n" +
                               Sentence("GPRMC,020202,V") + "\n" + std::string(120, 'z') +
                               Sentence("GNRMC,030303,A") + "\r" + Sentence("GNRMC,040404,A") +
                               std::string(90, ',') + "\r\n" + "$GPRMC,0505";
    const std::vector<Hms> want{{1, 1, 1}, {3, 3, 3}};
    EXPECT_EQ(IndependentTimes(stream), want);
    EXPECT_EQ(Replay(stream), want);
}

struct Anchor {
    size_t count;
    Hms first;
    Hms last;
};

TEST(GnssTimeParser, RealCapturesAcceptedExactlyWhereTheBytesSay) {
    // Counted by hand with grep over the files (status A, sound checksum), not by either reader.
    const std::map<std::string, Anchor> anchors{
        {"ublox-zed-f9p_hpg1.11.nmea", {655, {1, 19, 3}, {1, 29, 57}}}, // UBX binary mixed in
        {"gp-320fw-2019-04-07-coldboot.nmea",
         {1, {0, 3, 45, 30}, {0, 3, 45, 30}}}, // 2 broken A fixes
        {"gp-320fw-2019-04-06-overflow.nmea", {20, {23, 57, 24, 20}, {23, 57, 43, 20}}},
        {"skytraq-dgps.nmea", {96, {21, 31, 21}, {21, 32, 56}}}, // over-long $PSTI lines
        {"telit-he910.nmea", {187, {10, 51, 53, 710}, {10, 54, 59, 408}}},
        {"GPSmap-76S.nmea", {0, {}, {}}}, // status V only
    };

    std::vector<std::filesystem::path> files;
    for (const auto &e : std::filesystem::directory_iterator(WSPR_TEST_DATA_DIR "/nmea")) {
        if (e.is_regular_file() && e.path().filename() != "README.md") {
            files.push_back(e.path());
        }
    }
    std::sort(files.begin(), files.end());

    size_t anchors_seen = 0;
    size_t total = 0;
    for (const auto &path : files) {
        const std::string name = path.filename().string();
        std::ifstream in(path, std::ios::binary);
        ASSERT_TRUE(in) << name;
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};

        const auto got = Replay(bytes);
        const auto want = IndependentTimes(bytes);
        total += got.size();
        const auto [g, w] = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
        if (g != got.end() || w != want.end()) {
            ADD_FAILURE() << name << ": first difference at accepted time #" << (g - got.begin())
                          << ": parser " << (g != got.end() ? Text(*g) : "(none)")
                          << ", independent reading " << (w != want.end() ? Text(*w) : "(none)")
                          << " (" << got.size() << " vs " << want.size() << " times)";
        }
        for (const auto &t : got) {
            EXPECT_TRUE(t.hour <= 23 && t.minute <= 59 && t.second <= 59) << name << " " << Text(t);
        }
        if (const auto a = anchors.find(name); a != anchors.end()) {
            ++anchors_seen;
            EXPECT_EQ(got.size(), a->second.count) << name;
            if (!got.empty() && a->second.count != 0) {
                EXPECT_EQ(got.front(), a->second.first) << name << " " << Text(got.front());
                EXPECT_EQ(got.back(), a->second.last) << name << " " << Text(got.back());
            }
        }
    }
    EXPECT_EQ(anchors_seen, anchors.size());
    EXPECT_GT(total, 0U);
    RecordProperty("accepted_times", static_cast<int>(total));
}

} // namespace
