/* The messages a beacon sends and their 50-bit source packing: N (28 bits) and M (22 bits), the
 * same for every mode that carries these messages; the channel coding of a mode (wspr_encoder for
 * WSPR) takes the packed payload from here.
 *
 *   type 1  CALL GRID4 dBm         N = callsign          M = 128 * grid4 + dBm + 64
 *   type 2  PFX/CALL or CALL/SFX   N = base callsign     M = 128 * X + dBm + 1 + nadd + 64
 *   type 3  <CALL> GRID6 dBm       N = grid6 rotated     M = 128 * hash(CALL) - (dBm + 1) + 64
 *
 * A compound callsign carries one add-on: a prefix of 1 to 3 letters or digits, or a suffix of one
 * letter or digit or two digits 10..99. The frames a beacon sends in turn: type 1 alone (plain
 * callsign, 4-character locator), type 1 then type 3 (plain, 6 characters), type 2 then type 3
 * (compound, 6 characters), type 2 alone (compound, 4 characters: nothing carries a locator). */
#ifndef WSPR_MESSAGE_H
#define WSPR_MESSAGE_H

#include <stddef.h>
#include <stdint.h>

#define WSPR_BASE_CALL_MAX 6U /* the callsign type 1 packs */
#define WSPR_PREFIX_MAX 3U
#define WSPR_SUFFIX_MAX 2U
/* The longest full callsign: PFX/CALL. */
#define WSPR_CALL_TEXT_MAX (WSPR_PREFIX_MAX + 1U + WSPR_BASE_CALL_MAX)
#define WSPR_GRID4_LEN 4U
#define WSPR_GRID6_LEN 6U
/* The frames one cycle of the beacon's messages holds at most. */
#define WSPR_CYCLE_MAX 2U

typedef enum : uint8_t { WSPR_MSG_TYPE1 = 1, WSPR_MSG_TYPE2 = 2, WSPR_MSG_TYPE3 = 3 } WsprMsgType;

/* A callsign as the messages carry it: the base callsign and at most one add-on (empty texts when
 * there is none). */
typedef struct {
    char prefix[WSPR_PREFIX_MAX + 1];
    char base[WSPR_BASE_CALL_MAX + 1];
    char suffix[WSPR_SUFFIX_MAX + 1];
} WsprCallsign;

/* What is wrong with a callsign's text, for the reply that says why. */
typedef enum : uint8_t {
    WSPR_CALL_OK,
    WSPR_CALL_TOO_LONG,   /* a base callsign of more than 6 characters, or more than 10 in all */
    WSPR_CALL_INVALID,    /* a base callsign type 1 cannot pack */
    WSPR_CALL_BAD_PREFIX, /* a prefix not of 1 to 3 letters or digits */
    WSPR_CALL_BAD_SUFFIX, /* a suffix not one letter or digit or two digits 10..99 */
    WSPR_CALL_TWO_ADDONS, /* more than one '/' */
} WsprCallCheck;

/* The 50 bits of a message. */
typedef struct {
    uint32_t n; /* 28 bits */
    uint32_t m; /* 22 bits */
} WsprPayload;

/* One frame's message, as a receiver prints it. */
typedef struct {
    WsprMsgType type;
    char call[WSPR_CALL_TEXT_MAX + 1]; /* type 1: the base callsign; types 2 and 3: the full one */
    char locator[WSPR_GRID6_LEN + 1];  /* type 1: 4 characters; type 2: empty; type 3: 6 */
    uint8_t power_dbm;
} WsprMessage;

/* Upper-case text in; splits it into *out (written only on WSPR_CALL_OK). */
WsprCallCheck WSPR_ParseCallsign(const char *text, WsprCallsign *out);
/* The full callsign: PFX/CALL, CALL/SFX or CALL. out holds WSPR_CALL_TEXT_MAX + 1 bytes. */
void WSPR_CallsignText(const WsprCallsign *call, char *out);
/* The 15-bit hash a type 3 message carries of the full callsign (upper case, as type 1 or 2
 * carries it). */
uint16_t WSPR_CallsignHash(const char *full_call);

/* The frames to send in turn for this callsign, locator (4 or 6 characters, upper case) and power;
 * their number (1 or 2), 0 when the locator has another length. */
uint8_t WSPR_MessageCycle(const WsprCallsign *call, const char *locator, uint8_t power_dbm,
                          WsprMessage cycle[WSPR_CYCLE_MAX]);
/* The payload of a message; false when it cannot be packed (*out then untouched). */
bool WSPR_PackMessage(const WsprMessage *message, WsprPayload *out);
/* As a receiver prints it, with the power's unit: "QZ5RTV OM85 10dBm", "PJ4/QZ5RTV 10dBm",
 * "<PJ4/QZ5RTV> OM85AB 10dBm". Bounded by size; the formatted length. */
int WSPR_FormatMessage(const WsprMessage *message, char *out, size_t size);

/* The type-1 packing, constexpr so that worked examples are checked at compile time. */
namespace wspr_message {

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

/* Power levels a receiver decodes: 0..60 dBm ending in 0, 3 or 7. Any other level would be read as
 * a different message type naming another station. */
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

} // namespace wspr_message

#endif
