// The interrupt controller and the system tick of the virtual MCU (the board's counterpart is
// hal_core.cpp): the vector table by exception number, pending, enabled and priority per
// interrupt, delivery as on the chip, SysTick every millisecond from HAL_Init on.
#include <cstring>

#include "stm32f411_vectors.h"
#include "vmcu_internal.h"

namespace vmcu::detail {
namespace {

constexpr int FIRST = -16; // exception number 0; IRQn = exception number - 16
constexpr int VECTORS = 16 + STM32F411_IRQ_COUNT;

constexpr int Index(IRQn_Type irq) {
    return static_cast<int>(irq) - FIRST;
}

struct VectorName {
    int irq;
    const char *name;
};
#define VECTOR_NAME(number, name) {number, #name},
constexpr VectorName k_vector_names[] = {STM32F411_VECTORS(VECTOR_NAME)};
#undef VECTOR_NAME

using Handler = void (*)();

struct Line {
    bool enabled = false;
    bool level = false;
    bool priority_set = false;
    uint32_t preempt = 0, sub = 0;
};

class Nvic : public Peripheral {
  public:
    Nvic() : Peripheral("nvic") {}

    void mcu_reset() override {
        for (Line &l : lines_) {
            l = Line{};
        }
        pending_[0] = pending_[1] = 0;
        g_irq_pending = false;
        enabled_[0] = enabled_[1] = 0;
        // System exceptions cannot be disabled.
        for (int i = 0; i < 16; ++i) {
            Enable(i);
        }
        in_handler_ = false;
        systick_on_ = false;
        hal_tick_ = 0;
        generation_ = 0; // vectors looked up again from the firmware
        set_next_event(UINT64_MAX);
    }
    void world_reset() override {
        mcu_reset();
        g_interrupts_taken = 0;
        for (Handler &h : overrides_) {
            h = nullptr;
        }
    }

    void on_event(uint64_t) override {
        Pend(Index(SysTick_IRQn));
        next_systick_ += NS_PER_MS;
        set_next_event(next_systick_);
    }

    void Level(int i, bool high) {
        lines_[i].level = high;
        if (high) {
            Pend(i);
        }
    }
    void Pend(int i) {
        pending_[i >> 6] |= 1ULL << (i & 63);
        g_irq_pending = true;
    }
    void Enable(int i) {
        lines_[i].enabled = true;
        enabled_[i >> 6] |= 1ULL << (i & 63);
    }

    void Deliver() {
        g_irq_pending = (pending_[0] | pending_[1]) != 0;
        if (!g_irq_pending || in_handler_ || primask()) {
            return;
        }
        in_handler_ = true;
        struct Leave {
            bool &flag;
            ~Leave() { flag = false; }
        } leave{in_handler_};
        for (int i = Next(); i >= 0; i = Next()) {
            pending_[i >> 6] &= ~(1ULL << (i & 63));
            g_irq_pending = (pending_[0] | pending_[1]) != 0;
            ++g_interrupts_taken;
            const Handler h = HandlerOf(i);
            if (h == nullptr) {
                // The start-up's own default handler: an endless loop, waiting for a reset.
                halt();
                return;
            }
            h();
            if (lines_[i].level) {
                Pend(i); // still asserted when the handler returned
            }
        }
    }

    bool InHandler() const { return in_handler_; }

    // A fault exception: taken at once, masked or not, inside a handler or not (its priority is
    // above every configurable one). Only a handler that returns gives the CPU back.
    void TakeFault(int i) {
        ++g_interrupts_taken;
        const Handler h = HandlerOf(i);
        const bool was_in_handler = in_handler_;
        in_handler_ = true;
        struct Leave {
            bool &flag;
            bool old;
            ~Leave() { flag = old; }
        } leave{in_handler_, was_in_handler};
        if (h == nullptr) {
            halt();
            return;
        }
        h();
    }

    void StartSysTick() {
        systick_on_ = true;
        next_systick_ = now() + NS_PER_MS;
        set_next_event(next_systick_);
        hal_tick_ = 0;
        lines_[Index(SysTick_IRQn)].priority_set = true;
        lines_[Index(SysTick_IRQn)].preempt = TICK_INT_PRIORITY;
    }
    void IncTick() { ++hal_tick_; }
    uint32_t Tick() const { return hal_tick_; }

    Line &At(int i) { return lines_[i]; }
    void Override(int i, Handler h) {
        overrides_[i] = h;
        generation_ = 0;
    }

