// GPIO ports A..E and H of the emulated STM32F411 (RM0383 section 8): mode, output type, speed,
// pull, alternate function, input and output data, set/reset. A pin's input level comes from its
// own output when it drives, from outside drive, from its pull, and for PB6/PB7 from the I2C bus
// (open-drain wired-AND with the devices), so a bus recovery that clocks SCL by hand reaches them.
#include <array>

#include "emu_internal.h"

namespace emu::detail {
namespace {

std::function<void(uint64_t, char, int, int)> g_on_level;

struct Reset {
    uint32_t moder, ospeedr, pupdr;
};

class Port : public Peripheral {
  public:
    Port(const char *name, char letter, uint32_t base, uint32_t bit, const Reset &r)
        : Peripheral(name, base, 0x400, {0x30, bit}), letter(letter), reset_values(r) {
        drive.fill(-1);
        told.fill(-1);
    }
    void world_reset() override {
        drive.fill(-1);
        told.fill(-1);
        g_on_level = nullptr;
    }
    void mcu_reset() override {
        moder = reset_values.moder;
        ospeedr = reset_values.ospeedr;
        pupdr = reset_values.pupdr;
        otyper = odr = 0;
        afr[0] = afr[1] = 0;
        Changed();
    }
    uint32_t read(uint32_t off, unsigned) override {
        switch (off) {
        case 0x00:
            return moder;
        case 0x04:
            return otyper;
        case 0x08:
            return ospeedr;
        case 0x0C:
            return pupdr;
        case 0x10: {
            uint32_t idr = 0;
            for (int pin = 0; pin < 16; ++pin) {
                idr |= static_cast<uint32_t>(Level(pin)) << pin;
            }
            return idr;
        }
        case 0x14:
            return odr;
        case 0x18: // BSRR reads 0
        case 0x1C: // LCKR: never locked
            return 0;
        case 0x20:
            return afr[0];
        case 0x24:
            return afr[1];
        default:
            finding("read of GPIO register " + hex(base() + off) + ": not modelled");
            return 0;
        }
    }
    void write(uint32_t off, unsigned size, uint32_t v) override {
        switch (off) {
        case 0x00:
            moder = v;
            break;
        case 0x04:
            otyper = v & 0xFFFFU;
            break;
        case 0x08:
            ospeedr = v;
            break;
        case 0x0C:
            pupdr = v;
            break;
        case 0x14:
            odr = v & 0xFFFFU;
            break;
        case 0x18:
            if (size == 2) { // a half-word write to BSRR's upper half resets only
                odr &= ~(v & 0xFFFFU);
                break;
            }
            odr = (odr | (v & 0xFFFFU)) & ~(v >> 16);
            break;
        case 0x1A:
            odr &= ~(v & 0xFFFFU);
            break;
        case 0x1C:
            break;
        case 0x20:
            afr[0] = v;
            break;
        case 0x24:
            afr[1] = v;
            break;
        default:
            finding("write of GPIO register " + hex(base() + off) + ": not modelled");
            return;
        }
        Changed();
    }

    uint32_t Mode(int pin) const { return (moder >> (2 * pin)) & 3U; }
    uint32_t Function(int pin) const { return (afr[pin / 8] >> (4 * (pin % 8))) & 0xFU; }
    bool OpenDrain(int pin) const { return (otyper >> pin) & 1U; }
    // The pin as an output pulls low (0), drives high (1) or leaves the line (-1).
    int Output(int pin) const {
        if (Mode(pin) != 1) {
            return -1;
        }
        const int bit = static_cast<int>((odr >> pin) & 1U);
        return bit == 1 && OpenDrain(pin) ? -1 : bit;
    }
    int Level(int pin) const {
        if (letter == 'B' && (pin == 6 || pin == 7)) {
            return pin == 6 ? bus_scl() : bus_sda();
        }
        const int out = Output(pin);
        if (out >= 0 && Mode(pin) == 1) {
            return out;
        }
        if (drive[pin] >= 0) {
            return drive[pin];
        }
        const uint32_t pull = (pupdr >> (2 * pin)) & 3U;
        return pull == 1 ? 1 : 0;
    }
    void Changed() {
        if (letter == 'B') {
            i2c_pins_changed(now());
        }
        TellLevels();
    }
    // Every pin that is or was an output whose line moved is told to the listener.
    void TellLevels();

    char letter;
    Reset reset_values;
    uint32_t moder = 0, otyper = 0, ospeedr = 0, pupdr = 0, odr = 0;
    uint32_t afr[2] = {};
    std::array<int, 16> drive{};
    std::array<int, 16> told{}; // the level last told, for pins that have been outputs (-1: never)
};

void Port::TellLevels() {
    for (int pin = 0; pin < 16; ++pin) {
        const size_t i = static_cast<size_t>(pin);
        if (told[i] < 0 && Mode(pin) != 1) {
            continue;
        }
        const int level = Level(pin);
        if (level != told[i]) {
            told[i] = level;
            if (g_on_level) {
                g_on_level(now(), letter, pin, level);
            }
        }
    }
}

Port g_a("GPIOA", 'A', 0x40020000, 0, {0x0C000000U, 0x0C000000U, 0x64000000U});
Port g_b("GPIOB", 'B', 0x40020400, 1, {0x00000280U, 0x000000C0U, 0x00000100U});
Port g_c("GPIOC", 'C', 0x40020800, 2, {0, 0, 0});
Port g_d("GPIOD", 'D', 0x40020C00, 3, {0, 0, 0});
Port g_e("GPIOE", 'E', 0x40021000, 4, {0, 0, 0});
Port g_h("GPIOH", 'H', 0x40021C00, 7, {0, 0, 0});

Port *PortOf(char letter) {
    switch (letter) {
    case 'A':
        return &g_a;
    case 'B':
        return &g_b;
    case 'C':
        return &g_c;
    case 'D':
        return &g_d;
    case 'E':
        return &g_e;
    case 'H':
        return &g_h;
    default:
        return nullptr;
    }
}

} // namespace

bool pin_alternate(char port, int pin, uint32_t function) {
    const Port *p = PortOf(port);
    return p != nullptr && gate_on(p->gate()) && p->Mode(pin) == 2 && p->Function(pin) == function;
}
// The MCU's own pull on an I2C line: as a GPIO output, or through the I2C peripheral (AF4).
int i2c_pin_output(int pin) {
    return g_b.Output(pin);
}

} // namespace emu::detail

namespace emu {

void gpio_drive(char port, int pin, int level) {
    if (detail::Port *p = detail::PortOf(port)) {
        const int before = p->Level(pin);
        p->drive[static_cast<size_t>(pin)] = level;
        p->TellLevels();
        if (port == 'A' && pin == 1 && before == 0 && p->Level(pin) == 1) {
            detail::tim2_ch2_rising();
        }
    }
}
int gpio_level(char port, int pin) {
    const detail::Port *p = detail::PortOf(port);
    return p == nullptr ? 0 : p->Level(pin);
}
void gpio_on_level(std::function<void(uint64_t, char, int, int)> fn) {
    detail::g_on_level = std::move(fn);
}
int gpio_output(char port, int pin) {
    const detail::Port *p = detail::PortOf(port);
    return p == nullptr ? 0 : static_cast<int>((p->odr >> pin) & 1U);
}

} // namespace emu
