// Message packing of all three types: the callsign forms taken and refused, the hash, and the
// payloads and channel symbols against the standard encoder (wsprcode, from the wsjtx package).
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "wspr_encoder.h"
#include "wspr_message.h"

namespace {

WsprMessage Message(WsprMsgType type, const std::string &call, const std::string &locator,
                    uint8_t dbm) {
    WsprMessage m = {};
    m.type = type;
    std::snprintf(m.call, sizeof m.call, "%s", call.c_str());
    std::snprintf(m.locator, sizeof m.locator, "%s", locator.c_str());
    m.power_dbm = dbm;
    return m;
}

// The 50 bits left-aligned in 7 bytes, as wsprcode prints them.
std::string Hex(const WsprPayload &p) {
    const uint64_t bits = ((static_cast<uint64_t>(p.n) << 22) | p.m) << 6;
    std::string out;
    for (int i = 0; i < 7; ++i) {
        char b[4];
        std::snprintf(b, sizeof b, i == 0 ? "%02X" : " %02X",
                      static_cast<unsigned>((bits >> (48 - 8 * i)) & 0xFF));
        out += b;
    }
    return out;
}

TEST(WsprMessage, HashTestVectors) {
    EXPECT_EQ(WSPR_CallsignHash("K1ABC"), 6521);
    EXPECT_EQ(WSPR_CallsignHash("PJ4/K1ABC"), 19735);
    EXPECT_EQ(WSPR_CallsignHash("K1ABC/P"), 12544);
}

TEST(WsprMessage, PayloadTestVectors) {
    struct Case {
        WsprMsgType type;
        const char *call, *locator, *hex;
    };
    for (const Case &c : {
             Case{WSPR_MSG_TYPE1, "K1ABC", "FN42", "F7 0C 23 8B 0D 19 40"},
             Case{WSPR_MSG_TYPE2, "PJ4/K1ABC", "", "F7 0C 23 81 0E 99 C0"},
             Case{WSPR_MSG_TYPE2, "K1ABC/P", "", "F7 0C 23 8D 4F 39 C0"},
             Case{WSPR_MSG_TYPE2, "K1ABC/17", "", "F7 0C 23 8D 51 79 C0"},
             Case{WSPR_MSG_TYPE3, "PJ4/K1ABC", "FK52UD", "88 24 7C 69 A2 E6 80"},
             Case{WSPR_MSG_TYPE3, "K1ABC", "FN42AX", "9C 36 DB 83 2F 26 80"},
             Case{WSPR_MSG_TYPE3, "K1ABC/P", "FN42AX", "9C 36 DB 86 20 06 80"},
         }) {
        WsprPayload p = {};
        const WsprMessage m = Message(c.type, c.call, c.locator, 37);
        ASSERT_TRUE(WSPR_PackMessage(&m, &p)) << c.call;
        EXPECT_EQ(Hex(p), c.hex) << c.call;
    }
}

TEST(WsprMessage, SplitsCallsignsAndSaysWhatIsWrong) {
    struct Case {
        const char *text;
        WsprCallCheck check;
        const char *prefix, *base, *suffix;
    };
    for (const Case &c : {
             Case{"QZ5RTV", WSPR_CALL_OK, "", "QZ5RTV", ""},
             Case{"PJ4/QZ5RTV", WSPR_CALL_OK, "PJ4", "QZ5RTV", ""},
             Case{"P/K1ABC", WSPR_CALL_OK, "P", "K1ABC", ""},
             Case{"4/K1ABC", WSPR_CALL_OK, "4", "K1ABC", ""},
             Case{"QZ5RTV/P", WSPR_CALL_OK, "", "QZ5RTV", "P"},
             Case{"QZ5RTV/7", WSPR_CALL_OK, "", "QZ5RTV", "7"},
             Case{"QZ5RTV/10", WSPR_CALL_OK, "", "QZ5RTV", "10"},
             Case{"QZ5RTV/99", WSPR_CALL_OK, "", "QZ5RTV", "99"},
             Case{"ABCD/QZ5RTV", WSPR_CALL_BAD_PREFIX, "", "", ""},
             Case{"/QZ5RTV", WSPR_CALL_BAD_PREFIX, "", "", ""},
             Case{"P-4/QZ5RTV", WSPR_CALL_BAD_PREFIX, "", "", ""},
             Case{"QZ5RTV/", WSPR_CALL_BAD_SUFFIX, "", "", ""},
             Case{"QZ5RTV/PP", WSPR_CALL_BAD_SUFFIX, "", "", ""},
             Case{"QZ5RTV/1A", WSPR_CALL_BAD_SUFFIX, "", "", ""},
             Case{"QZ5RTV/05", WSPR_CALL_BAD_SUFFIX, "", "", ""},
             Case{"QZ5RTV/-", WSPR_CALL_BAD_SUFFIX, "", "", ""},
             Case{"PJ4/QZ5RTV/P", WSPR_CALL_TWO_ADDONS, "", "", ""},
             Case{"QZ5RTV//", WSPR_CALL_TWO_ADDONS, "", "", ""},
             Case{"PJ4/QZ5RTVX", WSPR_CALL_TOO_LONG, "", "", ""},
             Case{"QZ5RTVX/P", WSPR_CALL_TOO_LONG, "", "", ""},
             Case{"QZ5RTVX", WSPR_CALL_TOO_LONG, "", "", ""},
             Case{"PJ4/ABCDEF", WSPR_CALL_INVALID, "", "", ""},
             Case{"ABC/P", WSPR_CALL_INVALID, "", "", ""},
             Case{"/P", WSPR_CALL_INVALID, "", "", ""},
             Case{"Q5RTVX", WSPR_CALL_INVALID, "", "", ""},
             Case{"QZ5 TV", WSPR_CALL_INVALID, "", "", ""},
             Case{"", WSPR_CALL_INVALID, "", "", ""},
         }) {
        SCOPED_TRACE(c.text);
        WsprCallsign call = {};
        std::strcpy(call.base, "UNTOUCHED");
        ASSERT_EQ(WSPR_ParseCallsign(c.text, &call), c.check);
        if (c.check != WSPR_CALL_OK) {
            EXPECT_STREQ(call.base, "UNTOUCHED");
            continue;
        }
        EXPECT_STREQ(call.prefix, c.prefix);
        EXPECT_STREQ(call.base, c.base);
        EXPECT_STREQ(call.suffix, c.suffix);
        char text[WSPR_CALL_TEXT_MAX + 1];
        WSPR_CallsignText(&call, text);
        EXPECT_STREQ(text, c.text);
    }
}

TEST(WsprMessage, CyclesByCallsignAndLocator) {
    struct Case {
        const char *call, *locator;
        std::vector<std::string> frames;
    };
    for (const Case &c : {
             Case{"QZ5RTV", "OM85", {"QZ5RTV OM85 10dBm"}},
             Case{"QZ5RTV", "OM85AB", {"QZ5RTV OM85 10dBm", "<QZ5RTV> OM85AB 10dBm"}},
             Case{"PJ4/QZ5RTV", "OM85AB", {"PJ4/QZ5RTV 10dBm", "<PJ4/QZ5RTV> OM85AB 10dBm"}},
             Case{"QZ5RTV/12", "OM85", {"QZ5RTV/12 10dBm"}},
             Case{"QZ5RTV", "OM85A", {}},
             Case{"QZ5RTV", "OM85ABC", {}},
         }) {
        SCOPED_TRACE(std::string(c.call) + " " + c.locator);
        WsprCallsign call = {};
        ASSERT_EQ(WSPR_ParseCallsign(c.call, &call), WSPR_CALL_OK);
        WsprMessage cycle[WSPR_CYCLE_MAX] = {};
        const uint8_t n = WSPR_MessageCycle(&call, c.locator, 10, cycle);
        ASSERT_EQ(n, c.frames.size());
        for (uint8_t i = 0; i < n; ++i) {
            char text[48];
            WSPR_FormatMessage(&cycle[i], text, sizeof text);
            EXPECT_EQ(text, c.frames[i]);
            WsprPayload p = {};
            EXPECT_TRUE(WSPR_PackMessage(&cycle[i], &p));
        }
    }
}

TEST(WsprMessage, RefusesWhatCannotBePacked) {
    for (const WsprMessage &m : {
             Message(WSPR_MSG_TYPE1, "QZ5RTV", "OM85", 11),     // not a power level
             Message(WSPR_MSG_TYPE1, "PJ4/QZ5RTV", "OM85", 10), // type 1 carries no add-on
             Message(WSPR_MSG_TYPE2, "QZ5RTV", "", 10),         // type 2 needs one
             Message(WSPR_MSG_TYPE2, "QZ5RTV/P", "", 61),
             Message(WSPR_MSG_TYPE3, "QZ5RTV", "OM85", 10), // type 3 needs 6 characters
             Message(WSPR_MSG_TYPE3, "QZ5RTV", "OM85AY", 10),
             Message(WSPR_MSG_TYPE3, "QZ5RTV", "SM85AA", 10),
             Message(WSPR_MSG_TYPE3, "QZ5RTV/PP", "OM85AA", 10),
         }) {
        SCOPED_TRACE(std::string(m.call) + " " + m.locator);
        WsprPayload p = {12345, 678};
        EXPECT_FALSE(WSPR_PackMessage(&m, &p));
        EXPECT_EQ(p.n, 12345U);
        std::array<uint8_t, WSPR_SYMBOL_COUNT> symbols{};
        symbols.fill(9);
        EXPECT_FALSE(WSPR_EncodeMessage(&m, symbols.data()));
        EXPECT_EQ(symbols[0], 9);
    }
}

// ---- Against the standard encoder ----

struct Reference {
    std::string hex;
    std::string symbols; // 162 digits
};

// wsprcode's output for each message, from one shell run: "Hex:" and the channel symbols.
std::vector<Reference> RunWsprcode(const std::vector<std::string> &messages) {
    std::string script;
    for (const std::string &m : messages) {
        script += "wsprcode '" + m + "'; echo '#END'; ";
    }
    FILE *pipe = popen(script.c_str(), "r");
    std::vector<Reference> out;
    if (pipe == nullptr) {
        return out;
    }
    std::string text;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) {
        text.append(buf, n);
    }
    pclose(pipe);
    std::istringstream lines(text);
    std::string line;
    Reference r;
    bool in_channel = false;
    while (std::getline(lines, line)) {
        if (line.rfind("Hex:", 0) == 0) {
            r.hex = line.substr(line.find_first_not_of(' ', 4));
            while (!r.hex.empty() && r.hex.back() == ' ') {
                r.hex.pop_back();
            }
        } else if (line.rfind("Channel symbols:", 0) == 0) {
            in_channel = true;
        } else if (line.rfind("Decoded message:", 0) == 0) {
            in_channel = false;
        } else if (line == "#END") {
            out.push_back(r);
            r = {};
        } else if (in_channel) {
            for (char c : line) {
                if (c >= '0' && c <= '3') {
                    r.symbols += c;
                }
            }
        }
    }
    return out;
}

