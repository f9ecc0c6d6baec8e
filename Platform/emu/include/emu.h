// The emulated STM32F411: the board image (.elf) as users flash it, run from its reset vector on
// a Cortex-M4 CPU emulator (Unicorn), with the chip's peripherals modelled at register level from
// the reference manual: RCC, PWR, the flash interface, GPIO, SysTick, NVIC and SCB, TIM1/TIM3,
// USART1/2, I2C1, RTC, IWDG and the DWT cycle counter. Unicorn executes instructions only; this
// runner takes exceptions itself (entry, tail-chaining, EXC_RETURN) as ARMv7-M specifies.
//
// Time follows the CPU's cycles at the clock the firmware configured (one instruction, one
// cycle), and jumps while the CPU sleeps in WFI or stalls on a flash operation. The devices are
// the ones of the virtual MCU (dev:: interfaces): the same Si5351 model, GNSS receiver and
// terminal attach to the emulated chip's I2C bus and UART lines.
//
// Anything the models find wrong (an access to a peripheral whose clock is off, to a register or
// peripheral that is not modelled, too few flash wait states for the clock, a floating-point
// instruction before the FPU is enabled, a fault) is a finding: said once on stderr and counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "devices.h"
#include "mcu_facts.h"

namespace emu {

using mcu::NS_PER_MS;

// Loads the image (its PT_LOAD segments into flash and RAM); false with a reason on failure.
// The image stays loaded for every world after.
bool load(const std::string &elf_path, std::string &error);
// The address of a function or object of the image by its symbol name; 0 when there is none.
uint32_t symbol(const char *name);

// A fresh world: time 0, nothing attached, a power-on reset of the chip, the settings flash
// erased, every finding and listener cleared.
void reset();
uint64_t now_ns();
dev::Clock &clock();
void schedule(uint64_t t_ns, std::function<void(uint64_t t_ns)> fn);

// Runs the CPU until time reaches until_ns.
void run(uint64_t until_ns);

using ResetCause = mcu::ResetCause;
void reset_mcu(ResetCause cause);
uint64_t resets();
// The CPU sleeps with interrupts masked (Error_Handler, a fault handler's wait); the listener
// hears of it once per reset.
bool halted();
void on_halt(std::function<void()> fn);
// From time t the program makes no more progress in thread mode (a firmware hang): interrupts
// are still taken. The hang does not outlive the reset it causes.
void hang_thread_at(uint64_t t_ns);
// A hard fault now (as after a bad bus access): taken at once, masked or not.
void hard_fault();
// An interrupt line (0..85) the image never enabled is enabled and raised now (a stray write to
// the NVIC): taken as any interrupt, through the image's vector table.
void stray_interrupt(int irq);

// Calls a function of the image (C linkage, up to four word arguments) on the current stack,
// outside time: nothing else runs meanwhile. Returns r0.
uint32_t call(uint32_t function, uint32_t a0 = 0, uint32_t a1 = 0, uint32_t a2 = 0,
              uint32_t a3 = 0);
// Scratch RAM below the stack for call arguments (up to 512 bytes): its address; read and write
// it.
uint32_t scratch(size_t bytes);
void read_memory(uint32_t address, void *out, size_t n);
void write_memory(uint32_t address, const void *in, size_t n);

// ---- Devices ----------------------------------------------------------------------------------

// USART1 (1) or USART2 (2).
void uart_attach(int usart, dev::UartDevice *device);
dev::UartLine &uart_line(int usart);
void i2c_attach(uint8_t addr7, dev::I2cDevice *device); // on I2C1 (PB6 SCL, PB7 SDA)
// Outside drive of a pin: 0 or 1, -1 releases it (the pull decides). port 'A'..'E', 'H'. A
// rising edge on PA1 reaches TIM2's channel 2 when the pin is in that function.
void gpio_drive(char port, int pin, int level);
// The clock line on TIM2's external clock input (PA5, TIM2_ETR); nullptr: none.
void tim2_clock_input(dev::ClockLine *line);
int gpio_output(char port, int pin); // the output data latch
// The level on the pin's line: what the pin drives, else the outside drive, else its pull.
int gpio_level(char port, int pin);
// Hears every change of the level on a pin that is or was an output (its mode or latch moving, a
// reset releasing it); nullptr: none.
void gpio_on_level(std::function<void(uint64_t t_ns, char port, int pin, int level)> fn);
// The unique device ID the image reads at 0x1FFF7A10; a new world brings back mcu::DEFAULT_UID.
void set_uid(const mcu::Uid &uid);

// A transfer as seen on the I2C bus: START, the address byte, data bytes, STOP or a repeated
// START; acked false when a byte was not acknowledged. A read is the write of its register address
// and, after a repeated START, the bytes read, in one record: bytes holds both, and read is set.
struct I2cTransfer {
    uint8_t addr7;
    std::vector<uint8_t> bytes;
    bool acked;
    uint64_t start_ns, end_ns;
    bool read = false;
};
void i2c_on_transfer(std::function<void(const I2cTransfer &)> fn);

// ---- Flash: sectors 2 and 3 (16 KiB each, at 0x08008000), the settings -------------------------

constexpr uint32_t SETTINGS_ADDR = mcu::FLASH_SETTINGS_ADDR;
constexpr size_t SETTINGS_BYTES = mcu::FLASH_SETTINGS_BYTES;
using mcu::FLASH_ERASE_NS;   // a 16 KiB sector at x32, typical
using mcu::FLASH_PROGRAM_NS; // a word at x32, typical
std::vector<uint8_t> flash_contents();
void flash_load(const std::vector<uint8_t> &bytes);

// ---- Findings and figures ---------------------------------------------------------------------

const std::vector<std::string> &findings();
uint64_t instructions(); // executed since the world began
uint64_t exceptions_taken();
uint32_t hclk_hz();

} // namespace emu
