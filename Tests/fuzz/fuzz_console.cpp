// Console bytes into the running firmware: line editor, shell, receive ring and prompt.
//
// The first input byte picks the way the rest is typed. Paced (bit 0 clear): line by line, each
// line taken in completely before the next (and in pieces the receive ring has room for), and
// everything the beacon prints is compared with a model of the console written here from the
// documented behaviour: the echo, the reply, the prompt, and the settings read from the firmware's
// memory after every line (they may change only with "ok"). Burst (bit 0 set): everything at once
// at 115200 baud, so that long replies overflow the receive ring; then the settings must still be
// valid ones, changed only if some reply was "ok", and the line never longer than 39 characters.
// The band list, hop mode, share and offset (whose frames the model does not foresee) are typed
// only in bursts: a paced input ends at its first line that sets one of them.
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bands.h"
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
    // The callsign in its parts (a prefix or a suffix, at most one) and the locator's square and
    // subsquare (empty for a 4-character locator), as the firmware keeps them.
    std::string prefix, call, suffix, loc, sub;
    bool gnss; // the locator follows the GNSS receiver
    unsigned power;
    uint32_t freq;
    uint32_t xtal;
    bool auto_on;
    bool time_valid;
    bool tx;
    // The turn of frames (model only; the firmware does not report it): what the last frame was
    // chosen for (callsign, fixed locator or "from GNSS") and the frame of the cycle sent next.
    std::string turn_choice;
    unsigned turn_next = 0;
    // The band list (entry 0's frequency is freq), the hop mode, the share and the offset.
    unsigned band_count = 1;
    std::array<uint32_t, WSPR_MAX_BANDS> band_hz{};
    std::array<unsigned, WSPR_MAX_BANDS> band_code{};
    unsigned hop = WSPR_HOP_ORDER, txpct = 100, offset = 0;
    // Everything the firmware reports.
    bool operator==(const Settings &o) const {
        return prefix == o.prefix && call == o.call && suffix == o.suffix && loc == o.loc &&
               sub == o.sub && gnss == o.gnss && power == o.power && freq == o.freq &&
               xtal == o.xtal && auto_on == o.auto_on && time_valid == o.time_valid && tx == o.tx &&
               Day() == o.Day();
    }
    // Entries 1.. of the list and the codes, hop mode, share and offset.
    std::string Day() const {
        std::string d = std::to_string(band_count);
        for (unsigned i = 0; i < band_count && i < WSPR_MAX_BANDS; ++i) {
            d += " " + std::to_string(i == 0 ? 0 : band_hz[i]) + ":" + std::to_string(band_code[i]);
        }
        return d + " " + std::to_string(hop) + " " + std::to_string(txpct) + " " +
               std::to_string(offset);
    }
};

const Settings k_defaults{"",
                          WSPR_DEFAULT_CALLSIGN,
                          "",
                          WSPR_DEFAULT_LOCATOR,
                          "",
                          false,
                          WSPR_DEFAULT_POWER_DBM,
                          WSPR_DEFAULT_FREQ_HZ,
                          SI5351_XTAL_HZ,
                          true,
                          false,
                          false,
                          "",
                          0};

// The callsign as typed and sent: PFX/CALL, CALL/SFX or CALL.
std::string CallText(const Settings &s) {
    return (s.prefix.empty() ? "" : s.prefix + "/") + s.call +
           (s.suffix.empty() ? "" : "/" + s.suffix);
}

std::string LocatorText(const Settings &s) {
    return s.loc + s.sub;
}

bool Compound(const Settings &s) {
    return !s.prefix.empty() || !s.suffix.empty();
}

std::string Describe(const Settings &s) {
    return CallText(s) + " " + LocatorText(s) + (s.gnss ? "(GNSS) " : " ") +
           std::to_string(s.power) + "dBm " + std::to_string(s.freq) +
           "Hz xtal=" + std::to_string(s.xtal) + " auto=" + std::to_string(s.auto_on) +
           " time=" + std::to_string(s.time_valid) + " tx=" + std::to_string(s.tx) +
           " day=" + s.Day();
}

