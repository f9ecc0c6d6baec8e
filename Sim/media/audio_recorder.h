// What a receiver hears: a single-sideband receiver in upper-sideband mode, its dial 1500 Hz below
// the beacon's base frequency, records the first frame the beacon sends. The recording is 12000
// samples/s, 16-bit mono: for WSPR 120 s from second 0 of the UTC minute in which the frame starts,
// for FST4W the whole period (120 to 1800 s) from its start, periods counted from 00:00 UTC (1 s
// before the frame when the beacon's UTC is not known). Each tone sounds at CLK1's emitted
// frequency minus the dial, phase-continuous across tone changes; a PLL reset of the running output
// breaks the phase; while CLK1 is off there is silence (or noise only).
#pragma once

#ifndef WSPR_SIM_WAV
#define WSPR_SIM_WAV 0
#endif

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "si5351_model.h"

namespace sim {

constexpr uint32_t AUDIO_RATE_HZ = 12000;
constexpr uint32_t RECORDING_SECONDS = 120;
constexpr uint64_t DIAL_OFFSET_UHZ = 1500ULL * 1000000ULL;
constexpr uint64_t PASSBAND_UHZ = AUDIO_RATE_HZ / 2 * 1000000ULL;

// Where UTC stands on the virtual time line: at t_ns it was second_of_day:00.000.
struct UtcAnchor {
    uint64_t t_ns;
    uint32_t second_of_day;
};

// Reads the beacon's console output for "TIME set HH:MM:SS" lines: the beacon set its clock to
// that second just before it sent the line's first byte.
class TimeSetWatch {
  public:
    void Byte(uint64_t t_ns, uint8_t byte);
    std::optional<UtcAnchor> Last() const { return last_; }

  private:
    std::string line_;
    uint64_t line_start_ns_ = 0;
    std::optional<UtcAnchor> last_;
};

// The recording of one frame, gathered while the run goes on.
class FrameRecorder {
  public:
    // Before the first change: the recording's length, and what its start is aligned to in UTC
    // (WSPR: 120 s from the minute; FST4W: its period from the period's start).
    void SetWindow(uint32_t seconds, uint32_t align_s) {
        seconds_ = seconds;
        align_s_ = align_s;
    }
    uint32_t Seconds() const { return seconds_; }
    // Every change of CLK1 in time order. The first switch-on fixes the recording's window.
    void Change(const Si5351Model::Change &change, std::optional<UtcAnchor> utc);

    bool HasFrame() const { return frame_start_us_.has_value(); }
    uint64_t FrameStartUs() const { return *frame_start_us_; }
    uint64_t WindowStartNs() const { return window_start_ns_; }
    uint64_t WindowEndNs() const {
        return window_start_ns_ + static_cast<uint64_t>(seconds_) * 1000000000ULL;
    }
    // UTC second of the day at the window's start, when the beacon's UTC was known.
    std::optional<uint32_t> WindowUtc() const { return window_utc_; }
    const std::vector<Si5351Model::Change> &Changes() const { return changes_; }
    // Lowest and highest frequency CLK1 emitted inside the window (0 when it never came on).
    uint64_t LowestUhz() const { return lowest_uhz_; }
    uint64_t HighestUhz() const { return highest_uhz_; }
    // The dial: the lowest tone rounded to whole hertz, minus 1500 Hz.
    uint64_t DefaultDialUhz() const;

  private:
    std::optional<uint64_t> frame_start_us_;
    uint32_t seconds_ = RECORDING_SECONDS;
    uint32_t align_s_ = 60;
    uint64_t window_start_ns_ = 0;
    std::optional<uint32_t> window_utc_;
    std::vector<Si5351Model::Change> changes_;
    uint64_t lowest_uhz_ = 0;
    uint64_t highest_uhz_ = 0;
};

struct AudioOptions {
    uint64_t dial_uhz = 0;
    std::optional<double> snr_db; // white Gaussian noise for this SNR in 2500 Hz
    uint64_t seed = 1;
};

// The samples of a window of `seconds`, from the CLK1 changes (state before the first change: off).
std::vector<int16_t> RenderAudio(uint64_t window_start_ns,
                                 const std::vector<Si5351Model::Change> &changes,
                                 const AudioOptions &options, uint32_t seconds = RECORDING_SECONDS);

// 16-bit mono PCM WAV, through libsndfile; false when the file cannot be written, and always in a
// build without libsndfile (WavAvailable).
bool WriteWav(const std::string &path, const std::vector<int16_t> &samples, uint32_t rate_hz);
constexpr bool WavAvailable() {
    return WSPR_SIM_WAV != 0;
}

// Signal amplitude and noise standard deviation (in 16-bit units) for an SNR in 2500 Hz: the
// signal power is a^2/2, the noise power in 2500 Hz is sigma^2 * 2500 / (rate/2).
struct Levels {
    double amplitude;
    double sigma;
};
Levels LevelsFor(std::optional<double> snr_db, uint32_t rate_hz);

} // namespace sim
