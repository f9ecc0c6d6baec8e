// wspr-sim demo: the beacon's first minutes in accelerated time. A GNSS receiver made from the PC's
// UTC clock sets the time, the next even minute starts a frame, the frame completes; the console
// transcript, RF log, recording and waterfall go into one folder and a summary is printed.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "app_config.h"
#include "beacon_run.h"
#include "commands.h"
#include "options.h"
#include "wspr_encoder.h"

namespace {

constexpr uint64_t SYMBOL_US = WSPR_SYMBOL_PERIOD_US;
constexpr uint64_t FRAME_US = WSPR_SYMBOL_COUNT * SYMBOL_US;

int Fail(const std::string &message) {
    std::fprintf(stderr, "wspr-sim demo: %s\n", message.c_str());
    return 1;
}

// What CLK1 emitted at time t (0 while off).
uint64_t EmittedAt(const std::vector<sim::Si5351Model::Change> &rf, uint64_t t_us) {
    uint64_t freq = 0;
    for (const sim::Si5351Model::Change &c : rf) {
        if (c.t_us > t_us) {
            break;
        }
        freq = c.on ? c.freq_uhz : 0;
    }
    return freq;
}

struct FrameCheck {
    bool found = false;
    std::string call, locator;
    int dbm = 0;
    uint64_t start_us = 0;
    int symbols_right = 0;       // symbol slots whose tone is the one the message needs
    int64_t worst_error_uhz = 0; // largest tone error over the slots, signed
    uint64_t base_hz = 0;
};

// Checks the first frame against the message the beacon had when it started it: every symbol
// slot, sampled in its middle, must carry base + symbol x tone spacing.
FrameCheck CheckFrame(const WSPR_AppStatus &status,
                      const std::vector<sim::Si5351Model::Change> &rf) {
    FrameCheck check;
    check.base_hz = status.settings.base_freq_hz;
    check.call = status.settings.callsign;
    check.locator = status.settings.locator;
    check.dbm = status.settings.power_dbm;
    auto first_on = std::find_if(rf.begin(), rf.end(), [](const auto &c) { return c.on; });
    uint8_t symbols[WSPR_SYMBOL_COUNT];
    if (first_on == rf.end() || !WSPR_Encode(status.settings.callsign, status.settings.locator,
                                             status.settings.power_dbm, symbols)) {
        return check;
    }
    check.found = true;
    check.start_us = first_on->t_us;
    for (unsigned k = 0; k < WSPR_SYMBOL_COUNT; ++k) {
        uint64_t emitted = EmittedAt(rf, check.start_us + k * SYMBOL_US + SYMBOL_US / 2);
        uint64_t ideal = check.base_hz * 1000000ULL + symbols[k] * WSPR_TONE_SPACING_UHZ;
        int64_t error = static_cast<int64_t>(emitted) - static_cast<int64_t>(ideal);
        // A slot counts when its tone is nearer the right one than half a tone spacing.
        if (emitted != 0 && std::llabs(error) < static_cast<int64_t>(WSPR_TONE_SPACING_UHZ / 2)) {
            ++check.symbols_right;
            if (std::llabs(error) > std::llabs(check.worst_error_uhz)) {
                check.worst_error_uhz = error;
            }
        }
    }
    return check;
}

bool MakeFolder(const std::string &path) {
    return mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
}

} // namespace

