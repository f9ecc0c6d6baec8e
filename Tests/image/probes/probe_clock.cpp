// The PLL at 100 MHz as the system clock with the flash still at zero wait states.
#include "probe.h"

namespace {
constexpr uint32_t RCC_CR = 0x40023800, RCC_PLLCFGR = 0x40023804, RCC_CFGR = 0x40023808;
constexpr uint32_t RCC_APB1ENR = 0x40023840, PWR_CR = 0x40007000;
} // namespace

extern "C" {
void probe_main() {
    REG(RCC_APB1ENR) = 1U << 28; // PWR
    REG(PWR_CR) = 3U << 14;      // scale 1
    REG(RCC_CR) = REG(RCC_CR) | (1U << 16);
    while ((REG(RCC_CR) & (1U << 17)) == 0U) {
    }
    REG(RCC_PLLCFGR) = 25U | (200U << 6) | (1U << 22) | (4U << 24); // HSE / 25 x 200 / 2
    REG(RCC_CR) = REG(RCC_CR) | (1U << 24);
    while ((REG(RCC_CR) & (1U << 25)) == 0U) {
    }
    REG(RCC_CFGR) = (4U << 10) | 2U; // APB1 / 2, PLL
    while ((REG(RCC_CFGR) & 0xCU) != 0x8U) {
    }
    Log(REG(RCC_CFGR) & 0xCU);
}
}