std::string TakeOutput() {
    std::string out = sim::Console();
    sim::ClearConsole();
    return out;
}

// A text field of the record; it must end within its buffer.
template <size_t N> std::string Text(const char (&field)[N]) {
    const size_t len = strnlen(field, N);
    FUZZ_CHECK(len < N, std::string(field, N));
    return std::string(field, len);
}

Settings Peek() {
    const WSPR_AppStatus st = sim::Status();
    Settings s;
    s.prefix = Text(st.settings.call_prefix);
    s.call = Text(st.settings.callsign);
    s.suffix = Text(st.settings.call_suffix);
    s.loc = Text(st.settings.locator);
    s.sub = Text(st.settings.subsquare);
    s.gnss = st.settings.locator_gnss;
    s.power = st.settings.power_dbm;
    s.freq = st.settings.base_freq_hz;
    s.xtal = st.settings.xtal_hz;
    s.auto_on = st.settings.auto_tx;
    s.band_count = st.settings.band_count;
    for (unsigned i = 0; i < s.band_count && i < WSPR_MAX_BANDS; ++i) {
        s.band_hz[i] = Settings_BandHz(st.settings, static_cast<int>(i));
        s.band_code[i] = st.settings.band_code[i];
    }
    s.hop = st.settings.hop_mode;
    s.txpct = st.settings.tx_percent;
    s.offset = st.settings.offset_hz;
    s.time_valid = st.time_valid;
    s.tx = st.state == WSPR_STATE_TX;
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

// A base callsign as a WSPR type-1 message carries it: prefix character, letter or digit, the call
// area digit, then up to three letters; or, with an implied leading space, letter or digit, digit,
// one to three letters.
bool BaseCallOk(std::string_view v) {
    if (v.size() >= 3 && v.size() <= 6 && UpperOrDigit(v[0]) && UpperOrDigit(v[1]) && Digit(v[2]) &&
        AllOf(v.substr(3), Upper)) {
        return true;
    }
    return v.size() >= 3 && v.size() <= 5 && UpperOrDigit(v[0]) && Digit(v[1]) &&
           AllOf(v.substr(2), Upper);
}

// A type-2 add-on: a prefix of 1 to 3 letters or digits; a suffix of one letter or digit, or of two
// digits 10..99.
bool PrefixOk(std::string_view v) {
    return !v.empty() && v.size() <= 3 && AllOf(v, UpperOrDigit);
}
bool SuffixOk(std::string_view v) {
    return (v.size() == 1 && UpperOrDigit(v[0])) ||
           (v.size() == 2 && v[0] >= '1' && v[0] <= '9' && Digit(v[1]));
}

// What "set call" makes of its argument: the reply, and the parts when it is taken. The part after
// a '/' is a suffix when it has at most two characters (no base callsign is that short), otherwise
// the part before it is a prefix; the add-on is judged before the base callsign.
struct CallVerdict {
    std::string reply; // empty when taken
    std::string prefix, base, suffix;
};

CallVerdict JudgeCall(std::string_view v) {
    CallVerdict r;
    const size_t slash = v.find('/');
    if (slash != std::string_view::npos && v.find('/', slash + 1) != std::string_view::npos) {
        r.reply = "error: one prefix or one suffix only\r\n";
        return r;
    }
    std::string_view base = v;
    if (slash != std::string_view::npos) {
        const std::string_view before = v.substr(0, slash), after = v.substr(slash + 1);
        if (after.size() <= 2) {
            if (!SuffixOk(after)) {
                r.reply = "error: suffix must be 1 letter or digit, or 2 digits 10..99\r\n";
                return r;
            }
            r.suffix = after;
            base = before;
        } else {
            if (!PrefixOk(before)) {
                r.reply = "error: prefix must be 1 to 3 letters or digits\r\n";
                return r;
            }
            r.prefix = before;
            base = after;
        }
    }
    if (base.size() > 6) {
        r.reply = "error: callsign too long\r\n";
    } else if (!BaseCallOk(base)) {
        r.reply = "error: invalid callsign\r\n";
    } else {
        r.base = base;
    }
    return r;
}

// Field letters A..R, square digits, and optionally subsquare letters A..X (upper case as stored).
bool SquareOk(std::string_view v) {
    return v.size() >= 4 && v[0] >= 'A' && v[0] <= 'R' && v[1] >= 'A' && v[1] <= 'R' &&
           Digit(v[2]) && Digit(v[3]);
}
bool SubsquareOk(std::string_view v) {
    return v.size() == 2 && v[0] >= 'A' && v[0] <= 'X' && v[1] >= 'A' && v[1] <= 'X';
}

// The settings hold a callsign and locator the console takes: a valid base, at most one add-on of
// a valid form, a valid square and an empty or valid subsquare.
bool MessageOk(const Settings &s) {
    return BaseCallOk(s.call) && (s.prefix.empty() || s.suffix.empty()) &&
           (s.prefix.empty() || PrefixOk(s.prefix)) && (s.suffix.empty() || SuffixOk(s.suffix)) &&
           s.loc.size() == 4 && SquareOk(s.loc) && (s.sub.empty() || SubsquareOk(s.sub));
}

bool PowerOk(uint64_t dbm) {
    return dbm <= 60 && (dbm % 10 == 0 || dbm % 10 == 3 || dbm % 10 == 7);
}

bool FreqOk(uint64_t hz) {
    return hz >= 8000 && hz <= 150000000;
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

// The frames the settings send in turn: a plain callsign sends type 1 (CALL GRID4 dBm), a compound
// one type 2 (PFX/CALL dBm); with a 6-character locator a type 3 (<CALL> GRID6 dBm) follows.
std::vector<std::string> Frames(const Settings &s) {
    const std::string dbm = std::to_string(s.power) + "dBm";
    std::vector<std::string> frames{Compound(s) ? CallText(s) + " " + dbm
                                                : s.call + " " + s.loc + " " + dbm};
    if (!s.sub.empty()) {
        frames.push_back("<" + CallText(s) + "> " + LocatorText(s) + " " + dbm);
    }
    return frames;
}

// What the next frame is chosen for; the turn starts again when it changes.
std::string TurnChoice(const Settings &s) {
    return CallText(s) + "|" + (s.gnss ? "GNSS" : LocatorText(s));
}

// The frame the next start sends.
std::string NextFrame(const Settings &s) {
    const std::vector<std::string> frames = Frames(s);
    const unsigned next = TurnChoice(s) == s.turn_choice ? s.turn_next : 0;
    return frames[next % frames.size()];
}

// A paced input keeps the list at one entry, code 0, without offset: every frame goes there.
std::string StartLine(const Settings &s) {
    const int band = Band_Of(s.freq);
    return "TX start " + NextFrame(s) + ", 162 symbols\r\nTX on " +
           (band >= 0 ? k_bands[band].name : "own") + " " + std::to_string(s.freq) +
           " Hz, offset +0 Hz, entry 1, code 0\r\n";
}

// A band list entry as show prints it: a band's name for its own tone 0, else the frequency.
std::string EntryText(const Settings &s, unsigned i) {
    const uint32_t hz = i == 0 ? s.freq : s.band_hz[i];
    const int band = Band_Of(hz);
    return (band >= 0 && k_bands[band].tone0_hz == hz ? std::string(k_bands[band].name)
                                                      : std::to_string(hz)) +
           ":" + std::to_string(s.band_code[i]);
}

// A frame starts: its start line; the turn moves on to the cycle's other frame.
std::string StartFrame(Settings &s) {
    const std::string line = StartLine(s);
    const std::string choice = TurnChoice(s);
    s.turn_next = (choice == s.turn_choice ? s.turn_next + 1 : 1) % 2;
    s.turn_choice = choice;
    s.tx = true;
    return line;
}

// The status report.
Expected ShowText(const Settings &s) {
    const std::vector<std::string> frames = Frames(s);
    std::string list = frames[0];
    if (frames.size() > 1) {
        list += ", then " + frames[1];
    } else if (Compound(s)) {
        list += " (no locator: a compound callsign needs a 6-char locator)";
    }
    Expected e;
    e.text =
        std::string("\r\nState: ") + (s.tx ? "TX" : "IDLE") + "\r\nMessage: " + CallText(s) + " " +
        LocatorText(s) + " " + std::to_string(s.power) + "dBm\r\nLocator: " + LocatorText(s) +
        (s.gnss ? " (GNSS)" : " (fixed)") + "\r\nFrames: " + list +
        "\r\nMode: wspr, period 120 s\r\nRF: " + std::to_string(s.freq) + " Hz, tone spacing " +
        std::to_string(WSPR_TONE_SPACING_UHZ) + " uHz\r\nXTAL: " + std::to_string(s.xtal) +
        " Hz\r\nReference: set, crystal " + std::to_string(s.xtal) + " Hz\r\nBands:";
    for (unsigned i = 0; i < s.band_count; ++i) {
        e.text += " " + EntryText(s, i);
    }
    e.text += std::string("\r\nHop: ") + (s.hop == WSPR_HOP_COORDINATED ? "coordinated" : "order") +
              ", TX share: " + std::to_string(s.txpct) + "%, offset: +-" +
              std::to_string(s.offset) + " Hz\r\nAuto: " + (s.auto_on ? "ON" : "OFF") + ", Time: ";
    if (s.time_valid) {
        e.text += "valid ";
        e.clock_at = e.text.size();
        e.text += " UTC\r\n\r\n";
    } else {
        e.text += "invalid\r\n\r\n";
    }
    return e;
}

// "ok", or, for a compound callsign with a 4-character locator, that no locator goes on the air.
std::string OkForMessage(const Settings &s) {
    return Compound(s) && s.sub.empty()
               ? "ok, but no locator is sent: a compound callsign needs 6 chars\r\n"
               : "ok\r\n";
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
        e = ShowText(s);
    } else if (c == "TX") {
        e.text = s.tx ? "TX rejected: already transmitting\r\n" : StartFrame(s);
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
                e.text += StartFrame(s);
            }
        }
    } else if (c == "SAVE" || c == "DEFAULTS") {
        // Nothing goes to flash during a frame; defaults bring the built-in settings back.
        if (s.tx) {
            e.text = "error: not while transmitting\r\n";
        } else {
            if (c == "DEFAULTS") {
                Settings d = k_defaults;
                d.time_valid = s.time_valid;
                d.turn_choice = s.turn_choice;
                d.turn_next = s.turn_next;
                s = d;
            }
            e.text = "ok\r\n";
        }
    } else if (c == "AUTO ON" || c == "AUTO 1" || c == "AUTO OFF" || c == "AUTO 0") {
        s.auto_on = c == "AUTO ON" || c == "AUTO 1";
        e.text = "ok\r\n";
    } else if (auto v = after("SET CALL ")) {
        CallVerdict verdict = JudgeCall(*v);
        if (verdict.reply.empty()) {
            s.prefix = verdict.prefix;
            s.call = verdict.base;
            s.suffix = verdict.suffix;
            verdict.reply = OkForMessage(s);
        }
        e.text = verdict.reply;
    } else if (auto v = after("SET GRID ") ? after("SET GRID ") : after("SET LOC ")) {
        // "gnss" leaves the locator as it is until a position comes.
        if (*v == "GNSS") {
            s.gnss = true;
            e.text = "ok\r\n";
        } else if (v->size() != 4 && v->size() != 6) {
            e.text = "error: locator must be 4 or 6 chars\r\n";
        } else if (!SquareOk(*v)) {
            e.text = "error: invalid locator\r\n";
        } else if (v->size() == 6 && !SubsquareOk(v->substr(4))) {
            e.text = "error: subsquare letters must be A..X\r\n";
        } else {
            s.loc = v->substr(0, 4);
            s.sub = v->substr(4);
            s.gnss = false;
            e.text = OkForMessage(s);
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
            e.text = "error: freq must be 8000..150000000 Hz\r\n";
        } else if (!KeepsMargin(*hz)) {
            e.text = "error: freq too close to 150 MHz, the Si5351 would run at its limits\r\n";
        } else {
            s.freq = static_cast<uint32_t>(*hz); // a list of one entry, code 0
            s.band_count = 1;
            s.band_code[0] = 0;
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
        const std::optional<std::string> rest = without(StartFrame(m));
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
    const std::optional<std::string> rest = without(StartFrame(m));
    if (!rest) {
        return false;
    }
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

// The settings as the status report shows them (typed as a line of its own, so only between
// lines); the report must be the one the settings held in memory give. 'out' receives the whole
// output, which may hold a start line of a frame the schedule began around it.
Settings Read(std::string *out = nullptr) {
    fuzz::Console("show\r");
    const std::string shown = TakeOutput();
    const Settings s = Peek();
    const Expected e = ShowText(s);
    const size_t at = shown.find("\r\nState: ");
    const size_t len = e.text.size() + (e.clock_at == std::string::npos ? 0 : 8);
    FUZZ_CHECK(at != std::string::npos && Matches(e, std::string_view(shown).substr(at, len)),
               "memory " + Describe(s) + ", shown [" + shown + "] expected [" + e.text + "]");
    if (out != nullptr) {
        *out = shown;
    }
    return s;
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

std::string UpperLine(const Edited &ed) {
    std::string c = ed.line;
    for (char &ch : c) {
        ch = ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - 'a' + 'A') : ch;
    }
    return c;
}

// A line that may start a frame without the clock set before it: tx, or a time at which the
// schedule's slot begins.
bool StartsAFrame(const Edited &ed) {
    const std::string c = UpperLine(ed);
    return c == "TX" || c.starts_with("TIME ");
}

// A line that sets the band list, the hop mode, the share or the offset.
bool SetsTheDay(const Edited &ed) {
    const std::string c = UpperLine(ed);
    for (const char *command :
         {"SET BANDS ", "SET HOP ", "SET TXPCT ", "SET OFFSET ", "SET MODE "}) {
        if (c.starts_with(command)) {
            return true;
        }
    }
    return false;
}

void Paced(std::string_view text) {
    Settings model = k_defaults;
    while (!text.empty()) {
        size_t end = text.find_first_of("\r\n");
        std::string_view chunk =
            text.substr(0, end == std::string_view::npos ? text.size() : end + 1);
        text.remove_prefix(chunk.size());
        const Edited ed = Edit(chunk);
        if (ed.ended && !ed.too_long && SetsTheDay(ed)) {
            return;
        }

        // At most a ring's worth at a time: echoing a backspace takes three byte times, so a
        // longer run of them typed at full speed may overflow the ring, and then bytes are lost
        // by design (burst mode covers that).
        for (size_t at = 0; at < chunk.size(); at += RING_ROOM) {
            fuzz::Console(chunk.substr(at, RING_ROOM));
        }
        if (ed.ended && (model.time_valid || StartsAFrame(ed))) {
            fuzz::Settle(); // with the clock set, the schedule may take a slot around any line
        }
        const std::string out = TakeOutput();
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
                StartFrame(model); // the schedule started a frame while the report was typed
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
    fuzz::Settle();
    const std::string out = TakeOutput();
    FUZZ_CHECK(sim::Status().line_length <= LINE_MAX_CHARS, out);
    ClearLine();
    TakeOutput();
    const Settings now = Read();
    const bool any_ok = out.find("ok\r\n") != std::string::npos ||
                        out.find("ok, but no locator is sent") != std::string::npos;
    Settings unchanged = k_defaults;
    unchanged.time_valid = now.time_valid;
    unchanged.tx = now.tx;
    FUZZ_CHECK(any_ok || now == unchanged, Describe(now) + " after " + out);
    FUZZ_CHECK(MessageOk(now) && PowerOk(now.power) && FreqOk(now.freq) && now.xtal >= 24000000 &&
                   now.xtal <= 28000000,
               Describe(now));
    bool day_ok = now.band_count >= 1 && now.band_count <= WSPR_MAX_BANDS &&
                  now.hop <= WSPR_HOP_COORDINATED && now.txpct <= 100 && now.offset <= 100;
    for (unsigned i = 0; day_ok && i < now.band_count; ++i) {
        day_ok = FreqOk(i == 0 ? now.freq : now.band_hz[i]) && now.band_code[i] <= 7;
    }
    FUZZ_CHECK(day_ok, Describe(now));
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
