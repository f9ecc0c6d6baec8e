#include "app_reference.h"

#include <stdio.h>

#include "app_clock.h"
#include "app_serial.h"
#include "app_settings.h"
#include "masked_section.h"
#include "si5351.h"

namespace {

/* Pulses count while the last valid fix is at most this old. */
constexpr uint32_t FIX_FRESH_MS = 2000U;
/* Locked after this many good seconds in a row (each within the tolerance of the estimate). */
constexpr uint32_t LOCK_SECONDS = 20U;
/* Locked, no good second for this long: the pulses are lost. */
constexpr uint32_t LOSS_MS = 2500U;
/* A second's count may differ from the estimate by this much before there is one (the configured
 * crystal may be far off: 1000 ppm), and by this many counts (2 ppm) once a few seconds have been
 * good; in holdover the window widens by one count every 8 s for the drift meanwhile. */
constexpr uint32_t WIDE_TOLERANCE_DIV = 1000U;
constexpr uint32_t NARROW_AFTER = 5U;
constexpr uint32_t NARROW_TOLERANCE = 25U;
constexpr uint32_t HOLDOVER_WIDENING_MS = 8000U;
/* This many seconds in a row outside the narrow window: the crystal moved more than the filter
 * follows (a jolt, a finger on it), and the estimate starts over from the counts. */
constexpr uint32_t REACQUIRE_AFTER = 8U;
/* In holdover the drift measured before the loss is carried on this long, then the estimate holds.
 */
constexpr uint32_t TREND_LIMIT_MS = 600000U;

/* The tracking filter: a fading-memory polynomial filter of second degree on CLK0's phase
 * (counts), one step a second. It follows a crystal whose frequency ramps without a lag (phase,
 * frequency and drift are its state) and averages the phase noise of the count (one count of
 * quantisation, the pulse's jitter) over about 1 / (1 - THETA) = 50 s. Its memory grows from one
 * second to that at the start, so the first estimate comes at once and the lock within
 * LOCK_SECONDS. */
constexpr double THETA = 0.98;
constexpr double START_SPAN = 4.0;

struct Filter {
    double freq;  /* counts a second */
    double drift; /* counts a second, per second */
    double phase; /* measured minus filtered phase, counts */
    uint32_t steps;
};

/* Shared with the capture interrupt. */
struct Intervals {
    uint32_t counts[4];
    uint32_t at_ms[4];
    uint8_t head, size;
};
volatile uint32_t g_expected = 0;  /* counts in a second as the filter expects them */
volatile uint32_t g_tolerance = 0; /* counts */
volatile bool g_fix_seen = false;
volatile uint32_t g_fix_ms = 0;
volatile uint32_t g_rejected_in_row = 0;
bool g_have_last = false;
uint32_t g_last_count = 0;
Intervals g_intervals = {};

/* Main loop only. */
Filter g_filter = {};
ReferenceState g_state = ReferenceState::SET;
bool g_estimated = false;
uint32_t g_last_good_ms = 0;
uint32_t g_lost_ms = 0;
double g_held_freq = 0;

constexpr uint32_t XTAL_PER_COUNT = SI5351_REF_XTAL_PER_COUNT;
constexpr double MHZ_PER_COUNT = 1000.0 * static_cast<double>(XTAL_PER_COUNT);

/* CLK0 counts a second for a crystal of xtal_mhz millihertz. */
double CountsOf(uint64_t xtal_mhz) {
    return static_cast<double>(xtal_mhz) / MHZ_PER_COUNT;
}

/* Rounded to the nearest (counts are positive). */
uint64_t MilliHzOf(double counts) {
    // NOLINTNEXTLINE(bugprone-incorrect-roundings)
    return static_cast<uint64_t>(counts * MHZ_PER_COUNT + 0.5);
}

uint64_t ConfiguredMilliHz() {
    return static_cast<uint64_t>(Settings_Live().xtal_hz) * 1000U;
}

/* The estimate in holdover: the last one, with the drift carried on for a while. */
double HeldFreq() {
    uint32_t since = Clock_Ms() - g_lost_ms;
    since = since < TREND_LIMIT_MS ? since : TREND_LIMIT_MS;
    return g_held_freq + g_filter.drift * static_cast<double>(since) / 1000.0;
}

/* Between two seconds the estimate goes on with the drift, as in holdover: no step when the
 * pulses stop. */
double EstimateCounts() {
    if (!g_estimated) {
        return CountsOf(ConfiguredMilliHz());
    }
    if (g_state == ReferenceState::HOLDOVER) {
        return HeldFreq();
    }
    return g_filter.freq +
           g_filter.drift * static_cast<double>(Clock_Ms() - g_last_good_ms) / 1000.0;
}

void Publish() {
    const double expected = EstimateCounts();
    uint32_t tolerance = static_cast<uint32_t>(expected) / WIDE_TOLERANCE_DIV;
    if (g_estimated && g_filter.steps >= NARROW_AFTER) {
        uint32_t narrow = NARROW_TOLERANCE;
        if (g_state == ReferenceState::HOLDOVER) {
            narrow += (Clock_Ms() - g_lost_ms) / HOLDOVER_WIDENING_MS;
        }
        tolerance = narrow < tolerance ? narrow : tolerance;
    }
    const MaskedSection masked;
    // NOLINTNEXTLINE(bugprone-incorrect-roundings): the count is positive
    g_expected = static_cast<uint32_t>(expected + 0.5);
    g_tolerance = tolerance;
}

void LogCrystal(const char *what) {
    char line[64];
    const uint64_t mhz = MilliHzOf(g_filter.freq);
    snprintf(line, sizeof line, "%s, crystal %lu.%03u Hz\r\n", what,
             static_cast<unsigned long>(mhz / 1000U), static_cast<unsigned>(mhz % 1000U));
    Serial_Write(line);
}

/* One good second of `counts`. */
void Step(uint32_t counts, uint32_t at_ms) {
    Filter &f = g_filter;
    const double d = static_cast<double>(counts);
    if (!g_estimated) {
        f = {d, 0.0, 0.0, 1U};
        g_estimated = true;
    } else {
        if (g_state == ReferenceState::HOLDOVER) {
            /* Back from holdover where the held estimate left off: no step. */
            f.freq = HeldFreq();
            f.phase = 0.0;
        }
        const double span =
            static_cast<double>(f.steps) / (static_cast<double>(f.steps) + START_SPAN);
        const double theta = span < THETA ? span : THETA;
        const double one = 1.0 - theta;
        const double alpha = 1.0 - theta * theta * theta;
        const double beta = 1.5 * one * one * (1.0 + theta);
        const double gamma = 0.5 * one * one * one;
        const double r = f.phase + d - f.freq - f.drift / 2.0;
        f.freq += f.drift + beta * r;
        f.drift += 2.0 * gamma * r;
        f.phase = (1.0 - alpha) * r;
        ++f.steps;
    }
    g_last_good_ms = at_ms;
    if (g_state == ReferenceState::HOLDOVER) {
        g_state = ReferenceState::GNSS;
        Serial_Write("PPS back\r\n");
    } else if (g_state == ReferenceState::SET && f.steps >= LOCK_SECONDS) {
        g_state = ReferenceState::GNSS;
        LogCrystal("PPS locked");
    }
}

bool PopInterval(uint32_t &counts, uint32_t &at_ms) {
    const MaskedSection masked;
    if (g_intervals.size == 0) {
        return false;
    }
    const uint8_t tail = static_cast<uint8_t>((g_intervals.head + 4U - g_intervals.size) % 4U);
    counts = g_intervals.counts[tail];
    at_ms = g_intervals.at_ms[tail];
    --g_intervals.size;
    return true;
}

} // namespace

