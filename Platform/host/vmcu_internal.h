// What the virtual MCU's peripheral models share: the generic scheduler they register with, the
// interrupt controller they raise their lines on, the firmware hooks they call, the clock tree.
// Each model keeps its own state in its own file.
#pragma once

#include <cstdint>
#include <string>

#include "vmcu.h"

namespace vmcu::detail {

// The firmware's idea of the oscillators is the chip's.
static_assert(HSE_VALUE == mcu::HSE_HZ && LSI_VALUE == mcu::LSI_HZ);

// ---- Peripherals and the scheduler -------------------------------------------------------------

// A modelled peripheral. It registers itself when constructed (each model is one object at file
// scope), tells the scheduler its next event and handles it when it falls due; a reset of the MCU
// brings its registers back, a new world also forgets what it knew of the outside.
class Peripheral {
  public:
    explicit Peripheral(const char *name);
    Peripheral(const Peripheral &) = delete;
    Peripheral &operator=(const Peripheral &) = delete;
    virtual ~Peripheral() = default;

    const char *name() const { return name_; }
    // Earliest time it has something to do; UINT64_MAX for nothing. The model keeps it up to date
    // with set_next_event whenever it changes (the scheduler reads it constantly).
    uint64_t next_event_ns() const { return next_event_ns_; }
    // Time has reached its next event.
    virtual void on_event(uint64_t /*t_ns*/) {}
    virtual void mcu_reset() = 0;
    virtual void world_reset() { mcu_reset(); }

  protected:
    void set_next_event(uint64_t t_ns);

  private:
    friend void note_timed(Peripheral *p);
    const char *name_;
    uint64_t next_event_ns_ = UINT64_MAX;
    bool timed_ = false; // has asked for an event at least once: the scheduler watches it
};

// The virtual time, read constantly by every model.
extern uint64_t g_now;
inline uint64_t now() {
    return g_now;
}

// The earliest next event of all models, kept as they change theirs (recomputed only when the
// one that held it moves later).
extern uint64_t g_models_next;
extern bool g_models_next_stale;
void note_timed(Peripheral *p);
inline void Peripheral::set_next_event(uint64_t t_ns) {
    if (!timed_) {
        note_timed(this);
    }
    const uint64_t old = next_event_ns_;
    next_event_ns_ = t_ns;
    if (t_ns < g_models_next) {
        g_models_next = t_ns;
    } else if (old == g_models_next && t_ns != old) {
        g_models_next_stale = true;
    }
}

// Fails loudly: something the firmware asked for is not modelled (an unknown instance, say).
[[noreturn]] void fail(const std::string &what);
// "no timer at 0x40001000": what of the chip the address names.
[[noreturn]] void fail_instance(const char *kind, const void *instance);

// ---- Interrupt controller (vmcu_nvic.cpp) ------------------------------------------------------

// An interrupt line: high makes the interrupt pending; one still high when its handler returns
// is pending again (a level the handler did not clear). A pulse pends it once. Neither runs a
// handler by itself: deliver() does, at the next moment the CPU can take one.
void irq_level(IRQn_Type irq, bool high);
void irq_pulse(IRQn_Type irq);
// Runs the pending interrupts that are enabled, unless masked or already in a handler.
extern bool g_irq_pending; // some interrupt is pending (enabled or not)
void deliver_pending();
inline void deliver() {
    if (g_irq_pending) {
        deliver_pending();
    }
}
bool in_handler();
extern uint64_t g_interrupts_taken;
void take_hard_fault();

// ---- Pins shared with other peripherals (vmcu_gpio.cpp) ----------------------------------------

// What a peripheral wired to a pin sees of it: a watcher hears every change of what the MCU does
// to the line as a GPIO (0: pulls it low; 1: drives it high or leaves it, as in every other
// mode); a source gives the level the outside world puts on the pin
// (0 or 1; -1 leaves it to the drive and the pull). One of each per pin, fixed wiring of the
// chip, set during static initialisation.
using PinWatcher = void (*)(int level);
using PinSource = int (*)();
void gpio_wire(const GPIO_TypeDef *port, int pin, PinWatcher watcher, PinSource source);
// A rising edge the outside put on an input pin (vmcu_tim.cpp: TIM2's channel 2 on PA1).
void tim_input_rising(const GPIO_TypeDef *port, int pin);

// ---- The CPU (vmcu_core.cpp) --------------------------------------------------------------------

// Masked wait for an interrupt, or a wait inside a handler: the CPU stops until a reset.
void halt();
extern bool g_primask; // all maskable interrupts held off (__disable_irq)
inline bool primask() {
    return g_primask;
}
// Records an initialisation call and returns the status it was told to fail with.
HAL_StatusTypeDef init_call(const char *name);

// ---- Firmware hooks (vmcu_firmware.cpp) -------------------------------------------------------

// A function of the attached firmware, by name (nullptr when it has none).
void *lookup_hook(const char *name);
extern uint64_t g_firmware_generation; // counts attaches

// A hook looked up once per attached firmware: a file-scope object at each call site.
template <typename Fn> class Hook {
  public:
    explicit constexpr Hook(const char *name) : name_(name) {}
    Fn get() {
        if (generation_ != g_firmware_generation) {
            fn_ = reinterpret_cast<Fn>(lookup_hook(name_));
            generation_ = g_firmware_generation;
        }
        return fn_;
    }

  private:
    const char *name_;
    Fn fn_ = nullptr;
    uint64_t generation_ = 0;
};

// ---- Clock tree (vmcu_rcc.cpp) -----------------------------------------------------------------

uint32_t hclk_hz();
uint32_t pclk1_hz();
uint32_t pclk2_hz();
// Timers on an APB bus with a prescaler other than 1 run at twice the bus clock.
uint32_t timer_clock_hz(bool apb2);
// The RCC's reset flags after a reset of this cause.
void record_reset_cause(ResetCause cause);
// A peripheral's reset line in the RCC's reset registers: the model hears it asserted (held) and
// released. Wired once during static initialisation, as pins are.
using ResetLine = void (*)(bool held);
void rcc_wire_reset(RCC_GateTypeDef gate, ResetLine line);

} // namespace vmcu::detail
