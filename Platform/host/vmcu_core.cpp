// Virtual time, interrupt delivery, the CPU intrinsics and the core, clock, timer and RTC
// operations of the virtual MCU.
#include <cstdio>
#include <cstdlib>

#include "vmcu_internal.h"

namespace vmcu {
namespace detail {

namespace {
// At namespace scope rather than function-local: the accessor then needs no initialisation guard
// and inlines in this file, where the time loop calls it constantly.
State g_state;
} // namespace

State &state() {
    return g_state;
}

HAL_StatusTypeDef init_call(const char *name) {
    State &s = state();
    s.init_calls.emplace_back(name);
    auto it = s.init_faults.find(std::string_view(name));
    return it == s.init_faults.end() ? HAL_OK : it->second;
}

void halt() {
    State &s = state();
    s.halted = true;
    if (s.on_halt != nullptr) {
        s.on_halt();
    }
    std::fprintf(stderr, "vmcu: CPU halted at %llu ns (interrupts masked, waiting forever)\n",
                 static_cast<unsigned long long>(s.now));
    std::abort();
}

namespace {

constexpr uint32_t HSI_HZ = 16000000;

uint32_t sysclk_hz() {
    const ClockRecord &c = state().clock;
    if (!c.clk_set || c.clk.SYSCLKSource == RCC_SYSCLKSOURCE_HSI) {
        return HSI_HZ;
    }
    if (c.clk.SYSCLKSource == RCC_SYSCLKSOURCE_HSE) {
        return HSE_VALUE;
    }
    const RCC_PLLInitTypeDef &p = c.osc.PLL;
    if (!c.osc_set || p.PLLState != RCC_PLL_ON || p.PLLM == 0 || p.PLLP == 0) {
        return HSI_HZ;
    }
    uint64_t in = p.PLLSource == RCC_PLLSOURCE_HSE ? HSE_VALUE : HSI_HZ;
    return static_cast<uint32_t>(in / p.PLLM * p.PLLN / p.PLLP);
}

uint32_t ahb_divider(uint32_t code) {
    // HPRE: 0xxx = 1, 1000 = 2, ..., 1111 = 512 (register field at bits 7:4)
    uint32_t field = (code >> 4) & 0xF;
    if (field < 8) {
        return 1;
    }
    static constexpr uint32_t k_div[] = {2, 4, 8, 16, 64, 128, 256, 512};
    return k_div[field - 8];
}

uint32_t apb_divider(uint32_t code) {
    // PPRE: 0xx = 1, 100 = 2, 101 = 4, 110 = 8, 111 = 16 (field at bits 12:10)
    uint32_t field = (code >> 10) & 0x7;
    return field < 4 ? 1 : (1U << (field - 3));
}

uint32_t hclk_hz() {
    const ClockRecord &c = state().clock;
    return sysclk_hz() / (c.clk_set ? ahb_divider(c.clk.AHBCLKDivider) : 1);
}

int priority_of(Vector v) {
    const State &s = state();
    IRQn_Type irq = v == VEC_SYSTICK  ? SysTick_IRQn
                    : v == VEC_TIM3   ? TIM3_IRQn
                    : v == VEC_USART1 ? USART1_IRQn
                                      : USART2_IRQn;
    const NvicRecord &n = s.nvic[irq + 16];
    // Lower number first; at equal priority the lower exception number wins.
    return static_cast<int>(n.preempt * 16 + n.sub) * 256 + (irq + 16);
}

bool nvic_enabled(IRQn_Type irq) {
    return state().nvic[irq + 16].enabled;
}

bool uart_requesting(int u) {
    const Uart &x = state().uart[u];
    return x.armed != nullptr && (x.rdr_full || x.ore);
}

int next_request() {
    State &s = state();
    // Nearly every call finds nothing to take.
    if (!s.tick_pending[VEC_SYSTICK] && !s.tick_pending[VEC_TIM3] && !uart_requesting(0) &&
        !uart_requesting(1)) {
        return -1;
    }
    int best = -1;
    int best_prio = 0;
    for (int v = 0; v < VEC_COUNT; ++v) {
        bool req;
        switch (v) {
        case VEC_SYSTICK:
            req = s.tick_pending[v];
            break;
        case VEC_TIM3:
            req = s.tick_pending[v] && nvic_enabled(TIM3_IRQn);
            break;
        case VEC_USART1:
            req = uart_requesting(0) && nvic_enabled(USART1_IRQn);
            break;
        default:
            req = uart_requesting(1) && nvic_enabled(USART2_IRQn);
            break;
        }
        if (!req) {
            continue;
        }
        int p = priority_of(static_cast<Vector>(v));
        if (best < 0 || p < best_prio) {
            best = v;
            best_prio = p;
        }
    }
    return best;
}

void receive_byte(int u, uint8_t value) {
    Uart &x = state().uart[u];
    if (x.force_ore || x.rdr_full) {
        x.force_ore = false;
        x.ore = true;
        ++x.overruns;
        return;
    }
    x.rdr = value;
    x.rdr_full = true;
}

// Everything that falls due at exactly t: ticks, received bytes, then model timers.
void fire_events_at(uint64_t t) {
    State &s = state();
    if (s.systick_on && s.next_systick == t) {
        s.tick_pending[VEC_SYSTICK] = true;
        s.next_systick += NS_PER_MS;
    }
    if (s.tim3.running && s.tim3.next_ns == t) {
        s.tick_pending[VEC_TIM3] = true;
        s.tim3.next_ns += s.tim3.period_ns;
    }
    for (int u = 0; u < UART_COUNT; ++u) {
        std::deque<RxByte> &line = s.uart[u].line;
        while (!line.empty() && line.front().t_ns == t) {
            receive_byte(u, line.front().value);
            line.pop_front();
            deliver(); // a byte that lands while the previous one waits is an overrun
        }
    }
    deliver();
    while (!s.timers.empty() && s.timers.begin()->first == t) {
        auto node = s.timers.extract(s.timers.begin());
        node.mapped()(t);
    }
}

} // namespace

uint32_t pclk1_hz() {
    const ClockRecord &c = state().clock;
    return hclk_hz() / (c.clk_set ? apb_divider(c.clk.APB1CLKDivider) : 1);
}

uint32_t pclk2_hz() {
    const ClockRecord &c = state().clock;
    return hclk_hz() / (c.clk_set ? apb_divider(c.clk.APB2CLKDivider) : 1);
}

// Timers on an APB bus with a prescaler other than 1 run at twice the bus clock.
uint32_t timer_clock_hz(const TIM_TypeDef *instance) {
    const ClockRecord &c = state().clock;
    bool apb2 = instance == TIM1;
    uint32_t code = c.clk_set ? (apb2 ? c.clk.APB2CLKDivider : c.clk.APB1CLKDivider) : 0;
    uint32_t pclk = apb2 ? pclk2_hz() : pclk1_hz();
    return apb_divider(code) == 1 ? pclk : 2 * pclk;
}

void deliver() {
    State &s = state();
    if (s.primask || s.in_handler) {
        return;
    }
    s.in_handler = true;
    for (int v = next_request(); v >= 0; v = next_request()) {
        s.tick_pending[v] = false;
        ++s.taken;
        if (s.vectors[v] != nullptr) {
            s.vectors[v]();
        } else if (v == VEC_USART1 || v == VEC_USART2) {
            // No handler installed: the request would never clear; drop what is waiting.
            Uart &x = s.uart[v - VEC_USART1];
            x.rdr_full = false;
            x.ore = false;
        }
    }
    s.in_handler = false;
}

} // namespace detail

using detail::state;

void reset() {
    state() = detail::State{};
}

uint64_t now_ns() {
    return state().now;
}

void set_handler(Vector v, Handler h) {
    state().vectors[v] = h;
}
bool irq_masked() {
    return state().primask;
}
uint64_t interrupts_taken() {
    return state().taken;
}
bool halted() {
    return state().halted;
}
void set_halt_handler(void (*on_halt)()) {
    state().on_halt = on_halt;
}

uint64_t next_event_ns() {
    const detail::State &s = state();
    uint64_t t = UINT64_MAX;
    if (s.systick_on && s.next_systick < t) {
        t = s.next_systick;
    }
    if (s.tim3.running && s.tim3.next_ns < t) {
        t = s.tim3.next_ns;
    }
    for (const detail::Uart &u : s.uart) {
        if (!u.line.empty() && u.line.front().t_ns < t) {
            t = u.line.front().t_ns;
        }
    }
    if (!s.timers.empty() && s.timers.begin()->first < t) {
        t = s.timers.begin()->first;
    }
    return t;
}

void advance_to(uint64_t t_ns) {
    detail::State &s = state();
    for (uint64_t te = next_event_ns(); te <= t_ns && te != UINT64_MAX; te = next_event_ns()) {
        if (te > s.now) {
            s.now = te;
        }
        detail::fire_events_at(te);
    }
    if (t_ns > s.now) {
        s.now = t_ns;
    }
}

void step(void (*pass)(), uint64_t limit_ns) {
    uint64_t before = state().taken;
    pass();
    if (state().taken != before) {
        return;
    }
    uint64_t te = next_event_ns();
    advance_to(te < limit_ns ? te : limit_ns);
}

void run(void (*pass)(), uint64_t until_ns) {
    while (state().now < until_ns) {
        step(pass, until_ns);
    }
}

void schedule(uint64_t t_ns, std::function<void(uint64_t)> fn) {
    detail::State &s = state();
    state().timers.emplace(t_ns < s.now ? s.now : t_ns, std::move(fn));
}

const ClockRecord &clock_record() {
    return state().clock;
}
bool gate_enabled(RCC_GateTypeDef gate) {
    return state().gates[gate];
}
NvicRecord nvic_record(IRQn_Type irq) {
    return state().nvic[irq + 16];
}
TimerRecord timer_record(const TIM_TypeDef *instance) {
    if (instance == TIM3) {
        return state().tim3.record;
    }
    if (instance == TIM1) {
        return state().tim1.record;
    }
    return TimerRecord{};
}
const RtcRecord &rtc_record() {
    return state().rtc;
}
const std::vector<std::string> &init_calls() {
    return state().init_calls;
}

void fail_init(std::string_view op, HAL_StatusTypeDef status) {
    auto &faults = state().init_faults;
    if (status == HAL_OK) {
        faults.erase(std::string(op));
    } else {
        faults[std::string(op)] = status;
    }
}

} // namespace vmcu

