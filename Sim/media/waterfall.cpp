#include "waterfall.h"

#include <fftw3.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>

#include "numbers.h"

namespace sim {
namespace {

// One WSPR symbol per transform, rectangular: the bins are 12000 / 8192 Hz apart, the tone spacing,
// so a symbol falls into a single bin and the four tones show as four columns. A longer window
// does not sharpen them: each tone lasts only a symbol or a few.
constexpr int FFT_SIZE = 8192;
constexpr int HOP = 2048;
constexpr int PLOT_W = 720;
constexpr int MARGIN_LEFT = 120;
constexpr int MARGIN_TOP = 44;
constexpr int MARGIN_RIGHT = 40;
constexpr int MARGIN_BOTTOM = 16;
constexpr int FONT_SCALE = 2;
constexpr int GLYPH_ADVANCE = 6 * FONT_SCALE;
constexpr double DYNAMIC_RANGE_DB = 25.0;

struct Rgb {
    uint8_t r, g, b;
};
constexpr Rgb BACKGROUND{24, 24, 28};
constexpr Rgb INK{225, 225, 225};

// 5x7 glyphs, one row a byte, the leftmost pixel in bit 4.
struct Glyph {
    char c;
    uint8_t rows[7];
};
constexpr Glyph k_font[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {'+', {0x00, 0x04, 0x04, 0x1F, 0x04, 0x04, 0x00}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'z', {0x00, 0x00, 0x1F, 0x02, 0x04, 0x08, 0x1F}},
    {'s', {0x00, 0x00, 0x0E, 0x10, 0x0E, 0x01, 0x1E}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
};

class Canvas {
  public:
    Canvas(int w, int h) : w_(w), h_(h), pixels_(static_cast<size_t>(w) * h * 3) {
        Fill(0, 0, w, h, BACKGROUND);
    }
    int width() const { return w_; }
    int height() const { return h_; }
    uint8_t *row(int y) { return pixels_.data() + static_cast<size_t>(y) * w_ * 3; }

    void Set(int x, int y, Rgb c) {
        if (x < 0 || y < 0 || x >= w_ || y >= h_) {
            return;
        }
        uint8_t *p = row(y) + static_cast<size_t>(x) * 3;
        p[0] = c.r, p[1] = c.g, p[2] = c.b;
    }
    void Fill(int x, int y, int w, int h, Rgb c) {
        for (int j = y; j < y + h; ++j) {
            for (int i = x; i < x + w; ++i) {
                Set(i, j, c);
            }
        }
    }
    // Text with its top-left corner at (x, y); characters without a glyph are left blank.
    void Text(int x, int y, const char *text, Rgb c) {
        for (; *text != '\0'; ++text, x += GLYPH_ADVANCE) {
            const Glyph *g = std::find_if(std::begin(k_font), std::end(k_font),
                                          [ch = *text](const Glyph &f) { return f.c == ch; });
            if (g == std::end(k_font)) {
                continue;
            }
            for (int r = 0; r < 7; ++r) {
                for (int col = 0; col < 5; ++col) {
                    if (g->rows[r] & (0x10 >> col)) {
                        Fill(x + col * FONT_SCALE, y + r * FONT_SCALE, FONT_SCALE, FONT_SCALE, c);
                    }
                }
            }
        }
    }
    static int TextWidth(const char *text) {
        return static_cast<int>(std::strlen(text)) * GLYPH_ADVANCE - FONT_SCALE;
    }

  private:
    int w_, h_;
    std::vector<uint8_t> pixels_;
};

// Black, blue, cyan, yellow, white along 0..1.
Rgb Colour(double v) {
    static constexpr Rgb k_stops[] = {
        {0, 0, 0}, {20, 30, 160}, {0, 190, 220}, {250, 230, 40}, {255, 255, 255}};
    constexpr int n = sizeof k_stops / sizeof k_stops[0];
    v = std::clamp(v, 0.0, 1.0) * (n - 1);
    int i = std::min(static_cast<int>(v), n - 2);
    double f = v - i;
    auto mix = [f](uint8_t a, uint8_t b) {
        return static_cast<uint8_t>(std::lround(a + (b - a) * f));
    };
    return {mix(k_stops[i].r, k_stops[i + 1].r), mix(k_stops[i].g, k_stops[i + 1].g),
            mix(k_stops[i].b, k_stops[i + 1].b)};
}

// Power spectra in dB of the rows, each row the bins from first_bin on.
std::vector<std::vector<double>> Spectrogram(const std::vector<int16_t> &samples, int first_bin,
                                             int bins, int rows) {
    double *in = fftw_alloc_real(FFT_SIZE);
    fftw_complex *out = fftw_alloc_complex(FFT_SIZE / 2 + 1);
    fftw_plan plan = fftw_plan_dft_r2c_1d(FFT_SIZE, in, out, FFTW_ESTIMATE);
    std::vector<std::vector<double>> result(rows, std::vector<double>(bins));
    const long count = static_cast<long>(samples.size());
    for (int r = 0; r < rows; ++r) {
        // The window is centred on the row's time; outside the recording counts as silence.
        long first = static_cast<long>(r) * HOP + HOP / 2 - FFT_SIZE / 2;
        for (int i = 0; i < FFT_SIZE; ++i) {
            long k = first + i;
            in[i] = k >= 0 && k < count ? samples[k] / 32768.0 : 0.0;
        }
        fftw_execute(plan);
        for (int b = 0; b < bins; ++b) {
            const fftw_complex &z = out[first_bin + b];
            result[r][b] = 10.0 * std::log10(z[0] * z[0] + z[1] * z[1] + 1e-30);
        }
    }
    fftw_destroy_plan(plan);
    fftw_free(out);
    fftw_free(in);
    return result;
}

// libpng reports errors by longjmp: nothing here has a destructor to skip.
bool EncodePng(FILE *file, int width, int height, uint8_t **rows, const char **error) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) {
        *error = "libpng: cannot create the writer";
        return false;
    }
    png_infop info = png_create_info_struct(png);
    // libpng reports its errors only by longjmp back to here.
    if (info == nullptr || setjmp(png_jmpbuf(png))) { // NOLINT(cert-err52-cpp)
        png_destroy_write_struct(&png, &info);
        *error = "libpng: encoding failed";
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

} // namespace

WaterfallView ViewAround(uint64_t dial_hz, double tone_lo_hz, double tone_hi_hz,
                         std::optional<uint32_t> start_utc) {
    double centre = (tone_lo_hz + tone_hi_hz) / 2.0;
    double half = std::max(12.0, (tone_hi_hz - tone_lo_hz) / 2.0 + 8.0);
    return {dial_hz, std::max(0.0, centre - half), centre + half, start_utc};
}

bool WriteWaterfall(const std::string &path, const std::vector<int16_t> &samples, uint32_t rate_hz,
                    const WaterfallView &view, WaterfallLayout *layout, std::string &error) {
    const double bin_hz = static_cast<double>(rate_hz) / FFT_SIZE;
    if (!(view.audio_hi_hz > view.audio_lo_hz) || view.audio_hi_hz >= rate_hz / 2.0) {
        error = "the frequency span lies outside the recording's bandwidth";
        return false;
    }
    const int rows = static_cast<int>(samples.size() / HOP);
    if (rows < 1) {
        error = "the recording is too short for a waterfall";
        return false;
    }
    const int first_bin = static_cast<int>(std::floor(view.audio_lo_hz / bin_hz));
    const int bins = static_cast<int>(std::ceil(view.audio_hi_hz / bin_hz)) - first_bin + 2;
    std::vector<std::vector<double>> db = Spectrogram(samples, first_bin, bins, rows);

    // Colour scale: from the noise floor (the median) or 60 dB below the peak, whichever is
    // higher, up to the peak.
    std::vector<double> all;
    all.reserve(static_cast<size_t>(rows) * bins);
    for (const auto &row : db) {
        all.insert(all.end(), row.begin(), row.end());
    }
    std::nth_element(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(all.size() / 2),
                     all.end());
    const double median = all[all.size() / 2];
    const double peak = *std::max_element(all.begin(), all.end());
    const double floor_db = std::max(median, peak - DYNAMIC_RANGE_DB);
    const double range_db = std::max(peak - floor_db, 1.0);

    Canvas canvas(MARGIN_LEFT + PLOT_W + MARGIN_RIGHT, MARGIN_TOP + rows + MARGIN_BOTTOM);
    const double hz_per_px = (view.audio_hi_hz - view.audio_lo_hz) / PLOT_W;
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < PLOT_W; ++x) {
            // Each bin is drawn as a block as wide as it is.
            double f = view.audio_lo_hz + (x + 0.5) * hz_per_px;
            int b = std::clamp(static_cast<int>(std::lround(f / bin_hz)) - first_bin, 0, bins - 1);
            double v = db[y][b];
            canvas.Set(MARGIN_LEFT + x, MARGIN_TOP + y, Colour((v - floor_db) / range_db));
        }
    }

