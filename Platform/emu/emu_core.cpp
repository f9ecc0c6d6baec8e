// The core of the emulated chip: the CPU (Unicorn), the memory map, time from cycles, the run
// loop, and the exception model of ARMv7-M (the NVIC, the system handlers, SysTick and the rest of
// the system control space are here too, since exception entry and return read them).
#include <elf.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdlib>
#include <array>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <queue>
#include <set>

#include "emu_internal.h"

namespace emu::detail {
namespace {

constexpr uint32_t FLASH_BASE = 0x08000000;
constexpr uint32_t FLASH_BYTES = 512 * 1024;
constexpr uint32_t SRAM_BASE = 0x20000000;
constexpr uint32_t SRAM_BYTES = 128 * 1024;
// An address in erased flash, never executed: calls into the image return to it.
constexpr uint32_t CALL_RETURN = FLASH_BASE + FLASH_BYTES - 16;
constexpr uint32_t UNTIL_NEVER = 0xFFFFFFFE;
// Unicorn's exception numbers (from its CPU model): exception return, and the synchronous ones.
constexpr uint32_t EXCP_UDEF = 1, EXCP_SWI = 2, EXCP_BKPT = 7, EXCP_EXCEPTION_EXIT = 8;

// Peripheral windows, decoded by the register blocks inside them.
struct Window {
    uint32_t base, size;
};
constexpr std::array<Window, 5> WINDOWS = {{
    {0x40000000, 0x8000}, // APB1
    {0x40010000, 0x5800}, // APB2
    {0x40020000, 0x6800}, // AHB1
    {SETTINGS_ADDR,
     SETTINGS_BYTES}, // flash sectors 2 and 3: read and programmed through the flash interface
    {0xE0000000, 0x100000}, // Cortex-M4 private peripheral bus
}};

enum class Stop : uint8_t { NONE, BUDGET, EXIT, SYNC_FAULT, FINDING };

struct Core {
    uc_engine *uc = nullptr;
    std::vector<uint8_t> flash_image;        // the loaded image, as flash holds it at power-on
    std::map<std::string, uint32_t> symbols; // cppcheck-suppress unusedStructMember ; emu::symbol
    std::vector<uint32_t> fp_sites;          // addresses of floating-point instructions in the code

    // Time: ns_base at cycles_base, at hz since.
    uint64_t ns_base = 0, cycles_base = 0, cycles = 0;
    uint32_t hz = mcu::HSI_HZ;
    uint64_t stop_cycles = UINT64_MAX;
    uint32_t stop_pc = 0;
    bool pending_held = false; // an exception is pending that the CPU may not take yet
    uint64_t until = 0;
    bool in_call = false;
    Stop stop = Stop::NONE;
    uint32_t exc_return = 0;
    int sync_exception = 0;
    uint64_t instructions = 0, exceptions = 0, resets = 0, skips = 0;

    // Idle passes of the main loop (see OnPass).
    uint32_t ram_lo = 0, ram_hi = 0;
    uint64_t trace = 0, last_trace = 0, last_sig = 0, last_exceptions = 0;
    bool sig_valid = false;
    bool trace_io = std::getenv("EMU_TRACE_IO") != nullptr; // every register access on stderr
    bool debug = std::getenv("EMU_DEBUG") != nullptr;

    // Exceptions.
    std::array<bool, 16 + 96> pending{}, active{}, enabled{}, level{};
    std::array<uint8_t, 16 + 96> priority{};
    uint32_t vtor = 0, prigroup = 0, ccr = 0x200, cpacr = 0, shcsr = 0, scr = 0;
    uint32_t cfsr = 0, hfsr = 0, bfar = 0, fpccr = 0xC0000000, demcr = 0;
    bool sleeping = false, halted = false, halt_said = false;
    std::optional<ResetCause> reset_pending;
    uint64_t hang_at = NEVER;

    // SysTick.
    uint32_t st_csr = 0, st_rvr = 0;
    uint64_t st_start_ns = 0; // counter loaded with RVR at this time (while enabled)
    uint64_t st_next = NEVER;
    bool st_countflag = false;

    // DWT cycle counter: CYCCNT = (cycles of time) - offset.
    uint32_t dwt_ctrl = 0x40000000, dwt_offset = 0;

