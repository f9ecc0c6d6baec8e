/* The beacon application: start-up, the cooperative main loop and its 1 ms tick, the transmission
 * sequencer, the UTC clock and even-minute scheduler, console output, the serial receive rings
 * and the command shell. Two contexts call it: the main loop (init, then pass after pass) and
 * interrupts (the tick and the UART callbacks), which only count time, raise flags and store
 * received bytes. */
#ifndef WSPR_APP_H
#define WSPR_APP_H

#include <stdint.h>

#include "app_config.h"
#include "stm32f4xx_hal.h"

typedef enum : uint8_t { WSPR_STATE_ERROR = 0, WSPR_STATE_IDLE = 1, WSPR_STATE_TX = 2 } WSPR_State;

/* A read-only snapshot of the beacon, as the HAL's ..._GetState functions give one of a
 * peripheral: for whoever watches it (the simulator, the tests, a script at a debugger). */
typedef struct {
    WSPR_State state;
    char callsign[CALLSIGN_MAX_LEN + 1];
    char locator[LOCATOR_MAX_LEN + 1];
    uint8_t power_dbm;
    uint32_t base_freq_hz;
    uint32_t xtal_hz;
    bool auto_tx;
    bool time_valid;
    uint32_t utc_seconds;       /* second of the UTC day, 0..86399, while time_valid */
    uint16_t symbol_index;      /* the symbol on the air, while transmitting */
    uint8_t console_rx_pending; /* bytes received on the console and not yet taken in */
    uint8_t gnss_rx_pending;    /* the same for the GNSS receiver */
    uint8_t line_length;        /* characters of the console line being typed */
} WSPR_AppStatus;

/* Entry points of the firmware, found by name by whoever runs it: C linkage. */
#ifdef __cplusplus
extern "C" {
#endif

/* Main loop, once, before the 1 ms tick runs: brings up the Si5351 (IDLE with CLK1 off, or
 * ERROR), prints the banner and the prompt, and arms reception on both UARTs. */
void WSPR_App_Init(void);

/* Main loop, endlessly: one pass of watchdog refresh, LED, key and recovery (CLK1 off retried,
 * the Si5351 started again from ERROR), symbol clock, console, GNSS, schedule, frame start, tone
 * change and prompt, in that order; returns after the pass. */
void WSPR_App_Process(void);

/* 1 ms timer interrupt: advances the millisecond count and the UTC clock, flags the main loop. */
void WSPR_App_Tick1ms(void);

/* UART receive-complete interrupt: stores the byte in its UART's ring (dropped when the ring is
 * full) and arms the next one-byte reception. Other UARTs are ignored. */
void WSPR_App_UartRxCpltCallback(UART_HandleTypeDef *huart);

/* UART error interrupt: a receive error (overrun, framing, noise) ended the one-byte reception;
 * it is armed again. */
void WSPR_App_UartErrorCallback(UART_HandleTypeDef *huart);

/* Any context, a fault handler included, with interrupts masked or not: CLK1 off by one bounded
 * I2C write, nothing else (no console, no state). */
void WSPR_App_EmergencyStop(void);

/* Main loop, between passes (or a debugger with the CPU stopped): fills the snapshot. UTC is read
 * with interrupts masked; everything else as the main loop last left it. */
void WSPR_App_GetStatus(WSPR_AppStatus *status);

#ifdef __cplusplus
}
#endif

#endif
