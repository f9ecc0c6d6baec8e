#include "settings.h"

#include <string.h>

#include "si5351.h"

namespace {

constexpr bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
constexpr bool IsField(char c) {
    return c >= 'A' && c <= 'R';
}
constexpr bool IsSubsquare(char c) {
    return c >= 'A' && c <= 'X';
}

/* The text ends within its buffer. */
template <size_t N> bool Terminated(const char (&text)[N]) {
    return memchr(text, '\0', N) != nullptr;
}

} // namespace

/* A plain or compound callsign in a form the encoder packs (a callsign it cannot pack would make
 * every later frame fail). */
SettingCheck Settings_CheckCallsign(const char *callsign) {
    WsprCallsign parts = {};
    switch (WSPR_ParseCallsign(callsign, &parts)) {
    case WSPR_CALL_OK:
        return SettingCheck::OK;
    case WSPR_CALL_TOO_LONG:
        return SettingCheck::TOO_LONG;
    case WSPR_CALL_BAD_PREFIX:
        return SettingCheck::BAD_PREFIX;
    case WSPR_CALL_BAD_SUFFIX:
        return SettingCheck::BAD_SUFFIX;
    case WSPR_CALL_TWO_ADDONS:
        return SettingCheck::TWO_ADDONS;
    default:
        return SettingCheck::INVALID;
    }
}

/* Two field letters A..R and two square digits, then optionally two subsquare letters A..X. */
SettingCheck Settings_CheckLocator(const char *locator) {
    const size_t len = strlen(locator);
    if (len != LOCATOR_MAX_LEN && len != WSPR_GRID6_LEN) {
        return SettingCheck::WRONG_LENGTH;
    }
    if (!IsField(locator[0]) || !IsField(locator[1]) || !IsDigit(locator[2]) ||
        !IsDigit(locator[3])) {
        return SettingCheck::INVALID;
    }
    if (len == WSPR_GRID6_LEN && (!IsSubsquare(locator[4]) || !IsSubsquare(locator[5]))) {
        return SettingCheck::BAD_SUBSQUARE;
    }
    return SettingCheck::OK;
}

void Settings_SetCallsign(WSPR_Settings *s, const char *callsign) {
    WsprCallsign parts = {};
    (void)WSPR_ParseCallsign(callsign, &parts);
    strcpy(s->callsign, parts.base);
    strcpy(s->call_prefix, parts.prefix);
    strcpy(s->call_suffix, parts.suffix);
}

void Settings_SetLocator(WSPR_Settings *s, const char *locator) {
    memcpy(s->locator, locator, LOCATOR_MAX_LEN);
    s->locator[LOCATOR_MAX_LEN] = '\0';
    strcpy(s->subsquare, locator + LOCATOR_MAX_LEN);
    s->locator_gnss = false;
}

WsprCallsign Settings_Callsign(const WSPR_Settings *s) {
    WsprCallsign parts = {};
    strcpy(parts.prefix, s->call_prefix);
    strcpy(parts.base, s->callsign);
    strcpy(parts.suffix, s->call_suffix);
    return parts;
}

void Settings_CallsignText(const WSPR_Settings *s, char *out) {
    const WsprCallsign parts = Settings_Callsign(s);
    WSPR_CallsignText(&parts, out);
}

void Settings_LocatorText(const WSPR_Settings *s, char *out) {
    strcpy(out, s->locator);
    strcat(out, s->subsquare);
}

/* Only the levels the encoder packs: receivers would read any other as another message. */
SettingCheck Settings_CheckPower(uint32_t dbm) {
    if (dbm > wspr_message::MAX_POWER_DBM) {
        return SettingCheck::OUT_OF_RANGE;
    }
    return wspr_message::IsPowerLevel(static_cast<uint8_t>(dbm)) ? SettingCheck::OK
                                                                 : SettingCheck::NOT_A_LEVEL;
}

SettingCheck Settings_CheckFreq(uint32_t hz) {
    return hz >= WSPR_MIN_FREQ_HZ && hz <= WSPR_MAX_FREQ_HZ ? SettingCheck::OK
                                                            : SettingCheck::OUT_OF_RANGE;
}

SettingCheck Settings_CheckXtal(uint32_t hz) {
    return hz >= SI5351_XTAL_MIN_HZ && hz <= SI5351_XTAL_MAX_HZ ? SettingCheck::OK
                                                                : SettingCheck::OUT_OF_RANGE;
}

SettingCheck Settings_CheckBandCode(uint32_t code) {
    return code <= WSPR_MAX_BAND_CODE ? SettingCheck::OK : SettingCheck::OUT_OF_RANGE;
}

SettingCheck Settings_CheckTxPercent(uint32_t percent) {
    return percent <= 100U ? SettingCheck::OK : SettingCheck::OUT_OF_RANGE;
}

SettingCheck Settings_CheckOffset(uint32_t hz) {
    return hz <= WSPR_MAX_OFFSET_HZ ? SettingCheck::OK : SettingCheck::OUT_OF_RANGE;
}

namespace {

bool BandsValid(const WSPR_Settings *s) {
    if (s->band_count < 1U || s->band_count > WSPR_MAX_BANDS ||
        s->hop_mode > WSPR_HOP_COORDINATED) {
        return false;
    }
    for (int i = 0; i < s->band_count; ++i) {
        if (Settings_CheckFreq(Settings_BandHz(*s, i)) != SettingCheck::OK ||
            Settings_CheckBandCode(s->band_code[i]) != SettingCheck::OK) {
            return false;
        }
    }
    return true;
}

} // namespace

/* The callsign and locator are checked whole, as the console would take them. */
bool Settings_Valid(const WSPR_Settings *s) {
    if (!Terminated(s->callsign) || !Terminated(s->locator) || !Terminated(s->call_prefix) ||
        !Terminated(s->call_suffix) || !Terminated(s->subsquare) ||
        (s->call_prefix[0] != '\0' && s->call_suffix[0] != '\0') ||
        (s->subsquare[0] != '\0' && strlen(s->subsquare) != 2U)) {
        return false;
    }
    if (!BandsValid(s) || Settings_CheckTxPercent(s->tx_percent) != SettingCheck::OK ||
        Settings_CheckOffset(s->offset_hz) != SettingCheck::OK) {
        return false;
    }
    char call[WSPR_CALL_TEXT_MAX + 1];
    char locator[WSPR_GRID6_LEN + 1];
    Settings_CallsignText(s, call);
    Settings_LocatorText(s, locator);
    return Settings_CheckCallsign(call) == SettingCheck::OK &&
           Settings_CheckLocator(locator) == SettingCheck::OK &&
           Settings_CheckPower(s->power_dbm) == SettingCheck::OK &&
           Settings_CheckFreq(s->base_freq_hz) == SettingCheck::OK &&
           Settings_CheckXtal(s->xtal_hz) == SettingCheck::OK;
}
