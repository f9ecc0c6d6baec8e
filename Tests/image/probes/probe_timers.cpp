// TIM3 and SysTick on the 16 MHz HSI: TIM3 updates every millisecond (prescaler 1599, period
// 9: 1 kHz), SysTick every 2 ms (reload 31999); each handler counts; after 20 ms the counts are
// read with the counters stopped.
#include "probe.h"

namespace {
constexpr uint32_t RCC_APB1ENR = 0x40023840, TIM3 = 0x40000400, NVIC_ISER0 = 0xE000E100;
constexpr uint32_t SYST_CSR = 0xE000E010, SYST_RVR = 0xE000E014, SYST_CVR = 0xE000E018;
volatile uint32_t g_tim3, g_systick;
} // namespace

extern "C" {
void tim3() {
    REG(TIM3 + 0x10) = 0; // clear UIF
    g_tim3 = g_tim3 + 1U;
}
void systick() {
    g_systick = g_systick + 1U;
}
void probe_main() {
    REG(RCC_APB1ENR) = 1U << 1;
    REG(TIM3 + 0x28) = 1599; // PSC: 10 kHz
    REG(TIM3 + 0x2C) = 9;    // ARR: an update every 10 counts (0 would block the counter)
    REG(TIM3 + 0x14) = 1;    // UG: load the prescaler
    REG(TIM3 + 0x10) = 0;    // the UG's UIF
    REG(TIM3 + 0x0C) = 1;    // UIE
    REG(NVIC_ISER0) = 1U << 29;
    REG(TIM3 + 0x00) = 1; // CEN
    REG(SYST_RVR) = 31999;
    REG(SYST_CVR) = 0;
    REG(SYST_CSR) = 7; // HCLK, interrupt, enable
    while (g_tim3 < 20U) {
        __asm volatile("wfi");
    }
    REG(SYST_CSR) = 0;
    REG(TIM3 + 0x00) = 0;
    Log(g_tim3);
    Log(g_systick);
}
}
