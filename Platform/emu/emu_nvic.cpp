// The exception model of ARMv7-M and the system control space that drives it: NVIC (enable,
// pend, active, priority registers, STIR), SCB (ICSR, VTOR, AIRCR with PRIGROUP and SYSRESETREQ,
// SCR, CCR, SHPR, SHCSR, CFSR/HFSR/BFAR, CPACR), DEMCR, FPCCR, and SysTick. Exception entry
// stacks the 8-word frame (26 words with floating-point state, CONTROL.FPCA) 8-byte aligned;
// EXC_RETURN tail-chains into what is pending or unstacks; preemption goes by group priority
// (four priority bits, PRIGROUP) under PRIMASK, BASEPRI and FAULTMASK.
#include <unicorn/unicorn.h>

#include <algorithm>
#include <array>
#include <cstdlib>

#include "emu_internal.h"

namespace emu::detail {

bool g_exception_held = false;

namespace {

constexpr size_t EXCEPTIONS = 16 + 96;

// NVIC and SCB: what exceptions are pending, active, enabled, and their priorities.
class Scs : public Peripheral {
  public:
    Scs() : Peripheral("SCS", 0xE000E000, 0x1000, {0, 0}) {}
    void mcu_reset() override {
        pending.fill(false);
        active.fill(false);
        enabled.fill(false);
        level.fill(false);
        priority.fill(0);
        vtor = 0; // VTOR reads 0; address 0 aliases the flash
        prigroup = 0;
        ccr = 0x200;
        cpacr = 0;
        shcsr = cfsr = hfsr = bfar = scr = 0;
        fpccr = 0xC0000000U;
        demcr = 0;
    }
    void world_reset() override { exceptions = 0; }
    uint32_t read(uint32_t off, unsigned size) override {
        if (off >= 0x400 && off < 0x4F0) {
            return Bytes(off, size,
                         [this](uint32_t o) { return priority[EXC_IRQ0 + (o - 0x400)]; });
        }
        if (off >= 0xD18 && off < 0xD24) {
            return Bytes(off, size, [this](uint32_t o) { return priority[4 + (o - 0xD18)]; });
        }
        switch (off) {
        case 0x004:
            return 2; // ICTR: up to 96 interrupts
        case 0xD00:
            return 0x410FC241U; // CPUID: Cortex-M4 r0p1
        case 0xD04: {
            const int active_now = static_cast<int>(cpu_reg(UC_ARM_REG_XPSR) & 0x1FFU);
            const int pend = PendingOver(256);
            return static_cast<uint32_t>(active_now) | (static_cast<uint32_t>(pend) << 12) |
                   (pending[EXC_SYSTICK] ? 1U << 26 : 0U) | (pending[EXC_PENDSV] ? 1U << 28 : 0U);
        }
        case 0xD08:
            return vtor;
        case 0xD0C:
            return 0xFA050000U | (prigroup << 8);
        case 0xD10:
            return scr;
        case 0xD14:
            return ccr;
        case 0xD24:
            return shcsr;
        case 0xD28:
            return cfsr;
        case 0xD2C:
            return hfsr;
        case 0xD38:
            return bfar;
        case 0xD88:
            return cpacr;
        case 0xDFC:
            return demcr;
        case 0xF34:
            return fpccr;
        default:
            break;
        }
        if (off >= 0x100 && off < 0x120) {
            return Bits(off - 0x100, enabled);
        }
        if (off >= 0x180 && off < 0x1A0) {
            return Bits(off - 0x180, enabled);
        }
        if (off >= 0x200 && off < 0x220) {
            return Bits(off - 0x200, pending);
        }
        if (off >= 0x280 && off < 0x2A0) {
            return Bits(off - 0x280, pending);
        }
        if (off >= 0x300 && off < 0x320) {
            return Bits(off - 0x300, active);
        }
        finding("read of system register " + hex(base() + off) + ": not modelled");
        return 0;
    }
    void write(uint32_t off, unsigned size, uint32_t v) override {
        // Any write here may make a pending exception takeable (enable, priority, pend).
        g_exception_held = true;
        stop_at_next_block();
        if (off >= 0x400 && off < 0x4F0) {
            SetBytes(off, size, v, [this](uint32_t o, uint8_t b) {
                priority[EXC_IRQ0 + (o - 0x400)] = b & 0xF0U; // four priority bits
            });
            return;
        }
        if (off >= 0xD18 && off < 0xD24) {
            SetBytes(off, size, v,
                     [this](uint32_t o, uint8_t b) { priority[4 + (o - 0xD18)] = b & 0xF0U; });
            return;
        }
        if (off >= 0x100 && off < 0x120) {
            SetBits(off - 0x100, v, enabled, true);
            return;
        }
        if (off >= 0x180 && off < 0x1A0) {
            SetBits(off - 0x180, v, enabled, false);
            return;
        }
        if (off >= 0x200 && off < 0x220) {
            SetBits(off - 0x200, v, pending, true);
            return;
        }
        if (off >= 0x280 && off < 0x2A0) {
            SetBits(off - 0x280, v, pending, false);
            for (size_t n = EXC_IRQ0; n < level.size(); ++n) {
                pending[n] = pending[n] || level[n];
            }
            return;
        }
        switch (off) {
        case 0xD04:
            if (v & (1U << 26)) {
                pending[EXC_SYSTICK] = true;
            }
            if (v & (1U << 25)) {
                pending[EXC_SYSTICK] = false;
            }
            if (v & (1U << 28)) {
                pending[EXC_PENDSV] = true;
            }
            if (v & (1U << 27)) {
                pending[EXC_PENDSV] = false;
            }
            if (v & (1U << 31)) {
                pending[EXC_NMI] = true;
            }
            return;
        case 0xD08:
            vtor = v & 0xFFFFFF80U;
            return;
        case 0xD0C:
            if ((v >> 16) != 0x05FAU) {
                finding("AIRCR written without its key");
                return;
            }
            prigroup = (v >> 8) & 7U;
            if (v & 4U) {
                reset_request(ResetCause::SOFTWARE);
            }
            return;
        case 0xD10:
            scr = v & 0x16U;
            return;
        case 0xD14:
            ccr = (v & 0x31BU) | 0x200U;
            return;
        case 0xD24:
            shcsr = v;
            return;
        case 0xD28:
            cfsr &= ~v;
            return;
        case 0xD2C:
            hfsr &= ~v;
            return;
        case 0xD88:
            cpacr = v & (0xFU << 20);
            return;
        case 0xDFC:
            demcr = v;
            return;
        case 0xF34:
            fpccr = v;
            return;
        case 0xF00:
            exception_pend(EXC_IRQ0 + static_cast<int>(v & 0x1FFU));
            return;
        default:
            finding("write of system register " + hex(base() + off) + ": not modelled");
            return;
        }
    }

