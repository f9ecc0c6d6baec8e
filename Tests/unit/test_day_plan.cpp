// The day's plan worked out slot by slot without running the beacon: the transmit share, the hop
// modes over the coordinated plan, and the offsets. The coordinated plan is written out here again
// from the published table, as an independent account of which band each minute belongs to.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "bands.h"
#include "day_plan.h"

namespace {

constexpr uint32_t SLOT_S = 120;
constexpr uint32_t SLOTS_A_DAY = 720;

// Even minute m of the hour belongs to this band ("160m" lies below the beacon's range).
const char *PlanBand(uint32_t minute) {
    static const char *const k_plan[] = {"160m", "80m", "60m", "40m", "30m",
                                         "20m",  "17m", "15m", "12m", "10m"};
    return k_plan[(minute % 20) / 2];
}

WSPR_Settings WithBands(const std::vector<uint32_t> &hz, uint8_t hop_mode) {
    WSPR_Settings s = k_settings_defaults;
    s.band_count = static_cast<uint8_t>(hz.size());
    s.hop_mode = hop_mode;
    for (size_t i = 0; i < hz.size(); ++i) {
        if (i == 0) {
            s.base_freq_hz = hz[i];
        } else {
            s.band_freq_hz[i - 1] = hz[i];
        }
        s.band_code[i] = static_cast<uint8_t>(i + 1);
    }
    return s;
}

uint32_t Hz(const char *band) {
    return k_bands[Band_Find(band)].tone0_hz;
}

std::vector<bool> Frames(uint32_t percent, uint32_t phase, uint64_t from, uint32_t n) {
    std::vector<bool> f;
    for (uint64_t slot = from; slot < from + n; ++slot) {
        f.push_back(Plan_SlotHasFrame(slot, percent, phase));
    }
    return f;
}

} // namespace

// Over every run of slots (short runs anywhere, and every run from the start) the frames number
// n x P / 100 to less than one; at 50 % or less never two in a row; across midnight too, since
// slots are numbered on.
TEST(DayPlanShare, EveryRunOfSlotsHoldsItsShare) {
    for (uint32_t percent : {0u, 1u, 7u, 20u, 33u, 50u, 51u, 80u, 99u, 100u}) {
        for (uint32_t phase : {0u, 41u, 99u}) {
            SCOPED_TRACE("share " + std::to_string(percent) + " phase " + std::to_string(phase));
            const uint32_t n = 2 * SLOTS_A_DAY + 17;
            const std::vector<bool> f = Frames(percent, phase, SLOTS_A_DAY - 5, n);
            std::vector<uint32_t> prefix(n + 1, 0);
            for (uint32_t i = 0; i < n; ++i) {
                prefix[i + 1] = prefix[i] + (f[i] ? 1 : 0);
            }
            for (uint32_t a = 0; a < n; ++a) {
                for (uint32_t b = a + 1; b <= n; b += (b - a < 64 || a == 0) ? 1 : 37) {
                    const double expected = (b - a) * percent / 100.0;
                    const double got = prefix[b] - prefix[a];
                    ASSERT_LT(std::abs(got - expected), 1.0) << "slots " << a << ".." << b;
                }
                if (percent <= 50 && a + 1 < n) {
                    ASSERT_FALSE(f[a] && f[a + 1]) << "two in a row at " << a;
                }
            }
        }
    }
}

// The phase comes from the unique ID: chips differ, and at one slot in five two chips mostly take
// different slots.
TEST(DayPlanShare, ThePhaseComesFromTheUniqueId) {
    std::set<uint32_t> phases;
    uint32_t same_pattern = 0;
    const uint32_t first = Plan_SharePhase({{0x002F0031, 0x30335109, 0x36353438}});
    for (uint32_t i = 0; i < 200; ++i) {
        const uint32_t phase = Plan_SharePhase({{0x002F0031 + i, 0x30335109, 0x36353438}});
        EXPECT_LT(phase, 100u);
        phases.insert(phase);
        same_pattern += Frames(20, phase, 0, 5) == Frames(20, first, 0, 5) ? 1 : 0;
    }
    EXPECT_GT(phases.size(), 70u);
    EXPECT_LT(same_pattern, 80u); // about one in five by chance
    EXPECT_NE(Plan_SharePhase({{1, 2, 3}}), Plan_SharePhase({{1, 2, 4}}));
}

