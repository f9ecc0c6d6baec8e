#include "console_terminal.h"

namespace sim {

void ConsoleTerminal::uart_connected(dev::UartLine &line, dev::Clock &) {
    line_ = &line;
}

void ConsoleTerminal::TypeAt(uint64_t t_ns, std::string_view text) {
    if (line_ != nullptr) {
        line_->send(reinterpret_cast<const uint8_t *>(text.data()), text.size(), t_ns, BAUD);
    }
}

void ConsoleTerminal::uart_from_mcu(uint8_t byte, uint64_t t_ns) {
    if (keep_) {
        transcript_.push_back(static_cast<char>(byte));
    }
    if (on_byte_) {
        on_byte_(t_ns, byte);
    }
}

} // namespace sim