    // World.
    struct Event {
        uint64_t t, seq;
        std::function<void(uint64_t)> fn;
        bool operator>(const Event &o) const { return t != o.t ? t > o.t : seq > o.seq; }
    };
    std::priority_queue<Event, std::vector<Event>, std::greater<>> events;
    uint64_t seq = 0;
    std::function<void()> on_halt;
    std::vector<std::string> findings;
    std::set<std::string> said;
};

Core g;
uint64_t NextEvent();
int ExecutionPriority(bool with_primask);
int PendingOver(int execution_priority);
std::vector<Block *> &Blocks() {
    static std::vector<Block *> blocks;
    return blocks;
}

class WorldClock : public dev::Clock {
  public:
    uint64_t now_ns() const override { return now(); }
    void at(uint64_t t_ns, std::function<void(uint64_t)> fn) override {
        schedule(t_ns, std::move(fn));
    }
};
WorldClock g_clock;

uint32_t Reg(int reg) {
    uint32_t v = 0;
    uc_reg_read(g.uc, reg, &v);
    return v;
}
void SetReg(int reg, uint32_t v) {
    uc_reg_write(g.uc, reg, &v);
}

// ---- Time ---------------------------------------------------------------------------------------

uint64_t CyclesAt(uint64_t t_ns) {
    if (t_ns <= g.ns_base) {
        return g.cycles_base;
    }
    const unsigned __int128 d = static_cast<unsigned __int128>(t_ns - g.ns_base) * g.hz;
    return g.cycles_base + static_cast<uint64_t>((d + 999999999U) / 1000000000U);
}

void Rebase() {
    g.ns_base = now();
    g.cycles_base = g.cycles;
}

// Time jumps (sleep, flash stall): the cycles of the jump are not instructions.
void JumpTo(uint64_t t_ns) {
    if (t_ns > now()) {
        g.ns_base = t_ns;
        g.cycles_base = g.cycles;
    }
}

// ---- Instructions -------------------------------------------------------------------------------

uint16_t CodeHalfword(uint32_t address) {
    const uint32_t off = address - FLASH_BASE;
    if (address < FLASH_BASE || off + 1 >= g.flash_image.size()) {
        return 0;
    }
    return static_cast<uint16_t>(g.flash_image[off] | (g.flash_image[off + 1] << 8));
}
bool Wide(uint16_t hw) {
    return (hw >> 11) >= 0x1D;
}

uint32_t InstructionsIn(uint32_t address, uint32_t size) {
    uint32_t n = 0;
    for (uint32_t a = address; a < address + size; ++n) {
        a += Wide(CodeHalfword(a)) ? 4 : 2;
    }
    return n == 0 ? 1 : n;
}

void OnBlock(uc_engine *uc, uint64_t address, uint32_t size, void *) {
    if (g.in_call) {
        return;
    }
    if (g.cycles >= g.stop_cycles) {
        // Stopped before this block runs. The PC register may still hold the start of an earlier
        // block of a chain: the block's own address is where the CPU goes on.
        g.stop = Stop::BUDGET;
        g.stop_pc = static_cast<uint32_t>(address);
        uc_emu_stop(uc);
        return;
    }
    // A pending exception held back by PRIMASK, BASEPRI or a running handler is taken as soon
    // as the block that lifted the mask is through (MSR, CPSIE and exception returns end blocks).
    if (g.pending_held && PendingOver(ExecutionPriority(true)) != 0) {
        g.stop = Stop::BUDGET;
        g.stop_pc = static_cast<uint32_t>(address);
        uc_emu_stop(uc);
        return;
    }
    const uint32_t n = InstructionsIn(static_cast<uint32_t>(address), size);
    g.cycles += n;
    g.instructions += n;
}

void OnInterrupt(uc_engine *uc, uint32_t intno, void *) {
    if (intno == EXCP_EXCEPTION_EXIT) {
        g.stop = Stop::EXIT;
        g.exc_return = Reg(UC_ARM_REG_PC) | 1U;
    } else {
        g.stop = Stop::SYNC_FAULT;
        g.sync_exception = intno == EXCP_SWI ? EXC_SVCALL : EXC_HARDFAULT;
        if (intno != EXCP_SWI) {
            finding("CPU exception " + std::to_string(intno) +
                    (intno == EXCP_UDEF   ? " (undefined instruction)"
                     : intno == EXCP_BKPT ? " (breakpoint)"
                                          : "") +
                    " at " + hex(Reg(UC_ARM_REG_PC)));
        }
    }
    uc_emu_stop(uc);
}

bool OnBadAccess(uc_engine *uc, uc_mem_type type, uint64_t address, int, int64_t, void *) {
    const char *what = type == UC_MEM_FETCH_UNMAPPED || type == UC_MEM_FETCH_PROT   ? "fetch from"
                       : type == UC_MEM_WRITE_UNMAPPED || type == UC_MEM_WRITE_PROT ? "write to"
                                                                                    : "read of";
    finding(std::string("bus fault: ") + what + " " + hex(static_cast<uint32_t>(address)) +
            " at pc " + hex(Reg(UC_ARM_REG_PC)) + " (lr " + hex(Reg(UC_ARM_REG_LR)) + ")");
    g.bfar = static_cast<uint32_t>(address);
    if (std::getenv("EMU_DEBUG") != nullptr) {
        uint32_t words[32] = {};
        uc_mem_read(uc, Reg(UC_ARM_REG_SP), words, sizeof words);
        for (uint32_t w : words) {
            std::fprintf(stderr, " %08x", w);
        }
        std::fprintf(stderr, "\n");
    }
    g.stop = Stop::SYNC_FAULT;
    g.sync_exception = EXC_HARDFAULT;
    uc_emu_stop(uc);
    return false;
}

void OnTracePc(uc_engine *, uint64_t address, uint32_t, void *) {
    std::fprintf(stderr, "pc %08x r0 %08x r1 %08x r2 %08x r3 %08x r4 %08x sp %08x\n",
                 static_cast<uint32_t>(address), Reg(UC_ARM_REG_R0), Reg(UC_ARM_REG_R1),
                 Reg(UC_ARM_REG_R2), Reg(UC_ARM_REG_R3), Reg(UC_ARM_REG_R4), Reg(UC_ARM_REG_SP));
}

void OnFloatingPoint(uc_engine *uc, uint64_t address, uint32_t, void *) {
    if ((g.cpacr & (0xFU << 20)) != (0xFU << 20)) {
        finding("floating-point instruction at " + hex(static_cast<uint32_t>(address)) +
                " before the FPU was enabled");
        g.stop = Stop::FINDING;
        uc_emu_stop(uc);
    }
}

// At the start of each pass of the main loop. A pass that starts from the same RAM and registers
// as the one before, after a pass that made the same bus accesses with the same results as the one
// before it, with no interrupt and no event between: the program goes round a fixed point, and
// every pass until something happens is this one again. Those passes are skipped (their time
// passes, up to a millisecond at a time), which is what makes an idle beacon emulate faster than
// real time.
void OnPass(uc_engine *uc, uint64_t, uint32_t, void *) {
    if (g.in_call || g.ram_hi <= g.ram_lo) {
        return;
    }
    uint8_t ram[4096];
    const uint32_t n = std::min<uint32_t>(g.ram_hi - g.ram_lo, sizeof ram);
    uc_mem_read(uc, g.ram_lo, ram, n);
    uint64_t sig = 0xCBF29CE484222325ULL;
    for (uint32_t i = 0; i < n; ++i) {
        sig = (sig ^ ram[i]) * 0x100000001B3ULL;
    }
    for (int r = UC_ARM_REG_R4; r <= UC_ARM_REG_R11; ++r) {
        sig = (sig ^ Reg(r)) * 0x100000001B3ULL;
    }
    sig = (sig ^ Reg(UC_ARM_REG_SP)) * 0x100000001B3ULL;
    const bool same = g.sig_valid && sig == g.last_sig && g.trace == g.last_trace &&
                      g.exceptions == g.last_exceptions;
    g.sig_valid = true;
    g.last_sig = sig;
    g.last_trace = g.trace;
    g.trace = 0;
    g.last_exceptions = g.exceptions;
    if (same) {
        // Their time passes here; the next block stops for whatever falls due then.
        ++g.skips;
        JumpTo(std::min({NextEvent(), g.until, now() + NS_PER_MS}));
        g.stop_cycles = std::min(g.stop_cycles, CyclesAt(NextEvent()));
    }
}

// ---- Register blocks ----------------------------------------------------------------------------

// A register access may have given a block an earlier event: the CPU stops for it.
void EventsMoved() {
    if (!g.in_call) {
        g.stop_cycles = std::min(g.stop_cycles, CyclesAt(NextEvent()));
    }
}

Block *BlockAt(uint32_t address) {
    for (Block *b : Blocks()) {
        if (address - b->base < b->size) {
            return b;
        }
    }
    return nullptr;
}

uint64_t MmioRead(uc_engine *, uint64_t offset, unsigned size, void *user) {
    const uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(user) + offset);
    Block *b = BlockAt(address);
    if (b == nullptr) {
        finding("read of " + hex(address) + ": no peripheral modelled there");
        return 0;
    }
    if (!gate_on(b->gate)) {
        finding(std::string(b->name) + " read while its clock is off (" + hex(address) + ")");
        return 0;
    }
    const uint32_t v = b->read(address - b->base, size);
    EventsMoved();
    if (g.trace_io) {
        std::fprintf(stderr, "%10llu R %08x %08x\n", static_cast<unsigned long long>(now()),
                     address, v);
    }
    g.trace = (g.trace ^ (uint64_t{address} << 32 | v)) * 0x100000001B3ULL;
    return v;
}

void MmioWrite(uc_engine *, uint64_t offset, unsigned size, uint64_t value, void *user) {
    const uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(user) + offset);
    Block *b = BlockAt(address);
    if (b == nullptr) {
        finding("write of " + hex(address) + ": no peripheral modelled there");
        return;
    }
    if (!gate_on(b->gate)) {
        finding(std::string(b->name) + " written while its clock is off (" + hex(address) + ")");
        return;
    }
    g.trace = (g.trace ^ (uint64_t{address} << 32 | static_cast<uint32_t>(value)) ^ 1U) *
              0x100000001B3ULL;
    if (g.trace_io) {
        std::fprintf(stderr, "%10llu W %08x %08x\n", static_cast<unsigned long long>(now()),
                     address, static_cast<uint32_t>(value));
    }
    b->write(address - b->base, size, static_cast<uint32_t>(value));
    EventsMoved();
}

