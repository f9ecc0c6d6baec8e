// The UTC clock and the even-minute schedule, with time from the console and from GNSS.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "gnss_receiver.h"
#include "scenario.h"

using scenario::Boot;
using scenario::Command;
using scenario::OnFreshBoard;

namespace {

size_t Count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) {
        ++n;
    }
    return n;
}

// Virtual times (ns) at which frames started: the console's start lines, by when they ended.
struct Watch {
    std::vector<uint64_t> starts;
    std::string line;
    void Attach() {
        sim::Terminal().OnByte([this](uint64_t t, uint8_t b) {
            line.push_back(static_cast<char>(b));
            if (b == '\n') {
                if (line.find("TX start") != std::string::npos) {
                    starts.push_back(t);
                }
                line.clear();
            }
        });
    }
};

} // namespace

TEST(Schedule, EvenMinuteStartsAtOnceOddMinuteWaits) {
    OnFreshBoard([] {
        Boot();
        Watch w;
        w.Attach();
        std::string out = Command("time 12:00:00", "TX start");
        EXPECT_NE(
            out.find("TIME set 12:00:00 UTC from PC\r\nTX start QZ5RTV OM85 10dBm, 162 symbols"),
            std::string::npos)
            << out;
        ASSERT_EQ(w.starts.size(), 1u);
        EXPECT_EQ(Command("stop"), "stop\r\nTX complete, CLK1 disabled\r\nwspr> ");

        // Set during second 0 of the same minute again: the last start is forgotten.
        out = Command("time 12:00:00", "TX start");
        EXPECT_EQ(w.starts.size(), 2u);
        Command("stop");

        uint64_t set_at = sim::Now();
        Command("time 12:01:00");
        sim::RunFor(59900 * sim::MS);
        EXPECT_EQ(w.starts.size(), 2u);
        sim::RunFor(200 * sim::MS);
        ASSERT_EQ(w.starts.size(), 3u);
        // 60 s after the time was set, plus the time to print the start line.
        EXPECT_GE(w.starts[2] - set_at, 60000 * sim::MS);
        EXPECT_LT(w.starts[2] - set_at, 60010 * sim::MS);
    });
}

TEST(Schedule, OneFrameEveryTwoMinutesAndNoneWhileBusy) {
    OnFreshBoard([] {
        Boot();
        Watch w;
        w.Attach();
        Command("auto off");
        Command("time 12:01:30");
        Command("tx", "TX start"); // manual frame runs over 12:02:00
        Command("auto on");
        sim::RunFor(9 * 60 * sim::SECOND);
        // 12:01:30 manual, then 12:04, 12:06, 12:08, 12:10; 12:02 fell in the frame and is
        // not made up later.
        ASSERT_EQ(w.starts.size(), 5u);
        for (size_t i = 2; i < w.starts.size(); ++i) {
            uint64_t gap = w.starts[i] - w.starts[i - 1];
            EXPECT_GT(gap, 119990 * sim::MS);
            EXPECT_LT(gap, 120010 * sim::MS);
        }
        uint64_t first_auto = w.starts[1] - w.starts[0];
        EXPECT_GT(first_auto, 149 * sim::SECOND);
        EXPECT_LT(first_auto, 151 * sim::SECOND);
    });
}

TEST(Schedule, DayWrap) {
    OnFreshBoard([] {
        Boot();
        Watch w;
        w.Attach();
        Command("time 23:59:59");
        sim::RunFor(2 * sim::SECOND);
        ASSERT_EQ(w.starts.size(), 1u); // at 00:00:00
        std::string out = Command("show");
        EXPECT_NE(out.find("State: TX"), std::string::npos);
        EXPECT_NE(out.find("Time: valid 00:00:01 UTC"), std::string::npos);
    });
}