  private:
    // The pending, enabled exception of highest priority: the lowest priority number, then the
    // lowest exception number.
    int Next() const {
        const uint64_t w0 = pending_[0] & enabled_[0];
        const uint64_t w1 = pending_[1] & enabled_[1];
        if ((w0 | w1) == 0) {
            return -1;
        }
        if (w1 == 0 && (w0 & (w0 - 1)) == 0) {
            return __builtin_ctzll(w0); // one alone: nothing to compare
        }
        int best = -1;
        uint32_t best_prio = 0;
        const uint64_t words[2] = {w0, w1};
        for (int word = 0; word < 2; ++word) {
            for (uint64_t bits = words[word]; bits != 0; bits &= bits - 1) {
                const int i = word * 64 + __builtin_ctzll(bits);
                const Line &l = lines_[i];
                const uint32_t prio = l.preempt * 16 + l.sub;
                if (best < 0 || prio < best_prio) {
                    best = i;
                    best_prio = prio;
                }
            }
        }
        return best;
    }

    // The vector table: the firmware's handlers by name, where a test has not installed its own;
    // a vector the firmware has no handler for holds its Default_Handler, as the board's start-up
    // fills its table.
    Handler HandlerOf(int i) {
        if (generation_ != g_firmware_generation) {
            for (Handler &h : vectors_) {
                h = nullptr;
            }
            const auto fallback = reinterpret_cast<Handler>(lookup_hook("Default_Handler"));
            for (const VectorName &v : k_vector_names) {
                const auto own = reinterpret_cast<Handler>(lookup_hook(v.name));
                vectors_[v.irq - FIRST] = own != nullptr ? own : fallback;
            }
            for (int k = 0; k < VECTORS; ++k) {
                vectors_[k] = overrides_[k] != nullptr ? overrides_[k] : vectors_[k];
            }
            generation_ = g_firmware_generation;
        }
        return vectors_[i];
    }

    Line lines_[VECTORS];
    uint64_t pending_[2] = {};
    uint64_t enabled_[2] = {};
    bool in_handler_ = false;
    bool systick_on_ = false;
    uint64_t next_systick_ = 0;
    uint32_t hal_tick_ = 0;
    Handler vectors_[VECTORS]{};
    Handler overrides_[VECTORS]{};
    uint64_t generation_ = 0;
};
static_assert(VECTORS <= 128, "two words of pending bits");

Nvic g_nvic;
} // namespace

uint64_t g_interrupts_taken = 0;
bool g_irq_pending = false;

namespace {

int CheckedIndex(IRQn_Type irq) {
    const int i = Index(irq);
    if (i < 1 || i >= VECTORS) {
        fail("exception number " + std::to_string(static_cast<int>(irq)) +
             " does not exist on this chip");
    }
    return i;
}

Hook<void (*)(void)> g_msp_init("HAL_MspInit");

} // namespace

void irq_level(IRQn_Type irq, bool high) {
    g_nvic.Level(CheckedIndex(irq), high);
}

void irq_pulse(IRQn_Type irq) {
    g_nvic.Pend(CheckedIndex(irq));
}

void deliver_pending() {
    g_nvic.Deliver();
}

bool in_handler() {
    return g_nvic.InHandler();
}

void take_hard_fault() {
    g_nvic.TakeFault(Index(HardFault_IRQn));
}

} // namespace vmcu::detail

namespace vmcu {

using detail::g_nvic;

uint64_t interrupts_taken() {
    return detail::g_interrupts_taken;
}

void hard_fault() {
    detail::take_hard_fault();
}

void set_handler(IRQn_Type irq, void (*handler)()) {
    g_nvic.Override(detail::CheckedIndex(irq), handler);
}

void stray_interrupt(IRQn_Type irq) {
    const int i = detail::CheckedIndex(irq);
    g_nvic.Enable(i);
    g_nvic.Pend(i);
    detail::deliver();
}

NvicRecord nvic_record(IRQn_Type irq) {
    const auto &l = g_nvic.At(detail::CheckedIndex(irq));
    return {l.enabled, l.priority_set, l.preempt, l.sub};
}

} // namespace vmcu

using vmcu::detail::g_nvic;
using vmcu::detail::init_call;

extern "C" {

HAL_StatusTypeDef HAL_Init(void) {
    HAL_StatusTypeDef st = init_call("HAL_Init");
    if (st != HAL_OK) {
        return st;
    }
    g_nvic.StartSysTick();
    if (auto msp = vmcu::detail::g_msp_init.get()) {
        msp();
    }
    return HAL_OK;
}

void HAL_IncTick(void) {
    g_nvic.IncTick();
}

uint32_t HAL_GetTick(void) {
    return g_nvic.Tick();
}

void HAL_NVIC_SetPriority(IRQn_Type irq, uint32_t preempt_priority, uint32_t sub_priority) {
    init_call("HAL_NVIC_SetPriority");
    auto &l = g_nvic.At(vmcu::detail::CheckedIndex(irq));
    l.priority_set = true;
    l.preempt = preempt_priority;
    l.sub = sub_priority;
}

void HAL_NVIC_EnableIRQ(IRQn_Type irq) {
    init_call("HAL_NVIC_EnableIRQ");
    g_nvic.Enable(vmcu::detail::CheckedIndex(irq));
    vmcu::detail::deliver();
}

} // extern "C"
