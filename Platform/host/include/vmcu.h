// The virtual MCU: the platform operations of the firmware on the PC, on deterministic virtual
// time, one model per peripheral (vmcu_<peripheral>.cpp, each beside its board counterpart
// hal_<peripheral>.cpp). Time advances only when the CPU waits: inside blocking transfers (a UART
// byte lasts 10 bit times at the configured baud rate, an I2C transfer its bus time at 400 kHz)
// and while the main loop sleeps until the next event. Interrupts are delivered as on the chip:
// when they fall due, unless masked, in which case they stay pending until unmasked.
//
// The outside world (devices on the buses and pins, the wires, the time) belongs to the world,
// not to the MCU: a reset of the MCU brings its registers and the firmware's RAM back to their
// reset state and leaves the world as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "devices.h"
#include "mcu_facts.h"
#include "stm32f4xx_hal.h"

namespace vmcu {

using mcu::NS_PER_MS;

// ---- The world and its time ---------------------------------------------------------------------

// A fresh world: time 0, the MCU in its power-on state, nothing attached, every log, fault and
// listener cleared. The firmware attached stays attached (its RAM goes back to its start).
void reset();
uint64_t now_ns();
inline uint64_t now_us() {
    return now_ns() / 1000;
}
// The world's clock as devices see it.
dev::Clock &clock();
// World events: fn runs at virtual time t (in time order with the MCU's own events; ties after
// them). Times in the past run at the next moment.
void schedule(uint64_t t_ns, std::function<void(uint64_t t_ns)> fn);
// Time of the next thing that can happen (a peripheral's event or a world event); UINT64_MAX if
// none.
uint64_t next_event_ns();
// Lets time pass up to t, delivering every interrupt that falls due (as in a blocking wait).
void advance_to(uint64_t t_ns);

// ---- The firmware -------------------------------------------------------------------------------

// A firmware build loaded into the process: its entry points and interrupt handlers are found by
// their names, as the board's linker finds them, and its RAM (.data and .bss) can be put back to
// its state at load, as the board's start-up code does after every reset.
class FirmwareImage {
  public:
    virtual ~FirmwareImage() = default;
    // A shared object built from the firmware's sources; nullptr and a reason on failure.
    static std::unique_ptr<FirmwareImage> Load(const std::string &path, std::string &error);
    // The running program's own exported functions (tests that bring their own handlers).
    static std::unique_ptr<FirmwareImage> ThisProgram();

