#include "gnss_receiver.h"

#include <cstdio>

namespace sim {

namespace {
constexpr uint64_t MS = 1000000;
constexpr uint64_t SECOND = 1000 * MS;
// A sentence starts this long after the epoch it reports.
constexpr uint64_t LATENCY = 100 * MS;
} // namespace

bool GnssReceiver::RateSupported(uint32_t fixes_per_second) {
    return fixes_per_second >= 1 && fixes_per_second <= MAX_RATE && 100 % fixes_per_second == 0;
}

std::string GnssReceiver::RmcSentence(uint32_t seconds_of_day, uint32_t ddmmyy,
                                      uint32_t hundredths) {
    char body[96];
    std::snprintf(body, sizeof body,
                  "GPRMC,%02u%02u%02u.%02u,A,5231.1200,N,01324.2400,E,0.02,0.00,%06u,,,A",
                  seconds_of_day / 3600, (seconds_of_day / 60) % 60, seconds_of_day % 60,
                  hundredths % 100, ddmmyy);
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

void GnssReceiver::SetRate(uint32_t fixes_per_second) {
    if (RateSupported(fixes_per_second)) {
        rate_ = fixes_per_second;
    }
}

// Epoch k of second seconds_of_day begins k / rate_ s into that second.
void GnssReceiver::SendEpoch(uint64_t t_second_ns, uint32_t seconds_of_day, uint32_t k,
                             uint32_t ddmmyy) {
    const uint64_t t_epoch = t_second_ns + k * SECOND / rate_;
    SendAt(t_epoch + LATENCY, RmcSentence(seconds_of_day, ddmmyy, k * 100 / rate_));
    uint64_t next_second_ns = t_second_ns;
    uint32_t next_second = seconds_of_day;
    uint32_t next_k = k + 1;
    if (next_k == rate_) {
        next_second_ns += SECOND;
        next_second = (seconds_of_day + 1) % 86400;
        next_k = 0;
    }
    const uint64_t t_next = next_second_ns + next_k * SECOND / rate_;
    clock_->at(t_next + LATENCY, [this, next_second_ns, next_second, next_k, ddmmyy](uint64_t) {
        SendEpoch(next_second_ns, next_second, next_k, ddmmyy);
    });
}

void GnssReceiver::SetPulse(const Pulse &pulse, std::function<void(int level)> pin) {
    pulse_ = pulse;
    pulse_pin_ = std::move(pin);
    jitter_rng_.seed(pulse.seed);
}

void GnssReceiver::PulseOf(uint64_t t_second_ns) {
    int64_t jitter = 0;
    if (pulse_.jitter_ns != 0) {
        std::uniform_int_distribution<int64_t> spread(-static_cast<int64_t>(pulse_.jitter_ns),
                                                      static_cast<int64_t>(pulse_.jitter_ns));
        jitter = spread(jitter_rng_);
    }
    const uint64_t now = clock_->now_ns();
    uint64_t rise = static_cast<uint64_t>(static_cast<int64_t>(t_second_ns) + jitter);
    rise = rise < now ? now : rise;
    bool gap = false;
    for (const PulseGap &g : pulse_.gaps) {
        gap = gap || (rise >= g.from_ns && rise < g.to_ns);
    }
    if (!gap) {
        clock_->at(rise, [this](uint64_t) { pulse_pin_(1); });
        clock_->at(t_second_ns + PULSE_NS, [this](uint64_t) { pulse_pin_(0); });
    }
    // The next second's pulse is placed half a second ahead of it, before any jitter.
    const uint64_t next = t_second_ns + SECOND;
    clock_->at(next - SECOND / 2, [this, next](uint64_t) { PulseOf(next); });
}

void GnssReceiver::StartClock(uint64_t t0_ns, uint32_t first_second_of_day, uint32_t ddmmyy) {
    if (clock_ == nullptr) {
        return;
    }
    if (pulse_pin_) {
        PulseOf(t0_ns);
    }
    clock_->at(t0_ns + LATENCY, [this, t0_ns, first_second_of_day, ddmmyy](uint64_t) {
        SendEpoch(t0_ns, first_second_of_day, 0, ddmmyy);
    });
}

} // namespace sim
