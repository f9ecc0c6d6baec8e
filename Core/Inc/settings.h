/* The beacon's settings: one record, its built-in values and one check per field. The console
 * checks what the operator types with these, and start-up checks what it loads from flash with the
 * same functions, so a saved record can never hold a value the console would refuse. */
#ifndef SETTINGS_H
#define SETTINGS_H

#include <stddef.h>
#include <stdint.h>

#include "app_config.h"
#include "wspr_message.h"

/* How frames choose their band: the list in order, or the coordinated hopping plan. */
#define WSPR_HOP_ORDER 0U
#define WSPR_HOP_COORDINATED 1U
#define WSPR_MAX_BANDS 12U
#define WSPR_MAX_BAND_CODE 7U /* three band lines */
#define WSPR_MAX_OFFSET_HZ 100U

/* The layout is pinned (below): the PC build, the board image and whoever reads the status query
 * out of the image's memory see the same bytes. New fields go at the end. */
typedef struct {
    char callsign[CALLSIGN_MAX_LEN + 1]; /* the base callsign, upper case, NUL-terminated */
    char locator[LOCATOR_MAX_LEN + 1];   /* field and square, upper case, NUL-terminated */
    uint8_t power_dbm;
    bool auto_tx;          /* a frame at every even UTC minute */
    uint32_t base_freq_hz; /* tone 0 of the band list's first entry */
    uint32_t xtal_hz;
    /* The callsign's add-on (at most one of the two), and the locator's subsquare: empty for a
     * plain callsign and a 4-character locator, as records saved before they existed load. */
    char call_prefix[WSPR_PREFIX_MAX + 1]; /* PFX/CALL */
    char call_suffix[WSPR_SUFFIX_MAX + 1]; /* CALL/SFX */
    char subsquare[3];                     /* the locator's 5th and 6th characters */
    bool locator_gnss;                     /* the locator follows the GNSS receiver's position */
    uint8_t spare; /* the padding of records that ended above: whatever they hold, never read */
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
        offsetof(WSPR_Settings, call_prefix) == 24 && offsetof(WSPR_Settings, call_suffix) == 28 &&
        offsetof(WSPR_Settings, subsquare) == 31 && offsetof(WSPR_Settings, locator_gnss) == 34 &&
        offsetof(WSPR_Settings, band_count) == 36 && offsetof(WSPR_Settings, hop_mode) == 37 &&
        offsetof(WSPR_Settings, tx_percent) == 38 && offsetof(WSPR_Settings, offset_hz) == 39 &&
        offsetof(WSPR_Settings, band_code) == 40 && offsetof(WSPR_Settings, band_freq_hz) == 52 &&
        sizeof(WSPR_Settings) == 96,
    "the settings record has one layout on every build");

/* What a field's check found; the console turns each into its own reply. */
enum class SettingCheck : uint8_t {
    OK,
    TOO_LONG,      /* callsign: a base callsign of more than CALLSIGN_MAX_LEN characters */
    BAD_PREFIX,    /* callsign: a prefix not of 1 to 3 letters or digits */
    BAD_SUFFIX,    /* callsign: a suffix not one letter or digit, or two digits 10..99 */
    TWO_ADDONS,    /* callsign: more than one '/' */
    WRONG_LENGTH,  /* locator: not 4 or 6 characters */
    BAD_SUBSQUARE, /* locator: subsquare letters beyond A..X */
    INVALID,       /* not a callsign or locator WSPR can send */
    OUT_OF_RANGE,  /* a number outside its range */
    NOT_A_LEVEL,   /* power: not one of the levels WSPR carries (ending in 0, 3 or 7) */
};

/* The built-in settings (app_config.h). */
inline constexpr WSPR_Settings k_settings_defaults = {WSPR_DEFAULT_CALLSIGN,
                                                      WSPR_DEFAULT_LOCATOR,
                                                      WSPR_DEFAULT_POWER_DBM,
                                                      true,
                                                      WSPR_DEFAULT_FREQ_HZ,
                                                      SI5351_XTAL_HZ,
                                                      "",
                                                      "",
                                                      "",
                                                      false,
                                                      0,
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

/* Text fields are checked as given (upper case, as stored). A callsign is plain (CALL) or compound
 * (PFX/CALL, CALL/SFX); a locator has 4 or 6 characters. */
SettingCheck Settings_CheckCallsign(const char *callsign);
SettingCheck Settings_CheckLocator(const char *locator);
/* Set after their checks passed; a locator set this way is fixed (no longer from GNSS). */
void Settings_SetCallsign(WSPR_Settings *settings, const char *callsign);
void Settings_SetLocator(WSPR_Settings *settings, const char *locator);
/* The callsign as the record holds it, in parts and as one text (WSPR_CALL_TEXT_MAX + 1 bytes). */
WsprCallsign Settings_Callsign(const WSPR_Settings *settings);
void Settings_CallsignText(const WSPR_Settings *settings, char *out);
/* The whole locator, 4 or 6 characters (WSPR_GRID6_LEN + 1 bytes). */
void Settings_LocatorText(const WSPR_Settings *settings, char *out);
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
