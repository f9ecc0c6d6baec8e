#include "audio_recorder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#if WSPR_SIM_WAV
#include <sndfile.h>
#endif

#include "app_config.h"

namespace sim {
namespace {

constexpr uint64_t NS_PER_S = 1000000000ULL;
constexpr uint64_t CONSOLE_BYTE_NS = 10ULL * NS_PER_S / CONSOLE_BAUD; // one byte on the console
constexpr double PI = 3.14159265358979323846;
constexpr double NOISE_BANDWIDTH_HZ = 2500.0;
// Headroom: the signal peak plus five standard deviations of noise stay inside 16 bits.
constexpr double CLEAN_AMPLITUDE = 16000.0;
constexpr double FULL_SCALE = 32000.0;

// Deterministic noise: splitmix64 for uniform numbers, Box-Muller for the normal distribution
// (the standard library's distributions differ between implementations).
class Gaussian {
  public:
    explicit Gaussian(uint64_t seed) : state_(seed) {}
    double Next() {
        if (have_spare_) {
            have_spare_ = false;
            return spare_;
        }
        double u1 = Uniform();
        double u2 = Uniform();
        double r = std::sqrt(-2.0 * std::log(u1));
        spare_ = r * std::sin(2.0 * PI * u2);
        have_spare_ = true;
        return r * std::cos(2.0 * PI * u2);
    }

  private:
    uint64_t Bits() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // In (0, 1]: never 0, so the logarithm stays finite.
    double Uniform() { return (static_cast<double>(Bits() >> 11) + 1.0) * 0x1.0p-53; }

    uint64_t state_;
    bool have_spare_ = false;
    double spare_ = 0.0;
};

} // namespace

void TimeSetWatch::Byte(uint64_t t_ns, uint8_t byte) {
    if (line_.empty()) {
        line_start_ns_ = t_ns >= CONSOLE_BYTE_NS ? t_ns - CONSOLE_BYTE_NS : 0;
    }
    if (byte != '\n') {
        if (line_.size() < 80) {
            line_.push_back(static_cast<char>(byte));
        }
        return;
    }
    unsigned h, m, s;
    // Two digits at most per field cannot overflow, and the ranges are checked right here.
    // NOLINTNEXTLINE(cert-err34-c)
    if (std::sscanf(line_.c_str(), "TIME set %2u:%2u:%2u UTC", &h, &m, &s) == 3 && h < 24 &&
        m < 60 && s < 60) {
        last_ = UtcAnchor{line_start_ns_, h * 3600 + m * 60 + s};
    }
    line_.clear();
}

void FrameRecorder::Change(const Si5351Model::Change &change, std::optional<UtcAnchor> utc) {
    uint64_t t_ns = change.t_us * 1000;
    if (!frame_start_us_) {
        if (!change.on) {
            return;
        }
        frame_start_us_ = change.t_us;
        if (utc && utc->t_ns <= t_ns) {
            // UTC at the frame start, in nanoseconds of the day; the window opens at its minute
            // (or period).
            uint64_t utc_ns = utc->second_of_day * NS_PER_S + (t_ns - utc->t_ns);
            uint64_t into_minute = utc_ns % (align_s_ * NS_PER_S);
            window_start_ns_ = t_ns >= into_minute ? t_ns - into_minute : 0;
            window_utc_ =
                static_cast<uint32_t>(((utc_ns - into_minute) / NS_PER_S) % (24ULL * 3600));
        } else {
            window_start_ns_ = t_ns >= NS_PER_S ? t_ns - NS_PER_S : 0;
        }
    }
    if (t_ns >= WindowEndNs()) {
        return;
    }
    changes_.push_back(change);
    if (change.on) {
        lowest_uhz_ = lowest_uhz_ == 0 ? change.freq_uhz : std::min(lowest_uhz_, change.freq_uhz);
        highest_uhz_ = std::max(highest_uhz_, change.freq_uhz);
    }
}

uint64_t FrameRecorder::DefaultDialUhz() const {
    uint64_t base_hz = (lowest_uhz_ + 500000) / 1000000;
    uint64_t base_uhz = base_hz * 1000000;
    return base_uhz > DIAL_OFFSET_UHZ ? base_uhz - DIAL_OFFSET_UHZ : 0;
}

Levels LevelsFor(std::optional<double> snr_db, uint32_t rate_hz) {
    if (!snr_db) {
        return {CLEAN_AMPLITUDE, 0.0};
    }
    // sigma / amplitude from snr = (a^2 / 2) / (sigma^2 * 2500 / (rate / 2)).
    double snr = std::pow(10.0, *snr_db / 10.0);
    double ratio = std::sqrt(1.0 / (2.0 * snr * NOISE_BANDWIDTH_HZ / (rate_hz / 2.0)));
    double amplitude = std::min(CLEAN_AMPLITUDE, FULL_SCALE / (1.0 + 5.0 * ratio));
    return {amplitude, amplitude * ratio};
}

std::vector<int16_t> RenderAudio(uint64_t window_start_ns,
                                 const std::vector<Si5351Model::Change> &changes,
                                 const AudioOptions &options, uint32_t seconds) {
    const uint64_t count = static_cast<uint64_t>(AUDIO_RATE_HZ) * seconds;
    std::vector<int16_t> samples(count);
    const Levels levels = LevelsFor(options.snr_db, AUDIO_RATE_HZ);
    Gaussian noise(options.seed);

    size_t next = 0;
    bool on = false;
    double step = 0.0; // cycles per sample of the current tone
    double phase = 0.0;
    for (uint64_t n = 0; n < count; ++n) {
        // Sample n is taken at window start + n / 12000 s.
        uint64_t t_ns = window_start_ns + n * NS_PER_S / AUDIO_RATE_HZ;
        while (next < changes.size() && changes[next].t_us * 1000 <= t_ns) {
            const Si5351Model::Change &c = changes[next++];
            // Outside the receiver's passband (below the dial or above 6 kHz) nothing is heard.
            on = c.on && c.freq_uhz > options.dial_uhz &&
                 c.freq_uhz - options.dial_uhz < PASSBAND_UHZ;
            if (on) {
                double audio_hz = static_cast<double>(c.freq_uhz - options.dial_uhz) * 1e-6;
                step = audio_hz / AUDIO_RATE_HZ;
            }
            if (c.phase_break) {
                // The output restarts at some phase of its own; the recording takes the harshest,
                // half a cycle away.
                phase += 0.5;
            }
        }
        double value = 0.0;
        if (on) {
            value = levels.amplitude * std::sin(2.0 * PI * phase);
            phase += step;
            phase -= std::floor(phase);
        }
        if (levels.sigma > 0.0) {
            value += levels.sigma * noise.Next();
        }
        value = std::clamp(std::round(value), -32768.0, 32767.0);
        samples[n] = static_cast<int16_t>(value);
    }
    return samples;
}

#if WSPR_SIM_WAV
bool WriteWav(const std::string &path, const std::vector<int16_t> &samples, uint32_t rate_hz) {
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate_hz);
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        return false;
    }
    const sf_count_t count = static_cast<sf_count_t>(samples.size());
    const bool written = sf_write_short(file, samples.data(), count) == count;
    return sf_close(file) == 0 && written;
}
#else
bool WriteWav(const std::string &, const std::vector<int16_t> &, uint32_t) {
    return false;
}
#endif

} // namespace sim
