// The watchdog at its shortest useful time-out (prescaler 4, reload 99: 12.5 ms) never
// refreshed: the chip resets, and RCC_CSR says why.
#include "probe.h"

namespace {
constexpr uint32_t IWDG_KR = 0x40003000, IWDG_PR = 0x40003004, IWDG_RLR = 0x40003008,
                   IWDG_SR = 0x4000300C, RCC_CSR = 0x40023874;
} // namespace

extern "C" {
void probe_main() {
    const uint32_t csr = REG(RCC_CSR);
    if ((csr & (1U << 29)) != 0U) { // IWDGRSTF: this is the start after the watchdog's reset
        Log(csr >> 24);
        REG(RCC_CSR) = 1U << 24; // RMVF
        Log(REG(RCC_CSR) >> 24);
        return;
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
