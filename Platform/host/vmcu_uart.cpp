// The UARTs of the virtual MCU (the board's counterpart is hal_uart.cpp): USART1, USART2 and
// USART6 by instance, each with a device on its pins. A byte takes 10 bit times at the configured
// baud rate both ways; the receiver has a one-byte data register that a second byte overruns, and
// a byte sent at a baud rate more than 3 % off the configured one is a framing error (the data
// register then holds 0, as on the emulated chip). The transmitter is the chip's: a data register
// in front of a shift register, TXE while the data register is empty, TC when both are, each an
// interrupt when enabled.
#include <cmath>
#include <deque>

#include "vmcu_internal.h"

namespace vmcu::detail {
namespace {

constexpr uint64_t BYTE_BITS_X1E9 = 10ULL * 1000000000ULL; // 10 bits a byte, in ns x baud
// The receiver samples each bit in its middle: a sender this much off in rate has drifted out of
// the stop bit by the end of the byte.
constexpr double BAUD_TOLERANCE = 0.03;

struct UartInfo {
    uintptr_t base;
    IRQn_Type irq;
};
constexpr UartInfo k_uarts[] = {
    {APB2PERIPH_BASE + 0x1000, USART1_IRQn},
    {APB1PERIPH_BASE + 0x4400, USART2_IRQn},
    {APB2PERIPH_BASE + 0x1400, USART6_IRQn},
};
constexpr int UARTS = sizeof k_uarts / sizeof k_uarts[0];

// A byte on the wire, and when its stop bit ends.
struct RxByte {
    uint64_t t_ns; // cppcheck-suppress unusedStructMember ; read through the deque
    uint8_t value; // cppcheck-suppress unusedStructMember
    uint32_t baud; // cppcheck-suppress unusedStructMember ; the sender's
};

// The wire into a UART's receive pin, and the receiver at its end.
class Uart : public dev::UartLine {
  public:
    // ---- dev::UartLine
    void send(const uint8_t *data, size_t n, uint64_t at_ns, uint32_t baud) override {
        uint64_t start = at_ns;
        if (start < line_free_ns) {
            start = line_free_ns;
        }
        if (start < now()) {
            start = now();
        }
        for (size_t k = 0; k < n; ++k) {
            const uint64_t t = start + ((k + 1) * BYTE_BITS_X1E9) / baud;
            line.push_back({t, data[k], baud});
            line_free_ns = t;
        }
        Rescheduled();
    }
    uint64_t free_ns() const override { return line_free_ns > now() ? line_free_ns : now(); }
    size_t queued() const override { return line.size(); }

    // The peripheral's registers.
    void McuReset() {
        configured = false;
        init = {};
        armed = nullptr;
        rdr_full = false;
        rdr = 0;
        ore = false;
        fe = false;
        txeie = false;
        tcie = false;
        tdr_full = false;
        shifting = false;
        shift_end_ns = UINT64_MAX;
    }
    void WorldReset() {
        McuReset();
        line.clear();
        line_free_ns = 0;
        force_ore = false;
        overruns = 0;
        errors_reported = 0;
        stalled = false;
        device = nullptr;
    }
    bool Requesting() const {
        return (armed != nullptr && (rdr_full || ore)) || (txeie && !tdr_full) || (tcie && Tc());
    }
    bool Tc() const { return !tdr_full && !shifting; }
    uint64_t ByteNs() const { return BYTE_BITS_X1E9 / init.BaudRate; }
    // A byte written to the data register: straight into the shift register when it is idle.
    void WriteDr(uint8_t value) {
        if (!shifting) {
            StartShift(value);
        } else {
            tdr = value;
            tdr_full = true;
        }
    }
    void StartShift(uint8_t value) {
        shifting = true;
        shift_byte = value;
        shift_end_ns = stalled ? UINT64_MAX : now() + ByteNs();
        Rescheduled();
    }
    void Rescheduled(); // the line's next byte changed

