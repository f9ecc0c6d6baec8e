// The timers of the virtual MCU (the board's counterpart is hal_tim.cpp): every timer of the chip
// by instance, each with its bus and update interrupt; a started timer raises its update
// interrupt at the rate its clock, prescaler and period give. TIM2 also counts the edges of the
// clock line on its ETR pin (PA5, external clock mode 2) and captures that count at a rising edge
// on PA1 (channel 2), its counter free-running over 32 bits; the count is the line's own, exact.
#include "vmcu_internal.h"

namespace vmcu::detail {
namespace {

struct TimerInfo {
    uintptr_t base;
    bool apb2; // cppcheck-suppress unusedStructMember ; read by HAL_TIM_Base_Start_IT
    IRQn_Type update_irq;
};
// The STM32F411's timers; TIM1's update interrupt is shared with TIM10, TIM9's and TIM11's are
// shared with TIM1's break and trigger interrupts.
constexpr TimerInfo k_timers[] = {
    {APB1PERIPH_BASE + 0x0000, false, TIM2_IRQn},
    {APB1PERIPH_BASE + 0x0400, false, TIM3_IRQn},
    {APB1PERIPH_BASE + 0x0800, false, TIM4_IRQn},
    {APB1PERIPH_BASE + 0x0C00, false, TIM5_IRQn},
    {APB2PERIPH_BASE + 0x0000, true, TIM1_UP_TIM10_IRQn},
    {APB2PERIPH_BASE + 0x4000, true, TIM1_BRK_TIM9_IRQn},
    {APB2PERIPH_BASE + 0x4400, true, TIM1_UP_TIM10_IRQn},
    {APB2PERIPH_BASE + 0x4800, true, TIM1_TRG_COM_TIM11_IRQn},
};
constexpr int TIMERS = sizeof k_timers / sizeof k_timers[0];

struct Timer {
    TimerRecord record{};
    bool running = false;
    bool update_flag = false;
    uint64_t period_ns = 0;
    uint64_t next_ns = 0;
    // Input capture on channel 2 (TIM2).
    bool capture_configured = false;
    bool capturing = false;
    bool capture_flag = false;
    uint32_t captured = 0;
    uint64_t edges_at_start = 0; // the ETR line's edges when the counter started
};

dev::ClockLine *g_tim2_line = nullptr;
constexpr int TIM2_INDEX = 0;

class Timers : public Peripheral {
  public:
    Timers() : Peripheral("tim") {}
    void mcu_reset() override {
        for (Timer &t : timers) {
            t = Timer{};
        }
        Restarted();
    }
    void world_reset() override {
        mcu_reset();
        g_tim2_line = nullptr;
    }
    void on_event(uint64_t t_ns) override {
        for (uint32_t bits = running; bits != 0; bits &= bits - 1) {
            const int i = __builtin_ctz(bits);
            Timer &t = timers[i];
            if (t.next_ns == t_ns) {
                t.next_ns += t.period_ns;
                t.update_flag = true;
                irq_pulse(k_timers[i].update_irq);
            }
        }
        Reschedule();
    }
    // After a timer started or stopped.
    void Restarted() {
        running = 0;
        for (int i = 0; i < TIMERS; ++i) {
            running |= timers[i].running ? 1U << i : 0U;
        }
        Reschedule();
    }
    void Reschedule() {
        uint64_t next = UINT64_MAX;
        for (uint32_t bits = running; bits != 0; bits &= bits - 1) {
            const Timer &t = timers[__builtin_ctz(bits)];
            next = t.next_ns < next ? t.next_ns : next;
        }
        set_next_event(next);
    }

