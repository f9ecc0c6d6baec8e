// wspr-sim run: the firmware on the virtual board in accelerated virtual time, on the virtual MCU
// or, with --image, the board image on the emulated chip.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "beacon_run.h"
#include "commands.h"
#include "options.h"

namespace {

constexpr size_t MAX_SCRIPT_BYTES = 16 << 20; // 16 MiB of timed inputs
constexpr size_t MAX_GNSS_BYTES = 64 << 20;   // 64 MiB: about 19 hours at 9600 baud
constexpr size_t MAX_IMAGE_BYTES = 64 << 20;  // 64 MiB: a board image with all its debug sections

bool ParseFail(const char *text, sim::I2cFaultSpec &fault) {
    std::string s(text);
    const size_t colon = s.find(':');
    if (colon == std::string::npos) {
        return false;
    }
    std::string op = s.substr(0, colon);
    const std::string status = s.substr(colon + 1);
    fault.from_then_on = !op.empty() && op.back() == '+';
    if (fault.from_then_on) {
        op.pop_back();
    }
    if (!cli::ParseWhole(op, 0, UINT64_MAX - 1, fault.op)) {
        return false;
    }
    if (status == "error" || status == "1") {
        fault.status = HAL_ERROR;
    } else if (status == "busy" || status == "2") {
        fault.status = HAL_BUSY;
    } else if (status == "timeout" || status == "3") {
        fault.status = HAL_TIMEOUT;
    } else {
        return false;
    }
    return true;
}

// An option whose value is a moment of the run in virtual milliseconds, to the microsecond.
std::function<bool(const char *, std::string &)> AtMs(std::optional<uint64_t> &target_ns) {
    return [&target_ns](const char *v, std::string &e) {
        uint64_t ns = 0;
        e = "takes 0.." + std::to_string(sim::MAX_RUN_MS) +
            " milliseconds, with at most three decimals";
        if (!sim::ParseMillis(v, 0, sim::MAX_RUN_MS, ns)) {
            return false;
        }
        target_ns = ns;
        return true;
    };
}

int Fail(const std::string &message) {
    std::fprintf(stderr, "wspr-sim run: %s\n", message.c_str());
    return 1;
}

// Hertz with up to six decimals (25003275.5), in micro-hertz, within 1..100 MHz.
bool ParseMicroHertz(std::string_view text, uint64_t &uhz) {
    const size_t dot = text.find('.');
    uint64_t whole = 0, frac = 0;
    if (!cli::ParseWhole(text.substr(0, dot), 1000000, 100000000, whole)) {
        return false;
    }
    if (dot != std::string_view::npos) {
        const std::string_view decimals = text.substr(dot + 1);
        if (decimals.empty() || decimals.size() > 6 ||
            !cli::ParseWhole(decimals, 0, 999999, frac)) {
            return false;
        }
        for (size_t k = decimals.size(); k < 6; ++k) {
            frac *= 10;
        }
    }
    uhz = whole * 1000000ULL + frac;
    return true;
}

// MS:HZ[,MS:HZ...], the times in order.
bool ParseDrift(std::string_view text, std::vector<sim::Si5351Model::XtalPoint> &points) {
    points.clear();
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        const size_t colon = item.find(':');
        uint64_t ns = 0, uhz = 0;
        if (colon == std::string_view::npos ||
            !sim::ParseMillis(item.substr(0, colon), 0, sim::MAX_RUN_MS, ns) ||
            !ParseMicroHertz(item.substr(colon + 1), uhz) ||
            (!points.empty() && ns <= points.back().t_ns)) {
            return false;
        }
        points.push_back({ns, uhz});
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    }
    return !points.empty();
}

} // namespace

