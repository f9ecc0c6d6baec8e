// Whole simulated days through the beacon on the virtual board, checked slot by slot from what
// the board puts out: CLK1 (when each carrier starts, on what tone 0) and the band lines. The
// share's slots and the offsets must be those the chip's unique ID gives, the carriers start at
// second 0, the bands follow the hop mode, and the lines keep their order around every carrier.
// Labelled long (seconds each).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bands.h"
#include "day_plan.h"
#include "line_watch.h"
#include "scenario.h"

using scenario::Command;
using scenario::OnFreshBoard;

namespace {

constexpr uint64_t MS = sim::MS;
constexpr uint64_t SLOT_NS = 120 * sim::SECOND;

struct Carrier {
    uint64_t on_ns;
    uint64_t min_uhz = UINT64_MAX; // the frame's lowest tone: tone 0 (every tone occurs)
    int code;
};

struct Day {
    std::vector<Carrier> carriers;
    lines::Margins margins;
};

// Runs a day from 00:01:00 UTC with these settings typed first.
Day RunDay(const std::vector<std::string> &settings) {
    Day day;
    std::vector<lines::Event> events;
    sim::Prepare();
    sim::BoardMcu().OnPinLevel([&events](uint64_t t, sim::Pin pin, int) {
        if (pin.port == 'B' && pin.number >= 12 && pin.number <= 14) {
            events.push_back({t, lines::Event::CODE, sim::BandCode()});
        } else if (pin.port == 'B' && pin.number == 15) {
            events.push_back({t, lines::Event::AMP, sim::Amplifier()});
        }
    });
    bool on = false;
    sim::Chip().on_change([&](const sim::Si5351Model::Change &c) {
        if (c.on && !on) {
            day.carriers.push_back({c.t_us * 1000, UINT64_MAX, sim::BandCode()});
        }
        if (c.on) {
            day.carriers.back().min_uhz = std::min(day.carriers.back().min_uhz, c.freq_uhz);
        }
        if (c.on != on) {
            on = c.on;
            events.push_back({c.t_us * 1000, lines::Event::CLK1, on ? 1 : 0});
        }
    });
    sim::Boot();
    scenario::RunUntilConsole("wspr> ", 0, 200);
    for (const std::string &line : settings) {
        EXPECT_NE(Command(line).find("ok\r\n"), std::string::npos) << line;
    }
    // The clock is set as the line's CR arrives (14 bytes at 115200 baud).
    const uint64_t start = sim::Now() + 14 * 86806;
    Command("time 00:01:00");
    sim::KeepNoHistory(); // the listeners above hear everything still
    sim::RunUntil(start + 24 * 3600 * sim::SECOND + 59 * sim::SECOND);
    // Slot n of the run starts at 00:02:00 + n x 120 s.
    day.margins = lines::Check(events);
    for (Carrier &c : day.carriers) {
        c.on_ns -= start + 60 * sim::SECOND; // from the first slot's second 0
    }
    return day;
}

uint32_t Tone0Hz(const Carrier &c) {
    return static_cast<uint32_t>((c.min_uhz + 500000) / 1000000);
}

void ExpectOrderKept(const lines::Margins &m) {
    for (const std::string &b : m.broken) {
        ADD_FAILURE() << b;
    }
    EXPECT_EQ(m.amp_off_with_clk1_on, 0u);
}

} // namespace

