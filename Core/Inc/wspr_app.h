/* The beacon application: start-up, the cooperative main loop and its 1 ms tick, the transmission
 * sequencer, the UTC clock and even-minute scheduler, console output, the serial receive rings
 * and the command shell. Two contexts call it: the main loop (init, then pass after pass) and
 * interrupts (the tick and the UART callbacks), which only count time, raise flags, store
 * received bytes and send the console's output. */
#ifndef WSPR_APP_H
#define WSPR_APP_H

#include <stdint.h>

#include "app_config.h"
#include "settings.h"
#include "stm32f4xx_hal.h"

typedef enum : uint8_t { WSPR_STATE_ERROR = 0, WSPR_STATE_IDLE = 1, WSPR_STATE_TX = 2 } WSPR_State;

/* A read-only snapshot of the beacon, as the HAL's ..._GetState functions give one of a
 * peripheral: for whoever watches it (the simulator, the tests, a script at a debugger). */
typedef struct {
    WSPR_State state;
    WSPR_Settings settings;
    bool time_valid;
    uint32_t utc_seconds;       /* second of the UTC day, 0..86399, while time_valid */
    uint16_t symbol_index;      /* the symbol on the air, while transmitting */
    uint8_t console_rx_pending; /* bytes received on the console and not yet taken in */
    uint8_t gnss_rx_pending;    /* the same for the GNSS receiver */
    uint8_t line_length;        /* characters of the console line being typed */
} WSPR_AppStatus;

#ifdef __cplusplus
/* One layout on every build: the simulator reads the board image's snapshot out of its memory. */
static_assert(offsetof(WSPR_AppStatus, settings) == 4 &&
                  offsetof(WSPR_AppStatus, time_valid) == 100 &&
                  offsetof(WSPR_AppStatus, utc_seconds) == 104 &&
                  offsetof(WSPR_AppStatus, symbol_index) == 108 &&
                  offsetof(WSPR_AppStatus, console_rx_pending) == 110 &&
                  offsetof(WSPR_AppStatus, gnss_rx_pending) == 111 &&
                  offsetof(WSPR_AppStatus, line_length) == 112 && sizeof(WSPR_AppStatus) == 116,
              "the status snapshot has one layout on every build");
#endif

/* Entry points of the firmware, found by name by whoever runs it: C linkage. */
#ifdef __cplusplus
extern "C" {
#endif

/* Start-up, first of all, before anything can fault: the RCC's reset flags read (for the banner's
 * "Reset:" line) and cleared, so that the next reset's flags are its own. */
void WSPR_App_ReadResetCause(void);

/* Main loop, once, before the 1 ms tick runs: loads the saved settings, brings up the Si5351 (IDLE
 * with CLK1 off, or ERROR) and puts the banner and the prompt into the console output. Reception
 * on both UARTs is armed by the first pass after the banner has left. */
void WSPR_App_Init(void);

/* Main loop, endlessly: one pass of watchdog refresh, LED, key and recovery (CLK1 off retried,
 * the Si5351 started again from ERROR), symbol clock, console input, GNSS, schedule, frame start,
 * tone change, prompt and (between frames) the tones planned
 * for the next frame, in that order; returns after the pass. Console output never waits: it
 * goes into a ring that the USART1 transmit interrupt empties. */
void WSPR_App_Process(void);

/* 1 ms timer interrupt: advances the millisecond count and the UTC clock, flags the main loop;
 * during a frame, when the main loop has not completed a pass for MAIN_LOOP_STALL_MS, switches
 * CLK1 off (WSPR_App_EmergencyStop), and the main loop's next pass, if one comes, ends the frame.
 */
void WSPR_App_Tick1ms(void);

/* UART receive-complete interrupt: stores the byte in its UART's ring (dropped when the ring is
 * full, and the loss marked there) and arms the next one-byte reception. Other UARTs are
 * ignored. */
void WSPR_App_UartRxCpltCallback(UART_HandleTypeDef *huart);

/* UART transmit-complete interrupt: the console output's next piece is sent. Other UARTs are
 * ignored. */
void WSPR_App_UartTxCpltCallback(UART_HandleTypeDef *huart);

/* UART error interrupt: a receive error (overrun, framing, noise) ended the one-byte reception;
 * the loss is marked in the ring and the reception armed again. */
void WSPR_App_UartErrorCallback(UART_HandleTypeDef *huart);

/* Any context, a fault handler included, with interrupts masked or not, wherever the code it
 * interrupted was (in the middle of an I2C transfer too): the bus taken back, CLK1 off by one
 * bounded I2C write, I2C1 then held in reset until the main loop sets it up again; nothing else
 * (no console, no state). */
void WSPR_App_EmergencyStop(void);

/* The fault path, interrupts masked, after the emergency stop: what waits in the console output is
 * sent by polling, so the last lines before a fault are not lost. */
void WSPR_App_FlushConsole(void);

/* Main loop, between passes (or a debugger with the CPU stopped): fills the snapshot. UTC is read
 * with interrupts masked; everything else as the main loop last left it. */
void WSPR_App_GetStatus(WSPR_AppStatus *status);

#ifdef __cplusplus
}
#endif

#endif