    // An exported function or variable; nullptr if there is none.
    virtual void *Entry(const char *name) const = 0;
    // Any data object of the image, file-local ones included, as a debugger sees it: nullptr when
    // there is none or more than one of that name.
    virtual void *Variable(const char *name, size_t *size) const = 0;
    // .data and .bss back to their state at load.
    virtual void RestoreRam() const = 0;
};

// The firmware the MCU runs: vectors and HAL callbacks are resolved from it (nullptr: none).
void attach_firmware(const FirmwareImage *image);
const FirmwareImage *firmware();

// What the CPU runs after every reset: start once, then the main loop one pass at a time.
struct Program {
    void (*start)() = nullptr;
    void (*pass)() = nullptr;
};
void set_program(Program program);

// Runs the program until virtual time reaches until_ns: after a reset its start, then pass after
// pass; when a pass took no interrupt the CPU sleeps until the next event. While the CPU is
// halted or its main loop hangs, time passes with only the world (and unmasked interrupts, when
// hanging) going on.
void run(uint64_t until_ns);

// ---- Resets, CPU state ------------------------------------------------------------------------

using ResetCause = mcu::ResetCause;
// Resets the MCU: every peripheral's registers, the CPU and the firmware's RAM; the program
// starts again at the next run. Requested while firmware code runs (from a watchdog, say), the
// firmware's call stack is abandoned as the chip abandons it.
void reset_mcu(ResetCause cause);
uint64_t resets(); // since the world began

bool irq_masked();
uint64_t interrupts_taken();
// The CPU stopped for good (waiting for an interrupt that can never be taken: masked, or inside
// a handler), until a reset. The listener hears of it when it happens.
bool halted();
void on_halt(std::function<void()> fn);
// From time t the main loop is stuck (a firmware hang): no more passes, interrupts go on.
void hang_main_loop_at(uint64_t t_ns);

// The CPU takes a hard fault now (as after a bad memory access): its handler runs at once,
// masked or not. Call it from a world event (vmcu::schedule) while the program runs.
void hard_fault();

// Fault: an interrupt line the firmware never enabled is enabled and raised now (a stray write to
// the NVIC); taken as any interrupt, by the firmware's handler or its Default_Handler.
void stray_interrupt(IRQn_Type irq);

// Installs a handler for an exception or interrupt (the firmware's, found by name, otherwise).
void set_handler(IRQn_Type irq, void (*handler)());

// ---- UARTs (USART1, USART2, USART6) -------------------------------------------------------------

// Connects a device: it hears what the UART transmits and sends through the line it is given.
void uart_attach(const USART_TypeDef *uart, dev::UartDevice *device);
// The wire into the UART's receive pin.
dev::UartLine &uart_line(const USART_TypeDef *uart);
uint32_t uart_baud(const USART_TypeDef *uart); // as configured by HAL_UART_Init, 0 before
const UART_InitTypeDef *uart_init_record(const USART_TypeDef *uart);

// Faults and counters.
void uart_stall_tx(const USART_TypeDef *uart, bool stalled); // transmitter never empties
void uart_force_overrun(const USART_TypeDef *uart);          // next received byte overruns
uint64_t uart_overruns(const USART_TypeDef *uart);           // bytes lost in the peripheral
uint64_t uart_rx_errors_reported(const USART_TypeDef *uart); // error callbacks made

// ---- GPIO (ports A..E, H) ----------------------------------------------------------------------

struct PinConfig {
    bool configured;
    uint32_t mode, pull, speed, alternate;
};
PinConfig gpio_config(const GPIO_TypeDef *port, int pin);
// Outside drive of an input pin: 0 or 1; -1 releases it (the pull decides, floating reads 0).
void gpio_drive(const GPIO_TypeDef *port, int pin, int level);
int gpio_output(const GPIO_TypeDef *port, int pin); // output latch level
void gpio_on_change(
    std::function<void(uint64_t t_ns, const GPIO_TypeDef *port, int pin, int level)> fn);
// The level on the pin's line: what the MCU drives, else what the outside or the pull puts there.
int gpio_level(const GPIO_TypeDef *port, int pin);
// Hears every change of the level on a pin that is or was an output (a pin becoming an output,
// its latch moving while it drives, a reset releasing it); nullptr: none.
void gpio_on_level(
    std::function<void(uint64_t t_ns, const GPIO_TypeDef *port, int pin, int level)> fn);

// ---- The unique device ID -----------------------------------------------------------------------

// What HAL_GetUIDw0..2 read; a new world brings back mcu::DEFAULT_UID.
void set_uid(const mcu::Uid &uid);

// ---- I2C (I2C1..I2C3) ---------------------------------------------------------------------------

void i2c_attach(const I2C_TypeDef *bus, uint8_t addr7, dev::I2cDevice *device);
void i2c_detach(const I2C_TypeDef *bus, uint8_t addr7);

struct I2cTransfer {
    enum Kind { PROBE, MEM_WRITE, MEM_READ } kind;
    const I2C_TypeDef *bus;
    uint8_t addr7;
    std::vector<uint8_t> bytes; // MEM_WRITE, MEM_READ: register address, then the data
    uint32_t trials;            // PROBE
    uint32_t timeout_ms;
    uint16_t mem_add_size; // MEM_WRITE, MEM_READ
    HAL_StatusTypeDef status;
    uint64_t start_ns, end_ns;
    // Cut short by a reset of the peripheral (or of the MCU) while it was on the bus: recorded
    // then, with the bytes that went out and HAL_OK when each of them was acknowledged.
    bool cut;
};
// Every I2C operation the firmware made, in order (kept unless disabled), and a listener that
// hears each one as it ends, logged or not.
const std::vector<I2cTransfer> &i2c_log();
void i2c_on_transfer(std::function<void(const I2cTransfer &)> fn);
void i2c_clear_log();
void i2c_keep_log(bool keep); // also empties the log
uint64_t i2c_operations();    // operations made since the world began, logged or not
// A transfer is on the bus for its bus time: an interrupt or fault handler that makes another
// meanwhile finds the bus busy, and one that resets the peripheral (the RCC's reset line) cuts it.
// The operation with this number (counted from 0) fails with the status, touching nothing on the
// bus; with from_then_on every later operation fails the same way.
void i2c_fail(uint64_t op_index, HAL_StatusTypeDef status, bool from_then_on);
void i2c_clear_faults();
const I2C_InitTypeDef *i2c_init_record(const I2C_TypeDef *bus); // nullptr before HAL_I2C_Init

// ---- Configuration recorded from the bring-up ---------------------------------------------------

struct ClockRecord {
    bool osc_set, clk_set, periph_set;
    RCC_OscInitTypeDef osc;
    RCC_ClkInitTypeDef clk;
    uint32_t flash_latency;
    uint32_t voltage_scale;
    RCC_PeriphCLKInitTypeDef periph;
};
const ClockRecord &clock_record();
bool gate_enabled(RCC_GateTypeDef gate);
// The peripheral is held in reset by the RCC (HAL_RCC_SetPeripheralReset).
bool reset_held(RCC_GateTypeDef gate);
// An RCC reset flag (RCC_FLAG_PORRST, ...) as the firmware would read it now.
bool reset_flag(uint32_t flag);

struct NvicRecord {
    bool enabled;
    bool priority_set;
    uint32_t preempt, sub;
};
NvicRecord nvic_record(IRQn_Type irq);

struct TimerRecord {
    bool initialised, started_it;
    TIM_Base_InitTypeDef init;
    uint32_t clock_source, master_trigger, master_slave;
    uint64_t started_ns; // when the update interrupt was started
    uint64_t period_ns;  // time between updates, from the clock tree, prescaler and period
};
TimerRecord timer_record(const TIM_TypeDef *instance);
// The clock line on TIM2's external clock input (PA5, TIM2_ETR); nullptr: none (the pin is still).
// A rising edge driven on PA1 (TIM2_CH2) captures TIM2's count when its channel 2 captures.
void tim2_clock_input(dev::ClockLine *line);

struct RtcRecord {
    bool initialised, time_set, date_set;
    RTC_InitTypeDef init;
    RTC_TimeTypeDef time;
    RTC_DateTypeDef date;
    uint32_t time_format, date_format;
};
const RtcRecord &rtc_record();

// The independent watchdog since the last reset (a reset stops it).
struct IwdgRecord {
    bool running;
    uint32_t prescaler, reload;
    uint64_t timeout_ns; // at the LSI's nominal LSI_VALUE
    uint64_t refreshes;
};
IwdgRecord iwdg_record();

// ---- Flash: the two settings sectors (2 and 3, 16 KiB each, from FLASH_SECTOR_2_ADDR) --------

// As the chip's: an erase sets every bit of a sector to 1 and takes ERASE_NS, programming a word
// only clears bits and takes PROGRAM_NS, the CPU stalls meanwhile (interrupts wait, the 1 ms tick
// loses its counts); locked after every reset until unlocked. The contents survive resets of the
// MCU; a new world starts with both sectors erased.
using mcu::FLASH_ERASE_NS;       // 16 KiB at 32-bit parallelism, typical
using mcu::FLASH_PROGRAM_NS;     // a 32-bit word, typical
using mcu::FLASH_SETTINGS_BYTES; // both sectors
static_assert(FLASH_SECTOR_2_ADDR == mcu::FLASH_SETTINGS_ADDR &&
              FLASH_SECTOR_16K_SIZE == mcu::FLASH_SECTOR_BYTES);
struct FlashRecord {
    uint64_t operations; // programs and erases asked for, refused ones included
    uint64_t programs, erases, refused;
    uint64_t power_cuts;
};
FlashRecord flash_record(); // since the world began
std::vector<uint8_t> flash_contents();
void flash_load(const std::vector<uint8_t> &bytes); // FLASH_SETTINGS_BYTES of them
// The power fails during flash operation n (counted from 1 from this call on): a word half
// programmed (each bit it was to clear cleared or not) or a sector half erased (each cleared bit
// set or not), chosen by the seed; then the board powers up again (a power-on reset). 0: never.
void flash_power_cut_at(uint64_t n, uint64_t seed = 1);
// While on, every program and erase is refused (HAL_ERROR, write protection), as a worn-out or
// protected flash refuses.
void flash_refuse(bool on);

// Names of the platform operations the bring-up called since the last reset, in call order
// ("HAL_Init", "HAL_RCC_OscConfig", "HAL_GPIO_Init", ...).
const std::vector<std::string> &init_calls();
// The named initialisation operation returns this status from now on (HAL_OK clears it).
void fail_init(std::string_view op, HAL_StatusTypeDef status);

} // namespace vmcu
