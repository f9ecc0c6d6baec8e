// TIM1 and TIM3 of the emulated STM32F411 (RM0383 sections 12 and 13) as up-counting time bases:
// prescaler and auto-reload (ARR preloaded when ARPE is set; PSC always takes effect at the next
// update event), the update event on overflow or UG, UIF and its interrupt. The counter is worked
// out from time, so it costs nothing while nobody reads it. The timer clock is the APB clock,
// doubled when the APB prescaler divides. Not modelled: capture/compare, down and centre-aligned
// counting, one-pulse mode, slave modes, DMA, TIM1's repetition counter and break.
#include "emu_internal.h"

namespace emu::detail {
namespace {

constexpr int IRQ_TIM1_UP_TIM10 = 25, IRQ_TIM3 = 29;
constexpr uint32_t CEN = 1U << 0, UDIS = 1U << 1, URS = 1U << 2, ARPE = 1U << 7;
constexpr uint32_t UIF = 1U << 0, UIE = 1U << 0, UG = 1U << 0;

class Timer : public Peripheral {
  public:
    Timer(const char *name, uint32_t base, Gate gate, int irq, bool apb2)
        : Peripheral(name, base, 0x400, gate), irq(irq), apb2(apb2) {}
    void mcu_reset() override {
        cr1 = cr2 = smcr = dier = sr = 0;
        psc = psc_active = 0;
        arr = arr_active = 0xFFFF;
        rcr = 0;
        started_at = 0;
        count_at_start = 0;
        next = NEVER;
        Irq();
    }
    uint64_t next_event_ns() const override { return next; }
    void on_event(uint64_t t) override {
        // The counter wrapped: an update event.
        count_at_start = 0;
        started_at = t;
        Update(t, true);
    }
    uint32_t read(uint32_t off, unsigned) override {
        switch (off) {
        case 0x00:
            return cr1;
        case 0x04:
            return cr2;
        case 0x08:
            return smcr;
        case 0x0C:
            return dier;
        case 0x10:
            return sr;
        case 0x24:
            return Counter();
        case 0x28:
            return psc;
        case 0x2C:
            return arr;
        case 0x30:
            return rcr;
        default:
            if (off < 0x50) {
                return 0; // capture/compare and the rest: not used by a time base
            }
            finding("read of " + std::string(name()) + " register " + hex(base() + off) +
                    ": not modelled");
            return 0;
        }
    }
    void write(uint32_t off, unsigned, uint32_t v) override {
        switch (off) {
        case 0x00: {
            const uint32_t before = Counter();
            cr1 = v & 0x3FFU;
            if (cr1 & 0x70U) {
                finding(std::string(name()) + ": down or centre-aligned counting is not modelled");
            }
            Restart(before);
            return;
        }
        case 0x04:
            cr2 = v;
            return;
        case 0x08:
            smcr = v;
            if (v & 7U) {
                finding(std::string(name()) + ": slave mode is not modelled");
            }
            return;
        case 0x0C:
            dier = v;
            Irq();
            return;
        case 0x10:
            sr &= v;
            Irq();
            return; // rc_w0
        case 0x14:
            if (v & UG) {
                count_at_start = 0;
                started_at = now();
                Update(now(), false);
            }
            return;
        case 0x24:
            Restart(v & 0xFFFFU);
            return;
        case 0x28:
            psc = v & 0xFFFFU;
            return;
        case 0x2C: {
            const uint32_t before = Counter();
            arr = v & 0xFFFFU;
            if (!(cr1 & ARPE)) {
                arr_active = arr;
            }
            Restart(before);
            return;
        }
        case 0x30:
            rcr = v & 0xFFU;
            return;
        default:
            if (off < 0x50) {
                return;
            }
            finding("write of " + std::string(name()) + " register " + hex(base() + off) +
                    ": not modelled");
            return;
        }
    }