    bool configured = false;
    UART_InitTypeDef init{};
    UART_HandleTypeDef *armed = nullptr; // handle of the reception in progress
    bool rdr_full = false;
    uint8_t rdr = 0;
    bool ore = false;
    bool fe = false; // the byte in rdr arrived with a framing error
    // Transmitter: interrupt enables, data register, shift register.
    bool txeie = false, tcie = false;
    bool tdr_full = false;
    uint8_t tdr = 0;
    bool shifting = false;
    uint8_t shift_byte = 0;
    uint64_t shift_end_ns = UINT64_MAX; // the stop bit of the byte in the shift register ends
    // The wire and the outside world.
    std::deque<RxByte> line;
    uint64_t line_free_ns = 0;
    bool force_ore = false;
    uint64_t overruns = 0;
    uint64_t errors_reported = 0;
    bool stalled = false;
    dev::UartDevice *device = nullptr;
};

class Uarts : public Peripheral {
  public:
    Uarts() : Peripheral("usart") {}
    void mcu_reset() override {
        for (int i = 0; i < UARTS; ++i) {
            uarts[i].McuReset();
            irq_level(k_uarts[i].irq, false);
        }
    }
    void world_reset() override {
        for (Uart &u : uarts) {
            u.WorldReset();
        }
        Reschedule();
    }
    void on_event(uint64_t t_ns) override {
        for (int i = 0; i < UARTS; ++i) {
            Uart &u = uarts[i];
            if (u.shifting && u.shift_end_ns == t_ns) {
                Transmitted(i);
            }
            while (!u.line.empty() && u.line.front().t_ns == t_ns) {
                const RxByte byte = u.line.front();
                u.line.pop_front();
                Receive(i, byte.value, byte.baud);
                deliver(); // a byte that lands while the previous one waits is an overrun
            }
        }
        Reschedule();
    }
    void Reschedule() {
        uint64_t next = UINT64_MAX;
        for (const Uart &u : uarts) {
            if (!u.line.empty() && u.line.front().t_ns < next) {
                next = u.line.front().t_ns;
            }
            if (u.shifting && u.shift_end_ns < next) {
                next = u.shift_end_ns;
            }
        }
        set_next_event(next);
    }

    void UpdateIrq(int i) { irq_level(k_uarts[i].irq, uarts[i].Requesting()); }

    // The byte in the shift register has left: the device hears it, the data register's byte
    // follows.
    void Transmitted(int i) {
        Uart &u = uarts[i];
        u.shifting = false;
        u.shift_end_ns = UINT64_MAX;
        if (u.device != nullptr) {
            u.device->uart_from_mcu(u.shift_byte, now());
        }
        if (u.tdr_full) {
            u.tdr_full = false;
            u.StartShift(u.tdr);
        }
        UpdateIrq(i);
    }

    void Receive(int i, uint8_t value, uint32_t baud) {
        Uart &u = uarts[i];
        const double ours = u.init.BaudRate;
        const bool framing = baud == 0 || std::fabs(baud - ours) > BAUD_TOLERANCE * baud;
        if (u.force_ore || u.rdr_full) {
            u.force_ore = false;
            u.ore = true;
            ++u.overruns;
        } else {
            u.rdr = framing ? 0 : value;
            u.rdr_full = true;
            u.fe = framing;
        }
        UpdateIrq(i);
    }

    Uart uarts[UARTS];
};

Uarts g_uarts;

void Uart::Rescheduled() {
    g_uarts.Reschedule();
}

int IndexOf(const USART_TypeDef *instance) {
    for (int i = 0; i < UARTS; ++i) {
        if (reinterpret_cast<uintptr_t>(instance) == k_uarts[i].base) {
            return i;
        }
    }
    return -1;
}

int CheckedIndex(const USART_TypeDef *instance) {
    const int i = IndexOf(instance);
    if (i < 0) {
        fail_instance("UART", instance);
    }
    return i;
}

Uart &UartOf(const USART_TypeDef *instance) {
    return g_uarts.uarts[CheckedIndex(instance)];
}

Hook<void (*)(UART_HandleTypeDef *)> g_msp_init("HAL_UART_MspInit");
Hook<void (*)(UART_HandleTypeDef *)> g_rx_complete("HAL_UART_RxCpltCallback");
Hook<void (*)(UART_HandleTypeDef *)> g_error("HAL_UART_ErrorCallback");
Hook<void (*)(UART_HandleTypeDef *)> g_tx_complete("HAL_UART_TxCpltCallback");

} // namespace
} // namespace vmcu::detail

