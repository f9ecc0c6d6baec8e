// Priority grouping and BASEPRI. PRIGROUP 5: bits 7:6 are the group, 5:4 the subpriority. IRQ0
// (0x40) and IRQ1 (0x50) are one group: IRQ1 pended inside IRQ0 waits for it. BASEPRI 0x40 holds
// both back until it is cleared.
#include "probe.h"

namespace {
constexpr uint32_t NVIC_ISER0 = 0xE000E100, NVIC_IPR0 = 0xE000E400, STIR = 0xE000EF00,
                   AIRCR = 0xE000ED0C;
void Barrier() {
    __asm volatile("dsb\n isb" ::: "memory");
}
} // namespace

extern "C" {
void irq0() {
    Log(0x10);
    if (probe_count == 1U) {
        REG(STIR) = 1;
        Barrier();
    }
    Log(0x11);
}
void irq1() {
    Log(0x20);
}
void probe_main() {
    REG(AIRCR) = (0x05FAU << 16) | (5U << 8);
    REG(NVIC_IPR0) = 0x5040U;
    REG(NVIC_ISER0) = 3U;
    REG(STIR) = 0; // 0x10, 0x11, 0x20
    Barrier();
    const uint32_t basepri = 0x40;
    __asm volatile("msr basepri, %0" ::"r"(basepri) : "memory");
    REG(STIR) = 1;
    Barrier();
    Log(0x30); // held back
    __asm volatile("msr basepri, %0" ::"r"(0U) : "memory");
    Barrier();
    Log(0x40); // 0x20 before it
}
}
