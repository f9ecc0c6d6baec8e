/* The timers: TIM3 gives the application its 1 ms tick; TIM1 is set up as the board's usual
 * start-up does and left stopped (the beacon does not use it). */
#include "tim.h"

#include "stm32f4xx_it.h"
#include "wspr_app.h"

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

void HAL_TIM_Base_MspInit(TIM_HandleTypeDef *htim) {
    if (htim->Instance == TIM1) {
        __HAL_RCC_TIM1_CLK_ENABLE();
    } else if (htim->Instance == TIM3) {
        __HAL_RCC_TIM3_CLK_ENABLE();
        HAL_NVIC_SetPriority(TIM3_IRQn, 0, 0);
        HAL_NVIC_EnableIRQ(TIM3_IRQn);
    }
}

void TIM3_IRQHandler(void) {
    HAL_TIM_IRQHandler(&htim3);
}

void HAL_TIM_PeriodElapsedCallback(TIM_HandleTypeDef *htim) {
    if (htim->Instance == TIM3) {
        WSPR_App_Tick1ms();
    }
}
