// A GPIOC register written before its clock is enabled in RCC_AHB1ENR, then after.
#include "probe.h"

extern "C" {
void probe_main() {
    REG(0x40020800) = 1U << 26; // GPIOC_MODER, clock off: ignored
    Log(REG(0x40020800));
    REG(0x40023830) = 1U << 2; // RCC_AHB1ENR: GPIOCEN
    REG(0x40020800) = 1U << 26;
    Log(REG(0x40020800));
}
}
