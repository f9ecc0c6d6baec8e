#include "band_list.h"

#include <stdio.h>
#include <string.h>

#include "bands.h"
#include "si5351.h"
#include "wspr_encoder.h"

namespace {

constexpr bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

/* Digits only, at most nine of them (a value the range check then judges). */
bool Number(const char *text, size_t len, uint32_t &value) {
    if (len == 0 || len > 9) {
        return false;
    }
    value = 0;
    for (size_t i = 0; i < len; ++i) {
        if (!IsDigit(text[i])) {
            return false;
        }
        value = value * 10U + static_cast<uint32_t>(text[i] - '0');
    }
    return true;
}

/* One entry, `len` characters from `text`: its tone 0 and code. */
BandListCheck Entry(const char *text, size_t len, uint32_t &hz, uint8_t &code) {
    const char *colon = static_cast<const char *>(memchr(text, ':', len));
    const size_t name_len = colon != nullptr ? static_cast<size_t>(colon - text) : len;
    char name[8] = {};
    int band = -1;
    if (name_len < sizeof name) {
        memcpy(name, text, name_len);
        band = Band_Find(name);
    }
    if (band >= 0) {
        hz = k_bands[band].tone0_hz;
    } else if (!Number(text, name_len, hz) || Settings_CheckFreq(hz) != SettingCheck::OK) {
        return BandListCheck::ENTRY;
    } else if (!BandList_KeepsMargin(hz)) {
        return BandListCheck::MARGIN;
    }
    code = 0;
    if (colon != nullptr) {
        uint32_t c = 0;
        if (!Number(colon + 1, len - name_len - 1U, c) ||
            Settings_CheckBandCode(c) != SettingCheck::OK) {
            return BandListCheck::CODE;
        }
        code = static_cast<uint8_t>(c);
    }
    return BandListCheck::OK;
}

} // namespace

bool BandList_KeepsMargin(uint32_t tone0_hz) {
    return Si5351_TonesKeepMargin(static_cast<uint64_t>(tone0_hz) * 1000000ULL,
                                  WSPR_TONE_SPACING_UHZ, WSPR_TONE_COUNT);
}

BandListCheck BandList_Take(const char *text, const WSPR_Settings &now, WSPR_Settings *out,
                            char *bad, size_t bad_size) {
    const char *p = text;
    const bool append = p[0] == '+' && (p[1] == ' ' || p[1] == '\0');
    const uint32_t first = append ? static_cast<uint32_t>(Settings_BandCount(now)) : 0U;
    uint32_t count = first;
    p += append ? 1 : 0;
    while (*p != '\0') {
        if (*p == ' ') {
            ++p;
            continue;
        }
        const size_t len = strcspn(p, " ");
        uint32_t hz = 0;
        uint8_t code = 0;
        const BandListCheck check = Entry(p, len, hz, code);
        if (check != BandListCheck::OK) {
            if (bad != nullptr && bad_size > 0) {
                snprintf(bad, bad_size, "%.*s", static_cast<int>(len), p);
            }
            return check;
        }
        if (count >= WSPR_MAX_BANDS) {
            return BandListCheck::COUNT;
        }
        if (out != nullptr) {
            if (count == 0) {
                out->base_freq_hz = hz;
            } else {
                out->band_freq_hz[count - 1] = hz;
            }
            out->band_code[count] = code;
        }
        ++count;
        p += len;
    }
    if (count == first) {
        return BandListCheck::COUNT;
    }
    if (out != nullptr) {
        out->band_count = static_cast<uint8_t>(count);
    }
    return BandListCheck::OK;
}

void BandList_FormatEntry(const WSPR_Settings &s, int entry, char *out, size_t size) {
    const uint32_t hz = Settings_BandHz(s, entry);
    const int band = Band_Of(hz);
    if (band >= 0 && k_bands[band].tone0_hz == hz) {
        snprintf(out, size, "%s:%u", k_bands[band].name, static_cast<unsigned>(s.band_code[entry]));
    } else {
        snprintf(out, size, "%lu:%u", static_cast<unsigned long>(hz),
                 static_cast<unsigned>(s.band_code[entry]));
    }
}