TEST(Schedule, NothingWithoutTimeAutoOrInError) {
    OnFreshBoard([] {
        Boot();
        Watch w;
        w.Attach();
        Command("auto on");
        sim::RunFor(5 * 60 * sim::SECOND);
        EXPECT_TRUE(w.starts.empty());
        Command("auto off");
        Command("time 12:00:00");
        sim::RunFor(5 * 60 * sim::SECOND);
        EXPECT_TRUE(w.starts.empty());
    });
    OnFreshBoard([] {
        Boot({.si5351_present = false});
        Watch w;
        w.Attach();
        Command("time 11:59:58");
        sim::RunFor(5 * 60 * sim::SECOND);
        EXPECT_TRUE(w.starts.empty());
        EXPECT_EQ(Count(sim::Console(), "TX rejected"), 0u);
    });
}

TEST(Schedule, RejectedTimeLeavesClockAsItWas) {
    OnFreshBoard([] {
        Boot();
        Command("auto off");
        EXPECT_EQ(Command("time 24:00:00"), "time 24:00:00\r\nTIME rejected\r\nwspr> ");
        EXPECT_NE(Command("show").find("Time: invalid"), std::string::npos);
        Command("time 10:00:00");
        sim::RunFor(5 * sim::SECOND);
        Command("time 10:60:00");
        EXPECT_NE(Command("show").find("Time: valid 10:00:05 UTC"), std::string::npos);
    });
}

TEST(Schedule, GnssClockSetsTimeEverySecondAndDrivesFrames) {
    OnFreshBoard([] {
        sim::Prepare();
        sim::Gnss().StartClock(0, 12 * 3600 + 1 * 60 + 50); // 12:01:50 begins at t = 0
        sim::Boot();
        Watch w;
        w.Attach();
        sim::RunFor(15 * sim::SECOND);
        std::string console = sim::Console();
        // One time-set line per second, each with the receiver's second.
        EXPECT_NE(console.find("TIME set 12:01:51 UTC from GNSS\r\n"), std::string::npos);
        EXPECT_NE(console.find("TIME set 12:02:00 UTC from GNSS\r\n"), std::string::npos);
        EXPECT_GE(Count(console, "from GNSS"), 13u);
        ASSERT_EQ(w.starts.size(), 1u);
        // The sentence for 12:02:00 starts 100 ms into the second and takes ~70 ms at 9600 baud:
        // the frame starts when it is read, within the first second of the even minute.
        uint64_t second_start = 10 * sim::SECOND;
        EXPECT_GT(w.starts[0], second_start + 100 * sim::MS);
        EXPECT_LT(w.starts[0], second_start + 300 * sim::MS);
    });
}

// A fix holds the time of the moment its sentence began: the clock is set to it plus the time the
// sentence took to arrive and wait, so the even minute's frame starts as soon after the moment the
// receiver began that sentence (100 ms into the second) as its set-up takes, once a second and
// ten times a second alike.
TEST(Schedule, GnssTimeCountsFromTheSentencesStart) {
    for (const uint32_t rate : {1U, 10U}) {
        SCOPED_TRACE(testing::Message() << rate << " fixes a second");
        OnFreshBoard([rate] {
            sim::Prepare();
            sim::Gnss().SetRate(rate);
            sim::Gnss().StartClock(0, 12 * 3600 + 1 * 60 + 55); // 12:02:00 begins at t = 5 s
            sim::Boot();
            sim::RunFor(6 * sim::SECOND);
            const auto &rf = sim::Chip().timeline();
            const auto on = std::find_if(rf.begin(), rf.end(),
                                         [](const sim::Si5351Model::Change &c) { return c.on; });
            ASSERT_NE(on, rf.end());
            const uint64_t sentence_us = 5 * 1000000 + 100000;
            ASSERT_GE(on->t_us, sentence_us);
            EXPECT_LT(on->t_us - sentence_us, 5000u);
            std::printf("%u fix(es) a second: CLK1 on %.3f ms after the sentence for the even "
                        "minute began\n",
                        rate, (on->t_us - sentence_us) / 1e3);
        });
    }
}