    Timer timers[TIMERS];
    uint32_t running = 0; // one bit per running timer
};

Timers g_timers;

int IndexOf(const TIM_TypeDef *instance) {
    static const TIM_TypeDef *last = nullptr; // the timer asked for last: nearly always the tick
    static int last_index = -1;
    if (instance == last) {
        return last_index;
    }
    for (int i = 0; i < TIMERS; ++i) {
        if (reinterpret_cast<uintptr_t>(instance) == k_timers[i].base) {
            last = instance;
            last_index = i;
            return i;
        }
    }
    return -1;
}

int CheckedIndex(const TIM_TypeDef *instance) {
    const int i = IndexOf(instance);
    if (i < 0) {
        fail_instance("timer", instance);
    }
    return i;
}

Hook<void (*)(TIM_HandleTypeDef *)> g_msp_init("HAL_TIM_Base_MspInit");
Hook<void (*)(TIM_HandleTypeDef *)> g_period_elapsed("HAL_TIM_PeriodElapsedCallback");
Hook<void (*)(TIM_HandleTypeDef *)> g_capture("HAL_TIM_IC_CaptureCallback");

} // namespace

// PA1 is TIM2_CH2 in its alternate function 1: a capture of the count, the interrupt.
void tim_input_rising(const GPIO_TypeDef *port, int pin) {
    Timer &t = g_timers.timers[TIM2_INDEX];
    if (port != GPIOA || pin != 1 || !t.capturing || !gate_enabled(RCC_GATE_TIM2)) {
        return;
    }
    const PinConfig c = gpio_config(port, pin);
    if (!c.configured || c.mode != GPIO_MODE_AF_PP || c.alternate != GPIO_AF1_TIM2) {
        return;
    }
    const uint64_t edges = g_tim2_line != nullptr ? g_tim2_line->edges_until(now()) : 0;
    t.captured = static_cast<uint32_t>(edges - t.edges_at_start);
    t.capture_flag = true;
    irq_pulse(TIM2_IRQn);
}

namespace {

} // namespace
} // namespace vmcu::detail

namespace vmcu {

TimerRecord timer_record(const TIM_TypeDef *instance) {
    return detail::g_timers.timers[detail::CheckedIndex(instance)].record;
}

void tim2_clock_input(dev::ClockLine *line) {
    detail::g_tim2_line = line;
}

} // namespace vmcu

using vmcu::detail::g_timers;
using vmcu::detail::init_call;

