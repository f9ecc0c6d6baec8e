// The crystal measured against the GNSS pulse-per-second: lock, jitter, a drifting crystal with
// and without pulses, pulses lost in a frame and back, glitches, a receiver without a fix, a reset
// while locked, and the frame's start on the pulse. What CLK1 emits is read from the chip model,
// whose crystal is the one the scenario gives it.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app_config.h"
#include "scenario.h"
#include "si5351.h"

namespace {

using sim::MS;
using sim::SECOND;
using sim::Si5351Model;

constexpr uint32_t UTC_START = 11 * 3600 + 59 * 60; // 11:59:00 at t = 0: frames at t = 60, 180 s
constexpr uint64_t BASE_HZ = WSPR_DEFAULT_FREQ_HZ;
// 131 ppm above the configured crystal.
constexpr uint64_t FAR_XTAL_HZ = SI5351_XTAL_HZ + SI5351_XTAL_HZ * 131 / 1000000;
// 0.1 ppm a minute for an hour from the configured crystal, in micro-hertz.
constexpr uint64_t RAMP_START_UHZ = uint64_t{SI5351_XTAL_HZ} * 1000000;
constexpr uint64_t RAMP_HOUR_UHZ = RAMP_START_UHZ + RAMP_START_UHZ / 10000000 * 60;

sim::BoardConfig WithPulses(uint64_t xtal_hz) {
    sim::BoardConfig config;
    config.xtal_hz = xtal_hz;
    config.pps = true;
    return config;
}

sim::BoardConfig Ramp(bool pps) {
    sim::BoardConfig config;
    config.xtal_drift = {{0, RAMP_START_UHZ}, {3600 * SECOND, RAMP_HOUR_UHZ}};
    config.pps = pps;
    return config;
}

// A receiver from 11:59:00 at t = 0, pulses as configured.
void Start(const sim::BoardConfig &config) {
    sim::Prepare(config);
    sim::Gnss().StartClock(0, UTC_START);
    sim::Boot();
}

// The largest error, in parts per billion, of what CLK1 emitted from t0 to t1 against the nearest
// of the four tones of BASE_HZ, over the states that lasted a millisecond or more (the states in
// the middle of a transfer are checked apart).
double WorstPpb(uint64_t t0_us, uint64_t t1_us) {
    const std::vector<Si5351Model::Change> &rf = sim::Chip().timeline();
    double worst = 0;
    for (size_t i = 0; i + 1 < rf.size(); ++i) {
        if (!rf[i].on || rf[i].t_us < t0_us || rf[i].t_us >= t1_us ||
            rf[i + 1].t_us - rf[i].t_us < 1000) {
            continue;
        }
        const double f = static_cast<double>(rf[i].freq_uhz) * 1e-6;
        const double spacing = static_cast<double>(WSPR_TONE_SPACING_UHZ) * 1e-6;
        double n = std::round((f - static_cast<double>(BASE_HZ)) / spacing);
        n = n < 0 ? 0 : n > 3 ? 3 : n;
        const double e = std::fabs(f - (static_cast<double>(BASE_HZ) + n * spacing)) / f * 1e9;
        worst = e > worst ? e : worst;
    }
    return worst;
}

size_t Count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// The crystal in the lock line, in hertz.
double LockedCrystal() {
    const std::string &console = sim::Console();
    const size_t at = console.find("PPS locked, crystal ");
    return at == std::string::npos ? 0 : std::stod(console.substr(at + 20));
}

} // namespace

// From a crystal 131 ppm off the configured one: locked within a minute on the crystal's real
// frequency, and from the next frame every tone on its frequency, with exact pulses and with
// +/-50 ns of jitter. Without pulses the tones are 131 ppm off, as before.
TEST(Reference, LocksFromFarOffAndPutsTheTonesOnFrequency) {
    for (const uint64_t jitter_ns : {0, 50}) {
        SCOPED_TRACE(jitter_ns);
        scenario::OnFreshBoard([jitter_ns] {
            sim::BoardConfig config = WithPulses(FAR_XTAL_HZ);
            config.pulse.jitter_ns = jitter_ns;
            Start(config);
            sim::RunUntil(60 * SECOND);
            EXPECT_EQ(Count(sim::Console(), "PPS locked, crystal "), 1u) << sim::Console();
            EXPECT_NEAR(LockedCrystal(), static_cast<double>(FAR_XTAL_HZ), 0.5);
            sim::RunUntil(780 * SECOND); // frames at 12:00 .. 12:12
            EXPECT_LT(WorstPpb(660 * 1000000ULL, 780 * 1000000ULL), 2.0);
            EXPECT_EQ(Count(sim::Console(), "PPS "), 1u) << sim::Console();
            const std::string show = scenario::Command("show");
            EXPECT_NE(show.find("Reference: GNSS, crystal 250065"), std::string::npos) << show;
        });
    }
    scenario::OnFreshBoard([] {
        sim::BoardConfig config;
        config.xtal_hz = FAR_XTAL_HZ;
        Start(config);
        sim::RunUntil(180 * SECOND);
        EXPECT_GT(WorstPpb(60 * 1000000ULL, 180 * 1000000ULL), 130000.0);
        EXPECT_EQ(sim::Console().find("PPS"), std::string::npos);
    });
}

