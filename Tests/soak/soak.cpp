// wspr-soak: weeks of simulated operation of the unmodified firmware on the virtual board, with a
// GNSS receiver sending RMC every second and an operator typing at random (seeded), and the
// beacon's invariants checked all along:
//
// - with time valid, auto on and nothing in the way, exactly one frame per even minute, starting
//   within the first second of it;
// - every frame 162 tones, tone i switched within 1 ms of start + i x 682667 us (a later switch is
//   accepted only while the firmware was busy writing console output, which holds up the main
//   loop by design) at the frequency planned for symbol i of the message set then, CLK1 off at
//   the end;
// - CLK1 on exactly while the firmware is in its transmit state, never longer than a frame;
// - no received byte lost while its ring had room: every GNSS second gives its time-set line, and
//   every typed line (in pieces of at most a ring's worth) is echoed exactly as the line editor
//   must;
// - the settings shown by "show" are those the replies accepted;
// - the millisecond counter wraps during the run (it is set close to its wrap after boot, as a
//   debugger would) and nothing is stuck afterwards.
//
// wspr-soak --days D [--seed S] [--wrap-after-hours H]   a long run
// wspr-soak --wrap                                        the wrap with a frame in flight
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "app_config.h"
#include "board.h"
#include "debug_access.h"
#include "gnss_receiver.h"
#include "si5351_model.h"
#include "tones.h"
#include "wspr_encoder.h"

