#include "app_shell.h"

#include <stdio.h>
#include <string.h>

#include "app_clock.h"
#include "app_lines.h"
#include "app_message.h"
#include "app_reference.h"
#include "app_serial.h"
#include "app_settings.h"
#include "app_transmitter.h"
#include "band_list.h"
#include "si5351.h"

namespace {

constexpr uint8_t CMD_LINE_SIZE = 40;
// The LF of a CR LF is waited for this long at most after the reply has left.
constexpr uint32_t LF_WAIT_MS = 100;
// A line that lost input may have lost its line end too: once nothing has come for this long, it
// is ended (and refused), so that the next line starts clean.
constexpr uint32_t LOST_LINE_QUIET_MS = 1000;

constexpr bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
constexpr bool IsLower(char c) {
    return c >= 'a' && c <= 'z';
}

void ToUpper(char *text) {
    for (; *text != '\0'; ++text) {
        if (IsLower(*text)) {
            *text = static_cast<char>(*text - 32);
        }
    }
}

// Digits, at least one; the text after them is left for the caller. Above 2^32 - 1 the value comes
// back as 0xFFFFFFFF, which every caller refuses as out of range, so nothing wraps into range.
bool ParseDigits(const char *&text, uint32_t &value) {
    const char *p = text;
    if (!IsDigit(*p)) {
        return false;
    }
    uint64_t v = 0;
    for (; IsDigit(*p); ++p) {
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        if (v > 0xFFFFFFFFULL) {
            v = 0xFFFFFFFFULL;
        }
    }
    value = static_cast<uint32_t>(v);
    text = p;
    return true;
}

// The whole argument is one number: digits and nothing else (no blank, sign, point or unit).
bool ParseNumber(const char *text, uint32_t &value) {
    return ParseDigits(text, value) && *text == '\0';
}

// The reply to a number out of its range: "error: <what> must be lo..hi Hz".
void RangeError(const char *what, uint32_t lo, uint32_t hi) {
    char line[64];
    snprintf(line, sizeof line, "error: %s must be %lu..%lu Hz\r\n", what,
             static_cast<unsigned long>(lo), static_cast<unsigned long>(hi));
    Serial_Write(line);
}

bool RefusedWhileTransmitting() {
    if (Tx_State() == WSPR_STATE_TX || Lines_Leading()) {
        Serial_Write("error: not while transmitting\r\n");
        return true;
    }
    return false;
}

void Ok() {
    Serial_Write("ok\r\n");
}

// ---- Handlers: each gets the rest of the upper-cased line after its command's text ----

// A compound callsign sends a locator only in its type 3 frames, which need all 6 characters.
bool LocatorUnsent() {
    const WSPR_Settings &s = Settings_Live();
    return (s.call_prefix[0] != '\0' || s.call_suffix[0] != '\0') && s.subsquare[0] == '\0';
}

// "ok", or what the operator should know of the settings it leaves.
void OkForMessage() {
    Serial_Write(LocatorUnsent()
                     ? "ok, but no locator is sent: a compound callsign needs 6 chars\r\n"
                     : "ok\r\n");
}

void SetCallsign(const char *value) {
    switch (Settings_CheckCallsign(value)) {
    case SettingCheck::OK:
        Settings_SetCallsign(&Settings_Live(), value);
        OkForMessage();
        return;
    case SettingCheck::TOO_LONG:
        Serial_Write("error: callsign too long\r\n");
        return;
    case SettingCheck::BAD_PREFIX:
        Serial_Write("error: prefix must be 1 to 3 letters or digits\r\n");
        return;
    case SettingCheck::BAD_SUFFIX:
        Serial_Write("error: suffix must be 1 letter or digit, or 2 digits 10..99\r\n");
        return;
    case SettingCheck::TWO_ADDONS:
        Serial_Write("error: one prefix or one suffix only\r\n");
        return;
    default:
        Serial_Write("error: invalid callsign\r\n");
        return;
    }
}

// A fixed locator, or "gnss": the receiver's positions move it (between frames).
void SetLocator(const char *value) {
    if (strcmp(value, "GNSS") == 0) {
        Settings_Live().locator_gnss = true;
        Ok();
        return;
    }
    switch (Settings_CheckLocator(value)) {
    case SettingCheck::OK:
        Settings_SetLocator(&Settings_Live(), value);
        OkForMessage();
        return;
    case SettingCheck::WRONG_LENGTH:
        Serial_Write("error: locator must be 4 or 6 chars\r\n");
        return;
    case SettingCheck::BAD_SUBSQUARE:
        Serial_Write("error: subsquare letters must be A..X\r\n");
        return;
    default:
        Serial_Write("error: invalid locator\r\n");
        return;
    }
}

void SetPower(const char *value) {
    uint32_t dbm = 0;
    const SettingCheck check =
        ParseNumber(value, dbm) ? Settings_CheckPower(dbm) : SettingCheck::OUT_OF_RANGE;
    if (check == SettingCheck::OK) {
        Settings_Live().power_dbm = static_cast<uint8_t>(dbm);
        Ok();
    } else if (check == SettingCheck::NOT_A_LEVEL) {
        Serial_Write("error: power must end in 0, 3 or 7 dBm\r\n");
    } else {
        Serial_Write("error: power must be 0..60 dBm\r\n");
    }
}

void SetMode(const char *value) {
    const uint8_t mode = TxMode_ByName(value);
    if (mode < TX_MODE_COUNT) {
        Settings_Live().mode = mode;
        Ok();
    } else {
        Serial_Write("error: mode must be wspr, fst4w-120, fst4w-300, fst4w-900 or fst4w-1800\r\n");
    }
}

void SetFreq(const char *value) {
    uint32_t hz = 0;
    if (!ParseNumber(value, hz) || Settings_CheckFreq(hz) != SettingCheck::OK) {
        RangeError("freq", WSPR_MIN_FREQ_HZ, WSPR_MAX_FREQ_HZ);
    } else if (!BandList_KeepsMargin(hz)) {
        Serial_Write("error: freq too close to 150 MHz, the Si5351 would run at its limits\r\n");
    } else {
        WSPR_Settings &s = Settings_Live();
        s.base_freq_hz = hz; // a list of one entry, code 0
        s.band_count = 1;
        s.band_code[0] = 0;
        Ok();
    }
}

void SetHop(const char *value) {
    if (strcmp(value, "ORDER") == 0) {
        Settings_Live().hop_mode = WSPR_HOP_ORDER;
    } else if (strcmp(value, "COORDINATED") == 0) {
        Settings_Live().hop_mode = WSPR_HOP_COORDINATED;
    } else {
        Serial_Write("error: use set hop order|coordinated\r\n");
        return;
    }
    Ok();
}

void SetTxPercent(const char *value) {
    uint32_t percent = 0;
    if (ParseNumber(value, percent) && Settings_CheckTxPercent(percent) == SettingCheck::OK) {
        Settings_Live().tx_percent = static_cast<uint8_t>(percent);
        Ok();
    } else {
        Serial_Write("error: txpct must be 0..100\r\n");
    }
}

void SetOffset(const char *value) {
    uint32_t hz = 0;
    if (ParseNumber(value, hz) && Settings_CheckOffset(hz) == SettingCheck::OK) {
        Settings_Live().offset_hz = static_cast<uint8_t>(hz);
        Ok();
    } else {
        RangeError("offset", 0, WSPR_MAX_OFFSET_HZ);
    }
}

// The whole list is checked before any of it is taken; the reply to a bad one names the entry.
void SetBands(const char *value) {
    char bad[CMD_LINE_SIZE];
    WSPR_Settings &s = Settings_Live();
    switch (BandList_Take(value, s, nullptr, bad, sizeof bad)) {
    case BandListCheck::OK:
        (void)BandList_Take(value, s, &s, nullptr, 0);
        Ok();
        return;
    case BandListCheck::COUNT:
        Serial_Write("error: bands takes 1 to 12 entries\r\n");
        return;
    case BandListCheck::MARGIN: {
        char line[112];
        snprintf(line, sizeof line,
                 "error: %s: too close to 150 MHz, the Si5351 would run at its limits\r\n", bad);
        Serial_Write(line);
        return;
    }
    case BandListCheck::CODE: {
        char line[80];
        snprintf(line, sizeof line, "error: %s: code must be 0..7\r\n", bad);
        Serial_Write(line);
        return;
    }
    case BandListCheck::ENTRY: {
        char line[96];
        snprintf(line, sizeof line, "error: %s: not a band or %lu..%lu Hz\r\n", bad,
                 static_cast<unsigned long>(WSPR_MIN_FREQ_HZ),
                 static_cast<unsigned long>(WSPR_MAX_FREQ_HZ));
        Serial_Write(line);
        return;
    }
    }
}

void SetXtal(const char *value) {
    uint32_t hz = 0;
    if (ParseNumber(value, hz) && Settings_CheckXtal(hz) == SettingCheck::OK) {
        Settings_Live().xtal_hz = hz;
        Ok();
    } else {
        RangeError("xtal", SI5351_XTAL_MIN_HZ, SI5351_XTAL_MAX_HZ);
    }
}

// "HH:MM:SS": three numbers of digits only, separated by colons, and nothing after them.
void SetTime(const char *value) {
    uint32_t fields[3] = {};
    const char *p = value;
    const bool ok = ParseDigits(p, fields[0]) && *p++ == ':' && ParseDigits(p, fields[1]) &&
                    *p++ == ':' && ParseDigits(p, fields[2]) && *p == '\0';
    if (!ok) {
        Serial_Write("error: use time HH:MM:SS\r\n");
        return;
    }
    Clock_Set(fields[0], fields[1], fields[2], "PC");
}

// The callsign, the locator and where it comes from, and the frames they give in turn.
void ShowMessage(char *line, size_t size) {
    const WSPR_Settings &s = Settings_Live();
    char call[WSPR_CALL_TEXT_MAX + 1];
    char locator[WSPR_GRID6_LEN + 1];
    Settings_CallsignText(&s, call);
    Settings_LocatorText(&s, locator);
    snprintf(line, size, "Message: %s %s %udBm\r\nLocator: %s (%s)\r\n", call, locator,
             static_cast<unsigned>(s.power_dbm), locator, s.locator_gnss ? "GNSS" : "fixed");
    Serial_Write(line);
    const int n = snprintf(line, size, "Frames: ");
    Message_Describe(line + n, static_cast<uint32_t>(size - static_cast<size_t>(n) - 2U));
    strcat(line, "\r\n");
    Serial_Write(line);
}

void Show(const char *) {
    const WSPR_Settings &s = Settings_Live();
    const WSPR_State state = Tx_State();
    const uint32_t seconds = Clock_UtcSeconds();

    char line[128];
    snprintf(line, sizeof line, "\r\nState: %s\r\n",
             state == WSPR_STATE_TX     ? "TX"
             : state == WSPR_STATE_IDLE ? "IDLE"
                                        : "ERROR");
    Serial_Write(line);
    ShowMessage(line, sizeof line);
    const TxModeInfo &mode = TxMode_Info(s.mode);
    snprintf(line, sizeof line, "Mode: %s, period %u s\r\nRF: %lu Hz, tone spacing %lu uHz\r\n",
             mode.name, static_cast<unsigned>(mode.period_s),
             static_cast<unsigned long>(s.base_freq_hz),
             static_cast<unsigned long>(mode.spacing_uhz));
    Serial_Write(line);
    snprintf(line, sizeof line, "XTAL: %lu Hz\r\n", static_cast<unsigned long>(s.xtal_hz));
    Serial_Write(line);
    const int n = snprintf(line, sizeof line, "Reference: ");
    Reference_Describe(line + n, sizeof line - static_cast<size_t>(n) - 2U);
    strcat(line, "\r\n");
    Serial_Write(line);
    Serial_Write("Bands:");
    for (int i = 0; i < Settings_BandCount(s); ++i) {
        char entry[24];
        BandList_FormatEntry(s, i, entry, sizeof entry);
        snprintf(line, sizeof line, " %s", entry);
        Serial_Write(line);
    }
    snprintf(line, sizeof line, "\r\nHop: %s, TX share: %u%%, offset: +-%u Hz\r\n",
             s.hop_mode == WSPR_HOP_COORDINATED ? "coordinated" : "order",
             static_cast<unsigned>(s.tx_percent), static_cast<unsigned>(s.offset_hz));
    Serial_Write(line);
    const bool valid = Clock_Valid();
    snprintf(line, sizeof line, "Auto: %s, Time: %s", s.auto_tx ? "ON" : "OFF",
             valid ? "valid " : "invalid\r\n");
    Serial_Write(line);
    if (valid) {
        snprintf(line, sizeof line, "%02lu:%02lu:%02lu UTC\r\n",
                 static_cast<unsigned long>(seconds / 3600U),
                 static_cast<unsigned long>((seconds / 60U) % 60U),
                 static_cast<unsigned long>(seconds % 60U));
        Serial_Write(line);
    }
    Serial_Write("\r\n");
}

// A measured crystal is kept as the starting value of the next start, to the hertz.
void Save(const char *) {
    if (RefusedWhileTransmitting()) {
        return;
    }
    if (Reference_State() != ReferenceState::SET) {
        Settings_Live().xtal_hz = static_cast<uint32_t>((Reference_XtalMilliHz() + 500U) / 1000U);
    }
    const HAL_StatusTypeDef status = Settings_Keep();
    if (status == HAL_OK) {
        Ok();
    } else {
        Serial_WriteStatus("Settings save failed: ", status);
    }
}

// Nothing written during a frame (the flash would stall the symbol clock), as for save.
void Defaults(const char *) {
    if (RefusedWhileTransmitting()) {
        return;
    }
    const HAL_StatusTypeDef status = Settings_BackToDefaults();
    if (status == HAL_OK) {
        Ok();
    } else {
        Serial_WriteStatus("Settings save failed: ", status);
    }
}

void RequestTx(const char *) {
    Lines_RequestFrame();
}
void Stop(const char *) {
    Tx_Stop();
}
void AutoOn(const char *) {
    Settings_Live().auto_tx = true;
    Ok();
}
void AutoOff(const char *) {
    Settings_Live().auto_tx = false;
    Ok();
}
void Help(const char *);

// The commands, matched in this order against the upper-cased line: a whole command must be the
// line exactly; a prefix (its text ends in the space before the argument) hands the rest of the
// line to its handler. No blanks are trimmed. `help` lists the entries that have a usage, in this
// order; an alias has none.
enum class Match : uint8_t { WHOLE, PREFIX };
struct Command {
    const char *text;
    Match match;
    void (*run)(const char *argument);
    const char *usage;
    const char *what;
};
constexpr Command k_commands[] = {
    {"HELP", Match::WHOLE, Help, "help", "Show this help"},
    {"?", Match::WHOLE, Help, nullptr, nullptr},
    {"SHOW", Match::WHOLE, Show, "show", "Show current configuration and state"},
    {"SET CALL ", Match::PREFIX, SetCallsign, "set call CALL",
     "Set callsign: CALL, PFX/CALL or CALL/SFX"},
    {"SET GRID ", Match::PREFIX, SetLocator, "set grid GRID|gnss",
     "Set 4/6-char locator (OM85AB), or from GNSS"},
    {"SET LOC ", Match::PREFIX, SetLocator, nullptr, nullptr},
    {"SET POWER ", Match::PREFIX, SetPower, "set power DBM", "Set WSPR power dBm, 0..60"},
    {"SET FREQ ", Match::PREFIX, SetFreq, "set freq HZ", "Set direct RF output frequency in Hz"},
    {"SET XTAL ", Match::PREFIX, SetXtal, "set xtal HZ",
     "Set Si5351 crystal in Hz (used until PPS lock)"},
    {"SET MODE ", Match::PREFIX, SetMode, "set mode MODE",
     "wspr, fst4w-120, fst4w-300, fst4w-900, fst4w-1800"},
    {"SET BANDS ", Match::PREFIX, SetBands, "set bands LIST",
     "Bands (40m) or HZ, each :CODE 0..7; + LIST adds"},
    {"SET HOP ", Match::PREFIX, SetHop, "set hop MODE", "Band hopping: order or coordinated"},
    {"SET TXPCT ", Match::PREFIX, SetTxPercent, "set txpct P", "Share of slots sent, 0..100 %"},
    {"SET OFFSET ", Match::PREFIX, SetOffset, "set offset HZ",
     "Random offset per frame, 0..100 Hz"},
    {"SAVE", Match::WHOLE, Save, "save", "Keep settings (and PPS crystal) over a reset"},
    {"DEFAULTS", Match::WHOLE, Defaults, "defaults", "Back to built-in settings"},
    {"TIME ", Match::PREFIX, SetTime, "time HH:MM:SS", "Set UTC time from PC"},
    {"AUTO ON", Match::WHOLE, AutoOn, "auto on|off", "Enable/disable even-minute auto TX"},
    {"AUTO 1", Match::WHOLE, AutoOn, nullptr, nullptr},
    {"AUTO OFF", Match::WHOLE, AutoOff, nullptr, nullptr},
    {"AUTO 0", Match::WHOLE, AutoOff, nullptr, nullptr},
    {"TX", Match::WHOLE, RequestTx, "tx", "Transmit one WSPR frame now"},
    {"STOP", Match::WHOLE, Stop, "stop", "Stop TX and disable CLK1"},
};
constexpr int COMMAND_COUNT = sizeof k_commands / sizeof k_commands[0];

// ---- The reply in progress and the line being typed ----

// Help is written a line at a time as the output drains: -1 none, 0 its heading, 1..COMMAND_COUNT
// the table's entries, COMMAND_COUNT + 1 its end.
int g_help_next = -1;
// A command line ended by CR: an LF that follows is the other half of the terminal's Enter. It is
// waited for until the reply has left (at most LF_WAIT_MS more), with the prompt held back.
bool g_cr_line = false;
bool g_awaiting_lf = false;
uint32_t g_reply_end = 0;
uint32_t g_awaiting_since_ms = 0;

// The line being typed; it survives any number of passes, frames and log lines. A line that lost
// input or ran over its size is refused whole when it ends, whatever editing followed.
char g_line[CMD_LINE_SIZE];
uint8_t g_line_pos = 0;
bool g_line_lost = false;
bool g_line_too_long = false;
uint32_t g_last_input_ms = 0; // the last byte or loss taken in

void Help(const char *) {
    g_help_next = 0;
}

// Writes what fits of the help; true when it is all out.
bool ContinueHelp() {
    char line[80];
    while (g_help_next >= 0) {
        if (g_help_next == 0) {
            snprintf(line, sizeof line, "\r\nCommands:\r\n");
        } else if (g_help_next > COMMAND_COUNT) {
            snprintf(line, sizeof line, "\r\n");
        } else if (const Command &c = k_commands[g_help_next - 1]; c.usage != nullptr) {
            snprintf(line, sizeof line, "  %-20s %s\r\n", c.usage, c.what);
        } else {
            ++g_help_next;
            continue;
        }
        if (Serial_Room() < strlen(line) + SERIAL_LOG_RESERVE) {
            return false;
        }
        Serial_Write(line);
        g_help_next = g_help_next > COMMAND_COUNT ? -1 : g_help_next + 1;
    }
    return true;
}

// The reply of the last line is complete in the output ring.
void ReplyWritten() {
    if (g_cr_line) {
        g_cr_line = false;
        g_awaiting_lf = true;
        g_reply_end = Serial_Written();
        g_awaiting_since_ms = Clock_Ms();
    }
}

void HandleCommand(char *cmd) {
    ToUpper(cmd);
    if (cmd[0] == '\0') {
        return;
    }
    for (const Command &c : k_commands) {
        const size_t len = strlen(c.text);
        if (c.match == Match::WHOLE ? strcmp(cmd, c.text) == 0 : strncmp(cmd, c.text, len) == 0) {
            c.run(cmd + len);
            return;
        }
    }
    Serial_Write("error: unknown command, type help\r\n");
}

// The output has room for a line's echo, reply and prompt beside the log lines.
bool RoomForReply() {
    return Serial_Room() >= SERIAL_LOG_RESERVE + SERIAL_REPLY_ROOM;
}

// The reply to a line that is not run: what was wrong with it, in this order of precedence.
void RefuseLine() {
    if (g_line_lost) {
        Serial_Write("error: input lost, line ignored\r\n");
    } else if (g_line_too_long) {
        char line[48];
        snprintf(line, sizeof line, "error: line too long, max %u chars\r\n",
                 static_cast<unsigned>(CMD_LINE_SIZE - 1));
        Serial_Write(line);
    } else {
        Serial_Write("error: NUL byte in line\r\n");
    }
}

// A line is complete: the command runs (or the line is refused) and the prompt follows. True when
// the line held a command or was refused.
bool EndLine() {
    const bool refused =
        g_line_lost || g_line_too_long || memchr(g_line, '\0', g_line_pos) != nullptr;
    g_line[g_line_pos] = '\0';
    Serial_Write("\r\n");
    if (refused) {
        RefuseLine();
    } else {
        HandleCommand(g_line);
    }
    Serial_RequestPrompt();
    const bool answered = refused || g_line_pos > 0;
    g_line_pos = 0;
    g_line_lost = false;
    g_line_too_long = false;
    return answered;
}

// While an LF may still follow a CR line: true when the pass should take no input yet.
bool WaitingForLf() {
    if (!g_awaiting_lf) {
        return false;
    }
    uint8_t byte;
    if (Serial_NextByteIs(Link::CONSOLE, '\n') && Serial_Pop(Link::CONSOLE, byte)) {
        g_awaiting_lf = false;
        (void)EndLine();
        return true;
    }
    const bool reply_left = static_cast<int32_t>(Serial_Sent() - g_reply_end) >= 0;
    if (Serial_Pending(Link::CONSOLE) > 0 || reply_left ||
        Clock_Ms() - g_awaiting_since_ms >= LF_WAIT_MS) {
        g_awaiting_lf = false; // the prompt goes out at the end of this pass, input in the next
    }
    return true;
}

} // namespace

