/* The modes a frame goes out in: WSPR, or FST4W with one of its four periods. One table holds what
 * the transmitter, the schedule and the console need of each: its name, its period, the symbols of
 * a frame, how long a symbol lasts and the tone spacing, and when in its period a frame starts. */
#ifndef TX_MODE_H
#define TX_MODE_H

#include <stdint.h>

#include "app_config.h"

typedef enum : uint8_t {
    TX_MODE_WSPR = 0,
    TX_MODE_FST4W_120 = 1,
    TX_MODE_FST4W_300 = 2,
    TX_MODE_FST4W_900 = 3,
    TX_MODE_FST4W_1800 = 4,
} TxMode;

#define TX_MODE_COUNT 5U

/* FST4W's symbols are whole numbers of samples at 12 kHz: a symbol lasts samples / 12000 s, and the
 * tones are 12000 / samples Hz apart. */
#define FST4W_SAMPLE_RATE_HZ 12000U

typedef struct {
    const char *name;    /* as the console takes and shows it */
    uint16_t period_s;   /* frames start in periods of this length, counted from 00:00 UTC */
    uint16_t start_ms;   /* a frame starts this long after its period's start */
    uint16_t symbols;    /* symbols of a frame */
    uint64_t symbol_num; /* a symbol lasts symbol_num / symbol_den microseconds */
    uint32_t symbol_den;
    uint64_t spacing_uhz; /* tone k at tone 0 + k x this */
} TxModeInfo;

namespace tx_mode {
constexpr uint64_t FstSpacingUhz(uint32_t samples) {
    return (uint64_t{FST4W_SAMPLE_RATE_HZ} * 1000000ULL * 2U / samples + 1U) / 2U; /* rounded */
}
/* One symbol in microseconds as a fraction: samples x 10^6 / 12000 = samples x 250 / 3. */
inline constexpr TxModeInfo k_modes[TX_MODE_COUNT] = {
    {"wspr", 120, 0, 162, WSPR_SYMBOL_PERIOD_US, 1, WSPR_TONE_SPACING_UHZ},
    {"fst4w-120", 120, 1000, 160, 8200ULL * 250U, 3, FstSpacingUhz(8200)},
    {"fst4w-300", 300, 1000, 160, 21504ULL * 250U, 3, FstSpacingUhz(21504)},
    {"fst4w-900", 900, 1000, 160, 66560ULL * 250U, 3, FstSpacingUhz(66560)},
    {"fst4w-1800", 1800, 1000, 160, 134400ULL * 250U, 3, FstSpacingUhz(134400)},
};
static_assert(k_modes[TX_MODE_FST4W_120].spacing_uhz == 1463415U &&
              k_modes[TX_MODE_FST4W_1800].spacing_uhz == 89286U);
} // namespace tx_mode

/* The mode's entry; WSPR's for a value outside the table. */
inline const TxModeInfo &TxMode_Info(uint8_t mode) {
    return tx_mode::k_modes[mode < TX_MODE_COUNT ? mode : 0U];
}

/* A mode by its name (any case): its TxMode, or TX_MODE_COUNT for none. */
inline uint8_t TxMode_ByName(const char *name) {
    for (uint8_t m = 0; m < TX_MODE_COUNT; ++m) {
        const char *want = tx_mode::k_modes[m].name;
        unsigned i = 0;
        while (want[i] != '\0' && (name[i] == want[i] || name[i] == want[i] - ('a' - 'A'))) {
            ++i;
        }
        if (want[i] == '\0' && name[i] == '\0') {
            return m;
        }
    }
    return TX_MODE_COUNT;
}

/* When symbol k of a frame starts, in microseconds from the frame's start: exact on the beacon's
 * clock for every k, so the symbol grid does not drift over a 30-minute frame. */
inline uint64_t TxMode_SymbolStartUs(const TxModeInfo &mode, uint32_t k) {
    return k * mode.symbol_num / mode.symbol_den;
}

#endif
