#include "app_clock.h"

#include <stdio.h>

#include "app_config.h"
#include "app_message.h"
#include "app_reference.h"
#include "app_serial.h"
#include "day_plan.h"
#include "masked_section.h"
#include "gnss_time.h"
#include "stm32f4xx_hal.h"

namespace {

constexpr uint32_t NO_MINUTE = 0xFFFFFFFFU;
constexpr uint32_t NO_SECOND = 0xFFFFFFFFU;
constexpr uint32_t DAY_MS = DAY_SECONDS * 1000U;
// The same minute of the day comes back a day later, and sooner only when the clock is set back
// (within the minute by a receiver's correction): a slot taken less than this long ago is taken.
constexpr uint64_t SLOT_MEMORY_MS = 3600ULL * 1000ULL;
// A receiver's fix this close to the running clock corrects it and keeps the slot taken.
constexpr uint32_t CORRECTION_MS = 1000U;

// The millisecond count of the tick. The 32-bit count wraps after 49.7 days; symbol timing runs on
// a 64-bit extension that the main loop advances by the unsigned difference since its last look.
volatile uint32_t g_ms = 0;
uint64_t g_ms64 = 0;
uint32_t g_ms_seen = 0;

// Advanced by the tick while valid; set, and read for the schedule and the report, with
// interrupts masked.
volatile bool g_time_valid = false;
volatile uint32_t g_utc_seconds = 0;
volatile uint16_t g_utc_ms = 0;
// UTC days passed since the clock was first set: slots are numbered on without a break.
volatile uint32_t g_utc_day = 0;

// The last slot taken: the minute of the day it starts in and, on the 64-bit millisecond count,
// when.
uint32_t g_last_slot_minute = NO_MINUTE;
uint64_t g_last_slot_ms = 0;
// The second of the UTC day of the last GNSS time line printed.
uint32_t g_gnss_line_second = NO_SECOND;
// When the '$' of the sentence being parsed arrived, when known: a fix holds the time of that
// moment, and the clock is set to it plus what has passed since.
uint32_t g_sentence_ms = 0;
bool g_sentence_stamped = false;
// The last good pulse-per-second (the capture interrupt's tick count), and whether the clock's
// millisecond 0 is the pulse: set from a fix of a whole second that followed a pulse.
volatile uint32_t g_pulse_ms = 0;
volatile bool g_pulse_fresh = false;
volatile bool g_on_pulse = false;

void AdvanceUtc() {
    if (g_time_valid) {
        g_utc_ms = static_cast<uint16_t>(g_utc_ms + 1);
        if (g_utc_ms >= 1000) {
            g_utc_ms = 0;
            g_utc_seconds = g_utc_seconds + 1;
            if (g_utc_seconds >= DAY_SECONDS) {
                g_utc_seconds = 0;
                g_utc_day = g_utc_day + 1;
            }
        }
    }
}

// The clock at ms of the UTC day. A correction (a receiver's fix within CORRECTION_MS of the
// running clock) keeps the last slot; any other setting forgets it.
void SetUtc(uint32_t ms_of_day, bool correction) {
    const MaskedSection masked;
    const uint32_t was = g_utc_seconds * 1000U + g_utc_ms;
    const uint32_t ahead = (ms_of_day + DAY_MS - was) % DAY_MS;
    const bool close = ahead < CORRECTION_MS || DAY_MS - ahead < CORRECTION_MS;
    if (!(correction && g_time_valid && close)) {
        g_last_slot_minute = NO_MINUTE;
    }
    g_utc_seconds = ms_of_day / 1000U;
    g_utc_ms = static_cast<uint16_t>(ms_of_day % 1000U);
    g_time_valid = true;
}

void LogTimeSet(uint32_t hour, uint32_t minute, uint32_t second, const char *source) {
    char line[64];
    snprintf(line, sizeof line, "TIME set %02u:%02u:%02u UTC from %s\r\n",
             static_cast<unsigned>(hour), static_cast<unsigned>(minute),
             static_cast<unsigned>(second), source);
    Serial_Write(line);
}

// Every fix sets the clock; its line is printed for the first fix of each second, so a receiver
// sending 5 or 10 fixes a second prints one a second.
// A fix of a whole second that follows a good pulse within the second names the second that began
// at the pulse: the clock counts from the pulse, and each good pulse after it is millisecond 0.
void SetFromGnss(const GnssTime &fix) {
    const uint32_t second = fix.hour * 3600U + fix.minute * 60U + fix.second;
    const uint32_t since_start = g_sentence_stamped ? Clock_Ms() - g_sentence_ms : 0U;
    bool from_pulse = false;
    uint32_t since_pulse = 0;
    {
        const MaskedSection masked;
        since_pulse = Clock_Ms() - g_pulse_ms;
        from_pulse = g_pulse_fresh && fix.millisecond == 0 && g_sentence_stamped &&
                     g_sentence_ms - g_pulse_ms < 1000U;
        g_pulse_fresh = false;
    }
    if (from_pulse) {
        SetUtc((second * 1000U + since_pulse % DAY_MS) % DAY_MS, true);
        g_on_pulse = true;
    } else {
        SetUtc((second * 1000U + fix.millisecond + since_start % DAY_MS) % DAY_MS, true);
        g_on_pulse = false;
    }
    if (second != g_gnss_line_second) {
        g_gnss_line_second = second;
        LogTimeSet(fix.hour, fix.minute, fix.second, "GNSS");
    }
}

} // namespace

