// The encoder's inputs: any callsign and locator bytes and any power byte. Input layout: power,
// flags (bit 0: no callsign, bit 1: no locator), callsign length (low 4 bits), callsign bytes, and
// the rest is the locator. Every symbol must be 0..3 with the sync vector as its low bit; a refusal
// must leave the array as it was; and the encoder must succeed exactly for messages that an
// independent rule calls valid.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "wspr_encoder.h"

namespace {

bool Letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool Digit(char c) {
    return c >= '0' && c <= '9';
}
bool LetterOrDigit(char c) {
    return Letter(c) || Digit(c);
}
bool LetterOrSpace(char c) {
    return Letter(c) || c == ' ';
}
bool AllOf(std::string_view s, bool (*pred)(char)) {
    for (char c : s) {
        if (!pred(c)) {
            return false;
        }
    }
    return true;
}

// Six places: a letter, digit or space; a letter or digit; the call area digit; three letters or
// spaces. A callsign with its digit second is moved one place right behind a space.
bool CallsignValid(const char *call) {
    if (call == nullptr) {
        return false;
    }
    const std::string_view c(call);
    if (c.size() >= 3 && c.size() <= 6 && Digit(c[2])) {
        return (LetterOrDigit(c[0]) || c[0] == ' ') && LetterOrDigit(c[1]) &&
               AllOf(c.substr(3), LetterOrSpace);
    }
    return c.size() >= 2 && c.size() <= 5 && LetterOrDigit(c[0]) && Digit(c[1]) &&
           AllOf(c.substr(2), LetterOrSpace);
}

bool Field(char c) {
    return (c >= 'A' && c <= 'R') || (c >= 'a' && c <= 'r');
}

// The first four characters are used; more are allowed.
bool LocatorValid(const char *loc) {
    if (loc == nullptr || std::strlen(loc) < 4) {
        return false;
    }
    return Field(loc[0]) && Field(loc[1]) && Digit(loc[2]) && Digit(loc[3]);
}

bool PowerValid(unsigned dbm) {
    return dbm <= 60 && (dbm % 10 == 0 || dbm % 10 == 3 || dbm % 10 == 7);
}

[[noreturn]] void Fail(const char *what, const char *call, const char *loc, unsigned power) {
    std::fprintf(stderr, "encoder: %s for call [%s] locator [%s] power %u\n", what,
                 call ? call : "(null)", loc ? loc : "(null)", power);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) {
        return 0;
    }
    const uint8_t power = data[0];
    const uint8_t flags = data[1];
    const size_t call_len = std::min<size_t>(data[2] & 0x0F, size - 3);
    const std::string call(reinterpret_cast<const char *>(data) + 3, call_len);
    const std::string loc(reinterpret_cast<const char *>(data) + 3 + call_len,
                          std::min<size_t>(size - 3 - call_len, 16));
    const char *call_p = (flags & 1) ? nullptr : call.c_str();
    const char *loc_p = (flags & 2) ? nullptr : loc.c_str();

    uint8_t symbols[WSPR_SYMBOL_COUNT + 8];
    uint8_t before[sizeof symbols];
    for (size_t i = 0; i < sizeof symbols; ++i) {
        before[i] = static_cast<uint8_t>(0xA5 ^ (i * 37) ^ flags);
    }
    std::memcpy(symbols, before, sizeof symbols);

    const bool ok = WSPR_Encode(call_p, loc_p, power, symbols);
    const bool valid = CallsignValid(call_p) && LocatorValid(loc_p) && PowerValid(power);
    if (ok != valid) {
        Fail(ok ? "accepted an invalid message" : "refused a valid message", call_p, loc_p, power);
    }
    if (std::memcmp(symbols + WSPR_SYMBOL_COUNT, before + WSPR_SYMBOL_COUNT, 8) != 0) {
        Fail("wrote past the symbol array", call_p, loc_p, power);
    }
    if (!ok) {
        if (std::memcmp(symbols, before, WSPR_SYMBOL_COUNT) != 0) {
            Fail("changed the symbols although it refused", call_p, loc_p, power);
        }
        return 0;
    }
    for (unsigned i = 0; i < WSPR_SYMBOL_COUNT; ++i) {
        if (symbols[i] > 3 || (symbols[i] & 1) != wspr_encoder::k_sync[i]) {
            Fail("symbol out of range or off the sync vector", call_p, loc_p, power);
        }
    }
    return 0;
}
