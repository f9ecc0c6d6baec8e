// I2C1 cut in the middle of a write by its reset line in the RCC (APB1RSTR bit 21): held, its
// registers read their reset values and take no writes; released, BUSY is clear although the
// device is still in its transfer, which a STOP made with the pins as GPIOs then ends; set up
// again, the next write goes through.
#include "probe.h"

namespace {
constexpr uint32_t RCC_AHB1ENR = 0x40023830, RCC_APB1ENR = 0x40023840, RCC_APB1RSTR = 0x40023820;
constexpr uint32_t GPIOB = 0x40020400, MODER = GPIOB, OTYPER = GPIOB + 4, ODR = GPIOB + 0x14,
                   AFRL = GPIOB + 0x20;
constexpr uint32_t I2C1 = 0x40005400, CR1 = I2C1, CR2 = I2C1 + 4, DR = I2C1 + 0x10,
                   SR1 = I2C1 + 0x14, SR2 = I2C1 + 0x18, CCR = I2C1 + 0x1C;
constexpr uint32_t SB = 1U << 0, ADDR = 1U << 1, TXE = 1U << 7;
constexpr uint32_t I2C1_RESET = 1U << 21;

void WaitSr1(uint32_t bits) {
    while ((REG(SR1) & bits) == 0U) {
    }
}

void SetUp() {
    REG(MODER) = (2U << 12) | (2U << 14); // PB6, PB7 in their alternate function
    REG(OTYPER) = (1U << 6) | (1U << 7);
    REG(AFRL) = (4U << 24) | (4U << 28);
    REG(CR2) = 16;
    REG(CCR) = 80; // 100 kHz
    REG(CR1) = 1;
}

void Start(uint8_t address) {
    REG(CR1) = 1U | (1U << 8);
    WaitSr1(SB);
    REG(DR) = static_cast<uint32_t>(address) << 1U;
    WaitSr1(ADDR);
    (void)REG(SR2);
}
} // namespace

extern "C" {
void probe_main() {
    REG(RCC_AHB1ENR) = 1U << 1;
    REG(RCC_APB1ENR) = 1U << 21;
    SetUp();
    Start(0x60);
    WaitSr1(TXE);
    REG(DR) = 0x32;
    WaitSr1(TXE);
    REG(DR) = 0x11;
    WaitSr1(TXE); // 0x32 is out, 0x11 in the shift register when the reset comes
    REG(RCC_APB1RSTR) = I2C1_RESET;
    Log(REG(RCC_APB1RSTR));
    REG(CR1) = 1U; // no write reaches a peripheral held in reset
    Log(REG(CR1) | REG(SR1) | REG(SR2));
    REG(RCC_APB1RSTR) = 0U;
    Log(REG(SR2)); // BUSY clear: the bus lines are high again
    // A STOP with the pins as open-drain outputs: SDA low, then high while SCL is high.
    REG(ODR) = (1U << 6) | (1U << 7);
    REG(MODER) = (1U << 12) | (1U << 14);
    REG(ODR) = 1U << 6;
    REG(ODR) = (1U << 6) | (1U << 7);
    SetUp();
    Start(0x60);
    WaitSr1(TXE);
    REG(DR) = 0x03;
    WaitSr1(TXE);
    REG(CR1) = 1U | (1U << 9);
    while ((REG(SR2) & 2U) != 0U) {
    }
}
}