    int GroupPriority(int n) const {
        if (n == 1) {
            return -3;
        }
        if (n == EXC_NMI) {
            return -2;
        }
        if (n == EXC_HARDFAULT) {
            return -1;
        }
        const uint32_t mask = (0xFFU << (prigroup + 1)) & 0xFFU;
        return static_cast<int>(priority[n] & mask);
    }

    int ExecutionPriority(bool with_masks) const {
        int prio = 256;
        for (size_t n = 1; n < active.size(); ++n) {
            if (active[n]) {
                prio = std::min(prio, GroupPriority(static_cast<int>(n)));
            }
        }
        if (with_masks) {
            if (cpu_reg(UC_ARM_REG_FAULTMASK) & 1U) {
                prio = std::min(prio, -1);
            }
            if (cpu_reg(UC_ARM_REG_PRIMASK) & 1U) {
                prio = std::min(prio, 0);
            }
            const uint32_t basepri = cpu_reg(UC_ARM_REG_BASEPRI) & 0xF0U;
            if (basepri != 0) {
                const uint32_t mask = (0xFFU << (prigroup + 1)) & 0xFFU;
                prio = std::min(prio, static_cast<int>(basepri & mask));
            }
        }
        return prio;
    }

    // The pending exception that would be taken over the given priority; 0 if none.
    int PendingOver(int execution_priority) const {
        int best = 0, best_group = 0, best_full = 0;
        for (size_t i = 1; i < pending.size(); ++i) {
            const int n = static_cast<int>(i);
            if (!pending[i] || (n >= EXC_IRQ0 && !enabled[i])) {
                continue;
            }
            const int group = GroupPriority(n);
            const int full = n <= EXC_HARDFAULT ? group : priority[i];
            if (group >= execution_priority) {
                continue;
            }
            if (best == 0 || group < best_group || (group == best_group && full < best_full)) {
                best = n;
                best_group = group;
                best_full = full;
            }
        }
        return best;
    }

