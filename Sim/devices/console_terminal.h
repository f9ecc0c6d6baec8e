// The operator's serial terminal on the console UART at 115200 baud: what is typed goes onto the
// line, and everything the beacon writes is kept as a transcript and handed to a listener.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "app_config.h"
#include "devices.h"

namespace sim {

class ConsoleTerminal : public dev::UartDevice {
  public:
    static constexpr uint32_t BAUD = CONSOLE_BAUD;

    void TypeAt(uint64_t t_ns, std::string_view text);
    dev::UartLine &Line() { return *line_; }

    // Everything the beacon wrote (unless kept off, for long runs), and a listener for each byte.
    const std::string &Transcript() const { return transcript_; }
    void Clear() { transcript_.clear(); }
    void Keep(bool keep) { keep_ = keep; }
    void OnByte(std::function<void(uint64_t t_ns, uint8_t byte)> fn) { on_byte_ = std::move(fn); }

    // dev::UartDevice
    void uart_connected(dev::UartLine &line, dev::Clock &clock) override;
    void uart_from_mcu(uint8_t byte, uint64_t t_ns) override;

  private:
    dev::UartLine *line_ = nullptr;
    std::string transcript_;
    bool keep_ = true;
    std::function<void(uint64_t, uint8_t)> on_byte_;
};

} // namespace sim