namespace {

constexpr uint64_t MS = sim::MS;
constexpr uint64_t SECOND = sim::SECOND;
constexpr uint64_t MINUTE = 60 * SECOND;
constexpr uint64_t SYMBOL_US = 682667;
constexpr uint64_t FRAME_US = WSPR_SYMBOL_COUNT * SYMBOL_US;
constexpr size_t LINE_MAX_CHARS = 39;
constexpr size_t RING_ROOM = 63;

// ---- Figures and failures -----------------------------------------------------------------------

struct Figures {
    uint64_t checks = 0;
    uint64_t failures = 0;
    uint64_t frames = 0;          // frames checked tone by tone
    uint64_t frames_complete = 0; // of which ran all 162 symbols
    uint64_t even_minutes = 0;    // even minutes with the one-frame rule checked
    uint64_t tones = 0;
    uint64_t tones_late = 0; // switched late while console output held up the main loop
    uint64_t max_late_us = 0;
    uint64_t tones_late_quiet = 0; // of which in cycles where only the beacon itself printed
    uint64_t max_late_quiet_us = 0;
    uint64_t gnss_seconds = 0;
    uint64_t lines_typed = 0;
    uint64_t bytes_typed = 0;
    uint64_t samples = 0;
    uint64_t key_presses = 0;
} g_fig;

bool g_verbose = false;

void Check(bool ok, const char *what, const std::string &detail = {}) {
    ++g_fig.checks;
    if (ok) {
        return;
    }
    ++g_fig.failures;
    if (g_fig.failures <= 20) {
        std::string printable;
        for (unsigned char c : detail) {
            if (c >= 32 && c < 127) {
                printable.push_back(static_cast<char>(c));
            } else {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\x%02x", c);
                printable += esc;
            }
        }
        std::fprintf(stderr, "soak: at %.3f s: %s %s\n", static_cast<double>(sim::Now()) / 1e9,
                     what, printable.c_str());
    }
}

// ---- Model of the settings ----------------------------------------------------------------------

struct Settings {
    std::string call = "QZ5RTV";
    std::string loc = "OM85";
    unsigned power = 10;
    uint32_t freq = 14097070;
    bool auto_on = true;
};
Settings g_model;

// The symbols of the message as set now (none if the encoder refuses it).
std::vector<uint8_t> Symbols(const Settings &s) {
    std::vector<uint8_t> symbols(WSPR_SYMBOL_COUNT);
    if (!WSPR_Encode(s.call.c_str(), s.loc.c_str(), static_cast<uint8_t>(s.power),
                     symbols.data())) {
        symbols.clear();
    }
    return symbols;
}

// ---- Console: output listener, typed lines ------------------------------------------------------

std::deque<uint64_t> g_console_byte_us; // completion times of recent console output bytes
std::string g_event_line;               // console text since the last line feed
std::string g_capture;                  // console text since the current typed line began
uint64_t g_starts_logged = 0;
std::optional<uint32_t> g_last_gnss_second;
uint32_t g_first_gnss_second = 0;

void OnConsoleByte(uint64_t t_ns, uint8_t byte) {
    const uint64_t t_us = t_ns / 1000;
    g_console_byte_us.push_back(t_us);
    while (!g_console_byte_us.empty() && g_console_byte_us.front() + 2000000 < t_us) {
        g_console_byte_us.pop_front();
    }
    g_capture.push_back(static_cast<char>(byte));
    g_event_line.push_back(static_cast<char>(byte));
    if (byte != '\n') {
        if (g_event_line.size() > 4096) {
            g_event_line.erase(0, 2048);
        }
        return;
    }
    if (g_event_line.find("TX start ") != std::string::npos) {
        ++g_starts_logged;
    }
    const size_t at = g_event_line.find("TIME set ");
    if (at != std::string::npos &&
        g_event_line.find(" UTC from GNSS\r\n", at) != std::string::npos) {
        unsigned h = 0, m = 0, s = 0;
        const bool parsed =
            std::sscanf(g_event_line.c_str() + at, "TIME set %2u:%2u:%2u", &h, &m, &s) == 3;
        const uint32_t second = h * 3600 + m * 60 + s;
        const uint32_t want =
            g_last_gnss_second ? (*g_last_gnss_second + 1) % 86400 : g_first_gnss_second;
        Check(parsed && second == want, "GNSS second lost or out of order:",
              g_event_line.substr(at) + " wanted " + std::to_string(want));
        g_last_gnss_second = second;
        ++g_fig.gnss_seconds;
    }
    g_event_line.clear();
}

// True when the console transmitter finished a byte in [from_us, to_us]: the main loop was then
// inside a blocking console write.
bool ConsoleBusy(uint64_t from_us, uint64_t to_us) {
    for (auto it = g_console_byte_us.rbegin(); it != g_console_byte_us.rend(); ++it) {
        if (*it < from_us) {
            return false;
        }
        if (*it <= to_us + 100) { // the byte in progress at to_us ends within one byte time
            return true;
        }
    }
    return false;
}

bool Transmitting() {
    return sim::Status().state == WSPR_STATE_TX;
}

// The console sends while the firmware goes on: runs until a millisecond passes without a byte
// (output leaves without gaps, about 11 bytes a millisecond).
void RunUntilConsoleQuiet() {
    size_t seen;
    do {
        seen = g_capture.size();
        sim::RunFor(MS);
    } while (g_capture.size() != seen);
}

// Types the bytes and runs until all are received and taken out of the ring and the output they
// cause has left.
void TypeAndDrain(std::string_view bytes) {
    sim::Type(bytes);
    const uint64_t limit = vmcu::uart_line(sim::ConsoleUart()).free_ns() + SECOND;
    sim::RunUntil(vmcu::uart_line(sim::ConsoleUart()).free_ns() + 1000);
    while (vmcu::uart_line(sim::ConsoleUart()).queued() != 0 ||
           sim::Status().console_rx_pending != 0) {
        if (sim::Now() > limit) {
            std::fprintf(stderr, "soak: the console ring is not read any more\n");
            std::exit(1);
        }
        sim::RunFor(100 * 1000);
    }
    RunUntilConsoleQuiet();
}

// Removes the lines other parts of the firmware print by themselves (GNSS time, frame start and
// end, a key press refused, the prompt that follows a frame): each is one whole write, so it
// stands in one piece wherever it falls in the echo.
std::string WithoutAsyncOutput(const std::string &out) {
    static const char *const k_whole[] = {"TX complete, CLK1 disabled\r\n",
                                          "TX rejected: already transmitting\r\n", "wspr> "};
    std::string r;
    size_t i = 0;
    while (i < out.size()) {
        bool skipped = false;
        for (const char *w : k_whole) {
            if (out.compare(i, std::strlen(w), w) == 0) {
                i += std::strlen(w);
                skipped = true;
                break;
            }
        }
        for (const char *prefix : {"TIME set ", "TX start "}) {
            if (!skipped && out.compare(i, std::strlen(prefix), prefix) == 0) {
                const size_t end = out.find("\r\n", i);
                if (end != std::string::npos) {
                    i = end + 2;
                    skipped = true;
                }
            }
        }
        if (!skipped) {
            r.push_back(out[i++]);
        }
    }
    return r;
}

// The line editor's echo of a line typed from an empty buffer.
std::string Echo(std::string_view line) {
    std::string echo;
    size_t pos = 0;
    for (char c : line) {
        if (c == '\r' || c == '\n') {
            echo += "\r\n";
            break;
        }
        if (c == 8 || c == 127) {
            if (pos > 0) {
                --pos;
                echo += "\b \b";
            }
        } else if (pos < LINE_MAX_CHARS) {
            ++pos;
            echo.push_back(c);
        }
    }
    return echo;
}

// Types one line (ending in CR) and returns what the beacon printed for it, its own lines
// removed; the echo must be exact.
std::string TypeLine(const std::string &line) {
    RunUntilConsoleQuiet(); // a line the beacon is printing by itself goes out first
    g_capture.clear();
    for (size_t at = 0; at < line.size(); at += RING_ROOM) {
        TypeAndDrain(std::string_view(line).substr(at, RING_ROOM));
    }
    ++g_fig.lines_typed;
    g_fig.bytes_typed += line.size();
    const std::string out = WithoutAsyncOutput(g_capture);
    const std::string echo = Echo(line);
    Check(out.compare(0, echo.size(), echo) == 0,
          "echo differs from what was typed:", "typed [" + line + "] printed [" + out + "]");
    return out.size() >= echo.size() ? out.substr(echo.size()) : std::string();
}

// ---- Random operator ----------------------------------------------------------------------------

std::mt19937_64 g_rng;

uint64_t Uniform(uint64_t lo, uint64_t hi) {
    return std::uniform_int_distribution<uint64_t>(lo, hi)(g_rng);
}
bool Chance(unsigned percent) {
    return Uniform(1, 100) <= percent;
}
template <typename T, size_t N> const T &Pick(const T (&items)[N]) {
    return items[Uniform(0, N - 1)];
}

std::string MixCase(std::string s) {
    for (char &c : s) {
        if (c >= 'a' && c <= 'z' && Chance(30)) {
            c = static_cast<char>(c - 32);
        }
    }
    return s;
}

std::string RandomText(size_t n, bool any_byte) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        char c;
        do {
            c = static_cast<char>(any_byte ? Uniform(0, 255) : Uniform(32, 126));
        } while (c == '\r' || c == '\n');
        s.push_back(c);
    }
    return s;
}

