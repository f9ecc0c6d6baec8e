// A complete I2C1 write in the reference manual's sequence: START, SB, address, ADDR (SR1 then
// SR2), two data bytes through TxE, BTF, STOP; then the same to an address nobody answers (AF).
#include "probe.h"

namespace {
constexpr uint32_t RCC_AHB1ENR = 0x40023830, RCC_APB1ENR = 0x40023840;
constexpr uint32_t GPIOB = 0x40020400, I2C1 = 0x40005400, CR1 = I2C1, CR2 = I2C1 + 4,
                   DR = I2C1 + 0x10, SR1 = I2C1 + 0x14, SR2 = I2C1 + 0x18, CCR = I2C1 + 0x1C;
constexpr uint32_t SB = 1U << 0, ADDR = 1U << 1, BTF = 1U << 2, TXE = 1U << 7, AF = 1U << 10;

uint32_t WaitSr1(uint32_t bits) {
    uint32_t sr1 = 0;
    do {
        sr1 = REG(SR1);
    } while ((sr1 & bits) == 0U);
    return sr1;
}

// Returns the SR1 bits that ended the address phase.
uint32_t Write(uint8_t address, const uint8_t *bytes, int n) {
    REG(CR1) = 1U | (1U << 8); // START
    WaitSr1(SB);
    REG(DR) = static_cast<uint32_t>(address) << 1U;
    const uint32_t end = WaitSr1(ADDR | AF);
    if ((end & AF) != 0U) {
        REG(SR1) = ~AF;
        REG(CR1) = 1U | (1U << 9); // STOP
        return end & (ADDR | AF);
    }
    (void)REG(SR2);
    for (int i = 0; i < n; ++i) {
        WaitSr1(TXE);
        REG(DR) = bytes[i];
    }
    WaitSr1(BTF);
    REG(CR1) = 1U | (1U << 9);      // STOP
    while ((REG(SR2) & 2U) != 0U) { // BUSY until the STOP is out
    }
    return end & (ADDR | AF);
}
} // namespace

extern "C" {
void probe_main() {
    REG(RCC_AHB1ENR) = 1U << 1;
    REG(RCC_APB1ENR) = 1U << 21;
    REG(GPIOB + 0x00) = (2U << 12) | (2U << 14);
    REG(GPIOB + 0x04) = (1U << 6) | (1U << 7);
    REG(GPIOB + 0x20) = (4U << 24) | (4U << 28);
    REG(CR2) = 16;
    REG(CCR) = 80; // 100 kHz
    REG(CR1) = 1;
    const uint8_t data[] = {0x03, 0xFF};
    Log(Write(0x60, data, 2));
    Log(Write(0x61, data, 2));
}
}
