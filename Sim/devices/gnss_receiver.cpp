#include "gnss_receiver.h"

#include <cstdio>

namespace sim {

namespace {
constexpr uint64_t MS = 1000000;
constexpr uint64_t SECOND = 1000 * MS;
} // namespace

std::string GnssReceiver::RmcSentence(uint32_t seconds_of_day, uint32_t ddmmyy) {
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

void GnssReceiver::uart_connected(dev::UartLine &line, dev::Clock &clock) {
    line_ = &line;
    clock_ = &clock;
}

void GnssReceiver::SendAt(uint64_t t_ns, std::string_view bytes) {
    if (line_ != nullptr) {
        line_->send(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), t_ns, BAUD);
    }
}

void GnssReceiver::SendSecond(uint64_t t_second_ns, uint32_t seconds_of_day, uint32_t ddmmyy) {
    SendAt(t_second_ns + 100 * MS, RmcSentence(seconds_of_day, ddmmyy));
    const uint32_t next = (seconds_of_day + 1) % 86400;
    clock_->at(t_second_ns + SECOND + 100 * MS, [this, t_second_ns, next, ddmmyy](uint64_t) {
        SendSecond(t_second_ns + SECOND, next, ddmmyy);
    });
}

void GnssReceiver::StartClock(uint64_t t0_ns, uint32_t first_second_of_day, uint32_t ddmmyy) {
    if (clock_ == nullptr) {
        return;
    }
    clock_->at(t0_ns + 100 * MS, [this, t0_ns, first_second_of_day, ddmmyy](uint64_t) {
        SendSecond(t0_ns, first_second_of_day, ddmmyy);
    });
}

} // namespace sim
