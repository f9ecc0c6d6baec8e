// Inside the emulated chip: what the peripheral models share with the core and with each other.
// Each model keeps its own state in its own file (emu_<peripheral>.cpp) and registers itself; the
// core knows none of them by name.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "emu.h"

namespace emu::detail {

constexpr uint64_t NEVER = UINT64_MAX;

// The memory map: the image's flash (sectors 0 and 1, then the settings sectors, then erased
// flash up to 512 KiB) and SRAM.
constexpr uint32_t FLASH_BASE = 0x08000000;
constexpr uint32_t FLASH_BYTES = 512 * 1024;
constexpr uint32_t SRAM_BASE = 0x20000000;
constexpr uint32_t SRAM_BYTES = 128 * 1024;

// Exception numbers of the Cortex-M4; interrupts are 16 + their IRQ number.
enum Exception : int {
    EXC_NMI = 2,
    EXC_HARDFAULT = 3,
    EXC_SVCALL = 11,
    EXC_PENDSV = 14,
    EXC_SYSTICK = 15,
    EXC_IRQ0 = 16,
};

// A clock gate in RCC: the enable register's offset and the bit.
struct Gate {
    uint32_t enr_offset; // 0: none (always clocked)
    uint32_t bit;
};

// ---- Peripherals (emu_core.cpp) ----------------------------------------------------------------

// A modelled peripheral: a register window on the bus, a clock gate, its next event. It registers
// itself when constructed (each model is one object at file scope); the core dispatches the bus
// accesses in [base, base + size) to it after the clock-gate check (a window inside another's, as
// SysTick's inside the system control space, takes its own accesses). Resets and events at the
// same time reach the models in the order of their names.
class Peripheral {
  public:
    Peripheral(const char *name, uint32_t base, uint32_t size, Gate gate);
    virtual ~Peripheral() = default;
    Peripheral(const Peripheral &) = delete;
    Peripheral &operator=(const Peripheral &) = delete;

    const char *name() const { return name_; }
    uint32_t base() const { return base_; }
    uint32_t size() const { return size_; }
    Gate gate() const { return gate_; }

    virtual uint32_t read(uint32_t offset, unsigned size) = 0;
    virtual void write(uint32_t offset, unsigned size, uint32_t value) = 0;

    // Every reset: registers back to their reset values.
    virtual void mcu_reset() = 0;
    // A power-on reset: also what outlives the other resets (the backup domain).
    virtual void power_on_reset() { mcu_reset(); }
    // A new world: forgets what the model knew of the outside (devices, bytes on their way, the
    // settings flash's contents). Every model forgets first, then the chip powers on
    // (power_on_reset), so no pin moved by a reset reaches a device of the old world.
    virtual void world_reset() {}

    // The next moment the model has something to do (NEVER: nothing), and doing it.
    virtual uint64_t next_event_ns() const { return NEVER; }
    virtual void on_event(uint64_t /*t_ns*/) {}
    // HCLK or a bus clock moved (RCC); time has been rebased at the new rate.
    virtual void on_clocks_changed() {}

