/* The beacon's settings kept in flash sectors 2 and 3 over resets and power cuts.
 *
 * Records are appended one after another in a sector and a sector is erased only when a record no
 * longer fits in the one in use: the new record then goes to the start of the other sector, just
 * erased, while the full one keeps the newest good record until that write is done. Every record
 * carries a sequence number and a CRC-32 written last, so a record cut short by a power failure
 * fails its check and the newest good one before it counts. `defaults` appends a record that says
 * "nothing saved". Runs in the main loop only; a save blocks it for the flash's programming time,
 * and an erase for hundreds of milliseconds (the CPU stalls).
 *
 * A record says its own length, so later releases can add settings: a record shorter than today's
 * settings leaves the newer fields as the caller had them (their defaults), and the first
 * release's fixed nine-word records load as they always did. */
#ifndef SETTINGS_STORE_H
#define SETTINGS_STORE_H

#include <stdint.h>

#include "settings.h"
#include "stm32f4xx_hal.h"

enum class SettingsFound : uint8_t {
    NONE,    /* nothing saved, or `defaults` was the last word */
    SAVED,   /* the newest good record, in *out */
    DAMAGED, /* records are there but none passes its check */
};

/* A record of today's settings: header, sequence number, the settings, CRC. */
constexpr uint32_t SETTINGS_RECORD_BYTES = 8U + sizeof(WSPR_Settings) + 4U;
constexpr uint32_t SETTINGS_RECORDS_PER_SECTOR = FLASH_SECTOR_16K_SIZE / SETTINGS_RECORD_BYTES;

/* Fills in the fields the newest good record holds; the others keep what *out had. */
SettingsFound Settings_Load(WSPR_Settings *out);
HAL_StatusTypeDef Settings_Save(const WSPR_Settings *settings);
/* Appends the "nothing saved" record, over damaged records too; nothing is written when the
 * flash is blank or already says nothing is saved. */
HAL_StatusTypeDef Settings_Forget(void);
/* CRC-32 (IEEE 802.3, reflected, as zlib computes it). */
uint32_t Settings_Crc32(const uint8_t *data, uint32_t length);

#endif
