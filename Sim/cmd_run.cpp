// wspr-sim run: the firmware on the virtual board in accelerated virtual time.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "board.h"
#include "commands.h"
#include "gnss_clock.h"
#include "script.h"

namespace {

constexpr const char *k_run_usage =
    "usage: wspr-sim run [options]\n"
    "  --until MS               end of the run in virtual milliseconds (default 240000)\n"
    "  --script FILE            timed inputs: 'MS type TEXT', 'MS key down|up', 'MS gnss "
    "SENTENCE'\n"
    "  --gnss FILE              the file's bytes on the GNSS input at 9600 baud from t = 0\n"
    "  --gnss-clock HH:MM:SS    a receiver sending a valid $GPRMC every second from that UTC time\n"
    "  --no-si5351              no Si5351 on the I2C bus\n"
    "  --si5351-fail N[+]:STATUS  I2C operation N (0 = the start-up probe) fails with STATUS\n"
    "                           (error, busy or timeout); with '+' every later one too\n"
    "  --console-log FILE       raw console output (default: standard output)\n"
    "  --rf-log FILE            CSV t_us,clk1,freq_uhz at every change of what CLK1 emits\n";

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

struct FailSpec {
    uint64_t op;
    HAL_StatusTypeDef status;
    bool from_then_on;
};

bool ParseFail(const char *text, FailSpec &spec) {
    std::string s(text);
    size_t colon = s.find(':');
    if (colon == std::string::npos) {
        return false;
    }
    std::string op = s.substr(0, colon);
    std::string status = s.substr(colon + 1);
    spec.from_then_on = !op.empty() && op.back() == '+';
    if (spec.from_then_on) {
        op.pop_back();
    }
    if (!ParseWholeNumber(op.c_str(), spec.op)) {
        return false;
    }
    if (status == "error" || status == "1") {
        spec.status = HAL_ERROR;
    } else if (status == "busy" || status == "2") {
        spec.status = HAL_BUSY;
    } else if (status == "timeout" || status == "3") {
        spec.status = HAL_TIMEOUT;
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
    uint64_t until_ms = 240000;
    const char *script_path = nullptr;
    const char *gnss_path = nullptr;
    const char *gnss_clock = nullptr;
    const char *console_path = nullptr;
    const char *rf_path = nullptr;
    sim::BoardConfig config;
    std::vector<FailSpec> fails;

    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        auto value = [&]() { return argv[++i]; };
        if (arg == "-h" || arg == "--help") {
            std::fputs(k_run_usage, stdout);
            return 0;
        } else if (arg == "--no-si5351") {
            config.si5351_present = false;
        } else if (!has_value) {
            return Fail("unknown option or missing value: " + arg + "\n" + k_run_usage);
        } else if (arg == "--until") {
            if (!ParseWholeNumber(value(), until_ms)) {
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
        } else if (arg == "--si5351-fail") {
            FailSpec spec{};
            if (!ParseFail(value(), spec)) {
                return Fail(
                    "--si5351-fail takes N:STATUS or N+:STATUS, STATUS error, busy or timeout");
            }
            fails.push_back(spec);
        } else {
            return Fail("unknown option " + arg + "\n" + k_run_usage);
        }
    }

    std::vector<sim::ScriptEvent> events;
    if (script_path != nullptr) {
        std::string content, error;
        if (!ReadFile(script_path, content)) {
            return Fail(std::string("cannot read script ") + script_path);
        }
        if (!sim::ParseScript(content, events, error)) {
            return Fail(std::string(script_path) + ": " + error);
        }
    }
    std::string gnss_bytes;
    if (gnss_path != nullptr && !ReadFile(gnss_path, gnss_bytes)) {
        return Fail(std::string("cannot read GNSS file ") + gnss_path);
    }
    uint32_t clock_start = 0;
    if (gnss_clock != nullptr && !sim::ParseClockTime(gnss_clock, clock_start)) {
        return Fail("--gnss-clock takes HH:MM:SS");
    }

    FILE *console = stdout;
    if (console_path != nullptr && (console = std::fopen(console_path, "wb")) == nullptr) {
        return Fail(std::string("cannot write ") + console_path);
    }
    FILE *rf = nullptr;
    if (rf_path != nullptr && (rf = std::fopen(rf_path, "w")) == nullptr) {
        return Fail(std::string("cannot write ") + rf_path);
    }

    // Everything is wired before the firmware starts so that the start-up itself is seen.
    sim::Prepare(config);
    for (const FailSpec &f : fails) {
        vmcu::i2c_fail(f.op, f.status, f.from_then_on);
    }
    vmcu::i2c_keep_log(false);
    vmcu::uart_keep_output(sim::CONSOLE_UART, false);
    vmcu::uart_on_tx(sim::CONSOLE_UART, [console](uint64_t, uint8_t b) { std::fputc(b, console); });
    sim::Chip().keep_timeline(false);
    if (rf != nullptr) {
        std::fputs("t_us,clk1,freq_uhz\n", rf);
        sim::Chip().on_change([rf](const sim::Si5351Model::Change &c) {
            std::fprintf(rf, "%llu,%d,%llu\n", static_cast<unsigned long long>(c.t_us),
                         c.on ? 1 : 0, static_cast<unsigned long long>(c.freq_uhz));
        });
    }

    std::stable_sort(
        events.begin(), events.end(),
        [](const sim::ScriptEvent &a, const sim::ScriptEvent &b) { return a.ms < b.ms; });
    sim::ScheduleScript(events);
    if (!gnss_bytes.empty()) {
        sim::GnssAt(0, gnss_bytes);
    }
    if (gnss_clock != nullptr) {
        sim::StartGnssClock(0, clock_start);
    }
    sim::Boot();

    sim::RunUntil(until_ms * sim::MS);

    if (console != stdout) {
        std::fclose(console);
    } else {
        std::fflush(stdout);
    }
    if (rf != nullptr) {
        std::fclose(rf);
    }
    return 0;
}
