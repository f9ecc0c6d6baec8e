/* Compile-time configuration of the beacon: the built-in settings, which a reset brings back unless
 * `save` kept others in flash. */
#ifndef APP_CONFIG_H
#define APP_CONFIG_H

#include <stdint.h>

/* The core clock SystemClock_Config sets up (HSE 25 MHz through the PLL) */
#define CPU_CLOCK_HZ 100000000UL

/* Si5351 */
#define SI5351_XTAL_HZ 25003275UL /* calibrated 25 MHz crystal */
#define SI5351_I2C_ADDR_7BIT 0x60U

/* WSPR message and RF defaults */
#define WSPR_DEFAULT_CALLSIGN "QZ5RTV"
#define WSPR_DEFAULT_LOCATOR "OM85"
#define WSPR_DEFAULT_POWER_DBM 10U
#define WSPR_DEFAULT_FREQ_HZ 14097070UL
#define WSPR_TONE_SPACING_UHZ 1464844ULL
#define WSPR_TONE_COUNT 4U
#define WSPR_SYMBOL_PERIOD_US 682667ULL
#define WSPR_SLOT_SECONDS 120U /* a frame may start at second 0 of every even minute */
#define WSPR_MIN_FREQ_HZ 2500000UL
#define WSPR_MAX_FREQ_HZ 150000000UL

/* Status LED half-periods in milliseconds, per state */
#define WSPR_STATUS_LED_IDLE_TICKS 1000U
#define WSPR_STATUS_LED_TX_TICKS 100U
#define WSPR_STATUS_LED_ERR_TICKS 200U

#define KEY_DEBOUNCE_MS 50U

/* A main loop that has not completed a pass for this long during a frame cannot key the next tone
 * or end the frame: the tick switches CLK1 off (the watchdog resets the board later). Well above
 * the longest pass of a working main loop. */
#define MAIN_LOOP_STALL_MS 100U

/* Serial links: the console on USART1, the GNSS receiver on USART2, both 8N1 */
#define CONSOLE_BAUD 115200U
#define GNSS_BAUD 9600U
/* Receive rings: the console's holds a pasted block of settings while the shell answers it line
 * by line (the echo, reply and prompt of a line are longer than the line). At most 256: the
 * status snapshot counts waiting bytes in 8 bits. */
#define CONSOLE_RX_RING_SIZE 256U
#define GNSS_RX_RING_SIZE 64U
#define CONSOLE_TX_RING_SIZE 512U
#define DAY_SECONDS 86400UL

#define CALLSIGN_MAX_LEN 6U
#define LOCATOR_MAX_LEN 4U

#endif
