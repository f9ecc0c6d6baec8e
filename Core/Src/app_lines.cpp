#include "app_lines.h"

#include <stdio.h>

#include "app_clock.h"
#include "app_hop.h"
#include "app_serial.h"
#include "app_settings.h"
#include "app_transmitter.h"
#include "bands.h"
#include "main.h"

namespace {

enum class Phase : uint8_t {
    IDLE,     // amplifier off, CLK1 off
    LEADING,  // the code on the lines, amplifier off
    AMP_ON,   // amplifier on, CLK1 not yet
    STARTING, // the transmitter asked to start the carrier in this pass
    CARRIER,  // the frame on the air
    LAGGING,  // CLK1 off, the amplifier still on
};

Phase g_phase = Phase::IDLE;
FramePlace g_place = {0, 0, 0, WSPR_DEFAULT_FREQ_HZ, WSPR_DEFAULT_FREQ_HZ};
uint64_t g_since_ms = 0;   // when the current phase began (64-bit count)
uint64_t g_carrier_ms = 0; // the carrier's earliest moment
bool g_manual_waiting = false;

void SetCode(uint8_t code) {
    const uint32_t bits = static_cast<uint32_t>(code) << BAND_LINES_Shift;
    HAL_GPIO_WritePin(LINES_GPIO_Port, static_cast<uint16_t>(bits & BAND_LINES_Pins), GPIO_PIN_SET);
    HAL_GPIO_WritePin(LINES_GPIO_Port, static_cast<uint16_t>(~bits & BAND_LINES_Pins),
                      GPIO_PIN_RESET);
}

void Enter(Phase phase) {
    g_phase = phase;
    g_since_ms = Clock_Ms64();
}

// The code goes on the lines now (amplifier and CLK1 are off here); the carrier not before
// `carrier_ms`.
void Lead(const FramePlace &place, uint64_t carrier_ms) {
    g_place = place;
    SetCode(place.code);
    Enter(Phase::LEADING);
    g_carrier_ms = carrier_ms;
}

uint64_t Later(uint64_t a, uint64_t b) {
    return a > b ? a : b;
}

void LeadManual() {
    g_manual_waiting = false;
    Lead(Hop_ForManual(), Clock_Ms64() + LINES_LEAD_MS + AMP_LEAD_MS);
}

} // namespace

void Lines_RequestFrame() {
    if (Tx_State() == WSPR_STATE_ERROR) {
        Tx_Request(); // refused there, with its reason
    } else if (Tx_State() == WSPR_STATE_TX || g_manual_waiting ||
               (g_phase != Phase::IDLE && g_phase != Phase::LAGGING)) {
        Serial_Write("TX rejected: already transmitting\r\n");
    } else if (g_phase == Phase::LAGGING) {
        g_manual_waiting = true; // once the amplifier is off
    } else {
        LeadManual();
    }
}

void Lines_ScheduleSlot(const Slot &slot, uint32_t ms_to_start) {
    FramePlace place{};
    if (g_phase == Phase::IDLE && Hop_ForSlot(slot, place)) {
        const uint64_t now = Clock_Ms64();
        Lead(place, Later(now + ms_to_start, now + LINES_LEAD_MS + AMP_LEAD_MS));
    }
}

bool Lines_Idle() {
    return g_phase == Phase::IDLE && !g_manual_waiting;
}

bool Lines_Leading() {
    return g_manual_waiting || g_phase == Phase::LEADING || g_phase == Phase::AMP_ON ||
           g_phase == Phase::STARTING;
}

void Lines_Process() {
    const uint64_t now = Clock_Ms64();
    switch (g_phase) {
    case Phase::IDLE:
        if (g_manual_waiting) {
            LeadManual();
        }
        return;
    case Phase::LEADING:
        if (now >= Later(g_since_ms + LINES_LEAD_MS, g_carrier_ms - AMP_LEAD_MS)) {
            HAL_GPIO_WritePin(LINES_GPIO_Port, AMP_Pin, GPIO_PIN_SET);
            Enter(Phase::AMP_ON);
        }
        return;
    case Phase::AMP_ON:
        if (now >= Later(g_since_ms + AMP_LEAD_MS, g_carrier_ms)) {
            Enter(Phase::STARTING);
            Tx_Request();
        }
        return;
    case Phase::STARTING:
    case Phase::CARRIER:
        // The transmitter served its request in the pass before: a frame on the air, or a start
        // that failed before any carrier (an encoding refused), which said nothing here.
        if (Tx_State() == WSPR_STATE_TX) {
            g_phase = Phase::CARRIER;
        } else {
            Enter(Phase::LAGGING);
        }
        return;
    case Phase::LAGGING:
        if (now >= g_since_ms + AMP_LAG_MS) {
            HAL_GPIO_WritePin(LINES_GPIO_Port, AMP_Pin, GPIO_PIN_RESET);
            Enter(Phase::IDLE);
        }
        return;
    }
}

void Lines_CarrierOff(bool ok) {
    if (!ok) {
        Lines_AmplifierOffNow();
        g_phase = Phase::IDLE;
    } else if (g_phase == Phase::LEADING) {
        g_phase = Phase::IDLE; // the amplifier never went on
    } else if (g_phase != Phase::IDLE) {
        Enter(Phase::LAGGING); // from the moment CLK1 is known to be off
    }
}

void Lines_AmplifierOffNow() {
    HAL_GPIO_WritePin(LINES_GPIO_Port, AMP_Pin, GPIO_PIN_RESET);
}

uint32_t Lines_FrameTone0Hz() {
    return g_place.tone0_hz;
}

void Lines_LogFrame() {
    const int band = Band_Of(g_place.entry_hz);
    char line[80];
    snprintf(line, sizeof line, "TX on %s %lu Hz, offset %+ld Hz, entry %d, code %u\r\n",
             band >= 0 ? k_bands[band].name : "own", static_cast<unsigned long>(g_place.tone0_hz),
             static_cast<long>(g_place.offset_hz), g_place.entry + 1,
             static_cast<unsigned>(g_place.code));
    Serial_Write(line);
}
