// Numbers as the simulator reads them from command lines and scripts: one parser, with the range
// checked, so that nothing too large wraps into a small value. And the one way it writes a time of
// day.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "mcu_facts.h"

namespace sim {

// A whole number: decimal digits only (no sign, blanks or exponent), within lo..hi. False for
// anything else, a number too large for 64 bits included.
bool ParseWhole(std::string_view text, uint64_t lo, uint64_t hi, uint64_t &value);
// Milliseconds to the microsecond, such as 5001 or 5001.25 (no sign or exponent, at most three
// decimals), within lo_ms..hi_ms: in nanoseconds.
bool ParseMillis(std::string_view text, uint64_t lo_ms, uint64_t hi_ms, uint64_t &ns);
// A decimal number such as -26 or 7.5, within lo..hi.
bool ParseDecimal(std::string_view text, double lo, double hi, double &value);
// "HH:MM:SS", two digits each, in range: seconds of the day.
bool ParseClock(std::string_view text, uint32_t &seconds_of_day);
// The other way round: "HH:MM:SS" of a second count, taken within its day.
std::string FormatClock(uint64_t seconds);

// The chip's 96-bit unique ID as 24 hex digits, most significant first: word 2, word 1, word 0.
bool ParseUid(std::string_view text, mcu::Uid &uid);

// The longest run, in virtual milliseconds: 31.7 years, far inside the nanosecond count's range.
inline constexpr uint64_t MAX_RUN_MS = 1000000000000ULL;

} // namespace sim
