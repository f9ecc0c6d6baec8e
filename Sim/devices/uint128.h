// Unsigned 128-bit integers for exact clock arithmetic (crystal x 10^6 x two divider ratios needs
// about 110 bits). Uint128 is the compiler's own type where it has one; 32-bit x86 has none, and
// there it is PortableUint128, two 64-bit halves with the operations that arithmetic uses.
#pragma once

#include <compare>
#include <cstdint>

namespace sim {

class PortableUint128 {
  public:
    // Implicit from the built-in unsigned types, as the built-in 128-bit type converts.
    // cppcheck-suppress noExplicitConstructor ; converts like the built-in type
    constexpr PortableUint128(uint64_t value = 0) : hi_(0), lo_(value) {}
    constexpr PortableUint128(uint64_t hi, uint64_t lo) : hi_(hi), lo_(lo) {}

    constexpr explicit operator uint64_t() const { return lo_; }
    constexpr uint64_t high() const { return hi_; }
    constexpr uint64_t low() const { return lo_; }

    // hi_ first: the member-wise comparison is the numeric one.
    friend constexpr bool operator==(const PortableUint128 &, const PortableUint128 &) = default;
    friend constexpr std::strong_ordering operator<=>(const PortableUint128 &,
                                                      const PortableUint128 &) = default;

    friend constexpr PortableUint128 operator+(PortableUint128 a, PortableUint128 b) {
        const uint64_t lo = a.lo_ + b.lo_;
        return {a.hi_ + b.hi_ + (lo < a.lo_ ? 1U : 0U), lo};
    }
    friend constexpr PortableUint128 operator-(PortableUint128 a, PortableUint128 b) {
        return {a.hi_ - b.hi_ - (a.lo_ < b.lo_ ? 1U : 0U), a.lo_ - b.lo_};
    }
    // The low 128 bits of the product, as the built-in type wraps.
    friend constexpr PortableUint128 operator*(PortableUint128 a, PortableUint128 b) {
        constexpr uint64_t MASK32 = 0xFFFFFFFFU;
        const uint64_t a0 = a.lo_ & MASK32, a1 = a.lo_ >> 32;
        const uint64_t b0 = b.lo_ & MASK32, b1 = b.lo_ >> 32;
        const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
        const uint64_t mid = (p00 >> 32) + (p01 & MASK32) + (p10 & MASK32);
        const uint64_t lo = (p00 & MASK32) | (mid << 32);
        const uint64_t hi =
            p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32) + a.hi_ * b.lo_ + a.lo_ * b.hi_;
        return {hi, lo};
    }
    // Shifts by 0..127 bits.
    friend constexpr PortableUint128 operator<<(PortableUint128 a, unsigned n) {
        if (n == 0) {
            return a;
        }
        if (n >= 64) {
            return {a.lo_ << (n - 64), 0};
        }
        return {(a.hi_ << n) | (a.lo_ >> (64 - n)), a.lo_ << n};
    }
    friend constexpr PortableUint128 operator>>(PortableUint128 a, unsigned n) {
        if (n == 0) {
            return a;
        }
        if (n >= 64) {
            return {0, a.hi_ >> (n - 64)};
        }
        return {a.hi_ >> n, (a.lo_ >> n) | (a.hi_ << (64 - n))};
    }
    // Restoring long division, one quotient bit at a time. The divisor must not be 0.
    friend constexpr PortableUint128 operator/(PortableUint128 n, PortableUint128 d) {
        PortableUint128 remainder;
        return Divide(n, d, remainder);
    }
    friend constexpr PortableUint128 operator%(PortableUint128 n, PortableUint128 d) {
        PortableUint128 remainder;
        Divide(n, d, remainder);
        return remainder;
    }

  private:
    static constexpr PortableUint128 Divide(PortableUint128 n, PortableUint128 d,
                                            PortableUint128 &remainder) {
        PortableUint128 quotient;
        remainder = 0;
        for (unsigned bit = 128; bit-- > 0;) {
            // A remainder shifted past bit 127 exceeds any divisor; the subtraction wraps back.
            const bool carry = (remainder.hi_ >> 63) != 0;
            remainder = (remainder << 1) + ((n >> bit).lo_ & 1U);
            if (carry || remainder >= d) {
                remainder = remainder - d;
                quotient = quotient + (PortableUint128(1) << bit);
            }
        }
        return quotient;
    }

    uint64_t hi_;
    uint64_t lo_;
};

static_assert(PortableUint128(0xFFFFFFFFFFFFFFFFULL) * 0xFFFFFFFFFFFFFFFFULL ==
              PortableUint128(0xFFFFFFFFFFFFFFFEULL, 1));
static_assert(PortableUint128(1, 0) / 3 == PortableUint128(0x5555555555555555ULL));
static_assert(PortableUint128(1, 0) % 3 == 1);
static_assert(PortableUint128(0xFFFFFFFFFFFFFFFFULL, 0) /
                  PortableUint128(0x8000000000000000ULL, 1) ==
              1);

#if defined(__SIZEOF_INT128__)
using Uint128 = unsigned __int128;
#else
using Uint128 = PortableUint128;
#endif

} // namespace sim
