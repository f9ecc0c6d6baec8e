#include "app_transmitter.h"

#include <stdio.h>

#include "app_clock.h"
#include "app_lines.h"
#include "app_message.h"
#include "app_reference.h"
#include "app_serial.h"
#include "app_settings.h"
#include "i2c.h"
#include "fst4w_encoder.h"
#include "si5351.h"
#include "tx_mode.h"
#include "wspr_encoder.h"

namespace {

constexpr uint8_t OFF_TRIES = 3;          // at once, before the failure is reported
constexpr uint32_t OFF_RETRY_MS = 100;    // then again this often until it works
constexpr uint32_t INIT_RETRY_MS = 30000; // in ERROR, the Si5351 start-up again this often

WSPR_State g_state = WSPR_STATE_ERROR;
bool g_tx_request = false;

constexpr uint16_t MAX_SYMBOLS =
    WSPR_SYMBOL_COUNT > FST4W_SYMBOL_COUNT ? WSPR_SYMBOL_COUNT : FST4W_SYMBOL_COUNT;
uint8_t g_symbols[MAX_SYMBOLS] = {};
uint16_t g_symbol_index = 0;
// The frame's mode, its start and its next symbol boundary, in the scale of the 64-bit
// millisecond count x 1000. Each boundary is worked out from the start, never from the one before.
uint8_t g_frame_mode = TX_MODE_WSPR;
uint64_t g_frame_start_us = 0;
uint64_t g_next_symbol_us = 0;
bool g_tone_change_pending = false;

// The tones of the frame on the air: as planned, and trimmed to the crystal's estimate now.
Si5351TonePlan g_plan = {};
Si5351TonePlan g_keyed = {};
Si5351TonePlan g_trim = {};
uint32_t g_planned_ms = 0;
// With the crystal measured, a plan is made again between frames once the estimate is this far
// from it (0.5 ppb of a crystal in millihertz) and the plan is this old; until then, and during a
// frame, the plan is trimmed.
constexpr uint64_t REPLAN_PPB_DIV = 2000000000ULL;
constexpr uint32_t REPLAN_MS = 10000U;

bool g_off_pending = false; // switching CLK1 off failed: it may still be on
uint32_t g_off_tried_ms = 0;
uint32_t g_init_tried_ms = 0;
// In ERROR for a failed CLK1 off alone (at a frame's end, on "stop", or just after a start-up that
// worked): the Si5351 is otherwise ready, so once CLK1 is off the beacon is IDLE again.
bool g_only_off_failed = false;

// A Si5351 operation that ended BUSY or timed out may have left the bus held (a slave stuck in
// the middle of a byte): the bus is freed for the next one. The status goes back unchanged.
HAL_StatusTypeDef Bus(HAL_StatusTypeDef status) {
    if (status == HAL_BUSY || status == HAL_TIMEOUT) {
        (void)MX_I2C1_Recover();
    }
    return status;
}

// The plan of the tones for a tone 0, the mode's tone spacing and the crystal now (measured, or
// set), kept until they change: worked out between frames and in a frame's lead (Tx_PlanAhead), so
// that a frame starts without the planning's milliseconds.
bool PlanFits(uint32_t tone0_hz, uint64_t xtal_mhz, uint64_t spacing_uhz) {
    if (g_plan.count != WSPR_TONE_COUNT ||
        g_plan.first_uhz != static_cast<uint64_t>(tone0_hz) * 1000000ULL ||
        g_plan.spacing_uhz != spacing_uhz) {
        return false;
    }
    if (Reference_State() == ReferenceState::SET) {
        return g_plan.xtal_mhz == xtal_mhz;
    }
    const uint64_t off =
        xtal_mhz > g_plan.xtal_mhz ? xtal_mhz - g_plan.xtal_mhz : g_plan.xtal_mhz - xtal_mhz;
    return off <= xtal_mhz / REPLAN_PPB_DIV || Clock_Ms() - g_planned_ms < REPLAN_MS;
}

bool PlanFor(uint32_t tone0_hz) {
    const uint64_t spacing_uhz = TxMode_Info(Settings_Live().mode).spacing_uhz;
    const uint64_t xtal_mhz = Reference_XtalMilliHz();
    if (PlanFits(tone0_hz, xtal_mhz, spacing_uhz)) {
        return true;
    }
    g_planned_ms = Clock_Ms();
    return Si5351_PlanTonesMilli(xtal_mhz, static_cast<uint64_t>(tone0_hz) * 1000000ULL,
                                 spacing_uhz, WSPR_TONE_COUNT, &g_plan);
}

// The frame's plan trimmed to the crystal's estimate now, when it moved since the last trim and a
// trim can follow it (else the last trim stays). A crystal set from the console is not measured:
// it waits for the next frame, as a frequency does.
void TrimToEstimate() {
    if (Reference_State() == ReferenceState::SET) {
        return;
    }
    const uint64_t xtal_mhz = Reference_XtalMilliHz();
    if (xtal_mhz != g_keyed.xtal_mhz && Si5351_TrimPlan(&g_plan, xtal_mhz, &g_trim)) {
        g_keyed = g_trim;
    }
}

// Puts CLK1 on the tone of `symbol` for the frame's tone 0 (its band list entry and offset) with
// the full set-up. The frame keeps its plan to its end: a frequency or crystal set meanwhile takes
// effect at the next frame, so no frame is sent half on one frequency.
HAL_StatusTypeDef StartTones(uint8_t symbol) {
    if (!PlanFor(Lines_FrameTone0Hz())) {
        return HAL_ERROR;
    }
    g_keyed = g_plan;
    TrimToEstimate();
    return Bus(Si5351_StartTone(&g_keyed, symbol));
}

// At each symbol boundary the tone, and the trim to the crystal as measured now: only the bytes
// of the moving divider that change.
HAL_StatusTypeDef KeySymbol(uint8_t symbol) {
    TrimToEstimate();
    return Bus(Si5351_KeyTone(&g_keyed, symbol));
}

// Any fault but a failed CLK1 off: the way back is a new start-up of the Si5351.
void EnterError() {
    if (g_state != WSPR_STATE_ERROR) {
        g_init_tried_ms = Clock_Ms();
    }
    g_state = WSPR_STATE_ERROR;
    g_only_off_failed = false;
}

// The Si5351's start-up, then its reference line CLK0, which runs from then on.
HAL_StatusTypeDef StartSi5351() {
    HAL_StatusTypeDef status = Bus(Si5351_Init(&hi2c1));
    if (status == HAL_OK) {
        status = Bus(Si5351_StartReference());
    }
    return status;
}

// CLK1 off, checked: true when the chip took it. A failure is retried at once, then every
// OFF_RETRY_MS; it puts the beacon in ERROR and is reported once.
bool SetIdleOutput() {
    HAL_StatusTypeDef status = HAL_ERROR;
    for (uint8_t n = 0; n < OFF_TRIES && status != HAL_OK; ++n) {
        status = Bus(Si5351_OutputsIdle(&hi2c1));
        if (status != HAL_OK) {
            Lines_CarrierOff(false); // CLK1 may still be on: the amplifier goes off at once
        }
    }
    g_off_tried_ms = Clock_Ms();
    if (status == HAL_OK) {
        Lines_CarrierOff(true);
        g_off_pending = false;
        return true;
    }
    if (!g_off_pending) {
        Serial_WriteStatus("Si5351 output off failed: ", status);
    }
    g_off_pending = true;
    if (g_state != WSPR_STATE_ERROR) {
        g_init_tried_ms = Clock_Ms();
        g_state = WSPR_STATE_ERROR;
    }
    return false;
}

// From ERROR, the Si5351 started again: IDLE with CLK1 off when it answers. The status line is
// printed either way.
bool Restart() {
    g_init_tried_ms = Clock_Ms();
    const HAL_StatusTypeDef status = StartSi5351();
    Serial_WriteStatus("Si5351 init status: ", status);
    g_only_off_failed = status == HAL_OK;
    if (status == HAL_OK && SetIdleOutput()) {
        g_state = WSPR_STATE_IDLE;
        return true;
    }
    return false;
}

// Out of line: its buffer stays off the stack while the tones are planned.
// WSPR's line has no mode name, as before there were others; FST4W's names its period.
[[gnu::noinline]] void LogTxStart(const WsprMessage &message) {
    char text[48];
    (void)WSPR_FormatMessage(&message, text, sizeof text);
    const TxModeInfo &mode = TxMode_Info(g_frame_mode);
    char line[96];
    snprintf(line, sizeof line, "TX start %s%s%s, %u symbols\r\n",
             g_frame_mode == TX_MODE_WSPR ? "" : mode.name, g_frame_mode == TX_MODE_WSPR ? "" : " ",
             text, static_cast<unsigned>(mode.symbols));
    Serial_Write(line);
}

// The next message of the turn, coded into the frame's symbols in the frame's mode.
[[gnu::noinline]] bool EncodeNext(WsprMessage *message) {
    if (!Message_Next(message)) {
        return false;
    }
    return g_frame_mode == TX_MODE_WSPR ? WSPR_EncodeMessage(message, g_symbols)
                                        : FST4W_EncodeMessage(message, g_symbols);
}

void StartTx() {
    if (g_state == WSPR_STATE_ERROR) {
        Serial_Write("TX rejected: app error\r\n");
        return;
    }
    if (g_state == WSPR_STATE_TX) {
        Serial_Write("TX rejected: already transmitting\r\n");
        return;
    }
    WsprMessage message;
    g_frame_mode = Settings_Live().mode;
    if (!EncodeNext(&message)) {
        EnterError();
        Serial_Write("WSPR encode failed\r\n");
        return;
    }
    g_symbol_index = 0;
    g_frame_start_us = Clock_Ms64() * 1000ULL;
    g_next_symbol_us = g_frame_start_us + TxMode_SymbolStartUs(TxMode_Info(g_frame_mode), 1U);

    const HAL_StatusTypeDef status = StartTones(g_symbols[0]);
    if (status != HAL_OK) {
        EnterError();
        // The failed setting may have left a carrier on; no carrier outside a frame.
        (void)SetIdleOutput();
        Serial_WriteStatus("Si5351 tone set failed: ", status);
        return;
    }
    g_state = WSPR_STATE_TX;
    g_tone_change_pending = false;
    Message_Sent();
    LogTxStart(message);
    Lines_LogFrame();
}

} // namespace