// A set command with a value chosen valid or not; the reply must say which.
void SetCommand(bool allow_freq) {
    static const char *const k_calls[] = {"K1ABC", "QZ5RTV", "G4XYZ", "2E0AB", "DL1XX", "W7Q"};
    static const char *const k_bad_calls[] = {"ABC", "AB", "AB1CDEF", "K1AB2", "1234", "K-1AB", ""};
    static const char *const k_locs[] = {"FN42", "IO91", "OM85", "JO62", "AR09", "RA00"};
    static const char *const k_bad_locs[] = {"SS85", "OM8", "OM85AY", "1M85", "OMX5", ""};
    static const unsigned k_powers[] = {0, 3, 7, 10, 23, 30, 37, 43, 50, 60};
    // A number is its digits alone: a unit, sign, point or blank makes it no number.
    static const char *const k_bad_powers[] = {"61", "5",      "-10", "x",    "4294967303", "",
                                               "99", "23 dBm", "3.7", "0x10", "+10",        " 10"};
    static const uint32_t k_freqs[] = {14097070, 7038600, 10138700, 3568600, 28124600, 475000};
    static const char *const k_bad_freqs[] = {
        "7999",      "150000001",  "-14097070",        "abc", "18446744073724648686",
        "7040100Hz", "14097070.9", "10140200 20000000"};
    const bool valid = Chance(60);
    std::string line, reply;
    Settings next = g_model;
    switch (Uniform(0, allow_freq ? 3 : 2)) {
    case 0:
        next.call = valid ? Pick(k_calls) : Pick(k_bad_calls);
        line = "set call " + next.call;
        break;
    case 1:
        next.loc = valid ? Pick(k_locs) : Pick(k_bad_locs);
        line = (Chance(50) ? "set grid " : "set loc ") + next.loc;
        break;
    case 2:
        if (valid) {
            next.power = Pick(k_powers);
            line = "set power " + std::to_string(next.power);
        } else {
            line = std::string("set power ") + Pick(k_bad_powers);
        }
        break;
    default:
        if (valid) {
            next.freq = Pick(k_freqs);
            line = "set freq " + std::to_string(next.freq);
        } else {
            line = std::string("set freq ") + Pick(k_bad_freqs);
        }
        break;
    }
    reply = TypeLine(MixCase(line) + "\r");
    if (valid) {
        Check(reply.starts_with("ok\r\n"), "a valid setting was refused:", line + " -> " + reply);
        g_model = next;
    } else {
        Check(reply.starts_with("error: "),
              "an invalid setting was accepted:", line + " -> " + reply);
    }
}

