// Console bytes into the running firmware: line editor, shell, receive ring and prompt.
//
// The first input byte picks the way the rest is typed. Paced (bit 0 clear): line by line, each
// line taken in completely before the next (and in pieces the receive ring has room for), and
// everything the beacon prints is compared with a model of the console written here from the
// documented behaviour: the echo, the reply, the prompt, and the settings read from the firmware's
// memory after every line (they may change only with "ok"). Burst (bit 0 set): everything at once
// at 115200 baud, so that long replies overflow the receive ring; then the settings must still be
// valid ones, changed only if some reply was "ok", and the line never longer than 39 characters.
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "console_text.h"
#include "fuzz_board.h"
#include "si5351_model.h"

namespace {

constexpr size_t LINE_MAX_CHARS = 39;
constexpr size_t RING_ROOM = 63; // bytes a receive ring holds

const char *const k_help = k_console_help;

// ---- Firmware state -----------------------------------------------------------------------------
// As the firmware reports it (WSPR_App_GetStatus), and as "show" prints it.

struct Settings {
    std::string call, loc;
    unsigned power;
    uint32_t freq;
    uint32_t xtal;
    bool auto_on;
    bool time_valid;
    bool tx;
    bool operator==(const Settings &) const = default;
};

const Settings k_defaults{WSPR_DEFAULT_CALLSIGN,
                          WSPR_DEFAULT_LOCATOR,
                          WSPR_DEFAULT_POWER_DBM,
                          WSPR_DEFAULT_FREQ_HZ,
                          SI5351_XTAL_HZ,
                          true,
                          false,
                          false};

std::string Describe(const Settings &s) {
    return s.call + " " + s.loc + " " + std::to_string(s.power) + "dBm " + std::to_string(s.freq) +
           "Hz xtal=" + std::to_string(s.xtal) + " auto=" + std::to_string(s.auto_on) +
           " time=" + std::to_string(s.time_valid) + " tx=" + std::to_string(s.tx);
}

std::string TakeOutput() {
    std::string out = sim::Console();
    sim::ClearConsole();
    return out;
}

Settings Peek() {
    const WSPR_AppStatus st = sim::Status();
    Settings s;
    s.call = st.settings.callsign;
    s.loc = st.settings.locator;
    s.power = st.settings.power_dbm;
    s.freq = st.settings.base_freq_hz;
    s.xtal = st.settings.xtal_hz;
    s.auto_on = st.settings.auto_tx;
    s.time_valid = st.time_valid;
    s.tx = st.state == WSPR_STATE_TX;
    return s;
}

// The settings as the status report shows them (typed as a line of its own, so only between
// lines); they must be the ones held in memory. 'out' receives the whole report.
Settings Read(std::string *out = nullptr) {
    fuzz::Console("show\r");
    const std::string shown = TakeOutput();
    char state[8] = {}, call[8] = {}, loc[8] = {}, auto_on[4] = {}, time[8] = {};
    unsigned power = 0;
    unsigned long freq = 0, xtal = 0;
    unsigned long long spacing = 0;
    const size_t at = shown.find("State: ");
    const int n =
        at == std::string::npos
            ? 0
            : std::sscanf(shown.c_str() + at,
                          "State: %7s Message: %7s %7s %udBm RF: %lu Hz, tone spacing "
                          "%llu uHz XTAL: %lu Hz Auto: %3[ONF], Time: %7s",
                          state, call, loc, &power, &freq, &spacing, &xtal, auto_on, time);
    FUZZ_CHECK(n == 9 && spacing == WSPR_TONE_SPACING_UHZ, shown);
    Settings s = Peek();
    const bool time_valid = std::string(time) == "valid";
    FUZZ_CHECK(s.call == call && s.loc == loc && s.power == power && s.freq == freq &&
                   s.xtal == xtal && s.auto_on == (std::string(auto_on) == "ON") &&
                   s.time_valid == time_valid && s.tx == (std::string(state) == "TX"),
               "memory " + Describe(s) + ", shown " + shown);
    if (out != nullptr) {
        *out = shown;
    }
    return s;
}

// ---- The independent rules ----------------------------------------------------------------------

bool Upper(char c) {
    return c >= 'A' && c <= 'Z';
}
bool Digit(char c) {
    return c >= '0' && c <= '9';
}
bool AllOf(std::string_view s, bool (*pred)(char)) {
    for (char c : s) {
        if (!pred(c)) {
            return false;
        }
    }
    return true;
}
bool UpperOrDigit(char c) {
    return Upper(c) || Digit(c);
}

// A callsign a WSPR type-1 message carries: prefix character, letter or digit, the call area
// digit, then up to three letters; or, with an implied leading space, letter or digit, digit, one
// to three letters.
bool CallsignOk(std::string_view v) {
    if (v.size() >= 3 && v.size() <= 6 && UpperOrDigit(v[0]) && UpperOrDigit(v[1]) && Digit(v[2]) &&
        AllOf(v.substr(3), Upper)) {
        return true;
    }
    return v.size() >= 3 && v.size() <= 5 && UpperOrDigit(v[0]) && Digit(v[1]) &&
           AllOf(v.substr(2), Upper);
}

bool LocatorOk(std::string_view v) {
    return v.size() == 4 && v[0] >= 'A' && v[0] <= 'R' && v[1] >= 'A' && v[1] <= 'R' &&
           Digit(v[2]) && Digit(v[3]);
}

bool PowerOk(uint64_t dbm) {
    return dbm <= 60 && (dbm % 10 == 0 || dbm % 10 == 3 || dbm % 10 == 7);
}

bool FreqOk(uint64_t hz) {
    return hz >= 2500000 && hz <= 150000000;
}

// The Si5351 keeps 100 ppm from its limits: with the multisynth 6 the VCO, six times the top tone,
// stays at or below 899.91 MHz; above that (up to 150 MHz) no setting keeps the margin.
bool KeepsMargin(uint64_t hz) {
    return hz * 1000000 + 3 * WSPR_TONE_SPACING_UHZ <= 149985000ULL * 1000000;
}

// A number as typed: the whole text is digits, nothing else (no blank, sign, point or unit). One
// beyond 32 bits is reported as UINT64_MAX (never in any accepted range).
std::optional<uint64_t> Number(std::string_view digits) {
    if (digits.empty() || !AllOf(digits, Digit)) {
        return std::nullopt;
    }
    while (digits.size() > 1 && digits[0] == '0') {
        digits.remove_prefix(1);
    }
    if (digits.size() > 10 || (digits.size() == 10 && digits > "4294967295")) {
        return UINT64_MAX;
    }
    return std::stoull(std::string(digits));
}

// ---- The console model --------------------------------------------------------------------------

// What the beacon prints: text, where a marker stands for a running clock shown as HH:MM:SS.
struct Expected {
    std::string text;
    size_t clock_at = std::string::npos;
};

bool Matches(const Expected &e, std::string_view out) {
    if (e.clock_at == std::string::npos) {
        return out == e.text;
    }
    if (out.size() != e.text.size() + 8 ||
        out.substr(0, e.clock_at) != e.text.substr(0, e.clock_at) ||
        out.substr(e.clock_at + 8) != std::string_view(e.text).substr(e.clock_at)) {
        return false;
    }
    std::string_view t = out.substr(e.clock_at, 8);
    return Digit(t[0]) && Digit(t[1]) && t[2] == ':' && Digit(t[3]) && Digit(t[4]) && t[5] == ':' &&
           Digit(t[6]) && Digit(t[7]) && (t[0] - '0') * 10 + (t[1] - '0') < 24 && t[3] < '6' &&
           t[6] < '6';
}

std::string StartLine(const Settings &s) {
    return "TX start " + s.call + " " + s.loc + " " + std::to_string(s.power) +
           "dBm, 162 symbols\r\n";
}

// Executes one finished line on the model: the reply, and the settings afterwards.
Expected Execute(Settings &s, const std::string &buffer) {
    std::string c = buffer;
    for (char &ch : c) {
        if (ch >= 'a' && ch <= 'z') {
            ch = static_cast<char>(ch - 'a' + 'A');
        }
    }
    auto after = [&c](std::string_view prefix) -> std::optional<std::string_view> {
        if (std::string_view(c).starts_with(prefix)) {
            return std::string_view(c).substr(prefix.size());
        }
        return std::nullopt;
    };
    Expected e;
    if (c.empty()) {
        return e;
    }
    if (c == "HELP" || c == "?") {
        e.text = k_help;
    } else if (c == "SHOW") {
        e.text = ShowHead(s.tx ? "TX" : "IDLE",
                          s.call + " " + s.loc + " " + std::to_string(s.power) + "dBm",
                          static_cast<uint32_t>(s.freq), static_cast<uint32_t>(s.xtal), s.auto_on);
        if (s.time_valid) {
            e.text += "valid ";
            e.clock_at = e.text.size();
            e.text += " UTC\r\n\r\n";
        } else {
            e.text += "invalid\r\n\r\n";
        }
    } else if (c == "TX") {
        e.text = s.tx ? "TX rejected: already transmitting\r\n" : StartLine(s);
        s.tx = true;
    } else if (c == "STOP") {
        e.text = "TX complete, CLK1 disabled\r\n";
        s.tx = false;
    } else if (auto v = after("TIME ")) {
        // HH:MM:SS, each field its digits alone.
        const std::string_view rest = *v;
        const size_t c1 = rest.find(':');
        const size_t c2 = c1 == std::string_view::npos ? c1 : rest.find(':', c1 + 1);
        std::optional<uint64_t> h, m, sec;
        if (c2 != std::string_view::npos) {
            h = Number(rest.substr(0, c1));
            m = Number(rest.substr(c1 + 1, c2 - c1 - 1));
            sec = Number(rest.substr(c2 + 1));
        }
        if (!h || !m || !sec) {
            e.text = "error: use time HH:MM:SS\r\n";
        } else if (*h > 23 || *m > 59 || *sec > 59) {
            e.text = "TIME rejected\r\n";
        } else {
            char line[64];
            std::snprintf(line, sizeof line, "TIME set %02u:%02u:%02u UTC from PC\r\n",
                          static_cast<unsigned>(*h), static_cast<unsigned>(*m),
                          static_cast<unsigned>(*sec));
            e.text = line;
            s.time_valid = true;
            // Second 0 of an even minute with the last start forgotten: the schedule starts a
            // frame in the same pass.
            if (s.auto_on && !s.tx && *m % 2 == 0 && *sec == 0) {
                e.text += StartLine(s);
                s.tx = true;
            }
        }
    } else if (c == "SAVE" || c == "DEFAULTS") {
        // Nothing goes to flash during a frame; defaults bring the built-in settings back.
        if (s.tx) {
            e.text = "error: not while transmitting\r\n";
        } else {
            if (c == "DEFAULTS") {
                const bool time_valid = s.time_valid;
                s = k_defaults;
                s.time_valid = time_valid;
            }
            e.text = "ok\r\n";
        }
    } else if (c == "AUTO ON" || c == "AUTO 1" || c == "AUTO OFF" || c == "AUTO 0") {
        s.auto_on = c == "AUTO ON" || c == "AUTO 1";
        e.text = "ok\r\n";
    } else if (auto v = after("SET CALL ")) {
        if (v->size() > 6) {
            e.text = "error: callsign too long\r\n";
        } else if (!CallsignOk(*v)) {
            e.text = "error: invalid callsign\r\n";
        } else {
            s.call = *v;
            e.text = "ok\r\n";
        }
    } else if (auto v = after("SET GRID ") ? after("SET GRID ") : after("SET LOC ")) {
        if (v->size() != 4) {
            e.text = "error: locator must be 4 chars\r\n";
        } else if (!LocatorOk(*v)) {
            e.text = "error: invalid locator\r\n";
        } else {
            s.loc = *v;
            e.text = "ok\r\n";
        }
    } else if (auto v = after("SET POWER ")) {
        std::optional<uint64_t> dbm = Number(*v);
        if (!dbm || *dbm > 60) {
            e.text = "error: power must be 0..60 dBm\r\n";
        } else if (!PowerOk(*dbm)) {
            e.text = "error: power must end in 0, 3 or 7 dBm\r\n";
        } else {
            s.power = static_cast<unsigned>(*dbm);
            e.text = "ok\r\n";
        }
    } else if (auto v = after("SET FREQ ")) {
        std::optional<uint64_t> hz = Number(*v);
        if (!hz || !FreqOk(*hz)) {
            e.text = "error: freq must be 2500000..150000000 Hz\r\n";
        } else if (!KeepsMargin(*hz)) {
            e.text = "error: freq too close to 150 MHz, the Si5351 would run at its limits\r\n";
        } else {
            s.freq = static_cast<uint32_t>(*hz);
            e.text = "ok\r\n";
        }
    } else if (auto v = after("SET XTAL ")) {
        std::optional<uint64_t> hz = Number(*v);
        if (!hz || *hz < 24000000 || *hz > 28000000) {
            e.text = "error: xtal must be 24000000..28000000 Hz\r\n";
        } else {
            s.xtal = static_cast<uint32_t>(*hz);
            e.text = "ok\r\n";
        }
    } else {
        e.text = "error: unknown command, type help\r\n";
    }
    return e;
}

// The line editor on one chunk of typed bytes (ending at its first CR or LF, if any), starting
// from an empty line: the echo, the line it leaves, and whether characters beyond the line's size
// were typed (the line is then refused, whatever editing followed).
struct Edited {
    std::string echo;
    std::string line;
    bool ended = false;
    bool too_long = false;
};

Edited Edit(std::string_view chunk) {
    Edited r;
    for (char ch : chunk) {
        if (ch == '\r' || ch == '\n') {
            r.ended = true;
            break;
        }
        if (ch == 8 || ch == 127) {
            if (!r.line.empty()) {
                r.line.pop_back();
                r.echo += "\b \b";
            }
        } else if (r.line.size() < LINE_MAX_CHARS) {
            r.line.push_back(ch);
            r.echo.push_back(ch);
        } else {
            r.too_long = true;
        }
    }
    return r;
}

// What the console shows for one typed chunk, given the model before it; the model moves on.
Expected ExpectChunk(Settings &s, const Edited &ed) {
    Expected e{ed.echo};
    if (!ed.ended) {
        return e;
    }
    Expected reply;
    if (ed.too_long) {
        reply.text = "error: line too long, max 39 chars\r\n";
    } else if (ed.line.find('\0') != std::string::npos) {
        reply.text = "error: NUL byte in line\r\n";
    } else {
        reply = Execute(s, ed.line);
    }
    e.text += "\r\n";
    if (reply.clock_at != std::string::npos) {
        e.clock_at = e.text.size() + reply.clock_at;
    }
    e.text += reply.text;
    if (!s.tx) {
        e.text += "wspr> ";
    }
    return e;
}

// The even-minute schedule may start a frame by itself while a chunk is being taken in, when the
// clock of a time set earlier in this input reaches second 0 of an even minute. Its start line
// then sits somewhere in the output; the chunk must match the model with the frame started
// before or after the line.
bool MatchesWithScheduledStart(Settings &s, const Edited &ed, const std::string &out) {
    auto without = [&out](const std::string &line) -> std::optional<std::string> {
        const size_t at = out.find(line);
        if (at == std::string::npos) {
            return std::nullopt;
        }
        return out.substr(0, at) + out.substr(at + line.size());
    };
    // Started before the line was finished: the line runs with the frame on the air.
    if (s.time_valid && s.auto_on && !s.tx) {
        Settings m = s;
        m.tx = true;
        const std::optional<std::string> rest = without(StartLine(s));
        if (rest && Matches(ExpectChunk(m, ed), *rest)) {
            s = m;
            return true;
        }
    }
    // Started after the line, in the same pass (no prompt then) or a later one.
    Settings m = s;
    Expected e = ExpectChunk(m, ed);
    if (!m.time_valid || !m.auto_on || m.tx) {
        return false;
    }
    const std::optional<std::string> rest = without(StartLine(m));
    if (!rest) {
        return false;
    }
    m.tx = true;
    if (!Matches(e, *rest)) {
        if (!e.text.ends_with("wspr> ")) {
            return false;
        }
        e.text.resize(e.text.size() - 6);
        if (!Matches(e, *rest)) {
            return false;
        }
    }
    s = m;
    return true;
}

// ---- One input ----------------------------------------------------------------------------------

// Ends whatever line a burst left without running it: erased, its end is an empty line, or one
// refused for what it lost or ran over.
void ClearLine() {
    fuzz::Console(std::string(LINE_MAX_CHARS, '\x7f') + "\r");
}

// Every input on a board fresh from power-on: an empty line, no frame, no time, the defaults.
void StartFresh() {
    fuzz::PowerOn();
    TakeOutput();
    std::string shown;
    const Settings now = Read(&shown);
    FUZZ_CHECK(now == k_defaults, Describe(now) + " " + shown);
}

void CheckClk1(const Settings &now) {
    FUZZ_CHECK(sim::Chip().clk1_on() == now.tx, Describe(now));
}

void Paced(std::string_view text) {
    Settings model = k_defaults;
    while (!text.empty()) {
        size_t end = text.find_first_of("\r\n");
        std::string_view chunk =
            text.substr(0, end == std::string_view::npos ? text.size() : end + 1);
        text.remove_prefix(chunk.size());

        // At most a ring's worth at a time: echoing a backspace takes three byte times, so a
        // longer run of them typed at full speed may overflow the ring, and then bytes are lost
        // by design (burst mode covers that).
        for (size_t at = 0; at < chunk.size(); at += RING_ROOM) {
            fuzz::Console(chunk.substr(at, RING_ROOM));
        }
        const std::string out = TakeOutput();
        const Edited ed = Edit(chunk);
        Settings before = model;
        Expected e = ExpectChunk(model, ed);
        if (!Matches(e, out)) {
            model = before;
            FUZZ_CHECK(MatchesWithScheduledStart(model, ed, out),
                       "typed [" + std::string(chunk) + "] printed [" + out + "] expected [" +
                           e.text + "]");
        }
        Settings now;
        if (ed.ended) {
            std::string shown;
            now = Read(&shown);
            if (now.tx && !model.tx && model.time_valid && model.auto_on &&
                shown.find(StartLine(model)) != std::string::npos) {
                model.tx = true; // the schedule started a frame while the report was typed
            }
        } else {
            now = Peek();
        }
        FUZZ_CHECK(now == model, "after [" + std::string(chunk) + "]: firmware " + Describe(now) +
                                     ", model " + Describe(model));
        CheckClk1(now);
    }
}

void Burst(std::string_view text) {
    fuzz::Console(text);
    const std::string out = TakeOutput();
    FUZZ_CHECK(sim::Status().line_length <= LINE_MAX_CHARS, out);
    ClearLine();
    TakeOutput();
    const Settings now = Read();
    const bool any_ok = out.find("ok\r\n") != std::string::npos;
    FUZZ_CHECK(any_ok || (now.call == k_defaults.call && now.loc == k_defaults.loc &&
                          now.power == k_defaults.power && now.freq == k_defaults.freq &&
                          now.xtal == k_defaults.xtal && now.auto_on == k_defaults.auto_on),
               Describe(now) + " after " + out);
    FUZZ_CHECK(CallsignOk(now.call) && LocatorOk(now.loc) && PowerOk(now.power) &&
                   FreqOk(now.freq) && now.xtal >= 24000000 && now.xtal <= 28000000,
               Describe(now));
    CheckClk1(now);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::PowerOn();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) {
        return 0;
    }
    StartFresh();
    std::string_view text(reinterpret_cast<const char *>(data) + 1, size - 1);
    if (data[0] & 1) {
        Burst(text);
    } else {
        Paced(text);
    }
    return 0;
}
