// The waterfall picture: four tones of a frame show as four bright columns at their RF frequency,
// dark around them and after the frame. Builds without FFTW or libpng say so instead.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "audio_recorder.h"

#if WSPR_SIM_WATERFALL
#include <png.h>

#include "waterfall.h"
#endif

namespace {

#if WSPR_SIM_WATERFALL

constexpr uint64_t DIAL_HZ = 14095570;
constexpr double TONE0_AUDIO_HZ = 1500.239518;
constexpr double SPACING_HZ = 1.566338;
constexpr uint64_t SYMBOL_US = 682667;

// A frame of 162 symbols cycling through the four tones, on from 1 s to 111.6 s.
std::vector<sim::Si5351Model::Change> Frame() {
    std::vector<sim::Si5351Model::Change> changes;
    for (uint64_t k = 0; k < 162; ++k) {
        double audio = TONE0_AUDIO_HZ + static_cast<double>((k * 3 + k / 4) % 4) * SPACING_HZ;
        uint64_t uhz = DIAL_HZ * 1000000ULL + static_cast<uint64_t>(audio * 1e6);
        changes.push_back({1000000 + k * SYMBOL_US, true, uhz});
    }
    changes.push_back({1000000 + 162 * SYMBOL_US, false, 0});
    return changes;
}

struct Picture {
    png_image image{};
    std::vector<uint8_t> rgb;
    int Brightness(int x, int y) const {
        const uint8_t *p = &rgb[(static_cast<size_t>(y) * image.width + x) * 3];
        return p[0] + p[1] + p[2];
    }
};

bool ReadPng(const std::string &path, Picture &pic) {
    pic.image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&pic.image, path.c_str())) {
        return false;
    }
    pic.image.format = PNG_FORMAT_RGB;
    pic.rgb.resize(PNG_IMAGE_SIZE(pic.image));
    return png_image_finish_read(&pic.image, nullptr, pic.rgb.data(), 0, nullptr) != 0;
}

TEST(Waterfall, FourTonesAsFourColumnsAtTheirRfFrequency) {
    std::vector<int16_t> samples =
        sim::RenderAudio(0, Frame(), {DIAL_HZ * 1000000ULL, std::nullopt, 1});
    sim::WaterfallView around =
        sim::ViewAround(DIAL_HZ, TONE0_AUDIO_HZ, TONE0_AUDIO_HZ + 3 * SPACING_HZ, std::nullopt);
    EXPECT_LT(around.audio_lo_hz, TONE0_AUDIO_HZ - 5);
    EXPECT_GT(around.audio_hi_hz, TONE0_AUDIO_HZ + 3 * SPACING_HZ + 5);
    // Off-centre, so that a picture drawn the wrong way round would miss the tones.
    const sim::WaterfallView view{DIAL_HZ, 1490.0, 1530.0, 12 * 3600 + 120};

    std::string path = testing::TempDir() + "sim_waterfall_test.png";
    sim::WaterfallLayout layout{};
    std::string error;
    ASSERT_TRUE(sim::WriteWaterfall(path, samples, 12000, view, &layout, error)) << error;
    Picture pic;
    ASSERT_TRUE(ReadPng(path, pic));
    std::remove(path.c_str());
    ASSERT_EQ(static_cast<int>(pic.image.width), layout.width);
    ASSERT_EQ(static_cast<int>(pic.image.height), layout.height);
    // Time runs down: 120 s over the plot's rows.
    EXPECT_NEAR(layout.plot_h * layout.seconds_per_row, 120.0, 0.5);

    // Mean brightness of a column of the plot while the frame is on, and of a row after it.
    auto column = [&](double audio_hz) {
        int x =
            layout.plot_x + static_cast<int>((audio_hz - view.audio_lo_hz) /
                                             (view.audio_hi_hz - view.audio_lo_hz) * layout.plot_w);
        int first = layout.plot_y + static_cast<int>(5 / layout.seconds_per_row);
        int last = layout.plot_y + static_cast<int>(105 / layout.seconds_per_row);
        long sum = 0;
        for (int y = first; y < last; ++y) {
            sum += pic.Brightness(x, y);
        }
        return static_cast<double>(sum) / (last - first);
    };
    for (int tone = 0; tone < 4; ++tone) {
        SCOPED_TRACE(tone);
        double lit = column(TONE0_AUDIO_HZ + tone * SPACING_HZ);
        EXPECT_GT(lit, 150.0);
        EXPECT_GT(lit, 4 * column(TONE0_AUDIO_HZ - 4 * SPACING_HZ));
        EXPECT_GT(lit, 4 * column(TONE0_AUDIO_HZ + 7 * SPACING_HZ));
    }
    int quiet_row = layout.plot_y + static_cast<int>(116 / layout.seconds_per_row);
    for (int x = layout.plot_x; x < layout.plot_x + layout.plot_w; ++x) {
        ASSERT_LT(pic.Brightness(x, quiet_row), 60) << "x " << x;
    }
}

TEST(Waterfall, RefusesASpanOutsideTheRecording) {
    std::vector<int16_t> samples(12000 * 120);
    std::string error;
    EXPECT_FALSE(sim::WriteWaterfall(testing::TempDir() + "never.png", samples, 12000,
                                     {DIAL_HZ, 5990.0, 6010.0, std::nullopt}, nullptr, error));
    EXPECT_FALSE(error.empty());
}

#else

TEST(Waterfall, ThisBuildSaysItHasNone) {
    std::string command = std::string(WSPR_SIM_PATH) + " run --until 10 --console-log /dev/null "
                                                       "--waterfall /tmp/never.png 2>&1";
    FILE *p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
        out.append(buf, n);
    }
    EXPECT_NE(pclose(p), 0);
    EXPECT_NE(out.find("--waterfall is not available in this build"), std::string::npos) << out;
}

#endif

} // namespace
