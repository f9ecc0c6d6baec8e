#ifndef WSPR_ENCODER_H
#define WSPR_ENCODER_H

#include <stdint.h>

#define WSPR_SYMBOL_COUNT 162U

/* Generator polynomials of the rate-1/2, constraint-length-32 convolutional code. */
#define WSPR_POLY_0 0xF2D05351UL
#define WSPR_POLY_1 0xE4613C47UL

/* Builds the 162 channel symbols (0..3) of a WSPR type-1 message. False when the message cannot be
 * packed; the symbol array is then left untouched. */
bool WSPR_Encode(const char *callsign, const char *locator, uint8_t power_dbm,
                 uint8_t symbols[WSPR_SYMBOL_COUNT]);

/* The message packing and the fixed sync vector, constexpr so that worked examples are checked at
 * compile time; WSPR_Encode is their only user in the firmware. */
namespace wspr_encoder {

/* Synchronisation vector: the low bit of every channel symbol. */
inline constexpr uint8_t k_sync[WSPR_SYMBOL_COUNT] = {
    1, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 0, 0, 0, 1, 0, 0, 1, 0, 1, 1, 1, 1,
    0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 1, 1, 0, 0, 1, 1,
    0, 1, 0, 0, 0, 1, 1, 0, 1, 0, 0, 0, 0, 1, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 0, 1, 0,
    0, 1, 0, 1, 1, 0, 0, 0, 1, 1, 0, 1, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 1,
    0, 0, 1, 1, 1, 0, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 0, 1, 1, 1, 0, 0, 0, 0, 0, 1, 0,
    1, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 1, 0, 1, 1, 0, 0, 0, 1, 1, 0, 0, 0};

inline constexpr unsigned CALLSIGN_PLACES = 6U;
inline constexpr uint8_t MAX_POWER_DBM = 60U;

constexpr bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

constexpr char ToUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

/* '0'..'9' -> 0..9, letters (either case) -> 10..35, space -> 36, anything else -> -1. */
constexpr int CharValue(char c) {
    c = ToUpper(c);
    if (IsDigit(c)) {
        return c - '0';
    }
    if (c >= 'A' && c <= 'Z') {
        return c - 'A' + 10;
    }
    return c == ' ' ? 36 : -1;
}

/* Six upper-case characters, space padded, with the call area digit at index 2: a leading space is
 * added when the digit is second. False when the callsign is empty, holds a character other than a
 * letter, digit or space, does not fit the six places, or has no digit at index 2. May have written
 * part of out on failure. */
constexpr bool NormalizeCallsign(const char *input, char out[CALLSIGN_PLACES]) {
    if (input == nullptr) {
        return false;
    }
    unsigned len = 0;
    while (input[len] != '\0') {
        if (++len > CALLSIGN_PLACES) {
            return false;
        }
    }
    if (len == 0) {
        return false;
    }
    for (unsigned i = 0; i < CALLSIGN_PLACES; ++i) {
        out[i] = ' ';
    }
    unsigned pos = 0;
    if (len < 3 || !IsDigit(input[2])) {
        pos = 1;
    }
    // A six-character call that needs the leading space would lose its last character and name
    // another station.
    if (pos + len > CALLSIGN_PLACES) {
        return false;
    }
    for (unsigned i = 0; i < len; ++i, ++pos) {
        const char c = ToUpper(input[i]);
        if (CharValue(c) < 0) {
            return false;
        }
        out[pos] = c;
    }
    return IsDigit(out[2]);
}

/* The 28-bit callsign number N. Writes *n on success only. */
constexpr bool PackCallsign(const char *callsign, uint32_t *n) {
    char call[CALLSIGN_PLACES] = {};
    if (n == nullptr || !NormalizeCallsign(callsign, call)) {
        return false;
    }
    int c[CALLSIGN_PLACES] = {};
    for (unsigned i = 0; i < CALLSIGN_PLACES; ++i) {
        c[i] = CharValue(call[i]);
    }
    if (c[0] < 0 || c[1] < 0 || c[1] > 35 || c[2] > 9) {
        return false;
    }
    for (unsigned k = 3; k < CALLSIGN_PLACES; ++k) {
        if (c[k] < 10) {
            return false;
        }
    }
    uint32_t v = static_cast<uint32_t>(c[0]);
    v = v * 36U + static_cast<uint32_t>(c[1]);
    v = v * 10U + static_cast<uint32_t>(c[2]);
    for (unsigned k = 3; k < CALLSIGN_PLACES; ++k) {
        v = v * 27U + static_cast<uint32_t>(c[k] - 10); // trailing space counts 26
    }
    *n = v;
    return true;
}

/* Power levels a receiver decodes as a type-1 message: 0..60 dBm ending in 0, 3 or 7. Any other
 * level would be read as a different message type naming another station. */
constexpr bool IsPowerLevel(uint8_t power_dbm) {
    const unsigned last = power_dbm % 10U;
    return power_dbm <= MAX_POWER_DBM && (last == 0U || last == 3U || last == 7U);
}

/* The 22-bit locator-and-power number M from the first four locator characters (more are ignored).
 * Writes *m on success only. */
constexpr bool PackLocatorPower(const char *locator, uint8_t power_dbm, uint32_t *m) {
    if (locator == nullptr || m == nullptr || !IsPowerLevel(power_dbm)) {
        return false;
    }
    for (unsigned i = 0; i < 4U; ++i) {
        if (locator[i] == '\0') {
            return false;
        }
    }
    const char a = ToUpper(locator[0]);
    const char b = ToUpper(locator[1]);
    if (a < 'A' || a > 'R' || b < 'A' || b > 'R' || !IsDigit(locator[2]) || !IsDigit(locator[3])) {
        return false;
    }
    const uint32_t c = static_cast<uint32_t>(locator[2] - '0');
    const uint32_t d = static_cast<uint32_t>(locator[3] - '0');
    uint32_t value = 179U - 10U * static_cast<uint32_t>(a - 'A') - c;
    value = value * 180U + 10U * static_cast<uint32_t>(b - 'A') + d;
    *m = value * 128U + power_dbm + 64U;
    return true;
}

} // namespace wspr_encoder

#endif
