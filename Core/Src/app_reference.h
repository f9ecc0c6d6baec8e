// The Si5351's crystal measured against the GNSS receiver's pulse-per-second: TIM2 counts CLK0
// (the crystal / 2) and captures the count at each pulse; the counts between good pulses, while
// the receiver reports a valid fix, go through a tracking filter whose estimate replaces the
// configured crystal in the tone plans. Without pulses the last estimate holds (holdover).
#pragma once

#include <stddef.h>
#include <stdint.h>

enum class ReferenceState : uint8_t {
    SET,      // no estimate yet: the configured crystal (`set xtal`)
    GNSS,     // locked to the pulses
    HOLDOVER, // pulses lost after a lock: the last estimate, carried on
};

// Capture interrupt: TIM2's count at a pulse.
void Reference_Pulse(uint32_t count);
// A valid fix (RMC status A) came in now: pulses count for the next two seconds.
void Reference_NoteFix();
// Main loop: the good seconds through the filter; the lock, loss and return lines.
void Reference_Process();

ReferenceState Reference_State();
// The crystal to plan with, in millihertz: the estimate once there is one, else the configured
// crystal.
uint64_t Reference_XtalMilliHz();
// The `show` line's text after "Reference: ", without line end.
void Reference_Describe(char *text, size_t size);
