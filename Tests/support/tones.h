// What CLK1 must emit for a symbol: the ideal tone, base + symbol x the tone spacing, and how
// close the beacon must come to it. The oracle of every test that checks frames on the chip
// model; the planning's own accuracy is measured against the same ideal in the sweep tests.
#pragma once

#include <cstdint>

#include "app_config.h"
#include "uint128.h"

namespace tones {

// 25 mHz: the worst the chip's 20-bit fractions leave anywhere in the band plan's frequencies,
// and 1/60 of the tone spacing, so a tone can never be mistaken for its neighbour.
inline constexpr uint64_t TOLERANCE_UHZ = 25000;

inline constexpr uint64_t IdealUhz(uint64_t base_hz, unsigned symbol) {
    return base_hz * 1000000ULL + symbol * WSPR_TONE_SPACING_UHZ;
}

// The ideal tone as a chip whose crystal runs at real_xtal_hz emits it when the beacon plans for
// planned_xtal_hz: every frequency scales by real / planned.
inline constexpr uint64_t ScaledUhz(uint64_t base_hz, unsigned symbol, uint64_t planned_xtal_hz,
                                    uint64_t real_xtal_hz) {
    const sim::Uint128 ideal = IdealUhz(base_hz, symbol);
    return static_cast<uint64_t>((ideal * real_xtal_hz + planned_xtal_hz / 2) / planned_xtal_hz);
}

inline constexpr bool Near(uint64_t emitted_uhz, uint64_t wanted_uhz,
                           uint64_t tolerance_uhz = TOLERANCE_UHZ) {
    return emitted_uhz + tolerance_uhz >= wanted_uhz && emitted_uhz <= wanted_uhz + tolerance_uhz;
}

inline constexpr bool Matches(uint64_t emitted_uhz, uint64_t base_hz, unsigned symbol) {
    return Near(emitted_uhz, IdealUhz(base_hz, symbol));
}

} // namespace tones
