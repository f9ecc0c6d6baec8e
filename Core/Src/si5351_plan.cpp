/* Planning of CLK1's tones on the Si5351: PLL A and multisynth 1 for each tone of a frame, as
 * exact as the chip allows, chosen so that a tone change is one register where it can be. Pure
 * integer arithmetic, constexpr, checked at compile time on worked examples. */
#include "si5351.h"

namespace {
/* The chip's limits (Si5351 data sheet): VCO 600..900 MHz, fractions with 20-bit denominators,
 * fractional multisynth ratios from 8 up. */
constexpr uint64_t UHZ_PER_HZ = 1000000ULL;
constexpr uint64_t VCO_MIN_UHZ = 600000000ULL * UHZ_PER_HZ;
constexpr uint64_t VCO_MAX_UHZ = 900000000ULL * UHZ_PER_HZ;
constexpr uint32_t FRACTION_MAX_DEN = 1048575U;
constexpr uint32_t MS_FRACTIONAL_MIN = 8U;
constexpr uint32_t MS_FRACTIONAL_MAX = 2048U;
constexpr uint32_t MS_INTEGER_RATIO = 6U; /* up to 150 MHz */
constexpr uint32_t MS_DIVBY4_RATIO = 4U;  /* from 150 MHz */
constexpr uint32_t PLL_RATIO_MIN = 15U;
constexpr uint32_t PLL_RATIO_MAX = 90U;
/* A fixed PLL is kept this far (1/1000) inside the VCO range, so that a crystal off by its
 * tolerance still runs the VCO within the chip's limits. */
constexpr uint64_t VCO_MARGIN_DIV = 1000U;

/* The frequencies a plan may ask of the VCO and the output. A real crystal a little off the
 * configured one moves them all by as much: every plan keeps 100 ppm from the chip's limits where
 * one can, and only where none can (tones within 15 kHz below 150 MHz, between the multisynth 6
 * at the VCO's top and the divide-by-4 at its bottom, and within 20 kHz below the 200 MHz top)
 * goes to the limits themselves. */
struct Limits {
    uint64_t vco_min_uhz, vco_max_uhz, out_max_uhz;
};
constexpr uint64_t SAFE_MARGIN_DIV = 10000U; /* 100 ppm */
constexpr Limits CHIP_LIMITS = {VCO_MIN_UHZ, VCO_MAX_UHZ, SI5351_CLK1_MAX_UHZ};
constexpr Limits SAFE_LIMITS = {VCO_MIN_UHZ + VCO_MIN_UHZ / SAFE_MARGIN_DIV,
                                VCO_MAX_UHZ - VCO_MAX_UHZ / SAFE_MARGIN_DIV,
                                SI5351_CLK1_MAX_UHZ - SI5351_CLK1_MAX_UHZ / SAFE_MARGIN_DIV};
static_assert(VCO_MAX_UHZ / VCO_MARGIN_DIV > VCO_MAX_UHZ / SAFE_MARGIN_DIV,
              "fixed PLLs keep more than the safe margin");

/* ---- Planning ------------------------------------------------------------------------------- */

constexpr uint32_t Gcd(uint32_t a, uint32_t b) {
    while (b != 0) {
        const uint32_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

/* Integer part and best fraction of num/den as divider parameters, the error of the fraction as
 * its remainder over its denominator. */
struct Ratio {
    Si5351Params params;
    uint64_t residual;
    uint32_t den;
};

constexpr Ratio MakeRatio(uint64_t integer, uint32_t b, uint32_t c, uint64_t residual) {
    if (b == c) { /* the fraction rounded up to one */
        ++integer;
        b = 0;
        c = 1;
    }
    return {Si5351_CalcParams(static_cast<uint32_t>(integer), b, c), residual, c};
}

constexpr Ratio BestRatio(uint64_t num, uint64_t den) {
    const Si5351Fraction f = Si5351_BestFraction(num % den, den, FRACTION_MAX_DEN);
    return MakeRatio(num / den, f.b, f.c, f.residual);
}

/* Exact products of two 64-bit numbers, compared and subtracted. */
struct Wide {
    uint64_t hi, lo;
};
[[gnu::always_inline]] constexpr Wide Mul(uint64_t a, uint64_t b) {
    const uint64_t a0 = a & 0xFFFFFFFFU, a1 = a >> 32, b0 = b & 0xFFFFFFFFU, b1 = b >> 32;
    const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const uint64_t mid = (p00 >> 32) + (p01 & 0xFFFFFFFFU) + (p10 & 0xFFFFFFFFU);
    return {p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32), (p00 & 0xFFFFFFFFU) | (mid << 32)};
}
constexpr bool Below(const Wide &x, const Wide &y) {
    return x.hi < y.hi || (x.hi == y.hi && x.lo < y.lo);
}
/* |x - y| where it fits 64 bits. */
constexpr uint64_t Distance(const Wide &x, const Wide &y) {
    return Below(x, y) ? y.lo - x.lo : x.lo - y.lo;
}

constexpr int64_t InverseMod(int64_t a, int64_t m) {
    int64_t t = 0, new_t = 1, r = m, new_r = a % m;
    while (new_r != 0) {
        const int64_t q = r / new_r;
        const int64_t t2 = t - q * new_t;
        t = new_t;
        new_t = t2;
        const int64_t r2 = r - q * new_r;
        r = new_r;
        new_r = r2;
    }
    return t < 0 ? t + m : t;
}

/* A PLL ratio VCO/xtal (num/den) as close as the chip allows while the VCO stays within
 * vco_min_uhz .. vco_max_uhz (at most 600 .. 900 MHz, less where the output divided from it must
 * stay within 200 MHz). Only where the wanted VCO lies within a hair of a limit can the closest
 * fraction fall outside; then its neighbour in the Farey sequence on the inside is the closest
 * one that does not. */
constexpr Ratio BestPllWithinRange(uint64_t num, uint64_t den, uint64_t vco_min_uhz,
                                   uint64_t vco_max_uhz) {
    uint64_t a = num / den;
    const uint64_t x = num % den;
    const Si5351Fraction f = Si5351_BestFraction(x, den, FRACTION_MAX_DEN);
    uint64_t b = f.b, c = f.c;
    // The VCO in micro-hertz times c: xtal x (a c + b); the range's ends times c.
    const uint64_t xtal_uhz = den;
    const bool low = Below(Mul(xtal_uhz, a * c + b), Mul(vco_min_uhz, c));
    const bool high = Below(Mul(vco_max_uhz, c), Mul(xtal_uhz, a * c + b));
    if (!low && !high) {
        return MakeRatio(a, f.b, f.c, f.residual);
    }
    const uint64_t n = FRACTION_MAX_DEN;
    if (low) {
        // Up: r/s with r c - b s = 1, the largest s <= n.
        const uint64_t s0 = c == 1 ? 0
                                   : static_cast<uint64_t>(static_cast<int64_t>(c) -
                                                           InverseMod(static_cast<int64_t>(b),
                                                                      static_cast<int64_t>(c)));
        const uint64_t s = c == 1 ? n : s0 + (n - s0) / c * c;
        b = c == 1 ? 1 : (b * s + 1) / c;
        c = s;
    } else if (b == 0) {
        // Down from a whole ratio: (a - 1) + (n - 1)/n.
        --a;
        b = n - 1;
        c = n;
    } else {
        // Down: l/m with b m - l c = 1, the largest m <= n.
        const uint64_t m0 =
            static_cast<uint64_t>(InverseMod(static_cast<int64_t>(b), static_cast<int64_t>(c)));
        const uint64_t m = m0 + (n - m0) / c * c;
        b = (b * m - 1) / c;
        c = m;
    }
    // The new fraction's error: |c x - b den|.
    const uint64_t residual = Distance(Mul(c, x), Mul(b, den));
    return MakeRatio(a, static_cast<uint32_t>(b), static_cast<uint32_t>(c), residual);
}

/* Output error of a divider ratio approximated by `ratio`, in 1/1024 uHz. A multisynth ratio
 * num/den is off by residual/(c den), and the output f = VCO x den/num moves by f x that / ratio:
 * residual / (c x ratio) micro-hertz. A PLL ratio VCO/xtal off by residual/(c xtal) moves the
 * output xtal x that / multisynth: residual / (c x multisynth), the same form. */
constexpr uint64_t ErrorScore(const Ratio &ratio, uint64_t divider) {
    const uint64_t scale = static_cast<uint64_t>(ratio.den) * divider;
    return scale == 0 ? UINT64_MAX : (ratio.residual << 10) / scale;
}

struct Tones {
    uint64_t uhz[SI5351_MAX_TONES];
    uint8_t count;
    uint64_t lowest, highest;
};

/* The best plan so far (written straight into the caller's) and how far off its worst tone is. */
struct Best {
    Si5351TonePlan &plan;
    uint64_t score;
    bool found;
    constexpr void Offer(const Si5351TonePlan &candidate, uint64_t worst) {
        if (!found || worst < score) {
            plan = candidate;
            score = worst;
            found = true;
        }
    }
};

/* A plan from one fixed PLL A whose VCO is `steps` x xtal_hz micro-hertz (PLL ratio steps / 10^6),
 * only the fractional multisynth moving. */
constexpr uint32_t PLL_FRACTION_DEN = 1000000U; /* divides the crystal in micro-hertz */

constexpr void OfferFixedPll(uint32_t xtal_hz, uint64_t steps, const Tones &tones, Best &best) {
    const uint64_t vco_uhz = steps * xtal_hz;
    if (tones.lowest == 0U || vco_uhz / tones.lowest > MS_FRACTIONAL_MAX) {
        return;
    }
    const uint32_t j = static_cast<uint32_t>(steps % PLL_FRACTION_DEN);
    const uint32_t gcd = Gcd(j, PLL_FRACTION_DEN);
    const Si5351Params pll = Si5351_CalcParams(static_cast<uint32_t>(steps / PLL_FRACTION_DEN),
                                               j / gcd, PLL_FRACTION_DEN / gcd);
    Si5351TonePlan candidate{};
    candidate.count = tones.count;
    uint64_t worst = 0;
    for (uint8_t n = 0; n < tones.count; ++n) {
        const Ratio ms = BestRatio(vco_uhz, tones.uhz[n]);
        const uint64_t score = ErrorScore(ms, vco_uhz / tones.uhz[n]);
        worst = score > worst ? score : worst;
        candidate.tone[n] = {pll, ms.params, SI5351_MS_FRACTIONAL};
    }
    best.Offer(candidate, worst);
}

/* Fixed-PLL candidates: the whole multiples of the crystal inside the VCO window first, then
 * points of the window at golden-ratio positions (k x 0.618034 mod 1 of its width). A multisynth
 * ratio near a simple fraction has no close 20-bit neighbours; where the base frequency is near a
 * simple multiple of the crystal, every whole multiple leaves it there, and an irregular fraction
 * in the PLL moves it away. The VCO keeps a margin inside its range and is at least 8 times the
 * highest tone (fractional multisynth ratios start at 8). */
constexpr uint32_t PLL_GOLDEN_STEP = 618034U;
constexpr uint32_t PLL_FRACTION_TRIES = 12U;
constexpr uint64_t GOOD_ENOUGH_SCORE = 10U << 10; /* 10 uHz: far below what anyone can measure */

/* The k-th candidate's steps (k from 0), 0 after the last. */
[[gnu::noinline]] constexpr uint64_t FixedPllSteps(uint32_t xtal_hz, const Tones &tones,
                                                   uint32_t k) {
    uint64_t vco_min = VCO_MIN_UHZ + VCO_MIN_UHZ / VCO_MARGIN_DIV;
    const uint64_t vco_max = VCO_MAX_UHZ - VCO_MAX_UHZ / VCO_MARGIN_DIV;
    if (tones.highest * MS_FRACTIONAL_MIN > vco_min) {
        vco_min = tones.highest * MS_FRACTIONAL_MIN;
    }
    const uint64_t step_min = (vco_min + xtal_hz - 1) / xtal_hz;
    const uint64_t step_max = vco_max / xtal_hz;
    if (step_min > step_max) {
        return 0;
    }
    const uint64_t first_whole = (step_min + PLL_FRACTION_DEN - 1) / PLL_FRACTION_DEN;
    const uint64_t wholes = step_max / PLL_FRACTION_DEN + 1U - first_whole;
    if (k < wholes) {
        return (first_whole + k) * PLL_FRACTION_DEN;
    }
    k = static_cast<uint32_t>(k - wholes + 1U);
    if (k > PLL_FRACTION_TRIES) {
        return 0;
    }
    const uint64_t width = step_max - step_min;
    const uint64_t golden = (static_cast<uint64_t>(k) * PLL_GOLDEN_STEP) % PLL_FRACTION_DEN;
    return step_min + width / PLL_FRACTION_DEN * golden +
           width % PLL_FRACTION_DEN * golden / PLL_FRACTION_DEN;
}

[[gnu::noinline]] constexpr void OfferFixedPlls(uint32_t xtal_hz, const Tones &tones, Best &best) {
    for (uint32_t k = 0; best.score > GOOD_ENOUGH_SCORE; ++k) {
        const uint64_t steps = FixedPllSteps(xtal_hz, tones, k);
        if (steps == 0) {
            return;
        }
        OfferFixedPll(xtal_hz, steps, tones, best);
    }
}

/* Every tone from a fixed integer multisynth (6 up to 150 MHz, the divide-by-4 from 150 MHz on),
 * only the PLL fraction moving: above 112.5 MHz a fractional multisynth of 8 or more would need a
 * VCO above 900 MHz. Nothing when a tone's VCO falls outside the limits. Kept out of line:
 * inlined, its frame would add to the fixed-PLL search's on the deepest stack path. */
[[gnu::noinline]] constexpr void OfferFixedMultisynth(uint32_t xtal_hz, const Tones &tones,
                                                      const Limits &lim, Best &best) {
    // One multisynth for every tone where one fits; only tones on both sides of 150 MHz need both.
    const bool all_divby4 = tones.lowest * MS_DIVBY4_RATIO >= lim.vco_min_uhz;
    const bool all_ms6 = tones.highest * MS_INTEGER_RATIO <= lim.vco_max_uhz;
    const uint64_t xtal_uhz = xtal_hz * UHZ_PER_HZ;
    Si5351TonePlan candidate{};
    candidate.count = tones.count;
    uint64_t worst = 0;
    for (uint8_t n = 0; n < tones.count; ++n) {
        const bool divby4 =
            all_divby4 || (!all_ms6 && tones.uhz[n] > lim.vco_max_uhz / MS_INTEGER_RATIO);
        const uint32_t ratio = divby4 ? MS_DIVBY4_RATIO : MS_INTEGER_RATIO;
        const uint64_t vco_uhz = tones.uhz[n] * ratio;
        if (vco_uhz < lim.vco_min_uhz || vco_uhz > lim.vco_max_uhz ||
            tones.uhz[n] > lim.out_max_uhz) {
            return;
        }
        const uint64_t output_max_vco = lim.out_max_uhz * ratio;
        const Ratio pll =
            BestPllWithinRange(vco_uhz, xtal_uhz, lim.vco_min_uhz,
                               output_max_vco < lim.vco_max_uhz ? output_max_vco : lim.vco_max_uhz);
        const uint64_t score = ErrorScore(pll, ratio);
        worst = score > worst ? score : worst;
        candidate.tone[n] = {pll.params,
                             divby4 ? Si5351Params{0, 0, 1} : Si5351_CalcParams(ratio, 0, 1),
                             divby4 ? SI5351_MS_DIVBY4 : SI5351_MS_INTEGER};
    }
    best.Offer(candidate, worst);
}

/* ---- Plans that key by one register ---------------------------------------------------------
 * When the chip uses each register as its byte arrives, a tone change that rewrites several bytes
 * of a divider passes through the states between them, some far from both tones. These plans give
 * every tone of a frame the same divider but for the low byte of the moving divider's p2: the
 * fixed divider is shared, and the moving one is Q_n / (128 c) with one denominator c and Q_n =
 * Q_0 + n D, all Q_n within one whole part (the same p1) and their p2 = Q_n mod c within one
 * 256-aligned block. A tone change is then one register, with no state between the two tones.
 *
 * The moving divider is the multisynth below the crystal's frequency (its ratio is the larger
 * one there, so its steps are finer) and the PLL above, with the multisynth a whole number. For a
 * fixed divider the search runs over steps D of the low byte and, for each, over denominators c
 * near where c times the ratio's step per tone is D; the PLL or multisynth that is fixed is chosen
 * from a few candidates as before. Tone 0 and the spacing are exact to the Q resolution; the
 * best candidate is kept, and the search stops once one is good enough. */

/* A ratio whole + frac / 2^64. */
struct Fixed {
    uint64_t whole, frac;
};

/* (hi:lo) / d, for hi < d: the quotient fits 64 bits. Bit by bit, so that it is constexpr and
 * needs no 128-bit division on the board. */
constexpr uint64_t DivWide(const Wide &x, uint64_t d) {
    uint64_t q = 0;
    uint64_t r = x.hi;
    for (int i = 63; i >= 0; --i) {
        const bool carry = (r >> 63) != 0;
        r = (r << 1) | ((x.lo >> i) & 1U);
        q <<= 1;
        if (carry || r >= d) {
            r -= d;
            q |= 1U;
        }
    }
    return q;
}

constexpr Fixed FixedRatio(uint64_t num, uint64_t den) {
    return {num / den, DivWide({num % den, 0}, den)};
}

/* 128 c x ratio, as a whole number of Q units and a fraction. */
[[gnu::always_inline]] constexpr Fixed TimesQ(const Fixed &ratio, uint64_t c) {
    const uint64_t m = 128U * c;
    const Wide f = Mul(m, ratio.frac);
    return {m * ratio.whole + f.hi, f.lo};
}

/* What the search works on: the fixed divider, the moving divider's exact ratio for each tone
 * (128 c times it is what Q_n stands for), and the limits of that ratio. */
struct Grid {
    Fixed ratio[SI5351_MAX_TONES];
    uint64_t ratio_min_q, ratio_max_q; /* the moving ratio's limits x 128 */
    Si5351Setting fixed;               /* the divider that does not move */
    bool pll_moves;
    /* With the PLL moving: the crystal, and the VCO's limits (the output's folded in). */
    uint64_t xtal_uhz, vco_min_uhz, vco_max_uhz;
};

constexpr uint32_t ONE_BYTE_SPAN = 255U;
/* Denominators tried on each side of a step's centre: near it the spacing is exact; where nothing
 * keeps one register there (the four tones' p2 falling across a 256 boundary for every step), a
 * wider window gives the spacing up for a little accuracy. */
constexpr uint32_t GRID_WINDOW = 96U;
constexpr uint32_t GRID_WIDE_WINDOW = 2048U;
/* Denominators tried at most for one plan, and for one fixed divider: a fixed PLL (one of some
 * twenty) or a whole multisynth ratio (a few at most, only 6 from 112.5 to 150 MHz). */
constexpr uint32_t GRID_TRIALS = 24000U;
constexpr uint32_t GRID_TRIALS_PER_PLL = 1000U;
constexpr uint32_t GRID_TRIALS_PER_MULTISYNTH = 6000U;
constexpr uint64_t GRID_GOOD_ENOUGH = 100U << 10;  /* 0.1 mHz */
constexpr uint64_t GRID_ACCEPTABLE = 25000U << 10; /* 25 mHz: beyond, the closest tone by tone */

/* t - q in 2^-32 units (|t - q| < 2^31 here). */
constexpr int64_t QError(const Fixed &t, uint64_t q) {
    return static_cast<int64_t>((t.whole - q) << 32) + static_cast<int64_t>(t.frac >> 32);
}
constexpr uint64_t Magnitude(int64_t e) {
    return static_cast<uint64_t>(e < 0 ? -e : e);
}

/* The worst error of Q_n = Q_0 + n d against 128 c times each tone's ratio, in 2^-32 Q units, for
 * Q_0 rounded from the first tone; UINT64_MAX when the tones do not keep one register or the ratio
 * leaves its limits. The first and last tone are looked at first (the others lie between them): a
 * candidate no better than `bound` is dropped there. */
[[gnu::noinline]] constexpr uint64_t GridError(const Grid &g, const Tones &tones, uint64_t c,
                                               int64_t d, uint64_t bound, uint64_t &q0) {
    const uint8_t last = static_cast<uint8_t>(tones.count - 1U);
    const Fixed t0 = TimesQ(g.ratio[0], c);
    const Fixed tl = TimesQ(g.ratio[last], c);
    q0 = t0.whole + (t0.frac >> 63);
    const uint64_t q_last = q0 + static_cast<uint64_t>(d * last);
    uint64_t worst = Magnitude(QError(t0, q0));
    const uint64_t end = Magnitude(QError(tl, q_last));
    worst = end > worst ? end : worst;
    if (worst >= bound) {
        return UINT64_MAX;
    }
    /* One register: the moving p2 = Q mod c keeps everything above the byte that steps (the low
     * byte, or the next one when every step is a whole number of 256), and p1 = Q / c - 512. */
    const unsigned shift = d != 0 && d % 256 == 0 ? 16U : 8U;
    const uint64_t lo = d >= 0 ? q0 : q_last, hi = d >= 0 ? q_last : q0;
    if (lo < g.ratio_min_q * c || hi > g.ratio_max_q * c || lo / c != hi / c ||
        (lo % c) >> shift != (hi % c) >> shift) {
        return UINT64_MAX;
    }
    /* The VCO, xtal x Q / (128 c), within its limits for every tone. */
    if (g.pll_moves && (Below(Mul(lo, g.xtal_uhz), Mul(g.vco_min_uhz, 128U * c)) ||
                        Below(Mul(g.vco_max_uhz, 128U * c), Mul(hi, g.xtal_uhz)))) {
        return UINT64_MAX;
    }
    for (uint8_t n = 1; n < last; ++n) {
        const uint64_t e =
            Magnitude(QError(TimesQ(g.ratio[n], c), q0 + static_cast<uint64_t>(d * n)));
        worst = e > worst ? e : worst;
    }
    return worst < bound ? worst : UINT64_MAX;
}

/* Written straight into the best plan: no candidate on the stack. */
[[gnu::noinline]] constexpr void OfferGrid(const Grid &g, const Tones &tones, uint64_t c,
                                           uint64_t q0, int64_t d, uint64_t score, Best &best) {
    Si5351TonePlan &plan = best.plan;
    plan.count = tones.count;
    plan.smooth = true;
    for (uint8_t n = 0; n < tones.count; ++n) {
        const uint64_t q = q0 + static_cast<uint64_t>(d * n);
        const Si5351Params moving = {static_cast<uint32_t>(q / c - 512U),
                                     static_cast<uint32_t>(q % c), static_cast<uint32_t>(c)};
        plan.tone[n] = g.fixed;
        if (g.pll_moves) {
            plan.tone[n].pll = moving;
        } else {
            plan.tone[n].ms = moving;
        }
    }
    best.score = score;
    best.found = true;
}

/* Steps D from the largest that fits (the finest Q units) down: whole numbers of 256, where the
 * denominators allow them (the second byte steps), then 1..85 (the low byte steps); for each, the
 * denominators within `window` of D / step. The error is weighed in micro-hertz: a Q unit moves a
 * tone by tone / Q, nearly the same over a window, so it is worked out once per window. */
[[gnu::noinline]] constexpr void SearchGrid(const Grid &g, const Tones &tones, uint32_t window,
                                            uint32_t each, uint32_t &trials, Best &best) {
    const uint8_t last = static_cast<uint8_t>(tones.count - 1U);
    /* The moving ratio's step per tone x 128, as a fraction of 2^64. */
    const Fixed &a = g.ratio[0];
    const Fixed &b = g.ratio[last];
    const bool up = b.whole > a.whole || (b.whole == a.whole && b.frac >= a.frac);
    const Fixed &hi = up ? b : a;
    const Fixed &lo = up ? a : b;
    /* Tones on both sides of a whole 128th of the ratio would need two values of p1. */
    if (TimesQ(lo, 1).whole != TimesQ(hi, 1).whole) {
        return;
    }
    const uint64_t diff = hi.frac - lo.frac; /* wraps right when the whole parts differ by one */
    const Wide step128 = Mul(diff / last, 128U);
    if (step128.hi != 0 || step128.lo == 0) {
        return; /* tones too far apart, or none */
    }
    const uint64_t step = step128.lo;
    const uint64_t d_fit = Mul(FRACTION_MAX_DEN, step).hi;
    /* A larger step gives finer Q units but leaves the tones less room in their block: from about
     * three quarters of the most that could fit. */
    const uint64_t most = ONE_BYTE_SPAN / last * 3U / 4U;
    const uint32_t budget = trials + each;
    for (const uint64_t unit : {256U, 1U}) {
        uint64_t j = d_fit / unit < most ? d_fit / unit : most;
        for (; j >= 1U && trials < budget && trials < GRID_TRIALS; --j) {
            const uint64_t centre = DivWide({j * unit, 0}, step);
            const uint64_t c_lo = centre > window ? centre - window : 1U;
            const uint64_t c_hi =
                centre + window < FRACTION_MAX_DEN ? centre + window : FRACTION_MAX_DEN;
            /* 1/1024 uHz per 2^-32 Q unit, x 2^32, at the centre: tone / (128 c ratio). */
            const uint64_t q_centre = TimesQ(g.ratio[last], c_hi).whole;
            const uint64_t per_unit = (tones.uhz[last] << 10) / q_centre;
            const uint64_t bound_units =
                best.found ? (best.score < (UINT64_MAX >> 32) ? (best.score << 32) / per_unit + 1
                                                              : UINT64_MAX)
                           : UINT64_MAX;
            uint64_t bound = bound_units;
            const int64_t dq = static_cast<int64_t>(j * unit) * (up ? 1 : -1);
            for (uint64_t c = c_lo; c <= c_hi; ++c, ++trials) {
                uint64_t q0 = 0;
                const uint64_t e = GridError(g, tones, c, dq, bound, q0);
                if (e != UINT64_MAX) {
                    bound = e;
                    const Wide score = Mul(e, per_unit);
                    OfferGrid(g, tones, c, q0, dq, ((score.hi << 32) | (score.lo >> 32)) + 1U,
                              best);
                }
            }
            if (best.found && best.score <= GRID_GOOD_ENOUGH) {
                return;
            }
        }
    }
}

/* The multisynth moving, PLL A fixed at `steps` x xtal_hz micro-hertz (PLL ratio steps / 10^6);
 * false when the multisynth would leave its range. */
[[gnu::noinline]] constexpr bool GridOfFixedPll(uint32_t xtal_hz, uint64_t steps,
                                                const Tones &tones, Grid &g) {
    const uint64_t vco_uhz = steps * xtal_hz;
    if (vco_uhz / tones.lowest > MS_FRACTIONAL_MAX || vco_uhz < tones.highest * MS_FRACTIONAL_MIN) {
        return false;
    }
    const uint32_t j = static_cast<uint32_t>(steps % PLL_FRACTION_DEN);
    const uint32_t gcd = Gcd(j, PLL_FRACTION_DEN);
    g.fixed = {Si5351_CalcParams(static_cast<uint32_t>(steps / PLL_FRACTION_DEN), j / gcd,
                                 PLL_FRACTION_DEN / gcd),
               {},
               SI5351_MS_FRACTIONAL};
    g.pll_moves = false;
    g.ratio_min_q = uint64_t{128} * MS_FRACTIONAL_MIN;
    g.ratio_max_q = uint64_t{128} * MS_FRACTIONAL_MAX;
    for (uint8_t n = 0; n < tones.count; ++n) {
        g.ratio[n] = FixedRatio(vco_uhz, tones.uhz[n]);
    }
    return true;
}

/* The PLL moving, multisynth 1 fixed at a whole ratio: the divide-by-4, 6 in integer mode, or 8 and
 * more as a fraction without a fractional part; false when a tone's VCO falls outside the limits.
 */
[[gnu::noinline]] constexpr bool GridOfFixedMultisynth(uint32_t xtal_hz, uint32_t ratio,
                                                       const Tones &tones, const Limits &lim,
                                                       Grid &g) {
    if (tones.lowest * ratio < lim.vco_min_uhz || tones.highest * ratio > lim.vco_max_uhz ||
        tones.highest > lim.out_max_uhz) {
        return false;
    }
    g.fixed.ms_mode = ratio == MS_DIVBY4_RATIO    ? SI5351_MS_DIVBY4
                      : ratio < MS_FRACTIONAL_MIN ? SI5351_MS_INTEGER
                                                  : SI5351_MS_FRACTIONAL;
    g.fixed.ms = ratio == MS_DIVBY4_RATIO ? Si5351Params{0, 0, 1} : Si5351_CalcParams(ratio, 0, 1);
    g.pll_moves = true;
    g.ratio_min_q = uint64_t{128} * PLL_RATIO_MIN;
    g.ratio_max_q = uint64_t{128} * PLL_RATIO_MAX;
    g.xtal_uhz = xtal_hz * UHZ_PER_HZ;
    g.vco_min_uhz = lim.vco_min_uhz;
    g.vco_max_uhz =
        lim.out_max_uhz * ratio < lim.vco_max_uhz ? lim.out_max_uhz * ratio : lim.vco_max_uhz;
    for (uint8_t n = 0; n < tones.count; ++n) {
        g.ratio[n] = FixedRatio(tones.uhz[n] * ratio, g.xtal_uhz);
    }
    return true;
}

/* Every grid plan within the limits: the multisynth moving from the fixed PLLs tried before, then
 * the PLL moving from each whole multisynth ratio that fits, the largest first (the finest steps).
 * Below the crystal's frequency the multisynth's steps are finer, above it the PLL's. The grid is
 * filled here and searched from here, so the search's frames do not stack on the filling's. */
constexpr void OfferGrids(uint32_t xtal_hz, const Tones &tones, const Limits &lim, uint32_t window,
                          Best &best) {
    if (tones.count < 2U) {
        return;
    }
    uint32_t trials = 0;
    Grid g{};
    const bool ms_first = tones.highest < static_cast<uint64_t>(xtal_hz) * UHZ_PER_HZ;
    for (int pass = 0; pass < 2; ++pass) {
        if ((pass == 0) == ms_first) {
            for (uint32_t k = 0;
                 (!best.found || best.score > GRID_GOOD_ENOUGH) && trials < GRID_TRIALS; ++k) {
                const uint64_t steps = FixedPllSteps(xtal_hz, tones, k);
                if (steps == 0) {
                    break;
                }
                if (GridOfFixedPll(xtal_hz, steps, tones, g)) {
                    SearchGrid(g, tones, window, GRID_TRIALS_PER_PLL, trials, best);
                }
            }
        } else {
            uint64_t top = lim.vco_max_uhz / tones.highest;
            top = top > MS_FRACTIONAL_MAX ? MS_FRACTIONAL_MAX : top;
            for (uint64_t m = top; m >= MS_DIVBY4_RATIO; --m) {
                if ((m == 5U || m == 7U) || (best.found && best.score <= GRID_GOOD_ENOUGH)) {
                    continue;
                }
                if (GridOfFixedMultisynth(xtal_hz, static_cast<uint32_t>(m), tones, lim, g)) {
                    SearchGrid(g, tones, window, GRID_TRIALS_PER_MULTISYNTH, trials, best);
                }
            }
        }
        if (best.found && best.score <= GRID_GOOD_ENOUGH) {
            return;
        }
    }
}

/* The smallest R divider (as its log2) that puts the multisynth's output 100 ppm above 500 kHz or
 * more, so that neither the plan's error nor a crystal off by its tolerance takes it below. */
constexpr uint64_t MS_OUT_SAFE_MIN_UHZ =
    SI5351_MS_OUT_MIN_UHZ + SI5351_MS_OUT_MIN_UHZ / SAFE_MARGIN_DIV;
constexpr uint8_t RDividerLog2(uint64_t first_uhz) {
    uint8_t r = 0;
    while (r < SI5351_R_DIV_MAX_LOG2 && (first_uhz << r) < MS_OUT_SAFE_MIN_UHZ) {
        ++r;
    }
    return r;
}
static_assert(RDividerLog2(137500000000ULL) == 2U && RDividerLog2(475700000000ULL) == 1U &&
              RDividerLog2(500000000000ULL) == 1U && RDividerLog2(500050000000ULL) == 0U &&
              RDividerLog2(8000000000ULL) == 6U);

// Inlined into its callers: the planning is the deepest path of the main loop.
[[gnu::always_inline]] constexpr inline bool PlanTones(uint32_t xtal_hz, uint64_t first_uhz,
                                                       uint64_t spacing_uhz, uint8_t count,
                                                       Si5351TonePlan &plan) {
    if (count == 0 || count > SI5351_MAX_TONES || xtal_hz < SI5351_XTAL_MIN_HZ ||
        xtal_hz > SI5351_XTAL_MAX_HZ) {
        return false;
    }
    if (first_uhz < SI5351_CLK1_MIN_UHZ || first_uhz > SI5351_CLK1_MAX_UHZ ||
        (spacing_uhz != 0 && count - 1U > (SI5351_CLK1_MAX_UHZ - first_uhz) / spacing_uhz)) {
        return false;
    }
    /* Below 500 kHz the multisynth plans the tones R times higher and the R divider brings them
     * down: the plan's errors shrink by R on the way. */
    const uint8_t r = RDividerLog2(first_uhz);
    Tones tones{{}, count, UINT64_MAX, 0};
    for (uint8_t n = 0; n < count; ++n) {
        tones.uhz[n] = (first_uhz + n * spacing_uhz) << r;
        tones.lowest = tones.uhz[n] < tones.lowest ? tones.uhz[n] : tones.lowest;
        tones.highest = tones.uhz[n] > tones.highest ? tones.uhz[n] : tones.highest;
    }
    /* Plans that key by one register first; the closest plans tone by tone only where none
     * exists (tones on both sides of 150 MHz or of a step of p1) or none comes within 25 mHz (at
     * the top of the range, above 150 MHz), first within the safe limits, then the chip's. */
    Best best{plan, UINT64_MAX, false};
    OfferGrids(xtal_hz, tones, SAFE_LIMITS, GRID_WINDOW, best);
    if (!best.found) {
        OfferGrids(xtal_hz, tones, SAFE_LIMITS, GRID_WIDE_WINDOW, best);
    }
    if (!best.found || best.score > GRID_ACCEPTABLE) {
        OfferFixedPlls(xtal_hz, tones, best);
        OfferFixedMultisynth(xtal_hz, tones, SAFE_LIMITS, best);
    }
    const bool keeps_margin = best.found;
    if (!best.found) {
        OfferGrids(xtal_hz, tones, CHIP_LIMITS, GRID_WIDE_WINDOW, best);
    }
    if (!best.found || best.score > GRID_ACCEPTABLE) {
        OfferFixedMultisynth(xtal_hz, tones, CHIP_LIMITS, best);
    }
    if (best.found) {
        plan.r_div_log2 = r;
        plan.xtal_hz = xtal_hz;
        plan.xtal_mhz = uint64_t{xtal_hz} * 1000U;
        plan.first_uhz = first_uhz;
        plan.spacing_uhz = spacing_uhz;
        plan.keeps_margin = keeps_margin;
    }
    return best.found;
}

constexpr bool SameParams(const Si5351Params &a, const Si5351Params &b) {
    return a.p1 == b.p1 && a.p2 == b.p2 && a.p3 == b.p3;
}

/* A tone for the crystal xtal_hz that the crystal xtal_mhz turns into uhz: uhz x 1000 xtal_hz /
 * xtal_mhz, rounded, exact in 128 bits. */
constexpr uint64_t MovedTone(uint64_t uhz, uint32_t xtal_hz, uint64_t xtal_mhz) {
    const Wide scaled = Mul(uhz, uint64_t{xtal_hz} * 1000U);
    const uint64_t half = xtal_mhz / 2U;
    const Wide rounded = {scaled.hi + (scaled.lo + half < scaled.lo ? 1U : 0U), scaled.lo + half};
    return DivWide(rounded, xtal_mhz);
}

constexpr bool PlanTonesMilli(uint64_t xtal_mhz, uint64_t first_uhz, uint64_t spacing_uhz,
                              uint8_t count, Si5351TonePlan &plan) {
    const uint64_t whole = (xtal_mhz + 500U) / 1000U;
    if (whole < SI5351_XTAL_MIN_HZ || whole > SI5351_XTAL_MAX_HZ) {
        return false;
    }
    const uint32_t xtal_hz = static_cast<uint32_t>(whole);
    const uint64_t first = MovedTone(first_uhz, xtal_hz, xtal_mhz);
    const uint64_t spacing = MovedTone(spacing_uhz, xtal_hz, xtal_mhz);
    if (!PlanTones(xtal_hz, first, spacing, count, plan)) {
        return false;
    }
    plan.xtal_mhz = xtal_mhz;
    plan.first_uhz = first_uhz;
    plan.spacing_uhz = spacing_uhz;
    return true;
}

/* ---- Worked examples, checked when the planning is compiled ---------------------------------
 * The default base frequency 14097070 Hz on the calibrated crystal: PLL A at 25 x 25003275 Hz =
 * 625081875 Hz for every tone, the multisynth (p1 + 512 + p2/868128) / 128 with p1 = 5163 and p2
 * from 591666 down by 512 a tone (one register, the second byte of p2: 0x90732 .. 0x90132); tone 0
 * 46 uHz low. 144490500 Hz (2 m): multisynth 6 in integer mode and the PLL moving, p2 from 111188
 * up by 30 a tone over p3 = 666754 (the low byte). 150 MHz: divide-by-4 and the PLL just above
 * 600 MHz, p2 from 617745 up by 31 a tone over 1033674. */
constexpr bool SameSetting(const Si5351Setting &s, const Si5351Params &pll, const Si5351Params &ms,
                           Si5351MsMode mode) {
    return SameParams(s.pll, pll) && SameParams(s.ms, ms) && s.ms_mode == mode;
}
constexpr bool PlanIs(uint64_t base_hz, uint8_t tone, const Si5351Params &pll,
                      const Si5351Params &ms, Si5351MsMode mode) {
    Si5351TonePlan plan{};
    return PlanTones(SI5351_XTAL_HZ, base_hz * UHZ_PER_HZ, WSPR_TONE_SPACING_UHZ, 4, plan) &&
           SameSetting(plan.tone[tone], pll, ms, mode);
}
static_assert(Si5351_CalcParams(44, 343082, 1005333).p1 == 5163 &&
              Si5351_CalcParams(44, 343082, 1005333).p2 == 685177);
static_assert(PlanIs(14097070, 0, {2688, 0, 1}, {5163, 591666, 868128}, SI5351_MS_FRACTIONAL));
static_assert(PlanIs(14097070, 3, {2688, 0, 1}, {5163, 590130, 868128}, SI5351_MS_FRACTIONAL));
static_assert(PlanIs(144490500, 0, {3926, 111188, 666754}, {256, 0, 1}, SI5351_MS_INTEGER));
static_assert(PlanIs(144490500, 3, {3926, 111278, 666754}, {256, 0, 1}, SI5351_MS_INTEGER));
static_assert(PlanIs(150000000, 0, {2559, 617745, 1033674}, {0, 0, 1}, SI5351_MS_DIVBY4));

/* Between any two tones of these plans the chip's registers differ in one byte. */
constexpr int BytesApart(const Si5351Setting &a, const Si5351Setting &b) {
    const auto pa = Si5351_ParamsImage(a.pll), pb = Si5351_ParamsImage(b.pll);
    const auto ma = Si5351_ParamsImage(a.ms), mb = Si5351_ParamsImage(b.ms);
    int apart = 0;
    for (size_t i = 0; i < pa.size(); ++i) {
        apart += (pa[i] != pb[i]) + (ma[i] != mb[i]);
    }
    return apart;
}
constexpr bool KeysByOneRegister(uint64_t base_hz) {
    Si5351TonePlan plan{};
    if (!PlanTones(SI5351_XTAL_HZ, base_hz * UHZ_PER_HZ, WSPR_TONE_SPACING_UHZ, 4, plan) ||
        !plan.smooth) {
        return false;
    }
    for (uint8_t i = 0; i < 4; ++i) {
        for (uint8_t j = 0; j < 4; ++j) {
            if (i != j && BytesApart(plan.tone[i], plan.tone[j]) != 1) {
                return false;
            }
        }
    }
    return true;
}
/* A crystal in millihertz plans as its whole hertz does when it is one, and half a hertz more
 * moves the multisynth's p2 (the ratio grows by 20 ppb) with the PLL fixed. */
constexpr bool MilliPlanIs(uint64_t xtal_mhz, uint64_t base_hz, uint8_t tone,
                           const Si5351Params &pll, const Si5351Params &ms) {
    Si5351TonePlan plan{};
    return PlanTonesMilli(xtal_mhz, base_hz * UHZ_PER_HZ, WSPR_TONE_SPACING_UHZ, 4, plan) &&
           SameSetting(plan.tone[tone], pll, ms, SI5351_MS_FRACTIONAL) &&
           plan.xtal_mhz == xtal_mhz && plan.first_uhz == base_hz * UHZ_PER_HZ;
}
static_assert(MilliPlanIs(25003275000ULL, 14097070, 0, {2688, 0, 1}, {5163, 591666, 868128}));
static_assert(MovedTone(14097070000000ULL, 25003275, 25003275500ULL) == 14097069718096ULL);

static_assert(KeysByOneRegister(14097070) && KeysByOneRegister(144490500) &&
              KeysByOneRegister(2500000) && KeysByOneRegister(50294500));

/* A tone keeps the margin from the multisynth 6 (and below) or from the divide-by-4. */
constexpr bool ToneKeepsMargin(uint64_t uhz) {
    return uhz * MS_INTEGER_RATIO <= SAFE_LIMITS.vco_max_uhz ||
           (uhz * MS_DIVBY4_RATIO >= SAFE_LIMITS.vco_min_uhz && uhz <= SAFE_LIMITS.out_max_uhz);
}
static_assert(ToneKeepsMargin(149984995000000ULL) && !ToneKeepsMargin(149985001000000ULL) &&
              !ToneKeepsMargin(150000000000000ULL) && ToneKeepsMargin(150015001000000ULL));

} // namespace

bool Si5351_TonesKeepMargin(uint64_t first_uhz, uint64_t spacing_uhz, uint8_t count) {
    for (uint8_t n = 0; n < count; ++n) {
        if (!ToneKeepsMargin(first_uhz + n * spacing_uhz)) {
            return false;
        }
    }
    return true;
}

bool Si5351_PlanTones(uint32_t xtal_hz, uint64_t first_uhz, uint64_t spacing_uhz, uint8_t count,
                      Si5351TonePlan *plan) {
    return plan != nullptr && PlanTones(xtal_hz, first_uhz, spacing_uhz, count, *plan);
}

bool Si5351_PlanTonesMilli(uint64_t xtal_mhz, uint64_t first_uhz, uint64_t spacing_uhz,
                           uint8_t count, Si5351TonePlan *plan) {
    return plan != nullptr && PlanTonesMilli(xtal_mhz, first_uhz, spacing_uhz, count, *plan);
}
