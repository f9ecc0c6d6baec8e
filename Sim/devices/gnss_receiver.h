// A GNSS receiver on a UART at 9600 baud: a recorded stream of bytes played onto the line, or a
// receiver made from a clock that sends a valid $GPRMC (status A) for every fix, once a second or
// up to 10 times (its time then with the fraction of the second, hhmmss.ss), each sentence
// starting 100 ms after the moment it reports. That receiver may also drive its pulse-per-second
// line: high at each true UTC second for 100 ms, each rising edge moved by a seeded random amount
// within +/- the jitter, none within the gaps given.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "app_config.h"
#include "devices.h"

namespace sim {

// NOLINTNEXTLINE(cert-msc32-c,cert-msc51-cpp): the jitter generator is seeded by each run
class GnssReceiver : public dev::UartDevice {
  public:
    static constexpr uint32_t BAUD = GNSS_BAUD;
    // At 9600 baud a sentence of about 70 bytes takes 73 ms: ten a second fill most of the line.
    static constexpr uint32_t MAX_RATE = 10;

    // Fixes a second the receiver made from a clock can send: 1, 2, 4, 5 or 10 (a fix's time is
    // then a whole number of hundredths).
    static bool RateSupported(uint32_t fixes_per_second);
    // The sentence a receiver sends for UTC second-of-day seconds (0..86399) plus hundredths of a
    // second on the given day.
    static std::string RmcSentence(uint32_t seconds_of_day, uint32_t ddmmyy,
                                   uint32_t hundredths = 0);

    // Bytes onto the line from t on (after what is already on its way).
    void SendAt(uint64_t t_ns, std::string_view bytes);
    // Fixes a second from the next StartClock on (default 1; one not supported is ignored).
    void SetRate(uint32_t fixes_per_second);
    // From now on a fix: second first_second_of_day begins at t0_ns, sentences follow at the rate
    // set, the first for the start of each second.
    void StartClock(uint64_t t0_ns, uint32_t first_second_of_day, uint32_t ddmmyy = 81226);

    // The pulse-per-second line, from the next StartClock on. pin(level) drives it (1 high, 0
    // low) at the moment it changes.
    static constexpr uint64_t PULSE_NS = 100000000;
    struct PulseGap {
        uint64_t from_ns, to_ns; // no pulse rises within from_ns .. to_ns
    };
    struct Pulse {
        uint64_t jitter_ns = 0;
        uint64_t seed = 1;
        std::vector<PulseGap> gaps;
    };
    void SetPulse(const Pulse &pulse, std::function<void(int level)> pin);

    // dev::UartDevice
    void uart_connected(dev::UartLine &line, dev::Clock &clock) override;

  private:
    void SendEpoch(uint64_t t_second_ns, uint32_t seconds_of_day, uint32_t k, uint32_t ddmmyy);
    // Schedules the pulse of the second beginning at t_second_ns, then the next one's.
    void PulseOf(uint64_t t_second_ns);

    Pulse pulse_;
    std::function<void(int)> pulse_pin_;
    std::mt19937_64 jitter_rng_; // seeded by each run (pulse.seed)
    uint32_t rate_ = 1;
    dev::UartLine *line_ = nullptr;
    dev::Clock *clock_ = nullptr;
};

} // namespace sim
