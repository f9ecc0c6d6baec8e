// A peripheral the emulated chip does not model itself, brought by the test program at 0x40014400
// (where TIM10 would be, clocked always): a write to offset 0 is kept and starts its event 1 ms
// later, which raises IRQ0; offset 4 counts its events; a write to offset 8 lowers IRQ0. The
// probe writes and reads back, then waits for the interrupt.
#include "probe.h"

namespace {
constexpr uint32_t MODEL = 0x40014400, NVIC_ISER0 = 0xE000E100;
} // namespace

extern "C" {
void irq0() {
    Log(0x100U | REG(MODEL + 4));
    REG(MODEL + 8) = 0;
}
void probe_main() {
    REG(NVIC_ISER0) = 1U;
    REG(MODEL) = 0x5A5AU;
    Log(REG(MODEL));
    while (probe_count < 2U) {
        __asm volatile("wfi");
    }
}
}
