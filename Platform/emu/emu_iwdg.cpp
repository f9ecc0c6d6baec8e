// The independent watchdog of the emulated STM32F411 (RM0383 section 15): the key register
// (0xCCCC starts, 0xAAAA reloads, 0x5555 opens PR and RLR), the down counter on the 32 kHz LSI,
// PVU/RVU while a new value is carried over, a reset at zero. Once started, only a reset stops it.
#include "emu_internal.h"

namespace emu::detail {
namespace {

using mcu::LSI_HZ;

class Iwdg : public Peripheral {
  public:
    Iwdg() : Peripheral("IWDG", 0x40003000, 0x400, {0, 0}) {}
    void mcu_reset() override {
        running = false;
        open = false;
        pr = 0;
        rlr = 0xFFF;
        expiry = NEVER;
        pr_busy_until = rlr_busy_until = 0;
    }
    uint64_t next_event_ns() const override { return expiry; }
    void on_event(uint64_t) override {
        expiry = NEVER;
        reset_request(ResetCause::WATCHDOG);
    }
    uint32_t read(uint32_t off, unsigned) override {
        switch (off) {
        case 0x04:
            return pr;
        case 0x08:
            return rlr;
        case 0x0C:
            return (now() < pr_busy_until ? 1U : 0U) | (now() < rlr_busy_until ? 2U : 0U);
        default:
            return 0;
        }
    }
    void write(uint32_t off, unsigned, uint32_t v) override {
        switch (off) {
        case 0x00:
            switch (v & 0xFFFFU) {
            case 0xCCCC:
                running = true;
                Reload();
                return;
            case 0xAAAA:
                open = false;
                Reload();
                return;
            case 0x5555:
                open = true;
                return;
            default:
                open = false;
                return;
            }
        case 0x04:
        case 0x08:
            if (!open) {
                finding("IWDG prescaler or reload written without the 0x5555 key");
                return;
            }
            {
                uint64_t &busy = off == 0x04 ? pr_busy_until : rlr_busy_until;
                if (now() < busy) {
                    finding(
                        "IWDG prescaler or reload written while its last update is in progress");
                }
                (off == 0x04 ? pr : rlr) = v & (off == 0x04 ? 7U : 0xFFFU);
                busy = now() + mcu::IWDG_UPDATE_NS;
            }
            return;
        default:
            return;
        }
    }

  private:
    void Reload() {
        if (!running) {
            return;
        }
        const uint64_t divider = 4ULL << pr;
        expiry = now() + (uint64_t{rlr} + 1) * divider * 1000000000ULL / LSI_HZ;
    }

    bool running = false, open = false;
    uint32_t pr = 0, rlr = 0xFFF;
    uint64_t expiry = NEVER, pr_busy_until = 0, rlr_busy_until = 0;
};
Iwdg g_iwdg;

} // namespace
} // namespace emu::detail
