// wspr-fault-soak: days of unattended operation under faults. The unmodified firmware runs on the
// virtual board with a GNSS receiver sending RMC every second and automatic frames on; meanwhile
// every I2C operation fails with a chosen probability (as an error, busy or a time-out, at
// random), the Si5351 now and then holds SDA low as after a reset in mid-transfer, and the console
// gets noise: lines that are no command, "show", "help", and floods of CRs or letter + DEL pairs
// at the full line rate. Nobody types "stop". Checked all along, on samples every 100 ms:
//
// - CLK1 is on only while the beacon transmits, or for at most 300 ms after it stopped (a failed
//   switch-off is tried again every 100 ms); no CLK1-on stretch is longer than a frame;
// - at every even minute the beacon is transmitting (400 ms in, the time the GNSS sentence takes
//   to set its clock), unless it is in ERROR: a fault costs frames, it never stops the beacon;
// - the watchdog never fires: every main-loop pass stays short under all of this.
//
// wspr-fault-soak [--days D] [--seed S] [--rate R] [--verbose]
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "app_config.h"
#include "board.h"
#include "numbers.h"
#include "wspr_encoder.h"

namespace {

constexpr uint64_t MS = sim::MS;
constexpr uint64_t SECOND = sim::SECOND;
constexpr uint64_t SAMPLE = 100 * MS;
constexpr uint64_t FRAME_NS = WSPR_SYMBOL_COUNT * WSPR_SYMBOL_PERIOD_US * 1000;
constexpr uint64_t OFF_GRACE = 300 * MS;
constexpr uint64_t FRAME_START_GRACE = 400 * MS;
constexpr uint64_t SDA_HOLD_MEAN = 6 * 3600 * SECOND; // now and then: four times a day

std::mt19937_64 g_rng;

uint64_t Uniform(uint64_t lo, uint64_t hi) {
    return std::uniform_int_distribution<uint64_t>(lo, hi)(g_rng);
}

struct Counts {
    uint64_t i2c_ops_at_start = 0;
    uint64_t faults[4] = {}; // by HAL status
    uint64_t sda_holds = 0;
    uint64_t noise_lines = 0;
    uint64_t floods = 0;
    uint64_t slots = 0;
    uint64_t frames = 0;      // CLK1 came on from off
    uint64_t complete = 0;    // a CLK1-on stretch of a whole frame
    uint64_t error_slots = 0; // even minutes found in ERROR
    uint64_t missed_while_idle = 0;
    uint64_t on_outside = 0; // samples with CLK1 on beyond the grace after the frame
    uint64_t too_long = 0;   // CLK1-on stretches longer than a frame
    uint64_t longest_on_after_tx_ns = 0;
    uint64_t error_episodes = 0;
    uint64_t longest_error_ns = 0;
} g;

double g_rate = 1e-3;
uint64_t g_next_fault_op = 0;

// The next faulty I2C operation, a geometric distance away.
void PlanNextFault() {
    std::geometric_distribution<uint64_t> gap(g_rate);
    g_next_fault_op = vmcu::i2c_operations() + 1 + gap(g_rng);
    static constexpr HAL_StatusTypeDef k_kinds[] = {HAL_ERROR, HAL_BUSY, HAL_TIMEOUT};
    const HAL_StatusTypeDef status = k_kinds[Uniform(0, 2)];
    vmcu::i2c_fail(g_next_fault_op, status, false);
    ++g.faults[status];
}

uint64_t g_on_since = 0;
bool g_on = false;

void OnClk1(const sim::Si5351Model::Change &c) {
    const uint64_t t = c.t_us * 1000;
    if (c.on && !g_on) {
        ++g.frames;
        g_on_since = t;
    } else if (!c.on && g_on) {
        const uint64_t length = t - g_on_since;
        g.complete += length + 2 * MS >= FRAME_NS ? 1 : 0;
        g.too_long += length > FRAME_NS + OFF_GRACE ? 1 : 0;
    }
    g_on = c.on;
}

// Noise for the console, none of it a command that changes anything.
std::string NoiseLine() {
    switch (Uniform(0, 5)) {
    case 0:
        return "show\r";
    case 1:
        return "help\r";
    default: {
        std::string line = "#";
        for (uint64_t n = Uniform(0, 30); n > 0; --n) {
            line.push_back(static_cast<char>(Uniform(0x20, 0x7E)));
        }
        return line + (Uniform(0, 1) ? "\r" : "\r\n");
    }
    }
}

std::string Flood() {
    const std::string unit = Uniform(0, 1) ? "\r" : "a\x7f";
    std::string text;
    const uint64_t bytes = Uniform(2, 10) * (CONSOLE_BAUD / 10); // 2 to 10 s of console bytes
    while (text.size() < bytes) {
        text += unit;
    }
    return text;
}

} // namespace

