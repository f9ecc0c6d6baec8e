#ifndef WSPR_APP_H
#define WSPR_APP_H

#include <stdint.h>

#include "stm32f4xx_hal.h"

typedef enum : uint8_t {
    WSPR_STATE_ERROR = 0,
    WSPR_STATE_IDLE = 1,
    WSPR_STATE_TX = 2
} WSPR_State;

void WSPR_App_Init(void);
void WSPR_App_Process(void);
void WSPR_App_Tick1ms(void);
void WSPR_App_UartRxCpltCallback(UART_HandleTypeDef *huart);
/* A receive error (overrun, framing, noise) ended the one-byte reception: arm it again. */
void WSPR_App_UartErrorCallback(UART_HandleTypeDef *huart);

#endif