// ---- Exceptions ---------------------------------------------------------------------------------

int GroupPriority(int n) {
    if (n == 1) {
        return -3;
    }
    if (n == EXC_NMI) {
        return -2;
    }
    if (n == EXC_HARDFAULT) {
        return -1;
    }
    const uint32_t mask = (0xFFU << (g.prigroup + 1)) & 0xFFU;
    return static_cast<int>(g.priority[n] & mask);
}

int ExecutionPriority(bool with_primask) {
    int prio = 256;
    for (size_t n = 1; n < g.active.size(); ++n) {
        if (g.active[n]) {
            prio = std::min(prio, GroupPriority(static_cast<int>(n)));
        }
    }
    if (with_primask) {
        if (Reg(UC_ARM_REG_FAULTMASK) & 1U) {
            prio = std::min(prio, -1);
        }
        if (Reg(UC_ARM_REG_PRIMASK) & 1U) {
            prio = std::min(prio, 0);
        }
        const uint32_t basepri = Reg(UC_ARM_REG_BASEPRI) & 0xF0U;
        if (basepri != 0) {
            const uint32_t mask = (0xFFU << (g.prigroup + 1)) & 0xFFU;
            prio = std::min(prio, static_cast<int>(basepri & mask));
        }
    }
    return prio;
}