int main(int argc, char **argv) {
    double days = 1;
    uint64_t seed = 1;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        uint64_t whole = 0;
        if (a == "--days" && i + 1 < argc && sim::ParseDecimal(argv[++i], 0.001, 1000, days)) {
        } else if (a == "--seed" && i + 1 < argc &&
                   sim::ParseWhole(argv[++i], 0, UINT64_MAX, whole)) {
            seed = whole;
        } else if (a == "--rate" && i + 1 < argc &&
                   sim::ParseDecimal(argv[++i], 1e-7, 0.5, g_rate)) {
        } else if (a == "--verbose") {
            verbose = true;
        } else {
            std::fprintf(stderr,
                         "usage: wspr-fault-soak [--days D] [--seed S] [--rate R] [--verbose]\n");
            return 2;
        }
    }
    g_rng.seed(seed);

    sim::Prepare();
    vmcu::i2c_keep_log(false);
    sim::Terminal().Keep(false);
    sim::Chip().keep_timeline(false);
    sim::Chip().on_change(OnClk1);
    sim::Gnss().StartClock(0, 0);
    sim::Boot();
    g.i2c_ops_at_start = vmcu::i2c_operations();
    PlanNextFault();
    vmcu::i2c_on_transfer([](const vmcu::I2cTransfer &) {
        if (vmcu::i2c_operations() > g_next_fault_op) {
            vmcu::i2c_clear_faults();
            PlanNextFault();
        }
    });

    const uint64_t end = static_cast<uint64_t>(days * 86400.0) * SECOND;
    std::exponential_distribution<double> hold_gap(1.0 / static_cast<double>(SDA_HOLD_MEAN));
    uint64_t next_hold = static_cast<uint64_t>(hold_gap(g_rng));
    uint64_t next_line = Uniform(2, 20) * SECOND;
    uint64_t next_flood = Uniform(60, 1200) * SECOND;
    uint64_t next_slot = 120 * SECOND + FRAME_START_GRACE; // the first even minute with time set
    uint64_t tx_left_at = 0;
    uint64_t error_since = 0;
    bool was_tx = false, was_error = false;
    uint64_t next_report = 86400 * SECOND;

    for (uint64_t t = SAMPLE; t <= end; t += SAMPLE) {
        if (next_hold <= t) {
            sim::Chip().hold_sda(static_cast<int>(Uniform(1, 9)));
            ++g.sda_holds;
            next_hold = t + static_cast<uint64_t>(hold_gap(g_rng));
        }
        if (next_line <= t) {
            sim::Type(NoiseLine());
            ++g.noise_lines;
            next_line = t + Uniform(2, 20) * SECOND;
        }
        if (next_flood <= t) {
            sim::Type(Flood());
            ++g.floods;
            next_flood = t + Uniform(60, 1200) * SECOND;
        }
        sim::RunUntil(t);

        const WSPR_AppStatus s = sim::Status();
        const bool tx = s.state == WSPR_STATE_TX;
        const bool error = s.state == WSPR_STATE_ERROR;
        if (was_tx && !tx) {
            tx_left_at = t;
        }
        if (error && !was_error) {
            error_since = t;
            ++g.error_episodes;
        }
        if (error) {
            g.longest_error_ns = std::max(g.longest_error_ns, t - error_since);
        }
        was_tx = tx;
        was_error = error;
        if (sim::Chip().clk1_on() && !tx) {
            g.longest_on_after_tx_ns = std::max(g.longest_on_after_tx_ns, t - tx_left_at);
            g.on_outside += t - tx_left_at > OFF_GRACE ? 1 : 0;
        }
        if (t == next_slot) {
            ++g.slots;
            g.error_slots += error ? 1 : 0;
            g.missed_while_idle += !tx && !error ? 1 : 0;
            if (!tx && !error && verbose) {
                std::fprintf(stderr, "missed slot at %.1f s, state %d\n", t / 1e9, s.state);
            }
            next_slot += 120 * SECOND;
        }
        if (verbose && t >= next_report) {
            std::fprintf(stderr, "day %" PRIu64 ": %" PRIu64 " frames of %" PRIu64 " slots\n",
                         t / (86400 * SECOND), g.frames, g.slots);
            next_report += 86400 * SECOND;
        }
    }

    const uint64_t ops = vmcu::i2c_operations() - g.i2c_ops_at_start;
    const uint64_t faults = g.faults[HAL_ERROR] + g.faults[HAL_BUSY] + g.faults[HAL_TIMEOUT];
    const bool ok = g.on_outside == 0 && g.too_long == 0 && g.missed_while_idle == 0 &&
                    vmcu::resets() == 0 && g.frames > 0;
    std::printf("fault soak: %.2f days, seed %" PRIu64 ", I2C fault rate %g per operation\n", days,
                seed, g_rate);
    std::printf("  I2C operations %" PRIu64 ", faults %" PRIu64 " (error %" PRIu64 ", busy %" PRIu64
                ", time-out %" PRIu64 "), SDA held %" PRIu64 " times\n",
                ops, faults, g.faults[HAL_ERROR], g.faults[HAL_BUSY], g.faults[HAL_TIMEOUT],
                g.sda_holds);
    std::printf("  console noise: %" PRIu64 " lines, %" PRIu64 " floods\n", g.noise_lines,
                g.floods);
    std::printf("  frames started %" PRIu64 " (complete %" PRIu64 ") of %" PRIu64
                " even-minute slots; %" PRIu64 " slots found in ERROR, %" PRIu64
                " missed otherwise\n",
                g.frames, g.complete, g.slots, g.error_slots, g.missed_while_idle);
    std::printf("  ERROR episodes %" PRIu64
                ", longest %.1f s; CLK1 on after a frame at most %.0f ms;"
                " CLK1 on outside a frame: %" PRIu64 " samples, stretches over a frame: %" PRIu64
                "; watchdog resets %" PRIu64 "\n",
                g.error_episodes, g.longest_error_ns / 1e9, g.longest_on_after_tx_ns / 1e6,
                g.on_outside, g.too_long, vmcu::resets());
    std::printf("  %s\n", ok ? "every invariant held" : "INVARIANT BROKEN");
    return ok ? 0 : 1;
}
