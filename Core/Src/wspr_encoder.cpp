#include "wspr_encoder.h"

using namespace wspr_encoder;

namespace {

constexpr unsigned CALLSIGN_BITS = 28U;
constexpr unsigned LOCATOR_POWER_BITS = 22U;
constexpr unsigned MESSAGE_BITS = CALLSIGN_BITS + LOCATOR_POWER_BITS;
constexpr unsigned TAIL_BITS = 31U; // flush the 32-bit shift register back to zero
constexpr unsigned PACKED_BITS = MESSAGE_BITS + TAIL_BITS;
static_assert(2U * PACKED_BITS == WSPR_SYMBOL_COUNT);

constexpr uint8_t Parity32(uint32_t v) {
    v ^= v >> 16;
    v ^= v >> 8;
    v ^= v >> 4;
    v &= 0xFU;
    return static_cast<uint8_t>((0x6996U >> v) & 1U);
}

constexpr uint8_t BitReverse8(uint8_t v) {
    v = static_cast<uint8_t>((v >> 4) | (v << 4));
    v = static_cast<uint8_t>(((v >> 2) & 0x33U) | ((v << 2) & 0xCCU));
    v = static_cast<uint8_t>(((v >> 1) & 0x55U) | ((v << 1) & 0xAAU));
    return v;
}

// Exactly WSPR_SYMBOL_COUNT of the 256 bit-reversed bytes lie below it: the interleaver places
// every coded bit and fills every symbol.
static_assert([] {
    unsigned below = 0;
    for (unsigned i = 0; i < 256U; ++i) {
        below += BitReverse8(static_cast<uint8_t>(i)) < WSPR_SYMBOL_COUNT ? 1U : 0U;
    }
    return below == WSPR_SYMBOL_COUNT;
}());

// Bit `i` of the packed message: N and M most significant bit first, then the zero tail.
constexpr uint32_t PackedBit(const WsprPayload &p, unsigned i) {
    if (i < CALLSIGN_BITS) {
        return (p.n >> (CALLSIGN_BITS - 1U - i)) & 1U;
    }
    if (i < MESSAGE_BITS) {
        return (p.m >> (MESSAGE_BITS - 1U - i)) & 1U;
    }
    return 0U;
}

// Convolutional code, bit-reversal interleaving and the sync vector as each symbol's low bit. Each
// coded bit goes straight to its interleaved place: no working arrays on the stack.
constexpr void BuildSymbols(const WsprPayload &p, uint8_t symbols[WSPR_SYMBOL_COUNT]) {
    constexpr uint32_t polys[2] = {WSPR_POLY_0, WSPR_POLY_1};
    uint32_t shift_reg = 0;
    unsigned order = 0; // runs through the bytes whose reversal is the next place
    for (unsigned i = 0; i < PACKED_BITS; ++i) {
        shift_reg = (shift_reg << 1) | PackedBit(p, i);
        for (const uint32_t poly : polys) {
            uint8_t j = BitReverse8(static_cast<uint8_t>(order++));
            while (j >= WSPR_SYMBOL_COUNT) {
                j = BitReverse8(static_cast<uint8_t>(order++));
            }
            symbols[j] = static_cast<uint8_t>(k_sync[j] + 2U * Parity32(shift_reg & poly));
        }
    }
}

bool EncodeMessage(const WsprMessage &message, uint8_t symbols[WSPR_SYMBOL_COUNT]) {
    WsprPayload p = {};
    if (symbols == nullptr || !WSPR_PackMessage(&message, &p)) {
        return false;
    }
    BuildSymbols(p, symbols);
    return true;
}

static_assert(Parity32(0U) == 0U && Parity32(0x80000000UL) == 1U && Parity32(0xFFFFFFFFUL) == 0U);
static_assert(BitReverse8(0x01U) == 0x80U && BitReverse8(0x0FU) == 0xF0U &&
              BitReverse8(0xA1U) == 0x85U);

// The default message QZ5RTV OM85 10 dBm.
static_assert([] {
    uint32_t n = 0;
    return wspr_message::PackCallsign("QZ5RTV", &n) && n == 191233272UL;
}());
static_assert([] {
    uint32_t m = 0;
    return wspr_message::PackLocatorPower("OM85", 10U, &m) && m == 730314UL;
}());
static_assert([] {
    constexpr uint8_t expected[16] = {3, 1, 2, 2, 0, 2, 2, 0, 1, 2, 0, 2, 3, 1, 3, 0};
    uint8_t symbols[WSPR_SYMBOL_COUNT] = {};
    BuildSymbols({191233272UL, 730314UL}, symbols);
    for (unsigned k = 0; k < 16U; ++k) {
        if (symbols[k] != expected[k]) {
            return false;
        }
    }
    return true;
}());

} // namespace

void WSPR_EncodePayload(const WsprPayload *payload, uint8_t symbols[WSPR_SYMBOL_COUNT]) {
    BuildSymbols(*payload, symbols);
}

bool WSPR_EncodeMessage(const WsprMessage *message, uint8_t symbols[WSPR_SYMBOL_COUNT]) {
    return message != nullptr && EncodeMessage(*message, symbols);
}

bool WSPR_Encode(const char *callsign, const char *locator, uint8_t power_dbm,
                 uint8_t symbols[WSPR_SYMBOL_COUNT]) {
    uint32_t n = 0;
    uint32_t m = 0;
    // The locator and power are not examined when the callsign fails.
    if (symbols == nullptr || !wspr_message::PackCallsign(callsign, &n) ||
        !wspr_message::PackLocatorPower(locator, power_dbm, &m)) {
        return false;
    }
    BuildSymbols({n, m}, symbols);
    return true;
}
