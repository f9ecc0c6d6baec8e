// The application core: the entry points, one pass of the main loop, the tick, the LED, the key
// and the status snapshot. Each concern it calls keeps its own state: console output and the
// receive rings (app_serial), the settings (app_settings), the UTC clock and GNSS intake
// (app_clock), the transmitter (app_transmitter) and the command shell (app_shell).
#include "wspr_app.h"

#include <stdio.h>

#include "app_clock.h"
#include "app_hop.h"
#include "app_lines.h"
#include "app_reference.h"
#include "app_serial.h"
#include "app_settings.h"
#include "app_shell.h"
#include "app_transmitter.h"
#include "tx_mode.h"
#include "gnss_time.h"
#include "i2c.h"
#include "iwdg.h"
#include "main.h"
#include "masked_section.h"
#include "si5351.h"

namespace {

// Raised by the tick, cleared by the main loop with interrupts masked.
volatile bool g_tick_pending = false;
volatile bool g_symbol_due = false;

// The millisecond in which the main loop last completed a pass; raised by the tick when it
// switched CLK1 off because that was too long ago in a frame, cleared by the main loop.
volatile uint32_t g_pass_done_ms = 0;
volatile bool g_carrier_guard_tripped = false;

// The tick's guard of the carrier: during a frame, MAIN_LOOP_STALL_MS without a completed pass.
void GuardCarrier() {
    if (!g_carrier_guard_tripped && Tx_State() == WSPR_STATE_TX &&
        Clock_Ms() - g_pass_done_ms >= MAIN_LOOP_STALL_MS) {
        g_carrier_guard_tripped = true;
        WSPR_App_EmergencyStop();
    }
}

// The main loop runs again after the guard switched CLK1 off: the bus is set up again (if the
// transfer the tick cut has not done it yet) and the frame, lost, is ended.
void AfterCarrierGuard() {
    g_pass_done_ms = Clock_Ms();
    g_carrier_guard_tripped = false;
    Serial_Write("Main loop stalled during the frame: CLK1 switched off\r\n");
    (void)MX_I2C1_Recover();
    if (Tx_State() == WSPR_STATE_TX) {
        Tx_Stop();
    }
}

// The LED toggles once its half-period has gone by since the last toggle, however late the pass
// that sees it: a pass busy across the moment toggles when it is done.
uint32_t g_led_toggled_ms = 0;

void UpdateLed() {
    const WSPR_State state = Tx_State();
    const uint32_t period = state == WSPR_STATE_TX     ? WSPR_STATUS_LED_TX_TICKS
                            : state == WSPR_STATE_IDLE ? WSPR_STATUS_LED_IDLE_TICKS
                                                       : WSPR_STATUS_LED_ERR_TICKS;
    const uint32_t now = Clock_Ms();
    if (now - g_led_toggled_ms >= period) {
        g_led_toggled_ms = now;
        HAL_GPIO_TogglePin(LED_GPIO_Port, LED_Pin);
    }
}

uint8_t g_last_key_level = 1; // released
uint32_t g_last_key_change_ms = 0;
bool g_key_press_counted = false; // the press now held has requested its frame

// A press requests one frame once it has been steady for KEY_DEBOUNCE_MS, however late the pass
// that sees it; holding it does not repeat and releasing it does nothing.
void ProcessKey() {
    const uint8_t level = HAL_GPIO_ReadPin(KEY_GPIO_Port, KEY_Pin) == GPIO_PIN_SET ? 1 : 0;
    const uint32_t now = Clock_Ms();
    if (level != g_last_key_level) {
        g_last_key_level = level;
        g_last_key_change_ms = now;
        g_key_press_counted = false;
    }
    if (level == 0 && !g_key_press_counted && now - g_last_key_change_ms >= KEY_DEBOUNCE_MS) {
        g_key_press_counted = true;
        Lines_RequestFrame();
    }
}

// The schedule: each slot of the mode's period (WSPR: every even minute; FST4W: its period from
// 00:00 UTC) is taken SLOT_LEAD_MS before its frame would start (WSPR at second 0, FST4W 1.0 s
// into the period) while automatic frames are on and the beacon is idle; the share and the hop
// mode say whether it carries a frame.
void ProcessSchedule() {
    const TxModeInfo &mode = TxMode_Info(Settings_Live().mode);
    Slot slot{};
    uint32_t ms_to_start = 0;
    if (Settings_Live().auto_tx && Tx_State() == WSPR_STATE_IDLE && Lines_Idle() &&
        Clock_TakeSlot(mode.period_s, mode.start_ms, SLOT_LEAD_MS, slot, ms_to_start)) {
        Lines_ScheduleSlot(slot, ms_to_start);
    }
}

// The kind of reset that started this run, from the RCC's reset flags, which are then cleared;
// nullptr after a power-on (which sets the brown-out and pin flags as well).
const char *g_reset_kind = nullptr;

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

// Out of line: the saved mask stays out of the main loop's frame, which the deepest paths share.
[[gnu::noinline]] void ClearFlag(volatile bool &flag) {
    const MaskedSection masked;
    flag = false;
}

void PrintBanner(const char *settings_line, HAL_StatusTypeDef init_status) {
    const WSPR_Settings &s = Settings_Live();
    char line[128];
    Serial_Write("\r\nTOLVANE Si5351 CLK1\r\n");
    if (g_reset_kind != nullptr) {
        snprintf(line, sizeof line, "Reset: %s\r\n", g_reset_kind);
        Serial_Write(line);
    }
    if (settings_line != nullptr) {
        Serial_Write(settings_line);
    }
    char call[WSPR_CALL_TEXT_MAX + 1];
    char locator[WSPR_GRID6_LEN + 1];
    Settings_CallsignText(&s, call);
    Settings_LocatorText(&s, locator);
    snprintf(line, sizeof line, "Call=%s Locator=%s%s Power=%ddBm\r\n", call, locator,
             s.locator_gnss ? " (GNSS)" : "", static_cast<int>(s.power_dbm));
    Serial_Write(line);
    snprintf(line, sizeof line, "XTAL=%lu Hz Base=%lu Hz ToneSpacing=%lu uHz\r\n",
             static_cast<unsigned long>(s.xtal_hz), static_cast<unsigned long>(s.base_freq_hz),
             static_cast<unsigned long>(WSPR_TONE_SPACING_UHZ));
    Serial_Write(line);
    Serial_WriteStatus("Si5351 init status: ", init_status);
    Serial_Write("Type help for commands.\r\n");
    Serial_Write("GNSS: USART2 accepts $GPRMC/$GNRMC time at 9600 baud\r\n");
    Serial_Write(s.auto_tx ? "AUTO starts on even UTC minutes after PC or GNSS time is set\r\n"
                           : "AUTO is off: frames only by tx or the key\r\n");
    Serial_Write("wspr> ");
}

} // namespace

