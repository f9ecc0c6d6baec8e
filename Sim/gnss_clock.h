// A GNSS receiver made from a clock: a valid $GPRMC (status A) for every second, each sentence
// starting 100 ms after its second begins, on the GNSS line at 9600 baud.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

// The sentence a receiver sends for UTC second-of-day seconds (0..86399) on the given day.
std::string RmcSentence(uint32_t seconds_of_day, uint32_t ddmmyy);

// Second 'first_second_of_day' begins at virtual time t0_ns; sentences follow every second.
void StartGnssClock(uint64_t t0_ns, uint32_t first_second_of_day, uint32_t ddmmyy = 81226);

// "HH:MM:SS" to seconds of the day; false unless three two-digit fields in range.
bool ParseClockTime(const char *text, uint32_t &seconds_of_day);

} // namespace sim
