// I2C1's master sequence done wrong: the address written to DR before SB was read from SR1.
#include "probe.h"

namespace {
constexpr uint32_t RCC_AHB1ENR = 0x40023830, RCC_APB1ENR = 0x40023840;
constexpr uint32_t GPIOB = 0x40020400, I2C1 = 0x40005400;
} // namespace

extern "C" {
void probe_main() {
    REG(RCC_AHB1ENR) = 1U << 1;                  // GPIOB
    REG(RCC_APB1ENR) = 1U << 21;                 // I2C1
    REG(GPIOB + 0x00) = (2U << 12) | (2U << 14); // PB6, PB7 alternate
    REG(GPIOB + 0x04) = (1U << 6) | (1U << 7);   // open drain
    REG(GPIOB + 0x20) = (4U << 24) | (4U << 28); // AF4
    REG(I2C1 + 0x04) = 16;                       // FREQ: 16 MHz, the HSI
    REG(I2C1 + 0x1C) = 80;                       // 100 kHz
    REG(I2C1 + 0x00) = 1;                        // PE
    REG(I2C1 + 0x00) = 1U | (1U << 8);           // START
    for (int i = 0; i < 1000; ++i) {
        __asm volatile("nop");
    }
    REG(I2C1 + 0x10) = 0xC0; // without reading SR1 first
    Log(1);
}
}