  private:
    uint64_t TickNs() const {
        const uint32_t timer_clock = timer_clock_hz(apb2);
        return timer_clock == 0
                   ? 1
                   : static_cast<uint64_t>(psc_active + 1) * 1000000000ULL / timer_clock;
    }
    uint32_t Counter() const {
        if (!(cr1 & CEN)) {
            return count_at_start;
        }
        return static_cast<uint32_t>((count_at_start + (now() - started_at) / TickNs()) %
                                     (uint64_t{arr_active} + 1));
    }
    void Restart(uint32_t count) {
        count_at_start = count;
        started_at = now();
        next = (cr1 & CEN) && arr_active != 0
                   ? started_at + (uint64_t{arr_active} + 1 - count) * TickNs()
                   : NEVER;
    }
    void Update(uint64_t t, bool overflow) {
        if (!(cr1 & UDIS)) {
            psc_active = psc;
            arr_active = arr;
            if (overflow || !(cr1 & URS)) {
                sr |= UIF;
            }
        }
        started_at = t;
        count_at_start = 0;
        next = (cr1 & CEN) && arr_active != 0 ? t + (uint64_t{arr_active} + 1) * TickNs() : NEVER;
        Irq();
    }
    void Irq() { irq_level(irq, (dier & UIE) && (sr & UIF)); }

    int irq;
    bool apb2;
    uint32_t cr1 = 0, cr2 = 0, smcr = 0, dier = 0, sr = 0, psc = 0, psc_active = 0;
    uint32_t arr = 0xFFFF, arr_active = 0xFFFF, rcr = 0, count_at_start = 0;
    uint64_t started_at = 0, next = NEVER;
};

Timer g_tim1("TIM1", 0x40010000, {0x44, 0}, IRQ_TIM1_UP_TIM10, true);
Timer g_tim3("TIM3", 0x40000400, {0x40, 1}, IRQ_TIM3, false);

// TIM2 as the beacon uses it: a free-running 32-bit counter clocked by the edges on its ETR pin
// (PA5, external clock mode 2: SMCR ECE, ETR prescaler ETPS, the timer's PSC), and channel 2
// capturing the counter at a rising edge on PA1 (CC2S = TI2, CC2E, rising polarity): CCR2,
// CC2IF (cleared by reading CCR2), CC2OF on a capture while CC2IF is still set, the capture
// interrupt. The count comes from the line's own edge count, exact. Not modelled: the internal
// clock, ARR other than its reset value, the update interrupt, the filters, the other channels.
constexpr int IRQ_TIM2 = 28;
constexpr uint32_t ECE = 1U << 14, ETP = 1U << 15;
constexpr uint32_t CC2IE = 1U << 2, CC2IF = 1U << 2, CC2OF = 1U << 10;
constexpr uint32_t CC2E = 1U << 4, CC2P = 1U << 5, CC2NP = 1U << 7;

dev::ClockLine *g_tim2_line = nullptr;

class Tim2 : public Peripheral {
  public:
    Tim2() : Peripheral("TIM2", 0x40000000, 0x400, {0x40, 0}) {}
    void mcu_reset() override {
        cr1 = smcr = dier = sr = ccmr1 = ccer = psc = ccr2 = 0;
        count_base = 0;
        edges_base = Edges();
        Irq();
    }
    void world_reset() override { g_tim2_line = nullptr; }
    uint32_t read(uint32_t off, unsigned) override {
        switch (off) {
        case 0x00:
            return cr1;
        case 0x08:
            return smcr;
        case 0x0C:
            return dier;
        case 0x10:
            return sr;
        case 0x18:
            return ccmr1;
        case 0x20:
            return ccer;
        case 0x24:
            return Counter();
        case 0x28:
            return psc;
        case 0x2C:
            return 0xFFFFFFFFU;
        case 0x38:
            sr &= ~CC2IF;
            Irq();
            return ccr2;
        default:
            if (off < 0x50) {
                return 0;
            }
            finding("read of TIM2 register " + hex(base() + off) + ": not modelled");
            return 0;
        }
    }
    void write(uint32_t off, unsigned, uint32_t v) override {
        switch (off) {
        case 0x00:
            Rebase();
            cr1 = v & 0x3FFU;
            return;
        case 0x04:
        case 0x14:
            return;
        case 0x08:
            Rebase();
            smcr = v & 0xFFF7U;
            if ((v & 7U) != 0 || (v & ETP) != 0 || ((v >> 8) & 0xFU) != 0) {
                finding("TIM2: slave modes, an inverted or filtered ETR are not modelled");
            }
            return;
        case 0x0C:
            dier = v & 0x5F5FU;
            if (dier & 1U) {
                finding("TIM2: the update interrupt is not modelled");
            }
            Irq();
            return;
        case 0x10:
            sr &= v; // rc_w0
            Irq();
            return;
        case 0x18:
            if ((ccer & CC2E) != 0 && ((ccmr1 ^ v) & 0x300U) != 0) {
                finding("TIM2: CC2S written while channel 2 is enabled (it is read-only then)");
            }
            ccmr1 = v & 0xFFFFU;
            return;
        case 0x1C:
            return;
        case 0x20:
            ccer = v & 0xBBBBU;
            return;
        case 0x24:
            Rebase();
            count_base = v;
            return;
        case 0x28:
            Rebase();
            psc = v & 0xFFFFU;
            return;
        case 0x2C:
            if (v != 0xFFFFFFFFU) {
                finding("TIM2: an auto-reload other than 0xFFFFFFFF is not modelled");
            }
            return;
        default:
            if (off < 0x50) {
                return;
            }
            finding("write of TIM2 register " + hex(base() + off) + ": not modelled");
            return;
        }
    }
    void Capture() {
        if (!gate_on(gate()) || in_reset(gate()) || !pin_alternate('A', 1, 1) ||
            ((ccmr1 >> 8) & 3U) != 1U || (ccer & CC2E) == 0 || (ccer & (CC2P | CC2NP)) != 0) {
            return;
        }
        if (Counting() && !pin_alternate('A', 5, 1)) {
            finding("TIM2 counts its ETR input, but PA5 is not in its alternate function 1");
        }
        if (sr & CC2IF) {
            sr |= CC2OF;
        }
        ccr2 = Counter(world_event_ns());
        sr |= CC2IF;
        Irq();
    }