namespace vmcu {

void uart_attach(const USART_TypeDef *uart, dev::UartDevice *device) {
    detail::Uart &u = detail::UartOf(uart);
    u.device = device;
    if (device != nullptr) {
        device->uart_connected(u, clock());
    }
}

dev::UartLine &uart_line(const USART_TypeDef *uart) {
    return detail::UartOf(uart);
}

uint32_t uart_baud(const USART_TypeDef *uart) {
    const detail::Uart &u = detail::UartOf(uart);
    return u.configured ? u.init.BaudRate : 0;
}

const UART_InitTypeDef *uart_init_record(const USART_TypeDef *uart) {
    const detail::Uart &u = detail::UartOf(uart);
    return u.configured ? &u.init : nullptr;
}

void uart_stall_tx(const USART_TypeDef *uart, bool stalled) {
    detail::Uart &u = detail::UartOf(uart);
    u.stalled = stalled;
    if (u.shifting) {
        u.shift_end_ns = stalled ? UINT64_MAX : detail::now() + u.ByteNs();
        detail::g_uarts.Reschedule();
    }
}

void uart_force_overrun(const USART_TypeDef *uart) {
    detail::UartOf(uart).force_ore = true;
}

uint64_t uart_overruns(const USART_TypeDef *uart) {
    return detail::UartOf(uart).overruns;
}

uint64_t uart_rx_errors_reported(const USART_TypeDef *uart) {
    return detail::UartOf(uart).errors_reported;
}

} // namespace vmcu

using vmcu::detail::g_uarts;
using vmcu::detail::init_call;