// A crystal drifting 0.1 ppm a minute: with pulses every tone stays within 10 ppb through the
// frames (trimmed at the symbol boundaries); without, the error grows with the drift.
TEST(Reference, FollowsADriftingCrystalWithinFrames) {
    scenario::OnFreshBoard([] {
        Start(Ramp(true));
        sim::RunUntil(900 * SECOND);
        EXPECT_LT(WorstPpb(300 * 1000000ULL, 900 * 1000000ULL), 10.0);
    });
    scenario::OnFreshBoard([] {
        Start(Ramp(false));
        sim::RunUntil(900 * SECOND);
        EXPECT_GT(WorstPpb(780 * 1000000ULL, 900 * 1000000ULL), 1000.0);
    });
}

// A trim written during a frame changes the low bytes of the moving divider: a state between two
// bytes lasts one byte on the bus and stays within 256 units of p2 of the state it leads to
// (under 100 ppb for the tones here).
TEST(Reference, TrimsPassThroughStatesCloseToTheirTarget) {
    scenario::OnFreshBoard([] {
        Start(Ramp(true));
        sim::RunUntil(420 * SECOND);
        const std::vector<Si5351Model::Change> &rf = sim::Chip().timeline();
        size_t between = 0;
        for (size_t i = 0; i + 1 < rf.size(); ++i) {
            if (!rf[i].on || !rf[i + 1].on || rf[i + 1].t_us - rf[i].t_us >= 100) {
                continue;
            }
            ++between;
            const double a = static_cast<double>(rf[i].freq_uhz);
            const double b = static_cast<double>(rf[i + 1].freq_uhz);
            EXPECT_LT(std::fabs(a - b) / b * 1e9, 100.0) << rf[i].t_us;
        }
        EXPECT_GT(between, 0u); // the ramp makes the trims carry into p2's second byte
    });
}

// Pulses cut for 30 s in the middle of a frame on a drifting crystal: one line when they go, one
// when they come back, the frame goes on to its end, and the tones never step (holdover carries
// the drift on).
TEST(Reference, GapInAFrameHoldsOverWithoutAStep) {
    scenario::OnFreshBoard([] {
        sim::BoardConfig config = Ramp(true);
        config.pulse.gaps = {{440 * SECOND, 470 * SECOND}}; // the frame of 12:06 (t = 420 s)
        Start(config);
        sim::RunUntil(540 * SECOND);
        const std::string &console = sim::Console();
        EXPECT_EQ(Count(console, "PPS lost\r\n"), 1u) << console;
        EXPECT_EQ(Count(console, "PPS back\r\n"), 1u) << console;
        EXPECT_LT(console.find("PPS lost"), console.find("PPS back"));
        EXPECT_EQ(Count(console, "TX complete"), 4u) << console;
        EXPECT_LT(WorstPpb(420 * 1000000ULL, 540 * 1000000ULL), 10.0);
    });
}

// Without pulses the holdover is shown with its age; `save` keeps the estimate as the crystal.
TEST(Reference, ShowsHoldoverAndSavesTheEstimate) {
    scenario::OnFreshBoard([] {
        sim::BoardConfig config = WithPulses(FAR_XTAL_HZ);
        config.pulse.gaps = {{50 * SECOND, 1000 * SECOND}};
        Start(config);
        sim::RunUntil(100 * SECOND + 500 * MS); // a frame from t = 60 s until 170.6 s
        std::string show = scenario::Command("show");
        EXPECT_NE(show.find("Reference: holdover 51 s"), std::string::npos) << show; // lost at ~52 s
        EXPECT_NE(show.find(" s, crystal 250065"), std::string::npos) << show;
        sim::RunUntil(175 * SECOND);
        scenario::Command("save");
        show = scenario::Command("show");
        EXPECT_NE(show.find("XTAL: " + std::to_string(FAR_XTAL_HZ) + " Hz"), std::string::npos)
            << show;
    });
}