void Clock_Tick() {
    g_ms = g_ms + 1;
    AdvanceUtc();
}

uint32_t Clock_Ms() {
    return g_ms;
}

uint64_t Clock_Ms64() {
    const uint32_t now = g_ms;
    g_ms64 += static_cast<uint32_t>(now - g_ms_seen);
    g_ms_seen = now;
    return g_ms64;
}

bool Clock_Valid() {
    return g_time_valid;
}

uint32_t Clock_UtcSeconds() {
    const MaskedSection masked;
    return g_utc_seconds;
}

void Clock_Set(uint32_t hour, uint32_t minute, uint32_t second, const char *source) {
    if (hour > 23 || minute > 59 || second > 59) {
        Serial_Write("TIME rejected\r\n");
        return;
    }
    SetUtc((hour * 3600U + minute * 60U + second) * 1000U, false);
    g_on_pulse = false;
    g_gnss_line_second = NO_SECOND; // the receiver's next fix says so again
    LogTimeSet(hour, minute, second, source);
}

// At most the bytes that were waiting when it began (as for the console). The fixes' positions go
// to the locator.
void Clock_ProcessGnss() {
    uint8_t byte;
    for (uint8_t n = Serial_Pending(Link::GNSS); n > 0 && Serial_Pop(Link::GNSS, byte); --n) {
        GnssTime fix = {};
        if (byte == '$') {
            g_sentence_stamped = Serial_TakeSentenceStart(g_sentence_ms);
        }
        if (GNSS_TimeParser_Push(byte, &fix)) {
            Reference_NoteFix();
            SetFromGnss(fix);
            if (fix.has_position) {
                Message_TakePosition(fix.lat, fix.lon);
            }
        }
    }
}

void Clock_PulseSecond() {
    g_pulse_ms = g_ms;
    g_pulse_fresh = true;
    if (g_on_pulse && g_time_valid) {
        if (g_utc_ms >= 500U) {
            g_utc_seconds = (g_utc_seconds + 1U) % DAY_SECONDS;
        }
        g_utc_ms = 0;
    }
}

// The slot is known by the minute of the day it starts in, as the memory of the last one taken.
bool Clock_TakeSlot(uint32_t slot_seconds, uint32_t start_ms, uint32_t lead_ms, Slot &slot,
                    uint32_t &ms_to_start) {
    if (!g_time_valid) {
        return false;
    }
    __disable_irq();
    const uint32_t now = g_utc_seconds * 1000U + g_utc_ms;
    const uint32_t day = g_utc_day;
    __enable_irq();
    const uint32_t slot_ms = slot_seconds * 1000U;
    const uint32_t since = now % slot_ms;
    uint32_t start = 0; // the slot's start, in milliseconds of the day (of the next day: above)
    if (since >= start_ms && since < start_ms + 1000U) { // in the second the frame starts in
        start = now - since;
        ms_to_start = 0;
    } else if (since < start_ms && start_ms - since <= lead_ms) {
        start = now - since;
        ms_to_start = start_ms - since;
    } else if (since >= start_ms + 1000U && slot_ms - since + start_ms <= lead_ms) {
        start = now - since + slot_ms;
        ms_to_start = slot_ms - since + start_ms;
    } else {
        return false;
    }
    const uint32_t next_day = start >= DAY_MS ? 1U : 0U;
    start %= DAY_MS;
    const uint32_t minute_index = start / 60000U;
    const uint64_t t = Clock_Ms64();
    if (minute_index == g_last_slot_minute && t - g_last_slot_ms < SLOT_MEMORY_MS) {
        return false;
    }
    g_last_slot_minute = minute_index;
    g_last_slot_ms = t;
    slot = Plan_SlotAt(day + next_day, start / 1000U, slot_seconds);
    return true;
}

ClockStall Clock_StallBegins() {
    return {HAL_GetCycleCount(), g_ms};
}

// The stalled tick's interrupt waited and was taken once: it counted one of the missed
// milliseconds at most.
void Clock_StallEnds(const ClockStall &stall) {
    const uint32_t elapsed_ms = (HAL_GetCycleCount() - stall.cycles) / (CPU_CLOCK_HZ / 1000U);
    const MaskedSection masked;
    for (uint32_t counted = g_ms - stall.ms; counted < elapsed_ms; ++counted) {
        g_ms = g_ms + 1;
        AdvanceUtc();
    }
}
