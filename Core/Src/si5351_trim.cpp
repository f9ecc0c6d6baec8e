/* Trimming a planned frame to a crystal that has moved a little since the plan: only the low two
 * bytes of the moving divider's p2 change, by one amount for every tone, so the tones keep keying
 * by one register and a trim written during a frame passes through one state at most between the
 * two (the new high byte with the old low one: within 255 units of p2 of the new state, for the
 * few microseconds of one byte on the bus). */
#include "si5351.h"

namespace {

constexpr int64_t TRIM_MAX_PPM_DIV = 10000; /* trims up to 100 ppm of the plan's crystal */
static_assert(uint64_t{SI5351_XTAL_MAX_HZ} * 1000U / TRIM_MAX_PPM_DIV < (uint64_t{1} << 24),
              "a change times a ratio of up to 2^38 units stays inside 62 bits");

/* The divider's ratio in units of 1 / (128 p3): (p1 + 512) p3 + p2. */
constexpr int64_t Units(const Si5351Params &p) {
    return (static_cast<int64_t>(p.p1) + 512) * p.p3 + p.p2;
}

/* q x num / den, rounded to the nearest whole number; |q x num| below 2^62. */
constexpr int64_t Scaled(int64_t q, int64_t num, int64_t den) {
    const int64_t product = q * num;
    return product >= 0 ? (product + den / 2) / den : -((-product + den / 2) / den);
}

constexpr bool TrimPlan(const Si5351TonePlan &base, uint64_t xtal_mhz, Si5351TonePlan &out) {
    if (!base.smooth || base.count < 2U || base.xtal_mhz == 0) {
        return false;
    }
    const int64_t from = static_cast<int64_t>(base.xtal_mhz);
    const int64_t to = static_cast<int64_t>(xtal_mhz);
    const int64_t change = to - from;
    if (change > from / TRIM_MAX_PPM_DIV || -change > from / TRIM_MAX_PPM_DIV) {
        return false;
    }
    /* The PLL moves where the tones' PLLs differ: CLK1 grows with its ratio, so the ratio shrinks
     * by the crystal's change. A moving multisynth divides: its ratio grows with the crystal. */
    const bool pll_moves = base.tone[0].pll.p2 != base.tone[1].pll.p2;
    const Si5351Params &first = pll_moves ? base.tone[0].pll : base.tone[0].ms;
    const int64_t q = Units(first);
    const int64_t delta = pll_moves ? -Scaled(q, change, to) : Scaled(q, change, from);
    out = base;
    out.xtal_mhz = xtal_mhz;
    for (uint8_t n = 0; n < base.count; ++n) {
        Si5351Params &moving = pll_moves ? out.tone[n].pll : out.tone[n].ms;
        const int64_t p2 = static_cast<int64_t>(moving.p2) + delta;
        /* The same p1 and the same top four bits of p2 (they share a register with p3's). */
        if (p2 < 0 || p2 >= static_cast<int64_t>(moving.p3) ||
            (static_cast<uint32_t>(p2) >> 16) != (moving.p2 >> 16)) {
            return false;
        }
        moving.p2 = static_cast<uint32_t>(p2);
    }
    return true;
}

/* The 14097070 Hz plan on the default crystal (PLL A at 25 x, multisynth 1 moving: p2 from 591666
 * down by 512 a tone over 868128) trimmed to a crystal 1 ppm faster: the multisynth's ratio grows
 * by 1 ppm of its 4927218066 units, 4927. */
constexpr Si5351TonePlan Example14MHz() {
    Si5351TonePlan plan{};
    plan.count = 4;
    for (uint8_t n = 0; n < 4; ++n) {
        plan.tone[n] = {{2688, 0, 1}, {5163, 591666U - 512U * n, 868128}, SI5351_MS_FRACTIONAL};
    }
    plan.xtal_mhz = uint64_t{SI5351_XTAL_HZ} * 1000U;
    plan.smooth = true;
    return plan;
}
constexpr bool TrimmedIs(int64_t ppb, uint32_t p2_tone0, uint32_t p2_tone3) {
    const Si5351TonePlan plan = Example14MHz();
    Si5351TonePlan trimmed{};
    const uint64_t xtal = plan.xtal_mhz + static_cast<uint64_t>(static_cast<int64_t>(plan.xtal_mhz) * ppb / 1000000000);
    return TrimPlan(plan, xtal, trimmed) && trimmed.tone[0].ms.p2 == p2_tone0 &&
           trimmed.tone[3].ms.p2 == p2_tone3 && trimmed.tone[0].ms.p1 == 5163 &&
           trimmed.tone[0].pll.p1 == 2688;
}
static_assert(TrimmedIs(1000, 596593, 595057));
/* 1 ppm slower takes tone 3 below p2's 65536-block (a third register changes): not a trim. */
static_assert(!TrimmedIs(-1000, 586739, 585203));

} // namespace

bool Si5351_TrimPlan(const Si5351TonePlan *base, uint64_t xtal_mhz, Si5351TonePlan *out) {
    return base != nullptr && out != nullptr && TrimPlan(*base, xtal_mhz, *out);
}