std::string RandomBase(std::mt19937 &rng) {
    const std::string letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    const std::string alnum = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    auto pick = [&](const std::string &from) { return from[rng() % from.size()]; };
    for (;;) {
        std::string call;
        if (rng() % 2 == 0) {
            call += pick(alnum);
        }
        call += pick(letters);
        call += static_cast<char>('0' + rng() % 10);
        for (unsigned n = rng() % 4; n > 0; --n) {
            call += pick(letters);
        }
        WsprCallsign parts = {};
        if (WSPR_ParseCallsign(call.c_str(), &parts) == WSPR_CALL_OK) {
            return call;
        }
    }
}

std::string RandomCompound(std::mt19937 &rng) {
    const std::string alnum = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    const std::string base = RandomBase(rng);
    switch (rng() % 3) {
    case 0: {
        std::string prefix;
        for (unsigned n = 1 + rng() % 3; n > 0; --n) {
            prefix += alnum[rng() % alnum.size()];
        }
        return prefix + "/" + base;
    }
    case 1:
        return base + "/" + alnum[rng() % alnum.size()];
    default:
        return base + "/" + std::to_string(10 + rng() % 90);
    }
}

std::string RandomLocator(std::mt19937 &rng, bool six) {
    std::string loc;
    loc += static_cast<char>('A' + rng() % 18);
    loc += static_cast<char>('A' + rng() % 18);
    loc += static_cast<char>('0' + rng() % 10);
    loc += static_cast<char>('0' + rng() % 10);
    if (six) {
        loc += static_cast<char>('A' + rng() % 24);
        loc += static_cast<char>('A' + rng() % 24);
    }
    return loc;
}

