// Reset and clock control and the power controller of the emulated STM32F411 (RM0383 sections 6
// and 5): oscillators whose ready flags follow their enables after their start-up times, the PLL,
// the system clock switch and the bus prescalers (checked against the flash wait states and the
// voltage scale), the peripheral clock gates and reset lines, the reset flags; the regulator's
// voltage scale and VOSRDY, backup-domain access.
#include <algorithm>
#include <cstring>

#include "emu_internal.h"

namespace emu::detail {
namespace {

using mcu::HSE_HZ;
using mcu::HSI_HZ;
// Start-up times: HSE and PLL lock well inside the HAL's time-outs, LSI tens of microseconds.
constexpr uint64_t HSE_START_NS = 500000, PLL_LOCK_NS = 100000, LSI_START_NS = 40000;
constexpr uint64_t LSE_START_NS = 2000 * NS_PER_MS;

// RCC_CR bits.
constexpr uint32_t HSION = 1U << 0, HSIRDY = 1U << 1, HSEON = 1U << 16, HSERDY = 1U << 17,
                   PLLON = 1U << 24, PLLRDY = 1U << 25;
// RCC_CSR reset flags.
constexpr uint32_t LSION = 1U << 0, LSIRDY = 1U << 1, RMVF = 1U << 24, BORRSTF = 1U << 25,
                   PINRSTF = 1U << 26, PORRSTF = 1U << 27, SFTRSTF = 1U << 28, IWDGRSTF = 1U << 29;

class Rcc : public Peripheral {
  public:
    Rcc() : Peripheral("RCC", 0x40023800, 0x400, {0, 0}) {}
    void mcu_reset() override {
        cr = 0x00000083U; // HSI on and ready, trim 16
        pllcfgr = 0x24003010U;
        cfgr = 0;
        std::memset(enr, 0, sizeof enr);
        std::memset(rstr, 0, sizeof rstr);
        csr = (csr & 0xFF000000U); // reset flags stay until cleared
        hse_ready_at = pll_ready_at = lsi_ready_at = NEVER;
        clocks_changed();
    }
    // BDCR and the LSE are in the backup domain; the reset flags start again from none.
    void power_on_reset() override {
        bdcr = 0;
        lse_ready_at = NEVER;
        csr = 0;
        mcu_reset();
    }
    uint64_t next_event_ns() const override {
        return std::min({hse_ready_at, pll_ready_at, lsi_ready_at, lse_ready_at});
    }
    void on_event(uint64_t t) override {
        if (hse_ready_at <= t) {
            hse_ready_at = NEVER;
            cr |= HSERDY;
        }
        if (pll_ready_at <= t) {
            pll_ready_at = NEVER;
            cr |= PLLRDY;
        }
        if (lsi_ready_at <= t) {
            lsi_ready_at = NEVER;
            csr |= LSIRDY;
        }
        if (lse_ready_at <= t) {
            lse_ready_at = NEVER;
            bdcr |= 2U;
        }
        Switch();
    }
    uint32_t read(uint32_t off, unsigned) override {
        switch (off) {
        case 0x00:
            return cr;
        case 0x04:
            return pllcfgr;
        case 0x08:
            return cfgr;
        case 0x0C:
            return 0; // CIR: no clock interrupts
        case 0x70:
            return bdcr;
        case 0x74:
            return csr;
        default:
            break;
        }
        if (const uint32_t *r = Enable(off)) {
            return *r;
        }
        if (const uint32_t *r = ResetRegister(off)) {
            return *r;
        }
        finding("read of RCC register " + hex(base() + off) + ": not modelled");
        return 0;
    }
    void write(uint32_t off, unsigned, uint32_t v) override {
        switch (off) {
        case 0x00:
            WriteCr(v);
            return;
        case 0x04:
            if (cr & PLLON) {
                finding("RCC_PLLCFGR written while the PLL runs");
                return;
            }
            pllcfgr = v & 0x0F437FFFU;
            return;
        case 0x08:
            cfgr = (cfgr & 0x0000000CU) | (v & ~0x0000000CU);
            Switch();
            return;
        case 0x0C:
            return;
        case 0x70:
            WriteBdcr(v);
            return;
        case 0x74:
            if (v & RMVF) {
                csr &= 0x00FFFFFFU;
            }
            if ((v & LSION) && !(csr & LSION)) {
                lsi_ready_at = now() + LSI_START_NS;
            }
            if (!(v & LSION)) {
                csr &= ~LSIRDY;
                lsi_ready_at = NEVER;
            }
            csr = (csr & ~LSION) | (v & LSION);
            return;
        default:
            break;
        }
        if (uint32_t *r = Enable(off)) {
            *r = v;
            return;
        }
        if (uint32_t *r = ResetRegister(off)) {
            const uint32_t asserted = v & ~*r;
            *r = v;
            // The enable register of the same peripherals lies 0x20 above, bit for bit.
            for (uint32_t bit = 0; bit < 32; ++bit) {
                if ((asserted >> bit) & 1U) {
                    reset_peripherals({off + 0x20, bit});
                }
            }
            return;
        }
        finding("write of RCC register " + hex(base() + off) + ": not modelled");
    }

