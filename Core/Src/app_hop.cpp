#include "app_hop.h"

#include "app_clock.h"
#include "app_settings.h"
#include "band_list.h"
#include "bands.h"
#include "stm32f4xx_hal.h"

namespace {

HopState g_hop = {};
uint32_t g_share_phase = 0;
uint32_t g_offset_state = 1;

FramePlace PlaceOf(int entry) {
    const WSPR_Settings &s = Settings_Live();
    int32_t offset = Plan_DrawOffset(g_offset_state, s.offset_hz);
    const uint32_t hz = Settings_BandHz(s, entry);
    const uint32_t tone0 = Band_Tone0ForMode(hz, s.mode != TX_MODE_WSPR);
    if (!BandList_KeepsMargin(Plan_OffsetHz(tone0, offset))) {
        offset = -offset; // away from the Si5351's limits just below 150 MHz
    }
    return {entry, s.band_code[entry], offset, hz, Plan_OffsetHz(tone0, offset)};
}

} // namespace

void Hop_Init() {
    const ChipUid uid = {{HAL_GetUIDw0(), HAL_GetUIDw1(), HAL_GetUIDw2()}};
    g_share_phase = Plan_SharePhase(uid);
    g_offset_state = Plan_OffsetSeed(uid);
    g_hop = {};
}

bool Hop_ForSlot(const Slot &slot, FramePlace &place) {
    const WSPR_Settings &s = Settings_Live();
    if (!Plan_SlotHasFrame(slot.number, s.tx_percent, g_share_phase)) {
        return false;
    }
    const int entry = Plan_Entry(s, slot.minute_of_hour, false, g_hop);
    if (entry < 0) {
        return false;
    }
    place = PlaceOf(entry);
    return true;
}

FramePlace Hop_ForManual() {
    const uint32_t minute = Clock_Valid() ? (Clock_UtcSeconds() / 60U) % 60U : 0U;
    return PlaceOf(Plan_Entry(Settings_Live(), minute & ~1U, true, g_hop));
}