int cmd_run(int argc, char **argv) {
    sim::RunPlan plan;
    std::string script_path, gnss_path, console_path, rf_path, i2c_path, pins_path, flash_path,
        image_path;

    const std::vector<cli::Option> options = {
        {"--until", "MS", "end of the run in virtual milliseconds (default 240000)",
         [&](const char *v, std::string &e) {
             e = "takes 1.." + std::to_string(sim::MAX_RUN_MS) + " milliseconds";
             return cli::ParseWhole(v, 1, sim::MAX_RUN_MS, plan.until_ms);
         }},
        {"--script", "FILE", "timed inputs: 'MS type TEXT', 'MS key down|up', 'MS gnss SENTENCE'",
         [&](const char *v, std::string &) {
             script_path = v;
             return true;
         }},
        {"--gnss", "FILE", "the file's bytes on the GNSS input at 9600 baud from t = 0",
         [&](const char *v, std::string &) {
             gnss_path = v;
             return true;
         }},
        {"--gnss-clock", "HH:MM:SS",
         "a receiver sending a valid $GPRMC every second from that UTC time",
         [&](const char *v, std::string &e) {
             uint32_t second = 0;
             e = "takes HH:MM:SS";
             if (!cli::ParseClock(v, second)) {
                 return false;
             }
             plan.gnss_clock = second;
             return true;
         }},
        {"--gnss-rate", "HZ",
         "fixes a second of the --gnss-clock receiver: 1 (default), 2, 4, 5 or 10",
         [&](const char *v, std::string &e) {
             uint64_t hz = 0;
             e = "takes 1, 2, 4, 5 or 10";
             if (!cli::ParseWhole(v, 1, sim::GnssReceiver::MAX_RATE, hz) ||
                 !sim::GnssReceiver::RateSupported(static_cast<uint32_t>(hz))) {
                 return false;
             }
             plan.gnss_rate = static_cast<uint32_t>(hz);
             return true;
         }},
        {"--no-si5351", nullptr, "no Si5351 on the I2C bus",
         [&](const char *, std::string &) {
             plan.board.si5351_present = false;
             return true;
         }},
        {"--xtal", "HZ", "the Si5351's real crystal (default 25003275)",
         [&](const char *v, std::string &e) {
             e = "takes the crystal frequency in hertz, 1000000..100000000";
             return cli::ParseWhole(v, 1000000, 100000000, plan.board.xtal_hz);
         }},
        {"--xtal-drift", "MS:HZ[,MS:HZ...]",
         "the Si5351's real crystal over time: linear between the points, held\n"
         "before the first and after the last (0:25003275,3600000:25003275.5)",
         [&](const char *v, std::string &e) {
             e = "takes MS:HZ points in time order, HZ 1000000..100000000 with at most six "
                 "decimals";
             return ParseDrift(v, plan.board.xtal_drift);
         }},
        {"--pps", nullptr,
         "the --gnss-clock receiver also drives its pulse-per-second on PA1\n"
         "(rising at each UTC second, 100 ms high)",
         [&](const char *, std::string &) {
             plan.board.pps = true;
             return true;
         }},
        {"--pps-jitter-ns", "N", "each pulse moved by a random amount within +/-N ns (--seed)",
         [&](const char *v, std::string &e) {
             e = "takes 0..100000000 nanoseconds";
             return cli::ParseWhole(v, 0, 100000000, plan.board.pulse.jitter_ns);
         }},
        {"--pps-gap", "FROM_MS:TO_MS", "no pulse from FROM_MS to TO_MS (may be given more than once)",
         [&](const char *v, std::string &e) {
             e = "takes FROM_MS:TO_MS, FROM_MS below TO_MS";
             const std::string_view gap = v;
             const size_t colon = gap.find(':');
             uint64_t from = 0, to = 0;
             if (colon == std::string_view::npos ||
                 !sim::ParseMillis(gap.substr(0, colon), 0, sim::MAX_RUN_MS, from) ||
                 !sim::ParseMillis(gap.substr(colon + 1), 0, sim::MAX_RUN_MS, to) || to <= from) {
                 return false;
             }
             plan.board.pulse.gaps.push_back({from, to});
             return true;
         },
         true},
        {"--si5351-latch", "stop|byte",
         "when the Si5351 uses a register written to it: as each byte is\n"
         "acknowledged (byte, the default: --rf-log shows every state between\n"
         "the bytes of a transfer) or a transfer's bytes together at its STOP",
         [&](const char *v, std::string &e) {
             e = "takes stop or byte";
             const std::string_view latch = v;
             if (latch != "stop" && latch != "byte") {
                 return false;
             }
             plan.board.si5351_latch =
                 latch == "stop" ? sim::Si5351Model::Latch::STOP : sim::Si5351Model::Latch::BYTE;
             return true;
         }},
        {"--si5351-sys-init", "MS|never",
         "the Si5351 holds SYS_INIT (initialising) for MS after power-on\n"
         "(default 10), or never finishes",
         [&](const char *v, std::string &e) {
             e = "takes 0.." + std::to_string(sim::MAX_RUN_MS) + " milliseconds or never";
             if (std::string(v) == "never") {
                 plan.board.si5351_sys_init_ns = UINT64_MAX;
                 return true;
             }
             return sim::ParseMillis(v, 0, sim::MAX_RUN_MS, plan.board.si5351_sys_init_ns);
         }},
        {"--si5351-fail", "N[+]:STATUS",
         "I2C operation N (0 = the start-up probe) fails with STATUS\n"
         "(error, busy or timeout); with '+' every later one too",
         [&](const char *v, std::string &e) {
             sim::I2cFaultSpec fault{};
             e = "takes N:STATUS or N+:STATUS, STATUS error, busy or timeout";
             if (!ParseFail(v, fault)) {
                 return false;
             }
             plan.faults.push_back(fault);
             return true;
         },
         true},
        {"--hang-at", "MS",
         "from virtual millisecond MS the main loop is stuck (interrupts go on);\n"
         "MS, here and below, may have three decimals (5001.25)",
         AtMs(plan.hang_at_ns)},
        {"--fault-at", "MS", "a hard fault at virtual millisecond MS: the fault handler runs",
         AtMs(plan.fault_at_ns)},
        {"--stray-irq-at", "MS",
         "an interrupt the firmware has no handler for (the FPU's) is enabled and\n"
         "raised at MS: its default handler runs",
         AtMs(plan.stray_irq_at_ns)},
        {"--sda-stuck-at", "MS",
         "the Si5351 holds SDA low from MS on (as after a reset in mid-transfer)\n"
         "until SCL is clocked",
         AtMs(plan.sda_stuck_at_ns)},
        {"--flash", "FILE",
         "the flash's settings sectors, kept in FILE across runs (created when missing)",
         [&](const char *v, std::string &) {
             flash_path = v;
             return true;
         }},
        {"--power-cut-at", "N", "the power fails during flash operation N (from 1) and comes back",
         [&](const char *v, std::string &e) {
             e = "takes a flash operation number, 1..1000000000";
             return cli::ParseWhole(v, 1, 1000000000, plan.power_cut_at);
         }},
        {"--image", "FILE.elf",
         "run this board image on the emulated STM32F411 instead of the\n"
         "PC build (make firmware: build/stm32f411/wspr-beacon.elf)",
         [&](const char *v, std::string &) {
             image_path = v;
             return true;
         }},
        {"--console-log", "FILE", "raw console output (default: standard output)",
         [&](const char *v, std::string &) {
             console_path = v;
             return true;
         }},
        {"--rf-log", "FILE", "CSV t_us,clk1,freq_uhz at every change of what CLK1 emits",
         [&](const char *v, std::string &) {
             rf_path = v;
             return true;
         }},
        {"--pin-log", "FILE", "CSV t_us,pin,level at every change of an output pin (PB15 ...)",
         [&](const char *v, std::string &) {
             pins_path = v;
             return true;
         }},
        {"--uid", "HEX", "the chip's 96-bit unique ID, 24 hex digits (word 2, 1, 0)",
         [&](const char *v, std::string &e) {
             e = "takes 24 hex digits";
             mcu::Uid uid{};
             if (!sim::ParseUid(v, uid)) {
                 return false;
             }
             plan.uid = uid;
             return true;
         }},
        {"--i2c-log", "FILE", "CSV t_us,addr,reg,data,status of every I2C memory write",
         [&](const char *v, std::string &) {
             i2c_path = v;
             return true;
         }},
        {"--wav", "FILE",
         "what a USB receiver 1500 Hz below the base frequency hears of\n"
         "the first frame (--frame): 120 s, 12000 samples/s, 16-bit mono, from\n"
         "second 0 of the frame's UTC minute (no time set: 1 s before it)",
         [&](const char *v, std::string &e) {
             plan.wav_path = v;
             e = "is not available in this build (it was built without libsndfile)";
             return sim::WavAvailable();
         }},
        {"--frame", "N",
         "the frame --wav and --waterfall record: the N-th the beacon\n"
         "sends (default 1; frames alternate with a 6-character locator\n"
         "or a compound callsign)",
         [&](const char *v, std::string &e) {
             e = "takes a whole number from 1";
             return cli::ParseWhole(v, 1, 1000000, plan.record_frame);
         }},
        {"--snr", "DB", "white Gaussian noise for this SNR in 2500 Hz in the recording",
         [&](const char *v, std::string &e) {
             double db = 0;
             e = "takes a number of decibels between -60 and 60";
             if (!cli::ParseDecimal(v, -60.0, 60.0, db)) {
                 return false;
             }
             plan.snr_db = db;
             return true;
         }},
        {"--seed", "N", "seed of the noise (default 1)",
         [&](const char *v, std::string &e) {
             e = "takes a whole number";
             return cli::ParseWhole(v, 0, UINT64_MAX, plan.seed);
         }},
        {"--dial", "HZ",
         "the receiver's dial, 1..1000000000 Hz (default: the first\n"
         "frame's lowest tone, rounded to whole hertz, minus 1500 Hz)",
         [&](const char *v, std::string &e) {
             uint64_t hz = 0;
             e = "takes a frequency of 1..1000000000 whole hertz";
             if (!cli::ParseWhole(v, 1, 1000000000, hz)) {
                 return false;
             }
             plan.dial_hz = hz;
             return true;
         }},
        {"--waterfall", "FILE", "spectrogram PNG of the recording around the signal",
         [&](const char *v, std::string &e) {
             plan.waterfall_path = v;
             e = "is not available in this build (it was built without FFTW or libpng)";
             return sim::WaterfallAvailable();
         }},
    };
    const int parsed = cli::Parse("run", "[options]", options, argc, argv);
    if (parsed >= 0) {
        return parsed;
    }
    if ((plan.snr_db || plan.dial_hz || plan.record_frame != 1) && plan.wav_path.empty() &&
        plan.waterfall_path.empty()) {
        return Fail("--snr, --dial and --frame shape the recording: give --wav or --waterfall too");
    }
    if ((plan.board.pulse.jitter_ns != 0 || !plan.board.pulse.gaps.empty()) && !plan.board.pps) {
        return Fail("--pps-jitter-ns and --pps-gap shape the pulse: give --pps too");
    }
    if (plan.board.pps && !plan.gnss_clock) {
        return Fail("--pps is the --gnss-clock receiver's pulse: give --gnss-clock too");
    }
    plan.board.pulse.seed = plan.seed;

    std::string error;
    if (!script_path.empty()) {
        std::string content;
        if (!cli::ReadInputFile(script_path, MAX_SCRIPT_BYTES, content, error)) {
            return Fail(error);
        }
        if (!sim::ParseScript(content, plan.events, error)) {
            return Fail(script_path + ": " + error);
        }
    }
    if (!gnss_path.empty() &&
        !cli::ReadInputFile(gnss_path, MAX_GNSS_BYTES, plan.gnss_bytes, error)) {
        return Fail(error);
    }
    if (!image_path.empty()) {
        std::string elf;
        if (!cli::ReadInputFile(image_path, MAX_IMAGE_BYTES, elf, error) ||
            !sim::UseImage(image_path, error)) {
            return Fail(error);
        }
    }
    const size_t flash_bytes = sim::BoardMcu().SettingsFlashBytes();
    if (!flash_path.empty() && access(flash_path.c_str(), F_OK) == 0) {
        std::string bytes;
        if (!cli::ReadInputFile(flash_path, flash_bytes, bytes, error)) {
            return Fail(error);
        }
        if (bytes.size() != flash_bytes) {
            return Fail(flash_path + ": not a flash image (" + std::to_string(flash_bytes) +
                        " bytes)");
        }
        plan.flash.assign(bytes.begin(), bytes.end());
    }

    // Outputs that are written after the run are checked before it.
    for (const std::string &path : {plan.wav_path, plan.waterfall_path, flash_path}) {
        if (path.empty()) {
            continue;
        }
        const bool existed = access(path.c_str(), F_OK) == 0;
        FILE *f = std::fopen(path.c_str(), "ab");
        if (f == nullptr) {
            return Fail("cannot write " + path);
        }
        // Only a probe: whether the file can be opened for writing is all that counts.
        (void)std::fclose(f);
        if (!existed) {
            (void)std::remove(path.c_str());
        }
    }
    cli::Output console, rf, i2c, pins;
    if (console_path.empty()) {
        console.UseStdout();
    } else if (!console.Open(console_path, error)) {
        return Fail(error);
    }
    if ((!rf_path.empty() && !rf.Open(rf_path, error)) ||
        (!i2c_path.empty() && !i2c.Open(i2c_path, error)) ||
        (!pins_path.empty() && !pins.Open(pins_path, error))) {
        return Fail(error);
    }
    plan.console = console.File();
    plan.rf = rf.File();
    plan.i2c = i2c.File();
    plan.pins = pins.File();
    plan.progress = isatty(STDERR_FILENO) != 0;

    sim::RunReport report;
    const int status = sim::ExecuteRun(plan, report, "wspr-sim run");

    // Every log must have reached its file, standard output included.
    int write_status = 0;
    for (cli::Output *out : {&console, &rf, &i2c, &pins}) {
        if (!out->Close(error)) {
            write_status = Fail(error);
        }
    }
    if (!flash_path.empty()) {
        FILE *f = std::fopen(flash_path.c_str(), "wb");
        const bool written =
            f != nullptr &&
            std::fwrite(report.flash.data(), 1, report.flash.size(), f) == report.flash.size();
        if (f == nullptr || std::fclose(f) != 0 || !written) {
            write_status = Fail("cannot write " + flash_path);
        }
    }
    return status != 0 ? status : write_status;
}