// The pending exception that would be taken over the given priority; 0 if none.
int PendingOver(int execution_priority) {
    int best = 0, best_group = 0, best_full = 0;
    for (size_t i = 1; i < g.pending.size(); ++i) {
        const int n = static_cast<int>(i);
        if (!g.pending[i] || (n >= EXC_IRQ0 && !g.enabled[i])) {
            continue;
        }
        const int group = GroupPriority(n);
        const int full = n <= EXC_HARDFAULT ? group : g.priority[i];
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

uint32_t VectorOf(int n) {
    uint32_t v = 0;
    uc_mem_read(g.uc, g.vtor + 4U * static_cast<uint32_t>(n), &v, 4);
    return v;
}

void Activate(int n, uint32_t exc_return) {
    g.pending[n] = false;
    g.active[n] = true;
    ++g.exceptions;
    const uint32_t xpsr = Reg(UC_ARM_REG_XPSR);
    SetReg(UC_ARM_REG_XPSR, (xpsr & 0xF8000000U) | 0x01000000U | static_cast<uint32_t>(n));
    SetReg(UC_ARM_REG_LR, exc_return);
    SetReg(UC_ARM_REG_CONTROL, Reg(UC_ARM_REG_CONTROL) & ~4U);
    SetReg(UC_ARM_REG_PC, VectorOf(n) & ~1U);
    g.sleeping = false;
}

// Exception entry: the caller-saved registers (and the FP ones when the context has FP state)
// stacked on the main stack, 8-byte aligned, then the handler.
void Enter(int n, uint32_t return_address) {
    const uint32_t control = Reg(UC_ARM_REG_CONTROL);
    const bool fp = (control & 4U) != 0;
    const uint32_t frame_size = fp ? 0x68 : 0x20;
    const uint32_t sp = Reg(UC_ARM_REG_SP);
    const bool realign = (sp & 4U) != 0 && (g.ccr & 0x200U) != 0;
    const uint32_t frame = (sp - frame_size) & ~(realign ? 4U : 0U);
    uint32_t xpsr = Reg(UC_ARM_REG_XPSR);
    if (realign) {
        xpsr |= 1U << 9;
    }
    uint32_t words[26] = {
        Reg(UC_ARM_REG_R0),  Reg(UC_ARM_REG_R1), Reg(UC_ARM_REG_R2),   Reg(UC_ARM_REG_R3),
        Reg(UC_ARM_REG_R12), Reg(UC_ARM_REG_LR), return_address & ~1U, xpsr};
    if (fp) {
        for (int i = 0; i < 16; ++i) {
            words[8 + i] = Reg(UC_ARM_REG_S0 + i);
        }
        words[24] = Reg(UC_ARM_REG_FPSCR);
        words[25] = 0;
    }
    uc_mem_write(g.uc, frame, words, frame_size);
    if (g.debug) {
        std::fprintf(stderr, "enter %d at %08x sp %08x frame %08x r0 %08x r3 %08x lr %08x t %llu\n",
                     n, return_address, sp, frame, words[0], words[3], words[5],
                     static_cast<unsigned long long>(now()));
    }
    SetReg(UC_ARM_REG_SP, frame);
    const bool handler = (xpsr & 0x1FFU) != 0;
    uint32_t exc_return = handler ? 0xFFFFFFF1U : (control & 2U) ? 0xFFFFFFFDU : 0xFFFFFFF9U;
    if (fp) {
        exc_return &= ~0x10U;
    }
    Activate(n, exc_return);
}

bool TakePending() {
    const int n = PendingOver(ExecutionPriority(true));
    g.pending_held = n == 0 && PendingOver(256) != 0;
    if (n == 0) {
        return false;
    }
    Enter(n, Reg(UC_ARM_REG_PC));
    return true;
}

void Deactivate(int n) {
    g.active[n] = false;
    if (n >= EXC_IRQ0 && g.level[n]) {
        g.pending[n] = true; // a level still held pends again
    }
}

// EXC_RETURN: the handler's exception ends; a pending one that can run goes next without
// unstacking (tail-chaining); otherwise the frame comes back off the stack.
void Return(uint32_t exc_return) {
    const uint32_t xpsr_now = Reg(UC_ARM_REG_XPSR);
    const int n = static_cast<int>(xpsr_now & 0x1FFU);
    if (n == 0 || (exc_return & 0xFFFFFFE0U) != 0xFFFFFFE0U) {
        finding("exception return " + hex(exc_return) + " outside a handler");
        g.stop = Stop::FINDING;
        return;
    }
    Deactivate(n);
    // What can run over the context returned to, PRIMASK and the other masks included.
    const int next = PendingOver(ExecutionPriority(true));
    if (next != 0) {
        Activate(next, exc_return);
        return;
    }
    const bool fp = (exc_return & 0x10U) == 0;
    const uint32_t frame_size = fp ? 0x68 : 0x20;
    const uint32_t sp = Reg(UC_ARM_REG_SP);
    uint32_t words[26] = {};
    uc_mem_read(g.uc, sp, words, frame_size);
    SetReg(UC_ARM_REG_R0, words[0]);
    SetReg(UC_ARM_REG_R1, words[1]);
    SetReg(UC_ARM_REG_R2, words[2]);
    SetReg(UC_ARM_REG_R3, words[3]);
    SetReg(UC_ARM_REG_R12, words[4]);
    SetReg(UC_ARM_REG_LR, words[5]);
    if (fp) {
        for (int i = 0; i < 16; ++i) {
            SetReg(UC_ARM_REG_S0 + i, words[8 + i]);
        }
        SetReg(UC_ARM_REG_FPSCR, words[24]);
    }
    SetReg(UC_ARM_REG_SP, sp + frame_size + (((words[7] >> 9) & 1U) ? 4U : 0U));
    SetReg(UC_ARM_REG_XPSR, words[7] & ~(1U << 9));
    uint32_t control = Reg(UC_ARM_REG_CONTROL);
    control = fp ? (control | 4U) : (control & ~4U);
    SetReg(UC_ARM_REG_CONTROL, control);
    SetReg(UC_ARM_REG_PC, words[6] & ~1U);
    if (g.debug) {
        std::fprintf(stderr, "return to %08x sp %08x xpsr %08x\n", words[6], Reg(UC_ARM_REG_SP),
                     words[7]);
    }
}

// ---- The system control space: SysTick, NVIC, SCB, FPU registers ------------------------------

uint64_t SysTickClock() {
    return std::max<uint64_t>((g.st_csr & 4U) ? hclk() : hclk() / 8U, 1);
}
void SysTickArm(uint64_t t) {
    g.st_start_ns = t;
    const uint64_t period_ns = ((g.st_rvr & 0xFFFFFFU) + 1ULL) * 1000000000ULL / SysTickClock();
    g.st_next = (g.st_csr & 1U) && g.st_rvr != 0 ? t + period_ns : NEVER;
}

class Scs : public Block {
  public:
    Scs() : Block("SCS", 0xE000E000, 0x1000, {0, 0}) {}
    void reset(bool) override {
        g.st_csr = 0;
        g.st_rvr = 0;
        g.st_next = NEVER;
        g.st_countflag = false;
    }
    uint64_t next_event() const override { return g.st_next; }
    void on_event(uint64_t t) override {
        g.st_countflag = true;
        if (g.st_csr & 2U) {
            exception_pend(EXC_SYSTICK);
        }
        SysTickArm(t);
    }
    uint32_t read(uint32_t off, unsigned size) override {
        if (off >= 0x400 && off < 0x4F0) {
            return Bytes(off, size, [](uint32_t o) { return g.priority[EXC_IRQ0 + (o - 0x400)]; });
        }
        if (off >= 0xD18 && off < 0xD24) {
            return Bytes(off, size, [](uint32_t o) { return g.priority[4 + (o - 0xD18)]; });
        }
        switch (off) {
        case 0x004:
            return 2; // ICTR: up to 96 interrupts
        case 0x010: {
            const uint32_t v = g.st_csr | (g.st_countflag ? 1U << 16 : 0U);
            g.st_countflag = false;
            return v;
        }
        case 0x014:
            return g.st_rvr;
        case 0x018: {
            if (g.st_next == NEVER) {
                return 0;
            }
            const uint64_t left = (g.st_next - now()) * SysTickClock() / 1000000000ULL;
            return static_cast<uint32_t>(std::min<uint64_t>(left, g.st_rvr));
        }
        case 0x01C:
            return 0x40000000U | 12499U; // CALIB: no reference, 10 ms at 100 MHz / 8
        case 0xD00:
            return 0x410FC241U; // CPUID: Cortex-M4 r0p1
        case 0xD04: {
            const int active = static_cast<int>(Reg(UC_ARM_REG_XPSR) & 0x1FFU);
            const int pend = PendingOver(256);
            return static_cast<uint32_t>(active) | (static_cast<uint32_t>(pend) << 12) |
                   (g.pending[EXC_SYSTICK] ? 1U << 26 : 0U) |
                   (g.pending[EXC_PENDSV] ? 1U << 28 : 0U);
        }
        case 0xD08:
            return g.vtor;
        case 0xD0C:
            return 0xFA050000U | (g.prigroup << 8);
        case 0xD10:
            return g.scr;
        case 0xD14:
            return g.ccr;
        case 0xD24:
            return g.shcsr;
        case 0xD28:
            return g.cfsr;
        case 0xD2C:
            return g.hfsr;
        case 0xD38:
            return g.bfar;
        case 0xD88:
            return g.cpacr;
        case 0xDFC:
            return g.demcr;
        case 0xF34:
            return g.fpccr;
        default:
            break;
        }
        if (off >= 0x100 && off < 0x120) {
            return Bits(off - 0x100, g.enabled);
        }
        if (off >= 0x180 && off < 0x1A0) {
            return Bits(off - 0x180, g.enabled);
        }
        if (off >= 0x200 && off < 0x220) {
            return Bits(off - 0x200, g.pending);
        }
        if (off >= 0x280 && off < 0x2A0) {
            return Bits(off - 0x280, g.pending);
        }
        if (off >= 0x300 && off < 0x320) {
            return Bits(off - 0x300, g.active);
        }
        finding("read of system register " + hex(base + off) + ": not modelled");
        return 0;
    }
    void write(uint32_t off, unsigned size, uint32_t v) override {
        // Any write here may make a pending exception takeable (enable, priority, pend).
        g.pending_held = true;
        g.stop_cycles = std::min(g.stop_cycles, g.cycles);
        if (off >= 0x400 && off < 0x4F0) {
            SetBytes(off, size, v, [](uint32_t o, uint8_t b) {
                g.priority[EXC_IRQ0 + (o - 0x400)] = b & 0xF0U; // four priority bits
            });
            return;
        }
        if (off >= 0xD18 && off < 0xD24) {
            SetBytes(off, size, v,
                     [](uint32_t o, uint8_t b) { g.priority[4 + (o - 0xD18)] = b & 0xF0U; });
            return;
        }
        if (off >= 0x100 && off < 0x120) {
            SetBits(off - 0x100, v, g.enabled, true);
            return;
        }
        if (off >= 0x180 && off < 0x1A0) {
            SetBits(off - 0x180, v, g.enabled, false);
            return;
        }
        if (off >= 0x200 && off < 0x220) {
            SetBits(off - 0x200, v, g.pending, true);
            return;
        }
        if (off >= 0x280 && off < 0x2A0) {
            SetBits(off - 0x280, v, g.pending, false);
            for (size_t n = EXC_IRQ0; n < g.level.size(); ++n) {
                g.pending[n] = g.pending[n] || g.level[n];
            }
            return;
        }
        switch (off) {
        case 0x010:
            g.st_csr = v & 7U;
            SysTickArm(now());
            return;
        case 0x014:
            g.st_rvr = v & 0xFFFFFFU;
            return;
        case 0x018:
            g.st_countflag = false;
            SysTickArm(now());
            return;
        case 0xD04:
            if (v & (1U << 26)) {
                g.pending[EXC_SYSTICK] = true;
            }
            if (v & (1U << 25)) {
                g.pending[EXC_SYSTICK] = false;
            }
            if (v & (1U << 28)) {
                g.pending[EXC_PENDSV] = true;
            }
            if (v & (1U << 27)) {
                g.pending[EXC_PENDSV] = false;
            }
            if (v & (1U << 31)) {
                g.pending[EXC_NMI] = true;
            }
            return;
        case 0xD08:
            g.vtor = v & 0xFFFFFF80U;
            return;
        case 0xD0C:
            if ((v >> 16) != 0x05FAU) {
                finding("AIRCR written without its key");
                return;
            }
            g.prigroup = (v >> 8) & 7U;
            if (v & 4U) {
                reset_request(ResetCause::SOFTWARE);
            }
            return;
        case 0xD10:
            g.scr = v & 0x16U;
            return;
        case 0xD14:
            g.ccr = (v & 0x31BU) | 0x200U;
            return;
        case 0xD24:
            g.shcsr = v;
            return;
        case 0xD28:
            g.cfsr &= ~v;
            return;
        case 0xD2C:
            g.hfsr &= ~v;
            return;
        case 0xD88:
            g.cpacr = v & (0xFU << 20);
            return;
        case 0xDFC:
            g.demcr = v;
            return;
        case 0xF34:
            g.fpccr = v;
            return;
        case 0xF00:
            exception_pend(EXC_IRQ0 + static_cast<int>(v & 0x1FFU));
            return;
        default:
            finding("write of system register " + hex(base + off) + ": not modelled");
            return;
        }
    }

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
    static uint32_t Bits(uint32_t off, const std::array<bool, 112> &a) {
        uint32_t v = 0;
        for (uint32_t i = 0; i < 32; ++i) {
            const size_t n = EXC_IRQ0 + off * 8 + i;
            if (n < a.size() && a[n]) {
                v |= 1U << i;
            }
        }
        return v;
    }
    static void SetBits(uint32_t off, uint32_t v, std::array<bool, 112> &a, bool to) {
        for (uint32_t i = 0; i < 32; ++i) {
            const size_t n = EXC_IRQ0 + off * 8 + i;
            if ((v & (1U << i)) && n < a.size()) {
                a[n] = to;
            }
        }
    }
};
Scs g_scs;

class Dwt : public Block {
  public:
    Dwt() : Block("DWT", 0xE0001000, 0x1000, {0, 0}) {}
    void reset(bool) override {
        g.dwt_ctrl = 0x40000000;
        g.dwt_offset = 0;
    }
    uint32_t read(uint32_t off, unsigned) override {
        if (off == 0x000) {
            return g.dwt_ctrl;
        }
        if (off == 0x004) {
            return Counting() ? Cycles() - g.dwt_offset : g.dwt_offset;
        }
        finding("read of DWT register " + hex(base + off) + ": not modelled");
        return 0;
    }
    void write(uint32_t off, unsigned, uint32_t v) override {
        if (off == 0x000) {
            const uint32_t now_count = read(4, 4);
            g.dwt_ctrl = (g.dwt_ctrl & ~1U) | (v & 1U);
            g.dwt_offset = Counting() ? Cycles() - now_count : now_count;
        } else if (off == 0x004) {
            g.dwt_offset = Counting() ? Cycles() - v : v;
        } else {
            finding("write of DWT register " + hex(base + off) + ": not modelled");
        }
    }

  private:
    static bool Counting() { return (g.demcr & (1U << 24)) && (g.dwt_ctrl & 1U); }
    // The core clock's cycles of time, as the counter counts them (sleep and stalls included).
    static uint32_t Cycles() {
        return static_cast<uint32_t>(static_cast<unsigned __int128>(now()) * hclk() / 1000000000U);
    }
};
Dwt g_dwt;

// ---- Resets -------------------------------------------------------------------------------------

void ResetCpu(bool power_on) {
    if (power_on) {
        std::vector<uint8_t> zero(SRAM_BYTES, 0);
        uc_mem_write(g.uc, SRAM_BASE, zero.data(), zero.size());
    }
    for (int r = UC_ARM_REG_R0; r <= UC_ARM_REG_R12; ++r) {
        SetReg(r, 0);
    }
    SetReg(UC_ARM_REG_PRIMASK, 0);
    SetReg(UC_ARM_REG_BASEPRI, 0);
    SetReg(UC_ARM_REG_FAULTMASK, 0);
    SetReg(UC_ARM_REG_CONTROL, 0);
    SetReg(UC_ARM_REG_XPSR, 0x01000000U);
    SetReg(UC_ARM_REG_LR, 0xFFFFFFFFU);
    g.pending.fill(false);
    g.active.fill(false);
    g.enabled.fill(false);
    g.level.fill(false);
    g.priority.fill(0);
    g.vtor = 0;
    g.prigroup = 0;
    g.ccr = 0x200;
    g.cpacr = 0;
    g.shcsr = g.cfsr = g.hfsr = g.bfar = g.scr = 0;
    g.fpccr = 0xC0000000U;
    g.demcr = 0;
    g.sleeping = false;
    g.halted = g.halt_said = false;
    g.hz = mcu::HSI_HZ;
    Rebase();
    for (Block *b : Blocks()) {
        b->reset(power_on);
    }
    // The chip boots from flash, which it maps at 0: the stack and the reset vector from there.
    uint32_t vectors[2] = {};
    uc_mem_read(g.uc, FLASH_BASE, vectors, sizeof vectors);
    SetReg(UC_ARM_REG_SP, vectors[0]);
    SetReg(UC_ARM_REG_MSP, vectors[0]);
    SetReg(UC_ARM_REG_PC, vectors[1] & ~1U);
    g.vtor = 0; // VTOR reads 0; address 0 aliases the flash
}

void DoReset(ResetCause cause) {
    ++g.resets;
    ResetCpu(cause == ResetCause::POWER_ON);
    rcc_note_reset(cause);
    g.hang_at = NEVER; // a hang does not outlive the reset it causes
    g.sig_valid = false;
}

void FireDue() {
    const uint64_t t = now();
    for (bool again = true; again;) {
        again = false;
        for (Block *b : Blocks()) {
            const uint64_t e = b->next_event();
            if (e <= t) {
                b->on_event(e);
                again = true;
                g.sig_valid = false;
            }
        }
        if (!g.events.empty() && g.events.top().t <= t) {
            Core::Event ev = g.events.top();
            g.events.pop();
            ev.fn(ev.t < t ? t : ev.t);
            again = true;
            g.sig_valid = false;
        }
    }
}

uint64_t NextEvent() {
    uint64_t next = g.events.empty() ? NEVER : g.events.top().t;
    for (Block *b : Blocks()) {
        next = std::min(next, b->next_event());
    }
    return next;
}

void FindFloatingPointSites(const std::vector<uint8_t> &code, uint32_t base) {
    for (size_t i = 0; i + 4 <= code.size();) {
        const uint16_t hw1 = static_cast<uint16_t>(code[i] | (code[i + 1] << 8));
        if (!Wide(hw1)) {
            i += 2;
            continue;
        }
        const uint16_t hw2 = static_cast<uint16_t>(code[i + 2] | (code[i + 3] << 8));
        if ((hw1 & 0xEC00U) == 0xEC00U && (hw2 & 0x0E00U) == 0x0A00U) {
            g.fp_sites.push_back(base + static_cast<uint32_t>(i));
        }
        i += 4;
    }
}

void Halt() {
    g.halted = true;
    if (!g.halt_said) {
        g.halt_said = true;
        if (g.on_halt) {
            g.on_halt();
        }
    }
}

} // namespace

Block::Block(const char *n, uint32_t b, uint32_t s, Gate gt) : name(n), base(b), size(s), gate(gt) {
    Blocks().push_back(this);
}

uint64_t now() {
    const unsigned __int128 d =
        static_cast<unsigned __int128>(g.cycles - g.cycles_base) * 1000000000U;
    return g.ns_base + static_cast<uint64_t>(d / g.hz);
}

void stall(uint64_t ns) {
    JumpTo(now() + ns);
    g.sig_valid = false;
    if (!g.in_call) {
        g.stop_cycles = 0; // the run loop sees the events that fell due meanwhile
    }
}

void clocks_changed() {
    Rebase();
    g.hz = std::max<uint32_t>(hclk(), 1);
    SysTickArm(now());
}

void irq_set(int irq, bool level) {
    const size_t n = static_cast<size_t>(EXC_IRQ0) + static_cast<size_t>(irq);
    if (level && !g.level[n]) {
        g.pending[n] = true;
        g.pending_held = true;
    }
    g.level[n] = level;
    if (level) {
        g.stop_cycles = std::min(g.stop_cycles, g.cycles); // take it at the next block
    }
}

void exception_pend(int number) {
    g.pending[static_cast<size_t>(number)] = true;
    g.pending_held = true;
    g.stop_cycles = std::min(g.stop_cycles, g.cycles);
}

void reset_request(ResetCause cause) {
    g.reset_pending = cause;
    g.stop_cycles = 0;
    if (g.uc != nullptr) {
        uc_emu_stop(g.uc);
    }
}

void finding(const std::string &text) {
    if (g.said.insert(text).second) {
        g.findings.push_back(text);
        std::fprintf(stderr, "emu: %s (t=%llu us)\n", text.c_str(),
                     static_cast<unsigned long long>(now() / 1000));
    }
}

std::string hex(uint32_t value) {
    char s[16];
    std::snprintf(s, sizeof s, "0x%08X", value);
    return s;
}

} // namespace emu::detail

