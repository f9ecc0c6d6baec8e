// FST4W's message packing and channel coding against the protocol's worked example and, for some
// hundreds of messages of every type, against the tests' own encoder (fst4w_reference).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fst4w_encoder.h"
#include "fst4w_reference.h"

namespace {

// The protocol's test vector: K1ABC FN42 37.
const char *const k_vector_bits = "00001001101111011110001101010101000011001100101100";
const char *const k_vector_crc = "011000110101011110011011";
const char *const k_vector_symbols =
    "0132102300313221230211110020203201302123103201112313232323030132223312132210013210230003"
    "121120221323203311231211022310320110330000022101001223313221230101321023";

std::string BitText(uint64_t value, int width) {
    std::string s;
    for (int i = width - 1; i >= 0; --i) {
        s += ((value >> i) & 1U) != 0 ? '1' : '0';
    }
    return s;
}

std::string SymbolText(const WsprMessage &m) {
    uint8_t symbols[FST4W_SYMBOL_COUNT];
    if (!FST4W_EncodeMessage(&m, symbols)) {
        return "";
    }
    std::string s;
    for (uint8_t v : symbols) {
        s += static_cast<char>('0' + v);
    }
    return s;
}

WsprMessage Message(WsprMsgType type, const char *call, const char *locator, uint8_t dbm) {
    WsprMessage m{};
    m.type = type;
    std::snprintf(m.call, sizeof m.call, "%s", call);
    std::snprintf(m.locator, sizeof m.locator, "%s", locator);
    m.power_dbm = dbm;
    return m;
}

TEST(Fst4wEncoder, TheProtocolsTestVector) {
    const WsprMessage m = Message(WSPR_MSG_TYPE1, "K1ABC", "FN42", 37);
    uint64_t bits = 0;
    ASSERT_TRUE(FST4W_PackMessage(&m, &bits));
    EXPECT_EQ(BitText(bits, 50), k_vector_bits);
    EXPECT_EQ(BitText(FST4W_Crc24(bits), 24), k_vector_crc);
    EXPECT_EQ(SymbolText(m), k_vector_symbols);
    // The tests' own encoder agrees, so it can stand in for the vector below.
    EXPECT_EQ(fst4w_reference::MessageBits("K1ABC FN42 37"), k_vector_bits);
    EXPECT_EQ(fst4w_reference::CrcBits(k_vector_bits), k_vector_crc);
    EXPECT_EQ(fst4w_reference::Symbols("K1ABC FN42 37"), k_vector_symbols);
}

TEST(Fst4wEncoder, HashesAndPowerLevels) {
    EXPECT_EQ(FST4W_CallsignHash22("K1ABC"), 2920267U);
    EXPECT_EQ(FST4W_CallsignHash22("PJ4/K1ABC"), 1420834U);
    // Every level the beacon sends comes back as itself: receivers show round(p x 10 / 3).
    for (uint8_t dbm = 0; dbm <= 60; ++dbm) {
        const WsprMessage m = Message(WSPR_MSG_TYPE1, "K1ABC", "FN42", dbm);
        uint64_t bits = 0;
        if (!wspr_message::IsPowerLevel(dbm)) {
            EXPECT_FALSE(FST4W_PackMessage(&m, &bits)) << int{dbm};
            continue;
        }
        ASSERT_TRUE(FST4W_PackMessage(&m, &bits));
        const unsigned p = static_cast<unsigned>(bits >> 2) & 0x1FU;
        EXPECT_EQ((p * 10U + 1U) / 3U, dbm) << int{dbm};
    }
}

TEST(Fst4wEncoder, RefusesWhatItCannotPackAndLeavesTheSymbols) {
    const WsprMessage bad[] = {
        Message(WSPR_MSG_TYPE1, "K1ABC", "FN42", 38),
        Message(WSPR_MSG_TYPE1, "K1ABC", "FZ42", 37),
        Message(WSPR_MSG_TYPE1, "K1ABC", "FN42AB", 37),
        Message(WSPR_MSG_TYPE1, "KAABC", "FN42", 37),
        Message(WSPR_MSG_TYPE2, "K1ABC", "", 37),
        Message(WSPR_MSG_TYPE3, "K1ABC", "FN42AZ", 37),
        Message(static_cast<WsprMsgType>(4), "K1ABC", "FN42", 37),
    };
    for (const WsprMessage &m : bad) {
        SCOPED_TRACE(m.call + std::string(" ") + m.locator);
        uint8_t symbols[FST4W_SYMBOL_COUNT];
        std::memset(symbols, 9, sizeof symbols);
        EXPECT_FALSE(FST4W_EncodeMessage(&m, symbols));
        EXPECT_EQ(symbols[0], 9);
        EXPECT_EQ(symbols[FST4W_SYMBOL_COUNT - 1], 9);
    }
    EXPECT_FALSE(FST4W_EncodeMessage(nullptr, nullptr));
}

// Random callsigns (plain, with a prefix, with a suffix), 4- and 6-character locators and every
// power level, as the beacon's turn of frames carries them: each frame's symbols equal the
// reference encoder's for the message as a receiver prints it.
TEST(Fst4wEncoder, AgreesWithTheReferenceOnHundredsOfMessages) {
    uint64_t lcg = 2026;
    auto next = [&lcg](uint32_t n) {
        lcg = lcg * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>((lcg >> 33) % n);
    };
    const char *alnum = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    auto letter = [&] { return static_cast<char>('A' + next(26)); };
    auto digit = [&] { return static_cast<char>('0' + next(10)); };
    const uint8_t levels[] = {0,  3,  7,  10, 13, 17, 20, 23, 27, 30,
                              33, 37, 40, 43, 47, 50, 53, 57, 60};
    int compared = 0;
    for (int i = 0; i < 400; ++i) {
        std::string base;
        if (next(2) == 0) {
            base += letter();
        } else {
            base += alnum[next(36)];
            base += letter();
        }
        base += digit();
        for (uint32_t k = 1 + next(3); k > 0; --k) {
            base += letter();
        }
        std::string full = base;
        switch (next(5)) {
        case 0: {
            std::string pfx;
            for (uint32_t k = 1 + next(3); k > 0; --k) {
                pfx += alnum[next(36)];
            }
            full = pfx + "/" + base;
            break;
        }
        case 1:
            full = base + "/" + alnum[next(36)];
            break;
        case 2:
            full = base + "/" + std::to_string(10 + next(90));
            break;
        default:
            break;
        }
        std::string locator = {static_cast<char>('A' + next(18)), static_cast<char>('A' + next(18)),
                               digit(), digit()};
        if (next(2) == 0) {
            locator += static_cast<char>('A' + next(24));
            locator += static_cast<char>('A' + next(24));
        }
        const uint8_t dbm = levels[next(sizeof levels)];
        WsprCallsign call{};
        ASSERT_EQ(WSPR_ParseCallsign(full.c_str(), &call), WSPR_CALL_OK) << full;
        WsprMessage cycle[WSPR_CYCLE_MAX];
        const uint8_t count = WSPR_MessageCycle(&call, locator.c_str(), dbm, cycle);
        ASSERT_GE(count, 1U);
        for (uint8_t f = 0; f < count; ++f) {
            const WsprMessage &m = cycle[f];
            std::string text;
            switch (m.type) {
            case WSPR_MSG_TYPE1:
                text = std::string(m.call) + " " + m.locator + " " + std::to_string(dbm);
                break;
            case WSPR_MSG_TYPE2:
                text = std::string(m.call) + " " + std::to_string(dbm);
                break;
            case WSPR_MSG_TYPE3:
                text = "<" + std::string(m.call) + "> " + m.locator;
                break;
            }
            SCOPED_TRACE(text);
            const std::string want = fst4w_reference::Symbols(text);
            ASSERT_EQ(want.size(), FST4W_SYMBOL_COUNT);
            EXPECT_EQ(SymbolText(m), want);
            ++compared;
        }
    }
    EXPECT_GE(compared, 400);
}

} // namespace
