#include "wspr_message.h"

#include <stdio.h>

using namespace wspr_message;

namespace {

constexpr uint32_t HASH_SEED = 146U;
constexpr uint32_t HASH_MASK = 0x7FFFU;
constexpr uint32_t SUFFIX_BASE = 60000U; // add-on numbers from here on are suffixes
constexpr uint32_t TWO_DIGIT_SUFFIX = SUFFIX_BASE + 26U;
constexpr uint32_t ADDON_SPLIT = 32768U; // add-ons above: X is 15 bits, the rest goes to ntype
constexpr uint32_t NTYPE_OFFSET = 64U;

constexpr bool IsUpperAlnum(char c) {
    return IsDigit(c) || (c >= 'A' && c <= 'Z');
}

constexpr size_t Length(const char *text) {
    size_t n = 0;
    while (text[n] != '\0') {
        ++n;
    }
    return n;
}

constexpr void Copy(char *out, const char *from, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        out[i] = from[i];
    }
    out[n] = '\0';
}

constexpr void CopyText(char *out, const char *from) {
    Copy(out, from, Length(from));
}

// A base callsign: 3 to 6 letters and digits with a digit among them, in a form type 1 packs.
constexpr WsprCallCheck CheckBase(const char *base, size_t len) {
    if (len > WSPR_BASE_CALL_MAX) {
        return WSPR_CALL_TOO_LONG;
    }
    char text[WSPR_BASE_CALL_MAX + 1] = {};
    Copy(text, base, len);
    bool has_digit = false;
    for (size_t i = 0; i < len; ++i) {
        if (!IsUpperAlnum(text[i])) {
            return WSPR_CALL_INVALID;
        }
        has_digit = has_digit || IsDigit(text[i]);
    }
    uint32_t n = 0;
    return len >= 3U && has_digit && PackCallsign(text, &n) ? WSPR_CALL_OK : WSPR_CALL_INVALID;
}

constexpr bool IsPrefix(const char *text, size_t len) {
    if (len < 1U || len > WSPR_PREFIX_MAX) {
        return false;
    }
    for (size_t i = 0; i < len; ++i) {
        if (!IsUpperAlnum(text[i])) {
            return false;
        }
    }
    return true;
}

// One letter or digit, or two digits 10..99.
constexpr bool IsSuffix(const char *text, size_t len) {
    if (len == 1U) {
        return IsUpperAlnum(text[0]);
    }
    return len == 2U && IsDigit(text[0]) && IsDigit(text[1]) && text[0] != '0';
}

// The part after the '/' says which add-on it is: one or two characters are a suffix (no prefix
// is followed by a base callsign that short), three or more are the base callsign after a prefix.
constexpr WsprCallCheck ParseCallsign(const char *text, WsprCallsign *out) {
    const size_t len = Length(text);
    size_t slash = len;
    for (size_t i = 0; i < len; ++i) {
        if (text[i] == '/') {
            if (slash != len) {
                return WSPR_CALL_TWO_ADDONS;
            }
            slash = i;
        }
    }
    WsprCallsign call = {};
    if (slash == len) {
        const WsprCallCheck check = CheckBase(text, len);
        if (check != WSPR_CALL_OK) {
            return check;
        }
        Copy(call.base, text, len);
    } else if (const size_t after = len - slash - 1U; after <= WSPR_SUFFIX_MAX) {
        if (!IsSuffix(text + slash + 1, after)) {
            return WSPR_CALL_BAD_SUFFIX;
        }
        const WsprCallCheck check = CheckBase(text, slash);
        if (check != WSPR_CALL_OK) {
            return check;
        }
        Copy(call.base, text, slash);
        Copy(call.suffix, text + slash + 1, after);
    } else {
        if (!IsPrefix(text, slash)) {
            return WSPR_CALL_BAD_PREFIX;
        }
        const WsprCallCheck check = CheckBase(text + slash + 1, after);
        if (check != WSPR_CALL_OK) {
            return check;
        }
        Copy(call.prefix, text, slash);
        Copy(call.base, text + slash + 1, after);
    }
    *out = call;
    return WSPR_CALL_OK;
}

