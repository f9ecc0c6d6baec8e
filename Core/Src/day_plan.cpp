#include "day_plan.h"

#include "bands.h"

namespace {

/* A 32-bit mix of the three words (each bit of the ID reaches every bit of the result). */
uint32_t Mix(const ChipUid &uid, uint32_t salt) {
    uint32_t h = 0x811C9DC5U ^ salt;
    for (uint32_t w : uid.w) {
        h = (h ^ w) * 0x01000193U;
        h ^= h >> 15;
        h *= 0x2C1B3C6DU;
        h ^= h >> 12;
    }
    return h;
}

bool OutsidePlan(uint32_t hz) {
    return Plan_PlacePlan(hz) < 0;
}

} // namespace

uint32_t Plan_SharePhase(const ChipUid &uid) {
    return Mix(uid, 0x5EED0001U) % 100U;
}

uint32_t Plan_OffsetSeed(const ChipUid &uid) {
    const uint32_t seed = Mix(uid, 0x5EED0002U);
    return seed != 0U ? seed : 1U; /* the generator never leaves 0 */
}

int Plan_PlacePlan(uint32_t hz) {
    const int band = Band_Of(hz);
    return band < 0 ? -1 : k_bands[band].plan_place;
}

int Plan_Entry(const WSPR_Settings &s, uint32_t minute_of_hour, bool manual, HopState &state) {
    const int count = Settings_BandCount(s);
    if (s.hop_mode == WSPR_HOP_COORDINATED) {
        const int place = Band_PlanPlace(minute_of_hour);
        for (int i = 0; i < count; ++i) {
            if (Plan_PlacePlan(Settings_BandHz(s, i)) == place) {
                return i;
            }
        }
        /* The entries outside the plan take the other slots in turn. */
        int own = 0;
        for (int i = 0; i < count; ++i) {
            own += OutsidePlan(Settings_BandHz(s, i)) ? 1 : 0;
        }
        if (own > 0) {
            const int pick = state.next_own % own;
            state.next_own = static_cast<uint8_t>((pick + 1) % own);
            for (int i = 0, seen = 0; i < count; ++i) {
                if (OutsidePlan(Settings_BandHz(s, i)) && seen++ == pick) {
                    return i;
                }
            }
        }
        if (!manual) {
            return -1;
        }
    }
    const int entry = state.next_entry % count;
    state.next_entry = static_cast<uint8_t>((entry + 1) % count);
    return entry;
}

/* xorshift32: a full period of 2^32 - 1 over the non-zero states. */
int32_t Plan_DrawOffset(uint32_t &state, uint32_t max_hz) {
    uint32_t x = state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    state = x;
    const uint64_t span = 2ULL * max_hz + 1ULL;
    return static_cast<int32_t>((static_cast<uint64_t>(x) * span) >> 32) -
           static_cast<int32_t>(max_hz);
}
