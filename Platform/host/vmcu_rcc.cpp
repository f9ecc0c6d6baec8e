// Reset and clock control and the power controller of the virtual MCU (the board's counterpart
// is hal_core.cpp): the clock tree as the bring-up configures it, peripheral clock gates and reset
// lines, the regulator scale and the reset flags.
#include "vmcu_internal.h"

namespace vmcu::detail {
namespace {

using mcu::HSE_HZ;
using mcu::HSI_HZ;

class Rcc : public Peripheral {
  public:
    Rcc() : Peripheral("rcc") {}
    void mcu_reset() override {
        clock = ClockRecord{};
        for (bool &g : gates) {
            g = false;
        }
        for (bool &h : held) {
            h = false;
        }
    }

    // The reset flags outlive every reset but a new world's power-on; only the firmware clears
    // them.
    void world_reset() override {
        mcu_reset();
        reset_flags = 0;
    }

    ClockRecord clock{};
    bool gates[RCC_GATE_RTC + 1]{};
    bool held[RCC_GATE_RTC + 1]{}; // peripherals held in reset
    uint32_t reset_flags = 0;      // bit n: flag RCC_FLAG_xxx with (xxx & 0x1F) == n
};

constexpr uint32_t Bit(uint32_t flag) {
    return 1U << (flag & 0x1FU);
}

Rcc g_rcc;
// The models on the reset lines: a plain array, constant-initialised, so that they may wire
// themselves from their constructors in any order.
ResetLine g_reset_lines[RCC_GATE_RTC + 1];

uint32_t SysclkHz() {
    const ClockRecord &c = g_rcc.clock;
    if (!c.clk_set || c.clk.SYSCLKSource == RCC_SYSCLKSOURCE_HSI) {
        return HSI_HZ;
    }
    if (c.clk.SYSCLKSource == RCC_SYSCLKSOURCE_HSE) {
        return HSE_HZ;
    }
    const RCC_PLLInitTypeDef &p = c.osc.PLL;
    if (!c.osc_set || p.PLLState != RCC_PLL_ON || p.PLLM == 0 || p.PLLP == 0) {
        return HSI_HZ;
    }
    const uint64_t in = p.PLLSource == RCC_PLLSOURCE_HSE ? HSE_HZ : HSI_HZ;
    return static_cast<uint32_t>(in / p.PLLM * p.PLLN / p.PLLP);
}

uint32_t AhbDivider(uint32_t code) {
    // HPRE: 0xxx = 1, 1000 = 2, ..., 1111 = 512 (register field at bits 7:4)
    const uint32_t field = (code >> 4) & 0xF;
    if (field < 8) {
        return 1;
    }
    static constexpr uint32_t k_div[] = {2, 4, 8, 16, 64, 128, 256, 512};
    return k_div[field - 8];
}

uint32_t ApbDivider(uint32_t code) {
    // PPRE: 0xx = 1, 100 = 2, 101 = 4, 110 = 8, 111 = 16 (field at bits 12:10)
    const uint32_t field = (code >> 10) & 0x7;
    return field < 4 ? 1 : (1U << (field - 3));
}

} // namespace

uint32_t hclk_hz() {
    const ClockRecord &c = g_rcc.clock;
    return SysclkHz() / (c.clk_set ? AhbDivider(c.clk.AHBCLKDivider) : 1);
}

uint32_t pclk1_hz() {
    const ClockRecord &c = g_rcc.clock;
    return hclk_hz() / (c.clk_set ? ApbDivider(c.clk.APB1CLKDivider) : 1);
}

uint32_t pclk2_hz() {
    const ClockRecord &c = g_rcc.clock;
    return hclk_hz() / (c.clk_set ? ApbDivider(c.clk.APB2CLKDivider) : 1);
}

uint32_t timer_clock_hz(bool apb2) {
    const ClockRecord &c = g_rcc.clock;
    const uint32_t code = c.clk_set ? (apb2 ? c.clk.APB2CLKDivider : c.clk.APB1CLKDivider) : 0;
    const uint32_t pclk = apb2 ? pclk2_hz() : pclk1_hz();
    return ApbDivider(code) == 1 ? pclk : 2 * pclk;
}

// As the chip sets them: a power-on also counts as a brown-out, and a reset from inside (the
// watchdog, software) drives the reset pin, so the pin flag comes with every kind.
void record_reset_cause(ResetCause cause) {
    uint32_t flags = Bit(RCC_FLAG_PINRST);
    switch (cause) {
    case ResetCause::POWER_ON:
        flags |= Bit(RCC_FLAG_PORRST) | Bit(RCC_FLAG_BORRST);
        break;
    case ResetCause::BROWN_OUT:
        flags |= Bit(RCC_FLAG_BORRST);
        break;
    case ResetCause::WATCHDOG:
        flags |= Bit(RCC_FLAG_IWDGRST);
        break;
    case ResetCause::SOFTWARE:
        flags |= Bit(RCC_FLAG_SFTRST);
        break;
    case ResetCause::PIN:
        break;
    }
    g_rcc.reset_flags |= flags;
}

void rcc_wire_reset(RCC_GateTypeDef gate, ResetLine line) {
    g_reset_lines[gate] = line;
}

} // namespace vmcu::detail

