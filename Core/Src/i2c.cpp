#include "i2c.h"

I2C_HandleTypeDef hi2c1;

namespace {

constexpr uint16_t SCL_PIN = GPIO_PIN_6; /* PB6 */
constexpr uint16_t SDA_PIN = GPIO_PIN_7; /* PB7 */
constexpr int RECOVERY_PULSES = 9;       /* a byte and its acknowledge: the most a slave can owe */

/* Half a clock period of 100 kHz, about 5 us at 100 MHz: slow enough for any slave. */
void HalfBit() {
    for (uint32_t n = 0; n < 100U; ++n) { // __NOP is not optimised away
        __NOP();
    }
}

void Line(uint16_t pin, GPIO_PinState level) {
    HAL_GPIO_WritePin(GPIOB, pin, level);
    HalfBit();
}

/* A slave reset in the middle of a read, or interrupted by a master reset, can hold SDA low for
 * good, and the I2C peripheral cannot free a line it does not drive. Clocked by hand (the pins as
 * open-drain outputs), the slave shifts out the rest of its byte and lets SDA go; a STOP then
 * leaves the bus idle. */
void ClockOutStuckSlave() {
    __HAL_RCC_GPIOB_CLK_ENABLE();
    HAL_GPIO_WritePin(GPIOB, SCL_PIN | SDA_PIN, GPIO_PIN_SET); /* released when they switch */
    GPIO_InitTypeDef init = {};
    init.Pin = SCL_PIN | SDA_PIN;
    init.Mode = GPIO_MODE_OUTPUT_OD;
    init.Pull = GPIO_NOPULL;
    init.Speed = GPIO_SPEED_FREQ_VERY_HIGH;
    HAL_GPIO_Init(GPIOB, &init);
    HalfBit();
    for (int n = 0; n < RECOVERY_PULSES && HAL_GPIO_ReadPin(GPIOB, SDA_PIN) == GPIO_PIN_RESET;
         ++n) {
        Line(SCL_PIN, GPIO_PIN_RESET);
        Line(SCL_PIN, GPIO_PIN_SET);
    }
    /* STOP: SDA rises while SCL is high. */
    Line(SCL_PIN, GPIO_PIN_RESET);
    Line(SDA_PIN, GPIO_PIN_RESET);
    Line(SCL_PIN, GPIO_PIN_SET);
    Line(SDA_PIN, GPIO_PIN_SET);
}

} // namespace

void MX_I2C1_Init(void) {
    ClockOutStuckSlave();
    hi2c1.Instance = I2C1;
    hi2c1.Init.ClockSpeed = 400000;
    hi2c1.Init.DutyCycle = I2C_DUTYCYCLE_2;
    hi2c1.Init.OwnAddress1 = 0;
    hi2c1.Init.AddressingMode = I2C_ADDRESSINGMODE_7BIT;
    hi2c1.Init.DualAddressMode = I2C_DUALADDRESS_DISABLE;
    hi2c1.Init.OwnAddress2 = 0;
    hi2c1.Init.GeneralCallMode = I2C_GENERALCALL_DISABLE;
    hi2c1.Init.NoStretchMode = I2C_NOSTRETCH_DISABLE;
    if (HAL_I2C_Init(&hi2c1) != HAL_OK) {
        Error_Handler();
    }
}

HAL_StatusTypeDef MX_I2C1_Recover(void) {
    (void)HAL_I2C_DeInit(&hi2c1);
    ClockOutStuckSlave();
    return HAL_I2C_Init(&hi2c1);
}