constexpr void CallsignText(const WsprCallsign &call, char *out) {
    size_t at = 0;
    const auto put = [&](const char *text) {
        for (; *text != '\0'; ++text) {
            out[at++] = *text;
        }
    };
    if (call.prefix[0] != '\0') {
        put(call.prefix);
        put("/");
    }
    put(call.base);
    if (call.suffix[0] != '\0') {
        put("/");
        put(call.suffix);
    }
    out[at] = '\0';
}

// ---- The hash: lookup3's hashlittle (Bob Jenkins, public domain), read byte by byte ----

constexpr uint32_t Rot(uint32_t x, int k) {
    return (x << k) | (x >> (32 - k));
}

constexpr void Mix(uint32_t &a, uint32_t &b, uint32_t &c) {
    a -= c, a ^= Rot(c, 4), c += b;
    b -= a, b ^= Rot(a, 6), a += c;
    c -= b, c ^= Rot(b, 8), b += a;
    a -= c, a ^= Rot(c, 16), c += b;
    b -= a, b ^= Rot(a, 19), a += c;
    c -= b, c ^= Rot(b, 4), b += a;
}

constexpr void Final(uint32_t &a, uint32_t &b, uint32_t &c) {
    c ^= b, c -= Rot(b, 14);
    a ^= c, a -= Rot(c, 11);
    b ^= a, b -= Rot(a, 25);
    c ^= b, c -= Rot(b, 16);
    a ^= c, a -= Rot(c, 4);
    b ^= a, b -= Rot(a, 14);
    c ^= b, c -= Rot(b, 24);
}

constexpr uint32_t HashLittle(const char *key, size_t length, uint32_t initval) {
    uint32_t v[3] = {};
    v[0] = v[1] = v[2] = 0xDEADBEEFU + static_cast<uint32_t>(length) + initval;
    const auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(key[i])); };
    size_t at = 0;
    while (length - at > 12U) {
        for (size_t i = 0; i < 12U; ++i) {
            v[i / 4U] += byte(at + i) << (8U * (i % 4U));
        }
        Mix(v[0], v[1], v[2]);
        at += 12U;
    }
    if (length == at) {
        return v[2]; // nothing left: no final mixing (a key of 0 bytes, or 12 after 12)
    }
    for (size_t i = 0; at + i < length; ++i) {
        v[i / 4U] += byte(at + i) << (8U * (i % 4U));
    }
    Final(v[0], v[1], v[2]);
    return v[2];
}

constexpr uint16_t CallsignHash(const char *full_call) {
    return static_cast<uint16_t>(HashLittle(full_call, Length(full_call), HASH_SEED) & HASH_MASK);
}

// ---- Packing ----

// The add-on number: a prefix base 37 right-aligned over three places (an empty place 36), a
// suffix from 60000 on.
constexpr uint32_t AddonNumber(const WsprCallsign &call) {
    if (call.prefix[0] != '\0') {
        const size_t len = Length(call.prefix);
        uint32_t v = 0;
        for (size_t place = 0; place < WSPR_PREFIX_MAX; ++place) {
            const size_t pad = WSPR_PREFIX_MAX - len;
            v = v * 37U +
                (place < pad ? 36U : static_cast<uint32_t>(CharValue(call.prefix[place - pad])));
        }
        return v;
    }
    if (call.suffix[1] == '\0') {
        return SUFFIX_BASE + static_cast<uint32_t>(CharValue(call.suffix[0]));
    }
    return TWO_DIGIT_SUFFIX +
           static_cast<uint32_t>(10 * (call.suffix[0] - '0') + (call.suffix[1] - '0'));
}

// Two field letters A..R, two digits, two subsquare letters A..X.
constexpr bool IsGrid6(const char *loc) {
    if (Length(loc) != WSPR_GRID6_LEN) {
        return false;
    }
    const auto in = [](char c, char lo, char hi) { return c >= lo && c <= hi; };
    return in(loc[0], 'A', 'R') && in(loc[1], 'A', 'R') && IsDigit(loc[2]) && IsDigit(loc[3]) &&
           in(loc[4], 'A', 'X') && in(loc[5], 'A', 'X');
}