  private:
    const char *name_;
    uint32_t base_, size_;
    Gate gate_;
};

// ---- Time and the run (emu_core.cpp) -----------------------------------------------------------

uint64_t now();
// Inside a world event, the moment it was scheduled for (time itself advances in whole cycles):
// what an edge the world puts on a pin is timed by. Elsewhere now().
uint64_t world_event_ns();
void stall(uint64_t ns); // the CPU waits (flash busy): time passes, nothing runs
void clocks_changed();   // the RCC's output frequencies moved
// Something a model did may be takeable now (an interrupt pended): the CPU stops at the next
// block boundary to look.
void stop_at_next_block();
// The RCC asserted a peripheral's reset line: every model behind that gate goes back to its reset
// state (mcu_reset).
void reset_peripherals(Gate gate);
// A reset from inside the chip (watchdog, SYSRESETREQ, lockup): done by the run loop at once.
void reset_request(ResetCause cause);

// A finding: said once on stderr (by its text) and kept; the run goes on.
void finding(const std::string &text);
// Formatting without the heap's size guesses: "0x%08X".
std::string hex(uint32_t value);

// ---- The CPU's registers and memory (emu_core.cpp), for the exception model --------------------

uint32_t cpu_reg(int uc_reg); // Unicorn's UC_ARM_REG_* numbers
void cpu_set_reg(int uc_reg, uint32_t value);

// ---- The image (emu_image.cpp) -----------------------------------------------------------------

// The image as flash holds it at power-on, FLASH_BYTES from FLASH_BASE (0xFF where it has
// nothing), and where its floating-point instructions are.
struct Image {
    std::vector<uint8_t> flash;
    std::vector<uint32_t> fp_sites;
};
// A new CPU running the image; false with a reason.
bool cpu_open(const Image &image, std::string &error);
// Thumb-2: a halfword starting with 0b11101, 0b11110 or 0b11111 begins a 32-bit instruction.
inline bool thumb_wide(uint16_t first_halfword) {
    return (first_halfword >> 11) >= 0x1D;
}

// ---- The exception model (emu_nvic.cpp) --------------------------------------------------------

// An exception is pending that the CPU may not take yet (masked, or not above what runs): the
// core looks again after each block that could have lifted the mask.
extern bool g_exception_held;
// Level-held interrupt lines (a peripheral's flags and enables): high pends the interrupt; one
// still high when its handler returns is pending again.
void irq_level(int irq, bool high);
void exception_pend(int number);
// The pending exception that would preempt what runs now (with PRIMASK, BASEPRI and FAULTMASK,
// or, as WFI wakes, without them); 0 if none.
int takeable_exception(bool with_masks);
// Enters the exception that can preempt now, if any.
bool take_pending(uint32_t return_address);
// An SVC, or a fault the instruction at return_address caused: HardFault (a fault inside a
// fault handler locks the CPU up, which ends in a reset).
void take_synchronous(int number, uint32_t return_address);
// EXC_RETURN reached the PC: the handler ends (tail-chaining into the next one, or unstacking).
void exception_return(uint32_t exc_return);
void note_bus_fault(uint32_t address); // BFAR
bool fpu_enabled();                    // CPACR gives CP10 and CP11 full access
bool trace_enabled();                  // DEMCR TRCENA: the DWT counts

// ---- Clock tree and power (emu_rcc.cpp), flash interface (emu_flash.cpp) -----------------------

uint32_t hclk_hz();
uint32_t pclk1_hz();
uint32_t pclk2_hz();
// Timers on an APB bus with a prescaler other than 1 run at twice the bus clock.
uint32_t timer_clock_hz(bool apb2);
uint32_t voltage_scale(); // PWR_CR VOS: 1, 2 or 3
bool backup_writable();   // PWR_CR DBP
bool gate_on(Gate gate);
// The peripheral behind this gate is held in reset (RCC_xxxRSTR): its registers are at their reset
// values and take no writes.
bool in_reset(Gate gate);
// The RCC's reset flags after a reset of this cause.
void record_reset_cause(ResetCause cause);
uint32_t flash_latency(); // wait states configured in FLASH_ACR
// The flash wait states HCLK needs (RM0383 table 6, 2.7..3.6 V: one per 30 MHz).
uint32_t wait_states_for(uint32_t hclk_hz);

// ---- Pins and the I2C bus (emu_gpio.cpp, emu_i2c.cpp) -------------------------------------------

// Whether a pin is in the given alternate function (with its port clocked).
bool pin_alternate(char port, int pin, uint32_t function);
int i2c_pin_output(int pin); // PB6/PB7 as GPIO outputs: 0 pulls low, -1 leaves the line
// The I2C lines as the bus sees them (wired-AND of the MCU's pins and the devices).
bool bus_scl();
bool bus_sda();
void i2c_pins_changed(uint64_t t_ns); // a pin of PB6/PB7 moved (bus recovery clocks SCL)
void tim2_ch2_rising();               // the outside raised PA1 (emu_tim.cpp)

} // namespace emu::detail