// 40m:1 30m:2 20m:3 in order, 20 % of the slots, offsets up to 80 Hz.
TEST(LongDay, OrderAtOneSlotInFiveWithOffsets) {
    OnFreshBoard([] {
        const Day day = RunDay({"set bands 40m:1 30m:2 20m:3", "set txpct 20", "set offset 80"});
        const uint32_t phase = Plan_SharePhase(
            {{mcu::DEFAULT_UID.w[0], mcu::DEFAULT_UID.w[1], mcu::DEFAULT_UID.w[2]}});
        uint32_t offset_state = Plan_OffsetSeed(
            {{mcu::DEFAULT_UID.w[0], mcu::DEFAULT_UID.w[1], mcu::DEFAULT_UID.w[2]}});
        const char *const bands[] = {"40m", "30m", "20m"};
        std::map<std::string, int> per_band;
        int32_t lo = 1000, hi = -1000;
        int64_t sum = 0;
        size_t next = 0;
        uint64_t last_slot = UINT64_MAX - 1;
        for (uint64_t n = 0; n < 720; ++n) {
            // Slot n of the run is slot n + 1 of the clock's first day.
            const bool expected = Plan_SlotHasFrame(n + 1, 20, phase);
            const bool sent = next < day.carriers.size() &&
                              day.carriers[next].on_ns < (n + 1) * SLOT_NS - 10 * sim::SECOND;
            ASSERT_EQ(sent, expected) << "slot " << n;
            if (!sent) {
                continue;
            }
            const Carrier &c = day.carriers[next];
            EXPECT_NE(last_slot + 1, n) << "two frames in a row at slot " << n;
            last_slot = n;
            // At second 0 of its slot, to the millisecond.
            EXPECT_GE(c.on_ns + MS, n * SLOT_NS) << "slot " << n;
            EXPECT_LT(c.on_ns, n * SLOT_NS + 2 * MS) << "slot " << n;
            const int entry = static_cast<int>(next % 3);
            const int band = Band_Find(bands[entry]);
            EXPECT_EQ(c.code, entry + 1) << "slot " << n;
            const int32_t offset =
                static_cast<int32_t>(Tone0Hz(c)) - static_cast<int32_t>(k_bands[band].tone0_hz);
            EXPECT_EQ(offset, Plan_DrawOffset(offset_state, 80)) << "slot " << n;
            ASSERT_LE(std::abs(offset), 80) << "slot " << n;
            ++per_band[bands[entry]];
            lo = std::min(lo, offset);
            hi = std::max(hi, offset);
            sum += offset;
            ++next;
        }
        EXPECT_EQ(next, day.carriers.size());
        EXPECT_EQ(day.carriers.size(), 144u); // 720 x 20 %
        ExpectOrderKept(day.margins);
        std::printf("day, order, 20 %%: %zu frames of 720 slots (share: 144); 40m %d, 30m %d, "
                    "20m %d; offsets %d..%d Hz, mean %.2f Hz\n",
                    day.carriers.size(), per_band["40m"], per_band["30m"], per_band["20m"], lo, hi,
                    static_cast<double>(sum) / static_cast<double>(day.carriers.size()));
        std::printf("smallest margins: code -> amplifier %.3f ms, amplifier -> CLK1 %.3f ms, "
                    "CLK1 off -> amplifier off %.3f ms\n",
                    day.margins.code_to_amp_ns / 1e6, day.margins.amp_to_clk1_ns / 1e6,
                    day.margins.clk1_to_amp_ns / 1e6);
    });
}

// Coordinated, every slot: the plan's 40 m and 20 m slots on those entries, every other slot on
// 6 m and 2 m in turn.
TEST(LongDay, CoordinatedEverySlot) {
    OnFreshBoard([] {
        const Day day = RunDay({"set bands 40m:1 20m:3 6m:5 2m:6", "set hop coordinated"});
        ASSERT_EQ(day.carriers.size(), 720u);
        int own = 0;
        for (uint64_t n = 0; n < 720; ++n) {
            const Carrier &c = day.carriers[n];
            EXPECT_GE(c.on_ns + MS, n * SLOT_NS) << "slot " << n;
            EXPECT_LT(c.on_ns, n * SLOT_NS + 2 * MS) << "slot " << n;
            const uint64_t minute = (2 + 2 * n) % 60; // the run's first slot is 00:02
            const char *band = minute % 20 == 6    ? "40m"
                               : minute % 20 == 10 ? "20m"
                               : own++ % 2 == 0    ? "6m"
                                                   : "2m";
            const int code = minute % 20 == 6 ? 1 : minute % 20 == 10 ? 3 : band[0] == '6' ? 5 : 6;
            EXPECT_EQ(Tone0Hz(c), k_bands[Band_Find(band)].tone0_hz) << "minute " << minute;
            EXPECT_EQ(c.code, code) << "minute " << minute;
        }
        ExpectOrderKept(day.margins);
    });
}
