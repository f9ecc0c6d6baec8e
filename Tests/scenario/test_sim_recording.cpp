// The receiver's recording: where its window lies on the UTC minute, what it sounds like (tone
// frequency to the milli-hertz, phase continuity, silence while CLK1 is off or outside the
// passband), the noise level for a given SNR, and the WAV file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audio_recorder.h"

namespace {

using sim::Si5351Model;
constexpr uint64_t S = 1000000000ULL; // ns
constexpr double PI = 3.14159265358979323846;
constexpr uint64_t DIAL_UHZ = 14095570ULL * 1000000ULL;

uint64_t Uhz(double hz) {
    return static_cast<uint64_t>(std::llround(hz * 1e6));
}

void Feed(sim::TimeSetWatch &watch, uint64_t first_byte_ns, const std::string &text) {
    for (size_t k = 0; k < text.size(); ++k) {
        watch.Byte(first_byte_ns + k * 86805, static_cast<uint8_t>(text[k]));
    }
}

TEST(TimeSetWatch, TakesTheSecondFromTimeSetLinesOnly) {
    sim::TimeSetWatch watch;
    EXPECT_FALSE(watch.Last().has_value());
    Feed(watch, 5 * S, "wspr> time 25:00:00\r\nTIME rejected\r\nTIME set 99:00:00 UTC from PC\r\n");
    EXPECT_FALSE(watch.Last().has_value());
    Feed(watch, 7 * S, "TIME set 12:34:56 UTC from GNSS\r\n");
    ASSERT_TRUE(watch.Last().has_value());
    // The clock was set just before the line's first byte started: one byte time before it ended.
    EXPECT_EQ(watch.Last()->t_ns, 7 * S - 86805);
    EXPECT_EQ(watch.Last()->second_of_day, 12u * 3600 + 34 * 60 + 56);
    Feed(watch, 8 * S, "TIME set 00:00:01 UTC from PC\r\nok\r\n");
    EXPECT_EQ(watch.Last()->second_of_day, 1u);
}

struct WindowCase {
    const char *name;
    std::optional<sim::UtcAnchor> anchor;
    uint64_t frame_on_ns;
    uint64_t window_start_ns;
    std::optional<uint32_t> window_utc;
};

TEST(FrameRecorder, WindowOpensAtSecondZeroOfTheFramesUtcMinute) {
    const WindowCase cases[] = {
        {"gnss clock", sim::UtcAnchor{0, 12 * 3600 + 50}, 70171458000ULL, 70 * S, 12 * 3600 + 120},
        {"time set by hand", sim::UtcAnchor{S, 10 * 3600 + 60 + 58}, 3 * S + 500000, 3 * S,
         10 * 3600 + 120},
        {"odd minute (a frame by hand)", sim::UtcAnchor{0, 12 * 3600 + 50}, 12300000000ULL, 10 * S,
         12 * 3600 + 60},
        {"frame late in its minute", sim::UtcAnchor{0, 0}, 59 * S + 900000000, 0, 0},
        {"across midnight", sim::UtcAnchor{0, 86400 - 10}, 10 * S + 200000000, 10 * S, 0},
        {"no time: 1 s before the frame", std::nullopt, 5200000000ULL, 4200000000ULL, std::nullopt},
        {"no time, frame within the first second", std::nullopt, 400000000ULL, 0, std::nullopt},
    };
    for (const WindowCase &c : cases) {
        SCOPED_TRACE(c.name);
        sim::FrameRecorder rec;
        rec.Change({c.frame_on_ns / 1000 - 5, false, 0}, c.anchor); // off before: ignored
        EXPECT_FALSE(rec.HasFrame());
        rec.Change({c.frame_on_ns / 1000, true, Uhz(14097070.5)}, c.anchor);
        ASSERT_TRUE(rec.HasFrame());
        EXPECT_EQ(rec.WindowStartNs(), c.window_start_ns);
        EXPECT_EQ(rec.WindowEndNs(), c.window_start_ns + 120 * S);
        EXPECT_EQ(rec.WindowUtc(), c.window_utc);
    }
}

TEST(FrameRecorder, KeepsTheWindowsChangesAndTheDialFromTheLowestTone) {
    sim::FrameRecorder rec;
    std::optional<sim::UtcAnchor> anchor = sim::UtcAnchor{0, 0};
    rec.Change({2000000, true, Uhz(14097071.805856)}, anchor);
    rec.Change({2700000, true, Uhz(14097070.239518)}, anchor);
    rec.Change({3400000, false, 0}, anchor);
    rec.Change({120000000, true, Uhz(14097000.0)}, anchor); // the next frame: outside
    ASSERT_EQ(rec.Changes().size(), 3u);
    EXPECT_EQ(rec.LowestUhz(), Uhz(14097070.239518));
    EXPECT_EQ(rec.HighestUhz(), Uhz(14097071.805856));
    EXPECT_EQ(rec.DefaultDialUhz(), DIAL_UHZ);
}

// Frequency of x around f0 by the phase advance between consecutive 0.1 s blocks, mixed down by f0.
double MeasureHz(const std::vector<int16_t> &x, size_t from, size_t to, double f0) {
    const size_t block = 1200;
    std::vector<std::complex<double>> z;
    for (size_t b = from; b + block <= to; b += block) {
        std::complex<double> sum = 0;
        for (size_t n = b; n < b + block; ++n) {
            sum += static_cast<double>(x[n]) * std::polar(1.0, -2.0 * PI * f0 * n / 12000.0);
        }
        z.push_back(sum);
    }
    std::complex<double> acc = 0;
    for (size_t k = 1; k < z.size(); ++k) {
        acc += z[k] * std::conj(z[k - 1]);
    }
    return f0 + std::arg(acc) / (2.0 * PI * block / 12000.0);
}

TEST(RenderAudio, ToneAtEmittedMinusDialSilentWhileOff) {
    // Window from t = 1 s. On at 1.5 s, second tone at 6.5 s, off at 11.5 s.
    const std::vector<Si5351Model::Change> changes = {
        {1500000, true, DIAL_UHZ + Uhz(1500.239518)},
        {6500000, true, DIAL_UHZ + Uhz(1501.805856)},
        {11500000, false, 0},
    };
    std::vector<int16_t> x = sim::RenderAudio(S, changes, {DIAL_UHZ, std::nullopt, 1});
    ASSERT_EQ(x.size(), 120u * 12000);
    auto all_zero = [&](size_t a, size_t b) {
        for (size_t n = a; n < b; ++n) {
            if (x[n] != 0) {
                return false;
            }
        }
        return true;
    };
    EXPECT_TRUE(all_zero(0, 6000));
    EXPECT_FALSE(all_zero(6000, 6100));
    EXPECT_TRUE(all_zero(10 * 12000 + 6000, x.size()));
    EXPECT_NEAR(MeasureHz(x, 6000, 66000, 1500.0), 1500.239518, 0.001);
    EXPECT_NEAR(MeasureHz(x, 66000, 126000, 1501.0), 1501.805856, 0.001);

    // Phase-continuous, also where the tone changes: a sinusoid meets x[n-1] + x[n+1] =
    // 2 cos(w) x[n] up to rounding (and 13 where the tone changes); a phase step of a few
    // thousandths of a radian would already show.
    for (size_t n = 6001; n + 1 < 126000; ++n) {
        double w = 2.0 * PI * (n < 66000 ? 1500.239518 : 1501.805856) / 12000.0;
        double residual = x[n - 1] + x[n + 1] - 2.0 * std::cos(w) * x[n];
        ASSERT_LE(std::abs(residual), 20.0) << "at sample " << n;
    }
}

// A PLL reset of the running output is a break in the phase: the same tone goes on, the sinusoid
// does not.
TEST(RenderAudio, PllResetBreaksThePhase) {
    const uint64_t f = DIAL_UHZ + Uhz(1500.0);
    const std::vector<Si5351Model::Change> changes = {
        {0, true, f}, {2000000, true, f, true}, {4000000, false, 0}};
    std::vector<int16_t> x = sim::RenderAudio(0, changes, {DIAL_UHZ, std::nullopt, 1});
    const double w = 2.0 * PI * 1500.0 / 12000.0;
    double worst_before = 0, at_break = 0;
    for (size_t n = 1; n + 1 < 48000; ++n) {
        const double residual = std::abs(x[n - 1] + x[n + 1] - 2.0 * std::cos(w) * x[n]);
        if (n + 1 == 24000 || n == 24000) {
            at_break = std::max(at_break, residual);
        } else {
            worst_before = std::max(worst_before, residual);
        }
    }
    EXPECT_LE(worst_before, 20.0);
    EXPECT_GT(at_break, 1000.0);
    EXPECT_NEAR(MeasureHz(x, 24000, 48000, 1500.0), 1500.0, 0.001);
}

TEST(RenderAudio, NothingHeardOutsideThePassband) {
    const std::vector<Si5351Model::Change> changes = {
        {0, true, DIAL_UHZ - Uhz(200.0)},        // below the dial: the other sideband
        {1000000, true, DIAL_UHZ + Uhz(6100.0)}, // above half the sample rate
        {2000000, true, DIAL_UHZ + Uhz(3000.0)},
    };
    std::vector<int16_t> x = sim::RenderAudio(0, changes, {DIAL_UHZ, std::nullopt, 1});
    for (size_t n = 0; n < 24000; ++n) {
        ASSERT_EQ(x[n], 0) << "at sample " << n;
    }
    EXPECT_NEAR(MeasureHz(x, 24000, 48000, 3000.0), 3000.0, 0.001);
}

TEST(RenderAudio, NoiseGivesTheAskedSnrIn2500HzAndRepeatsWithItsSeed) {
    // Signal in the second half only: the first half measures the noise alone.
    const std::vector<Si5351Model::Change> changes = {{60000000, true, DIAL_UHZ + Uhz(1500.0)}};
    for (double snr_db : {-26.0, -10.0, 10.0}) {
        SCOPED_TRACE(snr_db);
        std::vector<int16_t> x = sim::RenderAudio(0, changes, {DIAL_UHZ, snr_db, 7});
        double noise = 0;
        for (size_t n = 0; n < 60 * 12000; ++n) {
            noise += static_cast<double>(x[n]) * x[n];
        }
        noise /= 60 * 12000;
        // Signal power from the tone's amplitude, measured by correlation over the second half.
        std::complex<double> z = 0;
        const size_t from = 60 * 12000, count = 60 * 12000;
        for (size_t n = from; n < from + count; ++n) {
            z += static_cast<double>(x[n]) * std::polar(1.0, -2.0 * PI * 1500.0 * n / 12000.0);
        }
        double amplitude = 2.0 * std::abs(z) / count;
        double signal = amplitude * amplitude / 2.0;
        double measured = 10.0 * std::log10(signal / (noise * 2500.0 / 6000.0));
        EXPECT_NEAR(measured, snr_db, 0.2);
    }
    std::vector<int16_t> a = sim::RenderAudio(0, changes, {DIAL_UHZ, -20.0, 7});
    std::vector<int16_t> b = sim::RenderAudio(0, changes, {DIAL_UHZ, -20.0, 7});
    std::vector<int16_t> c = sim::RenderAudio(0, changes, {DIAL_UHZ, -20.0, 8});
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
}

TEST(WriteWav, SixteenBitMonoPcmAt12000) {
    std::vector<int16_t> samples = {0, 1, -1, 32767, -32768, 258};
    std::string path = testing::TempDir() + "sim_recording_test.wav";
    ASSERT_TRUE(sim::WriteWav(path, samples, 12000));
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    ASSERT_EQ(f.size(), 44u + 12);
    auto u32 = [&](size_t at) {
        return f[at] | f[at + 1] << 8 | f[at + 2] << 16 | static_cast<uint32_t>(f[at + 3]) << 24;
    };
    auto u16 = [&](size_t at) { return static_cast<uint16_t>(f[at] | f[at + 1] << 8); };
    EXPECT_EQ(std::string(f.begin(), f.begin() + 4), "RIFF");
    EXPECT_EQ(u32(4), 36u + 12);
    EXPECT_EQ(std::string(f.begin() + 8, f.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(u32(16), 16u);
    EXPECT_EQ(u16(20), 1);      // PCM
    EXPECT_EQ(u16(22), 1);      // mono
    EXPECT_EQ(u32(24), 12000u); // rate
    EXPECT_EQ(u32(28), 24000u); // bytes per second
    EXPECT_EQ(u16(32), 2);      // block
    EXPECT_EQ(u16(34), 16);     // bits
    EXPECT_EQ(std::string(f.begin() + 36, f.begin() + 40), "data");
    EXPECT_EQ(u32(40), 12u);
    for (size_t k = 0; k < samples.size(); ++k) {
        EXPECT_EQ(static_cast<int16_t>(u16(44 + 2 * k)), samples[k]);
    }
}

} // namespace