uint8_t RandomLevel(std::mt19937 &rng) {
    static const uint8_t last[3] = {0, 3, 7};
    const unsigned level = (rng() % 6) * 10 + last[rng() % 3];
    return static_cast<uint8_t>(level > 60 ? 60 : level);
}

// Payload and all 162 symbols of 250 messages of each type, as wsprcode gives them.
TEST(WsprMessage, MatchesTheStandardEncoder) {
    ASSERT_EQ(std::system("command -v wsprcode >/dev/null"), 0)
        << "wsprcode not found: scripts/ensure-deps.sh decode installs wsjtx";
    std::mt19937 rng(2024);
    std::vector<WsprMessage> messages;
    std::vector<std::string> texts;
    for (int i = 0; i < 750; ++i) {
        const uint8_t dbm = RandomLevel(rng);
        WsprMessage m = {};
        if (i % 3 == 0) {
            m = Message(WSPR_MSG_TYPE1, RandomBase(rng), RandomLocator(rng, false), dbm);
        } else if (i % 3 == 1) {
            m = Message(WSPR_MSG_TYPE2, RandomCompound(rng), "", dbm);
        } else {
            const std::string call = rng() % 2 ? RandomBase(rng) : RandomCompound(rng);
            m = Message(WSPR_MSG_TYPE3, call, RandomLocator(rng, true), dbm);
        }
        char text[48];
        WSPR_FormatMessage(&m, text, sizeof text);
        std::string t = text;
        t.erase(t.size() - 3); // wsprcode takes the power without its unit
        messages.push_back(m);
        texts.push_back(t);
    }
    const std::vector<Reference> refs = RunWsprcode(texts);
    ASSERT_EQ(refs.size(), messages.size());
    for (size_t i = 0; i < messages.size(); ++i) {
        SCOPED_TRACE(texts[i]);
        WsprPayload p = {};
        ASSERT_TRUE(WSPR_PackMessage(&messages[i], &p));
        EXPECT_EQ(Hex(p), refs[i].hex);
        std::array<uint8_t, WSPR_SYMBOL_COUNT> symbols{};
        ASSERT_TRUE(WSPR_EncodeMessage(&messages[i], symbols.data()));
        std::string digits;
        for (uint8_t s : symbols) {
            digits += static_cast<char>('0' + s);
        }
        EXPECT_EQ(digits, refs[i].symbols);
    }
}

} // namespace