    // Frequency axis: ticks at round RF frequencies, labelled in hertz.
    const double lo_rf = view.dial_hz + view.audio_lo_hz;
    const double hi_rf = view.dial_hz + view.audio_hi_hz;
    char widest[24];
    std::snprintf(widest, sizeof widest, "%llu", static_cast<unsigned long long>(hi_rf));
    uint64_t tick_hz = 1;
    for (uint64_t step : {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000}) {
        tick_hz = step;
        if (step / hz_per_px >= Canvas::TextWidth(widest) + 16) {
            break;
        }
    }
    for (uint64_t f = (static_cast<uint64_t>(lo_rf) / tick_hz + 1) * tick_hz; f < hi_rf;
         f += tick_hz) {
        int x = MARGIN_LEFT + static_cast<int>(std::lround((f - lo_rf) / hz_per_px));
        canvas.Fill(x, MARGIN_TOP - 8, 1, 6, INK);
        char label[24];
        std::snprintf(label, sizeof label, "%llu", static_cast<unsigned long long>(f));
        canvas.Text(x - Canvas::TextWidth(label) / 2, MARGIN_TOP - 26, label, INK);
    }
    canvas.Text(MARGIN_LEFT + PLOT_W + 8, MARGIN_TOP - 26, "Hz", INK);

