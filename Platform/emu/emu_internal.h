// Inside the emulated chip: what the register models share with the core.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "emu.h"

namespace emu::detail {

constexpr uint64_t NEVER = UINT64_MAX;

// Exception numbers of the Cortex-M4; interrupts are 16 + their IRQ number.
enum Exception : int {
    EXC_NMI = 2,
    EXC_HARDFAULT = 3,
    EXC_SVCALL = 11,
    EXC_PENDSV = 14,
    EXC_SYSTICK = 15,
    EXC_IRQ0 = 16,
};
// STM32F411 interrupt numbers the models raise.
constexpr int IRQ_TIM1_UP_TIM10 = 25;
constexpr int IRQ_TIM3 = 29;
constexpr int IRQ_I2C1_EV = 31;
constexpr int IRQ_I2C1_ER = 32;
constexpr int IRQ_USART1 = 37;
constexpr int IRQ_USART2 = 38;

// A clock gate in RCC: the enable register's offset and the bit.
struct Gate {
    uint32_t enr_offset; // 0: none (always clocked)
    uint32_t bit;
};

// One peripheral's register block. It registers itself at construction; the core dispatches the
// bus accesses in [base, base + size) to it, after the clock-gate check.
class Block {
  public:
    Block(const char *name, uint32_t base, uint32_t size, Gate gate);
    virtual ~Block() = default;
    Block(const Block &) = delete;
    Block &operator=(const Block &) = delete;

    virtual uint32_t read(uint32_t offset, unsigned size) = 0;
    virtual void write(uint32_t offset, unsigned size, uint32_t value) = 0;
    // Registers back to their reset values. A power-on also resets what survives other resets
    // (the backup domain).
    virtual void reset(bool power_on) = 0;
    // The next moment the block has something to do, and doing it.
    virtual uint64_t next_event() const { return NEVER; }
    virtual void on_event(uint64_t /*t_ns*/) {}

    const char *name;
    uint32_t base, size;
    Gate gate;
};

// Time and the clock tree.
uint64_t now();
void stall(uint64_t ns); // the CPU waits (flash busy): time passes, nothing runs
void clocks_changed();   // the RCC's output frequencies moved
uint32_t hclk();         // from the RCC model
uint32_t pclk1();
uint32_t pclk2();
uint32_t flash_latency(); // wait states configured in FLASH_ACR
uint32_t voltage_scale(); // PWR_CR VOS: 1, 2 or 3
bool gate_on(Gate gate);
// The flash wait states HCLK needs (RM0383 table 6, 2.7..3.6 V: one per 30 MHz).
uint32_t wait_states_for(uint32_t hclk_hz);
bool backup_writable(); // PWR_CR DBP

// Interrupts.
void irq_set(int irq, bool level); // level-held lines (a peripheral's flags and enables)
void exception_pend(int number);
void reset_request(ResetCause cause);
// RCC reset flags for the next start.
void rcc_note_reset(ResetCause cause);

// Pins: whether a pin is in the given alternate function (with its port clocked).
bool pin_alternate(char port, int pin, uint32_t function);
int i2c_pin_output(int pin); // PB6/PB7 as GPIO outputs: 0 pulls low, -1 leaves the line
// The I2C lines as the bus sees them (wired-AND of the MCU's pins and the devices).
bool bus_scl();
bool bus_sda();
void i2c_pins_changed(uint64_t t_ns); // a pin of PB6/PB7 moved (bus recovery clocks SCL)

// The devices' link with the chip.
bool i2c_bus_start(uint8_t address_byte, uint64_t t_ns); // true when acknowledged
bool i2c_bus_write(uint8_t byte, uint64_t t_ns);
void i2c_bus_stop(uint64_t t_ns);

// UART wire delivery: the byte a device sent, reaching the USART's RX pin at t.
void usart_receive(int usart, uint8_t byte, uint32_t baud, uint64_t t_ns);

// A new world: no devices on the bus and the lines, nothing on its way.
void usart_world_reset();
void i2c_world_reset();

// Settings flash, as the flash interface model keeps it.
uint8_t *settings_memory();

// A finding: said once on stderr (by its text) and kept.
void finding(const std::string &text);
// Formatting without the heap's size guesses: "0x%08X".
std::string hex(uint32_t value);

} // namespace emu::detail
