#include "settings.h"

#include <string.h>

#include "si5351.h"
#include "wspr_encoder.h"

namespace {

constexpr bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
constexpr bool IsUpperAlnum(char c) {
    return IsDigit(c) || (c >= 'A' && c <= 'Z');
}
constexpr bool IsField(char c) {
    return c >= 'A' && c <= 'R';
}

/* The text ends within its buffer. */
template <size_t N> bool Terminated(const char (&text)[N]) {
    return memchr(text, '\0', N) != nullptr;
}

} // namespace

/* 3 to 6 letters and digits with at least one digit, in a form the encoder packs (a callsign it
 * cannot pack would make every later frame fail). */
SettingCheck Settings_CheckCallsign(const char *callsign) {
    const size_t len = strlen(callsign);
    if (len > CALLSIGN_MAX_LEN) {
        return SettingCheck::TOO_LONG;
    }
    bool has_digit = false;
    for (size_t i = 0; i < len; ++i) {
        if (!IsUpperAlnum(callsign[i])) {
            return SettingCheck::INVALID;
        }
        has_digit = has_digit || IsDigit(callsign[i]);
    }
    uint32_t packed = 0;
    if (len < 3 || !has_digit || !wspr_encoder::PackCallsign(callsign, &packed)) {
        return SettingCheck::INVALID;
    }
    return SettingCheck::OK;
}

/* Two field letters A..R and two square digits. */
SettingCheck Settings_CheckLocator(const char *locator) {
    if (strlen(locator) != LOCATOR_MAX_LEN) {
        return SettingCheck::WRONG_LENGTH;
    }
    const bool ok =
        IsField(locator[0]) && IsField(locator[1]) && IsDigit(locator[2]) && IsDigit(locator[3]);
    return ok ? SettingCheck::OK : SettingCheck::INVALID;
}

/* Only the levels the encoder packs: receivers would read any other as another message. */
SettingCheck Settings_CheckPower(uint32_t dbm) {
    if (dbm > wspr_encoder::MAX_POWER_DBM) {
        return SettingCheck::OUT_OF_RANGE;
    }
    return wspr_encoder::IsPowerLevel(static_cast<uint8_t>(dbm)) ? SettingCheck::OK
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

bool Settings_Valid(const WSPR_Settings *s) {
    return BandsValid(s) && Settings_CheckTxPercent(s->tx_percent) == SettingCheck::OK &&
           Settings_CheckOffset(s->offset_hz) == SettingCheck::OK && Terminated(s->callsign) &&
           Terminated(s->locator) && Settings_CheckCallsign(s->callsign) == SettingCheck::OK &&
           Settings_CheckLocator(s->locator) == SettingCheck::OK &&
           Settings_CheckPower(s->power_dbm) == SettingCheck::OK &&
           Settings_CheckFreq(s->base_freq_hz) == SettingCheck::OK &&
           Settings_CheckXtal(s->xtal_hz) == SettingCheck::OK;
}