// A day in coordinated mode, slot by slot: a slot whose plan band is in the list uses that entry;
// the others go to the entries outside the plan in turn, or stay free when there are none.
TEST(DayPlanHop, CoordinatedDayFollowsThePlan) {
    const WSPR_Settings with_own =
        WithBands({Hz("40m"), 14097070 /* 20 m */, Hz("6m"), 144490000 /* 2 m */, Hz("10m")},
                  WSPR_HOP_COORDINATED);
    const WSPR_Settings plan_only = WithBands({Hz("30m"), Hz("17m")}, WSPR_HOP_COORDINATED);
    HopState own_state{}, plan_state{};
    int own_turn = 0;
    for (uint32_t slot = 0; slot < SLOTS_A_DAY; ++slot) {
        const uint32_t minute = (slot * 2) % 60;
        SCOPED_TRACE("minute " + std::to_string(minute));
        const std::string band = PlanBand(minute);
        const int entry = Plan_Entry(with_own, minute, false, own_state);
        if (band == "40m") {
            EXPECT_EQ(entry, 0);
        } else if (band == "20m") {
            EXPECT_EQ(entry, 1);
        } else if (band == "10m") {
            EXPECT_EQ(entry, 4);
        } else {
            EXPECT_EQ(entry, own_turn % 2 == 0 ? 2 : 3); // 6 m, then 2 m
            ++own_turn;
        }
        const int only = Plan_Entry(plan_only, minute, false, plan_state);
        EXPECT_EQ(only, band == "30m" ? 0 : band == "17m" ? 1 : -1);
    }
    // A frame by hand in a free slot still goes out, on the list in order.
    HopState manual{};
    EXPECT_EQ(Plan_Entry(plan_only, 2 /* 80 m */, true, manual), 0);
    EXPECT_EQ(Plan_Entry(plan_only, 2, true, manual), 1);
    EXPECT_EQ(Plan_Entry(plan_only, 8 /* 30 m */, true, manual), 0);
}

// In order each frame takes the next entry, after the last the first, whatever the slot; a shorter
// list set meanwhile is followed from where it stands.
TEST(DayPlanHop, OrderTakesTheNextEntryEachFrame) {
    WSPR_Settings s = WithBands({Hz("40m"), Hz("30m"), Hz("20m")}, WSPR_HOP_ORDER);
    HopState state{};
    std::vector<int> got;
    for (uint32_t minute = 0; minute < 14; minute += 2) {
        got.push_back(Plan_Entry(s, minute, false, state));
    }
    EXPECT_EQ(got, (std::vector<int>{0, 1, 2, 0, 1, 2, 0}));
    s.band_count = 1;
    EXPECT_EQ(Plan_Entry(s, 0, false, state), 0);
    EXPECT_EQ(Plan_Entry(s, 0, true, state), 0);
}

// The offsets of a long run: every whole hertz of -N..+N comes up, none outside, evenly; N = 0
// leaves tone 0 alone; two chips draw different sequences.
TEST(DayPlanOffset, DrawsEveryWholeHertzWithinTheLimitEvenly) {
    uint32_t state = Plan_OffsetSeed({{0x002F0031, 0x30335109, 0x36353438}});
    std::vector<int> seen(161, 0);
    int64_t sum = 0;
    const int draws = 64000;
    for (int i = 0; i < draws; ++i) {
        const int32_t o = Plan_DrawOffset(state, 80);
        ASSERT_GE(o, -80);
        ASSERT_LE(o, 80);
        ++seen[static_cast<size_t>(o + 80)];
        sum += o;
    }
    for (int count : seen) {
        EXPECT_GT(count, draws / 161 / 2);
        EXPECT_LT(count, draws / 161 * 2);
    }
    EXPECT_LT(std::abs(static_cast<double>(sum) / draws), 1.0);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(Plan_DrawOffset(state, 0), 0);
    }
    uint32_t a = Plan_OffsetSeed({{1, 2, 3}}), b = Plan_OffsetSeed({{1, 2, 4}});
    int same = 0;
    for (int i = 0; i < 50; ++i) {
        same += Plan_DrawOffset(a, 100) == Plan_DrawOffset(b, 100) ? 1 : 0;
    }
    EXPECT_LT(same, 5);
}

// Slots are numbered on across midnight; the slot taken just before second 0 is the next one.
TEST(DayPlanSlots, NumberedWithoutABreakOverDays) {
    uint64_t last = 0;
    for (uint32_t day = 0; day < 3; ++day) {
        for (uint32_t second = 0; second < DAY_SECONDS; second += SLOT_S) {
            const Slot slot = Plan_SlotAt(day, second, SLOT_S);
            if (day + second > 0) {
                EXPECT_EQ(slot.number, last + 1);
            }
            EXPECT_EQ(slot.minute_of_hour, (second / 60) % 60);
            last = slot.number;
        }
    }
    EXPECT_EQ(Plan_SlotAt(2, DAY_SECONDS - 1, SLOT_S).number, 3 * SLOTS_A_DAY);
    EXPECT_EQ(Plan_SlotAt(0, 3599, 300).minute_of_hour, 0u); // 5-minute slots: the next hour
}
