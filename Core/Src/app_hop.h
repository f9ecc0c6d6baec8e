// Where each frame goes: the slot's share decides whether a scheduled slot carries a frame, the
// hop mode which entry of the band list it takes, and the offset generator how far its tone 0
// moves. The share's phase and the generator come from the chip's unique ID.
#pragma once

#include <stdint.h>

#include "day_plan.h"

// A frame's place: the list entry, its band code and the tone 0 it is sent on (the entry's
// frequency moved by the offset).
struct FramePlace {
    int entry;
    uint8_t code;
    int32_t offset_hz;
    uint32_t entry_hz;
    uint32_t tone0_hz;
};

// Start-up: the chip's ID read; the list starts at its first entry.
void Hop_Init();
// A scheduled slot: false when it stays free (the share, or a coordinated slot with nowhere to go).
bool Hop_ForSlot(const Slot &slot, FramePlace &place);
// A frame asked for by hand (tx, the key): always somewhere.
FramePlace Hop_ForManual();
