#include "usart.h"

UART_HandleTypeDef huart1;
UART_HandleTypeDef huart2;

namespace {

void ConfigureUart(UART_HandleTypeDef *huart, USART_TypeDef *instance, uint32_t baud) {
    huart->Instance = instance;
    huart->Init.BaudRate = baud;
    huart->Init.WordLength = UART_WORDLENGTH_8B;
    huart->Init.StopBits = UART_STOPBITS_1;
    huart->Init.Parity = UART_PARITY_NONE;
    huart->Init.Mode = UART_MODE_TX_RX;
    huart->Init.HwFlowCtl = UART_HWCONTROL_NONE;
    huart->Init.OverSampling = UART_OVERSAMPLING_16;
    if (HAL_UART_Init(huart) != HAL_OK) {
        Error_Handler();
    }
}

} // namespace

void MX_USART1_UART_Init(void) {
    ConfigureUart(&huart1, USART1, 115200);
}

void MX_USART2_UART_Init(void) {
    ConfigureUart(&huart2, USART2, 9600);
}