void Show() {
    const std::string reply = TypeLine(MixCase("show") + "\r");
    char call[8] = {}, loc[8] = {}, auto_on[4] = {};
    unsigned power = 0;
    unsigned long freq = 0, xtal = 0, reference = 0, band = 0;
    unsigned long long spacing = 0;
    // The lines the soak's settings (plain callsign, fixed 4-character locator) always give; the
    // locator and frames lines in between name the same message.
    const size_t at = reply.find("Message: ");
    const size_t rf = reply.find("RF: ");
    int n = at == std::string::npos
                ? 0
                : std::sscanf(reply.c_str() + at, "Message: %7s %7s %udBm", call, loc, &power);
    // The soak's settings keep the band list at one entry, the one set freq makes.
    n += rf == std::string::npos ? 0
                                 : std::sscanf(reply.c_str() + rf,
                                               "RF: %lu Hz, tone spacing %llu uHz "
                                               "XTAL: %lu Hz Reference: set, crystal %lu Hz "
                                               "Bands: %lu:0 Hop: order, TX share: "
                                               "100%%, offset: +-0 Hz Auto: %3[ONF],",
                                               &freq, &spacing, &xtal, &reference, &band, auto_on);
    const std::string frames = std::string(call) + " " + loc + " " + std::to_string(power) + "dBm";
    n -= reply.find("Locator: " + std::string(loc) + " (fixed)\r\nFrames: " + frames + "\r\n") ==
                 std::string::npos
             ? 1
             : 0;
    Check(n == 9 && band == freq && spacing == WSPR_TONE_SPACING_UHZ && xtal == SI5351_XTAL_HZ &&
              reference == SI5351_XTAL_HZ &&
              g_model.call == call && g_model.loc == loc && g_model.power == power &&
              g_model.freq == freq && g_model.auto_on == (std::string(auto_on) == "ON"),
          "show differs from the accepted settings:",
          reply + " accepted: " + g_model.call + " " + g_model.loc + " " +
              std::to_string(g_model.power) + "dBm " + std::to_string(g_model.freq) + " Hz auto " +
              (g_model.auto_on ? "ON" : "OFF"));
}

// Commands that leave the schedule alone.
void HarmlessLine(bool allow_freq) {
    switch (Uniform(0, 9)) {
    case 0:
    case 1:
        Show();
        break;
    case 2:
        TypeLine(MixCase(Chance(50) ? "help" : "?") + "\r");
        break;
    case 3:
    case 4:
        SetCommand(allow_freq);
        break;
    case 5: { // printable garbage, perhaps edited
        std::string s = RandomText(Uniform(1, 30), false);
        for (int k = 0; k < 3 && Chance(50); ++k) {
            s.insert(Uniform(0, s.size()), std::string(Uniform(1, 4), Chance(50) ? '\b' : '\x7f'));
        }
        const std::string reply = TypeLine(s + "\r");
        Check(reply.find("ok\r\n") == std::string::npos, "garbage accepted:", s);
        break;
    }
    case 6: { // any bytes but line ends
        const std::string s = RandomText(Uniform(1, 50), true);
        const std::string reply = TypeLine(s + "\r");
        Check(reply.find("ok\r\n") == std::string::npos, "garbage accepted:", s);
        break;
    }
    case 7: // longer than the line holds
        TypeLine(RandomText(Uniform(LINE_MAX_CHARS + 1, 200), false) + "\r");
        break;
    case 8:
        TypeLine(Chance(50) ? "\r" : "\n");
        break;
    default: {
        const std::string reply = TypeLine(MixCase(Chance(50) ? "auto on" : "auto 1") + "\r");
        Check(reply.starts_with("ok\r\n"), "auto on refused:", reply);
        g_model.auto_on = true;
        break;
    }
    }
}

