// The core on the 25 MHz HSE, then the watchdog at 12.5 ms (prescaler 4, reload 99) left to run
// out while the CPU spins: the reset puts the core back on the 16 MHz HSI.
#include "probe.h"

namespace {
constexpr uint32_t RCC_CR = 0x40023800, RCC_CFGR = 0x40023808, RCC_CSR = 0x40023874;
constexpr uint32_t IWDG_KR = 0x40003000, IWDG_PR = 0x40003004, IWDG_RLR = 0x40003008,
                   IWDG_SR = 0x4000300C;
} // namespace

extern "C" {
void probe_main() {
    if ((REG(RCC_CSR) & (1U << 29)) != 0U) { // IWDGRSTF: the start after the reset
        Done();
    }
    REG(RCC_CR) = REG(RCC_CR) | (1U << 16);
    while ((REG(RCC_CR) & (1U << 17)) == 0U) {
    }
    REG(RCC_CFGR) = 1U; // HSE
    while ((REG(RCC_CFGR) & 0xCU) != 0x4U) {
    }
    REG(IWDG_KR) = 0xCCCC;
    REG(IWDG_KR) = 0x5555;
    REG(IWDG_PR) = 0;
    REG(IWDG_RLR) = 99;
    while (REG(IWDG_SR) != 0U) {
    }
    REG(IWDG_KR) = 0xAAAA;
    for (;;) {
    }
}
}