    std::array<bool, EXCEPTIONS> pending{}, active{}, enabled{}, level{};
    std::array<uint8_t, EXCEPTIONS> priority{};
    uint32_t vtor = 0, prigroup = 0, ccr = 0x200, cpacr = 0, shcsr = 0, scr = 0;
    uint32_t cfsr = 0, hfsr = 0, bfar = 0, fpccr = 0xC0000000, demcr = 0;
    uint64_t exceptions = 0; // taken since the world began
    const bool debug = std::getenv("EMU_DEBUG") != nullptr;

  private:
    template <typename Fn> static uint32_t Bytes(uint32_t off, unsigned size, Fn get) {
        uint32_t v = 0;
        for (unsigned i = 0; i < size; ++i) {
            v |= static_cast<uint32_t>(get(off + i)) << (8 * i);
        }
        return v;
    }
    template <typename Fn> static void SetBytes(uint32_t off, unsigned size, uint32_t v, Fn set) {
        for (unsigned i = 0; i < size; ++i) {
            set(off + i, static_cast<uint8_t>(v >> (8 * i)));
        }
    }
    static uint32_t Bits(uint32_t off, const std::array<bool, EXCEPTIONS> &a) {
        uint32_t v = 0;
        for (uint32_t i = 0; i < 32; ++i) {
            const size_t n = EXC_IRQ0 + off * 8 + i;
            if (n < a.size() && a[n]) {
                v |= 1U << i;
            }
        }
        return v;
    }
    static void SetBits(uint32_t off, uint32_t v, std::array<bool, EXCEPTIONS> &a, bool to) {
        for (uint32_t i = 0; i < 32; ++i) {
            const size_t n = EXC_IRQ0 + off * 8 + i;
            if ((v & (1U << i)) && n < a.size()) {
                a[n] = to;
            }
        }
    }
};
Scs g_scs;

// SysTick: a 24-bit down counter on HCLK or HCLK / 8, reloaded from RVR; its wrap sets COUNTFLAG
// and, with TICKINT, pends the SysTick exception. The count is worked out from time.
class SysTick : public Peripheral {
  public:
    SysTick() : Peripheral("SysTick", 0xE000E010, 0x10, {0, 0}) {}
    void mcu_reset() override {
        csr = 0;
        rvr = 0;
        next = NEVER;
        countflag = false;
    }
    uint64_t next_event_ns() const override { return next; }
    void on_event(uint64_t t) override {
        Wrap();
        Arm(t);
    }
    // The count goes on at the new rate from now. A wrap already due happened at the old one:
    // it counts first (a clock change at the same moment may reach this model before its event).
    void on_clocks_changed() override {
        if (next <= now()) {
            Wrap();
        }
        Arm(now());
    }
    uint32_t read(uint32_t off, unsigned) override {
        switch (off) {
        case 0x0: {
            const uint32_t v = csr | (countflag ? 1U << 16 : 0U);
            countflag = false;
            return v;
        }
        case 0x4:
            return rvr;
        case 0x8: {
            if (next == NEVER) {
                return 0;
            }
            const uint64_t left = (next - now()) * Clock() / 1000000000ULL;
            return static_cast<uint32_t>(std::min<uint64_t>(left, rvr));
        }
        case 0xC:
            return 0x40000000U | 12499U; // CALIB: no reference, 10 ms at 100 MHz / 8
        default:
            finding("read of system register " + hex(base() + off) + ": not modelled");
            return 0;
        }
    }
    void write(uint32_t off, unsigned, uint32_t v) override {
        // As any write to the system control space, this one may make an exception takeable.
        g_exception_held = true;
        stop_at_next_block();
        switch (off) {
        case 0x0:
            csr = v & 7U;
            Arm(now());
            return;
        case 0x4:
            rvr = v & 0xFFFFFFU;
            return;
        case 0x8:
            countflag = false;
            Arm(now());
            return;
        default:
            finding("write of system register " + hex(base() + off) + ": not modelled");
            return;
        }
    }