// Commands and key presses that get in the way of the schedule.
void IntrusiveAction() {
    switch (Uniform(0, 7)) {
    case 0:
        TypeLine(MixCase("tx") + "\r");
        break;
    case 1:
        TypeLine(MixCase("stop") + "\r");
        break;
    case 2: {
        const bool on = Chance(50);
        const std::string reply = TypeLine(MixCase(on ? (Chance(50) ? "auto on" : "auto 1")
                                                      : (Chance(50) ? "auto off" : "auto 0")) +
                                           "\r");
        Check(reply.starts_with("ok\r\n"), "auto on/off refused:", reply);
        g_model.auto_on = on;
        break;
    }
    case 3: {
        char line[32];
        std::snprintf(line, sizeof line, "time %u:%02u:%02u", static_cast<unsigned>(Uniform(0, 25)),
                      static_cast<unsigned>(Uniform(0, 61)), static_cast<unsigned>(Uniform(0, 61)));
        TypeLine(std::string(line) + "\r");
        break;
    }
    case 4: {
        const uint64_t t = sim::Now() + Uniform(1, 20) * MS;
        sim::KeyAt(t, true);
        sim::KeyAt(t + Uniform(10, 300) * MS, false);
        ++g_fig.key_presses;
        break;
    }
    default:
        HarmlessLine(true);
        break;
    }
}

// ---- CLK1: frames ------------------------------------------------------------------------------

enum class Cycle { QUIET, BUSY, MESSY };
Cycle g_cycle = Cycle::QUIET;

// A frame is encoded and planned once at its start: a base frequency set under way applies from
// the next frame. CLK1 changes only where the tone does: each change belongs to one symbol slot,
// and every slot since the previous change must have carried the same symbol.
struct Frame {
    bool active = false;
    uint64_t start_us = 0; // CLK1 first on
    uint64_t start_tick_us =
        0; // the tick of the pass that started the frame: symbols count from it
    uint64_t last_off_us = 0;
    bool off = false;
    size_t changes = 0;
    size_t slot = 0; // slot of the last change
    std::vector<uint8_t> symbols;
    uint32_t base_hz = 0;
};
Frame g_frame;
std::vector<uint64_t> g_cycle_starts_us; // frame starts since the current cycle began
uint64_t g_frames_started = 0;

// The frame start's set-up begins with CLK1 off, CLK0 the reference on (register 3 = 0xFE); the
// pass it was made in
// began at the last tick before it.
uint64_t g_setup_begin_ns = 0;

void OnI2c(const vmcu::I2cTransfer &t) {
    if (t.kind == vmcu::I2cTransfer::MEM_WRITE && t.bytes.size() == 2 && t.bytes[0] == 3 &&
        t.bytes[1] == 0xFE) {
        g_setup_begin_ns = t.start_ns;
    }
}

uint64_t StartTickUs() {
    const vmcu::TimerRecord r = vmcu::timer_record(TIM3);
    return (r.started_ns + (g_setup_begin_ns - r.started_ns) / r.period_ns * r.period_ns) / 1000;
}

// Slots from..to (exclusive) carried the symbol of slot `held` without a change of their own.
void CheckHeld(const Frame &f, size_t held, size_t from, size_t to) {
    for (size_t j = from; j < to && j < f.symbols.size(); ++j) {
        ++g_fig.tones;
        Check(f.symbols[j] == f.symbols[held], "a tone change is missing:",
              "symbol " + std::to_string(j) + " kept the tone of symbol " + std::to_string(held));
    }
}

// A change of CLK1 during a frame: at the start of its slot (within 1 ms, or later only while
// console output held up the main loop), at the frequency of that slot's symbol. Checked as it
// happens, while the console's recent history is at hand.
void CheckTone(Frame &f, const sim::Si5351Model::Change &c) {
    const size_t i = static_cast<size_t>((c.t_us - f.start_tick_us) / SYMBOL_US);
    if (i >= f.symbols.size()) {
        Check(false, "tone change after the frame's last symbol");
        return;
    }
    if (f.changes > 0) {
        Check(i > f.slot, "two tone changes in one symbol slot:", std::to_string(i));
        CheckHeld(f, f.slot, f.slot + 1, i);
    }
    ++g_fig.tones;
    // Symbol i falls due at the tick ceil(i x 682667 us / 1 ms) after the start's; its transfer
    // is made in that pass and ends well within the millisecond.
    const uint64_t due = f.start_tick_us + (i * SYMBOL_US + 999) / 1000 * 1000;
    const uint64_t at = c.t_us;
    if (i > 0 && (at < due || at > due + 1000)) {
        const bool held_up = at > due && ConsoleBusy(due, at);
        Check(held_up, "tone switched off its time:",
              "symbol " + std::to_string(i) + " " + std::to_string(static_cast<int64_t>(at - due)) +
                  " us from start + i x 682667 us");
        if (held_up) {
            ++g_fig.tones_late;
            g_fig.max_late_us = std::max(g_fig.max_late_us, at - due);
            if (g_cycle == Cycle::QUIET) {
                ++g_fig.tones_late_quiet;
                g_fig.max_late_quiet_us = std::max(g_fig.max_late_quiet_us, at - due);
            }
        }
    }
    const uint32_t base = f.base_hz;
    Check(tones::Matches(c.freq_uhz, base, f.symbols[i]), "tone at the wrong frequency:",
          "symbol " + std::to_string(i) + " " + std::to_string(c.freq_uhz) + " uHz, wanted " +
              std::to_string(tones::IdealUhz(base, f.symbols[i])));
    f.slot = i;
    ++f.changes;
}

