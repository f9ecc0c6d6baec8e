#ifndef TIM_H
#define TIM_H

#include "main.h"

extern TIM_HandleTypeDef htim1;
extern TIM_HandleTypeDef htim2;
extern TIM_HandleTypeDef htim3;

void MX_TIM1_Init(void);
void MX_TIM3_Init(void);
void MX_TIM2_Init(void);

#endif
