/* The two UARTs: the console on USART1, the GNSS receiver on USART2. Set-up, pins, interrupts and
 * the HAL's callbacks into the application. */
#include "usart.h"

#include "stm32f4xx_it.h"
#include "wspr_app.h"

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

/* Alternate-function push-pull pins, very high speed. The receive pin has a pull-up, so an
 * unplugged line idles high (a stop level) instead of floating into noise. */
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

void MX_USART1_UART_Init(void) {
    ConfigureUart(&huart1, USART1, CONSOLE_BAUD);
}

void MX_USART2_UART_Init(void) {
    ConfigureUart(&huart2, USART2, GNSS_BAUD);
}

void HAL_UART_MspInit(UART_HandleTypeDef *huart) {
    if (huart->Instance == USART1) {
        __HAL_RCC_USART1_CLK_ENABLE();
        __HAL_RCC_GPIOA_CLK_ENABLE();
        InitUartPins(CONSOLE_GPIO_Port, CONSOLE_TX_Pin, CONSOLE_RX_Pin, GPIO_AF7_USART1);
        HAL_NVIC_SetPriority(USART1_IRQn, 0, 0);
        HAL_NVIC_EnableIRQ(USART1_IRQn);
    } else if (huart->Instance == USART2) {
        __HAL_RCC_USART2_CLK_ENABLE();
        __HAL_RCC_GPIOA_CLK_ENABLE();
        InitUartPins(GNSS_GPIO_Port, GNSS_TX_Pin, GNSS_RX_Pin, GPIO_AF7_USART2);
        HAL_NVIC_SetPriority(USART2_IRQn, 0, 0);
        HAL_NVIC_EnableIRQ(USART2_IRQn);
    }
}

void USART1_IRQHandler(void) {
    HAL_UART_IRQHandler(&huart1);
}

void USART2_IRQHandler(void) {
    HAL_UART_IRQHandler(&huart2);
}

void HAL_UART_RxCpltCallback(UART_HandleTypeDef *huart) {
    WSPR_App_UartRxCpltCallback(huart);
}

void HAL_UART_TxCpltCallback(UART_HandleTypeDef *huart) {
    WSPR_App_UartTxCpltCallback(huart);
}

void HAL_UART_ErrorCallback(UART_HandleTypeDef *huart) {
    WSPR_App_UartErrorCallback(huart);
}