// The carrier going off after the 162nd symbol ends the frame at start + 162 x 682667 us.
void CheckEnd(Frame &f) {
    CheckHeld(f, f.slot, f.slot + 1, f.symbols.size());
    f.slot = f.symbols.size();
    const uint64_t due = f.start_tick_us + (FRAME_US + 999) / 1000 * 1000;
    const uint64_t at = f.last_off_us;
    Check((at >= due && at <= due + 1000) || (at > due && ConsoleBusy(due, at)),
          "frame did not end on time:", std::to_string(static_cast<int64_t>(at - due)) + " us");
    ++g_fig.frames_complete;
}

void FinishFrame() {
    Frame &f = g_frame;
    f.active = false;
    ++g_fig.frames;
    Check(f.symbols.size() == WSPR_SYMBOL_COUNT, "frame of a message the encoder refuses");
}

void OnClk1(const sim::Si5351Model::Change &c) {
    Frame &f = g_frame;
    Check(!c.phase_break, "the carrier's phase broke during a frame");
    if (!c.on) {
        f.off = true;
        f.last_off_us = c.t_us;
        // Off in the last slot: the frame's end (an off earlier is a stop, or a new set-up).
        if (f.active && f.start_us + FRAME_US - SYMBOL_US < c.t_us) {
            CheckEnd(f);
        }
        return;
    }
    // Off and on again is a new frame (a stop followed at once by the key's frame, say).
    if (f.active && f.off) {
        FinishFrame();
    }
    if (!f.active) {
        f = Frame{};
        f.active = true;
        f.start_us = c.t_us;
        f.start_tick_us = StartTickUs();
        f.symbols = Symbols(g_model);
        f.base_hz = g_model.freq;
        g_cycle_starts_us.push_back(c.t_us);
        ++g_frames_started;
    }
    f.off = false;
    CheckTone(f, c);
}

// Between main-loop passes: CLK1 on exactly in the transmit state, no longer than a frame; a frame
// whose carrier has stayed off is over.
void Sample() {
    ++g_fig.samples;
    const uint64_t now_us = sim::Now() / 1000;
    const bool on = sim::Chip().clk1_on();
    const WSPR_State state = sim::Status().state;
    Check(on == (state == WSPR_STATE_TX), "CLK1 and the transmit state disagree:",
          std::string(on ? "on" : "off") + " in state " + std::to_string(state));
    if (g_frame.active && on) {
        Check(now_us - g_frame.start_us <= FRAME_US + 2000, "CLK1 on longer than a frame");
    }
    if (g_frame.active && g_frame.off) {
        FinishFrame();
    }
}

// ---- The run ------------------------------------------------------------------------------------

// Runs to t, sampling every 100 ms; lines typed on the way are typed at their moments.
void RunSampled(uint64_t t) {
    while (sim::Now() < t) {
        sim::RunUntil(std::min(t, sim::Now() + 100 * MS));
        Sample();
    }
}

uint64_t g_gnss_t0 = 0; // the GNSS clock's second g_first_gnss_second began here

uint64_t EvenMinuteAtOrAfter(uint64_t t) {
    // GNSS seconds are counted from g_gnss_t0; minute boundaries where the second of day is 0 mod
    // 120.
    const uint64_t sod0 = g_first_gnss_second;
    const uint64_t s =
        (t - g_gnss_t0 + SECOND - 1) / SECOND + sod0; // seconds since midnight of day 0
    const uint64_t even = (s + 119) / 120 * 120;
    return g_gnss_t0 + (even - sod0) * SECOND;
}

