// The flash of the virtual MCU, as far as the firmware reaches it: the two settings sectors (the
// board's counterpart is hal_flash.cpp). An erase sets a sector's bits to 1, programming a word
// only clears bits; both keep the CPU stalled for their time, with interrupts held pending as the
// chip holds them while it cannot fetch its vectors. The controller is locked after every reset.
// Power cuts on demand leave a half-done operation behind and power the board up again.
#include <cstring>

#include "vmcu_internal.h"

namespace vmcu::detail {
namespace {

class Flash : public Peripheral {
  public:
    Flash() : Peripheral("flash") { std::memset(memory, 0xFF, sizeof memory); }
    void mcu_reset() override {
        locked = true;
        error = HAL_FLASH_ERROR_NONE;
    }
    void world_reset() override {
        mcu_reset();
        std::memset(memory, 0xFF, sizeof memory);
        record = FlashRecord{};
        cut_at = 0;
        refuse = false;
    }

    uint8_t memory[FLASH_SETTINGS_BYTES]{};
    bool locked = true;
    bool refuse = false;
    uint32_t error = HAL_FLASH_ERROR_NONE;
    FlashRecord record{};
    uint64_t cut_at = 0;    // operation number (record.operations) at which the power fails
    uint64_t cut_state = 0; // the half-done bits of a cut follow the seed of power_cut_at
};

Flash g_flash;

// A repeatable stream (splitmix64), so a cut's undefined bits are the same on every run.
uint64_t CutRandom() {
    uint64_t z = (g_flash.cut_state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30U)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27U)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31U);
}

bool InSettings(uint32_t address, uint32_t bytes) {
    return address >= FLASH_SECTOR_2_ADDR &&
           address - FLASH_SECTOR_2_ADDR + bytes <= FLASH_SETTINGS_BYTES;
}

// The CPU waits for the flash: time passes, interrupts that fall due stay pending.
void Stall(uint64_t ns) {
    const bool masked = g_primask;
    g_primask = true;
    advance_to(now() + ns);
    g_primask = masked;
    deliver();
}

// Counts an operation; false (with the error set) when it is refused.
bool Start() {
    ++g_flash.record.operations;
    g_flash.error = HAL_FLASH_ERROR_NONE;
    if (g_flash.locked || g_flash.refuse) {
        g_flash.error = HAL_FLASH_ERROR_WRP;
        ++g_flash.record.refused;
        return false;
    }
    return true;
}

// The power fails in the middle of this operation: part of its time passes, then the board
// powers up again (the firmware's call stack is abandoned; outside the running program the reset
// is done at once and the operation reports an error).
bool CutNow() {
    return g_flash.cut_at != 0 && g_flash.record.operations == g_flash.cut_at;
}
void PowerCut(uint64_t op_ns) {
    g_flash.cut_at = 0;
    ++g_flash.record.power_cuts;
    advance_to(now() + CutRandom() % op_ns);
    reset_mcu(ResetCause::POWER_ON);
}

} // namespace
} // namespace vmcu::detail

namespace vmcu {

using detail::g_flash;

FlashRecord flash_record() {
    return g_flash.record;
}

std::vector<uint8_t> flash_contents() {
    return {g_flash.memory, g_flash.memory + FLASH_SETTINGS_BYTES};
}

void flash_load(const std::vector<uint8_t> &bytes) {
    if (bytes.size() != FLASH_SETTINGS_BYTES) {
        detail::fail("flash: contents of " + std::to_string(bytes.size()) + " bytes, not " +
                     std::to_string(FLASH_SETTINGS_BYTES));
    }
    std::memcpy(g_flash.memory, bytes.data(), FLASH_SETTINGS_BYTES);
}

void flash_power_cut_at(uint64_t n, uint64_t seed) {
    g_flash.cut_at = n == 0 ? 0 : g_flash.record.operations + n;
    g_flash.cut_state = seed;
}

void flash_refuse(bool on) {
    g_flash.refuse = on;
}

} // namespace vmcu

