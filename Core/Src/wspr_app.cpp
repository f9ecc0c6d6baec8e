// The beacon application, by concern, each part's state beside its code: console output and the
// receive rings, the transmission sequencer, the UTC clock and even-minute scheduler, the command
// shell, and the core with its main loop, tick, LED and key.
#include "wspr_app.h"

#include <stdio.h>
#include <string.h>

#include "app_config.h"
#include "gnss_time.h"
#include "i2c.h"
#include "iwdg.h"
#include "main.h"
#include "settings_store.h"
#include "si5351.h"
#include "usart.h"
#include "wspr_encoder.h"

namespace {

// ---- Character classes of the "C" locale --------------------------------------------------------

constexpr bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
constexpr bool IsUpper(char c) {
    return c >= 'A' && c <= 'Z';
}
constexpr bool IsLower(char c) {
    return c >= 'a' && c <= 'z';
}
constexpr bool IsAlnum(char c) {
    return IsDigit(c) || IsUpper(c) || IsLower(c);
}
constexpr bool IsBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// ==== Console output and the serial receive rings ================================================

constexpr uint16_t LOG_TIMEOUT_MS = 100;
constexpr uint8_t RING_MASK = UART_RX_RING_SIZE - 1;
static_assert((UART_RX_RING_SIZE & RING_MASK) == 0, "ring size must be a power of two");

// One serial link: the one-byte reception buffer and the receive ring. The interrupt writes the
// head, the main loop the tail; one slot stays free, so a ring holds one byte less than its size.
struct Channel {
    volatile uint8_t rx_byte;
    volatile uint8_t ring[UART_RX_RING_SIZE];
    volatile uint8_t head;
    volatile uint8_t tail;
};

// The links and the UARTs they are on: told apart by the peripheral instance in the handle.
enum : uint8_t { CONSOLE, GNSS, CHANNEL_COUNT };
struct Link {
    UART_HandleTypeDef *uart;
    uintptr_t instance;
};
constexpr Link k_links[CHANNEL_COUNT] = {{&huart1, USART1_BASE}, {&huart2, USART2_BASE}};
Channel g_channels[CHANNEL_COUNT] = {};

Channel *ChannelOf(const UART_HandleTypeDef *huart) {
    for (uint8_t c = 0; c < CHANNEL_COUNT; ++c) {
        if (reinterpret_cast<uintptr_t>(huart->Instance) == k_links[c].instance) {
            return &g_channels[c];
        }
    }
    return nullptr;
}

void ArmRx(const Channel &ch) {
    const Link &link = k_links[&ch - g_channels];
    (void)HAL_UART_Receive_IT(link.uart, const_cast<uint8_t *>(&ch.rx_byte), 1);
}

void PushByte(Channel &ch) {
    const uint8_t next = static_cast<uint8_t>((ch.head + 1) & RING_MASK);
    if (next != ch.tail) {
        ch.ring[ch.head] = ch.rx_byte; // stored before the head moves past it
        ch.head = next;
    }
}

// Takes the oldest byte with interrupts masked; false when the ring is empty.
bool PopByte(Channel &ch, uint8_t &byte) {
    if (ch.tail == ch.head) {
        return false;
    }
    __disable_irq();
    byte = ch.ring[ch.tail];
    ch.tail = static_cast<uint8_t>((ch.tail + 1) & RING_MASK);
    __enable_irq();
    return true;
}

bool NextByteIs(const Channel &ch, uint8_t byte) {
    return ch.tail != ch.head && ch.ring[ch.tail] == byte;
}

uint8_t Pending(const Channel &ch) {
    return static_cast<uint8_t>((ch.head - ch.tail) & RING_MASK);
}

void WSPR_Log(const char *message) {
    (void)HAL_UART_Transmit(&huart1, reinterpret_cast<const uint8_t *>(message),
                            static_cast<uint16_t>(strlen(message)), LOG_TIMEOUT_MS);
}

void WSPR_PrintPrompt() {
    WSPR_Log("wspr> ");
}

void WSPR_LogLine(const char *prefix, HAL_StatusTypeDef status) {
    char line[80];
    snprintf(line, sizeof line, "%s%d\r\n", prefix, static_cast<int>(status));
    WSPR_Log(line);
}

// The prompt after a completed line or a frame, printed at the end of a pass outside a frame.
bool g_prompt_pending = false;

// ==== Application state and settings ============================================================

WSPR_State g_state = WSPR_STATE_ERROR;

// The settings, as the console sets them.
char g_callsign[CALLSIGN_MAX_LEN + 1] = WSPR_DEFAULT_CALLSIGN;
char g_locator[LOCATOR_MAX_LEN + 1] = WSPR_DEFAULT_LOCATOR;
uint8_t g_power_dbm = WSPR_DEFAULT_POWER_DBM;
uint32_t g_base_freq_hz = WSPR_DEFAULT_FREQ_HZ;
uint32_t g_xtal_hz = SI5351_XTAL_HZ;
bool g_auto_tx_enabled = true;

// A frame start asked for by the "tx" command, the key or the scheduler; served in the same pass.
bool g_tx_request = false;

// The millisecond count of the tick. The 32-bit count wraps after 49.7 days; symbol timing runs on
// a 64-bit extension that the main loop advances by the unsigned difference since its last look
// (it looks every tick).
volatile uint32_t g_ms = 0;
uint64_t g_ms64 = 0;
uint32_t g_ms_seen = 0;

uint64_t NowMs64() {
    const uint32_t now = g_ms;
    g_ms64 += static_cast<uint32_t>(now - g_ms_seen);
    g_ms_seen = now;
    return g_ms64;
}

// ==== Transmission sequencer =====================================================================

constexpr uint8_t TONE_COUNT = 4;

uint8_t g_symbols[WSPR_SYMBOL_COUNT] = {};
uint16_t g_symbol_index = 0;
uint64_t g_next_symbol_us = 0; // in the scale of the 64-bit millisecond count x 1000
bool g_freq_update_pending = false;

// The tones of the frame on the air, planned for this base frequency and crystal.
Si5351TonePlan g_plan = {};
uint32_t g_plan_base_hz = 0;
uint32_t g_plan_xtal_hz = 0;

uint64_t WSPR_SymbolFreqUhz(uint8_t symbol) {
    return static_cast<uint64_t>(g_base_freq_hz) * 1000000ULL +
           static_cast<uint64_t>(symbol) * WSPR_TONE_SPACING_UHZ;
}

// A Si5351 operation that ended BUSY or timed out may have left the bus held (a slave stuck in
// the middle of a byte): the bus is freed for the next one. The status goes back unchanged.
HAL_StatusTypeDef Bus(HAL_StatusTypeDef status) {
    if (status == HAL_BUSY || status == HAL_TIMEOUT) {
        (void)MX_I2C1_Recover();
    }
    return status;
}

// Plans the four tones for the base frequency and crystal set now and puts CLK1 on the tone of
// `symbol` with the full set-up.
HAL_StatusTypeDef WSPR_StartTones(uint8_t symbol) {
    if (!Si5351_PlanTones(g_xtal_hz, WSPR_SymbolFreqUhz(0), WSPR_TONE_SPACING_UHZ, TONE_COUNT,
                          &g_plan)) {
        return HAL_ERROR;
    }
    g_plan_base_hz = g_base_freq_hz;
    g_plan_xtal_hz = g_xtal_hz;
    return Bus(Si5351_StartTone(&g_plan, symbol));
}

// A tone change within the frame sends only the divider that moves; a base frequency or crystal
// changed since the frame started needs a new plan and a new set-up.
HAL_StatusTypeDef WSPR_KeySymbol(uint8_t symbol) {
    if (g_plan_base_hz != g_base_freq_hz || g_plan_xtal_hz != g_xtal_hz) {
        return WSPR_StartTones(symbol);
    }
    return Bus(Si5351_KeyTone(&g_plan, symbol));
}

// ---- ERROR, CLK1 off and the way back without an operator ----

constexpr uint8_t OFF_TRIES = 3;          // at once, before the failure is reported
constexpr uint32_t OFF_RETRY_MS = 100;    // then again this often until it works
constexpr uint32_t INIT_RETRY_MS = 30000; // in ERROR, the Si5351 start-up again this often

bool g_off_pending = false; // switching CLK1 off failed: it may still be on
uint32_t g_off_tried_ms = 0;
uint32_t g_init_tried_ms = 0;

void WSPR_EnterError() {
    if (g_state != WSPR_STATE_ERROR) {
        g_init_tried_ms = g_ms;
    }
    g_state = WSPR_STATE_ERROR;
}

// CLK1 off, checked: true when the chip took it. A failure is retried at once, then every
// OFF_RETRY_MS; it puts the beacon in ERROR and is reported once.
bool WSPR_SetIdleOutput() {
    HAL_StatusTypeDef status = HAL_ERROR;
    for (uint8_t n = 0; n < OFF_TRIES && status != HAL_OK; ++n) {
        status = Bus(Si5351_DisableOutputs(&hi2c1));
    }
    g_off_tried_ms = g_ms;
    if (status == HAL_OK) {
        g_off_pending = false;
        return true;
    }
    if (!g_off_pending) {
        WSPR_LogLine("Si5351 output off failed: ", status);
    }
    g_off_pending = true;
    WSPR_EnterError();
    return false;
}

// Once per tick: the pending CLK1 off again, and in ERROR the Si5351 start-up every 30 s; when it
// answers, the beacon is IDLE with CLK1 off and the schedule goes on.
void WSPR_ProcessRecovery() {
    const uint32_t now = g_ms;
    if (g_off_pending && now - g_off_tried_ms >= OFF_RETRY_MS) {
        (void)WSPR_SetIdleOutput();
    }
    if (g_state != WSPR_STATE_ERROR || now - g_init_tried_ms < INIT_RETRY_MS) {
        return;
    }
    g_init_tried_ms = now;
    const HAL_StatusTypeDef status = Bus(Si5351_Init(&hi2c1));
    WSPR_LogLine("Si5351 init status: ", status);
    if (status == HAL_OK && WSPR_SetIdleOutput()) {
        g_state = WSPR_STATE_IDLE;
        g_prompt_pending = true;
    }
}

// The end of a frame, and "stop": IDLE once CLK1 is off; a failed off leaves ERROR instead.
void WSPR_StopTx() {
    g_symbol_index = 0;
    g_freq_update_pending = false;
    if (WSPR_SetIdleOutput()) {
        g_state = WSPR_STATE_IDLE;
        WSPR_Log("TX complete, CLK1 disabled\r\n");
    }
    g_prompt_pending = true;
}

// Out of line: its buffer stays off the stack while the tones are planned.
[[gnu::noinline]] void WSPR_LogTxStart() {
    char line[96];
    snprintf(line, sizeof line, "TX start %s %s %ddBm, %u symbols\r\n", g_callsign, g_locator,
             static_cast<int>(g_power_dbm), static_cast<unsigned>(WSPR_SYMBOL_COUNT));
    WSPR_Log(line);
}

void WSPR_StartTx() {
    if (g_state == WSPR_STATE_ERROR) {
        WSPR_Log("TX rejected: app error\r\n");
        return;
    }
    if (g_state == WSPR_STATE_TX) {
        WSPR_Log("TX rejected: already transmitting\r\n");
        return;
    }
    if (!WSPR_Encode(g_callsign, g_locator, g_power_dbm, g_symbols)) {
        WSPR_EnterError();
        WSPR_Log("WSPR encode failed\r\n");
        return;
    }
    g_symbol_index = 0;
    g_next_symbol_us = NowMs64() * 1000ULL + WSPR_SYMBOL_PERIOD_US;

    const HAL_StatusTypeDef status = WSPR_StartTones(g_symbols[0]);
    if (status != HAL_OK) {
        WSPR_EnterError();
        // The failed setting may have left a carrier on; no carrier outside a frame.
        (void)WSPR_SetIdleOutput();
        WSPR_LogLine("Si5351 tone set failed: ", status);
        return;
    }
    g_state = WSPR_STATE_TX;
    g_freq_update_pending = false;
    WSPR_LogTxStart();
}

// Boundaries advance by the fixed period from the frame start, never re-based on the current
// time, so a late pass skips symbols but the frame keeps its length and alignment.
void WSPR_ProcessSymbolDue() {
    const uint64_t now_us = NowMs64() * 1000ULL;
    if (g_state != WSPR_STATE_TX) {
        return;
    }
    while (now_us >= g_next_symbol_us) {
        g_next_symbol_us += WSPR_SYMBOL_PERIOD_US;
        g_symbol_index = static_cast<uint16_t>(g_symbol_index + 1);
        g_freq_update_pending = true;
        if (g_symbol_index > WSPR_SYMBOL_COUNT - 1) {
            WSPR_StopTx();
            return;
        }
    }
}

void WSPR_ProcessFreqUpdate() {
    if (!g_freq_update_pending || g_state != WSPR_STATE_TX) {
        return;
    }
    g_freq_update_pending = false;
    const HAL_StatusTypeDef status = WSPR_KeySymbol(g_symbols[g_symbol_index]);
    if (status != HAL_OK) {
        WSPR_EnterError();
        (void)WSPR_SetIdleOutput();
        WSPR_LogLine("Si5351 tone update failed: ", status);
    }
}

// ==== UTC clock and even-minute scheduler ========================================================

constexpr uint32_t NO_MINUTE = 0xFFFFFFFFU;

// Advanced by the tick while valid; set, and read for the schedule and the report, with
// interrupts masked.
volatile bool g_time_valid = false;
volatile uint32_t g_utc_seconds = 0;
volatile uint16_t g_utc_ms = 0;
volatile uint32_t g_last_auto_tx_minute = NO_MINUTE;

uint32_t UtcSeconds() {
    __disable_irq();
    const uint32_t seconds = g_utc_seconds;
    __enable_irq();
    return seconds;
}

void WSPR_SetTime(uint32_t hour, uint32_t minute, uint32_t second, const char *source) {
    if (hour > 23 || minute > 59 || second > 59) {
        WSPR_Log("TIME rejected\r\n");
        return;
    }
    __disable_irq();
    g_utc_seconds = hour * 3600U + minute * 60U + second;
    g_utc_ms = 0;
    g_time_valid = true;
    g_last_auto_tx_minute = NO_MINUTE;
    __enable_irq();

    char line[64];
    snprintf(line, sizeof line, "TIME set %02u:%02u:%02u UTC from %s\r\n",
             static_cast<unsigned>(hour), static_cast<unsigned>(minute),
             static_cast<unsigned>(second), source);
    WSPR_Log(line);
}

// At most the bytes that were waiting when it began (as for the console).
void WSPR_ProcessGnss() {
    Channel &ch = g_channels[GNSS];
    uint8_t byte;
    for (uint8_t n = Pending(ch); n > 0 && PopByte(ch, byte); --n) {
        GnssTime fix = {};
        if (GNSS_TimeParser_Push(byte, &fix)) {
            WSPR_SetTime(fix.hour, fix.minute, fix.second, "GNSS");
        }
    }
}

void WSPR_ProcessAutoTx() {
    if (!g_time_valid || !g_auto_tx_enabled || g_state != WSPR_STATE_IDLE) {
        return;
    }
    const uint32_t seconds = UtcSeconds();
    const uint32_t minute_index = seconds / 60U;
    const uint32_t minute = minute_index % 60U;
    const uint32_t second = seconds % 60U;
    if (minute % 2U == 0 && second == 0 && minute_index != g_last_auto_tx_minute) {
        g_last_auto_tx_minute = minute_index;
        g_tx_request = true;
    }
}

void AdvanceUtc() {
    if (g_time_valid) {
        g_utc_ms = static_cast<uint16_t>(g_utc_ms + 1);
        if (g_utc_ms >= 1000) {
            g_utc_ms = 0;
            g_utc_seconds = (g_utc_seconds + 1) % DAY_SECONDS;
        }
    }
}

// ==== Command shell ==============================================================================

constexpr uint16_t ECHO_TIMEOUT_MS = 10;
constexpr uint8_t CMD_LINE_SIZE = 40;

// The line being typed; it survives any number of passes, frames and log lines.
char g_line[CMD_LINE_SIZE];
uint8_t g_line_pos = 0;

// Optional blanks, an optional sign and at least one digit; the text after the number is left for
// the caller. A number with a minus sign ("-0" too) or above 2^32 - 1 comes back as 0xFFFFFFFF,
// which every caller refuses as out of range, so nothing wraps into range. False when no number
// is there.
bool ParseNumber(const char *&text, uint32_t &value) {
    const char *p = text;
    while (IsBlank(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (!IsDigit(*p)) {
        return false;
    }
    uint64_t v = 0;
    bool too_large = false;
    for (; IsDigit(*p); ++p) {
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        if (v > 0xFFFFFFFFULL) {
            too_large = true;
            v = 0xFFFFFFFFULL;
        }
    }
    value = (too_large || negative) ? 0xFFFFFFFFU : static_cast<uint32_t>(v);
    text = p;
    return true;
}

// A number within lo..hi, or the reply "error: <what> must be lo..hi Hz".
bool NumberInRange(const char *text, uint32_t lo, uint32_t hi, const char *what, uint32_t &value) {
    if (ParseNumber(text, value) && value >= lo && value <= hi) {
        return true;
    }
    char line[64];
    snprintf(line, sizeof line, "error: %s must be %lu..%lu Hz\r\n", what,
             static_cast<unsigned long>(lo), static_cast<unsigned long>(hi));
    WSPR_Log(line);
    return false;
}

void WSPR_ToUpper(char *text) {
    for (; *text != '\0'; ++text) {
        if (IsLower(*text)) {
            *text = static_cast<char>(*text - 32);
        }
    }
}

bool WSPR_IsValidCallsign(const char *callsign) {
    const size_t len = strlen(callsign);
    if (len < 3 || len > CALLSIGN_MAX_LEN) {
        return false;
    }
    bool has_digit = false;
    for (size_t i = 0; i < len; ++i) {
        if (!IsAlnum(callsign[i])) {
            return false;
        }
        has_digit = has_digit || IsDigit(callsign[i]);
    }
    return has_digit;
}

bool WSPR_IsValidLocator(const char *locator) {
    return strlen(locator) == LOCATOR_MAX_LEN && locator[0] >= 'A' && locator[0] <= 'R' &&
           locator[1] >= 'A' && locator[1] <= 'R' && IsDigit(locator[2]) && IsDigit(locator[3]);
}

void WSPR_SetCallsignCommand(const char *value) {
    if (strlen(value) > CALLSIGN_MAX_LEN) {
        WSPR_Log("error: callsign too long\r\n");
        return;
    }
    char callsign[CALLSIGN_MAX_LEN + 1];
    strncpy(callsign, value, CALLSIGN_MAX_LEN);
    callsign[CALLSIGN_MAX_LEN] = '\0';
    WSPR_ToUpper(callsign);

    // A callsign the encoder cannot pack would make every later frame fail; refuse it here.
    uint32_t packed = 0;
    if (!WSPR_IsValidCallsign(callsign) || !wspr_encoder::PackCallsign(callsign, &packed)) {
        WSPR_Log("error: invalid callsign\r\n");
        return;
    }
    strcpy(g_callsign, callsign);
    WSPR_Log("ok\r\n");
}

void WSPR_SetLocatorCommand(const char *value) {
    if (strlen(value) != LOCATOR_MAX_LEN) {
        WSPR_Log("error: locator must be 4 chars\r\n");
        return;
    }
    char locator[LOCATOR_MAX_LEN + 1];
    strncpy(locator, value, LOCATOR_MAX_LEN);
    locator[LOCATOR_MAX_LEN] = '\0';
    WSPR_ToUpper(locator);
    if (!WSPR_IsValidLocator(locator)) {
        WSPR_Log("error: invalid locator\r\n");
        return;
    }
    strcpy(g_locator, locator);
    WSPR_Log("ok\r\n");
}

// Only the levels the encoder packs (0..60 ending in 0, 3 or 7); receivers would read any other
// as another message.
void WSPR_SetPowerCommand(const char *value) {
    uint32_t dbm = 0;
    if (!ParseNumber(value, dbm) || dbm > wspr_encoder::MAX_POWER_DBM) {
        WSPR_Log("error: power must be 0..60 dBm\r\n");
        return;
    }
    if (!wspr_encoder::IsPowerLevel(static_cast<uint8_t>(dbm))) {
        WSPR_Log("error: power must end in 0, 3 or 7 dBm\r\n");
        return;
    }
    g_power_dbm = static_cast<uint8_t>(dbm);
    WSPR_Log("ok\r\n");
}

void WSPR_SetFreqCommand(const char *value) {
    uint32_t hz = 0;
    if (NumberInRange(value, WSPR_MIN_FREQ_HZ, WSPR_MAX_FREQ_HZ, "freq", hz)) {
        g_base_freq_hz = hz;
        WSPR_Log("ok\r\n");
    }
}

void WSPR_SetXtalCommand(const char *value) {
    uint32_t hz = 0;
    if (NumberInRange(value, SI5351_XTAL_MIN_HZ, SI5351_XTAL_MAX_HZ, "xtal", hz)) {
        g_xtal_hz = hz;
        WSPR_Log("ok\r\n");
    }
}

// "HH:MM:SS": three numbers, each followed directly by its colon.
void WSPR_TimeCommand(const char *value) {
    uint32_t fields[3] = {};
    int converted = 0;
    const char *p = value;
    while (converted < 3 && ParseNumber(p, fields[converted])) {
        ++converted;
        if (converted < 3) {
            if (*p != ':') {
                break;
            }
            ++p;
        }
    }
    if (converted < 3) {
        WSPR_Log("error: use time HH:MM:SS\r\n");
        return;
    }
    WSPR_SetTime(fields[0], fields[1], fields[2], "PC");
}

void WSPR_PrintHelp(const char *) {
    WSPR_Log("\r\nCommands:\r\n");
    WSPR_Log("  help                 Show this help\r\n");
    WSPR_Log("  show                 Show current configuration and state\r\n");
    WSPR_Log("  set call CALL        Set WSPR callsign, max 6 chars\r\n");
    WSPR_Log("  set grid GRID        Set 4-char Maidenhead grid, e.g. OM85\r\n");
    WSPR_Log("  set power DBM        Set WSPR power dBm, 0..60\r\n");
    WSPR_Log("  set freq HZ          Set direct RF output frequency in Hz\r\n");
    WSPR_Log("  set xtal HZ          Set Si5351 crystal frequency in Hz\r\n");
    WSPR_Log("  save                 Keep settings over a reset\r\n");
    WSPR_Log("  defaults             Back to built-in settings\r\n");
    WSPR_Log("  time HH:MM:SS        Set UTC time from PC\r\n");
    WSPR_Log("  auto on|off          Enable/disable even-minute auto TX\r\n");
    WSPR_Log("  tx                   Transmit one WSPR frame now\r\n");
    WSPR_Log("  stop                 Stop TX and disable CLK1\r\n\r\n");
}

void WSPR_PrintShow(const char *) {
    const uint32_t seconds = UtcSeconds();

    char line[128];
    snprintf(line, sizeof line, "\r\nState: %s\r\n",
             g_state == WSPR_STATE_TX     ? "TX"
             : g_state == WSPR_STATE_IDLE ? "IDLE"
                                          : "ERROR");
    WSPR_Log(line);
    snprintf(line, sizeof line, "Message: %s %s %udBm\r\n", g_callsign, g_locator,
             static_cast<unsigned>(g_power_dbm));
    WSPR_Log(line);
    snprintf(line, sizeof line, "RF: %lu Hz, tone spacing %lu uHz\r\n",
             static_cast<unsigned long>(g_base_freq_hz),
             static_cast<unsigned long>(WSPR_TONE_SPACING_UHZ));
    WSPR_Log(line);
    snprintf(line, sizeof line, "XTAL: %lu Hz\r\n", static_cast<unsigned long>(g_xtal_hz));
    WSPR_Log(line);
    const bool valid = g_time_valid;
    snprintf(line, sizeof line, "Auto: %s, Time: %s", g_auto_tx_enabled ? "ON" : "OFF",
             valid ? "valid " : "invalid\r\n");
    WSPR_Log(line);
    if (valid) {
        snprintf(line, sizeof line, "%02lu:%02lu:%02lu UTC\r\n",
                 static_cast<unsigned long>(seconds / 3600U),
                 static_cast<unsigned long>((seconds / 60U) % 60U),
                 static_cast<unsigned long>(seconds % 60U));
        WSPR_Log(line);
    }
    WSPR_Log("\r\n");
}

// ---- Saved settings ---------------------------------------------------------------------------

// A flash erase stalls the CPU, and the 1 ms tick with it (its interrupt waits, counted once): the
// milliseconds the cycle counter saw pass beyond those the tick counted are put back on the
// clocks afterwards.
template <typename Op> HAL_StatusTypeDef KeepingTime(Op op) {
    (void)HAL_IWDG_Refresh(&hiwdg);
    const uint32_t cycles_before = HAL_GetCycleCount();
    const uint32_t ms_before = g_ms;
    const HAL_StatusTypeDef status = op();
    const uint32_t elapsed_ms = (HAL_GetCycleCount() - cycles_before) / (CPU_CLOCK_HZ / 1000U);
    __disable_irq();
    for (uint32_t counted = g_ms - ms_before; counted < elapsed_ms; ++counted) {
        g_ms = g_ms + 1;
        AdvanceUtc();
    }
    __enable_irq();
    (void)HAL_IWDG_Refresh(&hiwdg);
    return status;
}

bool RefusedWhileTransmitting() {
    if (g_state == WSPR_STATE_TX) {
        WSPR_Log("error: not while transmitting\r\n");
        return true;
    }
    return false;
}

void SaveCommand(const char *) {
    if (RefusedWhileTransmitting()) {
        return;
    }
    StoredSettings saved = {};
    strcpy(saved.callsign, g_callsign);
    strcpy(saved.locator, g_locator);
    saved.power_dbm = g_power_dbm;
    saved.auto_tx = g_auto_tx_enabled;
    saved.base_freq_hz = g_base_freq_hz;
    saved.xtal_hz = g_xtal_hz;
    const HAL_StatusTypeDef status = KeepingTime([&saved] { return Settings_Save(&saved); });
    if (status == HAL_OK) {
        WSPR_Log("ok\r\n");
    } else {
        WSPR_LogLine("Settings save failed: ", status);
    }
}

void UseBuiltInSettings() {
    strcpy(g_callsign, WSPR_DEFAULT_CALLSIGN);
    strcpy(g_locator, WSPR_DEFAULT_LOCATOR);
    g_power_dbm = WSPR_DEFAULT_POWER_DBM;
    g_base_freq_hz = WSPR_DEFAULT_FREQ_HZ;
    g_xtal_hz = SI5351_XTAL_HZ;
    g_auto_tx_enabled = true;
}

// Nothing written during a frame (the flash would stall the symbol clock), as for save.
void DefaultsCommand(const char *) {
    if (RefusedWhileTransmitting()) {
        return;
    }
    UseBuiltInSettings();
    const HAL_StatusTypeDef status = KeepingTime([] { return Settings_Forget(); });
    if (status == HAL_OK) {
        WSPR_Log("ok\r\n");
    } else {
        WSPR_LogLine("Settings save failed: ", status);
    }
}

// Saved settings are taken only as a whole and only when each would pass its command's check.
bool Acceptable(const StoredSettings &saved) {
    uint32_t packed = 0;
    return WSPR_IsValidCallsign(saved.callsign) &&
           wspr_encoder::PackCallsign(saved.callsign, &packed) &&
           WSPR_IsValidLocator(saved.locator) && saved.power_dbm <= wspr_encoder::MAX_POWER_DBM &&
           wspr_encoder::IsPowerLevel(saved.power_dbm) && saved.base_freq_hz >= WSPR_MIN_FREQ_HZ &&
           saved.base_freq_hz <= WSPR_MAX_FREQ_HZ && saved.xtal_hz >= SI5351_XTAL_MIN_HZ &&
           saved.xtal_hz <= SI5351_XTAL_MAX_HZ;
}

// The banner line for what start-up found in flash; nullptr when nothing was saved.
const char *LoadSavedSettings() {
    StoredSettings saved = {};
    const SettingsFound found = Settings_Load(&saved);
    if (found == SettingsFound::NONE) {
        return nullptr;
    }
    if (found == SettingsFound::DAMAGED || !Acceptable(saved)) {
        return "Settings: damaged, using defaults\r\n";
    }
    strcpy(g_callsign, saved.callsign);
    strcpy(g_locator, saved.locator);
    g_power_dbm = saved.power_dbm;
    g_auto_tx_enabled = saved.auto_tx;
    g_base_freq_hz = saved.base_freq_hz;
    g_xtal_hz = saved.xtal_hz;
    return "Settings: saved\r\n";
}

void RequestTx(const char *) {
    g_tx_request = true;
}
void StopCommand(const char *) {
    WSPR_StopTx();
}
void AutoOn(const char *) {
    g_auto_tx_enabled = true;
    WSPR_Log("ok\r\n");
}
void AutoOff(const char *) {
    g_auto_tx_enabled = false;
    WSPR_Log("ok\r\n");
}

// The command list, matched in this order against the upper-cased line: a whole command must be
// the line exactly; a prefix (its text ends in the space before the argument) hands the rest of
// the line to its handler. No blanks are trimmed.
enum class Match : uint8_t { WHOLE, PREFIX };
struct Command {
    const char *text;
    Match match;
    void (*run)(const char *argument);
};
constexpr Command k_commands[] = {
    {"HELP", Match::WHOLE, WSPR_PrintHelp},
    {"?", Match::WHOLE, WSPR_PrintHelp},
    {"SHOW", Match::WHOLE, WSPR_PrintShow},
    {"TX", Match::WHOLE, RequestTx},
    {"STOP", Match::WHOLE, StopCommand},
    {"TIME ", Match::PREFIX, WSPR_TimeCommand},
    {"AUTO ON", Match::WHOLE, AutoOn},
    {"AUTO 1", Match::WHOLE, AutoOn},
    {"AUTO OFF", Match::WHOLE, AutoOff},
    {"AUTO 0", Match::WHOLE, AutoOff},
    {"SET CALL ", Match::PREFIX, WSPR_SetCallsignCommand},
    {"SET GRID ", Match::PREFIX, WSPR_SetLocatorCommand},
    {"SET LOC ", Match::PREFIX, WSPR_SetLocatorCommand},
    {"SET POWER ", Match::PREFIX, WSPR_SetPowerCommand},
    {"SET FREQ ", Match::PREFIX, WSPR_SetFreqCommand},
    {"SET XTAL ", Match::PREFIX, WSPR_SetXtalCommand},
    {"SAVE", Match::WHOLE, SaveCommand},
    {"DEFAULTS", Match::WHOLE, DefaultsCommand},
};

void WSPR_HandleCommand(char *cmd) {
    WSPR_ToUpper(cmd);
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
    WSPR_Log("error: unknown command, type help\r\n");
}

// A line is complete: the command runs and the prompt follows. True when the line held a command.
bool WSPR_EndLine() {
    g_line[g_line_pos] = '\0';
    WSPR_Log("\r\n");
    WSPR_HandleCommand(g_line);
    g_prompt_pending = true;
    const bool ran = g_line_pos > 0;
    g_line_pos = 0;
    return ran;
}

// Line editor: echo, backspace, CR or LF ends a line; at most CMD_LINE_SIZE - 1 characters. A
// pass takes at most the bytes that were waiting when it began and stops after a line that ran a
// command, so no stream of input (a flood, a paste, a console wired back to itself) holds up the
// symbol clock, GNSS, the scheduler or the key for longer than one reply. Empty lines cost two
// bytes of echo and do not end it.
void WSPR_ProcessUart() {
    Channel &ch = g_channels[CONSOLE];
    uint8_t byte;
    for (uint8_t n = Pending(ch); n > 0 && PopByte(ch, byte); --n) {
        if (byte == '\r' || byte == '\n') {
            if (WSPR_EndLine()) {
                // The LF of a CR LF arrived while the reply was written: it ends with this Enter,
                // as an empty line, so a terminal's Enter gives one prompt.
                if (byte == '\r' && NextByteIs(ch, '\n') && PopByte(ch, byte)) {
                    (void)WSPR_EndLine();
                }
                return;
            }
        } else if (byte == 8 || byte == 127) {
            if (g_line_pos > 0) {
                --g_line_pos;
                WSPR_Log("\b \b");
            }
        } else if (g_line_pos < CMD_LINE_SIZE - 1) {
            g_line[g_line_pos++] = static_cast<char>(byte);
            (void)HAL_UART_Transmit(&huart1, &byte, 1, ECHO_TIMEOUT_MS);
        }
    }
}

// ==== Core: start-up, main loop, tick, LED and key ===============================================

// Raised by the tick, cleared by the main loop with interrupts masked.
volatile bool g_tick_pending = false;
volatile bool g_symbol_due = false;

void WSPR_UpdateLed() {
    const uint32_t period = g_state == WSPR_STATE_TX     ? WSPR_STATUS_LED_TX_TICKS
                            : g_state == WSPR_STATE_IDLE ? WSPR_STATUS_LED_IDLE_TICKS
                                                         : WSPR_STATUS_LED_ERR_TICKS;
    if (g_ms % period == 0) {
        HAL_GPIO_TogglePin(LED_GPIO_Port, LED_Pin);
    }
}

uint8_t g_last_key_level = 1; // released
uint32_t g_last_key_change_ms = 0;
bool g_key_press_counted = false; // the press now held has requested its frame

// A press requests one frame once it has been steady for KEY_DEBOUNCE_MS, however late the pass
// that sees it; holding it does not repeat and releasing it does nothing.
void WSPR_ProcessKey() {
    const uint8_t level = HAL_GPIO_ReadPin(KEY_GPIO_Port, KEY_Pin) == GPIO_PIN_SET ? 1 : 0;
    const uint32_t now = g_ms;
    if (level != g_last_key_level) {
        g_last_key_level = level;
        g_last_key_change_ms = now;
        g_key_press_counted = false;
    }
    if (level == 0 && !g_key_press_counted && now - g_last_key_change_ms >= KEY_DEBOUNCE_MS) {
        g_key_press_counted = true;
        g_tx_request = true;
    }
}

// The kind of reset that started this run, from the RCC's reset flags, which are then cleared;
// nullptr after a power-on (which sets the brown-out and pin flags as well).
const char *ResetKind() {
    const char *kind = nullptr;
    if (__HAL_RCC_GET_FLAG(RCC_FLAG_PORRST) == 0U) {
        if (__HAL_RCC_GET_FLAG(RCC_FLAG_BORRST) != 0U) {
            kind = "brown-out";
        } else if (__HAL_RCC_GET_FLAG(RCC_FLAG_IWDGRST) != 0U ||
                   __HAL_RCC_GET_FLAG(RCC_FLAG_WWDGRST) != 0U) {
            kind = "watchdog";
        } else if (__HAL_RCC_GET_FLAG(RCC_FLAG_SFTRST) != 0U) {
            kind = "software";
        } else if (__HAL_RCC_GET_FLAG(RCC_FLAG_LPWRRST) != 0U) {
            kind = "low-power";
        } else if (__HAL_RCC_GET_FLAG(RCC_FLAG_PINRST) != 0U) {
            kind = "pin";
        }
    }
    __HAL_RCC_CLEAR_RESET_FLAGS();
    return kind;
}

void ClearFlag(volatile bool &flag) {
    __disable_irq();
    flag = false;
    __enable_irq();
}

} // namespace

// ---- Entry points -------------------------------------------------------------------------------

void WSPR_App_Init(void) {
    const char *settings_line = LoadSavedSettings();
    const HAL_StatusTypeDef status = Bus(Si5351_Init(&hi2c1));
    if (status == HAL_OK) {
        g_state = WSPR_STATE_IDLE;
        (void)WSPR_SetIdleOutput();
    } else {
        WSPR_EnterError();
    }

    char line[128];
    WSPR_Log("\r\nTOLVANE Si5351 CLK1\r\n");
    if (const char *kind = ResetKind()) {
        snprintf(line, sizeof line, "Reset: %s\r\n", kind);
        WSPR_Log(line);
    }
    if (settings_line != nullptr) {
        WSPR_Log(settings_line);
    }
    snprintf(line, sizeof line, "Call=%s Locator=%s Power=%ddBm\r\n", g_callsign, g_locator,
             static_cast<int>(g_power_dbm));
    WSPR_Log(line);
    snprintf(line, sizeof line, "XTAL=%lu Hz Base=%lu Hz ToneSpacing=%lu uHz\r\n",
             static_cast<unsigned long>(g_xtal_hz), static_cast<unsigned long>(g_base_freq_hz),
             static_cast<unsigned long>(WSPR_TONE_SPACING_UHZ));
    WSPR_Log(line);
    WSPR_LogLine("Si5351 init status: ", status);
    WSPR_Log("Type help for commands.\r\n");
    WSPR_Log("GNSS: USART2 accepts $GPRMC/$GNRMC time at 9600 baud\r\n");
    WSPR_Log("AUTO starts on even UTC minutes after PC or GNSS time is set\r\n");
    WSPR_PrintPrompt();

    GNSS_TimeParser_Init();
    // A byte that arrived before reception was armed (typed during the banner, noise at power-up)
    // waits in the receiver: it is dropped, not taken for the first byte of a line.
    for (Channel &ch : g_channels) {
        __HAL_UART_FLUSH_DRREGISTER(k_links[&ch - g_channels].uart);
        ArmRx(ch);
    }
}

void WSPR_App_Process(void) {
    (void)HAL_IWDG_Refresh(&hiwdg);
    if (g_tick_pending) {
        ClearFlag(g_tick_pending);
        WSPR_UpdateLed();
        WSPR_ProcessKey();
        WSPR_ProcessRecovery();
    }
    if (g_symbol_due) {
        ClearFlag(g_symbol_due);
        WSPR_ProcessSymbolDue();
    }
    WSPR_ProcessUart();
    WSPR_ProcessGnss();
    WSPR_ProcessAutoTx();
    if (g_tx_request) {
        g_tx_request = false;
        WSPR_StartTx();
    }
    WSPR_ProcessFreqUpdate();
    if (g_prompt_pending && g_state != WSPR_STATE_TX) {
        g_prompt_pending = false;
        WSPR_PrintPrompt();
    }
}

void WSPR_App_Tick1ms(void) {
    g_ms = g_ms + 1;
    AdvanceUtc();
    g_tick_pending = true;
    g_symbol_due = true;
}

void WSPR_App_UartRxCpltCallback(UART_HandleTypeDef *huart) {
    Channel *ch = ChannelOf(huart);
    if (ch != nullptr) {
        PushByte(*ch);
        ArmRx(*ch);
    }
}

void WSPR_App_UartErrorCallback(UART_HandleTypeDef *huart) {
    Channel *ch = ChannelOf(huart);
    if (ch != nullptr) {
        ArmRx(*ch);
    }
}

void WSPR_App_EmergencyStop(void) {
    // Before I2C1 is set up nothing can be on the air, and its handle names no peripheral yet.
    if (hi2c1.Instance != nullptr) {
        (void)Si5351_DisableOutputs(&hi2c1);
    }
}

void WSPR_App_GetStatus(WSPR_AppStatus *status) {
    if (status == nullptr) {
        return;
    }
    *status = {};
    status->state = g_state;
    strcpy(status->callsign, g_callsign);
    strcpy(status->locator, g_locator);
    status->power_dbm = g_power_dbm;
    status->base_freq_hz = g_base_freq_hz;
    status->xtal_hz = g_xtal_hz;
    status->auto_tx = g_auto_tx_enabled;
    status->time_valid = g_time_valid;
    status->utc_seconds = UtcSeconds();
    status->symbol_index = g_symbol_index;
    status->console_rx_pending = Pending(g_channels[CONSOLE]);
    status->gnss_rx_pending = Pending(g_channels[GNSS]);
    status->line_length = g_line_pos;
}
