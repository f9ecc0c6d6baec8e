#include "beacon_run.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "numbers.h"

#ifndef WSPR_SIM_WATERFALL
#define WSPR_SIM_WATERFALL 0
#endif
#if WSPR_SIM_WATERFALL
#include "waterfall.h"
#endif

namespace sim {
namespace {

constexpr uint64_t PROGRESS_CHUNK_NS = 10 * SECOND;
constexpr auto PROGRESS_FIRST = std::chrono::milliseconds(300);
constexpr auto PROGRESS_EVERY = std::chrono::milliseconds(200);

// "1d 02:03:04"
std::string FormatDuration(uint64_t ms) {
    const uint64_t s = ms / 1000;
    return std::to_string(s / 86400) + "d " + FormatClock(s);
}

// Runs in chunks and keeps a progress line on stderr once the run has taken a moment. Extra
// stops between events only add main-loop passes that find nothing to do.
void RunWithProgress(uint64_t until_ns) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    Clock::time_point next_report = start + PROGRESS_FIRST;
    bool shown = false;
    while (Now() < until_ns) {
        RunUntil(std::min(until_ns, Now() + PROGRESS_CHUNK_NS));
        Clock::time_point now = Clock::now();
        if (now >= next_report && Now() < until_ns) {
            next_report = now + PROGRESS_EVERY;
            double wall = std::chrono::duration<double>(now - start).count();
            std::fprintf(stderr, "\r\033[Kvirtual %s of %s  %5.1f%%  %.0fx real time",
                         FormatDuration(Now() / MS).c_str(), FormatDuration(until_ns / MS).c_str(),
                         100.0 * static_cast<double>(Now()) / static_cast<double>(until_ns),
                         static_cast<double>(Now()) / 1e9 / wall);
            shown = true;
        }
    }
    if (shown) {
        std::fputs("\r\033[K", stderr);
    }
}

int Fail(const char *who, const std::string &message) {
    std::fprintf(stderr, "%s: %s\n", who, message.c_str());
    return 1;
}

// The recording and its picture, after the run.
int WriteMedia(const RunPlan &plan, RunReport &report, const char *who) {
    const FrameRecorder &frame = report.frame;
    if (!frame.HasFrame()) {
        return Fail(who, "no frame was sent during the run: nothing to record");
    }
    report.dial_uhz = plan.dial_hz ? *plan.dial_hz * 1000000ULL : frame.DefaultDialUhz();
    AudioOptions audio{report.dial_uhz, plan.snr_db, plan.seed};
    std::vector<int16_t> samples = RenderAudio(frame.WindowStartNs(), frame.Changes(), audio);
    if (!plan.wav_path.empty() && !WriteWav(plan.wav_path, samples, AUDIO_RATE_HZ)) {
        return Fail(who, "cannot write " + plan.wav_path);
    }
#if WSPR_SIM_WATERFALL
    if (!plan.waterfall_path.empty()) {
        const double dial_hz = static_cast<double>(report.dial_uhz) * 1e-6;
        double lo = static_cast<double>(frame.LowestUhz()) * 1e-6 - dial_hz;
        double hi = static_cast<double>(frame.HighestUhz()) * 1e-6 - dial_hz;
        WaterfallView view = ViewAround(report.dial_uhz / 1000000, lo, hi, frame.WindowUtc());
        std::string error;
        if (!WriteWaterfall(plan.waterfall_path, samples, AUDIO_RATE_HZ, view, nullptr, error)) {
            return Fail(who, error);
        }
    }
#endif
    report.recorded = true;
    if (!plan.announce) {
        return 0;
    }
    const double frame_offset_s =
        static_cast<double>(frame.FrameStartUs() * 1000 - frame.WindowStartNs()) / 1e9;
    std::fprintf(stderr, "%s: recorded 120 s from %s (%s), frame at +%.3f s, USB dial %.6f MHz\n",
                 who,
                 frame.WindowUtc() ? ("UTC " + FormatClock(*frame.WindowUtc())).c_str()
                                   : "1 s before the frame",
                 frame.WindowUtc() ? "second 0 of the frame's minute" : "time not set",
                 frame_offset_s, static_cast<double>(report.dial_uhz) / 1e12);
    return 0;
}

// One line of the I2C log: microseconds when the write ended, address, register, data, status.
void I2cLine(FILE *f, const I2cWrite &w) {
    std::fprintf(f, "%llu,%02x,%u,", static_cast<unsigned long long>(w.end_ns / 1000), w.addr7,
                 static_cast<unsigned>(w.bytes[0]));
    for (size_t k = 1; k < w.bytes.size(); ++k) {
        std::fprintf(f, "%02x", w.bytes[k]);
    }
    std::fprintf(f, ",%d\n", w.status);
}

} // namespace

