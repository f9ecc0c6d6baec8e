/* FST4W's message packing and channel coding: 50 bits, CRC-24, the LDPC parity, Gray-coded 4-FSK
 * with the four sync blocks. The codeword's bits are worked out as each symbol needs them, so the
 * only state is the 74 bits of message and CRC. */
#include "fst4w_encoder.h"

#include "fst4w_ldpc_generator.h"

using wspr_message::CharValue;
using wspr_message::IsDigit;

namespace {

constexpr uint32_t N28_OFFSET = 2063592U + 4194304U; /* past the special and hashed callsigns */
constexpr uint32_t SUFFIX_BASE = 46656U;             /* 36^3: above every prefix */
constexpr uint64_t HASH_MULTIPLIER = 47055833459ULL;
constexpr unsigned HASH_SHIFT = 64U - 22U;
constexpr unsigned HASH_CALL_PLACES = 11U;
constexpr uint32_t GRID6_NO_SUBSQUARE = 24U;
constexpr uint32_t CRC_POLY = 0x100065BU;
constexpr unsigned DATA_BITS = FST4W_MESSAGE_BITS + FST4W_CRC_BITS; /* 74 */
constexpr unsigned PARITY_BITS = FST4W_CODEWORD_BITS - DATA_BITS;   /* 166 */
static_assert(PARITY_BITS == fst4w_ldpc::ROWS && DATA_BITS <= 8U * fst4w_ldpc::ROW_BYTES);

/* The frame: S1 D30 S2 D30 S1 D30 S2 D30 S1. */
constexpr unsigned SYNC_LEN = 8U;
constexpr unsigned DATA_BLOCK = 30U;
constexpr uint8_t SYNC1[SYNC_LEN] = {0, 1, 3, 2, 1, 0, 2, 3};
constexpr uint8_t SYNC2[SYNC_LEN] = {2, 3, 1, 0, 3, 2, 0, 1};
static_assert(5U * SYNC_LEN + 4U * DATA_BLOCK == FST4W_SYMBOL_COUNT);
static_assert(4U * DATA_BLOCK * 2U == FST4W_CODEWORD_BITS);

/* The 28-bit callsign number: six places, area digit third, i1 over " 0-9A-Z", i2 over "0-9A-Z",
 * i3 a digit, i4..i6 over " A-Z". */
constexpr bool PackCall28(const char *callsign, uint32_t &n28) {
    char c[wspr_message::CALLSIGN_PLACES] = {};
    if (!wspr_message::NormalizeCallsign(callsign, c)) {
        return false;
    }
    const int v0 = CharValue(c[0]), v1 = CharValue(c[1]);
    if (v0 < 0 || v1 < 0 || v1 > 35 || !IsDigit(c[2])) {
        return false;
    }
    uint32_t n = c[0] == ' ' ? 0U : static_cast<uint32_t>(v0) + 1U;
    n = n * 36U + static_cast<uint32_t>(v1);
    n = n * 10U + static_cast<uint32_t>(c[2] - '0');
    for (unsigned k = 3; k < wspr_message::CALLSIGN_PLACES; ++k) {
        if (c[k] != ' ' && (c[k] < 'A' || c[k] > 'Z')) {
            return false;
        }
        n = n * 27U + (c[k] == ' ' ? 0U : static_cast<uint32_t>(c[k] - 'A') + 1U);
    }
    n28 = N28_OFFSET + n;
    return true;
}

constexpr uint32_t Power5(uint8_t dbm) {
    return (3U * dbm + 5U) / 10U; /* round(0.3 dBm) */
}

constexpr unsigned Length(const char *s) {
    unsigned n = 0;
    while (s[n] != '\0') {
        ++n;
    }
    return n;
}

/* The add-on of a compound callsign: a prefix of 1 to 3 characters in base 36, a suffix (one
 * character, or two) in base 36 above every prefix, as receivers read them. */
constexpr bool PackAddOn(const WsprCallsign &call, uint32_t &npfx) {
    const bool prefix = call.prefix[0] != '\0';
    const char *text = prefix ? call.prefix : call.suffix;
    const unsigned len = Length(text);
    if (len == 0U || len > (prefix ? 3U : 2U)) {
        return false;
    }
    uint32_t v = 0;
    for (unsigned i = 0; i < len; ++i) {
        const int c = CharValue(text[i]);
        if (c < 0 || c > 35) {
            return false;
        }
        v = v * 36U + static_cast<uint32_t>(c);
    }
    npfx = prefix ? v : SUFFIX_BASE + v;
    return true;
}

constexpr uint32_t Hash22(const char *full_call) {
    constexpr char ALPHABET[] = " 0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ/";
    uint64_t n = 0;
    bool ended = false;
    for (unsigned i = 0; i < HASH_CALL_PLACES; ++i) {
        ended = ended || full_call[i] == '\0';
        const char c = ended ? ' ' : wspr_message::ToUpper(full_call[i]);
        uint64_t index = 0;
        while (ALPHABET[index] != '\0' && ALPHABET[index] != c) {
            ++index;
        }
        n = n * 38U + (ALPHABET[index] == '\0' ? 0U : index);
    }
    return static_cast<uint32_t>((HASH_MULTIPLIER * n) >> HASH_SHIFT);
}

constexpr bool Grid4(const char *loc, uint32_t &g) {
    if (Length(loc) < 4U || loc[0] < 'A' || loc[0] > 'R' || loc[1] < 'A' || loc[1] > 'R' ||
        !IsDigit(loc[2]) || !IsDigit(loc[3])) {
        return false;
    }
    g = static_cast<uint32_t>(loc[0] - 'A') * 1800U + static_cast<uint32_t>(loc[1] - 'A') * 100U +
        static_cast<uint32_t>(loc[2] - '0') * 10U + static_cast<uint32_t>(loc[3] - '0');
    return true;
}

constexpr bool Grid6(const char *loc, uint32_t &g) {
    uint32_t g4 = 0;
    if (!Grid4(loc, g4)) {
        return false;
    }
    uint32_t l5 = GRID6_NO_SUBSQUARE, l6 = GRID6_NO_SUBSQUARE;
    if (loc[4] != '\0') {
        if (loc[4] < 'A' || loc[4] > 'X' || loc[5] < 'A' || loc[5] > 'X' || loc[6] != '\0') {
            return false;
        }
        l5 = static_cast<uint32_t>(loc[4] - 'A');
        l6 = static_cast<uint32_t>(loc[5] - 'A');
    }
    g = static_cast<uint32_t>(loc[0] - 'A') * 1125000U +
        static_cast<uint32_t>(loc[1] - 'A') * 62500U + static_cast<uint32_t>(loc[2] - '0') * 6250U +
        static_cast<uint32_t>(loc[3] - '0') * 625U + l5 * 25U + l6;
    return true;
}

constexpr bool Pack(const WsprMessage &msg, uint64_t &bits) {
    if (!wspr_message::IsPowerLevel(msg.power_dbm)) {
        return false;
    }
    uint32_t n28 = 0, g = 0;
    switch (msg.type) {
    case WSPR_MSG_TYPE1:
        if (!PackCall28(msg.call, n28) || Length(msg.locator) != 4U || !Grid4(msg.locator, g)) {
            return false;
        }
        bits = (uint64_t{n28} << 22) | (uint64_t{g} << 7) | (Power5(msg.power_dbm) << 2);
        return true;
    case WSPR_MSG_TYPE2: {
        WsprCallsign call = {};
        uint32_t npfx = 0;
        if (WSPR_ParseCallsign(msg.call, &call) != WSPR_CALL_OK || !PackCall28(call.base, n28) ||
            !PackAddOn(call, npfx)) {
            return false;
        }
        bits = (uint64_t{n28} << 22) | (uint64_t{npfx} << 6) | (Power5(msg.power_dbm) << 1) | 1U;
        return true;
    }
    case WSPR_MSG_TYPE3:
        if (!Grid6(msg.locator, g)) {
            return false;
        }
        bits = (uint64_t{Hash22(msg.call)} << 28) | (uint64_t{g} << 3) | 2U;
        return true;
    }
    return false;
}

constexpr uint32_t Crc24(uint64_t bits) {
    uint32_t reg = 0;
    for (unsigned i = 0; i < DATA_BITS; ++i) {
        const uint32_t in = i < FST4W_MESSAGE_BITS
                                ? static_cast<uint32_t>(bits >> (FST4W_MESSAGE_BITS - 1U - i)) & 1U
                                : 0U;
        reg = (reg << 1) | in;
        if ((reg >> FST4W_CRC_BITS) & 1U) {
            reg ^= CRC_POLY;
        }
    }
    return reg;
}

/* The 74 bits of message and CRC, left-aligned in the generator's row layout. */
struct DataBits {
    uint8_t byte[fst4w_ldpc::ROW_BYTES];
};

constexpr DataBits MakeData(uint64_t bits) {
    DataBits d{};
    const uint32_t crc = Crc24(bits);
    for (unsigned i = 0; i < DATA_BITS; ++i) {
        const unsigned bit = i < FST4W_MESSAGE_BITS
                                 ? static_cast<unsigned>(bits >> (FST4W_MESSAGE_BITS - 1U - i)) & 1U
                                 : static_cast<unsigned>(crc >> (DATA_BITS - 1U - i)) & 1U;
        d.byte[i / 8U] = static_cast<uint8_t>(d.byte[i / 8U] | (bit << (7U - i % 8U)));
    }
    return d;
}

constexpr unsigned Parity8(uint8_t v) {
    v = static_cast<uint8_t>(v ^ (v >> 4));
    return (0x6996U >> (v & 0x0FU)) & 1U;
}

/* Codeword bit j: the data bits, then the parity bits. */
constexpr unsigned CodeBit(const DataBits &d, unsigned j) {
    if (j < DATA_BITS) {
        return (d.byte[j / 8U] >> (7U - j % 8U)) & 1U;
    }
    const uint8_t *row = fst4w_ldpc::k_generator[j - DATA_BITS];
    uint8_t acc = 0;
    for (unsigned b = 0; b < fst4w_ldpc::ROW_BYTES; ++b) {
        acc = static_cast<uint8_t>(acc ^ (row[b] & d.byte[b]));
    }
    return Parity8(acc);
}

constexpr void BuildSymbols(uint64_t bits, uint8_t symbols[FST4W_SYMBOL_COUNT]) {
    constexpr uint8_t GRAY[4] = {0, 1, 3, 2}; /* bit pair 00 01 10 11 -> tone */
    const DataBits d = MakeData(bits);
    unsigned out = 0, data = 0;
    for (unsigned block = 0; block < 5U; ++block) {
        const uint8_t *sync = block % 2U == 0U ? SYNC1 : SYNC2;
        for (unsigned k = 0; k < SYNC_LEN; ++k) {
            symbols[out++] = sync[k];
        }
        for (unsigned k = 0; block < 4U && k < DATA_BLOCK; ++k, ++data) {
            symbols[out++] = GRAY[2U * CodeBit(d, 2U * data) + CodeBit(d, 2U * data + 1U)];
        }
    }
}

/* The protocol's worked example, K1ABC FN42 37. */
constexpr WsprMessage K1ABC = {WSPR_MSG_TYPE1, "K1ABC", "FN42", 37};
static_assert([] {
    uint64_t bits = 0;
    return Pack(K1ABC, bits) && bits == 0b00001001101111011110001101010101000011001100101100ULL &&
           Crc24(bits) == 0b011000110101011110011011U;
}());
static_assert([] {
    constexpr uint8_t expected[24] = {0, 1, 3, 2, 1, 0, 2, 3, 0, 0, 3, 1,
                                      3, 2, 2, 1, 2, 3, 0, 2, 1, 1, 1, 1};
    uint64_t bits = 0;
    uint8_t symbols[FST4W_SYMBOL_COUNT] = {};
    if (!Pack(K1ABC, bits)) {
        return false;
    }
    BuildSymbols(bits, symbols);
    for (unsigned k = 0; k < 24U; ++k) {
        if (symbols[k] != expected[k]) {
            return false;
        }
    }
    return symbols[159] == 3U;
}());
static_assert(Hash22("K1ABC") == 2920267U && Hash22("PJ4/K1ABC") == 1420834U);

} // namespace

bool FST4W_PackMessage(const WsprMessage *message, uint64_t *bits) {
    uint64_t b = 0;
    if (message == nullptr || bits == nullptr || !Pack(*message, b)) {
        return false;
    }
    *bits = b;
    return true;
}

uint32_t FST4W_Crc24(uint64_t bits) {
    return Crc24(bits);
}

uint32_t FST4W_CallsignHash22(const char *full_call) {
    return full_call == nullptr ? 0U : Hash22(full_call);
}

bool FST4W_EncodeMessage(const WsprMessage *message, uint8_t symbols[FST4W_SYMBOL_COUNT]) {
    uint64_t bits = 0;
    if (message == nullptr || symbols == nullptr || !Pack(*message, bits)) {
        return false;
    }
    BuildSymbols(bits, symbols);
    return true;
}