namespace emu {

using namespace detail;

bool load(const std::string &elf_path, std::string &error) {
    std::ifstream f(elf_path, std::ios::binary);
    if (!f) {
        error = "cannot open " + elf_path;
        return false;
    }
    const std::vector<uint8_t> elf((std::istreambuf_iterator<char>(f)), {});
    Elf32_Ehdr eh{};
    if (elf.size() < sizeof eh) {
        error = elf_path + " is not an ELF file";
        return false;
    }
    std::memcpy(&eh, elf.data(), sizeof eh);
    if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS32 ||
        eh.e_machine != EM_ARM ||
        eh.e_phoff + size_t{eh.e_phnum} * sizeof(Elf32_Phdr) > elf.size() ||
        eh.e_shoff + size_t{eh.e_shnum} * sizeof(Elf32_Shdr) > elf.size()) {
        error = elf_path + " is not a 32-bit ARM ELF image";
        return false;
    }
    g.flash_image.assign(FLASH_BYTES, 0xFF);
    g.fp_sites.clear();
    for (int i = 0; i < eh.e_phnum; ++i) {
        Elf32_Phdr ph{};
        std::memcpy(&ph, elf.data() + eh.e_phoff + size_t(i) * sizeof ph, sizeof ph);
        if (ph.p_type != PT_LOAD || ph.p_filesz == 0) {
            continue;
        }
        if (ph.p_paddr < FLASH_BASE ||
            ph.p_paddr - FLASH_BASE + ph.p_filesz > SETTINGS_ADDR - FLASH_BASE ||
            ph.p_offset + size_t{ph.p_filesz} > elf.size()) {
            error =
                elf_path + ": a segment lies outside the image's flash (" + hex(ph.p_paddr) + ")";
            return false;
        }
        std::memcpy(g.flash_image.data() + (ph.p_paddr - FLASH_BASE), elf.data() + ph.p_offset,
                    ph.p_filesz);
        if (ph.p_flags & PF_X) {
            FindFloatingPointSites(
                {elf.begin() + ph.p_offset, elf.begin() + ph.p_offset + ph.p_filesz}, ph.p_paddr);
        }
    }
    g.symbols.clear();
    for (int i = 0; i < eh.e_shnum; ++i) {
        Elf32_Shdr sh{};
        std::memcpy(&sh, elf.data() + eh.e_shoff + size_t(i) * sizeof sh, sizeof sh);
        if (sh.sh_type != SHT_SYMTAB || sh.sh_link >= eh.e_shnum) {
            continue;
        }
        Elf32_Shdr strtab{};
        std::memcpy(&strtab, elf.data() + eh.e_shoff + size_t(sh.sh_link) * sizeof strtab,
                    sizeof strtab);
        for (uint32_t off = 0; off + sizeof(Elf32_Sym) <= sh.sh_size; off += sizeof(Elf32_Sym)) {
            Elf32_Sym sym{};
            std::memcpy(&sym, elf.data() + sh.sh_offset + off, sizeof sym);
            if (sym.st_name != 0 && strtab.sh_offset + sym.st_name < elf.size()) {
                const char *name =
                    reinterpret_cast<const char *>(elf.data() + strtab.sh_offset + sym.st_name);
                g.symbols.emplace(
                    std::string(name, strnlen(name, elf.size() - strtab.sh_offset - sym.st_name)),
                    sym.st_value);
            }
        }
    }