    uint32_t Sysclk() const {
        switch ((cfgr >> 2) & 3U) {
        case 1:
            return HSE_HZ;
        case 2:
            return PllOut();
        default:
            return HSI_HZ;
        }
    }
    uint32_t Hclk() const {
        const uint32_t hpre = (cfgr >> 4) & 0xFU;
        static constexpr uint32_t SHIFT[8] = {1, 2, 3, 4, 6, 7, 8, 9};
        return hpre < 8 ? Sysclk() : Sysclk() >> SHIFT[hpre - 8];
    }
    uint32_t Pclk(int shift) const {
        const uint32_t ppre = (cfgr >> shift) & 7U;
        return ppre < 4 ? Hclk() : Hclk() >> (ppre - 3);
    }
    uint32_t TimerClock(int shift) const {
        const uint32_t ppre = (cfgr >> shift) & 7U;
        return ppre < 4 ? Pclk(shift) : 2 * Pclk(shift);
    }
    bool InReset(Gate gate) const {
        const uint32_t *r = const_cast<Rcc *>(this)->ResetRegister(gate.enr_offset - 0x20);
        return gate.enr_offset != 0 && r != nullptr && ((*r >> gate.bit) & 1U);
    }
    bool GateOn(Gate gate) const {
        if (gate.enr_offset == 0) {
            return true;
        }
        const uint32_t *r = const_cast<Rcc *>(this)->Enable(gate.enr_offset);
        if (gate.enr_offset == 0x70) {
            return (bdcr >> gate.bit) & 1U;
        }
        return r != nullptr && ((*r >> gate.bit) & 1U);
    }
    void RecordResetCause(ResetCause cause) {
        switch (cause) {
        case ResetCause::POWER_ON:
            csr |= PORRSTF | BORRSTF | PINRSTF;
            break;
        case ResetCause::BROWN_OUT:
            csr |= BORRSTF | PINRSTF;
            break;
        case ResetCause::PIN:
            csr |= PINRSTF;
            break;
        case ResetCause::SOFTWARE:
            csr |= SFTRSTF | PINRSTF;
            break;
        case ResetCause::WATCHDOG:
            csr |= IWDGRSTF | PINRSTF;
            break;
        }
    }

  private:
    // AHB1RSTR, AHB2RSTR, APB1RSTR, APB2RSTR: a peripheral whose bit is set is held in reset.
    uint32_t *ResetRegister(uint32_t off) {
        switch (off) {
        case 0x10:
            return &rstr[0];
        case 0x14:
            return &rstr[1];
        case 0x20:
            return &rstr[2];
        case 0x24:
            return &rstr[3];
        default:
            return nullptr;
        }
    }
    uint32_t *Enable(uint32_t off) {
        switch (off) {
        case 0x30:
            return &enr[0]; // AHB1ENR
        case 0x34:
            return &enr[1]; // AHB2ENR
        case 0x40:
            return &enr[2]; // APB1ENR
        case 0x44:
            return &enr[3]; // APB2ENR
        case 0x50:
            return &enr[4]; // low-power enables: kept, not used
        case 0x54:
            return &enr[5];
        case 0x60:
            return &enr[6];
        case 0x64:
            return &enr[7];
        case 0x8C:
            return &enr[8]; // DCKCFGR
        default:
            return nullptr;
        }
    }
    uint32_t PllOut() const {
        const uint32_t m = pllcfgr & 0x3FU, n = (pllcfgr >> 6) & 0x1FFU;
        const uint32_t p = 2U * (((pllcfgr >> 16) & 3U) + 1U);
        const uint32_t in = (pllcfgr & (1U << 22)) ? HSE_HZ : HSI_HZ;
        if (m < 2 || n < 50 || n > 432) {
            return 0;
        }
        return static_cast<uint32_t>(uint64_t{in} / m * n / p);
    }
    void WriteCr(uint32_t v) {
        const uint32_t was = cr;
        cr = (cr & (HSIRDY | HSERDY | PLLRDY)) | (v & ~(HSIRDY | HSERDY | PLLRDY | 0x0000FF00U)) |
             (cr & 0x0000FF00U);
        if ((v & HSEON) && !(was & HSEON)) {
            hse_ready_at = now() + HSE_START_NS;
        }
        if (!(v & HSEON)) {
            cr &= ~HSERDY;
            hse_ready_at = NEVER;
        }
        if ((v & PLLON) && !(was & PLLON)) {
            const uint32_t m = pllcfgr & 0x3FU;
            const uint32_t in = (pllcfgr & (1U << 22)) ? HSE_HZ : HSI_HZ;
            const uint32_t vco = m ? in / m * ((pllcfgr >> 6) & 0x1FFU) : 0;
            if (m == 0 || in / m < 1000000 || in / m > 2000000 || vco < 100000000 ||
                vco > 432000000) {
                finding("PLL started outside its input (1..2 MHz) or VCO (100..432 MHz) range");
            }
            pll_ready_at = now() + PLL_LOCK_NS;
        }
        if (!(v & PLLON)) {
            cr &= ~PLLRDY;
            pll_ready_at = NEVER;
        }
        if (!(v & HSION) && ((cfgr >> 2) & 3U) == 0) {
            cr |= HSION; // cannot stop the clock in use
        }
        Switch();
    }
    void WriteBdcr(uint32_t v) {
        if (!backup_writable()) {
            finding("RCC_BDCR written without backup-domain access (PWR_CR DBP)");
            return;
        }
        if (v & (1U << 16)) { // BDRST
            bdcr = 1U << 16;
            lse_ready_at = NEVER;
            return;
        }
        if ((v & 1U) && !(bdcr & 1U)) {
            lse_ready_at = now() + LSE_START_NS;
        }
        bdcr = (v & ~2U) | (bdcr & 2U);
        if (!(v & 1U)) {
            bdcr &= ~2U;
            lse_ready_at = NEVER;
        }
    }
    // The switch takes the new source once it is ready; the core's clock follows.
    void Switch() {
        const uint32_t sw = cfgr & 3U;
        const bool ready = sw == 0   ? (cr & HSIRDY)
                           : sw == 1 ? (cr & HSERDY)
                           : sw == 2 ? (cr & PLLRDY)
                                     : false;
        const uint32_t sws = ready ? sw : (cfgr >> 2) & 3U;
        cfgr = (cfgr & ~0xCU) | (sws << 2);
        if (sw == 3) {
            finding("RCC_CFGR SW selects a reserved clock source");
        }
        const uint64_t now_clocks = uint64_t{Hclk()} << 32 ^ uint64_t { Pclk(10) } << 1 ^ Pclk(13);
        if (now_clocks != clocks) {
            clocks = now_clocks;
            CheckLimits();
            clocks_changed();
        }
    }
    void CheckLimits() const {
        const uint32_t f = Hclk();
        const uint32_t ws_needed = wait_states_for(f);
        if (flash_latency() < ws_needed) {
            finding("flash wait states " + std::to_string(flash_latency()) + " too few for HCLK " +
                    std::to_string(f) + " Hz");
        }
        const uint32_t vos = voltage_scale();
        const uint32_t vmax = vos == 1 ? 100000000 : vos == 2 ? 84000000 : 64000000;
        if (f > vmax) {
            finding("HCLK " + std::to_string(f) + " Hz above voltage scale " + std::to_string(vos));
        }
        if (Pclk(10) > 50000000 || Pclk(13) > 100000000) {
            finding("APB clock above its limit (APB1 50 MHz, APB2 100 MHz)");
        }
        if (f > 100000000) {
            finding("HCLK above 100 MHz");
        }
    }

