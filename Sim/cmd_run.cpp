// wspr-sim run: the firmware on the virtual board in accelerated virtual time.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "beacon_run.h"
#include "commands.h"
#include "gnss_clock.h"

namespace {

constexpr const char *k_run_usage =
    "usage: wspr-sim run [options]\n"
    "  --until MS               end of the run in virtual milliseconds (default 240000)\n"
    "  --script FILE            timed inputs: 'MS type TEXT', 'MS key down|up', 'MS gnss "
    "SENTENCE'\n"
    "  --gnss FILE              the file's bytes on the GNSS input at 9600 baud from t = 0\n"
    "  --gnss-clock HH:MM:SS    a receiver sending a valid $GPRMC every second from that UTC time\n"
    "  --no-si5351              no Si5351 on the I2C bus\n"
    "  --xtal HZ                the Si5351's real crystal (default 25003275)\n"
    "  --si5351-fail N[+]:STATUS  I2C operation N (0 = the start-up probe) fails with STATUS\n"
    "                           (error, busy or timeout); with '+' every later one too\n"
    "  --console-log FILE       raw console output (default: standard output)\n"
    "  --rf-log FILE            CSV t_us,clk1,freq_uhz at every change of what CLK1 emits\n"
    "  --i2c-log FILE           CSV t_us,addr,reg,data,status of every I2C memory write\n"
    "  --wav FILE               what a USB receiver 1500 Hz below the base frequency hears of\n"
    "                           the first frame: 120 s, 12000 samples/s, 16-bit mono, from\n"
    "                           second 0 of the frame's UTC minute (no time set: 1 s before it)\n"
    "  --snr DB                 white Gaussian noise for this SNR in 2500 Hz in the recording\n"
    "  --seed N                 seed of the noise (default 1)\n"
    "  --dial HZ                the receiver's dial (default: the first frame's lowest tone,\n"
    "                           rounded to whole hertz, minus 1500 Hz)\n"
    "  --waterfall FILE         spectrogram PNG of the recording around the signal\n";

bool ReadFile(const char *path, std::string &content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    content = ss.str();
    return true;
}

bool ParseWholeNumber(const char *text, uint64_t &value) {
    if (*text == '\0' || std::strlen(text) > 15 ||
        std::strspn(text, "0123456789") != std::strlen(text)) {
        return false;
    }
    value = std::strtoull(text, nullptr, 10);
    return true;
}

bool ParseFail(const char *text, sim::I2cFaultSpec &fault) {
    std::string s(text);
    size_t colon = s.find(':');
    if (colon == std::string::npos) {
        return false;
    }
    std::string op = s.substr(0, colon);
    std::string status = s.substr(colon + 1);
    fault.from_then_on = !op.empty() && op.back() == '+';
    if (fault.from_then_on) {
        op.pop_back();
    }
    if (!ParseWholeNumber(op.c_str(), fault.op)) {
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

int Fail(const std::string &message) {
    std::fprintf(stderr, "wspr-sim run: %s\n", message.c_str());
    return 1;
}

} // namespace

int cmd_run(int argc, char **argv) {
    sim::RunPlan plan;
    const char *script_path = nullptr;
    const char *gnss_path = nullptr;
    const char *gnss_clock = nullptr;
    const char *console_path = nullptr;
    const char *rf_path = nullptr;
    const char *i2c_path = nullptr;

    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        auto value = [&]() { return argv[++i]; };
        if (arg == "-h" || arg == "--help") {
            std::fputs(k_run_usage, stdout);
            return 0;
        } else if (arg == "--no-si5351") {
            plan.board.si5351_present = false;
        } else if (!has_value) {
            return Fail("unknown option or missing value: " + arg + "\n" + k_run_usage);
        } else if (arg == "--until") {
            if (!ParseWholeNumber(value(), plan.until_ms)) {
                return Fail("--until takes a whole number of milliseconds");
            }
        } else if (arg == "--script") {
            script_path = value();
        } else if (arg == "--gnss") {
            gnss_path = value();
        } else if (arg == "--gnss-clock") {
            gnss_clock = value();
        } else if (arg == "--console-log") {
            console_path = value();
        } else if (arg == "--rf-log") {
            rf_path = value();
        } else if (arg == "--i2c-log") {
            i2c_path = value();
        } else if (arg == "--xtal") {
            if (!ParseWholeNumber(value(), plan.board.xtal_hz) || plan.board.xtal_hz < 1000000 ||
                plan.board.xtal_hz > 100000000) {
                return Fail("--xtal takes the crystal frequency in hertz, 1000000..100000000");
            }
        } else if (arg == "--si5351-fail") {
            sim::I2cFaultSpec fault{};
            if (!ParseFail(value(), fault)) {
                return Fail(
                    "--si5351-fail takes N:STATUS or N+:STATUS, STATUS error, busy or timeout");
            }
            plan.faults.push_back(fault);
        } else if (arg == "--wav") {
            plan.wav_path = value();
        } else if (arg == "--waterfall") {
            plan.waterfall_path = value();
        } else if (arg == "--snr") {
            const char *text = value();
            char *end = nullptr;
            double db = std::strtod(text, &end);
            if (end == text || *end != '\0' || !(db >= -60.0 && db <= 60.0)) {
                return Fail("--snr takes a number of decibels between -60 and 60");
            }
            plan.snr_db = db;
        } else if (arg == "--seed") {
            if (!ParseWholeNumber(value(), plan.seed)) {
                return Fail("--seed takes a whole number");
            }
        } else if (arg == "--dial") {
            uint64_t hz = 0;
            if (!ParseWholeNumber(value(), hz) || hz == 0) {
                return Fail("--dial takes a frequency in whole hertz");
            }
            plan.dial_hz = hz;
        } else {
            return Fail("unknown option " + arg + "\n" + k_run_usage);
        }
    }
    if (!plan.waterfall_path.empty() && !sim::WaterfallAvailable()) {
        return Fail("--waterfall is not available in this build (built without FFTW or libpng)");
    }
    if ((plan.snr_db || plan.dial_hz) && plan.wav_path.empty() && plan.waterfall_path.empty()) {
        return Fail("--snr and --dial shape the recording: give --wav or --waterfall too");
    }

    if (script_path != nullptr) {
        std::string content, error;
        if (!ReadFile(script_path, content)) {
            return Fail(std::string("cannot read script ") + script_path);
        }
        if (!sim::ParseScript(content, plan.events, error)) {
            return Fail(std::string(script_path) + ": " + error);
        }
    }
    if (gnss_path != nullptr && !ReadFile(gnss_path, plan.gnss_bytes)) {
        return Fail(std::string("cannot read GNSS file ") + gnss_path);
    }
    if (gnss_clock != nullptr) {
        uint32_t clock_start = 0;
        if (!sim::ParseClockTime(gnss_clock, clock_start)) {
            return Fail("--gnss-clock takes HH:MM:SS");
        }
        plan.gnss_clock = clock_start;
    }

    // Outputs that are written after the run are checked before it.
    for (const std::string &path : {plan.wav_path, plan.waterfall_path}) {
        if (path.empty()) {
            continue;
        }
        bool existed = access(path.c_str(), F_OK) == 0;
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
    FILE *console = stdout;
    if (console_path != nullptr && (console = std::fopen(console_path, "wb")) == nullptr) {
        return Fail(std::string("cannot write ") + console_path);
    }
    FILE *rf = nullptr;
    if (rf_path != nullptr && (rf = std::fopen(rf_path, "w")) == nullptr) {
        return Fail(std::string("cannot write ") + rf_path);
    }
    FILE *i2c = nullptr;
    if (i2c_path != nullptr && (i2c = std::fopen(i2c_path, "w")) == nullptr) {
        return Fail(std::string("cannot write ") + i2c_path);
    }
    plan.console = console;
    plan.rf = rf;
    plan.i2c = i2c;
    plan.progress = isatty(STDERR_FILENO) != 0;

    sim::RunReport report;
    int status = sim::ExecuteRun(plan, report, "wspr-sim run");

    bool written = true;
    if (console != stdout) {
        written = std::fclose(console) == 0;
    } else {
        std::fflush(stdout);
    }
    if (rf != nullptr && std::fclose(rf) != 0) {
        written = false;
    }
    if (i2c != nullptr && std::fclose(i2c) != 0) {
        written = false;
    }
    if (status == 0 && !written) {
        return Fail("cannot write the console, RF or I2C log");
    }
    return status;
}