using vmcu::detail::g_flash;

extern "C" {

HAL_StatusTypeDef HAL_FLASH_Unlock(void) {
    g_flash.locked = false;
    return HAL_OK;
}

HAL_StatusTypeDef HAL_FLASH_Lock(void) {
    g_flash.locked = true;
    return HAL_OK;
}

HAL_StatusTypeDef HAL_FLASH_Program(uint32_t TypeProgram, uint32_t Address, uint64_t Data) {
    using namespace vmcu::detail;
    if (TypeProgram != FLASH_TYPEPROGRAM_WORD || !InSettings(Address, 4) || (Address & 3U) != 0) {
        g_flash.error = HAL_FLASH_ERROR_PGA;
        return HAL_ERROR;
    }
    if (!Start()) {
        return HAL_ERROR;
    }
    uint8_t *word = g_flash.memory + (Address - FLASH_SECTOR_2_ADDR);
    uint32_t old;
    std::memcpy(&old, word, 4);
    uint32_t now_bits = old & static_cast<uint32_t>(Data);
    const bool cut = CutNow();
    if (cut) {
        // Each bit that was to be cleared may or may not be.
        now_bits =
            old & ~((old & ~static_cast<uint32_t>(Data)) & static_cast<uint32_t>(CutRandom()));
    }
    std::memcpy(word, &now_bits, 4);
    if (cut) {
        PowerCut(vmcu::FLASH_PROGRAM_NS);
        return HAL_ERROR;
    }
    ++g_flash.record.programs;
    Stall(vmcu::FLASH_PROGRAM_NS);
    return HAL_OK;
}

HAL_StatusTypeDef HAL_FLASHEx_Erase(FLASH_EraseInitTypeDef *pEraseInit, uint32_t *SectorError) {
    using namespace vmcu::detail;
    if (SectorError != nullptr) {
        *SectorError = 0xFFFFFFFFU;
    }
    if (pEraseInit == nullptr || pEraseInit->TypeErase != FLASH_TYPEERASE_SECTORS ||
        pEraseInit->VoltageRange != FLASH_VOLTAGE_RANGE_3 || pEraseInit->NbSectors == 0 ||
        pEraseInit->Sector < FLASH_SECTOR_2 ||
        pEraseInit->Sector + pEraseInit->NbSectors > FLASH_SECTOR_3 + 1) {
        g_flash.error = HAL_FLASH_ERROR_PGS;
        return HAL_ERROR;
    }
    for (uint32_t n = 0; n < pEraseInit->NbSectors; ++n) {
        const uint32_t sector = pEraseInit->Sector + n;
        if (!Start()) {
            if (SectorError != nullptr) {
                *SectorError = sector;
            }
            return HAL_ERROR;
        }
        uint8_t *bytes = g_flash.memory + (sector - FLASH_SECTOR_2) * FLASH_SECTOR_16K_SIZE;
        if (CutNow()) {
            // Half erased: each cleared bit may or may not be set again.
            for (size_t i = 0; i < FLASH_SECTOR_16K_SIZE; ++i) {
                bytes[i] = static_cast<uint8_t>(bytes[i] | CutRandom());
            }
            PowerCut(vmcu::FLASH_ERASE_NS);
            return HAL_ERROR;
        }
        std::memset(bytes, 0xFF, FLASH_SECTOR_16K_SIZE);
        ++g_flash.record.erases;
        Stall(vmcu::FLASH_ERASE_NS);
    }
    return HAL_OK;
}

uint32_t HAL_FLASH_GetError(void) {
    return g_flash.error;
}

const void *HAL_FLASH_Address(uint32_t address) {
    if (!vmcu::detail::InSettings(address, 1)) {
        vmcu::detail::fail_instance("flash", reinterpret_cast<const void *>(uintptr_t{address}));
    }
    return g_flash.memory + (address - FLASH_SECTOR_2_ADDR);
}

} // extern "C"
