// UARTs, GPIO and the I2C1 bus of the virtual MCU.
#include "vmcu_internal.h"

namespace vmcu {

using detail::state;

namespace {

constexpr uint64_t BYTE_BITS_X1E9 = 10ULL * 1000000000ULL; // 10 bits a byte, in ns x baud
constexpr uint64_t I2C_BIT_NS = 2500;                      // 400 kHz

detail::Uart *uart_of(const UART_HandleTypeDef *huart) {
    int u = huart == nullptr ? -1 : uart_index(huart->Instance);
    return u < 0 ? nullptr : &state().uart[u];
}

detail::Gpio *gpio_of(const GPIO_TypeDef *port) {
    int p = port_index(port);
    return p < 0 ? nullptr : &state().gpio[p];
}

void set_output(int port, int pin, int level) {
    detail::Gpio &g = state().gpio[port];
    uint16_t mask = static_cast<uint16_t>(1U << pin);
    int old = (g.odr & mask) != 0;
    g.odr = static_cast<uint16_t>(level ? (g.odr | mask) : (g.odr & ~mask));
    if (old != level && state().on_pin_change) {
        state().on_pin_change(state().now, port, pin, level);
    }
}

// A time-out lasts as on the board: the caller's time-out, at most the 25 ms after which the
// board's I2C layer gives up on a bus that does not move. The other failures come at once.
HAL_StatusTypeDef injected_fault(uint64_t op, uint32_t timeout_ms) {
    for (const detail::Fault &f : state().i2c_faults) {
        if (op == f.op_index || (f.from_then_on && op > f.op_index)) {
            if (f.status == HAL_TIMEOUT) {
                uint64_t ms = timeout_ms < 25 ? timeout_ms : 25;
                advance_to(state().now + (ms + 1) * NS_PER_MS);
            }
            return f.status;
        }
    }
    return HAL_OK;
}

I2cDevice *device_at(uint16_t dev_address) {
    auto &devices = state().i2c_devices;
    auto it = devices.find(static_cast<uint8_t>(dev_address >> 1));
    return it == devices.end() ? nullptr : it->second;
}

void log_transfer(I2cTransfer &&t) {
    if (state().on_i2c) {
        state().on_i2c(t);
    }
    if (state().keep_i2c_log) {
        state().i2c_log.push_back(std::move(t));
    }
}

} // namespace

int uart_index(const USART_TypeDef *instance) {
    return instance == USART1 ? 0 : instance == USART2 ? 1 : -1;
}

int port_index(const GPIO_TypeDef *port) {
    return port == GPIOA   ? PORT_A
           : port == GPIOB ? PORT_B
           : port == GPIOC ? PORT_C
           : port == GPIOH ? PORT_H
                           : -1;
}

// ---- UART, outside view -------------------------------------------------------------------------

void uart_inject(int uart, const uint8_t *data, size_t n, uint64_t at_ns, uint32_t baud) {
    detail::Uart &u = state().uart[uart];
    uint64_t start = at_ns;
    if (start < u.line_free_ns) {
        start = u.line_free_ns;
    }
    if (start < state().now) {
        start = state().now;
    }
    for (size_t k = 0; k < n; ++k) {
        uint64_t t = start + ((k + 1) * BYTE_BITS_X1E9) / baud;
        u.line.push_back({t, data[k]});
        u.line_free_ns = t;
    }
}

void uart_inject(int uart, std::string_view text, uint64_t at_ns, uint32_t baud) {
    uart_inject(uart, reinterpret_cast<const uint8_t *>(text.data()), text.size(), at_ns, baud);
}

uint64_t uart_line_free_ns(int uart) {
    const detail::Uart &u = state().uart[uart];
    return u.line_free_ns > state().now ? u.line_free_ns : state().now;
}
size_t uart_rx_queued(int uart) {
    return state().uart[uart].line.size();
}
const std::string &uart_output(int uart) {
    return state().uart[uart].out;
}
void uart_clear_output(int uart) {
    state().uart[uart].out.clear();
}
void uart_keep_output(int uart, bool keep) {
    state().uart[uart].keep_out = keep;
}
void uart_on_tx(int uart, std::function<void(uint64_t, uint8_t)> fn) {
    state().uart[uart].on_tx = std::move(fn);
}
uint32_t uart_baud(int uart) {
    const detail::Uart &u = state().uart[uart];
    return u.configured ? u.init.BaudRate : 0;
}
void uart_stall_tx(int uart, bool stalled) {
    state().uart[uart].stalled = stalled;
}
void uart_force_overrun(int uart) {
    state().uart[uart].force_ore = true;
}
uint64_t uart_overruns(int uart) {
    return state().uart[uart].overruns;
}
uint64_t uart_rx_errors_reported(int uart) {
    return state().uart[uart].errors_reported;
}
const UART_InitTypeDef *uart_init_record(int uart) {
    const detail::Uart &u = state().uart[uart];
    return u.configured ? &u.init : nullptr;
}

// ---- GPIO, outside view -------------------------------------------------------------------------

PinConfig gpio_config(int port, int pin) {
    return state().gpio[port].pins[pin];
}
void gpio_drive(int port, int pin, int level) {
    state().gpio[port].drive[pin] = static_cast<int8_t>(level < 0 ? -1 : level != 0);
}
int gpio_output(int port, int pin) {
    return (state().gpio[port].odr >> pin) & 1;
}
void gpio_on_change(std::function<void(uint64_t, int, int, int)> fn) {
    state().on_pin_change = std::move(fn);
}

// ---- I2C, outside view --------------------------------------------------------------------------

void i2c_attach(uint8_t addr7, I2cDevice *dev) {
    state().i2c_devices[addr7] = dev;
}
void i2c_detach(uint8_t addr7) {
    state().i2c_devices.erase(addr7);
}
const std::vector<I2cTransfer> &i2c_log() {
    return state().i2c_log;
}
void i2c_on_transfer(std::function<void(const I2cTransfer &)> fn) {
    state().on_i2c = std::move(fn);
}
void i2c_clear_log() {
    state().i2c_log.clear();
}
void i2c_keep_log(bool keep) {
    state().i2c_log.clear(), state().keep_i2c_log = keep;
}
uint64_t i2c_operations() {
    return state().i2c_ops;
}
void i2c_fail(uint64_t op_index, HAL_StatusTypeDef status, bool from_then_on) {
    state().i2c_faults.push_back({op_index, status, from_then_on});
}
void i2c_clear_faults() {
    state().i2c_faults.clear();
}
const I2C_InitTypeDef *i2c_init_record() {
    return state().i2c_configured ? &state().i2c_init : nullptr;
}

} // namespace vmcu

