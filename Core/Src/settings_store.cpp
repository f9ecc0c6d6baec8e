#include "settings_store.h"

#include <stddef.h>
#include <string.h>

namespace {

constexpr uint32_t ERASED = 0xFFFFFFFFU;
constexpr uint32_t SECTORS[2] = {FLASH_SECTOR_2, FLASH_SECTOR_3};
constexpr uint32_t SECTOR_ADDR[2] = {FLASH_SECTOR_2_ADDR, FLASH_SECTOR_3_ADDR};
constexpr uint32_t SECTOR_WORDS = FLASH_SECTOR_16K_SIZE / 4U;

/* The first release's records: nine words, one kind word for each meaning. */
constexpr uint32_t FIRST_SETTINGS = 0x57530001U;
constexpr uint32_t FIRST_DEFAULTS = 0x5753DEF0U;
constexpr uint32_t FIRST_WORDS = 9U;
struct FirstRecord {
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
static_assert(sizeof(FirstRecord) / 4U == FIRST_WORDS, "the first release's record: nine words");

/* Records since: the header word 0x5753TTNN says the type TT and the length NN in words (header,
 * sequence number, payload, CRC); the payload of a settings record is the settings record as the
 * release that wrote it had it. */
constexpr uint32_t HEADER_MAGIC = 0x57530000U;
constexpr uint32_t TYPE_SETTINGS = 'S';
constexpr uint32_t TYPE_DEFAULTS = 'D';
constexpr uint32_t MIN_WORDS = 3U;
static_assert(sizeof(WSPR_Settings) % 4U == 0U, "the settings fill whole flash words");
constexpr uint32_t SETTINGS_WORDS = SETTINGS_RECORD_BYTES / 4U;
static_assert(SETTINGS_WORDS <= 0xFFU, "the length fits its byte");

constexpr uint32_t Header(uint32_t type, uint32_t words) {
    return HEADER_MAGIC | (type << 8) | words;
}

constexpr uint32_t CrcByte(uint32_t crc, uint8_t byte) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
        crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1U)));
    }
    return crc;
}
constexpr uint32_t Crc32(const uint8_t *data, uint32_t length) {
    uint32_t crc = 0xFFFFFFFFU;
    for (uint32_t i = 0; i < length; ++i) {
        crc = CrcByte(crc, data[i]);
    }
    return ~crc;
}
constexpr uint8_t CHECK_TEXT[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
static_assert(Crc32(CHECK_TEXT, sizeof CHECK_TEXT) == 0xCBF43926U, "the standard check value");

/* A record built for writing. */
constexpr uint32_t BUILT_MAX_WORDS = SETTINGS_WORDS;
struct Record {
    uint32_t words[BUILT_MAX_WORDS];
    uint32_t length; /* in words */
};

uint32_t WordAt(int sector, uint32_t index) {
    uint32_t w;
    memcpy(&w, HAL_FLASH_Address(SECTOR_ADDR[sector] + 4U * index), sizeof w);
    return w;
}

/* The length a header word announces; 0 when it is no header. */
uint32_t LengthOf(uint32_t header) {
    if (header == FIRST_SETTINGS || header == FIRST_DEFAULTS) {
        return FIRST_WORDS;
    }
    const uint32_t type = (header >> 8) & 0xFFU;
    const uint32_t words = header & 0xFFU;
    const bool known =
        (header & 0xFFFF0000U) == HEADER_MAGIC && (type == TYPE_SETTINGS || type == TYPE_DEFAULTS);
    return known && words >= MIN_WORDS ? words : 0U;
}

bool SaysNothingSaved(uint32_t header) {
    return header == FIRST_DEFAULTS || ((header >> 8) & 0xFFU) == TYPE_DEFAULTS;
}

/* The CRC-32 one word further, over its bytes as they lie in memory. */
uint32_t CrcStep(uint32_t crc, uint32_t word) {
    uint8_t bytes[4];
    memcpy(bytes, &word, sizeof bytes);
    for (uint8_t b : bytes) {
        crc = CrcByte(crc, b);
    }
    return crc;
}

/* Where a good record lies. */
struct Place {
    int sector;
    uint32_t at, length, sequence, header;
};

/* The record of this length at this place passes its check, read straight from flash. */
bool GoodAt(int sector, uint32_t at, uint32_t length) {
    uint32_t crc = 0xFFFFFFFFU;
    for (uint32_t i = 0; i + 1U < length; ++i) {
        crc = CrcStep(crc, WordAt(sector, at + i));
    }
    return ~crc == WordAt(sector, at + length - 1U);
}

/* What the two sectors hold: the newest good record, and where each sector's free space starts
 * (after its last written word, so the space a save writes into is always blank, even after a
 * power cut in the middle of an erase). */
struct Scan {
    bool any_written = false;
    bool found = false;
    Place newest{};
    uint32_t free_word[2] = {0, 0};
};

void ScanSector(int sector, Scan &s) {
    uint32_t end = SECTOR_WORDS;
    while (end > 0U && WordAt(sector, end - 1U) == ERASED) {
        --end;
    }
    s.free_word[sector] = end;
    s.any_written = s.any_written || end > 0U;
    /* Records lie back to back; a word that starts no good record (a record cut short, a half
     * erased sector) is stepped over one word at a time, so every good record after it is found. */
    for (uint32_t at = 0; at < end;) {
        const uint32_t header = WordAt(sector, at);
        const uint32_t length = LengthOf(header);
        if (length == 0U || at + length > end || !GoodAt(sector, at, length)) {
            ++at;
            continue;
        }
        const uint32_t sequence = WordAt(sector, at + 1U);
        if (!s.found || sequence > s.newest.sequence) {
            s.found = true;
            s.newest = {sector, at, length, sequence, header};
        }
        at += length;
    }
}

Scan ScanAll() {
    Scan s;
    ScanSector(0, s);
    ScanSector(1, s);
    return s;
}

/* After the newest record, in its sector while the record fits there; otherwise the other sector,
 * erased first. The record gets the next sequence number and its CRC here. */
HAL_StatusTypeDef Append(Record &r) {
    const Scan s = ScanAll();
    r.words[1] = s.found ? s.newest.sequence + 1U : 1U;
    uint32_t crc = 0xFFFFFFFFU;
    for (uint32_t i = 0; i + 1U < r.length; ++i) {
        crc = CrcStep(crc, r.words[i]);
    }
    r.words[r.length - 1U] = ~crc;

    int sector = s.found ? s.newest.sector : 0;
    uint32_t at = s.free_word[sector];
    bool erase = false;
    if (at + r.length > SECTOR_WORDS) {
        sector = 1 - sector;
        at = 0;
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
    const uint32_t address = SECTOR_ADDR[sector] + 4U * at;
    for (uint32_t i = 0; i < r.length && st == HAL_OK; ++i) {
        st = HAL_FLASH_Program(FLASH_TYPEPROGRAM_WORD, address + 4U * i, r.words[i]);
    }
    (void)HAL_FLASH_Lock();
    for (uint32_t i = 0; i < r.length && st == HAL_OK; ++i) {
        if (WordAt(sector, at + i) != r.words[i]) {
            st = HAL_ERROR; /* the flash did not keep what was written */
        }
    }
    return st;
}

/* The settings the record at this place holds, over what *out had. */
void Unpack(const Place &p, WSPR_Settings *out) {
    const uint8_t *bytes =
        static_cast<const uint8_t *>(HAL_FLASH_Address(SECTOR_ADDR[p.sector] + 4U * p.at));
    if (p.header == FIRST_SETTINGS) {
        FirstRecord first{};
        memcpy(&first, bytes, sizeof first);
        memset(out->callsign, 0, sizeof out->callsign);
        memcpy(out->callsign, first.callsign, CALLSIGN_MAX_LEN);
        memset(out->locator, 0, sizeof out->locator);
        memcpy(out->locator, first.locator, LOCATOR_MAX_LEN);
        out->power_dbm = first.power_dbm;
        out->auto_tx = first.auto_tx != 0U;
        out->base_freq_hz = first.base_freq_hz;
        out->xtal_hz = first.xtal_hz;
        return;
    }
    const uint32_t payload = 4U * (p.length - 3U);
    memcpy(out, bytes + 8, payload < sizeof *out ? payload : sizeof *out);
}

} // namespace

uint32_t Settings_Crc32(const uint8_t *data, uint32_t length) {
    return Crc32(data, length);
}

SettingsFound Settings_Load(WSPR_Settings *out) {
    const Scan s = ScanAll();
    if (!s.found) {
        return s.any_written ? SettingsFound::DAMAGED : SettingsFound::NONE;
    }
    if (SaysNothingSaved(s.newest.header)) {
        return SettingsFound::NONE;
    }
    Unpack(s.newest, out);
    return SettingsFound::SAVED;
}

HAL_StatusTypeDef Settings_Save(const WSPR_Settings *settings) {
    Record r = {};
    r.length = SETTINGS_WORDS;
    r.words[0] = Header(TYPE_SETTINGS, SETTINGS_WORDS);
    memcpy(&r.words[2], settings, sizeof *settings);
    return Append(r);
}

HAL_StatusTypeDef Settings_Forget(void) {
    const Scan s = ScanAll();
    if (!s.any_written || (s.found && SaysNothingSaved(s.newest.header))) {
        return HAL_OK;
    }
    /* Over damaged records too: the record goes into blank space as any other (a sector erased
     * first when there is none) and is then the newest good one; the next start finds nothing
     * saved. */
    Record r = {};
    r.length = MIN_WORDS;
    r.words[0] = Header(TYPE_DEFAULTS, MIN_WORDS);
    return Append(r);
}