void Boot(uint32_t first_second, uint32_t ms_before_wrap) {
    sim::Prepare();
    vmcu::i2c_keep_log(false);
    sim::Terminal().Keep(false);
    sim::Chip().keep_timeline(false);
    sim::Chip().on_change(OnClk1);
    vmcu::i2c_on_transfer(OnI2c);
    sim::Terminal().OnByte(OnConsoleByte);
    g_first_gnss_second = first_second;
    g_gnss_t0 = 0;
    sim::Gnss().StartClock(g_gnss_t0, first_second);
    sim::Boot();
    // Where a debugger would: the millisecond counter close to its wrap.
    if (!sim::PokeFirmwareU32("g_ms", 0xFFFFFFFFU - ms_before_wrap)) {
        std::fprintf(stderr, "soak: no firmware variable g_ms\n");
        std::exit(2);
    }
}

// One even-minute cycle [T, T + 120 s) of the given kind.
void RunCycle(uint64_t T, Cycle kind) {
    g_cycle = kind;
    g_cycle_starts_us.clear();
    const uint64_t starts_before = g_starts_logged;
    const uint64_t started_before = g_frames_started;
    // The gap after the frame: from its end (T + 110.8 s) to before the next even minute.
    const uint64_t gap_from = T + 112 * SECOND;
    const uint64_t gap_to = T + 118 * SECOND;
    // QUIET: lines only in the gap. BUSY: harmless lines all along (a new base frequency only in
    // the gap). MESSY: anything until 110 s, then harmless lines in the gap.
    uint64_t next =
        kind == Cycle::QUIET ? gap_from + Uniform(0, 2000) * MS : T + Uniform(200, 3000) * MS;
    while (next < gap_to) {
        if (kind == Cycle::MESSY && next >= T + 110 * SECOND && next < gap_from) {
            next = gap_from;
        }
        RunSampled(next);
        if (kind == Cycle::MESSY && sim::Now() < T + 110 * SECOND) {
            IntrusiveAction();
        } else {
            HarmlessLine(sim::Now() >= gap_from);
        }
        next = sim::Now() + (kind == Cycle::QUIET ? Uniform(100, 1500) : Uniform(300, 4000)) * MS;
    }
    if (kind == Cycle::MESSY) {
        // Clear the way for the next even minute: no frame, automatic mode on.
        RunSampled(gap_to);
        if (Transmitting()) {
            TypeLine("stop\r");
        }
        TypeLine("auto on\r");
        g_model.auto_on = true;
    }
    RunSampled(T + 120 * SECOND - 50 * MS);
    Check(g_starts_logged - starts_before == g_frames_started - started_before,
          "frames started and start lines printed differ:",
          std::to_string(g_starts_logged - starts_before) + " lines, " +
              std::to_string(g_frames_started - started_before) + " carriers");
    if (kind != Cycle::MESSY) {
        ++g_fig.even_minutes;
        const bool one = g_cycle_starts_us.size() == 1 && g_cycle_starts_us[0] >= T / 1000 &&
                         g_cycle_starts_us[0] < (T + SECOND) / 1000;
        Check(one, "not exactly one frame in the first second of the even minute:",
              std::to_string(g_cycle_starts_us.size()) + " frames, first at +" +
                  (g_cycle_starts_us.empty()
                       ? std::string("-")
                       : std::to_string(static_cast<int64_t>(g_cycle_starts_us[0] - T / 1000))) +
                  " us");
    }
}

struct Options {
    double days = 1;
    uint64_t seed = 1;
    double wrap_after_hours = -1;
    bool wrap_case = false;
};

// The wrap with a frame in flight: the counter wraps 50 s into the first frame; that frame and the
// following ones must be exact, the key must still start a frame 50 ms after a press, and the
// console must answer.
void WrapCase() {
    const uint32_t first = 11 * 3600 + 59 * 60 + 50; // 11:59:50; 12:00:00 begins at 10 s
    Boot(first, 60000);                              // wraps at about 60 s
    TypeLine("\r");
    uint64_t T = EvenMinuteAtOrAfter(sim::Now());
    RunSampled(T);
    for (int i = 0; i < 3; ++i, T += 2 * MINUTE) {
        RunCycle(T, Cycle::QUIET);
    }
    uint32_t ms = 0;
    sim::PeekFirmwareU32("g_ms", ms);
    Check(ms > 100000 && ms < 400000, "the millisecond counter did not wrap:", std::to_string(ms));
    // A key press in the gap after a frame: its frame is asked for 50 ms after the press, starts
    // after the lines' lead (70 to 100 ms) and takes the next even minute's place, so that minute
    // has no frame of its own.
    RunSampled(T - 5 * SECOND);
    const uint64_t press = sim::Now() + 3 * MS;
    sim::KeyAt(press, true);
    sim::KeyAt(press + 500 * MS, false);
    ++g_fig.key_presses;
    RunSampled(press + 200 * MS);
    Check(g_frame.active && g_frame.start_us >= (press + 120 * MS) / 1000 &&
              g_frame.start_us < (press + 152 * MS) / 1000,
          "key press after the wrap did not start a frame 120..150 ms later");
    RunSampled(T + 2 * MINUTE);
    Show();
    for (int i = 0; i < 2; ++i) {
        T += 2 * MINUTE;
        RunCycle(T, Cycle::BUSY);
    }
}