    uint32_t cr = 0x83, pllcfgr = 0x24003010U, cfgr = 0, bdcr = 0, csr = 0;
    uint32_t enr[9] = {};
    uint32_t rstr[4] = {};
    uint64_t clocks = 0; // HCLK and the APB clocks, to see them move
    uint64_t hse_ready_at = NEVER, pll_ready_at = NEVER, lsi_ready_at = NEVER, lse_ready_at = NEVER;
};
Rcc g_rcc;

class Pwr : public Peripheral {
  public:
    Pwr() : Peripheral("PWR", 0x40007000, 0x400, {0x40, 28}) {}
    void mcu_reset() override { cr = 0x8000; } // VOS scale 2
    uint32_t read(uint32_t off, unsigned) override {
        if (off == 0x00) {
            return cr;
        }
        if (off == 0x04) {
            // VOSRDY: the regulator has reached the selected scale (it applies once the PLL runs).
            return (g_rcc.read(0, 4) & PLLRDY) ? 1U << 14 : 0U;
        }
        finding("read of PWR register " + hex(base() + off) + ": not modelled");
        return 0;
    }
    void write(uint32_t off, unsigned, uint32_t v) override {
        if (off == 0x00) {
            if ((v & 0xC000U) == 0) {
                finding("PWR_CR VOS set to a reserved value");
            }
            cr = v;
        } else if (off != 0x04) {
            finding("write of PWR register " + hex(base() + off) + ": not modelled");
        }
    }
    uint32_t cr = 0x8000;
};
Pwr g_pwr;

} // namespace

uint32_t hclk_hz() {
    return g_rcc.Hclk();
}
uint32_t pclk1_hz() {
    return g_rcc.Pclk(10);
}
uint32_t pclk2_hz() {
    return g_rcc.Pclk(13);
}
uint32_t timer_clock_hz(bool apb2) {
    return g_rcc.TimerClock(apb2 ? 13 : 10);
}
uint32_t voltage_scale() {
    const uint32_t vos = (g_pwr.cr >> 14) & 3U;
    return vos == 3 ? 1 : vos == 2 ? 2 : 3;
}
bool gate_on(Gate gate) {
    return g_rcc.GateOn(gate);
}
bool in_reset(Gate gate) {
    return g_rcc.InReset(gate);
}
bool backup_writable() {
    return (g_pwr.cr & (1U << 8)) != 0;
}
void record_reset_cause(ResetCause cause) {
    g_rcc.RecordResetCause(cause);
}

} // namespace emu::detail