constexpr bool PackMessage(const WsprMessage &msg, WsprPayload *out) {
    if (!IsPowerLevel(msg.power_dbm)) {
        return false;
    }
    const uint32_t dbm = msg.power_dbm;
    WsprPayload p = {};
    switch (msg.type) {
    case WSPR_MSG_TYPE1:
        if (Length(msg.locator) != WSPR_GRID4_LEN || !PackCallsign(msg.call, &p.n) ||
            !PackLocatorPower(msg.locator, msg.power_dbm, &p.m)) {
            return false;
        }
        break;
    case WSPR_MSG_TYPE2: {
        WsprCallsign call = {};
        if (ParseCallsign(msg.call, &call) != WSPR_CALL_OK ||
            (call.prefix[0] == '\0' && call.suffix[0] == '\0') || !PackCallsign(call.base, &p.n)) {
            return false;
        }
        const uint32_t addon = AddonNumber(call);
        const uint32_t nadd = addon >= ADDON_SPLIT ? 1U : 0U;
        p.m = 128U * (addon - ADDON_SPLIT * nadd) + dbm + 1U + nadd + NTYPE_OFFSET;
        break;
    }
    case WSPR_MSG_TYPE3: {
        WsprCallsign call = {};
        if (ParseCallsign(msg.call, &call) != WSPR_CALL_OK || !IsGrid6(msg.locator)) {
            return false;
        }
        // The locator rotated left by one character packs as if it were a callsign.
        char rotated[WSPR_GRID6_LEN + 1] = {};
        Copy(rotated, msg.locator + 1, WSPR_GRID6_LEN - 1U);
        rotated[WSPR_GRID6_LEN - 1U] = msg.locator[0];
        if (!PackCallsign(rotated, &p.n)) {
            return false;
        }
        p.m = 128U * CallsignHash(msg.call) + NTYPE_OFFSET - (dbm + 1U);
        break;
    }
    default:
        return false;
    }
    *out = p;
    return true;
}

constexpr uint8_t MessageCycle(const WsprCallsign &call, const char *locator, uint8_t power_dbm,
                               WsprMessage cycle[WSPR_CYCLE_MAX]) {
    const size_t len = Length(locator);
    if (len != WSPR_GRID4_LEN && len != WSPR_GRID6_LEN) {
        return 0;
    }
    const bool compound = call.prefix[0] != '\0' || call.suffix[0] != '\0';
    WsprMessage first = {};
    first.power_dbm = power_dbm;
    if (compound) {
        first.type = WSPR_MSG_TYPE2;
        CallsignText(call, first.call);
    } else {
        first.type = WSPR_MSG_TYPE1;
        CopyText(first.call, call.base);
        Copy(first.locator, locator, WSPR_GRID4_LEN);
    }
    cycle[0] = first;
    if (len == WSPR_GRID4_LEN) {
        return 1;
    }
    WsprMessage second = {};
    second.type = WSPR_MSG_TYPE3;
    second.power_dbm = power_dbm;
    CallsignText(call, second.call);
    CopyText(second.locator, locator);
    cycle[1] = second;
    return 2;
}

// ---- Worked examples ----

constexpr WsprCallsign Parsed(const char *text) {
    WsprCallsign call = {};
    (void)ParseCallsign(text, &call);
    return call;
}

