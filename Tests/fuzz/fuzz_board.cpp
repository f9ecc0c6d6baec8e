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

// Until the line has delivered everything and the ring is empty, then until the console's output
// has left (it goes out through the transmit ring after the pass that wrote it): a millisecond
// without a byte.
void Drain(const USART_TypeDef *uart) {
    const uint64_t limit = vmcu::uart_line(uart).free_ns() + sim::SECOND;
    sim::RunUntil(vmcu::uart_line(uart).free_ns() + 1000);
    while (vmcu::uart_line(uart).queued() != 0 || Waiting(uart) != 0) {
        if (sim::Now() > limit) {
            Fail("the receive ring is not read any more");
        }
        sim::RunFor(100 * 1000);
    }
    size_t seen = 0;
    do {
        seen = sim::Console().size();
        sim::RunFor(sim::MS);
    } while (sim::Console().size() != seen);
}

} // namespace

void PowerOn() {
    sim::Prepare();
    vmcu::i2c_keep_log(false);
    sim::Chip().keep_timeline(false);
    sim::Boot();
    // Console output leaves through the transmit ring: reception starts once the banner has gone
    // out, and bytes typed before are dropped.
    for (int ms = 0; ms < 200 && sim::Console().find("wspr> ") == std::string::npos; ++ms) {
        sim::RunFor(sim::MS);
    }
    sim::RunFor(5 * sim::MS);
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
