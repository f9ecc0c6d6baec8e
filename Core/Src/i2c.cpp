/* I2C1, the Si5351's bus at 400 kHz: set-up, pins, freeing a bus a slave holds, and taking the bus
 * from whatever had it (a transfer a fault or an interrupt cut in half). */
#include "i2c.h"

I2C_HandleTypeDef hi2c1;

namespace {

constexpr uint16_t SCL_PIN = I2C1_SCL_Pin;
constexpr uint16_t SDA_PIN = I2C1_SDA_Pin;
constexpr int RECOVERY_PULSES = 9; /* a byte and its acknowledge: the most a slave can owe */

/* Half a clock period of 100 kHz, about 5 us at 100 MHz: slow enough for any slave. */
void HalfBit() {
    for (uint32_t n = 0; n < 100U; ++n) { // __NOP is not optimised away
        __NOP();
    }
}

void Line(uint16_t pin, GPIO_PinState level) {
    HAL_GPIO_WritePin(I2C1_GPIO_Port, pin, level);
    HalfBit();
}

/* A slave reset in the middle of a read, or interrupted by a master reset, can hold SDA low for
 * good, and the I2C peripheral cannot free a line it does not drive. Clocked by hand (the pins as
 * open-drain outputs), the slave shifts out the rest of its byte and lets SDA go; a STOP then
 * leaves the bus idle. */
void ClockOutStuckSlave() {
    __HAL_RCC_GPIOB_CLK_ENABLE();
    HAL_GPIO_WritePin(I2C1_GPIO_Port, SCL_PIN | SDA_PIN,
                      GPIO_PIN_SET); /* released when they switch */
    GPIO_InitTypeDef init = {};
    init.Pin = SCL_PIN | SDA_PIN;
    init.Mode = GPIO_MODE_OUTPUT_OD;
    init.Pull = GPIO_NOPULL;
    init.Speed = GPIO_SPEED_FREQ_VERY_HIGH;
    HAL_GPIO_Init(I2C1_GPIO_Port, &init);
    HalfBit();
    for (int n = 0;
         n < RECOVERY_PULSES && HAL_GPIO_ReadPin(I2C1_GPIO_Port, SDA_PIN) == GPIO_PIN_RESET; ++n) {
        Line(SCL_PIN, GPIO_PIN_RESET);
        Line(SCL_PIN, GPIO_PIN_SET);
    }
    /* STOP: SDA rises while SCL is high. */
    Line(SCL_PIN, GPIO_PIN_RESET);
    Line(SDA_PIN, GPIO_PIN_RESET);
    Line(SCL_PIN, GPIO_PIN_SET);
    Line(SDA_PIN, GPIO_PIN_SET);
}

/* The peripheral reset through the RCC: every register back to its reset value (BUSY too, which
 * a transfer cut in the middle leaves set), its pins let go. */
void ResetPeripheral() {
    __HAL_RCC_I2C1_FORCE_RESET();
    __HAL_RCC_I2C1_RELEASE_RESET();
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
    ResetPeripheral();
    ClockOutStuckSlave();
    return HAL_I2C_Init(&hi2c1);
}

void MX_I2C1_Seize(void) {
    ResetPeripheral();
    ClockOutStuckSlave();
    (void)HAL_I2C_Init(&hi2c1);
}

void MX_I2C1_Hold(void) {
    __HAL_RCC_I2C1_FORCE_RESET();
}

void HAL_I2C_MspInit(I2C_HandleTypeDef *hi2c) {
    if (hi2c->Instance == I2C1) {
        GPIO_InitTypeDef init = {};
        __HAL_RCC_GPIOB_CLK_ENABLE();
        init.Pin = SCL_PIN | SDA_PIN;
        init.Mode = GPIO_MODE_AF_OD;
        init.Pull = GPIO_NOPULL;
        init.Speed = GPIO_SPEED_FREQ_VERY_HIGH;
        init.Alternate = GPIO_AF4_I2C1;
        HAL_GPIO_Init(I2C1_GPIO_Port, &init);
        __HAL_RCC_I2C1_CLK_ENABLE();
    }
}
