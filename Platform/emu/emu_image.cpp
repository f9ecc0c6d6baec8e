// The board image the emulated chip runs: its ELF file's loadable segments as flash holds them,
// the addresses of its floating-point instructions (the FPU must be on before any of them runs)
// and its symbols, by which tools find its functions and variables.
#include <elf.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "emu_internal.h"

namespace emu::detail {
namespace {

constexpr uint64_t FLASH_END = static_cast<uint64_t>(FLASH_BASE) + FLASH_BYTES;

Image g_image;
std::map<std::string, uint32_t> g_symbols;

// VFP and Advanced SIMD instructions: coprocessor space with coprocessor 10 or 11.
void FindFloatingPointSites(const std::vector<uint8_t> &code, uint32_t base,
                            std::vector<uint32_t> &sites) {
    for (size_t i = 0; i + 4 <= code.size();) {
        const uint16_t hw1 = static_cast<uint16_t>(code[i] | (code[i + 1] << 8));
        if (!thumb_wide(hw1)) {
            i += 2;
            continue;
        }
        const uint16_t hw2 = static_cast<uint16_t>(code[i + 2] | (code[i + 3] << 8));
        if ((hw1 & 0xEC00U) == 0xEC00U && (hw2 & 0x0E00U) == 0x0A00U) {
            sites.push_back(base + static_cast<uint32_t>(i));
        }
        i += 4;
    }
}

// Sectors 0-1 and from sector 4 on; the settings sectors between are never part of an image.
bool InImageFlash(uint32_t address, uint32_t bytes) {
    const uint64_t end = uint64_t{address} + bytes;
    if (address < FLASH_BASE || end > FLASH_END) {
        return false;
    }
    return end <= SETTINGS_ADDR || address >= SETTINGS_ADDR + SETTINGS_BYTES;
}

} // namespace
} // namespace emu::detail

namespace emu {

using namespace detail;

bool load(const std::string &elf_path, std::string &error) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(elf_path, ec)) {
        error = elf_path + " is not a regular file";
        return false;
    }
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
    g_image.flash.assign(FLASH_BYTES, 0xFF);
    g_image.fp_sites.clear();
    int loaded = 0;
    for (int i = 0; i < eh.e_phnum; ++i) {
        Elf32_Phdr ph{};
        std::memcpy(&ph, elf.data() + eh.e_phoff + size_t(i) * sizeof ph, sizeof ph);
        if (ph.p_type != PT_LOAD || ph.p_filesz == 0) {
            continue;
        }
        if (!InImageFlash(ph.p_paddr, ph.p_filesz) ||
            ph.p_offset + size_t{ph.p_filesz} > elf.size()) {
            error =
                elf_path + ": a segment lies outside the image's flash (" + hex(ph.p_paddr) + ")";
            return false;
        }
        std::memcpy(g_image.flash.data() + (ph.p_paddr - FLASH_BASE), elf.data() + ph.p_offset,
                    ph.p_filesz);
        ++loaded;
        if (ph.p_flags & PF_X) {
            FindFloatingPointSites(
                {elf.begin() + ph.p_offset, elf.begin() + ph.p_offset + ph.p_filesz}, ph.p_paddr,
                g_image.fp_sites);
        }
    }
    // The chip starts from the vector table at the start of flash: its stack in SRAM and a Thumb
    // reset handler in flash. Without them the CPU would fault for ever at time 0.
    uint32_t vectors[2] = {};
    std::memcpy(vectors, g_image.flash.data(), sizeof vectors);
    if (loaded == 0) {
        error = elf_path + " has no loadable segment";
        return false;
    }
    if (vectors[0] <= SRAM_BASE || vectors[0] > SRAM_BASE + SRAM_BYTES || (vectors[1] & 1U) == 0 ||
        vectors[1] < FLASH_BASE || vectors[1] >= FLASH_BASE + FLASH_BYTES) {
        error = elf_path + " has no vector table at " + hex(FLASH_BASE) +
                " (an initial stack in SRAM and a reset handler in flash)";
        return false;
    }
    g_symbols.clear();
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
                g_symbols.emplace(
                    std::string(name, strnlen(name, elf.size() - strtab.sh_offset - sym.st_name)),
                    sym.st_value);
            }
        }
    }
    return cpu_open(g_image, error);
}

uint32_t symbol(const char *name) {
    const auto it = g_symbols.find(name);
    return it == g_symbols.end() ? 0 : it->second;
}

} // namespace emu
