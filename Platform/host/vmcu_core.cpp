// The core of the virtual MCU: virtual time and the generic scheduler every peripheral model
// registers with, world events, the CPU (masking, waiting, halting, the run loop) and resets.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "vmcu_internal.h"

namespace vmcu::detail {

uint64_t g_now = 0;
uint64_t g_models_next = UINT64_MAX;
bool g_models_next_stale = true;

namespace {

// The registered models, in a fixed order (by name) so that resets always run alike. Built
// during static initialisation, so held by a function-local object.
std::vector<Peripheral *> &Registry() {
    static std::vector<Peripheral *> registry;
    return registry;
}
bool g_registry_changed = false;
// The models that have events, in registration order of their first one: the only ones the time
// loop looks at.
std::vector<Peripheral *> g_timed;

// World events: devices and the outside world, ordered by time, then by when they were asked.
std::multimap<uint64_t, std::function<void(uint64_t)>> g_world_events;

struct Cpu {
    bool halted = false;
    uint64_t taken_before_pass = 0;
    uint64_t hang_at = UINT64_MAX;
    bool started = false;  // the program's start ran since the last reset
    int program_depth = 0; // > 0 while firmware code of the program is on the stack
    bool reset_pending = false;
    ResetCause pending_cause = ResetCause::POWER_ON;
    uint64_t resets = 0;
    std::vector<std::string> init_calls;
    std::map<std::string, HAL_StatusTypeDef, std::less<>> init_faults;
};
Cpu g_cpu;
Program g_program;
std::function<void()> g_on_halt;

// Thrown to abandon the firmware's call stack (a reset, or the CPU halting), caught by run().
struct Unwind {};

class WorldClock : public dev::Clock {
  public:
    uint64_t now_ns() const override { return g_now; }
    void at(uint64_t t_ns, std::function<void(uint64_t)> fn) override {
        vmcu::schedule(t_ns, std::move(fn));
    }
};
WorldClock g_clock;

void SortRegistry() {
    if (!g_registry_changed) {
        return;
    }
    g_registry_changed = false;
    g_models_next_stale = true;
    std::vector<Peripheral *> &r = Registry();
    std::sort(r.begin(), r.end(), [](const Peripheral *a, const Peripheral *b) {
        return std::strcmp(a->name(), b->name()) < 0;
    });
}

// Everything that falls due at exactly t: the peripherals' events, the interrupts they raise,
// then world events.
void FireEventsAt(uint64_t t) {
    if (g_models_next_stale || g_models_next == t) {
        for (Peripheral *p : g_timed) {
            if (p->next_event_ns() == t) {
                p->on_event(t);
            }
        }
    }
    deliver();
    while (!g_world_events.empty() && g_world_events.begin()->first == t) {
        auto node = g_world_events.extract(g_world_events.begin());
        node.mapped()(t);
    }
}

void PerformReset(ResetCause cause) {
    SortRegistry();
    for (Peripheral *p : Registry()) {
        p->mcu_reset();
    }
    record_reset_cause(cause);
    if (const FirmwareImage *image = vmcu::firmware()) {
        image->RestoreRam();
    }
    // A hang does not outlive the reset it causes; injected bring-up faults (a broken part) do.
    const uint64_t reset_count = g_cpu.resets + 1;
    auto faults = std::move(g_cpu.init_faults);
    g_cpu = Cpu{};
    g_primask = false;
    g_cpu.resets = reset_count;
    g_cpu.init_faults = std::move(faults);
}

bool Hung() {
    return g_now >= g_cpu.hang_at;
}

// The CPU waits for the next event (at most until limit) and takes it.
void SleepUntilNextEvent(uint64_t limit) {
    const uint64_t te = vmcu::next_event_ns();
    if (te <= limit) {
        g_now = te > g_now ? te : g_now;
        FireEventsAt(te);
    } else if (limit > g_now) {
        g_now = limit;
    }
}

} // namespace

void note_timed(Peripheral *p) {
    p->timed_ = true;
    g_timed.push_back(p);
    // Same-time events run in a fixed order: by model name.
    std::sort(g_timed.begin(), g_timed.end(), [](const Peripheral *a, const Peripheral *b) {
        return std::strcmp(a->name(), b->name()) < 0;
    });
}

Peripheral::Peripheral(const char *name) : name_(name) {
    Registry().push_back(this);
    g_registry_changed = true;
}

void fail(const std::string &what) {
    std::fprintf(stderr, "vmcu: %s (at %llu ns)\n", what.c_str(),
                 static_cast<unsigned long long>(g_now));
    std::abort();
}

void fail_instance(const char *kind, const void *instance) {
    char address[32];
    std::snprintf(address, sizeof address, "0x%lx",
                  static_cast<unsigned long>(reinterpret_cast<uintptr_t>(instance)));
    fail(std::string("no ") + kind + " at " + address);
}

HAL_StatusTypeDef init_call(const char *name) {
    g_cpu.init_calls.emplace_back(name);
    auto it = g_cpu.init_faults.find(std::string_view(name));
    return it == g_cpu.init_faults.end() ? HAL_OK : it->second;
}

void halt() {
    if (!g_cpu.halted) {
        g_cpu.halted = true;
        if (g_on_halt) {
            g_on_halt();
        }
    }
    if (g_cpu.program_depth > 0) {
        throw Unwind{};
    }
    if (!g_program.pass) {
        // No run loop to wait in: a test drove the CPU into a stop it cannot leave.
        fail("CPU halted (interrupts masked or inside a handler, waiting for ever)");
    }
}

bool g_primask = false;

} // namespace vmcu::detail