int cmd_demo(int argc, char **argv) {
    std::string out = "sim-out";
    std::optional<double> snr;
    std::optional<uint32_t> at;
    const std::vector<cli::Option> options = {
        {"--out", "DIR", "folder for the results (default sim-out)",
         [&](const char *v, std::string &) {
             out = v;
             return true;
         }},
        {"--snr", "DB", "noise in the recording for this SNR in 2500 Hz (default: none)",
         [&](const char *v, std::string &e) {
             double db = 0;
             e = "takes a number of decibels between -60 and 60";
             if (!cli::ParseDecimal(v, -60.0, 60.0, db)) {
                 return false;
             }
             snr = db;
             return true;
         }},
        {"--at", "HH:MM:SS", "UTC of the GNSS receiver at the start (default: the PC's clock now)",
         [&](const char *v, std::string &e) {
             uint32_t second = 0;
             e = "takes HH:MM:SS";
             if (!cli::ParseClock(v, second)) {
                 return false;
             }
             at = second;
             return true;
         }},
    };
    const int parsed = cli::Parse("demo", "[options]", options, argc, argv);
    if (parsed >= 0) {
        return parsed;
    }
    const uint32_t start_second = at ? *at : static_cast<uint32_t>(std::time(nullptr) % 86400);
    // The receiver's first sentence sets the time at once; the frame starts at the next even
    // minute (this one when the run starts on it) and lasts 110.6 s. The run ends with the
    // recording, 120 s after that minute began, just before the next frame would start.
    uint32_t to_even_minute = (120 - start_second % 120) % 120;
    uint64_t until_ms = (to_even_minute + sim::RECORDING_SECONDS) * 1000ULL;

    if (!MakeFolder(out)) {
        return Fail("cannot create folder " + out + ": " + std::strerror(errno));
    }
    const std::string console_path = out + "/console.txt";
    const std::string rf_path = out + "/rf.csv";
    const std::string wav_path = out + "/wspr.wav";
    const std::string png_path = out + "/waterfall.png";
    cli::Output console, rf;
    std::string error;
    if (!console.Open(console_path, error) || !rf.Open(rf_path, error)) {
        return Fail(error);
    }

    sim::RunPlan plan;
    plan.until_ms = until_ms;
    plan.gnss_clock = start_second;
    plan.console = console.File();
    plan.rf = rf.File();
    plan.wav_path = wav_path;
    if (sim::WaterfallAvailable()) {
        plan.waterfall_path = png_path;
    }
    plan.snr_db = snr;
    plan.keep_console = true;
    plan.keep_rf = true;
    plan.announce = false;

    auto wall_start = std::chrono::steady_clock::now();
    sim::RunReport report;
    int status = sim::ExecuteRun(plan, report, "wspr-sim demo");
    double wall_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    const bool console_written = console.Close(error);
    const bool rf_written = rf.Close(error);
    if (status != 0) {
        return status;
    }
    if (!console_written || !rf_written) {
        return Fail(error);
    }
    if (!report.frame_status) {
        return Fail("the beacon sent no frame; see " + console_path);
    }
    FrameCheck check = CheckFrame(*report.frame_status, report.rf);
    if (!check.found) {
        return Fail("the beacon sent no frame; see " + console_path);
    }
    const uint64_t frame_end_us = check.start_us + FRAME_US;
    uint64_t start_ns_of_day = start_second * sim::SECOND + check.start_us * 1000;
    std::printf("WSPR beacon on the virtual board, GNSS time from the PC clock (UTC %s)\n",
                sim::FormatClock(start_second).c_str());
    std::printf("  message         %s %s %d dBm\n", check.call.c_str(), check.locator.c_str(),
                check.dbm);
    std::printf("  frequency       %llu Hz (tone 0), tones %.6f Hz apart; emitted tone 0 %.6f Hz\n",
                static_cast<unsigned long long>(check.base_hz),
                static_cast<double>(WSPR_TONE_SPACING_UHZ) / 1e6,
                static_cast<double>(report.frame.LowestUhz()) / 1e6);
    std::printf("  frame start     %s.%03llu UTC (t = %.3f s)\n",
                sim::FormatClock(start_ns_of_day / sim::SECOND).c_str(),
                static_cast<unsigned long long>(start_ns_of_day / sim::MS % 1000),
                static_cast<double>(check.start_us) / 1e6);
    // The frame's end: CLK1 goes off during the last symbol's slot and stays off.
    auto end = std::find_if(report.rf.begin(), report.rf.end(), [&](const auto &c) {
        return !c.on && c.t_us + SYMBOL_US / 2 >= frame_end_us;
    });
    const bool off_after = end != report.rf.end() &&
                           EmittedAt(report.rf, end->t_us + SYMBOL_US) == 0 &&
                           report.console.find("TX complete") != std::string::npos;
    std::printf("  symbols sent    %d of %u as the message needs; %s\n", check.symbols_right,
                static_cast<unsigned>(WSPR_SYMBOL_COUNT),
                off_after ? ("frame complete, CLK1 off after " +
                             std::to_string((end->t_us - check.start_us) / 1000) + " ms")
                                .c_str()
                          : "the frame did not complete");
    std::printf("  tone error      largest %+.3f mHz (emitted by the Si5351 model vs. ideal)\n",
                static_cast<double>(check.worst_error_uhz) / 1000.0);
    char noise[48] = ", no noise";
    if (snr) {
        std::snprintf(noise, sizeof noise, ", noise for SNR %.1f dB in 2500 Hz", *snr);
    }
    std::printf("  receiver        USB, dial %.6f MHz%s\n",
                static_cast<double>(report.dial_uhz) / 1e12, noise);
    std::printf("  files           %s  %s  %s", console_path.c_str(), rf_path.c_str(),
                wav_path.c_str());
    if (sim::WaterfallAvailable()) {
        std::printf("  %s\n", png_path.c_str());
    } else {
        std::printf("\n  (no waterfall: this build has no FFTW or libpng)\n");
    }
    std::printf("  simulated %.1f s in %.2f s of wall time\n", static_cast<double>(until_ms) / 1e3,
                wall_s);
    return check.symbols_right == static_cast<int>(WSPR_SYMBOL_COUNT) && off_after ? 0 : 2;
}