  private:
    bool Counting() const { return (cr1 & CEN) != 0 && (smcr & ECE) != 0; }
    static uint64_t Edges(uint64_t t) {
        return g_tim2_line != nullptr ? g_tim2_line->edges_until(t) : 0;
    }
    static uint64_t Edges() { return Edges(now()); }
    uint64_t Divider() const { return (uint64_t{psc} + 1) << ((smcr >> 12) & 3U); }
    uint32_t Counter(uint64_t t = now()) const {
        if (!Counting()) {
            return count_base;
        }
        return static_cast<uint32_t>(count_base + (Edges(t) - edges_base) / Divider());
    }
    // The count so far is kept, and counting goes on from here under the new settings.
    void Rebase() {
        count_base = Counter();
        edges_base = Edges();
    }
    void Irq() { irq_level(IRQ_TIM2, (dier & CC2IE) && (sr & CC2IF)); }

    uint32_t cr1 = 0, smcr = 0, dier = 0, sr = 0, ccmr1 = 0, ccer = 0, psc = 0, ccr2 = 0;
    uint32_t count_base = 0;
    uint64_t edges_base = 0;
};

Tim2 g_tim2;

} // namespace

void tim2_ch2_rising() {
    g_tim2.Capture();
}

} // namespace emu::detail

namespace emu {

void tim2_clock_input(dev::ClockLine *line) {
    detail::g_tim2_line = line;
}

} // namespace emu
