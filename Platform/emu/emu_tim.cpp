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

} // namespace
} // namespace emu::detail