using vmcu::detail::init_call;
using vmcu::detail::state;

extern "C" {

// ---- UART ---------------------------------------------------------------------------------------

HAL_StatusTypeDef HAL_UART_Init(UART_HandleTypeDef *huart) {
    HAL_StatusTypeDef st = init_call("HAL_UART_Init");
    if (st != HAL_OK) {
        return st;
    }
    vmcu::detail::Uart *u = vmcu::uart_of(huart);
    if (u == nullptr || huart->Init.BaudRate == 0) {
        return HAL_ERROR;
    }
    HAL_UART_MspInit(huart);
    u->configured = true;
    u->init = huart->Init;
    huart->RxBusy = 0;
    huart->ErrorCode = HAL_UART_ERROR_NONE;
    return HAL_OK;
}

// Each byte lasts 10 bit times; interrupts keep running meanwhile. The time-out counts HAL ticks
// from the start of the call, as the board's driver does.
HAL_StatusTypeDef HAL_UART_Transmit(UART_HandleTypeDef *huart, const uint8_t *data, uint16_t size,
                                    uint32_t timeout) {
    vmcu::detail::Uart *u = vmcu::uart_of(huart);
    if (u == nullptr || !u->configured || data == nullptr || size == 0) {
        return HAL_ERROR;
    }
    const uint32_t tickstart = HAL_GetTick();
    const uint64_t t0 = state().now;
    const uint64_t baud = u->init.BaudRate;
    for (uint16_t k = 0; k < size; ++k) {
        if (u->stalled) {
            if (timeout == HAL_MAX_DELAY) {
                vmcu::detail::halt();
            }
            // Wait for the tick count to pass the time-out (wall time if ticks are held off).
            uint64_t deadline =
                state().now + (static_cast<uint64_t>(timeout) + 1) * vmcu::NS_PER_MS;
            while (HAL_GetTick() - tickstart <= timeout && state().now < deadline) {
                vmcu::advance_to(state().now + vmcu::NS_PER_MS);
            }
            return HAL_TIMEOUT;
        }
        if (k > 0 && HAL_GetTick() - tickstart > timeout) {
            return HAL_TIMEOUT;
        }
        vmcu::advance_to(t0 + ((k + 1ULL) * vmcu::BYTE_BITS_X1E9) / baud);
        if (u->keep_out) {
            u->out.push_back(static_cast<char>(data[k]));
        }
        if (u->on_tx) {
            u->on_tx(state().now, data[k]);
        }
    }
    return HAL_OK;
}

HAL_StatusTypeDef HAL_UART_Receive_IT(UART_HandleTypeDef *huart, uint8_t *data, uint16_t size) {
    vmcu::detail::Uart *u = vmcu::uart_of(huart);
    if (u == nullptr || !u->configured || data == nullptr || size == 0) {
        return HAL_ERROR;
    }
    if (huart->RxBusy) {
        return HAL_BUSY;
    }
    huart->pRxBuffPtr = data;
    huart->RxXferSize = size;
    huart->RxXferCount = size;
    huart->ErrorCode = HAL_UART_ERROR_NONE;
    huart->RxBusy = 1;
    u->armed = huart;
    vmcu::detail::deliver();
    return HAL_OK;
}

// A received byte completes the reception in progress; an overrun ends it and is reported.
void HAL_UART_IRQHandler(UART_HandleTypeDef *huart) {
    vmcu::detail::Uart *u = vmcu::uart_of(huart);
    if (u == nullptr) {
        return;
    }
    if (u->rdr_full && huart->RxBusy) {
        u->rdr_full = false;
        *huart->pRxBuffPtr++ = u->rdr;
        huart->RxXferCount = static_cast<uint16_t>(huart->RxXferCount - 1);
        if (huart->RxXferCount == 0) {
            huart->RxBusy = 0;
            u->armed = nullptr;
            HAL_UART_RxCpltCallback(huart);
        }
    }
    if (u->ore) {
        u->ore = false;
        if (huart->RxBusy) {
            huart->RxBusy = 0;
            u->armed = nullptr;
        }
        huart->ErrorCode = huart->ErrorCode | HAL_UART_ERROR_ORE;
        ++u->errors_reported;
        HAL_UART_ErrorCallback(huart);
    }
}

__attribute__((weak)) void HAL_UART_MspInit(UART_HandleTypeDef *) {}
__attribute__((weak)) void HAL_UART_RxCpltCallback(UART_HandleTypeDef *) {}
__attribute__((weak)) void HAL_UART_ErrorCallback(UART_HandleTypeDef *) {}

// ---- GPIO ---------------------------------------------------------------------------------------

void HAL_GPIO_Init(GPIO_TypeDef *port, GPIO_InitTypeDef *init) {
    init_call("HAL_GPIO_Init");
    vmcu::detail::Gpio *g = vmcu::gpio_of(port);
    if (g == nullptr) {
        return;
    }
    for (int pin = 0; pin < 16; ++pin) {
        if (init->Pin & (1U << pin)) {
            g->pins[pin] = {true, init->Mode, init->Pull, init->Speed, init->Alternate};
        }
    }
}

GPIO_PinState HAL_GPIO_ReadPin(GPIO_TypeDef *port, uint16_t pin) {
    int p = vmcu::port_index(port);
    if (p < 0 || pin == 0) {
        return GPIO_PIN_RESET;
    }
    const vmcu::detail::Gpio &g = state().gpio[p];
    int n = __builtin_ctz(pin);
    const vmcu::PinConfig &c = g.pins[n];
    if (c.configured && (c.mode == GPIO_MODE_OUTPUT_PP || c.mode == GPIO_MODE_OUTPUT_OD)) {
        return (g.odr & pin) ? GPIO_PIN_SET : GPIO_PIN_RESET;
    }
    if (g.drive[n] >= 0) {
        return g.drive[n] ? GPIO_PIN_SET : GPIO_PIN_RESET;
    }
    return c.configured && c.pull == GPIO_PULLUP ? GPIO_PIN_SET : GPIO_PIN_RESET;
}

void HAL_GPIO_WritePin(GPIO_TypeDef *port, uint16_t pin, GPIO_PinState level) {
    init_call("HAL_GPIO_WritePin");
    int p = vmcu::port_index(port);
    for (int n = 0; p >= 0 && n < 16; ++n) {
        if (pin & (1U << n)) {
            vmcu::set_output(p, n, level == GPIO_PIN_SET);
        }
    }
}

void HAL_GPIO_TogglePin(GPIO_TypeDef *port, uint16_t pin) {
    int p = vmcu::port_index(port);
    for (int n = 0; p >= 0 && n < 16; ++n) {
        if (pin & (1U << n)) {
            vmcu::set_output(p, n, !vmcu::gpio_output(p, n));
        }
    }
}

// ---- I2C1 ---------------------------------------------------------------------------------------

HAL_StatusTypeDef HAL_I2C_Init(I2C_HandleTypeDef *hi2c) {
    HAL_StatusTypeDef st = init_call("HAL_I2C_Init");
    if (st != HAL_OK) {
        return st;
    }
    if (hi2c->Instance != I2C1) {
        return HAL_ERROR;
    }
    HAL_I2C_MspInit(hi2c);
    state().i2c_configured = true;
    state().i2c_init = hi2c->Init;
    hi2c->ErrorCode = HAL_I2C_ERROR_NONE;
    return HAL_OK;
}

__attribute__((weak)) void HAL_I2C_MspInit(I2C_HandleTypeDef *) {}

// Each trial: START, the address byte, STOP. The device answers when it acknowledges.
HAL_StatusTypeDef HAL_I2C_IsDeviceReady(I2C_HandleTypeDef *hi2c, uint16_t dev_address,
                                        uint32_t trials, uint32_t timeout) {
    vmcu::I2cTransfer log{vmcu::I2cTransfer::PROBE,
                          static_cast<uint8_t>(dev_address >> 1),
                          {},
                          trials,
                          timeout,
                          0,
                          HAL_OK,
                          state().now,
                          state().now};
    uint64_t op = state().i2c_ops++;
    HAL_StatusTypeDef st = vmcu::injected_fault(op, timeout);
    if (st == HAL_OK && (hi2c == nullptr || !state().i2c_configured)) {
        st = HAL_ERROR;
    }
    if (st == HAL_OK) {
        st = HAL_ERROR;
        vmcu::I2cDevice *dev = vmcu::device_at(dev_address);
        for (uint32_t trial = 0; trial < trials; ++trial) {
            vmcu::advance_to(state().now + 10 * vmcu::I2C_BIT_NS);
            bool ack = dev != nullptr && dev->i2c_start(state().now);
            vmcu::advance_to(state().now + vmcu::I2C_BIT_NS);
            if (dev != nullptr) {
                dev->i2c_stop(state().now); // the master ends every trial with a STOP
            }
            if (ack) {
                st = HAL_OK;
                break;
            }
        }
        hi2c->ErrorCode = st == HAL_OK ? HAL_I2C_ERROR_NONE : HAL_I2C_ERROR_AF;
    }
    log.status = st;
    log.end_ns = state().now;
    vmcu::log_transfer(std::move(log));
    return st;
}

// START, address, register, data bytes, STOP, each byte 9 clocks; a byte not acknowledged ends the
// transfer with a STOP and HAL_ERROR.
HAL_StatusTypeDef HAL_I2C_Mem_Write(I2C_HandleTypeDef *hi2c, uint16_t dev_address,
                                    uint16_t mem_address, uint16_t mem_add_size, uint8_t *data,
                                    uint16_t size, uint32_t timeout) {
    vmcu::I2cTransfer log{vmcu::I2cTransfer::MEM_WRITE,
                          static_cast<uint8_t>(dev_address >> 1),
                          {},
                          0,
                          timeout,
                          mem_add_size,
                          HAL_OK,
                          state().now,
                          state().now};
    if (mem_add_size == I2C_MEMADD_SIZE_8BIT) {
        log.bytes.push_back(static_cast<uint8_t>(mem_address));
    } else {
        log.bytes.push_back(static_cast<uint8_t>(mem_address >> 8));
        log.bytes.push_back(static_cast<uint8_t>(mem_address));
    }
    for (uint16_t k = 0; data != nullptr && k < size; ++k) {
        log.bytes.push_back(data[k]);
    }
    uint64_t op = state().i2c_ops++;
    HAL_StatusTypeDef st = vmcu::injected_fault(op, timeout);
    if (st == HAL_OK &&
        (hi2c == nullptr || !state().i2c_configured || data == nullptr || size == 0)) {
        st = HAL_ERROR;
    }
    if (st == HAL_OK) {
        vmcu::I2cDevice *dev = vmcu::device_at(dev_address);
        vmcu::advance_to(state().now + 10 * vmcu::I2C_BIT_NS);
        bool ack = dev != nullptr && dev->i2c_start(state().now);
        for (size_t k = 0; ack && k < log.bytes.size(); ++k) {
            vmcu::advance_to(state().now + 9 * vmcu::I2C_BIT_NS);
            ack = dev->i2c_write(log.bytes[k], state().now);
        }
        vmcu::advance_to(state().now + vmcu::I2C_BIT_NS);
        if (dev != nullptr) {
            dev->i2c_stop(state().now);
        }
        st = ack ? HAL_OK : HAL_ERROR;
        hi2c->ErrorCode = ack ? HAL_I2C_ERROR_NONE : HAL_I2C_ERROR_AF;
    }
    log.status = st;
    log.end_ns = state().now;
    vmcu::log_transfer(std::move(log));
    return st;
}

} // extern "C"
