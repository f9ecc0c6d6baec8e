// What the probe programs share: register access, a vector table and a log the tests read.
#pragma once

#include <cstdint>

#define REG(address) (*reinterpret_cast<volatile uint32_t *>(address))

using Handler = void (*)();

extern "C" {
// Written by the probe, read by the test through the symbols.
extern volatile uint32_t probe_log[32];
extern volatile uint32_t probe_count;
extern volatile uint32_t probe_done;
void probe_main();
}

inline void Log(uint32_t value) {
    probe_log[probe_count] = value;
    probe_count = probe_count + 1U;
}

// The end of a probe: 0xD0E in probe_done, then sleep for good.
[[noreturn]] inline void Done() {
    probe_done = 0xD0EU;
    for (;;) {
        __asm volatile("wfi");
    }
}