namespace vmcu {

using detail::g_cpu;
using detail::g_now;

void reset() {
    detail::SortRegistry();
    for (detail::Peripheral *p : detail::Registry()) {
        p->world_reset();
    }
    detail::g_world_events.clear();
    g_now = 0;
    g_cpu = detail::Cpu{};
    detail::g_primask = false;
    detail::g_on_halt = nullptr;
    if (const FirmwareImage *image = firmware()) {
        image->RestoreRam();
    }
    detail::record_reset_cause(ResetCause::POWER_ON);
}

uint64_t now_ns() {
    return g_now;
}

dev::Clock &clock() {
    return detail::g_clock;
}

void schedule(uint64_t t_ns, std::function<void(uint64_t)> fn) {
    detail::g_world_events.emplace(t_ns < g_now ? g_now : t_ns, std::move(fn));
}

uint64_t next_event_ns() {
    if (detail::g_models_next_stale) {
        uint64_t next = UINT64_MAX;
        for (const detail::Peripheral *p : detail::g_timed) {
            next = std::min(next, p->next_event_ns());
        }
        detail::g_models_next = next;
        detail::g_models_next_stale = false;
    }
    uint64_t t = detail::g_models_next;
    if (!detail::g_world_events.empty()) {
        t = std::min(t, detail::g_world_events.begin()->first);
    }
    return t;
}

void advance_to(uint64_t t_ns) {
    for (uint64_t te = next_event_ns(); te <= t_ns && te != UINT64_MAX; te = next_event_ns()) {
        if (te > g_now) {
            g_now = te;
        }
        detail::FireEventsAt(te);
    }
    if (t_ns > g_now) {
        g_now = t_ns;
    }
}

void set_program(Program program) {
    detail::g_program = program;
}

void run(uint64_t until_ns) {
    detail::SortRegistry();
    while (g_now < until_ns) {
        try {
            if (g_cpu.reset_pending) {
                detail::PerformReset(g_cpu.pending_cause);
            }
            // Firmware code may run from here on (handlers too, while the main line stands
            // still), so a reset or a halt can abandon it.
            ++g_cpu.program_depth;
            if (g_cpu.halted || (g_cpu.started && detail::Hung()) || !detail::g_program.pass) {
                // Nothing of the firmware's main line runs: only events (and interrupts).
                const uint64_t te = next_event_ns();
                advance_to(te < until_ns ? te : until_ns);
                --g_cpu.program_depth;
                continue;
            }
            if (!g_cpu.started) {
                g_cpu.started = true;
                // What happens at the moment of the reset (a device holding the bus from
                // power-up, say) comes before the first instruction, as on the chip.
                advance_to(g_now);
                if (detail::g_program.start) {
                    detail::g_program.start();
                }
            } else {
                // One turn of the main loop; when it took no interrupt, the CPU sleeps until the
                // next event and takes it.
                const uint64_t before = detail::g_interrupts_taken;
                detail::g_program.pass();
                if (detail::g_interrupts_taken == before) {
                    detail::SleepUntilNextEvent(until_ns);
                }
            }
            --g_cpu.program_depth;
        } catch (const detail::Unwind &) {
            g_cpu.program_depth = 0;
        }
    }
}

void reset_mcu(ResetCause cause) {
    if (g_cpu.program_depth > 0) {
        g_cpu.reset_pending = true;
        g_cpu.pending_cause = cause;
        throw detail::Unwind{};
    }
    detail::PerformReset(cause);
}

uint64_t resets() {
    return g_cpu.resets;
}

bool halted() {
    return g_cpu.halted;
}

bool irq_masked() {
    return detail::g_primask;
}

void on_halt(std::function<void()> fn) {
    detail::g_on_halt = std::move(fn);
}

void hang_main_loop_at(uint64_t t_ns) {
    g_cpu.hang_at = t_ns;
}

const std::vector<std::string> &init_calls() {
    return g_cpu.init_calls;
}

void fail_init(std::string_view op, HAL_StatusTypeDef status) {
    auto &faults = g_cpu.init_faults;
    if (status == HAL_OK) {
        faults.erase(std::string(op));
    } else {
        faults[std::string(op)] = status;
    }
}

} // namespace vmcu

extern "C" {

void __disable_irq(void) {
    vmcu::detail::g_primask = true;
}

void __enable_irq(void) {
    vmcu::detail::g_primask = false;
    vmcu::detail::deliver();
}

unsigned __get_PRIMASK(void) {
    return vmcu::detail::g_primask ? 1U : 0U;
}

void __set_PRIMASK(unsigned value) {
    if ((value & 1U) != 0U) {
        __disable_irq();
    } else {
        __enable_irq();
    }
}

void __NOP(void) {}

// The cycle counter at the core clock (DWT CYCCNT on the chip), from the virtual time.
uint32_t HAL_GetCycleCount(void) {
    // Whole seconds and the rest apart, so nothing overflows 64 bits; only the low 32 bits count.
    const uint64_t now = vmcu::detail::g_now;
    const uint64_t hz = vmcu::detail::hclk_hz();
    const uint64_t cycles = now / 1000000000U * hz + now % 1000000000U * hz / 1000000000U;
    return static_cast<uint32_t>(cycles);
}

// Waits for the next event. Masked, or inside a handler, no interrupt can ever be taken: the CPU
// stops there until a reset.
void __WFI(void) {
    if (vmcu::detail::g_primask || vmcu::detail::in_handler()) {
        vmcu::detail::halt();
        return;
    }
    const uint64_t te = vmcu::next_event_ns();
    if (te == UINT64_MAX) {
        vmcu::detail::halt();
        return;
    }
    vmcu::advance_to(te);
}

} // extern "C"
