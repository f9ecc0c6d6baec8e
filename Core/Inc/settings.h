/* The beacon's settings: one record, its built-in values and one check per field. The console
 * checks what the operator types with these, and start-up checks what it loads from flash with the
 * same functions, so a saved record can never hold a value the console would refuse. */
#ifndef SETTINGS_H
#define SETTINGS_H

#include <stddef.h>
#include <stdint.h>

#include "app_config.h"

/* The layout is pinned (below): the PC build, the board image and whoever reads the status query
 * out of the image's memory see the same bytes. New fields go at the end. */
typedef struct {
    char callsign[CALLSIGN_MAX_LEN + 1]; /* upper case, NUL-terminated */
    char locator[LOCATOR_MAX_LEN + 1];   /* upper case, NUL-terminated */
    uint8_t power_dbm;
    bool auto_tx; /* a frame at every even UTC minute */
    uint32_t base_freq_hz;
    uint32_t xtal_hz;
} WSPR_Settings;

#ifdef __cplusplus
static_assert(offsetof(WSPR_Settings, callsign) == 0 && offsetof(WSPR_Settings, locator) == 7 &&
                  offsetof(WSPR_Settings, power_dbm) == 12 &&
                  offsetof(WSPR_Settings, auto_tx) == 13 &&
                  offsetof(WSPR_Settings, base_freq_hz) == 16 &&
                  offsetof(WSPR_Settings, xtal_hz) == 20 && sizeof(WSPR_Settings) == 24,
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
inline constexpr WSPR_Settings k_settings_defaults = {WSPR_DEFAULT_CALLSIGN,  WSPR_DEFAULT_LOCATOR,
                                                      WSPR_DEFAULT_POWER_DBM, true,
                                                      WSPR_DEFAULT_FREQ_HZ,   SI5351_XTAL_HZ};
inline WSPR_Settings Settings_Defaults(void) {
    return k_settings_defaults;
}

/* Text fields are checked as given (upper case, as stored). */
SettingCheck Settings_CheckCallsign(const char *callsign);
SettingCheck Settings_CheckLocator(const char *locator);
SettingCheck Settings_CheckPower(uint32_t dbm);
SettingCheck Settings_CheckFreq(uint32_t hz);
SettingCheck Settings_CheckXtal(uint32_t hz);
/* Every field passes its check (and the texts end within their buffers). */
bool Settings_Valid(const WSPR_Settings *settings);
#endif

#endif
