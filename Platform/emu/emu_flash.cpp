// The flash interface of the emulated STM32F411 (RM0383 section 3): ACR (wait states, checked
// against the clock, and the caches), the key sequence, word programming of the settings sectors
// (programming only clears bits) and their erase, the error flags. The CPU runs from flash, so it
// stalls while the flash is busy: the operation's time passes at once.
//
// The data cache (8 lines of 128 bits) holds what the CPU read of the settings sectors while DCEN
// is set, line by line, oldest line replaced first. Programming and erasing change the flash, not
// the lines: a line read before stays as it was read until the cache is reset (DCRST, written
// with DCEN clear). The instruction cache is not modelled (no code runs from these sectors).
#include <algorithm>
#include <cstring>

#include "emu_internal.h"

namespace emu::detail {
namespace {

class FlashInterface : public Peripheral {
  public:
    FlashInterface() : Peripheral("FLASH", 0x40023C00, 0x400, {0, 0}) {
        std::memset(memory, 0xFF, sizeof memory);
    }
    uint8_t *Memory() { return memory; }
    void mcu_reset() override {
        acr = 0;
        cr = LOCK;
        sr = 0;
        key_step = 0;
        InvalidateCache();
    }
    // The settings survive every reset; a new world starts with both sectors erased.
    void world_reset() override {
        std::memset(memory, 0xFF, sizeof memory);
        InvalidateCache();
    }
    void InvalidateCache() {
        for (CacheLine &l : lines) {
            l.valid = false;
        }
        next_line = 0;
    }
    uint32_t read(uint32_t off, unsigned) override {
        switch (off) {
        case 0x00:
            return acr;
        case 0x0C:
            return sr;
        case 0x10:
            return cr;
        case 0x14:
            return 0x0FFFAAEDU; // OPTCR at its factory value
        default:
            finding("read of FLASH register " + hex(base() + off) + ": not modelled");
            return 0;
        }
    }
    void write(uint32_t off, unsigned, uint32_t v) override {
        switch (off) {
        case 0x00: {
            const uint32_t ws = v & 0xFU;
            const uint32_t f = hclk_hz();
            if (ws < wait_states_for(f)) {
                finding("flash wait states lowered to " + std::to_string(ws) + " at HCLK " +
                        std::to_string(f) + " Hz");
            }
            if (v & DCRST) {
                if (v & DCEN) {
                    finding("flash data cache reset while it is enabled: ignored");
                } else {
                    InvalidateCache();
                }
            }
            acr = v & 0x1F0FU & ~(ICRST | DCRST); // the cache resets are pulses
            return;
        }
        case 0x04:
            Key(v);
            return;
        case 0x08:
            return; // option keys: option bytes are not modelled
        case 0x0C:
            sr &= ~(v & 0xF3U);
            return;
        case 0x10:
            WriteCr(v);
            return;
        default:
            finding("write of FLASH register " + hex(base() + off) + ": not modelled");
            return;
        }
    }
    uint32_t Latency() const { return acr & 0xFU; }

    // The settings sectors as the bus sees them: through the data cache while it is on.
    uint32_t ReadMemory(uint32_t off, unsigned size) {
        uint32_t v = 0;
        for (unsigned i = 0; i < size; ++i) {
            const uint32_t at = off + i;
            const uint8_t byte = (acr & DCEN) ? CachedLine(at)[at % LINE_BYTES] : memory[at];
            v |= static_cast<uint32_t>(byte) << (8 * i);
        }
        return v;
    }
    void Program(uint32_t off, unsigned size, uint32_t v) {
        if (cr & LOCK || !(cr & PG)) {
            sr |= PGSERR;
            finding("write to flash at " + hex(SETTINGS_ADDR + off) +
                    " without programming enabled");
            return;
        }
        const unsigned want = 1U << ((cr >> 8) & 3U);
        if (size != want) {
            sr |= PGPERR;
            return;
        }
        if (off % size != 0) {
            sr |= PGAERR;
            return;
        }
        for (unsigned i = 0; i < size; ++i) {
            memory[off + i] &= static_cast<uint8_t>(v >> (8 * i)); // programming only clears bits
        }
        stall(FLASH_PROGRAM_NS);
        sr |= EOP_IF_ENABLED(cr);
    }