namespace vmcu {

const ClockRecord &clock_record() {
    return detail::g_rcc.clock;
}

bool gate_enabled(RCC_GateTypeDef gate) {
    return detail::g_rcc.gates[gate];
}

bool reset_held(RCC_GateTypeDef gate) {
    return detail::g_rcc.held[gate];
}

bool reset_flag(uint32_t flag) {
    return (detail::g_rcc.reset_flags & detail::Bit(flag)) != 0;
}

} // namespace vmcu

using vmcu::detail::g_rcc;
using vmcu::detail::init_call;

extern "C" {

void HAL_RCC_EnableGate(RCC_GateTypeDef gate) {
    g_rcc.gates[gate] = true;
}

// The reset registers have a line for each peripheral but the RTC (whose backup domain has one
// reset of its own).
void HAL_RCC_SetPeripheralReset(RCC_GateTypeDef gate, uint32_t held) {
    if (gate == RCC_GATE_RTC) {
        vmcu::detail::fail("the RTC has no reset line of its own in the RCC's reset registers");
    }
    const bool now_held = held != 0U;
    if (g_rcc.held[gate] == now_held) {
        return;
    }
    g_rcc.held[gate] = now_held;
    if (const vmcu::detail::ResetLine line = vmcu::detail::g_reset_lines[gate]) {
        line(now_held);
    }
}

uint32_t HAL_RCC_GetResetFlag(uint32_t flag) {
    return vmcu::reset_flag(flag) ? 1U : 0U;
}

void HAL_RCC_ClearResetFlags(void) {
    g_rcc.reset_flags = 0;
}

void HAL_PWR_SetVoltageScaling(uint32_t scale) {
    g_rcc.clock.voltage_scale = scale;
}

// cppcheck-suppress constParameter ; the HAL's signature
HAL_StatusTypeDef HAL_RCC_OscConfig(RCC_OscInitTypeDef *init) {
    HAL_StatusTypeDef st = init_call("HAL_RCC_OscConfig");
    if (st == HAL_OK) {
        g_rcc.clock.osc_set = true;
        g_rcc.clock.osc = *init;
    }
    return st;
}

// cppcheck-suppress constParameter ; the HAL's signature
HAL_StatusTypeDef HAL_RCC_ClockConfig(RCC_ClkInitTypeDef *init, uint32_t flash_latency) {
    HAL_StatusTypeDef st = init_call("HAL_RCC_ClockConfig");
    if (st == HAL_OK) {
        g_rcc.clock.clk_set = true;
        g_rcc.clock.clk = *init;
        g_rcc.clock.flash_latency = flash_latency;
    }
    return st;
}

// cppcheck-suppress constParameter ; the HAL's signature
HAL_StatusTypeDef HAL_RCCEx_PeriphCLKConfig(RCC_PeriphCLKInitTypeDef *init) {
    HAL_StatusTypeDef st = init_call("HAL_RCCEx_PeriphCLKConfig");
    if (st == HAL_OK) {
        g_rcc.clock.periph_set = true;
        g_rcc.clock.periph = *init;
    }
    return st;
}

} // extern "C"
