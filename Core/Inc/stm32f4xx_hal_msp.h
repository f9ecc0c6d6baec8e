#ifndef STM32F4XX_HAL_MSP_H
#define STM32F4XX_HAL_MSP_H

/* Low-level set-up called by the platform's init operations: HAL_MspInit, HAL_I2C_MspInit,
 * HAL_UART_MspInit, HAL_TIM_Base_MspInit and HAL_RTC_MspInit (declared in stm32f4xx_hal.h). */
#include "main.h"

#endif
