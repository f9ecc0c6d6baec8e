// The GPIO ports of the virtual MCU (the board's counterpart is hal_gpio.cpp): pin modes as the
// bring-up sets them, output latches, and inputs driven from outside or held by their pulls.
// An open-drain output drives only low: released, the pin reads what the outside puts on it.
#include "vmcu_internal.h"

namespace vmcu::detail {
namespace {

constexpr int PORTS = 6; // the chip's ports A..E and H

struct Port {
    PinConfig pins[16]{};
    uint16_t odr = 0;
    int8_t drive[16] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    // The line's level last told, for pins that have been outputs (-1: never one).
    int8_t told[16] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
};

void TellLevels(int port_index);

class Gpio : public Peripheral {
  public:
    Gpio() : Peripheral("gpio") {}
    // A reset makes every pin an input again; what drives the pins from outside stays.
    void mcu_reset() override {
        for (int i = 0; i < PORTS; ++i) {
            Port &p = ports[i];
            int8_t drive[16], told[16];
            std::copy(std::begin(p.drive), std::end(p.drive), drive);
            std::copy(std::begin(p.told), std::end(p.told), told);
            p = Port{};
            std::copy(std::begin(drive), std::end(drive), p.drive);
            std::copy(std::begin(told), std::end(told), p.told);
            TellLevels(i);
        }
    }
    void world_reset() override {
        for (Port &p : ports) {
            p = Port{};
        }
        on_change = nullptr;
        on_level = nullptr;
    }

    Port ports[PORTS];
    std::function<void(uint64_t, const GPIO_TypeDef *, int, int)> on_change;
    std::function<void(uint64_t, const GPIO_TypeDef *, int, int)> on_level;
};

Gpio g_gpio;

// Wiring to other peripherals: plain arrays, constant-initialised, so that models may wire their
// pins from their constructors in any order.
PinWatcher g_watchers[PORTS][16];
PinSource g_sources[PORTS][16];

// Port blocks lie 0x400 apart from GPIOA: block n is port A + n (H is block 7).
constexpr int8_t k_block_to_port[8] = {0, 1, 2, 3, 4, -1, -1, 5};

int IndexOf(const GPIO_TypeDef *port) {
    const uintptr_t offset = reinterpret_cast<uintptr_t>(port) - GPIOA_BASE;
    if (offset % 0x400 != 0 || offset / 0x400 >= 8) {
        return -1;
    }
    return k_block_to_port[offset / 0x400];
}

Port &PortOf(const GPIO_TypeDef *port) {
    const int i = IndexOf(port);
    if (i >= 0) {
        return g_gpio.ports[i];
    }
    fail_instance("GPIO port", port);
}

int CheckedPin(int pin) {
    if (pin < 0 || pin > 15) {
        fail("no GPIO pin " + std::to_string(pin));
    }
    return pin;
}

bool IsOutput(const PinConfig &c) {
    return c.configured && (c.mode == GPIO_MODE_OUTPUT_PP || c.mode == GPIO_MODE_OUTPUT_OD);
}

// The level the outside puts on a pin: a wired peripheral's, else the outside drive, else the
// pull (a floating pin reads 0).
int OutsideLevel(const GPIO_TypeDef *port, int pin) {
    const Port &p = PortOf(port);
    if (const PinSource source = g_sources[IndexOf(port)][pin]) {
        const int level = source();
        if (level >= 0) {
            return level;
        }
    }
    if (p.drive[pin] >= 0) {
        return p.drive[pin];
    }
    return p.pins[pin].configured && p.pins[pin].pull == GPIO_PULLUP ? 1 : 0;
}

// What the MCU does to the pin's line: the latch for an output, nothing (1: released) otherwise.
int DrivenLevel(const Port &p, int pin) {
    return IsOutput(p.pins[pin]) ? (p.odr >> pin) & 1 : 1;
}

// The port's register block from its index (H is block 7).
const GPIO_TypeDef *PortAt(int index) {
    for (int block = 0; block < 8; ++block) {
        if (k_block_to_port[block] == index) {
            return reinterpret_cast<const GPIO_TypeDef *>(GPIOA_BASE + 0x400UL * block);
        }
    }
    return nullptr;
}

int LineLevel(const GPIO_TypeDef *port, int pin) {
    const Port &p = PortOf(port);
    const PinConfig &c = p.pins[pin];
    const int latch = (p.odr >> pin) & 1;
    if (IsOutput(c) && (c.mode == GPIO_MODE_OUTPUT_PP || latch == 0)) {
        return latch;
    }
    return OutsideLevel(port, pin);
}

// Every pin that is or was an output whose line moved is told to the listener.
void TellLevels(int port_index) {
    Port &p = g_gpio.ports[port_index];
    const GPIO_TypeDef *port = PortAt(port_index);
    for (int pin = 0; pin < 16; ++pin) {
        if (p.told[pin] < 0 && !IsOutput(p.pins[pin])) {
            continue;
        }
        const int level = LineLevel(port, pin);
        if (level != p.told[pin]) {
            p.told[pin] = static_cast<int8_t>(level);
            if (g_gpio.on_level) {
                g_gpio.on_level(now(), port, pin, level);
            }
        }
    }
}

void TellWatcher(const GPIO_TypeDef *port, int pin, int before, int after) {
    if (before != after) {
        if (const PinWatcher watcher = g_watchers[IndexOf(port)][pin]) {
            watcher(after);
        }
    }
}

void SetOutput(const GPIO_TypeDef *port, int pin, int level) {
    Port &p = PortOf(port);
    const uint16_t mask = static_cast<uint16_t>(1U << pin);
    const int old = (p.odr & mask) != 0;
    const int driven = DrivenLevel(p, pin);
    p.odr = static_cast<uint16_t>(level ? (p.odr | mask) : (p.odr & ~mask));
    if (old != level && g_gpio.on_change) {
        g_gpio.on_change(now(), port, pin, level);
    }
    TellWatcher(port, pin, driven, DrivenLevel(p, pin));
    TellLevels(IndexOf(port));
}

} // namespace

void gpio_wire(const GPIO_TypeDef *port, int pin, PinWatcher watcher, PinSource source) {
    const int i = IndexOf(port);
    g_watchers[i][pin] = watcher;
    g_sources[i][pin] = source;
}

} // namespace vmcu::detail

