#include "settings_store.h"

#include <string.h>

namespace {

constexpr uint32_t KIND_SETTINGS = 0x57530001U;
constexpr uint32_t KIND_DEFAULTS = 0x5753DEF0U;
constexpr uint32_t ERASED = 0xFFFFFFFFU;
constexpr uint32_t SECTORS[2] = {FLASH_SECTOR_2, FLASH_SECTOR_3};
constexpr uint32_t SECTOR_ADDR[2] = {FLASH_SECTOR_2_ADDR, FLASH_SECTOR_3_ADDR};

/* One record as it lies in flash, word by word; crc covers everything before it. */
struct Record {
    uint32_t kind;
    uint32_t sequence;
    char callsign[8];
    char locator[4];
    uint8_t power_dbm;
    uint8_t auto_tx;
    uint8_t reserved[2];
    uint32_t base_freq_hz;
    uint32_t xtal_hz;
    uint32_t crc;
};
static_assert(sizeof(Record) == SETTINGS_RECORD_BYTES, "a record is nine flash words");
static_assert(CALLSIGN_MAX_LEN < sizeof(Record::callsign) &&
                  LOCATOR_MAX_LEN == sizeof(Record::locator),
              "the record holds a callsign with its end and a locator without");

constexpr uint32_t Crc32(const uint8_t *data, uint32_t length) {
    uint32_t crc = 0xFFFFFFFFU;
    for (uint32_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1U)));
        }
    }
    return ~crc;
}
constexpr uint8_t CHECK_TEXT[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
static_assert(Crc32(CHECK_TEXT, sizeof CHECK_TEXT) == 0xCBF43926U, "the standard check value");

uint32_t SlotAddress(int sector, uint32_t slot) {
    return SECTOR_ADDR[sector] + slot * SETTINGS_RECORD_BYTES;
}

void Read(uint32_t address, Record &r) {
    memcpy(&r, HAL_FLASH_Address(address), sizeof r);
}

bool Blank(const Record &r) {
    uint32_t words[sizeof r / 4];
    memcpy(words, &r, sizeof r);
    for (uint32_t w : words) {
        if (w != ERASED) {
            return false;
        }
    }
    return true;
}

bool Good(const Record &r) {
    return (r.kind == KIND_SETTINGS || r.kind == KIND_DEFAULTS) &&
           r.crc == Crc32(reinterpret_cast<const uint8_t *>(&r), offsetof(Record, crc));
}

/* What the two sectors hold: the newest good record, where it is, and where the next one goes. */
struct Scan {
    bool any_written = false;
    bool found = false;
    Record newest{};
    int newest_sector = 0;
    uint32_t free_slot[2] = {0, 0}; /* after the last written slot of each sector */
};

Scan ScanAll() {
    Scan s;
    for (int sector = 0; sector < 2; ++sector) {
        for (uint32_t slot = 0; slot < SETTINGS_RECORDS_PER_SECTOR; ++slot) {
            Record r{};
            Read(SlotAddress(sector, slot), r);
            if (Blank(r)) {
                continue;
            }
            s.any_written = true;
            s.free_slot[sector] = slot + 1;
            if (Good(r) && (!s.found || r.sequence > s.newest.sequence)) {
                s.found = true;
                s.newest = r;
                s.newest_sector = sector;
            }
        }
    }
    return s;
}

HAL_StatusTypeDef Append(Record &r) {
    const Scan s = ScanAll();
    r.sequence = s.found ? s.newest.sequence + 1U : 1U;
    r.crc = Crc32(reinterpret_cast<const uint8_t *>(&r), offsetof(Record, crc));

    int sector = s.found ? s.newest_sector : 0;
    uint32_t slot = s.free_slot[sector];
    bool erase = false;
    if (slot >= SETTINGS_RECORDS_PER_SECTOR) {
        sector = 1 - sector;
        slot = 0;
        erase = true;
    }
    HAL_StatusTypeDef st = HAL_FLASH_Unlock();
    if (st == HAL_OK && erase) {
        FLASH_EraseInitTypeDef e = {};
        e.TypeErase = FLASH_TYPEERASE_SECTORS;
        e.Sector = SECTORS[sector];
        e.NbSectors = 1;
        e.VoltageRange = FLASH_VOLTAGE_RANGE_3;
        uint32_t failed = 0;
        st = HAL_FLASHEx_Erase(&e, &failed);
    }
    uint32_t words[sizeof r / 4];
    memcpy(words, &r, sizeof r);
    const uint32_t address = SlotAddress(sector, slot);
    for (uint32_t i = 0; i < sizeof r / 4 && st == HAL_OK; ++i) {
        st = HAL_FLASH_Program(FLASH_TYPEPROGRAM_WORD, address + 4U * i, words[i]);
    }
    (void)HAL_FLASH_Lock();
    if (st == HAL_OK) {
        Record back{};
        Read(address, back);
        if (memcmp(&back, &r, sizeof r) != 0) {
            st = HAL_ERROR; /* the flash did not keep what was written */
        }
    }
    return st;
}

} // namespace

uint32_t Settings_Crc32(const uint8_t *data, uint32_t length) {
    return Crc32(data, length);
}

SettingsFound Settings_Load(StoredSettings *out) {
    const Scan s = ScanAll();
    if (!s.found) {
        return s.any_written ? SettingsFound::DAMAGED : SettingsFound::NONE;
    }
    if (s.newest.kind == KIND_DEFAULTS) {
        return SettingsFound::NONE;
    }
    const Record &r = s.newest;
    memset(out, 0, sizeof *out);
    memcpy(out->callsign, r.callsign, CALLSIGN_MAX_LEN);
    memcpy(out->locator, r.locator, LOCATOR_MAX_LEN);
    out->power_dbm = r.power_dbm;
    out->auto_tx = r.auto_tx != 0U;
    out->base_freq_hz = r.base_freq_hz;
    out->xtal_hz = r.xtal_hz;
    return SettingsFound::SAVED;
}

HAL_StatusTypeDef Settings_Save(const StoredSettings *settings) {
    Record r = {};
    r.kind = KIND_SETTINGS;
    strncpy(r.callsign, settings->callsign, sizeof r.callsign - 1U);
    memcpy(r.locator, settings->locator, sizeof r.locator);
    r.power_dbm = settings->power_dbm;
    r.auto_tx = settings->auto_tx ? 1U : 0U;
    r.base_freq_hz = settings->base_freq_hz;
    r.xtal_hz = settings->xtal_hz;
    return Append(r);
}

HAL_StatusTypeDef Settings_Forget(void) {
    const Scan s = ScanAll();
    if (!s.found || s.newest.kind == KIND_DEFAULTS) {
        return HAL_OK;
    }
    Record r = {};
    r.kind = KIND_DEFAULTS;
    return Append(r);
}
