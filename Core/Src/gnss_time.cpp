#include "gnss_time.h"

#include <string.h>

#include "gnss_position.h"

namespace {

/* Longest line kept: one byte of the buffer is reserved for the terminator. */
constexpr uint8_t LINE_TEXT_MAX = NMEA_LINE_MAX - 1U;
constexpr size_t RMC_ID_LEN = 7U;

char g_line[NMEA_LINE_MAX];
uint8_t g_pos;

constexpr int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

constexpr bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

/* The two characters at text must be decimal digits; their value goes to *value. */
bool ParsePair(const char *text, uint8_t *value) {
    if (!IsDigit(text[0]) || !IsDigit(text[1])) {
        return false;
    }
    *value = static_cast<uint8_t>((text[0] - '0') * 10 + (text[1] - '0'));
    return true;
}

/* XOR of the bytes between '$' and the first '*' against the two hex digits after the '*';
 * anything after those digits is ignored. */
constexpr bool ChecksumOk(const char *line) {
    if (line[0] != '$') {
        return false;
    }
    uint8_t sum = 0U;
    const char *p = line + 1;
    for (; *p != '\0' && *p != '*'; ++p) {
        sum = static_cast<uint8_t>(sum ^ static_cast<uint8_t>(*p));
    }
    if (*p != '*' || p[1] == '\0' || p[2] == '\0') {
        return false;
    }
    const int high = HexValue(p[1]);
    const int low = HexValue(p[2]);
    if (high < 0 || low < 0) {
        return false;
    }
    return sum == static_cast<uint8_t>(high * 16 + low);
}

static_assert(
    ChecksumOk("$GPRMC,235725.02,A,4808.9977,N,01135.0800,E,000.0,000.0,060419,003.0,E,A*30"));
static_assert(ChecksumOk("$GPRMC,000000,A*0a") && ChecksumOk("$GPRMC,000000,A*0A\r"));
static_assert(!ChecksumOk("$GPRMC,000000,A*0B") && !ChecksumOk("$GPRMC,000000,A*0"));
static_assert(!ChecksumOk("$GPRMC,000000,A*0G") && !ChecksumOk("$GPRMC,000000,A"));

/* The digits after the seconds' decimal point, as milliseconds: the first three count, later ones
 * are dropped (truncated, so the second never rounds up). Anything else after the seconds, or
 * none, is 0. */
uint16_t ParseFraction(const char *time, size_t time_len) {
    uint16_t ms = 0U;
    if (time_len > 6U && time[6] == '.') {
        uint16_t scale = 100U;
        for (const char *p = time + 7; scale > 0U && IsDigit(*p); ++p, scale /= 10U) {
            ms = static_cast<uint16_t>(ms + (*p - '0') * scale);
        }
    }
    return ms;
}

/* Length of the comma-separated field starting at field (up to the next comma or the end). */
size_t FieldLength(const char *field) {
    return strcspn(field, ",");
}

/* Fields are taken by position, so an empty field stays in its place: an empty time or status
 * can never be replaced by a later field. */
bool ParseRmc(const char *line, GnssTime *out) {
    if (strncmp(line, "$GPRMC,", RMC_ID_LEN) != 0 && strncmp(line, "$GNRMC,", RMC_ID_LEN) != 0) {
        return false;
    }
    if (!ChecksumOk(line)) {
        return false;
    }

    const char *time = line + RMC_ID_LEN;
    const size_t time_len = FieldLength(time);
    if (time[time_len] != ',') {
        return false; /* no status field */
    }
    const char *status = time + time_len + 1;
    if (status[0] != 'A' || time_len < 6U) {
        return false;
    }

    /* Fields are filled as they are read, before the range test. */
    if (!ParsePair(time, &out->hour) || !ParsePair(time + 2, &out->minute) ||
        !ParsePair(time + 4, &out->second)) {
        return false;
    }
    if (out->hour > 23U || out->minute > 59U || out->second > 59U) {
        return false;
    }
    out->millisecond = ParseFraction(time, time_len);
    const size_t status_len = FieldLength(status);
    out->has_position = status[status_len] == ',' &&
                        GNSS_ParsePosition(status + status_len + 1, &out->lat, &out->lon);
    out->valid = true;
    return true;
}

} // namespace

void GNSS_TimeParser_Init(void) {
    g_pos = 0U;
}

bool GNSS_TimeParser_Push(uint8_t byte, GnssTime *out) {
    if (byte == '$') {
        g_pos = 0U;
    }
    if (byte == '\r' || byte == '\n') {
        if (g_pos == 0U) {
            return false;
        }
        g_line[g_pos] = '\0';
        g_pos = 0U;
        return ParseRmc(g_line, out);
    }
    if (g_pos < LINE_TEXT_MAX) {
        g_line[g_pos] = static_cast<char>(byte);
        ++g_pos;
    } else {
        g_pos = 0U; /* over-long line: drop it and start collecting again */
    }
    return false;
}
