// A waterfall picture of a recording: a spectrogram with time running down and frequency across,
// labelled in RF hertz (dial + audio frequency) and, when known, UTC. Built only where FFTW and
// libpng are available (WSPR_SIM_WATERFALL is then defined).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct WaterfallView {
    uint64_t dial_hz = 0;                    // RF frequency of audio 0 Hz
    double audio_lo_hz = 0, audio_hi_hz = 0; // the frequency span shown
    std::optional<uint32_t> start_utc;       // UTC second of the day of the first sample
};

// The picture's geometry, so that a reader can find a frequency or a time in it.
struct WaterfallLayout {
    int width, height;      // whole picture
    int plot_x, plot_y;     // top-left corner of the spectrogram
    int plot_w, plot_h;     // its size in pixels
    double seconds_per_row; // time step between rows
};

// The span shown around a signal whose tones lie between lo and hi (audio hertz).
WaterfallView ViewAround(uint64_t dial_hz, double tone_lo_hz, double tone_hi_hz,
                         std::optional<uint32_t> start_utc);

// Writes an 8-bit RGB PNG; false with a message on failure.
bool WriteWaterfall(const std::string &path, const std::vector<int16_t> &samples, uint32_t rate_hz,
                    const WaterfallView &view, WaterfallLayout *layout, std::string &error);

} // namespace sim
