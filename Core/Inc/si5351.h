#ifndef SI5351_H
#define SI5351_H

#include <stdint.h>

#include "stm32f4xx_hal.h"

typedef struct {
    uint32_t p1;
    uint32_t p2;
    uint32_t p3;
} Si5351Params;

HAL_StatusTypeDef Si5351_Init(I2C_HandleTypeDef *hi2c);
HAL_StatusTypeDef Si5351_SetFreqClk1Uhz(uint64_t freq_uhz);
HAL_StatusTypeDef Si5351_OutputEnableClk1(bool enable);

#endif