// Glitches between the pulses (a second rising edge 300 ms after each) are not seconds: the lock
// comes as without them and on the same crystal.
TEST(Reference, GlitchesBetweenPulsesAreIgnored) {
    scenario::OnFreshBoard([] {
        Start(WithPulses(FAR_XTAL_HZ));
        for (uint64_t s = 3; s < 60; ++s) {
            sim::BoardMcu().Schedule(s * SECOND + 300 * MS, [](uint64_t) {
                sim::BoardMcu().DrivePin(sim::PPS_PIN, 1);
            });
            sim::BoardMcu().Schedule(s * SECOND + 301 * MS, [](uint64_t) {
                sim::BoardMcu().DrivePin(sim::PPS_PIN, 0);
            });
        }
        sim::RunUntil(60 * SECOND);
        EXPECT_EQ(Count(sim::Console(), "PPS locked"), 1u) << sim::Console();
        EXPECT_NEAR(LockedCrystal(), static_cast<double>(FAR_XTAL_HZ), 0.5);
    });
}

// A receiver that sends its pulses but reports no fix (RMC status V): the pulses are not used.
TEST(Reference, NoFixNoLock) {
    scenario::OnFreshBoard([] {
        sim::Prepare(WithPulses(FAR_XTAL_HZ));
        for (uint32_t s = 0; s < 90; ++s) {
            std::string rmc = sim::GnssReceiver::RmcSentence(UTC_START + s, 81226);
            rmc.replace(rmc.find(",A,"), 3, ",V,");
            unsigned sum = 0;
            for (size_t k = 1; rmc[k] != '*'; ++k) {
                sum ^= static_cast<unsigned char>(rmc[k]);
            }
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02X", sum);
            rmc.replace(rmc.find('*') + 1, 2, hex);
            sim::GnssAt(s * SECOND + 100 * MS, rmc);
            sim::BoardMcu().Schedule(s * SECOND, [](uint64_t) {
                sim::BoardMcu().DrivePin(sim::PPS_PIN, 1);
            });
            sim::BoardMcu().Schedule(s * SECOND + 100 * MS, [](uint64_t) {
                sim::BoardMcu().DrivePin(sim::PPS_PIN, 0);
            });
        }
        sim::Boot();
        sim::RunUntil(90 * SECOND);
        EXPECT_EQ(sim::Console().find("PPS"), std::string::npos) << sim::Console();
        const std::string show = scenario::Command("show");
        EXPECT_NE(show.find("Reference: set, crystal " + std::to_string(SI5351_XTAL_HZ) + " Hz"),
                  std::string::npos)
            << show;
    });
}

// A reset while locked starts the measurement again from the configured crystal: locked again
// within a minute, on the same crystal.
TEST(Reference, ResetWhileLockedLocksAgain) {
    scenario::OnFreshBoard([] {
        Start(WithPulses(FAR_XTAL_HZ));
        sim::RunUntil(40 * SECOND);
        ASSERT_EQ(Count(sim::Console(), "PPS locked"), 1u) << sim::Console();
        sim::ClearConsole();
        sim::Reset(sim::ResetCause::SOFTWARE);
        sim::RunUntil(100 * SECOND);
        EXPECT_EQ(Count(sim::Console(), "PPS locked"), 1u) << sim::Console();
        EXPECT_NEAR(LockedCrystal(), static_cast<double>(FAR_XTAL_HZ), 0.5);
    });
}

// With pulses the clock's millisecond 0 is the pulse: the frame of 12:00 starts within a
// millisecond of t = 60 s (the receiver's sentence comes 100 ms after its second: without pulses
// the frame starts that late).
TEST(Reference, FrameStartsOnThePulse) {
    for (const bool pps : {true, false}) {
        scenario::OnFreshBoard([pps] {
            sim::BoardConfig config;
            config.pps = pps;
            Start(config);
            sim::RunUntil(61 * SECOND);
            const std::vector<Si5351Model::Change> &rf = sim::Chip().timeline();
            ASSERT_FALSE(rf.empty());
            const double late_ms = static_cast<double>(rf.front().t_us) / 1000.0 - 60000.0;
            if (pps) {
                EXPECT_LT(std::fabs(late_ms), 1.0);
            } else {
                EXPECT_GT(late_ms, 99.0);
            }
        });
    }
}
