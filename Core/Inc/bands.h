/* The amateur bands the beacon knows by name, and the coordinated band-hopping plan. One table:
 * each band's WSPR tone 0 (the dial frequency + 1500 Hz, the middle of the receivers' window) and
 * its place in the coordinated plan (160 m to 10 m; 2200 m and 630 m are in none). */
#ifndef BANDS_H
#define BANDS_H

#include <stddef.h>
#include <stdint.h>

#include "app_config.h"

struct Band {
    const char *name = ""; /* as the console shows it; it compares without regard to case */
    uint32_t tone0_hz = 0;
    int8_t plan_place = -1; /* the band's number in the coordinated plan, -1: not in it */
    /* FST4W's tone 0 where its dial differs from WSPR's (160 m: 1836.8 kHz), else 0 */
    uint32_t fst4w_tone0_hz = 0;
};

inline constexpr Band k_bands[] = {
    {"2200m", 137500, -1}, {"630m", 475700, -1}, {"160m", 1838100, 0, 1838300},
    {"80m", 3570100, 1},   {"60m", 5288700, 2},  {"40m", 7040100, 3},
    {"30m", 10140200, 4},  {"20m", 14097100, 5}, {"17m", 18106100, 6},
    {"15m", 21096100, 7},  {"12m", 24926100, 8}, {"10m", 28126100, 9},
    {"6m", 50294500, -1},  {"4m", 70092500, -1}, {"2m", 144490500, -1},
};
inline constexpr int BAND_COUNT = sizeof k_bands / sizeof k_bands[0];
/* The plan repeats every 20 minutes: even minute m of the hour is band number (m mod 20) / 2 of
 * 160m, 80m, 60m, 40m, 30m, 20m, 17m, 15m, 12m, 10m. */
inline constexpr uint32_t HOP_PLAN_MINUTES = 20U;
inline constexpr int HOP_PLAN_PLACES = 10;

/* Receivers decode dial + 1400 .. dial + 1600 Hz: a tone 0 up to 100 Hz from the band's tone 0
 * is on that band. */
inline constexpr uint32_t BAND_HALF_WINDOW_HZ = 100U;

constexpr char Band_Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

/* The band of this name (any case), or -1. */
constexpr int Band_Find(const char *name) {
    for (int i = 0; i < BAND_COUNT; ++i) {
        const char *a = k_bands[i].name;
        const char *b = name;
        while (*a != '\0' && *a == Band_Lower(*b)) {
            ++a;
            ++b;
        }
        if (*a == '\0' && *b == '\0') {
            return i;
        }
    }
    return -1;
}

/* The band whose receive window holds this tone 0, or -1. */
constexpr int Band_Of(uint32_t hz) {
    for (int i = 0; i < BAND_COUNT; ++i) {
        const uint32_t t = k_bands[i].tone0_hz;
        if (hz + BAND_HALF_WINDOW_HZ >= t && hz <= t + BAND_HALF_WINDOW_HZ) {
            return i;
        }
    }
    return -1;
}

/* The tone 0 a frame sends for a list entry: a band's own WSPR tone 0 moves to its FST4W tone 0 in
 * FST4W, where the two dials differ; any other frequency is sent as it is. */
constexpr uint32_t Band_Tone0ForMode(uint32_t hz, bool fst4w) {
    for (int i = 0; fst4w && i < BAND_COUNT; ++i) {
        if (k_bands[i].tone0_hz == hz && k_bands[i].fst4w_tone0_hz != 0U) {
            return k_bands[i].fst4w_tone0_hz;
        }
    }
    return hz;
}
static_assert(Band_Tone0ForMode(1838100, true) == 1838300 &&
              Band_Tone0ForMode(1838100, false) == 1838100 &&
              Band_Tone0ForMode(137500, true) == 137500 &&
              Band_Tone0ForMode(1838101, true) == 1838101);

/* The plan's place for the slot that starts in this minute of the hour. */
constexpr int Band_PlanPlace(uint32_t minute_of_hour) {
    return static_cast<int>((minute_of_hour % HOP_PLAN_MINUTES) / 2U);
}

/* Every band lies within the beacon's range; minutes 10, 30 and 50 are 20 m. */
static_assert(k_bands[0].tone0_hz >= WSPR_MIN_FREQ_HZ &&
              k_bands[BAND_COUNT - 1].tone0_hz <= WSPR_MAX_FREQ_HZ);
static_assert(Band_PlanPlace(10) == k_bands[Band_Find("20M")].plan_place &&
              Band_PlanPlace(30) == Band_PlanPlace(50) && Band_PlanPlace(58) == 9);
static_assert(Band_Of(14097070) == Band_Find("20M") && Band_Of(14096999) == -1 &&
              Band_Find("20") == -1);

#endif
