/* Helpers shared by the parts of the register-level platform layer. */
#ifndef PLATFORM_INTERNAL_H
#define PLATFORM_INTERNAL_H

#include <stdint.h>

#include "periph_access.h"
#include "stm32f411_regs.h"

namespace platform {

constexpr uint32_t HSI_HZ = 16000000U;

/* Clock frequencies as the RCC registers configure them now. */
uint32_t SysclkHz();
uint32_t HclkHz();
uint32_t Pclk1Hz();
uint32_t Pclk2Hz();

/* True once more than `timeout` ms have passed since `start`; never for HAL_MAX_DELAY. Called
 * by busy-waits each time their flag is not there yet. */
bool TimedOut(uint32_t start, uint32_t timeout);

/* Waits until (reg & mask) == want. False when the time-out ran out first. */
bool WaitBits(const volatile uint32_t &reg, uint32_t mask, uint32_t want, uint32_t start,
              uint32_t timeout);

/* A time limit counted on the core's cycle counter (DWT CYCCNT), which runs in every context:
 * in a fault handler or an interrupt handler the 1 ms tick stands still, and a wait counted on it
 * would never end. The counter is started here if it is not running yet (a fault before
 * HAL_Init). HAL_MAX_DELAY never runs out; a limit counts at the clock set up when it starts,
 * at most 40 s (the 32-bit counter wraps after 42.9 s at 100 MHz). */
class CycleLimit {
  public:
    explicit CycleLimit(uint32_t timeout_ms);
    bool Expired() const;
    /* Expired, for a wait's turn: lets the platform's wait hook run first, as every turn does. */
    bool Passed() const;

  private:
    uint32_t start_;
    uint32_t cycles_;
    bool never_;
};

/* Waits until (reg & mask) == want. False when the limit passed first. */
bool WaitBitsWithin(const volatile uint32_t &reg, uint32_t mask, uint32_t want,
                    const CycleLimit &limit);

/* Read-modify-write of a register (spelt out: compound assignment to volatile is deprecated). */
inline void SetBits(volatile uint32_t &reg, uint32_t bits) {
    reg = reg | bits;
}
inline void ClearBits(volatile uint32_t &reg, uint32_t bits) {
    reg = reg & ~bits;
}
/* Replaces the `mask` bits of a register with `value` (already shifted into place). */
inline void ModifyBits(volatile uint32_t &reg, uint32_t mask, uint32_t value) {
    reg = (reg & ~mask) | value;
}

inline RCC_Regs *Rcc() {
    return RegsAt<RCC_Regs>(RCC_BASE);
}
inline PWR_Regs *Pwr() {
    return RegsAt<PWR_Regs>(PWR_BASE);
}
inline FLASH_Regs *Flash() {
    return RegsAt<FLASH_Regs>(FLASH_R_BASE);
}
inline SCB_Regs *Scb() {
    return RegsAt<SCB_Regs>(SCB_BASE);
}
inline NVIC_Regs *Nvic() {
    return RegsAt<NVIC_Regs>(NVIC_BASE);
}
inline SysTick_Regs *SysTick() {
    return RegsAt<SysTick_Regs>(SYSTICK_BASE);
}

/* Register values worked out at compile time from the clock they are derived from. */

/* USART baud-rate register with 16x oversampling: PCLK / baud in sixteenths (mantissa 15:4,
 * fraction 3:0), rounded to the nearest step. */
constexpr uint32_t UartBrr(uint32_t pclk_hz, uint32_t baud) {
    return (pclk_hz + baud / 2U) / baud;
}
static_assert(UartBrr(100000000U, 115200U) == 0x364U); /* 54 + 4/16: 115207 baud */
static_assert(UartBrr(50000000U, 9600U) == 0x1458U);   /* 325 + 8/16: 9600.6 baud */

/* I2C clock control register. The divider is rounded up so SCL never runs above the requested
 * rate: standard mode Thigh = Tlow = CCR; fast mode Tlow/Thigh = 2 (3 CCR periods per bit) or
 * 16/9 (25 CCR periods per bit). Zero when the divider does not fit. */
constexpr uint32_t I2cCcr(uint32_t pclk_hz, uint32_t speed_hz, uint32_t duty) {
    uint32_t ccr;
    uint32_t flags = 0;
    if (speed_hz <= 100000U) {
        ccr = (pclk_hz + 2U * speed_hz - 1U) / (2U * speed_hz);
        ccr = ccr < 4U ? 4U : ccr;
    } else {
        const uint32_t periods = duty == I2C_DUTYCYCLE_16_9 ? 25U : 3U;
        ccr = (pclk_hz + periods * speed_hz - 1U) / (periods * speed_hz);
        ccr = ccr < 1U ? 1U : ccr;
        flags = I2C_CCR_FS | (duty == I2C_DUTYCYCLE_16_9 ? I2C_CCR_DUTY : 0U);
    }
    return ccr > I2C_CCR_Msk ? 0U : flags | ccr;
}
static_assert(I2cCcr(50000000U, 400000U, I2C_DUTYCYCLE_2) == (I2C_CCR_FS | 42U)); /* 396.8 kHz */
static_assert(I2cCcr(50000000U, 400000U, I2C_DUTYCYCLE_16_9) ==
              (I2C_CCR_FS | I2C_CCR_DUTY | 5U)); /* exactly 400 kHz */
static_assert(I2cCcr(50000000U, 100000U, I2C_DUTYCYCLE_2) == 250U);

/* I2C maximum rise time in PCLK1 periods plus one: 1000 ns in standard mode, 300 ns in fast. */
constexpr uint32_t I2cTrise(uint32_t freq_mhz, uint32_t speed_hz) {
    return (speed_hz <= 100000U ? freq_mhz : freq_mhz * 300U / 1000U) + 1U;
}
static_assert(I2cTrise(50U, 400000U) == 16U && I2cTrise(50U, 100000U) == 51U);

} // namespace platform

#endif