WSPR_State Tx_State() {
    return g_state;
}

uint16_t Tx_SymbolIndex() {
    return g_symbol_index;
}

HAL_StatusTypeDef Tx_StartUp() {
    const HAL_StatusTypeDef status = StartSi5351();
    if (status == HAL_OK) {
        g_state = WSPR_STATE_IDLE;
        (void)SetIdleOutput();
    } else {
        EnterError();
    }
    return status;
}

void Tx_Request() {
    g_tx_request = true;
}

void Tx_ServeRequest() {
    if (g_tx_request) {
        g_tx_request = false;
        StartTx();
    }
}

void Tx_PlanAhead() {
    if (g_state != WSPR_STATE_TX) {
        (void)PlanFor(Lines_Leading() ? Lines_FrameTone0Hz() : Settings_Live().base_freq_hz);
    }
}

void Tx_Stop() {
    g_symbol_index = 0;
    g_tone_change_pending = false;
    if (g_state == WSPR_STATE_ERROR) {
        // IDLE means ready for the next slot: from ERROR the Si5351 is started again first.
        if (Restart()) {
            Serial_Write("TX complete, CLK1 disabled\r\n");
        }
    } else if (SetIdleOutput()) {
        g_state = WSPR_STATE_IDLE;
        Serial_Write("TX complete, CLK1 disabled\r\n");
    } else {
        g_only_off_failed = true;
    }
    Serial_RequestPrompt();
}

