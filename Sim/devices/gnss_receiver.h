// A GNSS receiver on a UART at 9600 baud: a recorded stream of bytes played onto the line, or a
// receiver made from a clock that sends a valid $GPRMC (status A) for every second, each sentence
// starting 100 ms after its second begins.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app_config.h"
#include "devices.h"

namespace sim {

class GnssReceiver : public dev::UartDevice {
  public:
    static constexpr uint32_t BAUD = GNSS_BAUD;

    // The sentence a receiver sends for UTC second-of-day seconds (0..86399) on the given day.
    static std::string RmcSentence(uint32_t seconds_of_day, uint32_t ddmmyy);

    // Bytes onto the line from t on (after what is already on its way).
    void SendAt(uint64_t t_ns, std::string_view bytes);
    // From now on a fix: second first_second_of_day begins at t0_ns, sentences follow every
    // second.
    void StartClock(uint64_t t0_ns, uint32_t first_second_of_day, uint32_t ddmmyy = 81226);

    // dev::UartDevice
    void uart_connected(dev::UartLine &line, dev::Clock &clock) override;

  private:
    void SendSecond(uint64_t t_second_ns, uint32_t seconds_of_day, uint32_t ddmmyy);

    dev::UartLine *line_ = nullptr;
    dev::Clock *clock_ = nullptr;
};

} // namespace sim
