#ifndef MAIN_H
#define MAIN_H

#include "stm32f4xx_hal.h"

/* The board's pins, named once. */
#define LED_Pin GPIO_PIN_13 /* status LED, active low */
#define LED_GPIO_Port GPIOC
#define KEY_Pin GPIO_PIN_0 /* button, active low */
#define KEY_GPIO_Port GPIOA
#define CONSOLE_TX_Pin GPIO_PIN_9 /* USART1 */
#define CONSOLE_RX_Pin GPIO_PIN_10
#define CONSOLE_GPIO_Port GPIOA
#define GNSS_TX_Pin GPIO_PIN_2 /* USART2 */
#define GNSS_RX_Pin GPIO_PIN_3
#define GNSS_GPIO_Port GPIOA
#define I2C1_SCL_Pin GPIO_PIN_6 /* the Si5351's bus */
#define I2C1_SDA_Pin GPIO_PIN_7
#define I2C1_GPIO_Port GPIOB
/* The band lines carry the frame's band code (bit 0 on PB12) to the filter relays; PB15 switches
 * the amplifier (high: on), held low by a pull-down on the board until it is driven. */
#define BAND_LINES_Pins (GPIO_PIN_12 | GPIO_PIN_13 | GPIO_PIN_14)
#define BAND_LINE0_Pin GPIO_PIN_12
#define BAND_LINES_Shift 12U
#define AMP_Pin GPIO_PIN_15
#define LINES_GPIO_Port GPIOB

#ifdef __cplusplus
extern "C" {
#endif

/* Brings the board from reset to the running beacon: platform, clock tree, peripherals, the
 * application's start-up and the 1 ms tick. main() calls it and then runs the main loop. */
void Board_Start(void);
void SystemClock_Config(void);
void Error_Handler(void);

#ifdef __cplusplus
}
#endif

#endif
