#include "stm32f4xx_hal_msp.h"

namespace {

/* Both UARTs: alternate-function push-pull pins, very high speed. The receive pin has a pull-up,
 * so an unplugged line idles high (a stop level) instead of floating into noise. */
void InitUartPins(GPIO_TypeDef *port, uint32_t tx_pin, uint32_t rx_pin, uint32_t alternate) {
    GPIO_InitTypeDef init = {};
    init.Pin = tx_pin;
    init.Mode = GPIO_MODE_AF_PP;
    init.Pull = GPIO_NOPULL;
    init.Speed = GPIO_SPEED_FREQ_VERY_HIGH;
    init.Alternate = alternate;
    HAL_GPIO_Init(port, &init);
    init.Pin = rx_pin;
    init.Pull = GPIO_PULLUP;
    HAL_GPIO_Init(port, &init);
}

} // namespace

void HAL_MspInit(void) {
    __HAL_RCC_SYSCFG_CLK_ENABLE();
    __HAL_RCC_PWR_CLK_ENABLE();
}

void HAL_I2C_MspInit(I2C_HandleTypeDef *hi2c) {
    if (hi2c->Instance == I2C1) {
        GPIO_InitTypeDef init = {};
        __HAL_RCC_GPIOB_CLK_ENABLE();
        init.Pin = GPIO_PIN_6 | GPIO_PIN_7;
        init.Mode = GPIO_MODE_AF_OD;
        init.Pull = GPIO_NOPULL;
        init.Speed = GPIO_SPEED_FREQ_VERY_HIGH;
        init.Alternate = GPIO_AF4_I2C1;
        HAL_GPIO_Init(GPIOB, &init);
        __HAL_RCC_I2C1_CLK_ENABLE();
    }
}

void HAL_RTC_MspInit(RTC_HandleTypeDef *hrtc) {
    if (hrtc->Instance == RTC) {
        RCC_PeriphCLKInitTypeDef clk = {};
        clk.PeriphClockSelection = RCC_PERIPHCLK_RTC;
        clk.RTCClockSelection = RCC_RTCCLKSOURCE_LSI;
        if (HAL_RCCEx_PeriphCLKConfig(&clk) != HAL_OK) {
            Error_Handler();
        }
        __HAL_RCC_RTC_ENABLE();
    }
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

void HAL_UART_MspInit(UART_HandleTypeDef *huart) {
    if (huart->Instance == USART1) {
        __HAL_RCC_USART1_CLK_ENABLE();
        __HAL_RCC_GPIOA_CLK_ENABLE();
        InitUartPins(GPIOA, GPIO_PIN_9, GPIO_PIN_10, GPIO_AF7_USART1);
        HAL_NVIC_SetPriority(USART1_IRQn, 0, 0);
        HAL_NVIC_EnableIRQ(USART1_IRQn);
    } else if (huart->Instance == USART2) {
        __HAL_RCC_USART2_CLK_ENABLE();
        __HAL_RCC_GPIOA_CLK_ENABLE();
        InitUartPins(GPIOA, GPIO_PIN_2, GPIO_PIN_3, GPIO_AF7_USART2);
        HAL_NVIC_SetPriority(USART2_IRQn, 0, 0);
        HAL_NVIC_EnableIRQ(USART2_IRQn);
    }
}
