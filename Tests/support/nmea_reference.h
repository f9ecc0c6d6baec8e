// An independent reading of a GNSS byte stream: which UTC times a receiver's bytes carry in RMC
// sentences that the beacon must accept. Written with whole-string operations, unlike the
// firmware's byte-by-byte parser, so that the two check each other.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace nmea_reference {

struct Hms {
    int hour;
    int minute;
    int second;
    int millisecond = 0; // the fraction the time field gives (hhmmss.sss), truncated
    bool operator==(const Hms &) const = default;
};

std::string Text(const Hms &t);
std::vector<std::string> LinesOf(const std::string &bytes);
std::optional<Hms> TimeOf(const std::string &line);
std::vector<Hms> IndependentTimes(const std::string &bytes);
// The Maidenhead locator (6 characters) of an accepted RMC line's position, read with floating
// point from degrees and decimal minutes; nothing when the line has no sound position.
std::optional<std::string> LocatorOf(const std::string &line);
// The time lines a beacon prints for these fixes: the whole second of the first fix of each
// second (a receiver sending several fixes a second gets one line a second).
std::vector<Hms> TimeLines(const std::vector<Hms> &fixes);
// Capture files of the shared folder, sorted by name, with their bytes.
std::vector<std::pair<std::string, std::string>> Captures();

} // namespace nmea_reference
