// The band lines (PB12..PB14: the frame's band code) and the amplifier line (PB15) around each
// frame, in this order: the code goes on the lines only while the amplifier and CLK1 are off, at
// least LINES_LEAD_MS before the amplifier goes on, the amplifier at least AMP_LEAD_MS before
// CLK1; after the frame CLK1 goes off first and the amplifier AMP_LAG_MS later, or at once when
// switching CLK1 off failed. A scheduled frame's lead comes before its slot, so its carrier starts
// at second 0; a frame asked for by hand starts after its lead.
#pragma once

#include <stdint.h>

#include "day_plan.h"

constexpr uint32_t LINES_LEAD_MS = 52;
constexpr uint32_t AMP_LEAD_MS = 22;
constexpr uint32_t AMP_LAG_MS = 22;
// A scheduled slot is taken this long before it starts.
constexpr uint32_t SLOT_LEAD_MS = 100;

// The "tx" command and the key: a frame after its lead, or the transmitter's refusal.
void Lines_RequestFrame();
// The schedule: the slot starting in ms_to_start milliseconds (0: it has started), when the
// share and the hop mode give it a frame.
void Lines_ScheduleSlot(const Slot &slot, uint32_t ms_to_start);
// Nothing in progress around a carrier: the next scheduled slot can be taken.
bool Lines_Idle();
// A carrier is on its way (the lines lead it) or on the air.
bool Lines_Leading();
// Each pass, before the transmitter serves its request: the lines' next step when it is due.
void Lines_Process();
// The transmitter, every time it switched CLK1 off (ok) or failed to (not ok).
void Lines_CarrierOff(bool ok);
// Any context, a fault handler included: the amplifier off now.
void Lines_AmplifierOffNow();
// The frame being started: its tone 0, and its line on the console after the start line.
uint32_t Lines_FrameTone0Hz();
void Lines_LogFrame();
