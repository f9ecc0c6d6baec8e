// GNSS bytes into the running firmware at 9600 baud: receive ring, RMC parser and clock setting.
// Every time-set line the beacon prints must carry a time in range, and the lines must be exactly
// the seconds of the times an independent reading of the same bytes finds, one line for the first
// fix of each second (at 9600 baud the ring never fills, so no byte may be lost); the clock must
// then run from the last of them.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_board.h"
#include "nmea_reference.h"

namespace {

std::vector<nmea_reference::Hms> TimesPrinted(const std::string &out) {
    std::vector<nmea_reference::Hms> times;
    size_t start = 0;
    for (size_t end; (end = out.find("\r\n", start)) != std::string::npos; start = end + 2) {
        const std::string line = out.substr(start, end - start);
        unsigned h = 99, m = 99, s = 99;
        char tail[16] = {};
        const bool parsed =
            std::sscanf(line.c_str(), "TIME set %2u:%2u:%2u UTC from %15s", &h, &m, &s, tail) == 4;
        FUZZ_CHECK(parsed && std::string(tail) == "GNSS" && line.size() == 31, line);
        FUZZ_CHECK(h <= 23 && m <= 59 && s <= 59, line);
        times.push_back({static_cast<int>(h), static_cast<int>(m), static_cast<int>(s)});
    }
    FUZZ_CHECK(start == out.size(), out.substr(start));
    return times;
}

// The last time line the inputs so far called for: the firmware prints none for a fix in the same
// second, also across inputs.
std::optional<nmea_reference::Hms> g_last_line;
// The bytes after the last line end of the previous input: the line the next input's separator
// ends.
std::string g_open_line;

// The bytes just sent and what the console printed for them: the time lines must be those the
// independent reading expects, and the clock must run on from the last.
void CheckLines(const std::string &bytes, const std::string &out) {
    const std::vector<nmea_reference::Hms> printed = TimesPrinted(out);
    std::vector<nmea_reference::Hms> expected =
        nmea_reference::TimeLines(nmea_reference::IndependentTimes(bytes));
    const std::optional<nmea_reference::Hms> line_before = g_last_line;
    if (!expected.empty()) {
        g_last_line = expected.back();
        if (expected.front() == line_before) {
            expected.erase(expected.begin());
        }
    }
    std::string detail = "printed";
    for (const auto &t : printed) {
        detail += " " + nmea_reference::Text(t);
    }
    detail += ", independent reading";
    for (const auto &t : expected) {
        detail += " " + nmea_reference::Text(t);
    }
    FUZZ_CHECK(printed == expected, detail);

    if (!printed.empty()) {
        // The clock runs on from the last time set (a fix of the last line's second): the input
        // took at most a few seconds.
        const auto &last = printed.back();
        const uint32_t set = last.hour * 3600 + last.minute * 60 + last.second;
        const WSPR_AppStatus status = sim::Status();
        const uint32_t now = status.utc_seconds;
        FUZZ_CHECK(status.time_valid && now < 86400 && (now + 86400 - set) % 86400 <= 3,
                   detail + " clock " + std::to_string(now));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::BootOnce();
    fuzz::Console("auto off\r"); // only the clock is under test here
    sim::ClearConsole();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // End whatever line the previous input left open, so that this one starts on a fresh line. A
    // sentence left open is complete now: its time line comes here, and counts for this input.
    const std::string line_end = "\r\n";
    fuzz::Gnss(line_end);
    CheckLines(g_open_line + line_end, sim::Console());
    sim::ClearConsole();

    const std::string bytes(reinterpret_cast<const char *>(data), size);
    fuzz::Gnss(bytes);
    CheckLines(bytes, sim::Console());
    sim::ClearConsole();

    const size_t last_end = bytes.find_last_of("\r\n");
    g_open_line = last_end == std::string::npos ? bytes : bytes.substr(last_end + 1);
    return 0;
}