  private:
    uint64_t Clock() const {
        return std::max<uint64_t>((csr & 4U) ? hclk_hz() : hclk_hz() / 8U, 1);
    }
    void Arm(uint64_t t) {
        const uint64_t period_ns = ((rvr & 0xFFFFFFU) + 1ULL) * 1000000000ULL / Clock();
        next = (csr & 1U) && rvr != 0 ? t + period_ns : NEVER;
    }
    void Wrap() {
        countflag = true;
        if (csr & 2U) {
            exception_pend(EXC_SYSTICK);
        }
    }

    uint32_t csr = 0, rvr = 0;
    uint64_t next = NEVER;
    bool countflag = false;
};
SysTick g_systick;

uint32_t VectorOf(int n) {
    uint32_t v = 0;
    read_memory(g_scs.vtor + 4U * static_cast<uint32_t>(n), &v, 4);
    return v;
}

void Activate(int n, uint32_t exc_return) {
    g_scs.pending[n] = false;
    g_scs.active[n] = true;
    ++g_scs.exceptions;
    const uint32_t xpsr = cpu_reg(UC_ARM_REG_XPSR);
    cpu_set_reg(UC_ARM_REG_XPSR, (xpsr & 0xF8000000U) | 0x01000000U | static_cast<uint32_t>(n));
    cpu_set_reg(UC_ARM_REG_LR, exc_return);
    cpu_set_reg(UC_ARM_REG_CONTROL, cpu_reg(UC_ARM_REG_CONTROL) & ~4U);
    cpu_set_reg(UC_ARM_REG_PC, VectorOf(n) & ~1U);
}

// Exception entry: the caller-saved registers (and the FP ones when the context has FP state)
// stacked on the main stack, 8-byte aligned, then the handler.
void Enter(int n, uint32_t return_address) {
    const uint32_t control = cpu_reg(UC_ARM_REG_CONTROL);
    const bool fp = (control & 4U) != 0;
    const uint32_t frame_size = fp ? 0x68 : 0x20;
    const uint32_t sp = cpu_reg(UC_ARM_REG_SP);
    const bool realign = (sp & 4U) != 0 && (g_scs.ccr & 0x200U) != 0;
    const uint32_t frame = (sp - frame_size) & ~(realign ? 4U : 0U);
    uint32_t xpsr = cpu_reg(UC_ARM_REG_XPSR);
    if (realign) {
        xpsr |= 1U << 9;
    }
    uint32_t words[26] = {cpu_reg(UC_ARM_REG_R0),  cpu_reg(UC_ARM_REG_R1),
                          cpu_reg(UC_ARM_REG_R2),  cpu_reg(UC_ARM_REG_R3),
                          cpu_reg(UC_ARM_REG_R12), cpu_reg(UC_ARM_REG_LR),
                          return_address & ~1U,    xpsr};
    if (fp) {
        for (int i = 0; i < 16; ++i) {
            words[8 + i] = cpu_reg(UC_ARM_REG_S0 + i);
        }
        words[24] = cpu_reg(UC_ARM_REG_FPSCR);
        words[25] = 0;
    }
    write_memory(frame, words, frame_size);
    if (g_scs.debug) {
        std::fprintf(stderr, "enter %d at %08x sp %08x frame %08x r0 %08x r3 %08x lr %08x t %llu\n",
                     n, return_address, sp, frame, words[0], words[3], words[5],
                     static_cast<unsigned long long>(now()));
    }
    cpu_set_reg(UC_ARM_REG_SP, frame);
    const bool handler = (xpsr & 0x1FFU) != 0;
    uint32_t exc_return = handler ? 0xFFFFFFF1U : (control & 2U) ? 0xFFFFFFFDU : 0xFFFFFFF9U;
    if (fp) {
        exc_return &= ~0x10U;
    }
    Activate(n, exc_return);
}

void Deactivate(int n) {
    g_scs.active[n] = false;
    if (n >= EXC_IRQ0 && g_scs.level[n]) {
        g_scs.pending[n] = true; // a level still held pends again
    }
}

} // namespace

void irq_level(int irq, bool high) {
    const size_t n = static_cast<size_t>(EXC_IRQ0) + static_cast<size_t>(irq);
    if (high && !g_scs.level[n]) {
        g_scs.pending[n] = true;
        g_exception_held = true;
    }
    g_scs.level[n] = high;
    if (high) {
        stop_at_next_block(); // take it at the next block
    }
}

void exception_pend(int number) {
    g_scs.pending[static_cast<size_t>(number)] = true;
    g_exception_held = true;
    stop_at_next_block();
}

int takeable_exception(bool with_masks) {
    return g_scs.PendingOver(g_scs.ExecutionPriority(with_masks));
}

bool take_pending(uint32_t return_address) {
    const int n = takeable_exception(true);
    g_exception_held = n == 0 && g_scs.PendingOver(256) != 0;
    if (n == 0) {
        return false;
    }
    Enter(n, return_address);
    return true;
}

void take_synchronous(int number, uint32_t return_address) {
    if (number == EXC_SVCALL) {
        Enter(EXC_SVCALL, return_address);
        return;
    }
    g_scs.hfsr |= 1U << 30; // forced: the configurable faults are not enabled
    if (g_scs.active[EXC_HARDFAULT] || g_scs.active[EXC_NMI]) {
        finding("fault inside the fault handler: the CPU locks up");
        reset_request(ResetCause::WATCHDOG);
    } else {
        Enter(EXC_HARDFAULT, return_address);
    }
}

// EXC_RETURN: the handler's exception ends; a pending one that can run goes next without
// unstacking (tail-chaining); otherwise the frame comes back off the stack.
void exception_return(uint32_t exc_return) {
    const uint32_t xpsr_now = cpu_reg(UC_ARM_REG_XPSR);
    const int n = static_cast<int>(xpsr_now & 0x1FFU);
    if (n == 0 || (exc_return & 0xFFFFFFE0U) != 0xFFFFFFE0U) {
        finding("exception return " + hex(exc_return) + " outside a handler");
        return;
    }
    Deactivate(n);
    // What can run over the context returned to, PRIMASK and the other masks included.
    const int next = takeable_exception(true);
    if (next != 0) {
        Activate(next, exc_return);
        return;
    }
    const bool fp = (exc_return & 0x10U) == 0;
    const uint32_t frame_size = fp ? 0x68 : 0x20;
    const uint32_t sp = cpu_reg(UC_ARM_REG_SP);
    uint32_t words[26] = {};
    read_memory(sp, words, frame_size);
    cpu_set_reg(UC_ARM_REG_R0, words[0]);
    cpu_set_reg(UC_ARM_REG_R1, words[1]);
    cpu_set_reg(UC_ARM_REG_R2, words[2]);
    cpu_set_reg(UC_ARM_REG_R3, words[3]);
    cpu_set_reg(UC_ARM_REG_R12, words[4]);
    cpu_set_reg(UC_ARM_REG_LR, words[5]);
    if (fp) {
        for (int i = 0; i < 16; ++i) {
            cpu_set_reg(UC_ARM_REG_S0 + i, words[8 + i]);
        }
        cpu_set_reg(UC_ARM_REG_FPSCR, words[24]);
    }
    cpu_set_reg(UC_ARM_REG_SP, sp + frame_size + (((words[7] >> 9) & 1U) ? 4U : 0U));
    cpu_set_reg(UC_ARM_REG_XPSR, words[7] & ~(1U << 9));
    uint32_t control = cpu_reg(UC_ARM_REG_CONTROL);
    control = fp ? (control | 4U) : (control & ~4U);
    cpu_set_reg(UC_ARM_REG_CONTROL, control);
    cpu_set_reg(UC_ARM_REG_PC, words[6] & ~1U);
    if (g_scs.debug) {
        std::fprintf(stderr, "return to %08x sp %08x xpsr %08x\n", words[6], cpu_reg(UC_ARM_REG_SP),
                     words[7]);
    }
}

void note_bus_fault(uint32_t address) {
    g_scs.bfar = address;
}
bool fpu_enabled() {
    return (g_scs.cpacr & (0xFU << 20)) == (0xFU << 20);
}
bool trace_enabled() {
    return (g_scs.demcr & (1U << 24)) != 0;
}

} // namespace emu::detail

namespace emu {

uint64_t exceptions_taken() {
    return detail::g_scs.exceptions;
}

void stray_interrupt(int irq) {
    const size_t n = static_cast<size_t>(detail::EXC_IRQ0) + static_cast<size_t>(irq);
    detail::g_scs.enabled.at(n) = true;
    detail::exception_pend(static_cast<int>(n));
}

} // namespace emu
