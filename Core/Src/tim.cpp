/* The timers: TIM3 gives the application its 1 ms tick; TIM2 counts the Si5351's CLK0 on its ETR
 * pin (PA5) and captures the count at each GNSS pulse-per-second on channel 2 (PA1); TIM1 is set
 * up as the board's usual start-up does and left stopped (the beacon does not use it). */
#include "tim.h"

#include "app_reference.h"
#include "stm32f4xx_it.h"
#include "wspr_app.h"

TIM_HandleTypeDef htim1;
TIM_HandleTypeDef htim2;
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

/* Free-running over 32 bits on CLK0's edges (external clock mode 2, no prescaler: CLK0's 12.5 MHz
 * is within a quarter of the 100 MHz timer clock), channel 2 capturing on the pulse's rising edge.
 */
void MX_TIM2_Init(void) {
    htim2.Instance = TIM2;
    htim2.Init.Prescaler = 0;
    htim2.Init.CounterMode = TIM_COUNTERMODE_UP;
    htim2.Init.Period = 0xFFFFFFFFU;
    htim2.Init.ClockDivision = TIM_CLOCKDIVISION_DIV1;
    htim2.Init.AutoReloadPreload = TIM_AUTORELOAD_PRELOAD_DISABLE;
    if (HAL_TIM_Base_Init(&htim2) != HAL_OK) {
        Error_Handler();
    }
    TIM_ClockConfigTypeDef clock = {};
    clock.ClockSource = TIM_CLOCKSOURCE_ETRMODE2;
    clock.ClockPolarity = TIM_CLOCKPOLARITY_NONINVERTED;
    clock.ClockPrescaler = TIM_CLOCKPRESCALER_DIV1;
    clock.ClockFilter = 0;
    TIM_IC_InitTypeDef capture = {};
    capture.ICPolarity = TIM_ICPOLARITY_RISING;
    capture.ICSelection = TIM_ICSELECTION_DIRECTTI;
    capture.ICPrescaler = TIM_ICPSC_DIV1;
    capture.ICFilter = 0;
    if (HAL_TIM_ConfigClockSource(&htim2, &clock) != HAL_OK ||
        HAL_TIM_IC_ConfigChannel(&htim2, &capture, TIM_CHANNEL_2) != HAL_OK ||
        HAL_TIM_IC_Start_IT(&htim2, TIM_CHANNEL_2) != HAL_OK) {
        Error_Handler();
    }
}

void HAL_TIM_Base_MspInit(TIM_HandleTypeDef *htim) {
    if (htim->Instance == TIM2) {
        __HAL_RCC_TIM2_CLK_ENABLE();
        __HAL_RCC_GPIOA_CLK_ENABLE();
        GPIO_InitTypeDef pins = {};
        pins.Pin = GPIO_PIN_1 | GPIO_PIN_5; /* the pulse (TIM2_CH2), CLK0 (TIM2_ETR) */
        pins.Mode = GPIO_MODE_AF_PP;
        pins.Pull = GPIO_NOPULL;
        pins.Speed = GPIO_SPEED_FREQ_HIGH;
        pins.Alternate = GPIO_AF1_TIM2;
        HAL_GPIO_Init(GPIOA, &pins);
        /* With the tick and the UARTs (none nests on another): the capture is a few reads. */
        HAL_NVIC_SetPriority(TIM2_IRQn, 0, 0);
        HAL_NVIC_EnableIRQ(TIM2_IRQn);
    } else if (htim->Instance == TIM1) {
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

void TIM2_IRQHandler(void) {
    HAL_TIM_IRQHandler(&htim2);
}

void HAL_TIM_IC_CaptureCallback(TIM_HandleTypeDef *htim) {
    if (htim->Instance == TIM2 && htim->Channel == HAL_TIM_ACTIVE_CHANNEL_2) {
        Reference_Pulse(HAL_TIM_ReadCapturedValue(htim, TIM_CHANNEL_2));
    }
}

void HAL_TIM_PeriodElapsedCallback(TIM_HandleTypeDef *htim) {
    if (htim->Instance == TIM3) {
        WSPR_App_Tick1ms();
    }
}