    if (g.uc != nullptr) {
        uc_close(g.uc);
    }
    if (uc_open(UC_ARCH_ARM, static_cast<uc_mode>(UC_MODE_THUMB | UC_MODE_MCLASS), &g.uc) !=
            UC_ERR_OK ||
        uc_ctl_set_cpu_model(g.uc, UC_CPU_ARM_CORTEX_M4) != UC_ERR_OK) {
        error = "Unicorn cannot make a Cortex-M4";
        return false;
    }
    // Flash: the image's sectors 0-1 executable and read-only, sectors 2-3 through the flash
    // interface, the rest of the 512 KiB erased.
    uc_mem_map(g.uc, FLASH_BASE, SETTINGS_ADDR - FLASH_BASE, UC_PROT_READ | UC_PROT_EXEC);
    uc_mem_map(g.uc, SETTINGS_ADDR + SETTINGS_BYTES,
               FLASH_BASE + FLASH_BYTES - SETTINGS_ADDR - SETTINGS_BYTES,
               UC_PROT_READ | UC_PROT_EXEC);
    uc_mem_write(g.uc, FLASH_BASE, g.flash_image.data(), SETTINGS_ADDR - FLASH_BASE);
    std::vector<uint8_t> erased(FLASH_BASE + FLASH_BYTES - SETTINGS_ADDR - SETTINGS_BYTES, 0xFF);
    uc_mem_write(g.uc, SETTINGS_ADDR + SETTINGS_BYTES, erased.data(), erased.size());
    // Booting from flash, the chip also shows the image's sectors at address 0.
    uc_mem_map(g.uc, 0, SETTINGS_ADDR - FLASH_BASE, UC_PROT_READ | UC_PROT_EXEC);
    uc_mem_write(g.uc, 0, g.flash_image.data(), SETTINGS_ADDR - FLASH_BASE);
    uc_mem_map(g.uc, SRAM_BASE, SRAM_BYTES, UC_PROT_ALL);
    for (const Window &w : WINDOWS) {
        void *base = reinterpret_cast<void *>(static_cast<uintptr_t>(w.base));
        uc_mmio_map(g.uc, w.base, w.size, MmioRead, base, MmioWrite, base);
    }
    uc_hook h = 0;
    uc_hook_add(g.uc, &h, UC_HOOK_BLOCK, reinterpret_cast<void *>(OnBlock), nullptr, 1, 0);
    uc_hook_add(g.uc, &h, UC_HOOK_INTR, reinterpret_cast<void *>(OnInterrupt), nullptr, 1, 0);
    uc_hook_add(g.uc, &h, UC_HOOK_MEM_INVALID, reinterpret_cast<void *>(OnBadAccess), nullptr, 1,
                0);
    if (const uint32_t pass = symbol("WSPR_App_Process")) {
        uc_hook_add(g.uc, &h, UC_HOOK_CODE, reinterpret_cast<void *>(OnPass), nullptr, pass & ~1U,
                    pass & ~1U);
    }
    g.ram_lo = symbol("_sdata");
    g.ram_hi = symbol("_ebss");
    if (const char *range = std::getenv("EMU_TRACE_PC")) { // "LO-HI" in hex: each instruction
        const uint32_t lo = static_cast<uint32_t>(std::strtoul(range, nullptr, 16));
        const char *dash = std::strchr(range, '-');
        const uint32_t hi = dash ? static_cast<uint32_t>(std::strtoul(dash + 1, nullptr, 16)) : lo;
        uc_hook_add(g.uc, &h, UC_HOOK_CODE, reinterpret_cast<void *>(OnTracePc), nullptr, lo, hi);
    }
    for (uint32_t site : g.fp_sites) {
        uc_hook_add(g.uc, &h, UC_HOOK_CODE, reinterpret_cast<void *>(OnFloatingPoint), nullptr,
                    site, site);
    }
    return true;
}

