// The virtual MCU: the platform operations of the firmware on the PC, on deterministic virtual
// time. Time advances only when the CPU waits: inside blocking transfers (a UART byte lasts 10 bit
// times at the configured baud rate, an I2C transfer its bus time at 400 kHz) and while the main
// loop sleeps until the next event. Interrupts are delivered as on the chip: when they fall due,
// unless masked, in which case they stay pending until unmasked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "stm32f4xx_hal.h"

namespace vmcu {

constexpr uint64_t NS_PER_MS = 1000000;

// ---- Power, time --------------------------------------------------------------------------------

// Power-on state of the board: time 0, nothing configured, no devices, logs and faults cleared,
// handlers removed. The firmware's own RAM is not touched (a new process holds a fresh firmware).
void reset();
uint64_t now_ns();
inline uint64_t now_us() {
    return now_ns() / 1000;
}

// ---- Interrupt vectors --------------------------------------------------------------------------
// Whoever plays the start-up code installs the handlers, like a vector table.
enum Vector { VEC_SYSTICK, VEC_TIM3, VEC_USART1, VEC_USART2, VEC_COUNT };
using Handler = void (*)();
void set_handler(Vector v, Handler h);
bool irq_masked();
// Number of interrupt handlers run so far.
uint64_t interrupts_taken();

// ---- Driving the CPU ----------------------------------------------------------------------------

// Time of the next thing that can happen (tick, received byte, model timer); UINT64_MAX if none.
uint64_t next_event_ns();
// Lets time pass up to t, delivering every interrupt that falls due (as in a blocking wait).
void advance_to(uint64_t t_ns);
// One turn of the main loop: runs pass(); when the pass took no interrupt, the CPU then sleeps
// until the next event (at most until limit_ns) and takes it.
void step(void (*pass)(), uint64_t limit_ns);
// Runs the main loop until virtual time reaches until_ns.
void run(void (*pass)(), uint64_t until_ns);
// Called when the CPU halts for good (interrupts masked and waiting for an interrupt, as
// Error_Handler does). Must not return; without a handler the process aborts.
void set_halt_handler(void (*on_halt)());

// Model timers: fn runs at virtual time t (in time order with interrupts; ties after them).
void schedule(uint64_t t_ns, std::function<void(uint64_t t_ns)> fn);

// ---- UARTs --------------------------------------------------------------------------------------
// Index 0 is USART1, 1 is USART2.
constexpr int UART_COUNT = 2;
int uart_index(const USART_TypeDef *instance); // -1 for others

// Bytes sent to the MCU's RX pin by an outside device at the given baud rate, back to back, the
// first one starting no earlier than at_ns (nor before the line has finished the bytes already
// queued). A byte is received when its stop bit ends.
void uart_inject(int uart, const uint8_t *data, size_t n, uint64_t at_ns, uint32_t baud);
void uart_inject(int uart, std::string_view text, uint64_t at_ns, uint32_t baud);
// When the RX line will have delivered every queued byte.
uint64_t uart_line_free_ns(int uart);
size_t uart_rx_queued(int uart);

// What the MCU transmitted (kept unless disabled), and a listener for each byte as it completes.
const std::string &uart_output(int uart);
void uart_clear_output(int uart);
void uart_keep_output(int uart, bool keep);
void uart_on_tx(int uart, std::function<void(uint64_t t_ns, uint8_t byte)> fn);
uint32_t uart_baud(int uart); // as configured by HAL_UART_Init, 0 before

// Faults and counters.
void uart_stall_tx(int uart, bool stalled); // transmitter never gets rid of a byte
void uart_force_overrun(int uart);          // next received byte overruns the data register
uint64_t uart_overruns(int uart);           // bytes lost in the peripheral
uint64_t uart_rx_errors_reported(int uart); // error callbacks made

// ---- GPIO ---------------------------------------------------------------------------------------
enum Port { PORT_A, PORT_B, PORT_C, PORT_H, PORT_COUNT };
int port_index(const GPIO_TypeDef *port); // -1 for others

struct PinConfig {
    bool configured;
    uint32_t mode, pull, speed, alternate;
};
PinConfig gpio_config(int port, int pin);
// Outside drive of an input pin: 0 or 1; -1 releases it (the pull decides, floating reads 0).
void gpio_drive(int port, int pin, int level);
int gpio_output(int port, int pin); // output latch level
void gpio_on_change(std::function<void(uint64_t t_ns, int port, int pin, int level)> fn);

// ---- I2C1 ---------------------------------------------------------------------------------------
class I2cDevice {
  public:
    virtual ~I2cDevice() = default;
    // START and the address byte (write direction); true acknowledges.
    virtual bool i2c_start(uint64_t t_ns) = 0;
    // One byte written by the master after the address; true acknowledges.
    virtual bool i2c_write(uint8_t byte, uint64_t t_ns) = 0;
    // STOP condition: the transfer is over.
    virtual void i2c_stop(uint64_t t_ns) = 0;
};
void i2c_attach(uint8_t addr7, I2cDevice *dev);
void i2c_detach(uint8_t addr7);

struct I2cTransfer {
    enum Kind { PROBE, MEM_WRITE } kind;
    uint8_t addr7;
    std::vector<uint8_t> bytes; // MEM_WRITE: register address, then data
    uint32_t trials;            // PROBE
    uint32_t timeout_ms;
    uint16_t mem_add_size; // MEM_WRITE
    HAL_StatusTypeDef status;
    uint64_t start_ns, end_ns;
};
// Every I2C operation the firmware made, in order (kept unless disabled).
const std::vector<I2cTransfer> &i2c_log();
// Called with every I2C operation as it ends, logged or not.
void i2c_on_transfer(std::function<void(const I2cTransfer &)> fn);
void i2c_clear_log();
void i2c_keep_log(bool keep); // also empties the log
uint64_t i2c_operations();    // operations made since reset, logged or not

// The operation with this number (counted from 0 since reset) fails with the status, touching
// nothing on the bus; with from_then_on every later operation fails the same way.
void i2c_fail(uint64_t op_index, HAL_StatusTypeDef status, bool from_then_on);
void i2c_clear_faults();

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
struct RtcRecord {
    bool initialised, time_set, date_set;
    RTC_InitTypeDef init;
    RTC_TimeTypeDef time;
    RTC_DateTypeDef date;
    uint32_t time_format, date_format;
};
const RtcRecord &rtc_record();
const I2C_InitTypeDef *i2c_init_record(); // nullptr before HAL_I2C_Init
const UART_InitTypeDef *uart_init_record(int uart);

// Names of the platform operations called by the bring-up, in call order ("HAL_Init",
// "HAL_RCC_OscConfig", "HAL_GPIO_Init", ...).
const std::vector<std::string> &init_calls();
// The named initialisation operation returns this status from now on (HAL_OK clears it).
void fail_init(std::string_view op, HAL_StatusTypeDef status);
bool halted();

} // namespace vmcu
