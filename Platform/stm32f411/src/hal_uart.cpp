/* USART: blocking or interrupt-driven transmit, interrupt-driven reception into a caller's
 * buffer. */
#include "platform_internal.h"

using namespace platform;

namespace {

constexpr uint32_t USART_CR2_STOP_Msk = 0x3000U;
constexpr uint32_t SR_ERRORS = USART_SR_PE | USART_SR_FE | USART_SR_NE | USART_SR_ORE;
constexpr uint32_t CR1_PCE = 1U << 10;

/* SR error bits (PE, FE, NE, ORE at 0..3) as HAL error codes (FE and NE change places). */
uint32_t ErrorCode(uint32_t sr) {
    return ((sr & USART_SR_PE) != 0U ? HAL_UART_ERROR_PE : 0U) |
           ((sr & USART_SR_FE) != 0U ? HAL_UART_ERROR_FE : 0U) |
           ((sr & USART_SR_NE) != 0U ? HAL_UART_ERROR_NE : 0U) |
           ((sr & USART_SR_ORE) != 0U ? HAL_UART_ERROR_ORE : 0U);
}

/* USART1 and USART6 sit on APB2, the others on APB1. */
bool OnApb2(const USART_TypeDef *instance) {
    return instance == USART1 || instance == reinterpret_cast<USART_TypeDef *>(USART6_BASE);
}

void EndReception(UART_HandleTypeDef *huart, USART_TypeDef *usart) {
    ClearBits(usart->CR1, USART_CR1_RXNEIE | USART_CR1_PEIE);
    ClearBits(usart->CR3, USART_CR3_EIE);
    huart->RxBusy = 0;
}

} // namespace

HAL_StatusTypeDef HAL_UART_Init(UART_HandleTypeDef *huart) {
    if (huart == nullptr || huart->Init.BaudRate == 0U) {
        return HAL_ERROR;
    }
    HAL_UART_MspInit(huart);
    USART_TypeDef *usart = Regs(huart->Instance);
    const UART_InitTypeDef &init = huart->Init;
    ClearBits(usart->CR1, USART_CR1_UE);
    ModifyBits(usart->CR2, USART_CR2_STOP_Msk, init.StopBits & USART_CR2_STOP_Msk);
    usart->CR1 = init.WordLength | init.Parity | init.Mode; /* 16x oversampling */
    usart->CR3 = init.HwFlowCtl;
    const uint32_t pclk = OnApb2(huart->Instance) ? Pclk2Hz() : Pclk1Hz();
    usart->BRR = UartBrr(pclk, init.BaudRate);
    SetBits(usart->CR1, USART_CR1_UE);
    huart->RxBusy = 0;
    huart->TxBusy = 0;
    huart->ErrorCode = HAL_UART_ERROR_NONE;
    return HAL_OK;
}

/* The time-out counts from the start of the call, for the whole text. */
HAL_StatusTypeDef HAL_UART_Transmit(UART_HandleTypeDef *huart, const uint8_t *data, uint16_t size,
                                    uint32_t timeout) {
    if (huart == nullptr || data == nullptr || size == 0U) {
        return HAL_ERROR;
    }
    USART_TypeDef *usart = Regs(huart->Instance);
    const uint32_t start = HAL_GetTick();
    for (uint16_t k = 0; k < size; ++k) {
        if (!WaitBits(usart->SR, USART_SR_TXE, USART_SR_TXE, start, timeout)) {
            return HAL_TIMEOUT;
        }
        usart->DR = data[k];
    }
    return WaitBits(usart->SR, USART_SR_TC, USART_SR_TC, start, timeout) ? HAL_OK : HAL_TIMEOUT;
}

/* TXE asks for each byte; after the last, TC tells when it has left the shift register. */
HAL_StatusTypeDef HAL_UART_Transmit_IT(UART_HandleTypeDef *huart, const uint8_t *data,
                                       uint16_t size) {
    if (huart == nullptr || data == nullptr || size == 0U) {
        return HAL_ERROR;
    }
    if (huart->TxBusy) {
        return HAL_BUSY;
    }
    huart->pTxBuffPtr = data;
    huart->TxXferSize = size;
    huart->TxXferCount = size;
    huart->TxBusy = 1;
    SetBits(Regs(huart->Instance)->CR1, USART_CR1_TXEIE);
    return HAL_OK;
}

