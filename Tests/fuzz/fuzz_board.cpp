#include "fuzz_board.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "debug_access.h"

namespace fuzz {
namespace {

bool g_booted = false;

// Ring indices of the firmware's receive rings, as the main loop sees them.
struct Ring {
    volatile uint8_t *head;
    volatile uint8_t *tail;
};

Ring RingOf(int uart) {
    return uart == sim::CONSOLE_UART
               ? Ring{&Var<volatile uint8_t>("g_pc_head"), &Var<volatile uint8_t>("g_pc_tail")}
               : Ring{&Var<volatile uint8_t>("g_gnss_head"), &Var<volatile uint8_t>("g_gnss_tail")};
}

// Until the line has delivered everything and the ring is empty. The main loop returns to
// RunUntil only between passes, so the pass that took the last byte has finished its output.
void Drain(int uart) {
    const Ring ring = RingOf(uart);
    const uint64_t limit = vmcu::uart_line_free_ns(uart) + sim::SECOND;
    sim::RunUntil(vmcu::uart_line_free_ns(uart) + 1000);
    while (vmcu::uart_rx_queued(uart) != 0 || *ring.head != *ring.tail) {
        if (sim::Now() > limit) {
            Fail("the receive ring is not read any more");
        }
        sim::RunFor(100 * 1000);
    }
}

} // namespace

void BootOnce() {
    if (g_booted) {
        return;
    }
    g_booted = true;
    sim::Prepare();
    vmcu::i2c_keep_log(false);
    sim::Chip().keep_timeline(false);
    sim::Boot();
    sim::RunFor(5 * sim::MS);
}

void *Variable(const char *name, size_t min_size) {
    // Looking a symbol up walks the whole symbol table: once per name is enough.
    static std::map<std::string, std::pair<void *, size_t>, std::less<>> cache;
    auto it = cache.find(std::string_view(name));
    if (it == cache.end()) {
        size_t found_size = 0;
        void *found = sim::FirmwareVariable(name, &found_size);
        it = cache.emplace(name, std::make_pair(found, found_size)).first;
    }
    void *p = it->second.first;
    const size_t size = it->second.second;
    if (p == nullptr || size < min_size) {
        std::fprintf(stderr, "fuzz: firmware variable %s not found (or too small)\n", name);
        std::abort();
    }
    return p;
}

void Console(std::string_view bytes) {
    sim::TypeAt(sim::Now(), bytes);
    Drain(sim::CONSOLE_UART);
}

void Gnss(std::string_view bytes) {
    sim::GnssAt(sim::Now(), bytes);
    Drain(sim::GNSS_UART);
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
