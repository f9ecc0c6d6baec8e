#include "maidenhead.h"

namespace {

constexpr uint32_t DEG = POSITION_UNITS_PER_DEGREE;
constexpr uint32_t MINUTE = POSITION_UNITS_PER_MINUTE;
constexpr int32_t LAT_MAX = 90 * static_cast<int32_t>(DEG);
constexpr int32_t LON_MAX = 180 * static_cast<int32_t>(DEG);

struct Locator {
    char text[7];
};

// x: the longitude from the date line eastwards (0..360 degrees), y: the latitude from the south
// pole (0..180): unsigned, so that each character is a plain division. Fields of 20 x 10 degrees,
// squares of 2 x 1, subsquares of 5' x 2.5' (24 x 24 to a square).
constexpr bool FromPosition(int32_t lat, int32_t lon, Locator *out) {
    if (lat < -LAT_MAX || lat > LAT_MAX || lon < -LON_MAX || lon > LON_MAX) {
        return false;
    }
    uint32_t x = static_cast<uint32_t>(lon) + static_cast<uint32_t>(LON_MAX); // up to 2^31 and more
    uint32_t y = static_cast<uint32_t>(lat) + static_cast<uint32_t>(LAT_MAX);
    if (x == 2U * static_cast<uint32_t>(LON_MAX)) {
        --x;
    }
    if (y == 2U * static_cast<uint32_t>(LAT_MAX)) {
        --y;
    }
    out->text[0] = static_cast<char>('A' + x / (20U * DEG));
    out->text[1] = static_cast<char>('A' + y / (10U * DEG));
    out->text[2] = static_cast<char>('0' + (x % (20U * DEG)) / (2U * DEG));
    out->text[3] = static_cast<char>('0' + (y % (10U * DEG)) / DEG);
    out->text[4] = static_cast<char>('A' + (x % (2U * DEG)) / (5U * MINUTE));
    out->text[5] = static_cast<char>('A' + (y % DEG) / (5U * MINUTE / 2U));
    out->text[6] = '\0';
    return true;
}

constexpr bool Is(int32_t lat, int32_t lon, const char *expected) {
    Locator l = {};
    if (!FromPosition(lat, lon, &l)) {
        return expected == nullptr;
    }
    for (int i = 0; i < 7; ++i) {
        if (expected == nullptr || l.text[i] != expected[i]) {
            return false;
        }
    }
    return true;
}

constexpr int32_t Minutes(int32_t degrees, int32_t minutes_e5) {
    return degrees * static_cast<int32_t>(DEG) + minutes_e5;
}

// 48 deg 07.038' N, 11 deg 31.000' E; 0, 0; the corners of the world; a subsquare edge.
static_assert(Is(Minutes(48, 703800), Minutes(11, 3100000), "JN58SC"));
static_assert(Is(0, 0, "JJ00AA"));
static_assert(Is(LAT_MAX, LON_MAX, "RR99XX") && Is(-LAT_MAX, -LON_MAX, "AA00AA"));
static_assert(Is(Minutes(0, 250000), 0, "JJ00AB") && Is(Minutes(0, 249999), 0, "JJ00AA"));
static_assert(Is(LAT_MAX + 1, 0, nullptr) && Is(0, -LON_MAX - 1, nullptr));

} // namespace

bool Maidenhead_Locator(int32_t lat, int32_t lon, char out[7]) {
    Locator l = {};
    if (!FromPosition(lat, lon, &l)) {
        return false;
    }
    for (int i = 0; i < 7; ++i) {
        out[i] = l.text[i];
    }
    return true;
}
