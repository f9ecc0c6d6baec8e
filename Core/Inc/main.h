#ifndef MAIN_H
#define MAIN_H

#include "stm32f4xx_hal.h"

#define LED_Pin GPIO_PIN_13
#define LED_GPIO_Port GPIOC
#define KEY_Pin GPIO_PIN_0
#define KEY_GPIO_Port GPIOA

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
