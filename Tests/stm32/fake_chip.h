// A fake STM32F411 for the PC tests of the register-level platform layer. Its register blocks
// are plain memory at the layer's disposal; each turn of a busy-wait (fake::Poll) the fake plays
// the hardware: oscillators become ready, the clock switch takes effect, the RTC enters and leaves
// initialisation, a USART shifts out what was written to DR, and I2C1 runs a scripted device.
// A turn that finds its flag not yet there lets one millisecond pass (the tick and the cycle
// counter), so time-outs are exact.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "periph_access_fake.h"
#include "stm32f411_regs.h"

namespace fake {

// Written by the halt of the firmware (interrupts masked, then waiting for an interrupt).
struct Halted {};
// Thrown by a wait that has turned a million times (a thousand seconds): the layer would hang.
struct Stuck {};

// What the fake hardware does; all true/absent after Reset().
struct Behaviour {
    bool hse_starts = true;
    bool pll_locks = true;
    bool lsi_starts = true;
    bool clock_switches = true;
    bool regulator_ready = true; // VOSRDY comes once the PLL runs
    bool rtc_enters_init = true;
    bool rtc_resyncs = true;
    bool uart_tx_stalled = false; // TXE and TC never come
    // As in a fault handler or an interrupt: the 1 ms tick does not advance, only the cycle
    // counter does.
    bool tick_stands_still = false;
    // A new IWDG prescaler or reload reaches the LSI's domain (PVU, RVU clear) after this many
    // turns; never, when negative.
    int iwdg_update_turns = 0;
};

// The device on I2C1 and the bus around it.
struct I2cScript {
    bool present = true;       // acknowledges its address
    uint8_t address = 0xC0;    // address byte it answers to (write direction; read: + 1)
    uint8_t read_value = 0x5A; // what a read of any register gives
    int nacks_before_ack = 0;  // address phases refused before it answers
    int nack_at = -1;          // byte of a transfer refused (0: address byte)
    int arbitration_lost_at = -1;
    int bus_error_at = -1;
    bool bus_stuck_busy = false; // BUSY never clears
    int stall_after = -1;        // events answered before the bus stops answering
    int slow_turns = 0;          // idle turns before each START or byte completes
};

void Reset();
void Poll();
int flash_erases(uint32_t sector); // sector 2 or 3, since Reset
Behaviour &chip();
I2cScript &i2c_script();

// Bus events seen on I2C1: "START", "STOP", each byte written in hex ("C0"), each byte read
// ("<5A") followed by "ACK" or "NACK" (the master's) and "no STOP yet" when the STOP was not yet
// asked for.
const std::vector<std::string> &i2c_events();
// Bytes a USART has shifted out.
const std::string &uart_sent(uintptr_t usart_base);
// A byte arriving at a USART: DR holds it and SR gets RXNE plus the given error flags.
void UartReceive(uintptr_t usart_base, uint8_t byte, uint32_t error_flags = 0);

// The IWDG's prescaler and reload as if written just before (PVU and RVU set, an update on its
// way); whether the layer wrote either while an update was still on its way.
void IwdgUpdateInProgress();
bool iwdg_written_during_update();

// The flash wait states in force at the moment SYSCLK last switched source.
uint32_t latency_at_clock_switch();
bool irq_masked();

template <typename T> T &At(uintptr_t address) {
    return *static_cast<T *>(platform::FakeRegisterBlock(address));
}
inline GPIO_TypeDef &Gpio(GPIO_TypeDef *port) {
    return At<GPIO_TypeDef>(uintptr_t(port));
}
inline USART_TypeDef &Usart(USART_TypeDef *u) {
    return At<USART_TypeDef>(uintptr_t(u));
}
inline I2C_TypeDef &I2c(I2C_TypeDef *i) {
    return At<I2C_TypeDef>(uintptr_t(i));
}
inline TIM_TypeDef &Tim(TIM_TypeDef *t) {
    return At<TIM_TypeDef>(uintptr_t(t));
}
inline RTC_TypeDef &Rtc() {
    return At<RTC_TypeDef>(RTC_BASE);
}
inline RCC_Regs &Rcc() {
    return At<RCC_Regs>(RCC_BASE);
}
inline FLASH_Regs &Flash() {
    return At<FLASH_Regs>(FLASH_R_BASE);
}
inline PWR_Regs &Pwr() {
    return At<PWR_Regs>(PWR_BASE);
}
inline NVIC_Regs &Nvic() {
    return At<NVIC_Regs>(NVIC_BASE);
}
inline SCB_Regs &Scb() {
    return At<SCB_Regs>(SCB_BASE);
}
inline SysTick_Regs &SysTick() {
    return At<SysTick_Regs>(SYSTICK_BASE);
}

// Value of a field of `width` bits at `shift`, for reading packed registers in expectations.
constexpr uint32_t Field(uint32_t reg, unsigned shift, unsigned width) {
    return (reg >> shift) & ((1U << width) - 1U);
}

} // namespace fake
