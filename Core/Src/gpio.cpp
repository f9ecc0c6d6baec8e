#include "gpio.h"

/* The latch is cleared before the pin becomes an output, so the line never leaves low: the
 * board's pull-down held it there since the reset. */
void MX_GPIO_AmplifierOff(void) {
    GPIO_InitTypeDef init = {};
    __HAL_RCC_GPIOB_CLK_ENABLE();
    HAL_GPIO_WritePin(LINES_GPIO_Port, AMP_Pin, GPIO_PIN_RESET);
    init.Pin = AMP_Pin;
    init.Mode = GPIO_MODE_OUTPUT_PP;
    init.Pull = GPIO_NOPULL;
    init.Speed = GPIO_SPEED_FREQ_LOW;
    HAL_GPIO_Init(LINES_GPIO_Port, &init);
}

void MX_GPIO_Init(void) {
    GPIO_InitTypeDef init = {};

    __HAL_RCC_GPIOC_CLK_ENABLE();
    __HAL_RCC_GPIOH_CLK_ENABLE();
    __HAL_RCC_GPIOA_CLK_ENABLE();
    __HAL_RCC_GPIOB_CLK_ENABLE();

    /* LED off (it is active low) before the pin becomes an output. */
    HAL_GPIO_WritePin(LED_GPIO_Port, LED_Pin, GPIO_PIN_SET);

    init.Pin = LED_Pin;
    init.Mode = GPIO_MODE_OUTPUT_PP;
    init.Pull = GPIO_NOPULL;
    init.Speed = GPIO_SPEED_FREQ_LOW;
    HAL_GPIO_Init(LED_GPIO_Port, &init);

    /* Band lines at code 0 until a frame chooses its band. */
    HAL_GPIO_WritePin(LINES_GPIO_Port, BAND_LINES_Pins, GPIO_PIN_RESET);
    init.Pin = BAND_LINES_Pins;
    HAL_GPIO_Init(LINES_GPIO_Port, &init);

    init.Pin = KEY_Pin;
    init.Mode = GPIO_MODE_INPUT;
    init.Pull = GPIO_PULLUP;
    init.Speed = GPIO_SPEED_FREQ_LOW;
    HAL_GPIO_Init(KEY_GPIO_Port, &init);
}