void LongRun(const Options &o) {
    const uint64_t total_ms = static_cast<uint64_t>(o.days * 86400000.0);
    const double wrap_hours = o.wrap_after_hours >= 0 ? o.wrap_after_hours : o.days * 24 / 2;
    const uint64_t wrap_ms = static_cast<uint64_t>(wrap_hours * 3600000.0);
    const uint32_t first = 23 * 3600 + 40 * 60; // 23:40:00: the day wraps early in the run
    Boot(first, wrap_ms > 0xF0000000ULL ? 0xF0000000U : static_cast<uint32_t>(wrap_ms));
    TypeLine("\r");
    uint64_t T = EvenMinuteAtOrAfter(sim::Now());
    RunSampled(T);
    const uint64_t end = total_ms * MS;
    uint64_t cycles = 0;
    while (T + 2 * MINUTE <= end) {
        const uint64_t r = Uniform(0, 99);
        const Cycle kind = r < 45 ? Cycle::QUIET : r < 80 ? Cycle::BUSY : Cycle::MESSY;
        RunCycle(T, kind);
        T += 2 * MINUTE;
        if (g_verbose && ++cycles % 720 == 0) {
            std::fprintf(stderr, "soak: day %.1f, %" PRIu64 " frames, %" PRIu64 " failures\n",
                         static_cast<double>(T) / (86400.0 * SECOND), g_fig.frames, g_fig.failures);
        }
    }
    RunSampled(end > sim::Now() ? end : sim::Now());
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--days" && i + 1 < argc) {
            o.days = std::atof(argv[++i]);
        } else if (a == "--seed" && i + 1 < argc) {
            o.seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (a == "--wrap-after-hours" && i + 1 < argc) {
            o.wrap_after_hours = std::atof(argv[++i]);
        } else if (a == "--wrap") {
            o.wrap_case = true;
        } else if (a == "--verbose") {
            g_verbose = true;
        } else {
            std::fprintf(
                stderr,
                "usage: wspr-soak [--days D] [--seed S] [--wrap-after-hours H] [--verbose]\n"
                "       wspr-soak --wrap\n");
            return 2;
        }
    }
    g_rng.seed(o.seed);
    const auto wall0 = std::chrono::steady_clock::now();
    if (o.wrap_case) {
        WrapCase();
    } else {
        LongRun(o);
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    std::printf("soak %s: %.2f simulated days in %.1f s wall (seed %" PRIu64 ")\n",
                o.wrap_case ? "wrap case" : "run",
                static_cast<double>(sim::Now()) / (86400.0 * SECOND), wall, o.seed);
    std::printf("  frames checked %" PRIu64 " (%" PRIu64 " complete), even minutes checked %" PRIu64
                ", tones checked %" PRIu64 "\n",
                g_fig.frames, g_fig.frames_complete, g_fig.even_minutes, g_fig.tones);
    std::printf("  tones late while console output held the main loop: %" PRIu64 " (max %" PRIu64
                " us after due); of which in quiet frames (GNSS time lines only): %" PRIu64
                " (max %" PRIu64 " us)\n",
                g_fig.tones_late, g_fig.max_late_us, g_fig.tones_late_quiet,
                g_fig.max_late_quiet_us);
    std::printf("  GNSS seconds checked %" PRIu64 ", lines typed %" PRIu64 " (%" PRIu64
                " bytes), key presses %" PRIu64 ", state samples %" PRIu64 "\n",
                g_fig.gnss_seconds, g_fig.lines_typed, g_fig.bytes_typed, g_fig.key_presses,
                g_fig.samples);
    std::printf("  invariants checked %" PRIu64 ", broken %" PRIu64 "\n", g_fig.checks,
                g_fig.failures);
    return g_fig.failures == 0 ? 0 : 1;
}