HAL_StatusTypeDef HAL_UART_Receive_IT(UART_HandleTypeDef *huart, uint8_t *data, uint16_t size) {
    if (huart == nullptr || data == nullptr || size == 0U) {
        return HAL_ERROR;
    }
    if (huart->RxBusy) {
        return HAL_BUSY;
    }
    huart->pRxBuffPtr = data;
    huart->RxXferSize = size;
    huart->RxXferCount = size;
    huart->ErrorCode = HAL_UART_ERROR_NONE;
    huart->RxBusy = 1;
    USART_TypeDef *usart = Regs(huart->Instance);
    SetBits(usart->CR3, USART_CR3_EIE);
    SetBits(usart->CR1, USART_CR1_RXNEIE | ((usart->CR1 & CR1_PCE) != 0U ? USART_CR1_PEIE : 0U));
    return HAL_OK;
}

/* Reading SR and then DR takes the waiting byte and clears RXNE and the error flags with it. */
void HAL_UART_FlushReceiver(UART_HandleTypeDef *huart) {
    const USART_TypeDef *usart = Regs(huart->Instance);
    (void)usart->SR;
    (void)usart->DR;
}

/* The received byte goes to the reception in progress (completing it calls
 * HAL_UART_RxCpltCallback). Reading SR and then DR also clears the error flags; a parity, framing,
 * noise or overrun error then ends the reception and is reported to HAL_UART_ErrorCallback, which
 * may arm the next one. */
void HAL_UART_IRQHandler(UART_HandleTypeDef *huart) {
    USART_TypeDef *usart = Regs(huart->Instance);
    const uint32_t sr = usart->SR;
    if ((sr & (USART_SR_RXNE | SR_ERRORS)) != 0U) {
        const auto byte = static_cast<uint8_t>(usart->DR);
        if ((sr & USART_SR_RXNE) != 0U && huart->RxBusy) {
            *huart->pRxBuffPtr++ = byte;
            huart->RxXferCount = static_cast<uint16_t>(huart->RxXferCount - 1U);
            if (huart->RxXferCount == 0U) {
                EndReception(huart, usart);
                HAL_UART_RxCpltCallback(huart);
            }
        }
    }
    if ((sr & SR_ERRORS) != 0U) {
        huart->ErrorCode = huart->ErrorCode | ErrorCode(sr);
        EndReception(huart, usart);
        HAL_UART_ErrorCallback(huart);
    }
    const uint32_t cr1 = usart->CR1;
    if ((cr1 & USART_CR1_TXEIE) != 0U && (sr & USART_SR_TXE) != 0U) {
        if (huart->TxXferCount > 0U) {
            usart->DR = *huart->pTxBuffPtr++;
            huart->TxXferCount = static_cast<uint16_t>(huart->TxXferCount - 1U);
        }
        if (huart->TxXferCount == 0U) {
            ClearBits(usart->CR1, USART_CR1_TXEIE);
            SetBits(usart->CR1, USART_CR1_TCIE);
        }
    } else if ((cr1 & USART_CR1_TCIE) != 0U && (sr & USART_SR_TC) != 0U) {
        ClearBits(usart->CR1, USART_CR1_TCIE);
        huart->TxBusy = 0;
        HAL_UART_TxCpltCallback(huart);
    }
}

__attribute__((weak)) void HAL_UART_MspInit(UART_HandleTypeDef *huart) {
    (void)huart;
}
__attribute__((weak)) void HAL_UART_RxCpltCallback(UART_HandleTypeDef *huart) {
    (void)huart;
}
__attribute__((weak)) void HAL_UART_TxCpltCallback(UART_HandleTypeDef *huart) {
    (void)huart;
}
__attribute__((weak)) void HAL_UART_ErrorCallback(UART_HandleTypeDef *huart) {
    (void)huart;
}