constexpr bool SameText(const char *a, const char *b) {
    for (; *a != '\0' && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}

// The payload left-aligned in 7 bytes, as the standard encoder prints it.
constexpr bool PayloadIs(WsprMsgType type, const char *call, const char *locator, uint8_t dbm,
                         const uint8_t (&bytes)[7]) {
    WsprMessage msg = {};
    msg.type = type;
    CopyText(msg.call, call);
    CopyText(msg.locator, locator);
    msg.power_dbm = dbm;
    WsprPayload p = {};
    if (!PackMessage(msg, &p)) {
        return false;
    }
    const uint64_t bits = ((static_cast<uint64_t>(p.n) << 22) | p.m) << 6;
    for (unsigned i = 0; i < 7U; ++i) {
        if (static_cast<uint8_t>(bits >> (48U - 8U * i)) != bytes[i]) {
            return false;
        }
    }
    return true;
}

static_assert(CallsignHash("K1ABC") == 6521U && CallsignHash("PJ4/K1ABC") == 19735U &&
              CallsignHash("K1ABC/P") == 12544U);
static_assert(AddonNumber(Parsed("PJ4/K1ABC")) == 34932U &&
              AddonNumber(Parsed("K1ABC/P")) == 60025U &&
              AddonNumber(Parsed("K1ABC/7")) == 60007U &&
              AddonNumber(Parsed("K1ABC/10")) == 60036U &&
              AddonNumber(Parsed("K1ABC/99")) == 60125U);
static_assert(PayloadIs(WSPR_MSG_TYPE1, "K1ABC", "FN42", 37,
                        {0xF7, 0x0C, 0x23, 0x8B, 0x0D, 0x19, 0x40}));
static_assert(PayloadIs(WSPR_MSG_TYPE2, "PJ4/K1ABC", "", 37,
                        {0xF7, 0x0C, 0x23, 0x81, 0x0E, 0x99, 0xC0}));
static_assert(PayloadIs(WSPR_MSG_TYPE2, "K1ABC/P", "", 37,
                        {0xF7, 0x0C, 0x23, 0x8D, 0x4F, 0x39, 0xC0}));
static_assert(PayloadIs(WSPR_MSG_TYPE2, "K1ABC/17", "", 37,
                        {0xF7, 0x0C, 0x23, 0x8D, 0x51, 0x79, 0xC0}));
static_assert(PayloadIs(WSPR_MSG_TYPE3, "PJ4/K1ABC", "FK52UD", 37,
                        {0x88, 0x24, 0x7C, 0x69, 0xA2, 0xE6, 0x80}));
static_assert(PayloadIs(WSPR_MSG_TYPE3, "K1ABC", "FN42AX", 37,
                        {0x9C, 0x36, 0xDB, 0x83, 0x2F, 0x26, 0x80}));
static_assert(PayloadIs(WSPR_MSG_TYPE3, "K1ABC/P", "FN42AX", 37,
                        {0x9C, 0x36, 0xDB, 0x86, 0x20, 0x06, 0x80}));

static_assert([] {
    WsprMessage cycle[WSPR_CYCLE_MAX] = {};
    return MessageCycle(Parsed("PJ4/QZ5RTV"), "OM85AB", 10U, cycle) == 2U &&
           cycle[0].type == WSPR_MSG_TYPE2 && SameText(cycle[0].call, "PJ4/QZ5RTV") &&
           cycle[0].locator[0] == '\0' && cycle[1].type == WSPR_MSG_TYPE3 &&
           SameText(cycle[1].call, "PJ4/QZ5RTV") && SameText(cycle[1].locator, "OM85AB");
}());
static_assert([] {
    WsprMessage cycle[WSPR_CYCLE_MAX] = {};
    return MessageCycle(Parsed("QZ5RTV"), "OM85AB", 10U, cycle) == 2U &&
           cycle[0].type == WSPR_MSG_TYPE1 && SameText(cycle[0].locator, "OM85") &&
           cycle[1].type == WSPR_MSG_TYPE3 && SameText(cycle[1].call, "QZ5RTV");
}());

} // namespace

WsprCallCheck WSPR_ParseCallsign(const char *text, WsprCallsign *out) {
    return ParseCallsign(text, out);
}

void WSPR_CallsignText(const WsprCallsign *call, char *out) {
    CallsignText(*call, out);
}

uint16_t WSPR_CallsignHash(const char *full_call) {
    return CallsignHash(full_call);
}

uint8_t WSPR_MessageCycle(const WsprCallsign *call, const char *locator, uint8_t power_dbm,
                          WsprMessage cycle[WSPR_CYCLE_MAX]) {
    return MessageCycle(*call, locator, power_dbm, cycle);
}

bool WSPR_PackMessage(const WsprMessage *message, WsprPayload *out) {
    return PackMessage(*message, out);
}

int WSPR_FormatMessage(const WsprMessage *m, char *out, size_t size) {
    const unsigned dbm = m->power_dbm;
    switch (m->type) {
    case WSPR_MSG_TYPE2:
        return snprintf(out, size, "%s %udBm", m->call, dbm);
    case WSPR_MSG_TYPE3:
        return snprintf(out, size, "<%s> %s %udBm", m->call, m->locator, dbm);
    default:
        return snprintf(out, size, "%s %s %udBm", m->call, m->locator, dbm);
    }
}
