// The firmware the virtual MCU runs: a shared object built from Core/ alone, loaded once per
// process. Its handlers and HAL callbacks are found by name, as the board's linker finds them; a
// reset puts its RAM (.data and .bss) back to the state it had at load, as the board's start-up
// code copies .data from flash and clears .bss.
#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "vmcu_internal.h"

namespace vmcu::detail {

uint64_t g_firmware_generation = 1;

namespace {

const FirmwareImage *g_image = nullptr;

struct Section {
    uint8_t *start = nullptr;
    size_t size = 0;
};

struct DataSymbol {
    std::string name;
    uintptr_t address;
    size_t size;
};

// Byte copies the sanitizers do not watch: the RAM of the image is rewritten as a whole, its
// redzones (poisoned by AddressSanitizer) included, as the start-up code rewrites it.
__attribute__((no_sanitize("address", "undefined"))) void RawCopy(uint8_t *to, const uint8_t *from,
                                                                  size_t n) {
    volatile uint8_t *d = to;
    for (size_t i = 0; i < n; ++i) {
        d[i] = from[i];
    }
}

__attribute__((no_sanitize("address", "undefined"))) void RawZero(uint8_t *to, size_t n) {
    volatile uint8_t *d = to;
    for (size_t i = 0; i < n; ++i) {
        d[i] = 0;
    }
}

class SharedObject : public FirmwareImage {
  public:
    ~SharedObject() override {
        // Not unloaded: the process may still hold pointers into it (handles, vectors).
    }

    static std::unique_ptr<FirmwareImage> Open(const std::string &path, std::string &error) {
        void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char *why = dlerror();
            error = why != nullptr ? why : "dlopen failed";
            return nullptr;
        }
        link_map *map = nullptr;
        if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) {
            error = "no link map for " + path;
            return nullptr;
        }
        auto image = std::unique_ptr<SharedObject>(new SharedObject(handle, map->l_addr));
        if (!image->ReadSections(path, error)) {
            return nullptr;
        }
        image->data_at_load_.resize(image->data_.size);
        RawCopy(image->data_at_load_.data(), image->data_.start, image->data_.size);
        return image;
    }

    void *Entry(const char *name) const override { return dlsym(handle_, name); }

    void *Variable(const char *name, size_t *size) const override {
        const DataSymbol *found = nullptr;
        const std::string mangled =
            "_ZN12_GLOBAL__N_1" + std::to_string(std::strlen(name)) + name + "E";
        for (const DataSymbol &s : symbols_) {
            if (s.name == name || s.name == mangled) {
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
        return reinterpret_cast<void *>(found->address);
    }

    void RestoreRam() const override {
        RawCopy(data_.start, data_at_load_.data(), data_.size);
        RawZero(bss_.start, bss_.size);
    }

  private:
    SharedObject(void *handle, uintptr_t bias) : handle_(handle), bias_(bias) {}

    // The .data and .bss sections and the data symbols, from the file's section headers.
    bool ReadSections(const std::string &path, std::string &error) {
        std::ifstream in(path, std::ios::binary);
        const std::vector<char> file((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
        if (file.size() < sizeof(ElfW(Ehdr))) {
            error = path + " is not an ELF file";
            return false;
        }
        const auto *eh = reinterpret_cast<const ElfW(Ehdr) *>(file.data());
        if (std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 || eh->e_shstrndx >= eh->e_shnum ||
            eh->e_shoff + static_cast<uint64_t>(eh->e_shnum) * sizeof(ElfW(Shdr)) > file.size()) {
            error = path + ": no section headers";
            return false;
        }
        const auto *sh = reinterpret_cast<const ElfW(Shdr) *>(file.data() + eh->e_shoff);
        const ElfW(Shdr) &names = sh[eh->e_shstrndx];
        for (int i = 0; i < eh->e_shnum; ++i) {
            if (names.sh_offset + sh[i].sh_name >= file.size()) {
                continue;
            }
            const char *name = file.data() + names.sh_offset + sh[i].sh_name;
            if (std::strcmp(name, ".data") == 0) {
                data_ = {reinterpret_cast<uint8_t *>(bias_ + sh[i].sh_addr), sh[i].sh_size};
            } else if (std::strcmp(name, ".bss") == 0) {
                bss_ = {reinterpret_cast<uint8_t *>(bias_ + sh[i].sh_addr), sh[i].sh_size};
            } else if (sh[i].sh_type == SHT_SYMTAB && sh[i].sh_link < eh->e_shnum) {
                ReadSymbols(file, sh[i], sh[sh[i].sh_link]);
            }
        }
        if (data_.start == nullptr && bss_.start == nullptr) {
            error = path + ": no .data or .bss";
            return false;
        }
        return true;
    }

    void ReadSymbols(const std::vector<char> &file, const ElfW(Shdr) & symtab,
                     const ElfW(Shdr) & strtab) {
        if (symtab.sh_offset + symtab.sh_size > file.size() ||
            strtab.sh_offset + strtab.sh_size > file.size()) {
            return;
        }
        const auto *sym = reinterpret_cast<const ElfW(Sym) *>(file.data() + symtab.sh_offset);
        const size_t count = symtab.sh_size / sizeof(ElfW(Sym));
        for (size_t k = 0; k < count; ++k) {
            if (ELF32_ST_TYPE(sym[k].st_info) != STT_OBJECT || sym[k].st_name >= strtab.sh_size ||
                sym[k].st_shndx == SHN_UNDEF) {
                continue;
            }
            symbols_.push_back({file.data() + strtab.sh_offset + sym[k].st_name,
                                bias_ + static_cast<uintptr_t>(sym[k].st_value),
                                static_cast<size_t>(sym[k].st_size)});
        }
    }

    void *handle_;
    uintptr_t bias_;
    Section data_, bss_;
    std::vector<uint8_t> data_at_load_;
    std::vector<DataSymbol> symbols_;
};

// The running program itself: its exported functions only.
class Program : public FirmwareImage {
  public:
    Program() : handle_(dlopen(nullptr, RTLD_NOW)) {}
    void *Entry(const char *name) const override {
        return handle_ == nullptr ? nullptr : dlsym(handle_, name);
    }
    void *Variable(const char *, size_t *) const override { return nullptr; }
    void RestoreRam() const override {}

  private:
    void *handle_;
};

} // namespace

void *lookup_hook(const char *name) {
    return g_image == nullptr ? nullptr : g_image->Entry(name);
}

} // namespace vmcu::detail

namespace vmcu {

std::unique_ptr<FirmwareImage> FirmwareImage::Load(const std::string &path, std::string &error) {
    return detail::SharedObject::Open(path, error);
}

std::unique_ptr<FirmwareImage> FirmwareImage::ThisProgram() {
    return std::make_unique<detail::Program>();
}

void attach_firmware(const FirmwareImage *image) {
    detail::g_image = image;
    ++detail::g_firmware_generation;
}

const FirmwareImage *firmware() {
    return detail::g_image;
}

} // namespace vmcu
