// Scenario tests: the firmware boots on the virtual board, in the test's own process; every
// power-on gives it fresh RAM and a fresh world, so each scenario starts from power-on whether the
// test binary runs one test or all of them (and a debugger follows it: run the test binary under
// gdb with --gtest_filter=Suite.Name).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "board.h"

namespace scenario {

// Runs body, which boots a board of its own; afterwards the Si5351 must never have been driven
// outside its limits.
void OnFreshBoard(const std::function<void()> &body);

// Power-on with the given board and run until the start-up is over (prompt printed).
void Boot(const sim::BoardConfig &config = {});

// Types a line (text + CR) now and runs until the console shows 'until' after it, or limit_ms
// passed. Returns what the console printed meanwhile.
std::string Command(const std::string &text, const std::string &until = "wspr> ",
                    uint64_t limit_ms = 2000);
// Runs until the console has been quiet for a millisecond (at most limit_ms).
void RunUntilQuiet(uint64_t limit_ms);
// Runs until the console (from byte offset 'from') contains text, at most limit_ms.
bool RunUntilConsole(const std::string &text, size_t from, uint64_t limit_ms);

// Whole milliseconds (virtual time of the last tick) — the firmware's notion of "now".
inline uint64_t NowMs() {
    return sim::Now() / sim::MS;
}

// Times (µs) at which CLK1 came on, and their frequencies, from the chip's timeline.
struct Tone {
    uint64_t t_us;
    uint64_t freq_uhz;
};
std::vector<Tone> TonesFrom(uint64_t t_us);
// First time at/after t_us when CLK1 went off; UINT64_MAX if it never did.
uint64_t OffAfter(uint64_t t_us);
// What CLK1 emitted at t_us, from the chip's timeline (0 while off).
uint64_t EmittedAt(uint64_t t_us);

// The power-on banner with the build's defaults, and the banner after another kind of reset
// ("watchdog", "software", "pin", "brown-out"): one more line after the first.
extern const std::string k_banner;
std::string BannerAfterReset(const std::string &kind);

} // namespace scenario

namespace scenario {

// The firmware's millisecond ticks on the virtual time line: tick k (g_ms = k) happens at
// Tick(k). TickOf(t) is the count of ticks that happened up to time t.
uint64_t Tick(uint64_t k);
uint64_t TickOf(uint64_t t_ns);

} // namespace scenario