namespace vmcu {

PinConfig gpio_config(const GPIO_TypeDef *port, int pin) {
    return detail::PortOf(port).pins[detail::CheckedPin(pin)];
}

void gpio_drive(const GPIO_TypeDef *port, int pin, int level) {
    const int before = detail::OutsideLevel(port, detail::CheckedPin(pin));
    detail::PortOf(port).drive[pin] = static_cast<int8_t>(level < 0 ? -1 : level != 0);
    detail::TellLevels(detail::IndexOf(port));
    if (before == 0 && detail::OutsideLevel(port, pin) == 1) {
        detail::tim_input_rising(port, pin);
    }
}

int gpio_level(const GPIO_TypeDef *port, int pin) {
    return detail::LineLevel(port, detail::CheckedPin(pin));
}

void gpio_on_level(std::function<void(uint64_t, const GPIO_TypeDef *, int, int)> fn) {
    detail::g_gpio.on_level = std::move(fn);
}

int gpio_output(const GPIO_TypeDef *port, int pin) {
    return (detail::PortOf(port).odr >> detail::CheckedPin(pin)) & 1;
}

void gpio_on_change(std::function<void(uint64_t, const GPIO_TypeDef *, int, int)> fn) {
    detail::g_gpio.on_change = std::move(fn);
}

} // namespace vmcu

using vmcu::detail::init_call;

extern "C" {

void HAL_GPIO_Init(GPIO_TypeDef *port, GPIO_InitTypeDef *init) {
    init_call("HAL_GPIO_Init");
    vmcu::detail::Port &p = vmcu::detail::PortOf(port);
    for (int pin = 0; pin < 16; ++pin) {
        if (init->Pin & (1U << pin)) {
            const int driven = vmcu::detail::DrivenLevel(p, pin);
            p.pins[pin] = {true, init->Mode, init->Pull, init->Speed, init->Alternate};
            vmcu::detail::TellWatcher(port, pin, driven, vmcu::detail::DrivenLevel(p, pin));
        }
    }
    vmcu::detail::TellLevels(vmcu::detail::IndexOf(port));
}

GPIO_PinState HAL_GPIO_ReadPin(GPIO_TypeDef *port, uint16_t pin) {
    const vmcu::detail::Port &p = vmcu::detail::PortOf(port);
    if (pin == 0) {
        return GPIO_PIN_RESET;
    }
    const int n = __builtin_ctz(pin);
    const vmcu::PinConfig &c = p.pins[n];
    const bool latch = (p.odr & pin) != 0;
    if (c.configured && c.mode == GPIO_MODE_OUTPUT_PP) {
        return latch ? GPIO_PIN_SET : GPIO_PIN_RESET;
    }
    if (c.configured && c.mode == GPIO_MODE_OUTPUT_OD && !latch) {
        return GPIO_PIN_RESET;
    }
    return vmcu::detail::OutsideLevel(port, n) ? GPIO_PIN_SET : GPIO_PIN_RESET;
}

void HAL_GPIO_WritePin(GPIO_TypeDef *port, uint16_t pin, GPIO_PinState level) {
    init_call("HAL_GPIO_WritePin");
    for (int n = 0; n < 16; ++n) {
        if (pin & (1U << n)) {
            vmcu::detail::SetOutput(port, n, level == GPIO_PIN_SET);
        }
    }
}

void HAL_GPIO_TogglePin(GPIO_TypeDef *port, uint16_t pin) {
    for (int n = 0; n < 16; ++n) {
        if (pin & (1U << n)) {
            vmcu::detail::SetOutput(port, n, !vmcu::gpio_output(port, n));
        }
    }
}

} // extern "C"