bool WaterfallAvailable() {
    return WSPR_SIM_WATERFALL != 0;
}

int ExecuteRun(const RunPlan &plan, RunReport &report, const char *who) {
    if (!plan.wav_path.empty() && !WavAvailable()) {
        return Fail(who, "--wav is not available in this build (it was built without libsndfile)");
    }
    if (!plan.waterfall_path.empty() && !WaterfallAvailable()) {
        return Fail(who, "--waterfall is not available in this build (it was built without FFTW "
                         "or libpng)");
    }
    const bool recording = !plan.wav_path.empty() || !plan.waterfall_path.empty();
    TimeSetWatch time_watch;
    std::optional<UtcAnchor> clock_anchor;
    if (plan.gnss_clock) {
        clock_anchor = UtcAnchor{0, *plan.gnss_clock};
    }

    // Everything is wired before the firmware starts so that the start-up itself is seen.
    Prepare(plan.board);
    Mcu &mcu = BoardMcu();
    if (!plan.flash.empty()) {
        mcu.LoadFlash(plan.flash);
    }
    if (plan.uid) {
        mcu.SetUid(*plan.uid);
    }
    bool taken = plan.power_cut_at == 0 || mcu.CutPowerAt(plan.power_cut_at, plan.seed);
    for (const I2cFaultSpec &f : plan.faults) {
        taken = taken && mcu.FailI2c(f.op, f.status, f.from_then_on);
    }
    if (!taken) {
        return Fail(who, "--si5351-fail and --power-cut-at act on the PC build's platform layer: "
                         "not with --image");
    }
    KeepNoHistory();
    if (plan.hang_at_ns) {
        mcu.HangAt(*plan.hang_at_ns);
    }
    if (plan.fault_at_ns) {
        mcu.Schedule(*plan.fault_at_ns, [&mcu](uint64_t) { mcu.HardFault(); });
    }
    if (plan.stray_irq_at_ns) {
        mcu.Schedule(*plan.stray_irq_at_ns, [&mcu](uint64_t) { mcu.StrayInterrupt(); });
    }
    if (plan.sda_stuck_at_ns) {
        mcu.Schedule(*plan.sda_stuck_at_ns, [](uint64_t) { Chip().hold_sda(SDA_STUCK_PULSES); });
    }
    FILE *console = plan.console;
    const bool keep_console = plan.keep_console;
    if (console != nullptr || keep_console || recording) {
        Terminal().OnByte([&, console, keep_console, recording](uint64_t t, uint8_t b) {
            if (console != nullptr) {
                std::fputc(b, console);
            }
            if (keep_console) {
                report.console.push_back(static_cast<char>(b));
            }
            if (recording) {
                time_watch.Byte(t, b);
            }
        });
    }
    FILE *rf = plan.rf;
    if (rf != nullptr) {
        std::fputs("t_us,clk1,freq_uhz\n", rf);
    }
    uint64_t frames_begun = 0; // CLK1 switched on from off
    bool clk1_on = false;
    Chip().on_change([&, rf, recording](const Si5351Model::Change &c) {
        frames_begun += c.on && !clk1_on ? 1U : 0U;
        clk1_on = c.on;
        const bool chosen = frames_begun >= plan.record_frame;
        if (c.on && chosen && !report.frame_status) {
            report.frame_status = Status(); // the message and frequency of the recorded frame
        }
        if (rf != nullptr) {
            std::fprintf(rf, "%llu,%d,%llu\n", static_cast<unsigned long long>(c.t_us),
                         c.on ? 1 : 0, static_cast<unsigned long long>(c.freq_uhz));
        }
        if (plan.keep_rf) {
            report.rf.push_back(c);
        }
        if (recording && chosen) {
            // The receiver's clock: the GNSS receiver's UTC if there is one, else the beacon's
            // own as it reported it.
            report.frame.Change(c, clock_anchor ? clock_anchor : time_watch.Last());
        }
    });

    FILE *pins = plan.pins;
    if (pins != nullptr) {
        std::fputs("t_us,pin,level\n", pins);
        mcu.OnPinLevel([pins](uint64_t t_ns, Pin pin, int level) {
            std::fprintf(pins, "%llu,P%c%d,%d\n", static_cast<unsigned long long>(t_ns / 1000),
                         pin.port, pin.number, level);
        });
    }

    FILE *i2c = plan.i2c;
    if (i2c != nullptr) {
        std::fputs("t_us,addr,reg,data,status\n", i2c);
        mcu.OnI2cWrite([i2c](const I2cWrite &w) { I2cLine(i2c, w); });
    }

    std::vector<ScriptEvent> events = plan.events;
    std::stable_sort(events.begin(), events.end(),
                     [](const ScriptEvent &a, const ScriptEvent &b) { return a.ms < b.ms; });
    ScheduleScript(events);
    if (!plan.gnss_bytes.empty()) {
        GnssAt(0, plan.gnss_bytes);
    }
    if (plan.gnss_clock) {
        Gnss().SetRate(plan.gnss_rate);
        Gnss().StartClock(0, *plan.gnss_clock);
    }
    Boot();

    const uint64_t until_ns = plan.until_ms * MS;
    if (plan.progress) {
        RunWithProgress(until_ns);
    } else {
        RunUntil(until_ns);
    }
    if (console != nullptr) {
        std::fflush(console);
    }
    // The listeners refer to this call's locals.
    Terminal().OnByte(nullptr);
    mcu.OnI2cWrite(nullptr);
    Chip().on_change(nullptr);
    report.limit_faults = Chip().fault_count();
    report.flash = mcu.FlashContents();
    report.image_findings = mcu.Findings();
    for (const Si5351Model::Fault &f : Chip().faults()) {
        std::fprintf(stderr, "%s: Si5351 outside its limits at %.6f s: %s\n", who,
                     static_cast<double>(f.t_us) / 1e6, f.what.c_str());
    }

    // A chip driven outside its limits fails the run, after whatever it produced is written; so
    // does anything the emulated MCU found wrong.
    const int fault_status = report.limit_faults != 0 ? 4 : report.image_findings != 0 ? 5 : 0;
    if (report.image_findings != 0) {
        std::fprintf(stderr, "%s: the emulated chip found %zu problem(s), listed above\n", who,
                     report.image_findings);
    }
    if (!recording) {
        return fault_status;
    }
    if (Chip().clk1_on() && report.frame.HasFrame() && Now() < report.frame.WindowEndNs()) {
        // The run ended inside the recording with CLK1 on: what came after is unknown.
        std::fprintf(stderr, "%s: the run ended during the recording; silence after %.3f s\n", who,
                     static_cast<double>(Now()) / 1e9);
        report.frame.Change({Now() / 1000, false, 0}, std::nullopt);
    }
    const int media_status = WriteMedia(plan, report, who);
    return media_status != 0 ? media_status : fault_status;
}

} // namespace sim
