// Exact checks of best rational approximations, written apart from the driver's continued
// fractions: b/c (lowest terms, c <= max_den) is the closest fraction of denominator up to
// max_den to x = num/den exactly when x is no nearer to either of b/c's two neighbours in the
// Farey sequence of order max_den (every other fraction of that order lies beyond them). The
// neighbours come from the modular inverse of b, by the extended Euclid algorithm.
#pragma once

#include <algorithm>
#include <cstdint>

#include "uint128.h"

namespace oracle {

using u128 = sim::Uint128;

// |x - p/q| times den x q, exactly.
inline u128 Distance(uint64_t num, uint64_t den, uint64_t p, uint64_t q) {
    const u128 a = static_cast<u128>(num) * q;
    const u128 b = static_cast<u128>(p) * den;
    return a > b ? a - b : b - a;
}

// |x - p1/q1| <= |x - p2/q2|: the distances over den q1 and den q2, cross-multiplied.
inline bool NoFarther(uint64_t num, uint64_t den, uint64_t p1, uint64_t q1, uint64_t p2,
                      uint64_t q2) {
    // Each distance is below den x q <= 2^70; times a q of 2^20 it stays below 2^128.
    return Distance(num, den, p1, q1) * q2 <= Distance(num, den, p2, q2) * q1;
}

// Inverse of a modulo m (gcd 1, m > 1).
inline uint64_t InverseMod(uint64_t a, uint64_t m) {
    int64_t t = 0, new_t = 1;
    int64_t r = static_cast<int64_t>(m), new_r = static_cast<int64_t>(a % m);
    while (new_r != 0) {
        const int64_t q = r / new_r;
        const int64_t t2 = t - q * new_t;
        t = new_t;
        new_t = t2;
        const int64_t r2 = r - q * new_r;
        r = new_r;
        new_r = r2;
    }
    return static_cast<uint64_t>(t < 0 ? t + static_cast<int64_t>(m) : t);
}

inline uint64_t Gcd(uint64_t a, uint64_t b) {
    while (b != 0) {
        const uint64_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

// A bound on the fractions allowed: p/q (with q > 0).
struct Bound {
    uint64_t p, q;
};
// p1/q1 < p2/q2.
inline bool Less(uint64_t p1, uint64_t q1, uint64_t p2, uint64_t q2) {
    return static_cast<u128>(p1) * q2 < static_cast<u128>(p2) * q1;
}

// True when b/c is a closest fraction to num/den (0 <= num/den <= 1) among those with
// denominators up to max_den that lie within lo..hi (where given).
inline bool IsBestFraction(uint64_t num, uint64_t den, uint64_t b, uint64_t c, uint64_t max_den,
                           Bound lo = {0, 1}, Bound hi = {1, 1}) {
    if (c == 0 || c > max_den || b > c || Gcd(b, c) != 1 || Less(b, c, lo.p, lo.q) ||
        Less(hi.p, hi.q, b, c)) {
        return false;
    }
    auto allowed = [&](uint64_t p, uint64_t q) {
        return !Less(p, q, lo.p, lo.q) && !Less(hi.p, hi.q, p, q);
    };
    // Left neighbour l/m: b m - l c = 1 with the largest m <= max_den; right neighbour r/s:
    // r c - b s = 1. For c = 1 (0/1 or 1/1) they are 0 .. 1/max_den or 1 - 1/max_den .. 1.
    if (b > 0) {
        uint64_t m, l;
        if (c == 1) {
            m = max_den;
            l = max_den - 1; // b = 1: the neighbour below 1/1
        } else {
            const uint64_t m0 = InverseMod(b, c);
            m = m0 + (max_den - m0) / c * c;
            l = (b * m - 1) / c;
        }
        if (allowed(l, m) && !NoFarther(num, den, b, c, l, m)) {
            return false;
        }
    }
    if (b < c) {
        uint64_t s, r;
        if (c == 1) {
            s = max_den;
            r = 1; // b = 0: the neighbour above 0/1
        } else {
            const uint64_t s0 = (c - InverseMod(b, c)) % c;
            s = s0 + (max_den - s0) / c * c;
            r = (b * s + 1) / c;
        }
        if (allowed(r, s) && !NoFarther(num, den, b, c, r, s)) {
            return false;
        }
    }
    return true;
}

// The chip's VCO range and its highest output, in micro-hertz.
constexpr uint64_t VCO_MIN_UHZ = 600000000ULL * 1000000ULL;
constexpr uint64_t VCO_MAX_UHZ = 900000000ULL * 1000000ULL;
constexpr uint64_t OUTPUT_MAX_UHZ = 200000000ULL * 1000000ULL;

// True when the PLL ratio a + b/c is the closest to vco / xtal (both in micro-hertz, a the whole
// part of vco / xtal) that the chip allows: denominators up to max_den, the VCO it gives,
// xtal x (a + b/c), within the VCO range, and that VCO divided by the output divider within the
// highest output.
inline bool IsBestPllFraction(uint64_t vco, uint64_t xtal, uint64_t a, uint64_t b, uint64_t c,
                              uint64_t max_den, uint64_t output_divider) {
    const uint64_t whole = a * xtal;
    const uint64_t vco_max = std::min(VCO_MAX_UHZ, OUTPUT_MAX_UHZ * output_divider);
    const auto bound = [&](uint64_t limit) {
        return limit < whole          ? Bound{0, 1}
               : limit - whole > xtal ? Bound{1, 1}
                                      : Bound{limit - whole, xtal};
    };
    return vco >= whole &&
           IsBestFraction(vco - whole, xtal, b, c, max_den, bound(VCO_MIN_UHZ), bound(vco_max));
}

} // namespace oracle
