#include "numbers.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace sim {

bool ParseWhole(std::string_view text, uint64_t lo, uint64_t hi, uint64_t &value) {
    if (text.empty()) {
        return false;
    }
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - digit) / 10) {
            return false; // beyond 64 bits
        }
        v = v * 10 + digit;
    }
    if (v < lo || v > hi) {
        return false;
    }
    value = v;
    return true;
}

bool ParseMillis(std::string_view text, uint64_t lo_ms, uint64_t hi_ms, uint64_t &ns) {
    const size_t dot = text.find('.');
    const std::string_view decimals = dot == std::string_view::npos ? "" : text.substr(dot + 1);
    uint64_t ms = 0, us = 0;
    if (!ParseWhole(text.substr(0, dot), lo_ms, hi_ms, ms) ||
        (dot != std::string_view::npos &&
         (decimals.empty() || decimals.size() > 3 || !ParseWhole(decimals, 0, 999, us)))) {
        return false;
    }
    for (size_t n = decimals.size(); n < 3; ++n) {
        us *= 10;
    }
    if (ms == hi_ms && us != 0) {
        return false;
    }
    ns = ms * 1000000 + us * 1000;
    return true;
}

bool ParseDecimal(std::string_view text, double lo, double hi, double &value) {
    const std::string s(text);
    if (s.empty() || s.find_first_not_of("+-.0123456789") != std::string::npos) {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size() || errno != 0 || !std::isfinite(v) || v < lo || v > hi) {
        return false;
    }
    value = v;
    return true;
}

bool ParseClock(std::string_view text, uint32_t &seconds_of_day) {
    uint64_t h = 0, m = 0, s = 0;
    if (text.size() != 8 || text[2] != ':' || text[5] != ':' ||
        !ParseWhole(text.substr(0, 2), 0, 23, h) || !ParseWhole(text.substr(3, 2), 0, 59, m) ||
        !ParseWhole(text.substr(6, 2), 0, 59, s)) {
        return false;
    }
    seconds_of_day = static_cast<uint32_t>(h * 3600 + m * 60 + s);
    return true;
}

std::string FormatClock(uint64_t seconds) {
    const auto of_day = static_cast<unsigned>(seconds % 86400);
    char text[12];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u", of_day / 3600, of_day / 60 % 60,
                  of_day % 60);
    return text;
}

bool ParseUid(std::string_view text, mcu::Uid &uid) {
    if (text.size() != 24) {
        return false;
    }
    mcu::Uid parsed{};
    for (size_t i = 0; i < 24; ++i) {
        const char c = text[i];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) {
            return false;
        }
        uint32_t &word = parsed.w[2 - i / 8];
        word = (word << 4) | static_cast<uint32_t>(digit);
    }
    uid = parsed;
    return true;
}

} // namespace sim
