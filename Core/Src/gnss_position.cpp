#include "gnss_position.h"

#include "maidenhead.h"

namespace {

constexpr int MINUTE_DECIMALS = 5; // the unit: 1e-5 arc-minutes

constexpr bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// One angle field, `degree_digits` digits of degrees then two of minutes, then optionally a point
// and decimals, ending at the comma. `text` is left after the comma.
constexpr bool ParseAngle(const char *&text, int degree_digits, int32_t max_degrees,
                          int32_t *value) {
    const char *p = text;
    int32_t degrees = 0;
    for (int i = 0; i < degree_digits; ++i, ++p) {
        if (!IsDigit(*p)) {
            return false;
        }
        degrees = degrees * 10 + (*p - '0');
    }
    int32_t minutes = 0; // in the unit
    for (int i = 0; i < 2; ++i, ++p) {
        if (!IsDigit(*p)) {
            return false;
        }
        minutes = minutes * 10 + (*p - '0');
    }
    if (*p == '.') {
        ++p;
        int places = 0;
        for (; IsDigit(*p); ++p) {
            if (places < MINUTE_DECIMALS) {
                minutes = minutes * 10 + (*p - '0');
                ++places;
            }
        }
        for (; places < MINUTE_DECIMALS; ++places) {
            minutes *= 10;
        }
    } else {
        minutes *= POSITION_UNITS_PER_MINUTE;
    }
    if (*p != ',' || minutes >= 60L * POSITION_UNITS_PER_MINUTE || degrees > max_degrees ||
        (degrees == max_degrees && minutes != 0)) {
        return false;
    }
    *value = degrees * static_cast<int32_t>(POSITION_UNITS_PER_DEGREE) + minutes;
    text = p + 1;
    return true;
}

// A one-letter field: `positive` or `negative`, then the comma.
constexpr bool ParseHemisphere(const char *&text, char positive, char negative, int32_t *value) {
    if ((text[0] != positive && text[0] != negative) || text[1] != ',') {
        return false;
    }
    if (text[0] == negative) {
        *value = -*value;
    }
    text += 2;
    return true;
}

constexpr bool ParsePosition(const char *fields, int32_t *lat, int32_t *lon) {
    int32_t la = 0;
    int32_t lo = 0;
    if (!ParseAngle(fields, 2, 90, &la) || !ParseHemisphere(fields, 'N', 'S', &la) ||
        !ParseAngle(fields, 3, 180, &lo) || !ParseHemisphere(fields, 'E', 'W', &lo)) {
        return false;
    }
    *lat = la;
    *lon = lo;
    return true;
}

constexpr bool Gives(const char *fields, int32_t lat, int32_t lon) {
    int32_t la = 1;
    int32_t lo = 1;
    return ParsePosition(fields, &la, &lo) && la == lat && lo == lon;
}
constexpr bool Refuses(const char *fields) {
    int32_t la = 1;
    int32_t lo = 1;
    return !ParsePosition(fields, &la, &lo) && la == 1 && lo == 1;
}

static_assert(Gives("4807.038,N,01131.000,E,", 288703800, 69100000));
static_assert(Gives("3352.128,S,15112.558,E,", -203212800, 907255800));
static_assert(Gives("4807,N,01131.1234567,W,", 288700000, -69112345));
static_assert(Gives("9000.00,S,18000,W,", -540000000, -1080000000));
static_assert(Refuses("9000.01,N,00000,E,") && Refuses("4860.0,N,01131.0,E,") &&
              Refuses("807.038,N,01131.000,E,") && Refuses("4807.038,N,1131.000,E,") &&
              Refuses("4807.038,X,01131.000,E,") && Refuses(",,,,") &&
              Refuses("4807.0a8,N,01131.000,E,") && Refuses("4807.038,N,01131.000,EE,"));

} // namespace

bool GNSS_ParsePosition(const char *fields, int32_t *lat, int32_t *lon) {
    return ParsePosition(fields, lat, lon);
}
