#include "tim.h"

TIM_HandleTypeDef htim1;
TIM_HandleTypeDef htim3;

namespace {

/* Internal clock, no master/slave coupling: the set-up both timers share. */
void ConfigureTimer(TIM_HandleTypeDef *htim) {
    TIM_ClockConfigTypeDef clock = {};
    TIM_MasterConfigTypeDef master = {};

    if (HAL_TIM_Base_Init(htim) != HAL_OK) {
        Error_Handler();
    }
    clock.ClockSource = TIM_CLOCKSOURCE_INTERNAL;
    if (HAL_TIM_ConfigClockSource(htim, &clock) != HAL_OK) {
        Error_Handler();
    }
    master.MasterOutputTrigger = TIM_TRGO_RESET;
    master.MasterSlaveMode = TIM_MASTERSLAVEMODE_DISABLE;
    if (HAL_TIMEx_MasterConfigSynchronization(htim, &master) != HAL_OK) {
        Error_Handler();
    }
}

} // namespace

void MX_TIM1_Init(void) {
    htim1.Instance = TIM1;
    htim1.Init.Prescaler = 0;
    htim1.Init.CounterMode = TIM_COUNTERMODE_UP;
    htim1.Init.Period = 6;
    htim1.Init.ClockDivision = TIM_CLOCKDIVISION_DIV1;
    htim1.Init.RepetitionCounter = 0;
    htim1.Init.AutoReloadPreload = TIM_AUTORELOAD_PRELOAD_ENABLE;
    ConfigureTimer(&htim1);
}

/* 100 MHz / (9999 + 1) / (9 + 1): one update every millisecond. */
void MX_TIM3_Init(void) {
    htim3.Instance = TIM3;
    htim3.Init.Prescaler = 9999;
    htim3.Init.CounterMode = TIM_COUNTERMODE_UP;
    htim3.Init.Period = 9;
    htim3.Init.ClockDivision = TIM_CLOCKDIVISION_DIV1;
    htim3.Init.AutoReloadPreload = TIM_AUTORELOAD_PRELOAD_ENABLE;
    ConfigureTimer(&htim3);
}
