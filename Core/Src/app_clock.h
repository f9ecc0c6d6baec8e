// Time: the millisecond count of the 1 ms tick and the UTC clock, set from the console or from
// the GNSS receiver's RMC sentences, and the even-minute slots of the schedule.
#pragma once

#include <stdint.h>

// Tick interrupt: one millisecond more, on the UTC clock too while it is valid.
void Clock_Tick();
// The millisecond count (wraps after 49.7 days) and its 64-bit extension; the extension is kept
// by the main loop, which looks at least every tick.
uint32_t Clock_Ms();
uint64_t Clock_Ms64();

bool Clock_Valid();
// Second of the UTC day, read with interrupts masked.
uint32_t Clock_UtcSeconds();
// From the console: out-of-range fields are refused with "TIME rejected".
void Clock_Set(uint32_t hour, uint32_t minute, uint32_t second, const char *source);
// The GNSS bytes waiting when it begins, through the sentence parser; valid fixes set the time to
// the millisecond they give as of the moment their sentence's '$' arrived, plus the time since,
// and print its line once a second; their positions go to the locator (app_message).
void Clock_ProcessGnss();
// Capture interrupt: a good pulse-per-second now. Once a fix has named a pulse's second, each good
// pulse is millisecond 0 of the next second (the nearest, from the running clock).
void Clock_PulseSecond();
// True once for each slot of slot_seconds (from second 0 of the UTC day on) whose frame starts
// start_ms into it (WSPR: 0; FST4W: 1000), from lead_ms before the frame's start to the end of the
// second it starts in, on any day (a time set anew forgets the last one taken; a receiver's
// correction of less than a second does not): the slot, and the milliseconds until the frame
// starts (0 once it is due).
struct Slot;
bool Clock_TakeSlot(uint32_t slot_seconds, uint32_t start_ms, uint32_t lead_ms, Slot &slot,
                    uint32_t &ms_to_start);

// Around an operation that stalls the CPU (a flash erase): the milliseconds the cycle counter saw
// pass beyond those the tick counted are added afterwards.
struct ClockStall {
    uint32_t cycles, ms;
};
ClockStall Clock_StallBegins();
void Clock_StallEnds(const ClockStall &stall);
