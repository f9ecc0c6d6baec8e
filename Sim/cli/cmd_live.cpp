// wspr-sim live: the beacon in real time with this terminal as its operator console. Typed bytes
// go to USART1 at 115200 baud and the beacon's output is shown as a serial terminal shows it. A
// GNSS receiver made from the PC's UTC clock feeds USART2 unless --no-gnss. Ctrl-K presses the
// button, Ctrl-C leaves. The bottom line of the terminal shows state, LED and CLK1.
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "board.h"
#include "commands.h"
#include "options.h"

namespace {

constexpr uint8_t KEY_QUIT = 0x03;   // Ctrl-C
constexpr uint8_t KEY_BUTTON = 0x0B; // Ctrl-K
constexpr uint64_t BUTTON_HOLD_NS = 200 * sim::MS;
constexpr int POLL_MS = 4;
constexpr auto STATUS_EVERY = std::chrono::milliseconds(250);

termios g_saved{};
bool g_raw = false;
int g_status_rows = 0; // rows of the terminal while the status line owns the bottom one
volatile sig_atomic_t g_quit = 0;

void WriteAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}

void RestoreTerminal() {
    if (g_status_rows > 0) {
        // Give the bottom line back: clear it and drop the scrolling region.
        WriteAll(STDERR_FILENO,
                 "\0337\033[" + std::to_string(g_status_rows) + ";1H\033[2K\033[r\0338");
        g_status_rows = 0;
    }
    if (g_raw) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
        g_raw = false;
        WriteAll(STDOUT_FILENO, "\r\n");
    }
}

void OnSignal(int) {
    g_quit = 1;
}

bool EnterRawMode() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &g_saved) != 0) {
        return false;
    }
    termios raw = g_saved;
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) != 0) {
        return false;
    }
    g_raw = true;
    return true;
}

int TerminalRows() {
    winsize ws{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row >= 3) {
        return ws.ws_row;
    }
    return 24;
}

// The status line lives in the bottom row; the console scrolls in the rows above it.
void ClaimBottomLine(int rows) {
    g_status_rows = rows;
    WriteAll(STDERR_FILENO, "\r\n\033[1A\0337\033[1;" + std::to_string(rows - 1) + "r\0338");
}

const char *BeaconState() {
    switch (sim::Status().state) {
    case WSPR_STATE_ERROR:
        return "ERROR";
    case WSPR_STATE_IDLE:
        return "IDLE";
    case WSPR_STATE_TX:
        return "TX";
    }
    return "?";
}

std::string StatusText(bool gnss) {
    char clk1[48];
    if (sim::Chip().clk1_on()) {
        uint64_t uhz = sim::Chip().clk1_freq_uhz();
        std::snprintf(clk1, sizeof clk1, "CLK1 on %llu.%06llu Hz",
                      static_cast<unsigned long long>(uhz / 1000000),
                      static_cast<unsigned long long>(uhz % 1000000));
    } else {
        std::snprintf(clk1, sizeof clk1, "CLK1 off");
    }
    uint64_t s = sim::Now() / sim::SECOND;
    char text[160];
    std::snprintf(
        text, sizeof text, " %s | LED %s | %s | t=%llu:%02llu%s | Ctrl-K button, Ctrl-C quit ",
        BeaconState(), sim::Led() ? "on " : "off", clk1, static_cast<unsigned long long>(s / 60),
        static_cast<unsigned long long>(s % 60), gnss ? " | GNSS" : "");
    return text;
}

void DrawStatus(const std::string &text) {
    int rows = TerminalRows();
    if (rows != g_status_rows) {
        ClaimBottomLine(rows);
    }
    WriteAll(STDERR_FILENO,
             "\0337\033[" + std::to_string(rows) + ";1H\033[2K\033[7m" + text + "\033[0m\0338");
}

} // namespace

int cmd_live(int argc, char **argv) {
    bool gnss = true;
    bool status = true;
    const std::vector<cli::Option> options = {
        {"--no-gnss", nullptr, "no GNSS receiver (set the time with the 'time' command)",
         [&](const char *, std::string &) {
             gnss = false;
             return true;
         }},
        {"--no-status", nullptr,
         "no status line\n\nkeys: Ctrl-K presses the button (held 200 ms), Ctrl-C leaves;\n"
         "everything else goes to the console at 115200 baud",
         [&](const char *, std::string &) {
             status = false;
             return true;
         }},
    };
    const int parsed = cli::Parse("live", "[options]", options, argc, argv);
    if (parsed >= 0) {
        return parsed;
    }
    status = status && isatty(STDERR_FILENO);

    std::string pending; // console output not yet shown
    sim::Prepare();
    sim::KeepNoHistory();
    sim::Terminal().OnByte(
        [&pending](uint64_t, uint8_t b) { pending.push_back(static_cast<char>(b)); });
    if (gnss) {
        // Virtual time 0 is now; the receiver's next second begins when the PC's does.
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        std::tm utc{};
        gmtime_r(&now.tv_sec, &utc);
        uint32_t ddmmyy =
            static_cast<uint32_t>(utc.tm_mday * 10000 + (utc.tm_mon + 1) * 100 + utc.tm_year % 100);
        uint64_t to_next = sim::SECOND - static_cast<uint64_t>(now.tv_nsec);
        sim::Gnss().StartClock(to_next, static_cast<uint32_t>((now.tv_sec + 1) % 86400), ddmmyy);
    }

    EnterRawMode();
    std::atexit(RestoreTerminal); // also when the firmware halts and the simulator exits
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    Clock::time_point next_status = start;
    std::string last_status;
    sim::Boot();

    bool input_open = true;
    while (!g_quit) {
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        int ready = input_open ? poll(&pfd, 1, POLL_MS) : (usleep(POLL_MS * 1000), 0);
        if (ready > 0) {
            uint8_t buf[256];
            ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                input_open = false; // end of the input: the beacon runs on until a signal
            }
            std::string typed;
            for (ssize_t k = 0; k < n; ++k) {
                if (buf[k] == KEY_QUIT) {
                    g_quit = 1;
                    break;
                }
                if (buf[k] == KEY_BUTTON) {
                    sim::KeyAt(sim::Now(), true);
                    sim::KeyAt(sim::Now() + BUTTON_HOLD_NS, false);
                } else {
                    typed.push_back(static_cast<char>(buf[k]));
                }
            }
            if (!typed.empty()) {
                sim::Type(typed);
            }
        }
        uint64_t elapsed = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
        if (elapsed > sim::Now()) {
            sim::RunUntil(elapsed);
        }
        if (!pending.empty()) {
            WriteAll(STDOUT_FILENO, pending);
            pending.clear();
        }
        if (status) {
            std::string text = StatusText(gnss);
            Clock::time_point now = Clock::now();
            if (text != last_status || now >= next_status) {
                DrawStatus(text);
                last_status = text;
                next_status = now + STATUS_EVERY;
            }
        }
    }
    RestoreTerminal();
    return 0;
}
