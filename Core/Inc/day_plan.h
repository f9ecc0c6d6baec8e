/* The beacon's day: which slots carry a frame (the transmit share), where each frame goes (the
 * band list and the hop mode) and how far its tone 0 moves (the random offset). Pure functions of
 * the settings, the slot and a little state the caller keeps, so a whole day can be worked out
 * without running one. Slots are numbered without a break over days; their length is a parameter
 * (WSPR: 120 s). */
#ifndef DAY_PLAN_H
#define DAY_PLAN_H

#include <stdint.h>

#include "settings.h"

/* The chip's 96-bit unique ID, as its three words read. */
struct ChipUid {
    uint32_t w[3];
};

/* A slot: its number since the clock started (day x slots a day + slot of the day) and the minute
 * of the hour it starts in. */
struct Slot {
    uint64_t number;
    uint32_t minute_of_hour;
};

/* The slot that starts at this second of the day, or the next one after it. */
constexpr Slot Plan_SlotAt(uint32_t day, uint32_t second_of_day, uint32_t slot_seconds) {
    const uint32_t per_day = DAY_SECONDS / slot_seconds;
    const uint32_t in_day = (second_of_day + slot_seconds - 1U) / slot_seconds;
    const uint64_t number = static_cast<uint64_t>(day) * per_day + in_day;
    const uint32_t start = (in_day % per_day) * slot_seconds;
    return {number, (start / 60U) % 60U};
}
static_assert(Plan_SlotAt(0, 86399, 120).number == 720 &&
              Plan_SlotAt(0, 86399, 120).minute_of_hour == 0 &&
              Plan_SlotAt(1, 600, 120).number == 725 &&
              Plan_SlotAt(1, 600, 120).minute_of_hour == 10);

/* The share's phase for this chip, 0..99: two beacons with the same share mostly take different
 * slots. */
uint32_t Plan_SharePhase(const ChipUid &uid);
/* Whether the slot carries a frame: over any run of n slots, the frames number n x percent / 100
 * to less than one, spread evenly (never two in a row at 50 % or less). */
constexpr bool Plan_SlotHasFrame(uint64_t slot_number, uint32_t percent, uint32_t phase) {
    const uint64_t before = (slot_number * percent + phase) / 100U;
    const uint64_t after = ((slot_number + 1U) * percent + phase) / 100U;
    return after > before;
}
static_assert(Plan_SlotHasFrame(7, 100, 0) && !Plan_SlotHasFrame(7, 0, 99) &&
              Plan_SlotHasFrame(4, 20, 0) && !Plan_SlotHasFrame(3, 20, 0) &&
              Plan_SlotHasFrame(3, 20, 20));

/* Where frames go next: the place in the list for `order`, and among the entries outside the
 * coordinated plan for `coordinated`. */
struct HopState {
    uint8_t next_entry;
    uint8_t next_own;
};
/* The list entry for a frame in the slot starting in this minute of the hour; -1 when the slot
 * stays free (coordinated, its band not in the list and no entry outside the plan). A frame asked
 * for by hand (manual) always goes somewhere: where the slot it falls in would send it, else the
 * next entry in order. */
int Plan_Entry(const WSPR_Settings &s, uint32_t minute_of_hour, bool manual, HopState &state);
/* The entry's band in the coordinated plan: its place, or -1 (6 m, 2 m, a frequency of one's own).
 */
int Plan_PlacePlan(uint32_t hz);

/* The offsets: a generator seeded by the chip's ID, drawn once per frame. */
uint32_t Plan_OffsetSeed(const ChipUid &uid);
/* A whole number of hertz in -max_hz..+max_hz, each equally likely. */
int32_t Plan_DrawOffset(uint32_t &state, uint32_t max_hz);
/* Tone 0 of the entry moved by the offset, kept within the beacon's range. */
constexpr uint32_t Plan_OffsetHz(uint32_t hz, int32_t offset) {
    const int64_t moved = static_cast<int64_t>(hz) + offset;
    return moved < static_cast<int64_t>(WSPR_MIN_FREQ_HZ)   ? WSPR_MIN_FREQ_HZ
           : moved > static_cast<int64_t>(WSPR_MAX_FREQ_HZ) ? WSPR_MAX_FREQ_HZ
                                                            : static_cast<uint32_t>(moved);
}
static_assert(Plan_OffsetHz(WSPR_MIN_FREQ_HZ + 5U, -80) == WSPR_MIN_FREQ_HZ &&
              Plan_OffsetHz(7040100, -80) == 7040020);

#endif