  private:
    static constexpr uint32_t PG = 1U << 0, SER = 1U << 1, MER = 1U << 2, STRT = 1U << 16,
                              LOCK = 1U << 31;
    static constexpr uint32_t PGAERR = 1U << 5, PGPERR = 1U << 6, PGSERR = 1U << 7,
                              WRPERR = 1U << 4;
    static constexpr uint32_t EOP_IF_ENABLED(uint32_t c) { return (c & (1U << 24)) ? 1U : 0U; }
    static constexpr uint32_t DCEN = 1U << 10, ICRST = 1U << 11, DCRST = 1U << 12;
    static constexpr uint32_t LINE_BYTES = 16;
    static constexpr int CACHE_LINES = 8;

    struct CacheLine {
        bool valid = false;
        uint32_t off = 0;
        uint8_t bytes[LINE_BYTES]{};
    };

    // The line that holds offset `at`, filled from the flash when no line holds it yet.
    const uint8_t *CachedLine(uint32_t at) {
        const uint32_t start = at - at % LINE_BYTES;
        for (const CacheLine &l : lines) {
            if (l.valid && l.off == start) {
                return l.bytes;
            }
        }
        CacheLine &l = lines[next_line];
        next_line = (next_line + 1) % CACHE_LINES;
        l.valid = true;
        l.off = start;
        std::memcpy(l.bytes, memory + start, LINE_BYTES);
        return l.bytes;
    }

    void Key(uint32_t v) {
        if (!(cr & LOCK)) {
            return;
        }
        if (key_step == 0 && v == 0x45670123U) {
            key_step = 1;
        } else if (key_step == 1 && v == 0xCDEF89ABU) {
            cr &= ~LOCK;
            key_step = 0;
        } else {
            finding("wrong flash key sequence: the interface stays locked until reset");
            key_step = 2;
        }
    }
    void WriteCr(uint32_t v) {
        if (cr & LOCK) {
            if (!(v & LOCK)) {
                finding("FLASH_CR written while locked");
            }
            return;
        }
        cr = v & 0x830103FFU;
        if (!(v & STRT)) {
            return;
        }
        cr &= ~STRT;
        if ((v & (SER | MER)) == 0 || (v & PG)) {
            sr |= PGSERR;
            return;
        }
        const uint32_t sector = (v >> 3) & 0xFU;
        if ((v & MER) || (sector != 2 && sector != 3)) {
            sr |= WRPERR;
            finding("erase of flash sector " + std::to_string(sector) + " (the image)");
            return;
        }
        std::memset(memory + size_t{sector - 2} * 16384, 0xFF, 16384);
        stall(FLASH_ERASE_NS);
        sr |= EOP_IF_ENABLED(cr);
    }

    uint8_t memory[SETTINGS_BYTES]{};
    CacheLine lines[CACHE_LINES];
    int next_line = 0;
    uint32_t acr = 0, cr = LOCK, sr = 0;
    int key_step = 0;
};
FlashInterface g_flash;

// Sectors 2 and 3 on the bus: reads of their contents, writes as programming.
class SettingsFlash : public Peripheral {
  public:
    SettingsFlash() : Peripheral("flash", SETTINGS_ADDR, SETTINGS_BYTES, {0, 0}) {}
    void mcu_reset() override {}
    uint32_t read(uint32_t off, unsigned size) override { return g_flash.ReadMemory(off, size); }
    void write(uint32_t off, unsigned size, uint32_t v) override { g_flash.Program(off, size, v); }
};
SettingsFlash g_settings;

} // namespace

uint32_t flash_latency() {
    return g_flash.Latency();
}

uint32_t wait_states_for(uint32_t f) {
    return f <= 30000000 ? 0 : f <= 64000000 ? 1 : f <= 90000000 ? 2 : 3;
}

} // namespace emu::detail

namespace emu {

std::vector<uint8_t> flash_contents() {
    const uint8_t *m = detail::g_flash.Memory();
    return {m, m + SETTINGS_BYTES};
}
void flash_load(const std::vector<uint8_t> &bytes) {
    std::memcpy(detail::g_flash.Memory(), bytes.data(), std::min(bytes.size(), SETTINGS_BYTES));
    detail::g_flash.InvalidateCache();
}

} // namespace emu
