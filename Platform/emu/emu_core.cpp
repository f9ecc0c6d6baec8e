// The core of the emulated chip: the CPU (Unicorn) and its memory map, the registry of peripheral
// models and the dispatch of bus accesses to them, time from cycles, world events, resets and the
// run loop. The exception model is in emu_nvic.cpp, the image's loading in emu_image.cpp.
#include <unicorn/unicorn.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <queue>
#include <set>

#include "emu_internal.h"

namespace emu::detail {
namespace {

// An address in erased flash, never executed: calls into the image return to it.
constexpr uint32_t CALL_RETURN = FLASH_BASE + FLASH_BYTES - 16;
constexpr uint32_t UNTIL_NEVER = 0xFFFFFFFE;
// Unicorn's exception numbers (from its CPU model): exception return, and the synchronous ones.
constexpr uint32_t EXCP_UDEF = 1, EXCP_SWI = 2, EXCP_BKPT = 7, EXCP_EXCEPTION_EXIT = 8;

// The chip's bus windows; the peripheral models inside them decode their own registers. Every
// peripheral of the F411 but USB OTG (AHB2) lies in one.
struct Window {
    uint32_t base, size;
};
constexpr std::array<Window, 6> WINDOWS = {{
    {0x1FFF7000, 0x1000}, // system memory's last page: the unique ID
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
    const Image *image = nullptr;

    // Time: ns_base at cycles_base, at hz since.
    uint64_t ns_base = 0, cycles_base = 0, cycles = 0;
    uint32_t hz = mcu::HSI_HZ;
    uint64_t stop_cycles = UINT64_MAX;
    uint32_t stop_pc = 0;
    uint64_t until = 0;
    // The time a world event was scheduled for, while it runs (time itself is in whole cycles).
    uint64_t event_ns = NEVER;
    bool in_call = false;
    Stop stop = Stop::NONE;
    uint32_t exc_return = 0;
    int sync_exception = 0;
    uint64_t instructions = 0, resets = 0, skips = 0;

    // Idle passes of the main loop (see OnPass).
    uint32_t ram_lo = 0, ram_hi = 0;
    uint64_t trace = 0, last_trace = 0, last_sig = 0, last_exceptions = 0;
    bool sig_valid = false;
    bool trace_io = std::getenv("EMU_TRACE_IO") != nullptr; // every register access on stderr

    bool sleeping = false, halted = false, halt_said = false;
    std::optional<ResetCause> reset_pending;
    uint64_t hang_at = NEVER;

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

// ---- The registry -------------------------------------------------------------------------------

// The models in the order of their names (resets, events at the same time), and the same models
// for the bus, innermost window first. Built during static initialisation, so held by
// function-local objects; sorted again whenever a model joined.
std::vector<Peripheral *> &Registry() {
    static std::vector<Peripheral *> registry;
    return registry;
}
std::vector<Peripheral *> &BusOrder() {
    static std::vector<Peripheral *> bus;
    return bus;
}
bool &RegistryChanged() {
    static bool changed = false;
    return changed;
}

void SortRegistry() {
    if (!RegistryChanged()) {
        return;
    }
    RegistryChanged() = false;
    std::vector<Peripheral *> &r = Registry();
    std::sort(r.begin(), r.end(), [](const Peripheral *a, const Peripheral *b) {
        return std::strcmp(a->name(), b->name()) < 0;
    });
    BusOrder() = r;
    std::stable_sort(
        BusOrder().begin(), BusOrder().end(),
        [](const Peripheral *a, const Peripheral *b) { return a->size() < b->size(); });
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
    if (g.image == nullptr || address < FLASH_BASE || off + 1 >= g.image->flash.size()) {
        return 0;
    }
    return static_cast<uint16_t>(g.image->flash[off] | (g.image->flash[off + 1] << 8));
}

uint32_t InstructionsIn(uint32_t address, uint32_t size) {
    uint32_t n = 0;
    for (uint32_t a = address; a < address + size; ++n) {
        a += thumb_wide(CodeHalfword(a)) ? 4 : 2;
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
    if (g_exception_held && takeable_exception(true) != 0) {
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
    note_bus_fault(static_cast<uint32_t>(address));
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
    if (!fpu_enabled()) {
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
    const uint64_t exceptions = exceptions_taken();
    const bool same = g.sig_valid && sig == g.last_sig && g.trace == g.last_trace &&
                      exceptions == g.last_exceptions;
    g.sig_valid = true;
    g.last_sig = sig;
    g.last_trace = g.trace;
    g.trace = 0;
    g.last_exceptions = exceptions;
    if (same) {
        // Their time passes here; the next block stops for whatever falls due then.
        ++g.skips;
        JumpTo(std::min({NextEvent(), g.until, now() + NS_PER_MS}));
        g.stop_cycles = std::min(g.stop_cycles, CyclesAt(NextEvent()));
    }
}

// ---- Bus accesses to the models
// ------------------------------------------------------------------

// A register access may have given a model an earlier event: the CPU stops for it.
void EventsMoved() {
    if (!g.in_call) {
        g.stop_cycles = std::min(g.stop_cycles, CyclesAt(NextEvent()));
    }
}

Peripheral *PeripheralAt(uint32_t address) {
    for (Peripheral *p : BusOrder()) {
        if (address - p->base() < p->size()) {
            return p;
        }
    }
    return nullptr;
}

uint64_t MmioRead(uc_engine *, uint64_t offset, unsigned size, void *user) {
    const uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(user) + offset);
    Peripheral *p = PeripheralAt(address);
    if (p == nullptr) {
        finding("read of " + hex(address) + ": no peripheral modelled there");
        return 0;
    }
    if (!gate_on(p->gate())) {
        finding(std::string(p->name()) + " read while its clock is off (" + hex(address) + ")");
        return 0;
    }
    const uint32_t v = p->read(address - p->base(), size);
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
    Peripheral *p = PeripheralAt(address);
    if (p == nullptr) {
        finding("write of " + hex(address) + ": no peripheral modelled there");
        return;
    }
    if (!gate_on(p->gate())) {
        finding(std::string(p->name()) + " written while its clock is off (" + hex(address) + ")");
        return;
    }
    if (in_reset(p->gate())) {
        return; // held in reset: the write goes nowhere
    }
    g.trace = (g.trace ^ (uint64_t{address} << 32 | static_cast<uint32_t>(value)) ^ 1U) *
              0x100000001B3ULL;
    if (g.trace_io) {
        std::fprintf(stderr, "%10llu W %08x %08x\n", static_cast<unsigned long long>(now()),
                     address, static_cast<uint32_t>(value));
    }
    p->write(address - p->base(), size, static_cast<uint32_t>(value));
    EventsMoved();
}

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
    g.sleeping = false;
    g.halted = g.halt_said = false;
    // The cycles so far were at the old clock: time is taken at it before the HSI takes over.
    Rebase();
    g.hz = mcu::HSI_HZ;
    SortRegistry();
    for (Peripheral *p : Registry()) {
        if (power_on) {
            p->power_on_reset();
        } else {
            p->mcu_reset();
        }
    }
    // The chip boots from flash, which it maps at 0: the stack and the reset vector from there.
    uint32_t vectors[2] = {};
    uc_mem_read(g.uc, FLASH_BASE, vectors, sizeof vectors);
    SetReg(UC_ARM_REG_SP, vectors[0]);
    SetReg(UC_ARM_REG_MSP, vectors[0]);
    SetReg(UC_ARM_REG_PC, vectors[1] & ~1U);
}

void DoReset(ResetCause cause) {
    ++g.resets;
    ResetCpu(cause == ResetCause::POWER_ON);
    record_reset_cause(cause);
    g.hang_at = NEVER; // a hang does not outlive the reset it causes
    g.sig_valid = false;
}

// ---- Events -------------------------------------------------------------------------------------

void FireDue() {
    const uint64_t t = now();
    for (bool again = true; again;) {
        again = false;
        for (Peripheral *p : Registry()) {
            const uint64_t e = p->next_event_ns();
            if (e <= t) {
                p->on_event(e);
                again = true;
                g.sig_valid = false;
            }
        }
        if (!g.events.empty() && g.events.top().t <= t) {
            Core::Event ev = g.events.top();
            g.events.pop();
            g.event_ns = ev.t;
            ev.fn(ev.t < t ? t : ev.t);
            g.event_ns = NEVER;
            again = true;
            g.sig_valid = false;
        }
    }
}

uint64_t NextEvent() {
    uint64_t next = g.events.empty() ? NEVER : g.events.top().t;
    for (const Peripheral *p : Registry()) {
        next = std::min(next, p->next_event_ns());
    }
    return next;
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

Peripheral::Peripheral(const char *name, uint32_t base, uint32_t size, Gate gate)
    : name_(name), base_(base), size_(size), gate_(gate) {
    Registry().push_back(this);
    RegistryChanged() = true;
}

uint64_t world_event_ns() {
    return g.event_ns != NEVER ? g.event_ns : now();
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
    g.hz = std::max<uint32_t>(hclk_hz(), 1);
    for (Peripheral *p : Registry()) {
        p->on_clocks_changed();
    }
}

void reset_peripherals(Gate gate) {
    for (Peripheral *p : Registry()) {
        if (p->gate().enr_offset == gate.enr_offset && p->gate().bit == gate.bit) {
            p->mcu_reset();
        }
    }
    g.sig_valid = false;
    EventsMoved();
}

void stop_at_next_block() {
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

uint32_t cpu_reg(int uc_reg) {
    return Reg(uc_reg);
}
void cpu_set_reg(int uc_reg, uint32_t value) {
    SetReg(uc_reg, value);
}

bool cpu_open(const Image &image, std::string &error) {
    if (g.uc != nullptr) {
        uc_close(g.uc);
    }
    g.image = &image;
    if (uc_open(UC_ARCH_ARM, static_cast<uc_mode>(UC_MODE_THUMB | UC_MODE_MCLASS), &g.uc) !=
            UC_ERR_OK ||
        uc_ctl_set_cpu_model(g.uc, UC_CPU_ARM_CORTEX_M4) != UC_ERR_OK) {
        error = "Unicorn cannot make a Cortex-M4";
        return false;
    }
    // Flash: the image in sectors 0-1 and from sector 4 on (erased where it has nothing),
    // executable and read-only; sectors 2-3 through the flash interface.
    constexpr uint32_t HIGH = SETTINGS_ADDR + SETTINGS_BYTES;
    uc_mem_map(g.uc, FLASH_BASE, SETTINGS_ADDR - FLASH_BASE, UC_PROT_READ | UC_PROT_EXEC);
    uc_mem_map(g.uc, HIGH, FLASH_BASE + FLASH_BYTES - HIGH, UC_PROT_READ | UC_PROT_EXEC);
    uc_mem_write(g.uc, FLASH_BASE, image.flash.data(), SETTINGS_ADDR - FLASH_BASE);
    uc_mem_write(g.uc, HIGH, image.flash.data() + (HIGH - FLASH_BASE),
                 FLASH_BASE + FLASH_BYTES - HIGH);
    // Booting from flash, the chip also shows the image's sectors at address 0.
    uc_mem_map(g.uc, 0, SETTINGS_ADDR - FLASH_BASE, UC_PROT_READ | UC_PROT_EXEC);
    uc_mem_write(g.uc, 0, image.flash.data(), SETTINGS_ADDR - FLASH_BASE);
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
    for (uint32_t site : image.fp_sites) {
        uc_hook_add(g.uc, &h, UC_HOOK_CODE, reinterpret_cast<void *>(OnFloatingPoint), nullptr,
                    site, site);
    }
    return true;
}

} // namespace emu::detail

namespace emu {

using namespace detail;

void reset() {
    g.events = {};
    g.seq = 0;
    g.cycles = g.cycles_base = 0;
    g.ns_base = 0;
    g.instructions = g.resets = 0;
    g.findings.clear();
    g.said.clear();
    g.on_halt = nullptr;
    g.hang_at = NEVER;
    g.skips = 0;
    g.sig_valid = false;
    g.reset_pending.reset();
    SortRegistry();
    for (Peripheral *p : Registry()) {
        p->world_reset();
    }
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
    SortRegistry();
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
            if (takeable_exception(false) == 0) {
                JumpTo(next);
                continue;
            }
            if (Reg(UC_ARM_REG_PRIMASK) & 1U) {
                JumpTo(std::min(next, now() + NS_PER_MS));
                FireDue();
            }
            g.sleeping = false;
        }
        if (!take_pending(Reg(UC_ARM_REG_PC)) && hung) {
            JumpTo(next);
            continue;
        }
        g.stop = Stop::NONE;
        g.stop_cycles = CyclesAt(std::min(NextEvent(), until_ns));
        const uint32_t pc = Reg(UC_ARM_REG_PC);
        const uc_err err = uc_emu_start(g.uc, pc | 1U, UNTIL_NEVER, 0, 0);
        switch (g.stop) {
        case Stop::EXIT:
            exception_return(g.exc_return);
            break;
        case Stop::SYNC_FAULT:
            take_synchronous(g.sync_exception, Reg(UC_ARM_REG_PC));
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
uint32_t hclk_hz() {
    return g.hz;
}

} // namespace emu