extern "C" {

HAL_StatusTypeDef HAL_TIM_Base_Init(TIM_HandleTypeDef *htim) {
    HAL_StatusTypeDef st = init_call("HAL_TIM_Base_Init");
    if (st != HAL_OK) {
        return st;
    }
    vmcu::detail::Timer &t = g_timers.timers[vmcu::detail::CheckedIndex(htim->Instance)];
    t.record.initialised = true;
    t.record.init = htim->Init;
    if (auto msp = vmcu::detail::g_msp_init.get()) {
        msp(htim);
    }
    return HAL_OK;
}

HAL_StatusTypeDef HAL_TIM_ConfigClockSource(TIM_HandleTypeDef *htim,
                                            TIM_ClockConfigTypeDef *config) {
    HAL_StatusTypeDef st = init_call("HAL_TIM_ConfigClockSource");
    if (st == HAL_OK) {
        g_timers.timers[vmcu::detail::CheckedIndex(htim->Instance)].record.clock_source =
            config->ClockSource;
    }
    return st;
}

HAL_StatusTypeDef HAL_TIMEx_MasterConfigSynchronization(TIM_HandleTypeDef *htim,
                                                        TIM_MasterConfigTypeDef *config) {
    HAL_StatusTypeDef st = init_call("HAL_TIMEx_MasterConfigSynchronization");
    if (st == HAL_OK) {
        vmcu::detail::Timer &t = g_timers.timers[vmcu::detail::CheckedIndex(htim->Instance)];
        t.record.master_trigger = config->MasterOutputTrigger;
        t.record.master_slave = config->MasterSlaveMode;
    }
    return st;
}

// The update rate follows from the clock tree and the prescaler and period the timer was given.
HAL_StatusTypeDef HAL_TIM_Base_Start_IT(TIM_HandleTypeDef *htim) {
    HAL_StatusTypeDef st = init_call("HAL_TIM_Base_Start_IT");
    if (st != HAL_OK) {
        return st;
    }
    const int i = vmcu::detail::CheckedIndex(htim->Instance);
    vmcu::detail::Timer &t = g_timers.timers[i];
    if (!t.record.initialised) {
        return HAL_ERROR;
    }
    const uint64_t counts =
        static_cast<uint64_t>(htim->Init.Prescaler + 1ULL) * (htim->Init.Period + 1ULL);
    const uint64_t clock = vmcu::detail::timer_clock_hz(vmcu::detail::k_timers[i].apb2);
    t.record.started_it = true;
    t.period_ns = counts * 1000000000ULL / clock;
    t.record.started_ns = vmcu::detail::now();
    t.record.period_ns = t.period_ns;
    t.running = t.period_ns > 0;
    t.next_ns = vmcu::detail::now() + t.period_ns;
    g_timers.Restarted();
    return HAL_OK;
}

// The update flag is cleared, then the callback runs (the board's order). The flag raised the
// interrupt once when it was set (a flag cleared in every handler needs no level).
HAL_StatusTypeDef HAL_TIM_IC_ConfigChannel(TIM_HandleTypeDef *htim, TIM_IC_InitTypeDef *config,
                                           uint32_t channel) {
    HAL_StatusTypeDef st = init_call("HAL_TIM_IC_ConfigChannel");
    if (st != HAL_OK) {
        return st;
    }
    const int i = vmcu::detail::CheckedIndex(htim->Instance);
    if (i != vmcu::detail::TIM2_INDEX || channel != TIM_CHANNEL_2 || config == nullptr ||
        config->ICSelection != TIM_ICSELECTION_DIRECTTI ||
        config->ICPolarity != TIM_ICPOLARITY_RISING || config->ICPrescaler != TIM_ICPSC_DIV1) {
        vmcu::detail::fail("vmcu: only TIM2 channel 2 captures, on rising edges of its own input");
    }
    g_timers.timers[i].capture_configured = true;
    return HAL_OK;
}

// Starts the counter on the ETR line and channel 2's capture interrupt.
HAL_StatusTypeDef HAL_TIM_IC_Start_IT(TIM_HandleTypeDef *htim, uint32_t channel) {
    HAL_StatusTypeDef st = init_call("HAL_TIM_IC_Start_IT");
    if (st != HAL_OK) {
        return st;
    }
    const int i = vmcu::detail::CheckedIndex(htim->Instance);
    vmcu::detail::Timer &t = g_timers.timers[i];
    if (!t.record.initialised || !t.capture_configured || channel != TIM_CHANNEL_2 ||
        t.record.clock_source != TIM_CLOCKSOURCE_ETRMODE2) {
        return HAL_ERROR;
    }
    t.capturing = true;
    t.capture_flag = false;
    t.record.started_ns = vmcu::detail::now();
    t.edges_at_start = vmcu::detail::g_tim2_line != nullptr
                           ? vmcu::detail::g_tim2_line->edges_until(vmcu::detail::now())
                           : 0;
    return HAL_OK;
}

uint32_t HAL_TIM_ReadCapturedValue(TIM_HandleTypeDef *htim, uint32_t channel) {
    const vmcu::detail::Timer &t = g_timers.timers[vmcu::detail::CheckedIndex(htim->Instance)];
    return channel == TIM_CHANNEL_2 ? t.captured : 0U;
}

void HAL_TIM_IRQHandler(TIM_HandleTypeDef *htim) {
    const int i = vmcu::detail::CheckedIndex(htim->Instance);
    vmcu::detail::Timer &t = g_timers.timers[i];
    if (t.capture_flag) {
        t.capture_flag = false;
        htim->Channel = HAL_TIM_ACTIVE_CHANNEL_2;
        if (auto cb = vmcu::detail::g_capture.get()) {
            cb(htim);
        }
        htim->Channel = 0;
    }
    if (!t.update_flag) {
        return;
    }
    t.update_flag = false;
    if (auto cb = vmcu::detail::g_period_elapsed.get()) {
        cb(htim);
    }
}

} // extern "C"
