#include "wspr_encoder.h"

using namespace wspr_encoder;

namespace {

constexpr unsigned CALLSIGN_BITS = 28U;
constexpr unsigned LOCATOR_POWER_BITS = 22U;
constexpr unsigned TAIL_BITS = 31U; // flush the 32-bit shift register back to zero
constexpr unsigned PACKED_BITS = CALLSIGN_BITS + LOCATOR_POWER_BITS + TAIL_BITS;
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

/* Channel coding of the packed message: convolutional code, bit-reversal interleaving, and the
 * sync vector as each symbol's low bit. The symbols are written only once the frame is complete. */
constexpr bool BuildSymbols(uint32_t n, uint32_t m, uint8_t symbols[WSPR_SYMBOL_COUNT]) {
    uint8_t packed[PACKED_BITS] = {};
    for (unsigned i = 0; i < CALLSIGN_BITS; ++i) {
        packed[i] = static_cast<uint8_t>((n >> (CALLSIGN_BITS - 1U - i)) & 1U);
    }
    for (unsigned i = 0; i < LOCATOR_POWER_BITS; ++i) {
        packed[CALLSIGN_BITS + i] = static_cast<uint8_t>((m >> (LOCATOR_POWER_BITS - 1U - i)) & 1U);
    }

    uint8_t coded[WSPR_SYMBOL_COUNT] = {};
    uint32_t shift_reg = 0;
    for (unsigned i = 0; i < PACKED_BITS; ++i) {
        shift_reg = (shift_reg << 1) | packed[i];
        coded[2UL * i] = Parity32(shift_reg & WSPR_POLY_0);
        coded[2UL * i + 1U] = Parity32(shift_reg & WSPR_POLY_1);
    }

    uint8_t interleaved[WSPR_SYMBOL_COUNT] = {};
    unsigned p = 0;
    for (unsigned i = 0; i < 256U && p < WSPR_SYMBOL_COUNT; ++i) {
        const uint8_t j = BitReverse8(static_cast<uint8_t>(i));
        if (j < WSPR_SYMBOL_COUNT) {
            interleaved[j] = coded[p];
            ++p;
        }
    }
    if (p != WSPR_SYMBOL_COUNT) {
        return false;
    }

    for (unsigned k = 0; k < WSPR_SYMBOL_COUNT; ++k) {
        symbols[k] = static_cast<uint8_t>(k_sync[k] + 2U * interleaved[k]);
    }
    return true;
}

constexpr bool Encode(const char *callsign, const char *locator, uint8_t power_dbm,
                      uint8_t symbols[WSPR_SYMBOL_COUNT]) {
    uint32_t n = 0;
    uint32_t m = 0;
    // The locator and power are not examined when the callsign fails.
    if (symbols == nullptr || !PackCallsign(callsign, &n) ||
        !PackLocatorPower(locator, power_dbm, &m)) {
        return false;
    }
    return BuildSymbols(n, m, symbols);
}

static_assert(Parity32(0U) == 0U && Parity32(0x80000000UL) == 1U && Parity32(0xFFFFFFFFUL) == 0U);
static_assert(BitReverse8(0x01U) == 0x80U && BitReverse8(0x0FU) == 0xF0U &&
              BitReverse8(0xA1U) == 0x85U);

// The default message QZ5RTV OM85 10 dBm.
static_assert([] {
    uint32_t n = 0;
    return PackCallsign("QZ5RTV", &n) && n == 191233272UL;
}());
static_assert([] {
    uint32_t m = 0;
    return PackLocatorPower("OM85", 10U, &m) && m == 730314UL;
}());
static_assert([] {
    constexpr uint8_t expected[16] = {3, 1, 2, 2, 0, 2, 2, 0, 1, 2, 0, 2, 3, 1, 3, 0};
    uint8_t symbols[WSPR_SYMBOL_COUNT] = {};
    if (!Encode("QZ5RTV", "OM85", 10U, symbols)) {
        return false;
    }
    for (unsigned k = 0; k < 16U; ++k) {
        if (symbols[k] != expected[k]) {
            return false;
        }
    }
    return true;
}());

} // namespace

bool WSPR_Encode(const char *callsign, const char *locator, uint8_t power_dbm,
                 uint8_t symbols[WSPR_SYMBOL_COUNT]) {
    return Encode(callsign, locator, power_dbm, symbols);
}
