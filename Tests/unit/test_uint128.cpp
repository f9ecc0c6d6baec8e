// The portable 128-bit integer that stands in for the compiler's own on 32-bit x86: checked against
// the built-in type where there is one, and against the division identity everywhere.
#include "uint128.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using sim::PortableUint128;

uint64_t SplitMix64(uint64_t &state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Edge values first, then random values of every width from 0 to 128 bits.
std::vector<PortableUint128> Sample() {
    std::vector<PortableUint128> values = {
        0,
        1,
        3,
        0xFFFFFFFFULL,
        0x100000000ULL,
        0xFFFFFFFFFFFFFFFFULL,
        PortableUint128(1, 0),
        PortableUint128(1, 1),
        PortableUint128(0x7FFFFFFFFFFFFFFFULL, 0xFFFFFFFFFFFFFFFFULL),
        PortableUint128(0x8000000000000000ULL, 0),
        PortableUint128(0xFFFFFFFFFFFFFFFFULL, 0xFFFFFFFFFFFFFFFFULL),
    };
    uint64_t state = 12345;
    for (unsigned width = 0; width <= 128; ++width) {
        for (int k = 0; k < 3; ++k) {
            PortableUint128 v(SplitMix64(state), SplitMix64(state));
            values.push_back(width == 0 ? PortableUint128(0) : v >> (128 - width));
        }
    }
    return values;
}

#if defined(__SIZEOF_INT128__)
using Native = unsigned __int128;

Native ToNative(PortableUint128 v) {
    return (static_cast<Native>(v.high()) << 64) | v.low();
}

TEST(PortableUint128, MatchesTheBuiltInType) {
    const std::vector<PortableUint128> values = Sample();
    for (const PortableUint128 &a : values) {
        const Native na = ToNative(a);
        for (const PortableUint128 &b : values) {
            const Native nb = ToNative(b);
            ASSERT_TRUE(ToNative(a + b) == na + nb);
            ASSERT_TRUE(ToNative(a - b) == na - nb);
            ASSERT_TRUE(ToNative(a * b) == na * nb);
            ASSERT_EQ(a < b, na < nb);
            ASSERT_EQ(a == b, na == nb);
            if (nb != 0) {
                ASSERT_TRUE(ToNative(a / b) == na / nb);
                ASSERT_TRUE(ToNative(a % b) == na % nb);
            }
        }
        for (unsigned n = 0; n < 128; ++n) {
            ASSERT_TRUE(ToNative(a << n) == na << n);
            ASSERT_TRUE(ToNative(a >> n) == na >> n);
        }
    }
}
#endif

// n = (n / d) d + n % d with n % d < d: holds on every build, 32-bit included.
TEST(PortableUint128, DivisionIdentity) {
    const std::vector<PortableUint128> values = Sample();
    for (const PortableUint128 &n : values) {
        for (const PortableUint128 &d : values) {
            if (d == 0) {
                continue;
            }
            const PortableUint128 q = n / d, r = n % d;
            ASSERT_LT(r, d);
            ASSERT_EQ(q * d + r, n);
            ASSERT_LE(q, n);
        }
    }
}

} // namespace