uint32_t symbol(const char *name) {
    const auto it = g.symbols.find(name);
    return it == g.symbols.end() ? 0 : it->second;
}

void reset() {
    g.events = {};
    g.seq = 0;
    g.cycles = g.cycles_base = 0;
    g.ns_base = 0;
    g.instructions = g.exceptions = g.resets = 0;
    g.findings.clear();
    g.said.clear();
    g.on_halt = nullptr;
    g.hang_at = NEVER;
    g.skips = 0;
    g.sig_valid = false;
    g.reset_pending.reset();
    usart_world_reset();
    i2c_world_reset();
    std::memset(settings_memory(), 0xFF, SETTINGS_BYTES);
    DoReset(ResetCause::POWER_ON);
    g.resets = 0;
}

uint64_t now_ns() {
    return now();
}
dev::Clock &clock() {
    return g_clock;
}
void schedule(uint64_t t_ns, std::function<void(uint64_t)> fn) {
    g.events.push({t_ns, g.seq++, std::move(fn)});
    g.stop_cycles = std::min(g.stop_cycles, CyclesAt(t_ns));
}

void run(uint64_t until_ns) {
    g.until = until_ns;
    while (now() < until_ns) {
        if (g.reset_pending) {
            const ResetCause cause = *g.reset_pending;
            g.reset_pending.reset();
            DoReset(cause);
        }
        FireDue();
        if (g.reset_pending) {
            continue;
        }
        const bool thread = (Reg(UC_ARM_REG_XPSR) & 0x1FFU) == 0;
        const bool hung = thread && now() >= g.hang_at;
        const uint64_t next = std::min(NextEvent(), until_ns);
        if (g.sleeping) {
            // WFI ends when an interrupt that could preempt is pending, PRIMASK or not; with
            // PRIMASK set it is not taken, and the code after WFI runs (a masked wait loop then
            // comes back to WFI: the time up to the next event is skipped rather than spun).
            if (PendingOver(ExecutionPriority(false)) == 0) {
                JumpTo(next);
                continue;
            }
            if (Reg(UC_ARM_REG_PRIMASK) & 1U) {
                JumpTo(std::min(next, now() + NS_PER_MS));
                FireDue();
            }
            g.sleeping = false;
        }
        if (!TakePending() && hung) {
            JumpTo(next);
            continue;
        }
        g.stop = Stop::NONE;
        g.stop_cycles = CyclesAt(std::min(NextEvent(), until_ns));
        const uint32_t pc = Reg(UC_ARM_REG_PC);
        const uc_err err = uc_emu_start(g.uc, pc | 1U, UNTIL_NEVER, 0, 0);
        switch (g.stop) {
        case Stop::EXIT:
            Return(g.exc_return);
            break;
        case Stop::SYNC_FAULT:
            if (g.sync_exception == EXC_SVCALL) {
                Enter(EXC_SVCALL, Reg(UC_ARM_REG_PC));
            } else {
                g.hfsr |= 1U << 30; // forced: the configurable faults are not enabled
                if (g.active[EXC_HARDFAULT] || g.active[EXC_NMI]) {
                    finding("fault inside the fault handler: the CPU locks up");
                    reset_request(ResetCause::WATCHDOG);
                } else {
                    Enter(EXC_HARDFAULT, Reg(UC_ARM_REG_PC));
                }
            }
            break;
        case Stop::FINDING:
            return;
        case Stop::BUDGET:
            SetReg(UC_ARM_REG_PC, g.stop_pc);
            break;
        case Stop::NONE:
            if (err != UC_ERR_OK) {
                finding(std::string("CPU stopped: ") + uc_strerror(err) + " at " +
                        hex(Reg(UC_ARM_REG_PC)));
                return;
            }
            {
                const uint16_t before = CodeHalfword(Reg(UC_ARM_REG_PC) - 2);
                if (before == 0xBF30 || before == 0xBF20) { // WFI, WFE
                    g.sleeping = true;
                    if (Reg(UC_ARM_REG_PRIMASK) & 1U) {
                        Halt();
                    }
                }
            }
            break;
        default:
            break;
        }
    }
}

