#include "fst4w_reference.h"

#include <cctype>
#include <cstdint>
#include <fstream>
#include <sstream>

namespace fst4w_reference {
namespace {

std::string Bits(uint64_t value, int width) {
    std::string s;
    for (int i = width - 1; i >= 0; --i) {
        s += ((value >> i) & 1U) != 0 ? '1' : '0';
    }
    return s;
}

int IndexIn(const std::string &alphabet, char c) {
    const size_t at = alphabet.find(c);
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

const std::string DIGITS = "0123456789";
const std::string ALNUM = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
const std::string SPACE_ALNUM = " " + ALNUM;
const std::string SPACE_LETTERS = " ABCDEFGHIJKLMNOPQRSTUVWXYZ";

// A plain callsign of up to six characters as its 28-bit number; -1 when it is none.
int64_t Call28(std::string call) {
    if (call.size() < 3 || call.size() > 6) {
        return -1;
    }
    if (std::isdigit(static_cast<unsigned char>(call[1])) &&
        !std::isdigit(static_cast<unsigned char>(call[2]))) {
        call = " " + call;
    }
    while (call.size() < 6) {
        call += ' ';
    }
    if (call.size() != 6) {
        return -1;
    }
    const int i1 = IndexIn(SPACE_ALNUM, call[0]), i2 = IndexIn(ALNUM, call[1]),
              i3 = IndexIn(DIGITS, call[2]), i4 = IndexIn(SPACE_LETTERS, call[3]),
              i5 = IndexIn(SPACE_LETTERS, call[4]), i6 = IndexIn(SPACE_LETTERS, call[5]);
    if (i1 < 0 || i2 < 0 || i3 < 0 || i4 < 0 || i5 < 0 || i6 < 0) {
        return -1;
    }
    return 2063592 + 4194304 + 36LL * 10 * 27 * 27 * 27 * i1 + 10LL * 27 * 27 * 27 * i2 +
           27LL * 27 * 27 * i3 + 27 * 27 * i4 + 27 * i5 + i6;
}

bool GridOk(const std::string &g) {
    if (g.size() != 4 && g.size() != 6) {
        return false;
    }
    bool ok = g[0] >= 'A' && g[0] <= 'R' && g[1] >= 'A' && g[1] <= 'R' &&
              std::isdigit(static_cast<unsigned char>(g[2])) &&
              std::isdigit(static_cast<unsigned char>(g[3]));
    if (g.size() == 6) {
        ok = ok && g[4] >= 'A' && g[4] <= 'X' && g[5] >= 'A' && g[5] <= 'X';
    }
    return ok;
}

int64_t Base36(const std::string &s) {
    int64_t v = 0;
    for (char c : s) {
        const int d = IndexIn(ALNUM, c);
        if (d < 0) {
            return -1;
        }
        v = v * 36 + d;
    }
    return v;
}

uint32_t Hash22(std::string call) {
    const std::string alphabet = " 0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ/";
    while (call.size() < 11) {
        call += ' ';
    }
    uint64_t n = 0;
    for (char c : call) {
        n = n * 38 + static_cast<uint64_t>(IndexIn(alphabet, c));
    }
    return static_cast<uint32_t>((47055833459ULL * n) >> 42);
}

std::vector<std::string> Words(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> w;
    for (std::string s; in >> s;) {
        w.push_back(s);
    }
    return w;
}

bool PowerOk(const std::string &text, int &dbm) {
    if (text.empty() || text.size() > 2 || !std::isdigit(static_cast<unsigned char>(text[0])) ||
        !std::isdigit(static_cast<unsigned char>(text.back()))) {
        return false;
    }
    dbm = std::stoi(text);
    return dbm <= 60 && (dbm % 10 == 0 || dbm % 10 == 3 || dbm % 10 == 7);
}

// round(0.3 dBm), the halves (never reached by the levels) rounded up.
int Power5(int dbm) {
    return (dbm * 3 + 5) / 10;
}

std::vector<std::string> &Generator() {
    static std::vector<std::string> rows = [] {
        std::vector<std::string> r;
        std::ifstream in(WSPR_TEST_DATA_DIR "/fst4w/ldpc-generator.txt");
        for (std::string hex; in >> hex;) {
            std::string bits;
            for (char c : hex) {
                bits += Bits(static_cast<uint64_t>(std::stoi(std::string(1, c), nullptr, 16)), 4);
            }
            r.push_back(bits.substr(0, 74));
        }
        return r;
    }();
    return rows;
}

} // namespace

std::string MessageBits(const std::string &message) {
    const std::vector<std::string> w = Words(message);
    int dbm = 0;
    if (w.size() == 2 && w[0].size() > 2 && w[0].front() == '<' && w[0].back() == '>' &&
        GridOk(w[1])) {
        const std::string call = w[0].substr(1, w[0].size() - 2);
        const std::string g = w[1];
        const int l5 = g.size() == 6 ? g[4] - 'A' : 24, l6 = g.size() == 6 ? g[5] - 'A' : 24;
        const int64_t g6 = (g[0] - 'A') * 1125000LL + (g[1] - 'A') * 62500LL +
                           (g[2] - '0') * 6250LL + (g[3] - '0') * 625LL + l5 * 25 + l6;
        return Bits(Hash22(call), 22) + Bits(static_cast<uint64_t>(g6), 25) + "010";
    }
    if (w.size() == 3 && GridOk(w[1]) && w[1].size() == 4 && PowerOk(w[2], dbm)) {
        const int64_t n28 = Call28(w[0]);
        if (n28 < 0) {
            return "";
        }
        const int g4 =
            (w[1][0] - 'A') * 1800 + (w[1][1] - 'A') * 100 + (w[1][2] - '0') * 10 + (w[1][3] - '0');
        return Bits(static_cast<uint64_t>(n28), 28) + Bits(static_cast<uint64_t>(g4), 15) +
               Bits(static_cast<uint64_t>(Power5(dbm)), 5) + "00";
    }
    if (w.size() == 2 && PowerOk(w[1], dbm)) {
        const size_t slash = w[0].find('/');
        if (slash == std::string::npos || w[0].find('/', slash + 1) != std::string::npos) {
            return "";
        }
        // A suffix has one or two characters, a prefix up to three before a longer callsign.
        const std::string left = w[0].substr(0, slash), right = w[0].substr(slash + 1);
        const bool prefix = right.size() > 2;
        const std::string base = prefix ? right : left;
        const std::string addon = prefix ? left : right;
        const int64_t n28 = Call28(base);
        int64_t npfx = -1;
        if (prefix) {
            npfx = Base36(addon);
        } else if (addon.size() == 1) {
            npfx = 46656 + IndexIn(ALNUM, addon[0]);
        } else if (addon.size() == 2) {
            // Above the one-character suffixes: jt9 reads 36 c1 + c2 alone as a prefix.
            npfx = 46656 + IndexIn(ALNUM, addon[0]) * 36 + IndexIn(ALNUM, addon[1]);
        }
        if (n28 < 0 || npfx < 0 || addon.empty()) {
            return "";
        }
        return Bits(static_cast<uint64_t>(n28), 28) + Bits(static_cast<uint64_t>(npfx), 16) +
               Bits(static_cast<uint64_t>(Power5(dbm)), 5) + "1";
    }
    return "";
}

std::string CrcBits(const std::string &message_bits) {
    // Long division of the bits followed by 24 zeros by x^24 + x^10 + x^9 + x^6 + x^4 + x^3 + x
    // + 1.
    const std::string poly = "1000000000000011001011011";
    std::string work = message_bits + std::string(24, '0');
    for (size_t i = 0; i + poly.size() <= work.size(); ++i) {
        if (work[i] == '1') {
            for (size_t j = 0; j < poly.size(); ++j) {
                work[i + j] = work[i + j] == poly[j] ? '0' : '1';
            }
        }
    }
    return work.substr(work.size() - 24);
}

std::string Symbols(const std::string &message) {
    const std::string bits = MessageBits(message);
    if (bits.size() != 50) {
        return "";
    }
    const std::string data = bits + CrcBits(bits);
    std::string codeword = data;
    for (const std::string &row : Generator()) {
        int parity = 0;
        for (size_t j = 0; j < 74; ++j) {
            parity ^= (row[j] == '1' && data[j] == '1') ? 1 : 0;
        }
        codeword += parity != 0 ? '1' : '0';
    }
    const std::string s1 = "01321023", s2 = "23103201";
    std::string out;
    for (int block = 0; block < 4; ++block) {
        out += block % 2 == 0 ? s1 : s2;
        for (int k = 0; k < 30; ++k) {
            const std::string pair = codeword.substr(static_cast<size_t>(2 * (block * 30 + k)), 2);
            out += pair == "00" ? '0' : pair == "01" ? '1' : pair == "11" ? '2' : '3';
        }
    }
    return out + s1;
}

} // namespace fst4w_reference
