// USART2 at 9600 baud on the HSI: an overrun, cleared by reading SR then DR; a byte sent at
// another rate, a framing error; one byte transmitted (TXE at once, TC at the end of its frame).
#include "probe.h"

namespace {
constexpr uint32_t RCC_AHB1ENR = 0x40023830, RCC_APB1ENR = 0x40023840, GPIOA = 0x40020000;
constexpr uint32_t USART2 = 0x40004400, SR = USART2, DR = USART2 + 4, BRR = USART2 + 8,
                   CR1 = USART2 + 12;
constexpr uint32_t RXNE = 1U << 5, ORE = 1U << 3, FE = 1U << 1, TC = 1U << 6;
} // namespace

extern "C" {
void probe_main() {
    REG(RCC_AHB1ENR) = 1U;                                   // GPIOA
    REG(RCC_APB1ENR) = 1U << 17;                             // USART2
    REG(GPIOA + 0x00) = 0x0C000000U | (2U << 4) | (2U << 6); // PA2, PA3 alternate
    REG(GPIOA + 0x20) = (7U << 8) | (7U << 12);              // AF7
    REG(BRR) = 1667;                                         // 16 MHz / 1667: 9598 baud
    REG(CR1) = (1U << 13) | (1U << 3) | (1U << 2);           // UE, TE, RE
    while ((REG(SR) & ORE) == 0U) { // the test sends two bytes back to back
    }
    Log(REG(SR) & (RXNE | ORE));
    Log(REG(DR)); // the first byte; the second was lost
    Log(REG(SR) & (RXNE | ORE));
    while ((REG(SR) & RXNE) == 0U) { // then one at 115200 baud
    }
    Log(REG(SR) & (RXNE | FE));
    (void)REG(DR);
    Log(REG(SR) & (RXNE | FE));
    REG(DR) = 'Z';
    Log(REG(SR) & TC);
    while ((REG(SR) & TC) == 0U) {
    }
    Log(1);
}
}