// The last automatic slot is remembered with the day it was on: the same even minute a day
// later, after a day without automatic frames, is sent.
TEST(Schedule, SameSlotADayLaterIsSent) {
    OnFreshBoard([] {
        Boot();
        Watch w;
        w.Attach();
        const uint64_t set_at = sim::Now();
        Command("time 11:59:58", "TX start", 3000);
        ASSERT_EQ(w.starts.size(), 1u);
        Command("stop");
        Command("auto off");
        // 11:59:30 the next day.
        sim::RunUntil(set_at + (24 * 3600 - 28) * sim::SECOND + 500 * sim::MS);
        EXPECT_NE(Command("show").find("Time: valid 11:59:30 UTC"), std::string::npos);
        Command("auto on");
        sim::RunFor(35 * sim::SECOND);
        ASSERT_EQ(w.starts.size(), 2u);
        EXPECT_GE(w.starts[1] - set_at, (24 * 3600 + 2) * sim::SECOND);
        EXPECT_LT(w.starts[1] - set_at, (24 * 3600 + 2) * sim::SECOND + 20 * sim::MS);
    });
}

namespace {

constexpr uint32_t DDMMYY = 81226;
constexpr uint32_t BEFORE_NOON = 11 * 3600 + 59 * 60; // 11:59:00

// Sentences of a 10 Hz receiver whose second `first` begins at t_ns, for `seconds` seconds; each
// starts 100 ms after the moment it reports, as the simulator's receiver sends them.
void TenFixesASecond(uint64_t t_ns, uint32_t first, uint32_t seconds) {
    for (uint32_t k = 0; k < seconds * 10; ++k) {
        sim::GnssAt(t_ns + k * 100 * sim::MS + 100 * sim::MS,
                    sim::GnssReceiver::RmcSentence(first + k / 10, DDMMYY, (k % 10) * 10));
    }
}

} // namespace

// A 10 Hz receiver: the clock takes the fraction of each fix, so it is no further behind than
// the sentence's delay, also when the receiver then falls silent on its fix for x.90 s; one time
// line a second.
TEST(Schedule, TenFixesASecondKeepTheClockToTheMillisecond) {
    OnFreshBoard([] {
        Boot();
        Watch w;
        w.Attach();
        const uint64_t t0 = sim::Now();
        sim::ClearConsole();
        TenFixesASecond(t0, BEFORE_NOON + 50, 9); // 11:59:50.00 to 11:59:58.90, then nothing
        sim::RunUntil(t0 + 9 * sim::SECOND + 200 * sim::MS);
        EXPECT_EQ(Count(sim::Console(), "from GNSS"), 9u) << sim::Console();
        EXPECT_NE(sim::Console().find("TIME set 11:59:58 UTC from GNSS\r\n"), std::string::npos);
        sim::RunUntil(t0 + 12 * sim::SECOND);
        ASSERT_EQ(w.starts.size(), 1u);
        // 12:00:00 began at t0 + 10 s; the last fix was read 100 ms + 73 ms after its moment.
        const uint64_t late = w.starts[0] - (t0 + 10 * sim::SECOND);
        EXPECT_LT(late, 200 * sim::MS);
        std::printf("10 Hz receiver silent after 11:59:58.90: the frame starts %.1f ms after the "
                    "even minute\n",
                    late / 1e6);
    });
}

// The receiver running on at 10 Hz through second 0: a frame started there and stopped in the
// same second is not started again by the next fixes of that second.
TEST(Schedule, TenFixesASecondStartTheSlotOnce) {
    OnFreshBoard([] {
        sim::Prepare();
        sim::Gnss().SetRate(10);
        sim::Gnss().StartClock(0, BEFORE_NOON + 58); // 12:00:00 begins at t = 2 s
        sim::Boot();
        Watch w;
        w.Attach();
        sim::RunUntil(2 * sim::SECOND + 400 * sim::MS);
        ASSERT_EQ(w.starts.size(), 1u);
        EXPECT_LT(w.starts[0], 2 * sim::SECOND + 200 * sim::MS);
        Command("stop");
        sim::RunUntil(10 * sim::SECOND);
        EXPECT_EQ(w.starts.size(), 1u);
        EXPECT_EQ(Count(sim::Console(), "from GNSS"), 10u) << sim::Console();
        std::printf("10 Hz receiver: the frame starts %.1f ms after the even minute\n",
                    (w.starts[0] - 2 * sim::SECOND) / 1e6);
    });
}