void reset_mcu(ResetCause cause) {
    reset_request(cause);
    g.reset_pending.reset();
    DoReset(cause);
}
uint64_t resets() {
    return g.resets;
}
bool halted() {
    return g.halted;
}
void on_halt(std::function<void()> fn) {
    g.on_halt = std::move(fn);
}
void hang_thread_at(uint64_t t_ns) {
    g.hang_at = t_ns;
}
void hard_fault() {
    exception_pend(EXC_HARDFAULT);
}

uint32_t call(uint32_t function, uint32_t a0, uint32_t a1, uint32_t a2, uint32_t a3) {
    static const int saved_regs[] = {
        UC_ARM_REG_R0,  UC_ARM_REG_R1,   UC_ARM_REG_R2,      UC_ARM_REG_R3,     UC_ARM_REG_R4,
        UC_ARM_REG_R5,  UC_ARM_REG_R6,   UC_ARM_REG_R7,      UC_ARM_REG_R8,     UC_ARM_REG_R9,
        UC_ARM_REG_R10, UC_ARM_REG_R11,  UC_ARM_REG_R12,     UC_ARM_REG_SP,     UC_ARM_REG_LR,
        UC_ARM_REG_PC,  UC_ARM_REG_XPSR, UC_ARM_REG_PRIMASK, UC_ARM_REG_CONTROL};
    uint32_t saved[std::size(saved_regs)];
    for (size_t i = 0; i < std::size(saved_regs); ++i) {
        saved[i] = Reg(saved_regs[i]);
    }
    const Stop stop = g.stop;
    g.in_call = true;
    SetReg(UC_ARM_REG_R0, a0);
    SetReg(UC_ARM_REG_R1, a1);
    SetReg(UC_ARM_REG_R2, a2);
    SetReg(UC_ARM_REG_R3, a3);
    SetReg(UC_ARM_REG_SP, (saved[13] - 1024U) & ~7U); // below the scratch area
    SetReg(UC_ARM_REG_LR, CALL_RETURN | 1U);
    uc_emu_start(g.uc, function | 1U, CALL_RETURN, 0, 0);
    const uint32_t r0 = Reg(UC_ARM_REG_R0);
    g.in_call = false;
    g.stop = stop;
    for (size_t i = 0; i < std::size(saved_regs); ++i) {
        SetReg(saved_regs[i], saved[i]);
    }
    return r0;
}

uint32_t scratch(size_t bytes) {
    return (Reg(UC_ARM_REG_SP) - 256U - static_cast<uint32_t>(std::min<size_t>(bytes, 512))) & ~7U;
}
void read_memory(uint32_t address, void *out, size_t n) {
    uc_mem_read(g.uc, address, out, n);
}
void write_memory(uint32_t address, const void *in, size_t n) {
    uc_mem_write(g.uc, address, in, n);
}

const std::vector<std::string> &findings() {
    return g.findings;
}
uint64_t instructions() {
    return g.instructions;
}
uint64_t exceptions_taken() {
    return g.exceptions;
}
uint32_t hclk_hz() {
    return g.hz;
}

} // namespace emu
