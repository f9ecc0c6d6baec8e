// Priorities, preemption and tail-chaining. IRQ1 (priority 0x40) preempts IRQ0 (0x80); with
// both pending at once, IRQ1 runs first and IRQ0 follows straight after it. A pend through STIR
// is made certain to be seen by DSB and ISB, as the architecture asks.
#include "probe.h"

namespace {
constexpr uint32_t NVIC_ISER0 = 0xE000E100, NVIC_IPR0 = 0xE000E400, STIR = 0xE000EF00;
}

extern "C" {
void irq0() {
    Log(0x10);
    if (probe_count == 1U) {
        REG(STIR) = 1; // IRQ1 pends and preempts
        __asm volatile("dsb\n isb" ::: "memory");
    }
    Log(0x11);
}
void irq1() {
    Log(0x20);
}
void probe_main() {
    REG(NVIC_IPR0) = 0x4080U;
    REG(NVIC_ISER0) = 3U;
    REG(STIR) = 0; // 0x10, 0x20, 0x11: taken once the barrier has made the pend visible
    __asm volatile("dsb\n isb" ::: "memory");
    __asm volatile("cpsid i" ::: "memory");
    REG(STIR) = 0;
    REG(STIR) = 1;
    Log(0x30); // masked: nothing taken yet
    __asm volatile("cpsie i" ::: "memory");
    __asm volatile("isb" ::: "memory");
    Log(0x40); // 0x30, 0x20, 0x10, 0x11, 0x40
}
}
