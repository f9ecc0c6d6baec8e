#include "fuzz_board.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {
namespace {

bool g_booted = false;

// Bytes the firmware has received on that UART and not yet taken in.
uint8_t Waiting(const USART_TypeDef *uart) {
    const WSPR_AppStatus s = sim::Status();
    return uart == sim::ConsoleUart() ? s.console_rx_pending : s.gnss_rx_pending;
}

// The console sends while the firmware goes on: until a millisecond passes without a byte
// (output leaves without gaps, about 11 bytes a millisecond).
void RunUntilConsoleQuiet() {
    size_t seen;
    do {
        seen = sim::Console().size();
        sim::RunFor(sim::MS);
    } while (sim::Console().size() != seen);
}

// Until the line has delivered everything, the ring is empty and the output it caused has left.
void Drain(const USART_TypeDef *uart) {
    const uint64_t limit = vmcu::uart_line(uart).free_ns() + sim::SECOND;
    sim::RunUntil(vmcu::uart_line(uart).free_ns() + 1000);
    while (vmcu::uart_line(uart).queued() != 0 || Waiting(uart) != 0) {
        if (sim::Now() > limit) {
            Fail("the receive ring is not read any more");
        }
        sim::RunFor(100 * 1000);
    }
    RunUntilConsoleQuiet();
}

} // namespace

void PowerOn() {
    sim::Prepare();
    vmcu::i2c_keep_log(false);
    sim::Chip().keep_timeline(false);
    sim::Boot();
    RunUntilConsoleQuiet();
}

void BootOnce() {
    if (!g_booted) {
        g_booted = true;
        PowerOn();
    }
}

void Console(std::string_view bytes) {
    sim::TypeAt(sim::Now(), bytes);
    Drain(sim::ConsoleUart());
}

void Settle() {
    sim::RunFor(100 * sim::MS);
    RunUntilConsoleQuiet();
}

void Gnss(std::string_view bytes) {
    sim::GnssAt(sim::Now(), bytes);
    Drain(sim::GnssUart());
}

void Fail(const char *what, std::string_view detail) {
    std::string printable;
    for (unsigned char c : detail) {
        if (c >= 32 && c < 127 && c != '\\') {
            printable.push_back(static_cast<char>(c));
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            printable += esc;
        }
    }
    std::fprintf(stderr, "fuzz: invariant broken: %s\n  %s\n", what, printable.c_str());
    std::abort();
}

} // namespace fuzz