// Line editor: echo, backspace, CR or LF ends a line; at most CMD_LINE_SIZE - 1 characters (a
// longer line is refused when it ends, as is one holding a NUL byte or one that lost input). Input
// is taken only while the output has room for its echo and a reply beside the log lines, a pass
// takes at most the bytes that were waiting when it began and stops after a line that was
// answered, so no stream of input (a flood, a paste, a console wired back to itself) holds up the
// symbol clock, GNSS, the scheduler or the key. Empty lines cost two bytes of echo and do not end
// it.
void Shell_Process() {
    if (g_help_next >= 0) {
        if (!ContinueHelp()) {
            return;
        }
        ReplyWritten();
    }
    if (WaitingForLf()) {
        return;
    }
    uint8_t byte;
    bool lost = false;
    for (uint8_t n = Serial_Pending(Link::CONSOLE);
         n > 0 && RoomForReply() && Serial_Pop(Link::CONSOLE, byte, lost); --n) {
        g_last_input_ms = Clock_Ms();
        g_line_lost = g_line_lost || lost;
        if (byte == '\r' || byte == '\n') {
            if (EndLine()) {
                g_cr_line = byte == '\r';
                if (g_help_next < 0 || ContinueHelp()) {
                    ReplyWritten();
                }
                return;
            }
        } else if (byte == 8 || byte == 127) {
            if (g_line_pos > 0) {
                --g_line_pos;
                Serial_Write("\b \b");
            }
        } else if (g_line_pos < CMD_LINE_SIZE - 1) {
            g_line[g_line_pos++] = static_cast<char>(byte);
            Serial_WriteBytes(&byte, 1);
        } else {
            g_line_too_long = true;
        }
    }
    // A loss after the last byte, with nothing since: the line it fell in is the one being typed.
    if (Serial_TakeLoss(Link::CONSOLE)) {
        g_line_lost = true;
        g_last_input_ms = Clock_Ms();
    }
    if (g_line_lost && RoomForReply() && Serial_Pending(Link::CONSOLE) == 0 &&
        Clock_Ms() - g_last_input_ms >= LOST_LINE_QUIET_MS) {
        (void)EndLine();
    }
}

bool Shell_ReadyForPrompt() {
    return g_help_next < 0 && !g_awaiting_lf;
}

uint8_t Shell_LineLength() {
    return g_line_pos;
}
