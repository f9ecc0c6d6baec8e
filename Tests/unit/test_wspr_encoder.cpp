#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "wspr_encoder.h"

using namespace wspr_encoder;
using namespace wspr_message;

namespace {

using Symbols = std::array<uint8_t, WSPR_SYMBOL_COUNT>;

struct Frame {
    std::string call, locator;
    int power_dbm;
    std::string symbols; // one digit per symbol
};

std::vector<Frame> LoadReferenceFrames() {
    std::vector<Frame> frames;
    std::ifstream in(WSPR_TEST_DATA_DIR "/wspr/vectors.txt");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        Frame f;
        std::istringstream(line) >> f.call >> f.locator >> f.power_dbm >> f.symbols;
        frames.push_back(f);
    }
    return frames;
}

TEST(WsprEncoder, MatchesEveryReferenceFrame) {
    const std::vector<Frame> frames = LoadReferenceFrames();
    ASSERT_EQ(frames.size(), 40U);
    for (const Frame &f : frames) {
        SCOPED_TRACE(f.call + " " + f.locator + " " + std::to_string(f.power_dbm));
        ASSERT_EQ(f.symbols.size(), WSPR_SYMBOL_COUNT);
        Symbols s{};
        ASSERT_TRUE(WSPR_Encode(f.call.c_str(), f.locator.c_str(),
                                static_cast<uint8_t>(f.power_dbm), s.data()));
        for (unsigned k = 0; k < WSPR_SYMBOL_COUNT; ++k) {
            ASSERT_EQ(s[k], f.symbols[k] - '0') << "symbol " << k;
        }
    }
}

struct CallCase {
    const char *input;
    const char *normalized; // nullptr: refused
    uint32_t n;
};

TEST(WsprEncoder, PacksAndRefusesCallsigns) {
    const CallCase cases[] = {
        {"QZ5RTV", "QZ5RTV", 191233272},
        {"qz5rtv", "QZ5RTV", 191233272},
        {"Q5RTV", " Q5RTV", 260320602},
        {"q5rtv", " Q5RTV", 260320602},
        {" Q5RTV", " Q5RTV", 260320602},
        {"Q5", " Q5   ", 260327357},
        {"A1", " A1   ", 257099345},
        {"QZ5 TV", "QZ5 TV", 191239833},
        {"1A5BC", "1A5BC ", 9153404},
        {"ZZ9ZZZ", "ZZ9ZZZ", 255090922},
        {"Q5RTVX", nullptr, 0}, // would need seven places and send ' Q5RTV' instead
        {"Q5RTV ", nullptr, 0},
        {"QZ5RTVX", nullptr, 0},
        {"", nullptr, 0},
        {"Q", nullptr, 0},
        {"QZ", nullptr, 0},
        {"ABCDE1", nullptr, 0},
        {"Q/5RTV", nullptr, 0},
        {"Q 5RTV", nullptr, 0},    // space second
        {"QZ5R1V", nullptr, 0},    // digit in the suffix
        {"   0", nullptr, 0},      // space second after padding
        {"QZ5\xC9TV", nullptr, 0}, // bytes above 127 are not letters
    };
    for (const CallCase &c : cases) {
        SCOPED_TRACE(std::string("'") + c.input + "'");
        uint32_t n = 0xDEADBEEF;
        const bool packed = PackCallsign(c.input, &n);
        ASSERT_EQ(packed, c.normalized != nullptr);
        if (packed) {
            char out[CALLSIGN_PLACES];
            ASSERT_TRUE(NormalizeCallsign(c.input, out));
            EXPECT_EQ(std::string(out, CALLSIGN_PLACES), c.normalized);
            EXPECT_EQ(n, c.n);
            EXPECT_LT(n, 1UL << 28);
        } else {
            EXPECT_EQ(n, 0xDEADBEEF) << "N written on failure";
        }
    }
}

TEST(WsprEncoder, PacksAndRefusesLocators) {
    const struct {
        const char *locator;
        uint8_t power_dbm;
        int64_t m; // -1: refused
    } cases[] = {
        {"OM85", 10, 730314}, {"om85", 10, 730314},  {"OM85XY", 10, 730314}, {"AR09", 60, 4147196},
        {"RA90", 0, 64},      {"JO01", 37, 2068709}, {"SM85", 10, -1},       {"OS85", 10, -1},
        {"@M85", 10, -1},     {"OM8X", 10, -1},      {"OM8", 10, -1},        {"", 10, -1},
        {"OM 5", 10, -1},     {"OM85", 61, -1},      {"OM85", 255, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("'") + c.locator + "' " + std::to_string(c.power_dbm));
        uint32_t m = 0xDEADBEEF;
        ASSERT_EQ(PackLocatorPower(c.locator, c.power_dbm, &m), c.m >= 0);
        EXPECT_EQ(m, c.m >= 0 ? static_cast<uint32_t>(c.m) : 0xDEADBEEF);
    }
}

TEST(WsprEncoder, PacksOnlyTheProtocolsPowerLevels) {
    const std::vector<int> levels = {0,  3,  7,  10, 13, 17, 20, 23, 27, 30,
                                     33, 37, 40, 43, 47, 50, 53, 57, 60};
    uint32_t m0 = 0;
    ASSERT_TRUE(PackLocatorPower("OM85", 0, &m0));
    for (int p = 0; p <= 255; ++p) {
        const bool level = std::find(levels.begin(), levels.end(), p) != levels.end();
        uint32_t m = 0;
        EXPECT_EQ(PackLocatorPower("OM85", static_cast<uint8_t>(p), &m), level) << p << " dBm";
        if (level) {
            EXPECT_EQ(m, m0 + static_cast<uint32_t>(p)) << "power enters M unchanged";
        }
    }
}

TEST(WsprEncoder, SymbolsCarryTheSyncVectorInTheirLowBit) {
    const struct {
        const char *call, *locator;
        uint8_t power_dbm;
    } messages[] = {{"QZ5RTV", "OM85", 10},
                    {"ZZ9ZZZ", "AR09", 60},
                    {"Q5", "RA90", 0},
                    {"QZ5 TV", "rr99", 37},
                    {"A1", "aa00", 3}};
    for (const auto &msg : messages) {
        SCOPED_TRACE(msg.call);
        Symbols s{};
        ASSERT_TRUE(WSPR_Encode(msg.call, msg.locator, msg.power_dbm, s.data()));
        for (unsigned k = 0; k < WSPR_SYMBOL_COUNT; ++k) {
            ASSERT_LE(s[k], 3U) << "symbol " << k;
            ASSERT_EQ(s[k] & 1U, k_sync[k]) << "symbol " << k;
        }
    }
}

TEST(WsprEncoder, RefusalLeavesTheSymbolsUntouched) {
    const struct {
        const char *call, *locator;
        uint8_t power_dbm;
    } refused[] = {{"Q5RTVX", "OM85", 10}, {"QZ5RTV", "OM85", 11}, {"QZ5RTV", "SM85", 10},
                   {"QZ5RTV", "OM85", 61}, {"", "OM85", 10},       {nullptr, "OM85", 10},
                   {"QZ5RTV", nullptr, 10}};
    for (const auto &msg : refused) {
        SCOPED_TRACE(msg.call ? msg.call : "(null)");
        Symbols s;
        s.fill(0xA5);
        EXPECT_FALSE(WSPR_Encode(msg.call, msg.locator, msg.power_dbm, s.data()));
        for (uint8_t v : s) {
            ASSERT_EQ(v, 0xA5);
        }
    }
    EXPECT_FALSE(WSPR_Encode("QZ5RTV", "OM85", 10, nullptr));
}

} // namespace