void Reference_Pulse(uint32_t count) {
    const uint32_t now = Clock_Ms();
    if (!g_fix_seen || now - g_fix_ms > FIX_FRESH_MS) {
        g_have_last = false;
        return;
    }
    if (!g_have_last) {
        g_have_last = true;
        g_last_count = count;
        return;
    }
    const uint32_t counts = count - g_last_count;
    const uint32_t expected = g_expected;
    if (counts < expected / 2U) {
        return; /* a glitch between two pulses: the second runs on from the last good one */
    }
    g_last_count = count;
    const uint32_t off = counts > expected ? counts - expected : expected - counts;
    if (off > g_tolerance) {
        g_rejected_in_row = g_rejected_in_row + 1U; /* a missed pulse, a jump */
        return;
    }
    g_rejected_in_row = 0;
    Clock_PulseSecond();
    if (g_intervals.size < 4U) {
        g_intervals.counts[g_intervals.head] = counts;
        g_intervals.at_ms[g_intervals.head] = now;
        g_intervals.head = static_cast<uint8_t>((g_intervals.head + 1U) % 4U);
        ++g_intervals.size;
    }
}

void Reference_NoteFix() {
    const MaskedSection masked;
    g_fix_ms = Clock_Ms();
    g_fix_seen = true;
}

void Reference_Process() {
    uint32_t counts = 0, at_ms = 0;
    while (PopInterval(counts, at_ms)) {
        Step(counts, at_ms);
    }
    const uint32_t now = Clock_Ms();
    if (g_estimated && now - g_last_good_ms > LOSS_MS) {
        if (g_state == ReferenceState::GNSS) {
            g_state = ReferenceState::HOLDOVER;
            g_lost_ms = g_last_good_ms;
            g_held_freq = g_filter.freq;
            Serial_Write("PPS lost\r\n");
        } else if (g_state == ReferenceState::SET) {
            g_estimated = false; /* lost before the lock: start again */
        }
    }
    if (g_rejected_in_row >= REACQUIRE_AFTER) {
        g_rejected_in_row = 0;
        g_filter.steps = 0; /* the wide window again; the filter starts over at the next second */
        if (g_state == ReferenceState::SET) {
            g_estimated = false;
        }
    }
    Publish();
}

ReferenceState Reference_State() {
    return g_state;
}

uint64_t Reference_XtalMilliHz() {
    return g_estimated && g_state != ReferenceState::SET ? MilliHzOf(EstimateCounts())
                                                         : ConfiguredMilliHz();
}

void Reference_Describe(char *text, size_t size) {
    const uint64_t mhz = Reference_XtalMilliHz();
    const unsigned long hz = static_cast<unsigned long>(mhz / 1000U);
    const unsigned frac = static_cast<unsigned>(mhz % 1000U);
    switch (g_state) {
    case ReferenceState::GNSS:
        snprintf(text, size, "GNSS, crystal %lu.%03u Hz", hz, frac);
        break;
    case ReferenceState::HOLDOVER:
        snprintf(text, size, "holdover %lu s, crystal %lu.%03u Hz",
                 static_cast<unsigned long>((Clock_Ms() - g_lost_ms) / 1000U), hz, frac);
        break;
    default:
        snprintf(text, size, "set, crystal %lu Hz", hz);
        break;
    }
}
