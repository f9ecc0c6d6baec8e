#include "si5351_model.h"

#include "uint128.h"

namespace sim {

namespace {

using u128 = Uint128;

constexpr uint8_t REG_OUTPUT_ENABLE = 3;
constexpr uint8_t REG_CLK0_CONTROL = 16;
constexpr uint8_t REG_CLK1_CONTROL = 17;
constexpr uint8_t REG_PLLA = 26;
constexpr uint8_t REG_PLLB = 34;
constexpr uint8_t REG_MS0 = 42;
constexpr uint8_t REG_MS1 = 50;
constexpr uint8_t OEB_CLK0 = 0x01;
constexpr uint8_t REG_PLL_RESET = 177;

constexpr uint8_t OEB_CLK1 = 0x02;
constexpr uint8_t CLK_PDN = 0x80;
constexpr uint8_t CLK_INT_MODE = 0x40;
constexpr uint8_t CLK_PLLB_SRC = 0x20;
constexpr uint8_t CLK_SRC_MASK = 0x0C;
constexpr uint8_t CLK_SRC_OWN_MS = 0x0C;
constexpr uint8_t PLL_RESET_A = 0x20;
constexpr uint8_t PLL_RESET_B = 0x80;

// A divider ratio as the chip encodes it: (p1 + 512 + p2/p3) / 128 = (p3 (p1 + 512) + p2) / (128
// p3).
u128 RatioNumerator(uint32_t p1, uint32_t p2, uint32_t p3) {
    return static_cast<u128>(p3) * (static_cast<u128>(p1) + 512) + p2;
}

uint64_t RoundedQuotient(u128 num, u128 den) {
    return static_cast<uint64_t>((num + den / 2) / den);
}

} // namespace

Si5351Model::Si5351Model(uint64_t xtal_hz, Latch latch) : xtal_hz_(xtal_hz), latch_(latch) {
    for (uint8_t r = 16; r <= 23; ++r) {
        regs_[r] = CLK_PDN;
    }
}

bool Si5351Model::i2c_start(uint64_t) {
    byte_index_ = 0;
    have_pointer_ = false;
    in_transfer_ = nack_index_ != 0 && !holds_sda();
    return in_transfer_;
}

bool Si5351Model::i2c_write(uint8_t byte, uint64_t t_ns) {
    if (!in_transfer_) {
        return false;
    }
    ++byte_index_;
    if (byte_index_ == nack_index_) {
        return false;
    }
    if (!have_pointer_) {
        pointer_ = byte;
        have_pointer_ = true;
        return true;
    }
    if (pointer_ == REG_PLL_RESET) {
        if (byte & PLL_RESET_A) {
            ++pll_a_resets_;
            last_pll_a_reset_us_ = t_ns / 1000;
            reset_in_transfer_ = true;
        }
        byte = static_cast<uint8_t>(byte & ~(PLL_RESET_A | PLL_RESET_B)); // self-clearing
    }
    regs_[pointer_++] = byte;
    if (latch_ == Latch::BYTE) {
        const bool reset = reset_in_transfer_;
        reset_in_transfer_ = false;
        Recompute(t_ns, reset);
    }
    return true;
}

bool Si5351Model::i2c_start_read(uint64_t) {
    byte_index_ = 0;
    in_transfer_ = nack_index_ != 0 && !holds_sda();
    return in_transfer_;
}

uint8_t Si5351Model::i2c_read(bool, uint64_t t_ns) {
    constexpr uint8_t REG_DEVICE_STATUS = 0;
    constexpr uint8_t SYS_INIT = 0x80;
    const uint8_t index = pointer_++;
    if (index == REG_DEVICE_STATUS) {
        return t_ns < sys_init_until_ns_ ? SYS_INIT : 0;
    }
    return regs_[index];
}

void Si5351Model::i2c_stop(uint64_t t_ns) {
    if (in_transfer_) {
        ++transfers_;
    }
    in_transfer_ = false;
    const bool reset = reset_in_transfer_;
    reset_in_transfer_ = false;
    Recompute(t_ns, reset);
}

Si5351Model::Params Si5351Model::Decode(uint8_t base) const {
    const uint8_t *r = &regs_[base];
    Params p{};
    p.p3 = (static_cast<uint32_t>(r[5] >> 4) << 16) | (static_cast<uint32_t>(r[0]) << 8) | r[1];
    p.p1 = (static_cast<uint32_t>(r[2] & 0x03U) << 16) | (static_cast<uint32_t>(r[3]) << 8) | r[4];
    p.p2 = (static_cast<uint32_t>(r[5] & 0x0FU) << 16) | (static_cast<uint32_t>(r[6]) << 8) | r[7];
    return p;
}

uint64_t Si5351Model::PllOutputUhz(uint64_t xtal_hz, uint32_t p1, uint32_t p2, uint32_t p3) {
    if (p3 == 0) {
        return 0;
    }
    u128 num = static_cast<u128>(xtal_hz) * 1000000U * RatioNumerator(p1, p2, p3);
    return RoundedQuotient(num, static_cast<u128>(128) * p3);
}

namespace {
uint64_t OutputUhz(uint64_t xtal_uhz, uint32_t pll_p1, uint32_t pll_p2, uint32_t pll_p3,
                   uint32_t ms_p1, uint32_t ms_p2, uint32_t ms_p3, unsigned r_div_log2) {
    if (pll_p3 == 0 || ms_p3 == 0) {
        return 0;
    }
    // xtal * (Np / 128 pll_p3) / (Nm / 128 ms_p3) / 2^r, the two factors of 128 cancelling.
    u128 num = static_cast<u128>(xtal_uhz) * RatioNumerator(pll_p1, pll_p2, pll_p3) * ms_p3;
    u128 den = static_cast<u128>(pll_p3) * RatioNumerator(ms_p1, ms_p2, ms_p3)
               << (r_div_log2 & 0x07U);
    return RoundedQuotient(num, den);
}
} // namespace

uint64_t Si5351Model::Clk1OutputUhz(uint64_t xtal_hz, uint32_t pll_p1, uint32_t pll_p2,
                                    uint32_t pll_p3, uint32_t ms_p1, uint32_t ms_p2, uint32_t ms_p3,
                                    unsigned r_div_log2) {
    if (pll_p3 == 0 || ms_p3 == 0) {
        return 0;
    }
    // xtal * (Np / 128 pll_p3) / (Nm / 128 ms_p3) / 2^r, the two factors of 128 cancelling.
    u128 num =
        static_cast<u128>(xtal_hz) * 1000000U * RatioNumerator(pll_p1, pll_p2, pll_p3) * ms_p3;
    u128 den = static_cast<u128>(pll_p3) * RatioNumerator(ms_p1, ms_p2, ms_p3)
               << (r_div_log2 & 0x07U);
    return RoundedQuotient(num, den);
}

namespace {

constexpr uint64_t UHZ_PER_HZ = 1000000ULL;
constexpr uint64_t UHZ_PER_MHZ = 1000000ULL * UHZ_PER_HZ;

// A divider ratio x 128 p3, exact: (p1 + 512) p3 + p2 over 128 p3.
struct ExactRatio {
    u128 num;
    u128 den;
};
ExactRatio RatioOf(uint32_t p1, uint32_t p2, uint32_t p3) {
    return {RatioNumerator(p1, p2, p3), static_cast<u128>(128) * p3};
}
bool Below(const ExactRatio &r, uint64_t whole) {
    return r.num < r.den * whole;
}
bool Above(const ExactRatio &r, uint64_t whole) {
    return r.num > r.den * whole;
}

} // namespace

std::string Si5351Model::LimitViolation() const {
    const uint8_t control = regs_[REG_CLK1_CONTROL];
    const Params pll = Decode(REG_PLLA);
    const Params ms = Decode(REG_MS1);
    if (pll.p3 == 0 || pll.p2 >= pll.p3) {
        return "PLL A fraction p2/p3 invalid";
    }
    const ExactRatio feedback = RatioOf(pll.p1, pll.p2, pll.p3);
    if (Below(feedback, 15) || Above(feedback, 90)) {
        return "PLL A feedback ratio outside 15..90";
    }
    const u128 vco_num = static_cast<u128>(xtal_hz_) * feedback.num; // Hz x den
    if (vco_num < feedback.den * 600000000U || vco_num > feedback.den * 900000000U) {
        return "PLL A VCO outside 600..900 MHz";
    }
    const bool integer_mode = (control & CLK_INT_MODE) != 0;
    if (ms1_divby4()) {
        if (!integer_mode) {
            return "multisynth 1 divide-by-4 without integer mode";
        }
    } else if (integer_mode) {
        if (ms.p2 != 0 || (ms.p1 + 512U) % 128U != 0 || (ms.p1 + 512U) / 128U < 6) {
            return "multisynth 1 integer mode needs a whole ratio of 6 or more";
        }
    } else {
        if (ms.p3 == 0 || ms.p2 >= ms.p3) {
            return "multisynth 1 fraction p2/p3 invalid";
        }
        const ExactRatio ratio = RatioOf(ms.p1, ms.p2, ms.p3);
        if (Below(ratio, 8) || Above(ratio, 2048)) {
            return "multisynth 1 fractional ratio outside 8..2048";
        }
    }
    if (freq_uhz_ > 200 * UHZ_PER_MHZ) {
        return "CLK1 above 200 MHz";
    }
    if (ms1_divby4() && r1_div_log2() != 0) {
        return "multisynth 1 divide-by-4 with an R divider other than 1";
    }
    if ((freq_uhz_ << r1_div_log2()) < 500000U * UHZ_PER_HZ) {
        return "multisynth 1 output below 500 kHz";
    }
    return {};
}

void Si5351Model::Recompute(uint64_t t_ns, bool pll_reset) {
    AdvanceClk0(t_ns);
    const long double ratio = Clk0Ratio();
    if (clk0_ratio_ == 0 && ratio > 0) {
        // CLK0 comes on at the phase it would have if it had run from the world's time 0: where
        // a start's phase falls is arbitrary on the chip; this way it does not depend on when the
        // MCU got to start it, and two MCUs that start it microseconds apart count alike.
        clk0_cycles_ = ratio * XtalCycles(0, t_ns);
    }
    clk0_ratio_ = ratio;
    const uint8_t control = regs_[REG_CLK1_CONTROL];
    bool on = (control & CLK_PDN) == 0 && (regs_[REG_OUTPUT_ENABLE] & OEB_CLK1) == 0 &&
              (control & CLK_PLLB_SRC) == 0 && (control & CLK_SRC_MASK) == CLK_SRC_OWN_MS;
    uint64_t freq = 0;
    if (on) {
        Params pll = Decode(REG_PLLA);
        Params ms = Decode(REG_MS1);
        if (ms1_divby4()) {
            ms = {4 * 128 - 512, 0, 1};
        } else if (control & CLK_INT_MODE) {
            ms.p2 = 0; // integer mode leaves the fraction out
            ms.p3 = 1;
        }
        freq = OutputUhz(xtal_uhz_at(t_ns), pll.p1, pll.p2, pll.p3, ms.p1, ms.p2, ms.p3,
                         r1_div_log2());
        on = freq != 0;
    }
    const bool was_on = on_;
    const bool changed = on != on_ || freq != freq_uhz_;
    on_ = on;
    freq_uhz_ = freq;
    if (on_) {
        std::string violation = LimitViolation();
        if (!violation.empty() && violation != last_fault_) {
            ++fault_count_;
            if (faults_.size() < 100) {
                faults_.push_back({t_ns / 1000, violation});
            }
        }
        last_fault_ = violation;
    } else {
        last_fault_.clear();
    }
    // A PLL reset of a running output restarts its phase; one made while CLK1 is off, or in the
    // transfer that switches it on, is not heard.
    const bool phase_break = pll_reset && on && was_on;
    if (!changed && !phase_break) {
        return;
    }
    Change change{t_ns / 1000, on, freq, phase_break};
    if (keep_timeline_) {
        timeline_.push_back(change);
    }
    if (on_change_) {
        on_change_(change);
    }
}

void Si5351Model::set_xtal_drift(std::vector<XtalPoint> points) {
    drift_ = std::move(points);
    if (!drift_.empty()) {
        xtal_hz_ = (drift_.front().uhz + 500000) / 1000000;
    }
}

uint64_t Si5351Model::xtal_uhz_at(uint64_t t_ns) const {
    if (drift_.empty()) {
        return xtal_hz_ * 1000000U;
    }
    if (t_ns <= drift_.front().t_ns) {
        return drift_.front().uhz;
    }
    for (size_t i = 1; i < drift_.size(); ++i) {
        const XtalPoint &a = drift_[i - 1], &b = drift_[i];
        if (t_ns < b.t_ns) {
            const long double f = static_cast<long double>(t_ns - a.t_ns) /
                                  static_cast<long double>(b.t_ns - a.t_ns);
            const long double uhz = static_cast<long double>(a.uhz) +
                                    f * (static_cast<long double>(b.uhz) - a.uhz);
            return static_cast<uint64_t>(uhz + 0.5L);
        }
    }
    return drift_.back().uhz;
}

// The crystal's course is linear between its points: the trapezoid of each piece is exact.
long double Si5351Model::XtalCycles(uint64_t t0_ns, uint64_t t1_ns) const {
    if (drift_.empty()) {
        return static_cast<long double>(xtal_hz_) * static_cast<long double>(t1_ns - t0_ns) / 1e9L;
    }
    long double cycles = 0;
    uint64_t t = t0_ns;
    while (t < t1_ns) {
        uint64_t end = t1_ns;
        for (const XtalPoint &p : drift_) {
            if (p.t_ns > t && p.t_ns < end) {
                end = p.t_ns;
            }
        }
        const long double mean_uhz =
            (static_cast<long double>(xtal_uhz_at(t)) + static_cast<long double>(xtal_uhz_at(end))) /
            2;
        cycles += mean_uhz * static_cast<long double>(end - t) / 1e15L;
        t = end;
    }
    return cycles;
}

long double Si5351Model::Clk0Ratio() const {
    const uint8_t control = regs_[REG_CLK0_CONTROL];
    const bool on = (control & CLK_PDN) == 0 && (regs_[REG_OUTPUT_ENABLE] & OEB_CLK0) == 0 &&
                    (control & CLK_PLLB_SRC) != 0 && (control & CLK_SRC_MASK) == CLK_SRC_OWN_MS;
    if (!on) {
        return 0;
    }
    const Params pll = Decode(REG_PLLB);
    Params ms = Decode(REG_MS0);
    if (control & CLK_INT_MODE) {
        ms.p2 = 0;
        ms.p3 = 1;
    }
    if (pll.p3 == 0 || ms.p3 == 0) {
        return 0;
    }
    const long double feedback = static_cast<long double>(static_cast<uint64_t>(RatioNumerator(pll.p1, pll.p2, pll.p3))) /
                                 (128.0L * pll.p3);
    const long double divide = static_cast<long double>(static_cast<uint64_t>(RatioNumerator(ms.p1, ms.p2, ms.p3))) /
                               (128.0L * ms.p3);
    const unsigned r_log2 = (regs_[REG_MS0 + 2] >> 4) & 0x07U;
    return divide <= 0 ? 0 : feedback / divide / static_cast<long double>(1U << r_log2);
}

void Si5351Model::AdvanceClk0(uint64_t t_ns) {
    if (t_ns <= clk0_at_ns_) {
        return;
    }
    if (clk0_ratio_ > 0) {
        clk0_cycles_ += clk0_ratio_ * XtalCycles(clk0_at_ns_, t_ns);
    }
    clk0_at_ns_ = t_ns;
}

// A time a little before the phase's last update (an edge timed between two of a caller's time
// steps) is worked out backwards from it.
uint64_t Si5351Model::edges_until(uint64_t t_ns) {
    if (t_ns < clk0_at_ns_) {
        const long double back = clk0_ratio_ * XtalCycles(t_ns, clk0_at_ns_);
        return static_cast<uint64_t>(clk0_cycles_ > back ? clk0_cycles_ - back : 0);
    }
    AdvanceClk0(t_ns);
    return static_cast<uint64_t>(clk0_cycles_);
}

uint64_t Si5351Model::clk0_freq_uhz(uint64_t t_ns) const {
    return static_cast<uint64_t>(clk0_ratio_ * static_cast<long double>(xtal_uhz_at(t_ns)) + 0.5L);
}

} // namespace sim
