// Model of the Si5351 clock generator on the virtual I2C bus. It keeps the register file it is
// sent and works out, from the registers alone, what output CLK1 emits: on or off, and its
// frequency in micro-hertz (the exact divider ratio applied to the crystal, rounded to the nearest
// micro-hertz). Every change of what CLK1 emits is kept on a timeline.
//
// Modelled: PLL A (registers 26..33), multisynth 1 (50..57, with its R divider and divide-by-4),
// CLK1 control (17, with integer mode), output enable (3), PLL reset (177). CLK1 is on when it is
// powered up, enabled, driven by multisynth 1 and that multisynth is fed by PLL A, both with
// usable parameters. Other sources (crystal, CLKIN, PLL B) are not modelled and count as off. At
// power-up every output is powered down. The register address pointer auto-increments and wraps
// after 255. Reads give the registers from the pointer the last write set; register 0 (device
// status) reads SYS_INIT (bit 7) set for a while after power-on (the world's time 0), as the chip
// does while it initialises, and 0 after.
//
// When a written register takes effect is not documented: the model can apply each byte as soon
// as it is acknowledged (Latch::BYTE, the default: the chip passes through every state between the
// bytes of a transfer, and each one is on the timeline with its time) or a transfer's bytes
// together at its STOP (Latch::STOP).
//
// CLK0 is modelled too, as the beacon uses it: a reference line to the MCU from PLL B (34..41)
// through multisynth 0 (42..49, integer mode or fraction, R divider), control 16, output enable
// bit 0. The model counts its cycles from the phase (dev::ClockLine): exact, edge by edge, however
// the crystal moves.
//
// The crystal may drift (set_xtal_drift): its frequency over the world's time, linear between
// points, held before the first and after the last. CLK1's frequency follows it when refresh() is
// called (once a second, say: each change is a row of the timeline), CLK0's phase integrates it.
//
// The chip's limits (from its data sheet, written here apart from the driver on purpose) are
// checked whenever CLK1 is on: PLL A's VCO at 600..900 MHz with a feedback ratio of 15..90,
// multisynth 1 either fractional with a ratio of 8..2048, or in integer mode at a whole ratio of
// 6 or more without a fraction, or divide-by-4 (integer mode set, R divider 1); the multisynth's
// own output (CLK1 times the R divider) at 500 kHz or more; no output above 200 MHz. A state
// outside them is recorded as a fault. A PLL A reset while CLK1 is on breaks its phase.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "devices.h"

namespace sim {

class Si5351Model : public dev::I2cDevice, public dev::ClockLine {
  public:
    static constexpr uint8_t ADDRESS_7BIT = 0x60;
    static constexpr uint64_t DEFAULT_XTAL_HZ = 25003275;
    // How long SYS_INIT stays set after power-on unless set otherwise (a plausible few ms).
    static constexpr uint64_t DEFAULT_SYS_INIT_NS = 10000000;

    enum class Latch : uint8_t { BYTE, STOP };

    struct Change {
        uint64_t t_us = 0;
        bool on = false;
        uint64_t freq_uhz = 0;    // 0 while off
        bool phase_break = false; // same frequency, phase restarted (PLL reset while on)
    };

    // A register state outside the chip's limits while CLK1 was on.
    struct Fault {
        uint64_t t_us;
        std::string what;
    };

    // A divider's three register parameters as the chip holds them (p1 18 bits, p2 and p3 20).
    struct Params {
        uint32_t p1, p2, p3;
        bool operator==(const Params &) const = default;
    };

    // Crystal frequencies up to 2^32 - 1 Hz keep the arithmetic exact.
    explicit Si5351Model(uint64_t xtal_hz = DEFAULT_XTAL_HZ, Latch latch = Latch::BYTE);

    uint8_t reg(uint8_t index) const { return regs_[index]; }
    bool clk1_on() const { return on_; }
    uint64_t clk1_freq_uhz() const { return on_ ? freq_uhz_ : 0; }
    uint64_t xtal_hz() const { return xtal_hz_; }
    Latch latch() const { return latch_; }
    // Another crystal (the board's part changed): takes effect with the next transfer.
    void set_xtal_hz(uint64_t hz) {
        xtal_hz_ = hz;
        drift_.clear();
    }

    // A point of the crystal's course: at t_ns it runs at uhz micro-hertz.
    struct XtalPoint {
        uint64_t t_ns;
        uint64_t uhz;
    };
    // The crystal's course from now on (points in time order; empty: constant at xtal_hz()).
    void set_xtal_drift(std::vector<XtalPoint> points);
    // The crystal at t_ns, in micro-hertz.
    uint64_t xtal_uhz_at(uint64_t t_ns) const;
    // CLK1's frequency worked out again for the crystal at t_ns (a row of the timeline when it
    // moved).
    void refresh(uint64_t t_ns) { Recompute(t_ns, false); }

    // CLK0: on, its frequency now in micro-hertz (0 while off), and its rising edges so far.
    bool clk0_on() const { return clk0_ratio_ > 0; }
    uint64_t clk0_freq_uhz(uint64_t t_ns) const;
    uint64_t edges_until(uint64_t t_ns) override;

