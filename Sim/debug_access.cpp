#include "debug_access.h"

#include <elf.h>
#include <link.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace sim {
namespace {

struct Symbol {
    std::string name;
    uint64_t value;
    uint64_t size;
};

uintptr_t MainProgramBias() {
    uintptr_t bias = 0;
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *data) {
            *static_cast<uintptr_t *>(data) = info->dlpi_addr;
            return 1; // the first entry is the program itself
        },
        &bias);
    return bias;
}

const std::vector<Symbol> &DataSymbols() {
    static std::vector<Symbol> symbols;
    static bool loaded = false;
    if (loaded) {
        return symbols;
    }
    loaded = true;
    std::ifstream in("/proc/self/exe", std::ios::binary);
    std::vector<char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (image.size() < sizeof(ElfW(Ehdr))) {
        return symbols;
    }
    const auto *eh = reinterpret_cast<const ElfW(Ehdr) *>(image.data());
    if (std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 ||
        eh->e_ident[EI_CLASS] != (sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32) ||
        eh->e_shoff + static_cast<uint64_t>(eh->e_shnum) * sizeof(ElfW(Shdr)) > image.size()) {
        return symbols;
    }
    const auto *sh = reinterpret_cast<const ElfW(Shdr) *>(image.data() + eh->e_shoff);
    for (int i = 0; i < eh->e_shnum; ++i) {
        if (sh[i].sh_type != SHT_SYMTAB || sh[i].sh_link >= eh->e_shnum) {
            continue;
        }
        const ElfW(Shdr) &strtab = sh[sh[i].sh_link];
        if (sh[i].sh_offset + sh[i].sh_size > image.size() ||
            strtab.sh_offset + strtab.sh_size > image.size()) {
            continue;
        }
        const auto *sym = reinterpret_cast<const ElfW(Sym) *>(image.data() + sh[i].sh_offset);
        size_t count = sh[i].sh_size / sizeof(ElfW(Sym));
        for (size_t k = 0; k < count; ++k) {
            if ((sym[k].st_info & 0xF) != STT_OBJECT || sym[k].st_name >= strtab.sh_size) {
                continue;
            }
            const char *name = image.data() + strtab.sh_offset + sym[k].st_name;
            symbols.push_back({name, sym[k].st_value, sym[k].st_size});
        }
    }
    return symbols;
}

// "g_ms" is "g_ms" at file scope and "_ZN12_GLOBAL__N_14g_msE" inside an unnamed namespace.
bool Matches(const std::string &symbol, const char *name) {
    if (symbol == name) {
        return true;
    }
    std::string mangled = "_ZN12_GLOBAL__N_1" + std::to_string(std::strlen(name)) + name + "E";
    return symbol == mangled;
}

} // namespace

void *FirmwareVariable(const char *name, size_t *size) {
    const Symbol *found = nullptr;
    for (const Symbol &s : DataSymbols()) {
        if (Matches(s.name, name)) {
            if (found != nullptr) {
                return nullptr; // two file-local variables of that name: which one is meant?
            }
            found = &s;
        }
    }
    if (found == nullptr) {
        return nullptr;
    }
    if (size != nullptr) {
        *size = found->size;
    }
    return reinterpret_cast<void *>(MainProgramBias() + found->value);
}

bool PokeFirmwareU32(const char *name, uint32_t value) {
    size_t size = 0;
    void *p = FirmwareVariable(name, &size);
    if (p == nullptr || size != sizeof value) {
        return false;
    }
    *static_cast<volatile uint32_t *>(p) = value;
    return true;
}

bool PeekFirmwareU32(const char *name, uint32_t &value) {
    size_t size = 0;
    void *p = FirmwareVariable(name, &size);
    if (p == nullptr || size != sizeof value) {
        return false;
    }
    value = *static_cast<volatile uint32_t *>(p);
    return true;
}

} // namespace sim