    // Time axis: every 10 s, in UTC when known, else seconds from the start.
    const double seconds_per_row = static_cast<double>(HOP) / rate_hz;
    canvas.Text(8, MARGIN_TOP - 26, view.start_utc ? "UTC" : "s", INK);
    for (int s = 0; s * 1.0 < rows * seconds_per_row; s += 10) {
        int y = MARGIN_TOP + static_cast<int>(std::lround(s / seconds_per_row));
        canvas.Fill(MARGIN_LEFT - 8, y, 6, 1, INK);
        const std::string label = view.start_utc
                                      ? FormatClock(*view.start_utc + static_cast<uint32_t>(s))
                                      : "+" + std::to_string(s);
        canvas.Text(MARGIN_LEFT - 12 - Canvas::TextWidth(label.c_str()), std::max(0, y - 7),
                    label.c_str(), INK);
    }

    FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = "cannot write " + path;
        return false;
    }
    std::vector<uint8_t *> row_pointers(canvas.height());
    for (int y = 0; y < canvas.height(); ++y) {
        row_pointers[y] = canvas.row(y);
    }
    const char *png_error = nullptr;
    bool ok = EncodePng(file, canvas.width(), canvas.height(), row_pointers.data(), &png_error);
    if (std::fclose(file) != 0 && ok) {
        ok = false;
        png_error = "cannot finish writing the file";
    }
    if (!ok) {
        error = png_error;
        return false;
    }
    if (layout != nullptr) {
        *layout = {canvas.width(), canvas.height(), MARGIN_LEFT, MARGIN_TOP, PLOT_W,
                   rows,           seconds_per_row};
    }
    return true;
}

} // namespace sim