    // Decoded from the register file as it is now.
    Params pll_a_params() const { return Decode(26); }
    Params ms1_params() const { return Decode(50); }
    unsigned r1_div_log2() const { return (regs_[52] >> 4) & 0x07U; }
    bool ms1_divby4() const { return ((regs_[52] >> 2) & 0x03U) == 0x03U; }
    // Number of PLL A resets requested (bit 5 of register 177), and when the last one was.
    uint64_t pll_a_resets() const { return pll_a_resets_; }
    uint64_t last_pll_a_reset_us() const { return last_pll_a_reset_us_; }

    // Every change of CLK1 (on/off or frequency), in time order.
    const std::vector<Change> &timeline() const { return timeline_; }
    void keep_timeline(bool keep) { keep_timeline_ = keep; }
    void on_change(std::function<void(const Change &)> fn) { on_change_ = std::move(fn); }
    // Transfers that reached their STOP after the address was acknowledged.
    uint64_t transfers() const { return transfers_; }
    // Limit faults so far (the first 100 kept with their text), and how many in all.
    const std::vector<Fault> &faults() const { return faults_; }
    uint64_t fault_count() const { return fault_count_; }

    // Fault: the byte with this index in every transfer is not acknowledged (0 is the address
    // byte, 1 the register address, 2 the first data byte ...); -1 acknowledges everything. A byte
    // not acknowledged is not taken.
    void nack_byte(int index) { nack_index_ = index; }

    // Fault: the chip holds SDA low, as after a reset of the master in the middle of a read, until
    // SCL has been clocked `pulses` times (1..9: the bits it still had to send). Meanwhile it
    // answers nothing. Its registers, and CLK1, are as they were.
    void hold_sda(int pulses) { sda_pulses_left_ = pulses; }

    // SYS_INIT reads set until virtual time until_ns (0: never set; UINT64_MAX: the chip never
    // finishes its initialisation).
    void hold_sys_init(uint64_t until_ns) { sys_init_until_ns_ = until_ns; }

    // dev::I2cDevice
    bool i2c_start(uint64_t t_ns) override;
    bool i2c_write(uint8_t byte, uint64_t t_ns) override;
    void i2c_stop(uint64_t t_ns) override;
    bool i2c_start_read(uint64_t t_ns) override;
    uint8_t i2c_read(bool ack, uint64_t t_ns) override;
    bool holds_sda() const override { return sda_pulses_left_ > 0; }
    void scl_pulse(uint64_t /*t_ns*/) override {
        if (sda_pulses_left_ > 0) {
            --sda_pulses_left_;
        }
    }

    // What a PLL or multisynth with these register parameters produces: input x ratio, where a
    // multisynth divides. Exact, rounded to the nearest micro-hertz; 0 when the parameters are
    // unusable (p3 of 0).
    static uint64_t PllOutputUhz(uint64_t xtal_hz, uint32_t p1, uint32_t p2, uint32_t p3);
    static uint64_t Clk1OutputUhz(uint64_t xtal_hz, uint32_t pll_p1, uint32_t pll_p2,
                                  uint32_t pll_p3, uint32_t ms_p1, uint32_t ms_p2, uint32_t ms_p3,
                                  unsigned r_div_log2);

    // The chip's limits for what CLK1 emits from these registers; empty when within them.
    std::string LimitViolation() const;

  private:
    Params Decode(uint8_t base) const;
    void Recompute(uint64_t t_ns, bool pll_reset);
    // CLK0's ratio to the crystal from the registers (0 while off).
    long double Clk0Ratio() const;
    // Crystal cycles between two times (t0 <= t1), from the drift's course.
    long double XtalCycles(uint64_t t0_ns, uint64_t t1_ns) const;
    void AdvanceClk0(uint64_t t_ns);

    uint64_t xtal_hz_;
    Latch latch_;
    uint8_t regs_[256] = {};
    bool in_transfer_ = false;
    int byte_index_ = 0;
    bool have_pointer_ = false;
    uint8_t pointer_ = 0;
    bool on_ = false;
    uint64_t freq_uhz_ = 0;
    std::vector<Change> timeline_;
    bool keep_timeline_ = true;
    std::function<void(const Change &)> on_change_;
    uint64_t transfers_ = 0;
    int nack_index_ = -1;
    int sda_pulses_left_ = 0;
    uint64_t pll_a_resets_ = 0;
    uint64_t last_pll_a_reset_us_ = 0;
    bool reset_in_transfer_ = false;
    std::vector<Fault> faults_;
    uint64_t fault_count_ = 0;
    std::string last_fault_;
    uint64_t sys_init_until_ns_ = DEFAULT_SYS_INIT_NS;
    std::vector<XtalPoint> drift_;
    long double clk0_ratio_ = 0;
    long double clk0_cycles_ = 0; // CLK0's phase at clk0_at_ns_, in cycles
    uint64_t clk0_at_ns_ = 0;
};

} // namespace sim