using vmcu::detail::init_call;
using vmcu::detail::state;

extern "C" {

void __disable_irq(void) {
    state().primask = true;
}

void __enable_irq(void) {
    state().primask = false;
    vmcu::detail::deliver();
}

void __NOP(void) {}

void __WFI(void) {
    if (state().primask) {
        // Nothing can be taken any more: the CPU stays here for good.
        vmcu::detail::halt();
    }
    uint64_t te = vmcu::next_event_ns();
    if (te == UINT64_MAX) {
        vmcu::detail::halt();
    }
    vmcu::advance_to(te);
}

HAL_StatusTypeDef HAL_Init(void) {
    HAL_StatusTypeDef st = init_call("HAL_Init");
    if (st != HAL_OK) {
        return st;
    }
    vmcu::detail::State &s = state();
    s.systick_on = true;
    s.next_systick = s.now + vmcu::NS_PER_MS;
    s.hal_tick = 0;
    s.nvic[SysTick_IRQn + 16] = {true, true, TICK_INT_PRIORITY, 0};
    HAL_MspInit();
    return HAL_OK;
}

void HAL_IncTick(void) {
    ++state().hal_tick;
}
uint32_t HAL_GetTick(void) {
    return state().hal_tick;
}

void HAL_NVIC_SetPriority(IRQn_Type irq, uint32_t preempt_priority, uint32_t sub_priority) {
    init_call("HAL_NVIC_SetPriority");
    vmcu::NvicRecord &n = state().nvic[irq + 16];
    n.priority_set = true;
    n.preempt = preempt_priority;
    n.sub = sub_priority;
}

void HAL_NVIC_EnableIRQ(IRQn_Type irq) {
    init_call("HAL_NVIC_EnableIRQ");
    state().nvic[irq + 16].enabled = true;
    vmcu::detail::deliver();
}

void HAL_RCC_EnableGate(RCC_GateTypeDef gate) {
    state().gates[gate] = true;
}

void HAL_PWR_SetVoltageScaling(uint32_t scale) {
    state().clock.voltage_scale = scale;
}

// cppcheck-suppress constParameter ; the HAL's signature
HAL_StatusTypeDef HAL_RCC_OscConfig(RCC_OscInitTypeDef *init) {
    HAL_StatusTypeDef st = init_call("HAL_RCC_OscConfig");
    if (st == HAL_OK) {
        state().clock.osc_set = true;
        state().clock.osc = *init;
    }
    return st;
}

// cppcheck-suppress constParameter ; the HAL's signature
HAL_StatusTypeDef HAL_RCC_ClockConfig(RCC_ClkInitTypeDef *init, uint32_t flash_latency) {
    HAL_StatusTypeDef st = init_call("HAL_RCC_ClockConfig");
    if (st == HAL_OK) {
        state().clock.clk_set = true;
        state().clock.clk = *init;
        state().clock.flash_latency = flash_latency;
    }
    return st;
}

// cppcheck-suppress constParameter ; the HAL's signature
HAL_StatusTypeDef HAL_RCCEx_PeriphCLKConfig(RCC_PeriphCLKInitTypeDef *init) {
    HAL_StatusTypeDef st = init_call("HAL_RCCEx_PeriphCLKConfig");
    if (st == HAL_OK) {
        state().clock.periph_set = true;
        state().clock.periph = *init;
    }
    return st;
}

HAL_StatusTypeDef HAL_TIM_Base_Init(TIM_HandleTypeDef *htim) {
    HAL_StatusTypeDef st = init_call("HAL_TIM_Base_Init");
    if (st != HAL_OK) {
        return st;
    }
    vmcu::detail::Timer &t = htim->Instance == TIM3 ? state().tim3 : state().tim1;
    t.record.initialised = true;
    t.record.init = htim->Init;
    HAL_TIM_Base_MspInit(htim);
    return HAL_OK;
}

HAL_StatusTypeDef HAL_TIM_ConfigClockSource(TIM_HandleTypeDef *htim,
                                            TIM_ClockConfigTypeDef *config) {
    HAL_StatusTypeDef st = init_call("HAL_TIM_ConfigClockSource");
    if (st == HAL_OK) {
        vmcu::detail::Timer &t = htim->Instance == TIM3 ? state().tim3 : state().tim1;
        t.record.clock_source = config->ClockSource;
    }
    return st;
}

HAL_StatusTypeDef HAL_TIMEx_MasterConfigSynchronization(TIM_HandleTypeDef *htim,
                                                        TIM_MasterConfigTypeDef *config) {
    HAL_StatusTypeDef st = init_call("HAL_TIMEx_MasterConfigSynchronization");
    if (st == HAL_OK) {
        vmcu::detail::Timer &t = htim->Instance == TIM3 ? state().tim3 : state().tim1;
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
    vmcu::detail::Timer &t = htim->Instance == TIM3 ? state().tim3 : state().tim1;
    if (!t.record.initialised) {
        return HAL_ERROR;
    }
    uint64_t counts =
        static_cast<uint64_t>(htim->Init.Prescaler + 1ULL) * (htim->Init.Period + 1ULL);
    uint64_t clock = vmcu::detail::timer_clock_hz(htim->Instance);
    t.record.started_it = true;
    t.period_ns = counts * 1000000000ULL / clock;
    t.record.started_ns = state().now;
    t.record.period_ns = t.period_ns;
    t.running = htim->Instance == TIM3 && t.period_ns > 0;
    t.next_ns = state().now + t.period_ns;
    return HAL_OK;
}

void HAL_TIM_IRQHandler(TIM_HandleTypeDef *htim) {
    HAL_TIM_PeriodElapsedCallback(htim);
}

HAL_StatusTypeDef HAL_RTC_Init(RTC_HandleTypeDef *hrtc) {
    HAL_StatusTypeDef st = init_call("HAL_RTC_Init");
    if (st == HAL_OK) {
        state().rtc.initialised = true;
        state().rtc.init = hrtc->Init;
        HAL_RTC_MspInit(hrtc);
    }
    return st;
}

// cppcheck-suppress constParameter ; the HAL's signature
HAL_StatusTypeDef HAL_RTC_SetTime(RTC_HandleTypeDef *, RTC_TimeTypeDef *time, uint32_t format) {
    HAL_StatusTypeDef st = init_call("HAL_RTC_SetTime");
    if (st == HAL_OK) {
        state().rtc.time_set = true;
        state().rtc.time = *time;
        state().rtc.time_format = format;
    }
    return st;
}

// cppcheck-suppress constParameter ; the HAL's signature
HAL_StatusTypeDef HAL_RTC_SetDate(RTC_HandleTypeDef *, RTC_DateTypeDef *date, uint32_t format) {
    HAL_StatusTypeDef st = init_call("HAL_RTC_SetDate");
    if (st == HAL_OK) {
        state().rtc.date_set = true;
        state().rtc.date = *date;
        state().rtc.date_format = format;
    }
    return st;
}

// Defaults for the firmware's hooks, as the board maker's HAL provides them.
__attribute__((weak)) void HAL_MspInit(void) {}
__attribute__((weak)) void HAL_TIM_Base_MspInit(TIM_HandleTypeDef *) {}
__attribute__((weak)) void HAL_RTC_MspInit(RTC_HandleTypeDef *) {}
__attribute__((weak)) void HAL_TIM_PeriodElapsedCallback(TIM_HandleTypeDef *) {}

} // extern "C"
