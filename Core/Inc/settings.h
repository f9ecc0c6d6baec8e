/* The beacon's settings: one record, its built-in values and one check per field. The console
 * checks what the operator types with these, and start-up checks what it loads from flash with the
 * same functions, so a saved record can never hold a value the console would refuse. */
#ifndef SETTINGS_H
#define SETTINGS_H

#include <stddef.h>
#include <stdint.h>

#include "app_config.h"

/* How frames choose their band: the list in order, or the coordinated hopping plan. */
#define WSPR_HOP_ORDER 0U
#define WSPR_HOP_COORDINATED 1U
#define WSPR_MAX_BANDS 12U
#define WSPR_MAX_BAND_CODE 7U /* three band lines */
#define WSPR_MAX_OFFSET_HZ 100U

/* The layout is pinned (below): the PC build, the board image and whoever reads the status query
 * out of the image's memory see the same bytes. New fields go at the end. */
typedef struct {
    char callsign[CALLSIGN_MAX_LEN + 1]; /* upper case, NUL-terminated */
    char locator[LOCATOR_MAX_LEN + 1];   /* upper case, NUL-terminated */
    uint8_t power_dbm;
    bool auto_tx;          /* a frame at every even UTC minute */
    uint32_t base_freq_hz; /* tone 0 of the band list's first entry */
    uint32_t xtal_hz;
    /* The band list: band_count entries, each a tone 0 and the code the band lines carry for it.
     * Entry 0's frequency is base_freq_hz, so a record saved before the list existed loads as a
     * list of one entry with code 0. */
    uint8_t band_count;
    uint8_t hop_mode;   /* WSPR_HOP_ORDER or WSPR_HOP_COORDINATED */
    uint8_t tx_percent; /* share of slots with a frame, 0..100 */
    uint8_t offset_hz;  /* each frame's tone 0 moves by up to this, 0..WSPR_MAX_OFFSET_HZ */
    uint8_t band_code[WSPR_MAX_BANDS];
    uint32_t band_freq_hz[WSPR_MAX_BANDS - 1]; /* entries 1.. */
} WSPR_Settings;

#ifdef __cplusplus
static_assert(
    offsetof(WSPR_Settings, callsign) == 0 && offsetof(WSPR_Settings, locator) == 7 &&
        offsetof(WSPR_Settings, power_dbm) == 12 && offsetof(WSPR_Settings, auto_tx) == 13 &&
        offsetof(WSPR_Settings, base_freq_hz) == 16 && offsetof(WSPR_Settings, xtal_hz) == 20 &&
        offsetof(WSPR_Settings, band_count) == 24 && offsetof(WSPR_Settings, hop_mode) == 25 &&
        offsetof(WSPR_Settings, tx_percent) == 26 && offsetof(WSPR_Settings, offset_hz) == 27 &&
        offsetof(WSPR_Settings, band_code) == 28 && offsetof(WSPR_Settings, band_freq_hz) == 40 &&
        sizeof(WSPR_Settings) == 84,
    "the settings record has one layout on every build");

/* What a field's check found; the console turns each into its own reply. */
enum class SettingCheck : uint8_t {
    OK,
    TOO_LONG,     /* callsign: more than CALLSIGN_MAX_LEN characters */
    WRONG_LENGTH, /* locator: not LOCATOR_MAX_LEN characters */
    INVALID,      /* not a callsign or locator WSPR can send */
    OUT_OF_RANGE, /* a number outside its range */
    NOT_A_LEVEL,  /* power: not one of the levels WSPR carries (ending in 0, 3 or 7) */
};

/* The built-in settings (app_config.h). */
inline constexpr WSPR_Settings k_settings_defaults = {WSPR_DEFAULT_CALLSIGN,
                                                      WSPR_DEFAULT_LOCATOR,
                                                      WSPR_DEFAULT_POWER_DBM,
                                                      true,
                                                      WSPR_DEFAULT_FREQ_HZ,
                                                      SI5351_XTAL_HZ,
                                                      1,
                                                      WSPR_HOP_ORDER,
                                                      100,
                                                      0,
                                                      {},
                                                      {}};
inline WSPR_Settings Settings_Defaults(void) {
    return k_settings_defaults;
}

/* The band list's entries. */
inline int Settings_BandCount(const WSPR_Settings &s) {
    return s.band_count >= 1U && s.band_count <= WSPR_MAX_BANDS ? s.band_count : 1;
}
inline uint32_t Settings_BandHz(const WSPR_Settings &s, int entry) {
    return entry == 0 ? s.base_freq_hz : s.band_freq_hz[entry - 1];
}

/* Text fields are checked as given (upper case, as stored). */
SettingCheck Settings_CheckCallsign(const char *callsign);
SettingCheck Settings_CheckLocator(const char *locator);
SettingCheck Settings_CheckPower(uint32_t dbm);
SettingCheck Settings_CheckFreq(uint32_t hz);
SettingCheck Settings_CheckXtal(uint32_t hz);
SettingCheck Settings_CheckBandCode(uint32_t code);
SettingCheck Settings_CheckTxPercent(uint32_t percent);
SettingCheck Settings_CheckOffset(uint32_t hz);
/* Every field passes its check (and the texts end within their buffers). */
bool Settings_Valid(const WSPR_Settings *settings);
#endif

#endif
