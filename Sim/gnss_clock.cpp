#include "gnss_clock.h"

#include <cstdio>

#include "board.h"

namespace sim {

std::string RmcSentence(uint32_t seconds_of_day, uint32_t ddmmyy) {
    char body[96];
    std::snprintf(body, sizeof body,
                  "GPRMC,%02u%02u%02u.00,A,5231.1200,N,01324.2400,E,0.02,0.00,%06u,,,A",
                  seconds_of_day / 3600, (seconds_of_day / 60) % 60, seconds_of_day % 60, ddmmyy);
    unsigned sum = 0;
    for (const char *p = body; *p != '\0'; ++p) {
        sum ^= static_cast<unsigned char>(*p);
    }
    char sentence[112];
    std::snprintf(sentence, sizeof sentence, "$%s*%02X\r\n", body, sum);
    return sentence;
}

namespace {

void SendSecond(uint64_t t_second_ns, uint32_t seconds_of_day, uint32_t ddmmyy) {
    GnssAt(t_second_ns + 100 * MS, RmcSentence(seconds_of_day, ddmmyy));
    uint32_t next = (seconds_of_day + 1) % 86400;
    vmcu::schedule(t_second_ns + SECOND + 100 * MS, [t_second_ns, next, ddmmyy](uint64_t) {
        SendSecond(t_second_ns + SECOND, next, ddmmyy);
    });
}

} // namespace

void StartGnssClock(uint64_t t0_ns, uint32_t first_second_of_day, uint32_t ddmmyy) {
    vmcu::schedule(t0_ns + 100 * MS, [t0_ns, first_second_of_day, ddmmyy](uint64_t) {
        SendSecond(t0_ns, first_second_of_day, ddmmyy);
    });
}

bool ParseClockTime(const char *text, uint32_t &seconds_of_day) {
    unsigned h, m, s;
    char tail;
    // Two digits at most per field cannot overflow, and the ranges are checked right here.
    if (std::sscanf(text, "%2u:%2u:%2u%c", &h, &m, &s, &tail) != 3 || // NOLINT(cert-err34-c)
        h > 23 || m > 59 || s > 59) {
        return false;
    }
    seconds_of_day = h * 3600 + m * 60 + s;
    return true;
}

} // namespace sim
