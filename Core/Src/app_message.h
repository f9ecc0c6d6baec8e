// The message each frame sends: the frames of the callsign and locator in turn (type 1 or 2, then
// type 3 when the locator has 6 characters), from the first after a start or a change of callsign
// or locator; and the locator taken from the GNSS receiver's positions, between frames only.
#pragma once

#include <stdint.h>

#include "wspr_message.h"

// The message of the next frame; false when the settings give none.
bool Message_Next(WsprMessage *message);
// The next frame started with it: the one after it is next.
void Message_Sent();
// A position of the GNSS receiver (gnss_position.h): the locator follows it while it comes from
// GNSS, unless a frame is on the air (the next position after the frame is taken).
void Message_TakePosition(int32_t lat, int32_t lon);
// What the settings send, for the operator: the frames in turn ("A, then B"), or why no locator is
// sent. Bounded by size.
void Message_Describe(char *out, uint32_t size);