// Boundaries advance by the fixed period from the frame start, never re-based on the current
// time, so a late pass skips symbols but the frame keeps its length and alignment.
void Tx_ProcessSymbolDue() {
    const uint64_t now_us = Clock_Ms64() * 1000ULL;
    if (g_state != WSPR_STATE_TX) {
        return;
    }
    const TxModeInfo &mode = TxMode_Info(g_frame_mode);
    while (now_us >= g_next_symbol_us) {
        g_symbol_index = static_cast<uint16_t>(g_symbol_index + 1);
        g_next_symbol_us = g_frame_start_us +
                           TxMode_SymbolStartUs(mode, static_cast<uint32_t>(g_symbol_index) + 1U);
        g_tone_change_pending = true;
        if (g_symbol_index > mode.symbols - 1) {
            Tx_Stop();
            return;
        }
    }
}

void Tx_ProcessToneChange() {
    if (!g_tone_change_pending || g_state != WSPR_STATE_TX) {
        return;
    }
    g_tone_change_pending = false;
    const HAL_StatusTypeDef status = KeySymbol(g_symbols[g_symbol_index]);
    if (status != HAL_OK) {
        EnterError();
        (void)SetIdleOutput();
        Serial_WriteStatus("Si5351 tone update failed: ", status);
    }
}

// When the Si5351 answers again, the beacon is IDLE with CLK1 off and the schedule goes on.
void Tx_ProcessRecovery() {
    const uint32_t now = Clock_Ms();
    if (g_off_pending && now - g_off_tried_ms >= OFF_RETRY_MS && SetIdleOutput() &&
        g_state == WSPR_STATE_ERROR && g_only_off_failed) {
        g_state = WSPR_STATE_IDLE;
        Serial_Write("TX complete, CLK1 disabled\r\n");
        Serial_RequestPrompt();
        return;
    }
    if (g_state != WSPR_STATE_ERROR || now - g_init_tried_ms < INIT_RETRY_MS) {
        return;
    }
    if (Restart()) {
        Serial_RequestPrompt();
    }
}