extern "C" {

HAL_StatusTypeDef HAL_UART_Init(UART_HandleTypeDef *huart) {
    HAL_StatusTypeDef st = init_call("HAL_UART_Init");
    if (st != HAL_OK) {
        return st;
    }
    vmcu::detail::Uart &u = vmcu::detail::UartOf(huart->Instance);
    if (huart->Init.BaudRate == 0) {
        return HAL_ERROR;
    }
    if (auto msp = vmcu::detail::g_msp_init.get()) {
        msp(huart);
    }
    u.configured = true;
    u.init = huart->Init;
    huart->RxBusy = 0;
    huart->TxBusy = 0;
    huart->ErrorCode = HAL_UART_ERROR_NONE;
    return HAL_OK;
}

// Each byte lasts 10 bit times; interrupts keep running meanwhile. The time-out counts HAL ticks
// from the start of the call, as the board's driver does.
HAL_StatusTypeDef HAL_UART_Transmit(UART_HandleTypeDef *huart, const uint8_t *data, uint16_t size,
                                    uint32_t timeout) {
    if (huart == nullptr) {
        return HAL_ERROR;
    }
    vmcu::detail::Uart &u = vmcu::detail::UartOf(huart->Instance);
    if (!u.configured || data == nullptr || size == 0) {
        return HAL_ERROR;
    }
    const uint32_t tickstart = HAL_GetTick();
    // Bytes of an interrupt-driven transmission still in the registers go out first.
    while ((u.shifting || u.tdr_full) && !u.stalled) {
        vmcu::advance_to(u.shift_end_ns);
    }
    const uint64_t t0 = vmcu::detail::now();
    const uint64_t baud = u.init.BaudRate;
    for (uint16_t k = 0; k < size; ++k) {
        if (u.stalled) {
            if (timeout == HAL_MAX_DELAY) {
                vmcu::detail::halt();
                return HAL_TIMEOUT;
            }
            // Wait for the tick count to pass the time-out (wall time if ticks are held off).
            const uint64_t deadline =
                vmcu::detail::now() + (static_cast<uint64_t>(timeout) + 1) * vmcu::NS_PER_MS;
            while (HAL_GetTick() - tickstart <= timeout && vmcu::detail::now() < deadline) {
                vmcu::advance_to(vmcu::detail::now() + vmcu::NS_PER_MS);
            }
            return HAL_TIMEOUT;
        }
        if (k > 0 && HAL_GetTick() - tickstart > timeout) {
            return HAL_TIMEOUT;
        }
        vmcu::advance_to(t0 + ((k + 1ULL) * vmcu::detail::BYTE_BITS_X1E9) / baud);
        if (u.device != nullptr) {
            u.device->uart_from_mcu(data[k], vmcu::detail::now());
        }
    }
    return HAL_OK;
}

HAL_StatusTypeDef HAL_UART_Transmit_IT(UART_HandleTypeDef *huart, const uint8_t *data,
                                       uint16_t size) {
    if (huart == nullptr) {
        return HAL_ERROR;
    }
    const int i = vmcu::detail::CheckedIndex(huart->Instance);
    vmcu::detail::Uart &u = g_uarts.uarts[i];
    if (!u.configured || data == nullptr || size == 0) {
        return HAL_ERROR;
    }
    if (huart->TxBusy) {
        return HAL_BUSY;
    }
    huart->pTxBuffPtr = data;
    huart->TxXferSize = size;
    huart->TxXferCount = size;
    huart->TxBusy = 1;
    u.txeie = true;
    g_uarts.UpdateIrq(i);
    vmcu::detail::deliver();
    return HAL_OK;
}

HAL_StatusTypeDef HAL_UART_Receive_IT(UART_HandleTypeDef *huart, uint8_t *data, uint16_t size) {
    if (huart == nullptr) {
        return HAL_ERROR;
    }
    const int i = vmcu::detail::CheckedIndex(huart->Instance);
    vmcu::detail::Uart &u = g_uarts.uarts[i];
    if (!u.configured || data == nullptr || size == 0) {
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
    u.armed = huart;
    g_uarts.UpdateIrq(i);
    vmcu::detail::deliver();
    return HAL_OK;
}

// Reading SR then DR: the waiting byte and an overrun are gone.
void HAL_UART_FlushReceiver(UART_HandleTypeDef *huart) {
    const int i = vmcu::detail::CheckedIndex(huart->Instance);
    vmcu::detail::Uart &u = g_uarts.uarts[i];
    u.rdr_full = false;
    u.ore = false;
    u.fe = false;
    g_uarts.UpdateIrq(i);
}

// A received byte completes the reception in progress; an overrun or a framing error then ends it
// and is reported (the byte in the data register is delivered first, as on the chip's driver).
void HAL_UART_IRQHandler(UART_HandleTypeDef *huart) {
    if (huart == nullptr) {
        return;
    }
    const int i = vmcu::detail::CheckedIndex(huart->Instance);
    vmcu::detail::Uart &u = g_uarts.uarts[i];
    if (u.rdr_full && huart->RxBusy) {
        u.rdr_full = false;
        *huart->pRxBuffPtr++ = u.rdr;
        huart->RxXferCount = static_cast<uint16_t>(huart->RxXferCount - 1);
        if (huart->RxXferCount == 0) {
            huart->RxBusy = 0;
            u.armed = nullptr;
            g_uarts.UpdateIrq(i);
            if (auto cb = vmcu::detail::g_rx_complete.get()) {
                cb(huart);
            }
        }
    }
    if (u.ore || u.fe) {
        const uint32_t code = (u.ore ? HAL_UART_ERROR_ORE : 0U) | (u.fe ? HAL_UART_ERROR_FE : 0U);
        u.ore = false;
        u.fe = false;
        if (huart->RxBusy) {
            huart->RxBusy = 0;
            u.armed = nullptr;
        }
        huart->ErrorCode = huart->ErrorCode | code;
        ++u.errors_reported;
        g_uarts.UpdateIrq(i);
        if (auto cb = vmcu::detail::g_error.get()) {
            cb(huart);
        }
    }
    // Transmission: TXE takes the next byte; after the last, TC ends it.
    if (u.txeie && !u.tdr_full) {
        if (huart->TxXferCount > 0) {
            u.WriteDr(*huart->pTxBuffPtr++);
            huart->TxXferCount = static_cast<uint16_t>(huart->TxXferCount - 1);
        }
        if (huart->TxXferCount == 0) {
            u.txeie = false;
            u.tcie = true;
        }
    } else if (u.tcie && u.Tc()) {
        u.tcie = false;
        huart->TxBusy = 0;
        g_uarts.UpdateIrq(i);
        if (auto cb = vmcu::detail::g_tx_complete.get()) {
            cb(huart);
        }
    }
    g_uarts.UpdateIrq(i);
}

} // extern "C"