// ---- Entry points -------------------------------------------------------------------------------

void WSPR_App_ReadResetCause(void) {
    g_reset_kind = ResetKind();
}

void WSPR_App_Init(void) {
    const char *settings_line = Settings_LoadAtStart();
    Hop_Init();
    const HAL_StatusTypeDef status = Tx_StartUp();
    PrintBanner(settings_line, status);
    GNSS_TimeParser_Init();
}

void WSPR_App_Process(void) {
    (void)HAL_IWDG_Refresh(&hiwdg);
    if (g_carrier_guard_tripped) {
        AfterCarrierGuard();
    }
    if (g_tick_pending) {
        ClearFlag(g_tick_pending);
        UpdateLed();
        ProcessKey();
        Tx_ProcessRecovery();
    }
    if (g_symbol_due) {
        ClearFlag(g_symbol_due);
        Tx_ProcessSymbolDue();
    }
    Serial_StartReception();
    Shell_Process();
    Clock_ProcessGnss();
    Reference_Process();
    ProcessSchedule();
    Lines_Process();
    Tx_ServeRequest();
    Tx_ProcessToneChange();
    if (Tx_State() != WSPR_STATE_TX && !Lines_Leading() && Shell_ReadyForPrompt() &&
        Serial_TakePrompt()) {
        Serial_Write("wspr> ");
    }
    Tx_PlanAhead();
    g_pass_done_ms = Clock_Ms();
}

void WSPR_App_Tick1ms(void) {
    Clock_Tick();
    g_tick_pending = true;
    g_symbol_due = true;
    GuardCarrier();
}

// The bus is taken from whatever had it (a transfer cut in the middle leaves I2C1 busy), CLK1 goes
// off, and I2C1 stays held in reset so that the interrupted code's transfer cannot go on after
// it, one that would switch CLK1 on again included; the main loop's next transfer fails and sets
// the bus up again. Every wait is on the cycle counter: the tick may stand still here.
void WSPR_App_EmergencyStop(void) {
    // Before I2C1 is set up nothing can be on the air, and its handle names no peripheral yet.
    if (hi2c1.Instance != nullptr) {
        MX_I2C1_Seize();
        const HAL_StatusTypeDef status = Si5351_DisableOutputs(&hi2c1);
        MX_I2C1_Hold();
        // CLK1 may still be on: the amplifier is the last thing between it and the antenna.
        if (status != HAL_OK) {
            Lines_AmplifierOffNow();
        }
    }
}

void WSPR_App_FlushConsole(void) {
    Serial_Flush();
}

void WSPR_App_GetStatus(WSPR_AppStatus *status) {
    if (status == nullptr) {
        return;
    }
    *status = {};
    status->state = Tx_State();
    status->settings = Settings_Live();
    status->time_valid = Clock_Valid();
    status->utc_seconds = Clock_UtcSeconds();
    status->symbol_index = Tx_SymbolIndex();
    status->console_rx_pending = Serial_Pending(Link::CONSOLE);
    status->gnss_rx_pending = Serial_Pending(Link::GNSS);
    status->line_length = Shell_LineLength();
}
