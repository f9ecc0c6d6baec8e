// The simulator's one number parser: what it takes, and everything it must refuse rather than
// read as some other number; and its one writer of times of day.
#include "numbers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using sim::FormatClock;
using sim::ParseClock;
using sim::ParseDecimal;
using sim::ParseWhole;

TEST(ParseWhole, DigitsWithinTheRangeOnly) {
    uint64_t v = 0;
    EXPECT_TRUE(ParseWhole("0", 0, 10, v));
    EXPECT_EQ(v, 0u);
    EXPECT_TRUE(ParseWhole("0042", 0, 100, v));
    EXPECT_EQ(v, 42u);
    EXPECT_TRUE(ParseWhole("18446744073709551615", 0, UINT64_MAX, v));
    EXPECT_EQ(v, UINT64_MAX);

    v = 7;
    for (const char *bad :
         {"", "-1", "+1", " 1", "1 ", "1e3", "0x10", "1.0", "1,000", "\xD9\xA1"}) {
        EXPECT_FALSE(ParseWhole(bad, 0, UINT64_MAX, v)) << bad;
    }
    // Past 64 bits, and numbers that would wrap round to something small.
    EXPECT_FALSE(ParseWhole("18446744073709551616", 0, UINT64_MAX, v));
    EXPECT_FALSE(ParseWhole("36893488147419103232", 0, UINT64_MAX, v));
    EXPECT_FALSE(ParseWhole("18446744073710", 0, sim::MAX_RUN_MS, v));
    EXPECT_FALSE(ParseWhole("9", 10, 20, v));
    EXPECT_FALSE(ParseWhole("21", 10, 20, v));
    EXPECT_EQ(v, 7u) << "a refusal leaves the value alone";
}

TEST(ParseDecimal, SignedDecimalsWithinTheRangeOnly) {
    double v = 0;
    EXPECT_TRUE(ParseDecimal("-26", -100, 100, v));
    EXPECT_EQ(v, -26.0);
    EXPECT_TRUE(ParseDecimal("7.5", -100, 100, v));
    EXPECT_EQ(v, 7.5);
    EXPECT_TRUE(ParseDecimal("+3", -100, 100, v));
    EXPECT_EQ(v, 3.0);

    v = 1;
    for (const char *bad :
         {"", ".", "-", "1e3", "nan", "inf", "0x1p3", "1.2.3", "--1", "3 ", "1e"}) {
        EXPECT_FALSE(ParseDecimal(bad, -1e9, 1e9, v)) << bad;
    }
    EXPECT_FALSE(ParseDecimal("100.5", -100, 100, v));
    EXPECT_FALSE(ParseDecimal(std::string(400, '9'), -1e300, 1e300, v)); // beyond a double
    EXPECT_EQ(v, 1.0);
}

// Moments of a run: whole milliseconds or to the microsecond, never beyond the longest run.
TEST(ParseMillis, MillisecondsToTheMicrosecond) {
    uint64_t ns = 0;
    EXPECT_TRUE(sim::ParseMillis("5001", 0, sim::MAX_RUN_MS, ns));
    EXPECT_EQ(ns, 5001000000u);
    EXPECT_TRUE(sim::ParseMillis("5001.25", 0, sim::MAX_RUN_MS, ns));
    EXPECT_EQ(ns, 5001250000u);
    EXPECT_TRUE(sim::ParseMillis("0.001", 0, sim::MAX_RUN_MS, ns));
    EXPECT_EQ(ns, 1000u);

    ns = 7;
    for (const char *bad : {"", ".", "1.", ".5", "1.2345", "-1", "1.-2", "1,5", "1.5.1", "1e3"}) {
        EXPECT_FALSE(sim::ParseMillis(bad, 0, sim::MAX_RUN_MS, ns)) << bad;
    }
    EXPECT_FALSE(sim::ParseMillis("10.001", 0, 10, ns));
    EXPECT_FALSE(sim::ParseMillis("0.5", 1, 10, ns));
    EXPECT_EQ(ns, 7u);
}

TEST(ParseClock, TwoDigitFieldsInRange) {
    uint32_t s = 5;
    EXPECT_TRUE(ParseClock("00:00:00", s));
    EXPECT_EQ(s, 0u);
    EXPECT_TRUE(ParseClock("23:59:59", s));
    EXPECT_EQ(s, 86399u);
    EXPECT_TRUE(ParseClock("12:34:56", s));
    EXPECT_EQ(s, 45296u);

    s = 5;
    for (const char *bad : {"24:00:00", "12:60:00", "12:00:60", "1:00:00", "12:00", "12-00-00",
                            "12:00:00 ", "-1:00:00", "+1:00:00", "ab:cd:ef", ""}) {
        EXPECT_FALSE(ParseClock(bad, s)) << bad;
    }
    EXPECT_EQ(s, 5u);
}

// Every second of the day is written as ParseClock reads it back, and a count of seconds beyond
// a day is written as its time of day (the progress line puts the days in front).
TEST(FormatClock, WritesWhatParseClockReadsWithinTheDay) {
    for (uint32_t second = 0; second < 86400; ++second) {
        uint32_t back = 86400;
        ASSERT_TRUE(ParseClock(FormatClock(second), back)) << second;
        ASSERT_EQ(back, second);
    }
    EXPECT_EQ(FormatClock(86400), "00:00:00");
    EXPECT_EQ(FormatClock(3 * 86400 + 45296), "12:34:56");
    EXPECT_EQ(FormatClock(UINT64_MAX), "07:00:15");
}

} // namespace
