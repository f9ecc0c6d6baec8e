// State of the virtual MCU shared by its source files.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "vmcu.h"

namespace vmcu::detail {

struct RxByte {
    uint64_t t_ns;
    uint8_t value;
};

struct Uart {
    bool configured = false;
    UART_InitTypeDef init{};
    UART_HandleTypeDef *armed = nullptr; // handle of the reception in progress
    // Receiver: the line, the data register and its flags.
    std::deque<RxByte> line;
    uint64_t line_free_ns = 0;
    bool rdr_full = false;
    uint8_t rdr = 0;
    bool ore = false;
    bool force_ore = false;
    uint64_t overruns = 0;
    uint64_t errors_reported = 0;
    // Transmitter.
    std::string out;
    bool keep_out = true;
    bool stalled = false;
    std::function<void(uint64_t, uint8_t)> on_tx;
};

struct Gpio {
    PinConfig pins[16]{};
    uint16_t odr = 0;
    int8_t drive[16] = {-1, -1, -1, -1, -1, -1, -1, -1,
                        -1, -1, -1, -1, -1, -1, -1, -1}; // -1 released
};

struct Timer {
    TimerRecord record{};
    bool running = false;
    uint64_t period_ns = 0;
    uint64_t next_ns = 0;
};

struct Fault {
    uint64_t op_index;
    HAL_StatusTypeDef status;
    bool from_then_on;
};

struct State {
    uint64_t now = 0;
    Handler vectors[VEC_COUNT]{};
    bool primask = false;
    bool in_handler = false;
    bool tick_pending[VEC_COUNT]{};
    uint64_t taken = 0;
    void (*on_halt)() = nullptr;
    bool halted = false;

    bool systick_on = false;
    uint64_t next_systick = 0;
    uint32_t hal_tick = 0;
    Timer tim1, tim3;

    std::multimap<uint64_t, std::function<void(uint64_t)>> timers;

    Uart uart[UART_COUNT];
    Gpio gpio[PORT_COUNT];
    std::function<void(uint64_t, int, int, int)> on_pin_change;

    std::map<uint8_t, I2cDevice *> i2c_devices;
    std::vector<I2cTransfer> i2c_log;
    std::function<void(const I2cTransfer &)> on_i2c;
    bool keep_i2c_log = true;
    uint64_t i2c_ops = 0;
    std::vector<Fault> i2c_faults;
    bool i2c_configured = false;
    I2C_InitTypeDef i2c_init{};

    ClockRecord clock{};
    bool gates[RCC_GATE_RTC + 1]{};
    NvicRecord nvic[100]{};
    RtcRecord rtc{};
    std::vector<std::string> init_calls;
    std::map<std::string, HAL_StatusTypeDef, std::less<>> init_faults;
};

State &state();

// Records an initialisation call and returns the status it was told to fail with (HAL_OK if none).
HAL_StatusTypeDef init_call(const char *name);
// Re-evaluates interrupt requests and runs handlers when allowed.
void deliver();
// Frequencies of the clock tree as configured so far.
uint32_t pclk1_hz();
uint32_t pclk2_hz();
uint32_t timer_clock_hz(const TIM_TypeDef *instance);
[[noreturn]] void halt();

} // namespace vmcu::detail
