// The RTC of the emulated STM32F411 (RM0383 section 17), on the LSI: write protection (the 0xCA,
// 0x53 keys; backup-domain access through PWR_CR DBP), the initialisation mode (INIT, INITF after
// two RTCCLK periods), prescalers, time and date in BCD, the calendar counting seconds from the
// moment INIT is left at RTCCLK / ((PREDIV_A + 1) x (PREDIV_S + 1)), RSF set again after each
// shadow update. Not modelled: alarms, wake-up timer, time stamps, tamper, calibration, the date
// rolling over at midnight.
#include "emu_internal.h"

namespace emu::detail {
namespace {

using mcu::LSI_HZ;

uint32_t Bcd(uint32_t v) {
    return (v / 10) << 4 | (v % 10);
}
uint32_t FromBcd(uint32_t v) {
    return (v >> 4) * 10 + (v & 0xFU);
}

class Rtc : public Peripheral {
  public:
    Rtc() : Peripheral("RTC", 0x40002800, 0x400, {0x70, 15}) {}
    void mcu_reset() override { unlocked = 0; }
    // The RTC is in the backup domain: only a power-on (or BDRST) resets it.
    void power_on_reset() override {
        mcu_reset();
        tr = dr = cr = 0;
        dr = 0x00002101U;
        isr = 0x00000007U;
        prer = 0x007F00FFU;
        running_since = NEVER;
        seconds_at_start = 0;
    }
    uint32_t read(uint32_t off, unsigned) override {
        switch (off) {
        case 0x00:
            return TimeNow();
        case 0x04:
            return dr;
        case 0x08:
            return cr;
        case 0x0C: {
            uint32_t v = isr;
            if (initf_at != NEVER && now() >= initf_at) {
                v |= 1U << 6;
            }
            if (rsf_at != NEVER && now() >= rsf_at) {
                v |= 1U << 5;
            }
            if (running_since != NEVER || (tr | (dr & 0xFFFF00FFU)) != 0) {
                v |= 1U << 4; // INITS: the calendar has been set
            }
            return v;
        }
        case 0x10:
            return prer;
        case 0x24: // WPR reads 0
        case 0x28: // SSR: sub-seconds not modelled
            return 0;
        default:
            if (off >= 0x50 && off < 0xA0) {
                return backup[(off - 0x50) / 4];
            }
            if (off <= 0x48) {
                return 0;
            }
            finding("read of RTC register " + hex(base() + off) + ": not modelled");
            return 0;
        }
    }
    void write(uint32_t off, unsigned, uint32_t v) override {
        if (!backup_writable()) {
            finding("RTC written without backup-domain access (PWR_CR DBP)");
            return;
        }
        if (off == 0x24) {
            const uint8_t key = static_cast<uint8_t>(v);
            unlocked = (unlocked == 0 && key == 0xCA) ? 1 : (unlocked == 1 && key == 0x53) ? 2 : 0;
            return;
        }
        if (off >= 0x50 && off < 0xA0) {
            backup[(off - 0x50) / 4] = v;
            return;
        }
        if (unlocked != 2) {
            finding("RTC register " + hex(base() + off) + " written while write-protected");
            return;
        }
        const bool init = isr & (1U << 7);
        switch (off) {
        case 0x00:
        case 0x04:
        case 0x10:
            if (!init || now() < initf_at) {
                finding("RTC time, date or prescaler written outside initialisation mode");
                return;
            }
            (off == 0x00   ? tr
             : off == 0x04 ? dr
                           : prer) = v & (off == 0x00   ? 0x007F7F7FU
                                          : off == 0x04 ? 0x00FFFF3FU
                                                        : 0x007F7FFFU);
            return;
        case 0x08:
            cr = v;
            return;
        case 0x0C:
            WriteIsr(v);
            return;
        default:
            return; // alarms, wake-up, calibration: accepted, not acted on
        }
    }

  private:
    uint32_t RtcClock() const {
        return LSI_HZ; // this board clocks the RTC from the LSI (RTCSEL is not decoded further)
    }
    uint64_t SecondNs() const {
        const uint64_t div = uint64_t{((prer >> 16) & 0x7FU) + 1} * ((prer & 0x7FFFU) + 1);
        return div * 1000000000ULL / RtcClock();
    }
    uint32_t TimeNow() const {
        if (running_since == NEVER) {
            return tr;
        }
        const uint64_t s = (seconds_at_start + (now() - running_since) / SecondNs()) % 86400U;
        return Bcd(static_cast<uint32_t>(s / 3600)) << 16 |
               Bcd(static_cast<uint32_t>(s / 60 % 60)) << 8 | Bcd(static_cast<uint32_t>(s % 60));
    }
    void WriteIsr(uint32_t v) {
        const bool was_init = isr & (1U << 7);
        isr = (isr & ~0x3F80U) | (v & 0x0080U) | (isr & 0x0007U);
        if (!(v & (1U << 5))) {
            rsf_at = NEVER; // RSF cleared by software: set again at the next shadow update
        }
        if ((v & (1U << 7)) && !was_init) {
            if (running_since != NEVER) {
                tr = TimeNow();
            }
            running_since = NEVER;
            initf_at = now() + 2ULL * 1000000000ULL / RtcClock();
        }
        if (!(v & (1U << 7)) && was_init) {
            initf_at = NEVER;
            seconds_at_start = FromBcd((tr >> 16) & 0x3FU) * 3600 +
                               FromBcd((tr >> 8) & 0x7FU) * 60 + FromBcd(tr & 0x7FU);
            running_since = now();
        }
        if (rsf_at == NEVER) {
            rsf_at = now() + 2ULL * 1000000000ULL / RtcClock();
        }
    }

    uint32_t tr = 0, dr = 0x2101, cr = 0, isr = 7, prer = 0x007F00FF;
    uint32_t backup[20] = {};
    int unlocked = 0;
    uint64_t initf_at = NEVER, rsf_at = NEVER, running_since = NEVER, seconds_at_start = 0;
};
Rtc g_rtc;

} // namespace
} // namespace emu::detail
