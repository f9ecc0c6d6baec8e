// The probes' vector table and reset: the stack, then probe_main. IRQ0 and IRQ1 go to irq0 and
// irq1 when a probe defines them.
#include "probe.h"

extern "C" {
volatile uint32_t probe_log[32];
volatile uint32_t probe_count;
volatile uint32_t probe_done;

[[gnu::weak]] void irq0() {}
[[gnu::weak]] void irq1() {}
[[gnu::weak]] void systick() {}
[[gnu::weak]] void tim3() {}
void hard_fault() {
    Log(0xFA17U);
    Done();
}
void reset() {
    probe_main();
    Done();
}

// The stack, reset, HardFault (3), SysTick (15), IRQ0 (16), IRQ1 (17), TIM3 (IRQ 29: 45).
// clang-format off
[[gnu::section(".vectors"), gnu::used]] const Handler probe_vectors[16 + 30] = {
    reinterpret_cast<Handler>(0x20001000), reset, nullptr, hard_fault, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, systick,
    irq0, irq1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, tim3,
};
// clang-format on
}
