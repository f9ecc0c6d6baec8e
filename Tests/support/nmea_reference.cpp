#include "nmea_reference.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace nmea_reference {

std::string Text(const Hms &t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", t.hour, t.minute, t.second,
                  t.millisecond);
    return buf;
}

/* A second reading of the byte stream, built from whole-string operations rather than a byte
 * state machine: cut at CR/LF, keep what follows the last '$', drop 96-byte overflow chunks. */
std::vector<std::string> LinesOf(const std::string &bytes) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = bytes.find_first_of("\r\n", start)) != std::string::npos;
         start = end + 1) {
        std::string seg = bytes.substr(start, end - start);
        if (const size_t dollar = seg.rfind('$'); dollar != std::string::npos) {
            seg.erase(0, dollar);
        }
        while (seg.size() > 95) {
            seg.erase(0, 96); // 95 kept, the 96th byte drops them, collection restarts after it
        }
        if (!seg.empty()) {
            lines.push_back(seg.substr(0, seg.find('\0'))); // the line is a C string
        }
    }
    return lines;
}

std::optional<Hms> TimeOf(const std::string &line) {
    if (!line.starts_with("$GPRMC,") && !line.starts_with("$GNRMC,")) {
        return std::nullopt;
    }
    const size_t star = line.find('*');
    if (star == std::string::npos || line.size() < star + 3) {
        return std::nullopt;
    }
    const std::string hex = line.substr(star + 1, 2);
    if (hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return std::nullopt;
    }
    unsigned sum = 0;
    for (unsigned char c : line.substr(1, star - 1)) {
        sum ^= c;
    }
    if (std::stoul(hex, nullptr, 16) != sum) {
        return std::nullopt;
    }
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string f; std::getline(in, f, ',');) {
        fields.push_back(f);
    }
    if (fields.size() < 3 || !fields[2].starts_with('A') || fields[1].size() < 6) {
        return std::nullopt;
    }
    const std::string hhmmss = fields[1].substr(0, 6);
    if (hhmmss.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    // After "hhmmss." the digits up to the first other character are the fraction: its first
    // three, padded with zeros, are the milliseconds. Anything else after the seconds says none.
    int millisecond = 0;
    if (fields[1].size() > 6 && fields[1][6] == '.') {
        std::string digits = fields[1].substr(7);
        digits = digits.substr(0, digits.find_first_not_of("0123456789"));
        millisecond = std::stoi((digits + "000").substr(0, 3));
    }
    const Hms t{std::stoi(hhmmss.substr(0, 2)), std::stoi(hhmmss.substr(2, 2)),
                std::stoi(hhmmss.substr(4, 2)), millisecond};
    if (t.hour > 23 || t.minute > 59 || t.second > 59) {
        return std::nullopt;
    }
    return t;
}

std::vector<Hms> IndependentTimes(const std::string &bytes) {
    std::vector<Hms> times;
    for (const auto &line : LinesOf(bytes)) {
        if (const auto t = TimeOf(line)) {
            times.push_back(*t);
        }
    }
    return times;
}

std::vector<Hms> TimeLines(const std::vector<Hms> &fixes) {
    std::vector<Hms> lines;
    for (const Hms &f : fixes) {
        const Hms whole{f.hour, f.minute, f.second};
        if (lines.empty() || lines.back() != whole) {
            lines.push_back(whole);
        }
    }
    return lines;
}

std::vector<std::pair<std::string, std::string>> Captures() {
    std::vector<std::filesystem::path> files;
    for (const auto &e : std::filesystem::directory_iterator(WSPR_TEST_DATA_DIR "/nmea")) {
        if (e.is_regular_file() && e.path().extension() == ".nmea") {
            files.push_back(e.path());
        }
    }
    std::sort(files.begin(), files.end());
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto &path : files) {
        std::ifstream in(path, std::ios::binary);
        out.emplace_back(path.filename().string(),
                         std::string{std::istreambuf_iterator<char>(in), {}});
    }
    return out;
}

namespace {

// ddmm.mmm (lat, 2 degree digits) or dddmm.mmm (lon, 3) as degrees; nothing when malformed.
std::optional<long double> Angle(const std::string &f, size_t degree_digits, int max_degrees) {
    const size_t point = f.find('.');
    const std::string whole = f.substr(0, point);
    const std::string decimals = point == std::string::npos ? "" : f.substr(point + 1);
    if (whole.size() != degree_digits + 2 ||
        whole.find_first_not_of("0123456789") != std::string::npos ||
        decimals.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const int degrees = std::stoi(whole.substr(0, degree_digits));
    // Decimals beyond the fifth are dropped, as a receiver's 1e-5 minute would be.
    const long double minutes =
        std::stold(whole.substr(degree_digits) + "." + decimals.substr(0, 5) + "0");
    if (minutes >= 60 || degrees > max_degrees || (degrees == max_degrees && minutes > 0)) {
        return std::nullopt;
    }
    return degrees + minutes / 60;
}

} // namespace

std::optional<std::string> LocatorOf(const std::string &line) {
    if (!TimeOf(line)) {
        return std::nullopt;
    }
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string f; std::getline(in, f, ',');) {
        fields.push_back(f);
    }
    if (fields.size() < 8) {
        return std::nullopt;
    }
    auto lat = Angle(fields[3], 2, 90);
    auto lon = Angle(fields[5], 3, 180);
    if (!lat || !lon || (fields[4] != "N" && fields[4] != "S") ||
        (fields[6] != "E" && fields[6] != "W")) {
        return std::nullopt;
    }
    const long double x =
        std::min<long double>(180 + (fields[6] == "W" ? -*lon : *lon), 359.999999L);
    const long double y =
        std::min<long double>(90 + (fields[4] == "S" ? -*lat : *lat), 179.999999L);
    std::string loc(6, ' ');
    loc[0] = static_cast<char>('A' + static_cast<int>(std::floor(x / 20)));
    loc[1] = static_cast<char>('A' + static_cast<int>(std::floor(y / 10)));
    loc[2] = static_cast<char>('0' + static_cast<int>(std::floor(std::fmod(x, 20) / 2)));
    loc[3] = static_cast<char>('0' + static_cast<int>(std::floor(std::fmod(y, 10))));
    loc[4] = static_cast<char>('A' + static_cast<int>(std::floor(std::fmod(x, 2) * 12)));
    loc[5] = static_cast<char>('A' + static_cast<int>(std::floor(std::fmod(y, 1) * 24)));
    return loc;
}

} // namespace nmea_reference
