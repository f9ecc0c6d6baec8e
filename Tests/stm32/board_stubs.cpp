#include "board_stubs.h"

#include "app_reference.h"
#include "fake_chip.h"
#include "usart.h"
#include "wspr_app.h"

namespace {
stubs::Record g_record;
uint8_t g_console_byte;
uint8_t g_gnss_byte;

void Rearm(UART_HandleTypeDef *huart) {
    if (!g_record.rearm) {
        return;
    }
    HAL_UART_Receive_IT(huart, huart->Instance == USART1 ? &g_console_byte : &g_gnss_byte, 1);
}
} // namespace

namespace stubs {
Record &record() {
    return g_record;
}
void Reset() {
    g_record = Record{};
}
} // namespace stubs

void WSPR_App_ReadResetCause(void) {
    ++g_record.reset_cause_reads;
}

void WSPR_App_Init(void) {
    ++g_record.app_inits;
    const TIM_TypeDef &tim3 = fake::Tim(TIM3);
    g_record.tick_running_at_app_init =
        (tim3.CR1 & TIM_CR1_CEN) != 0U || (tim3.DIER & TIM_DIER_UIE) != 0U;
    Rearm(&huart1);
    Rearm(&huart2);
}

void WSPR_App_Process(void) {}

void WSPR_App_Tick1ms(void) {
    ++g_record.ticks;
}

void WSPR_App_UartRxCpltCallback(UART_HandleTypeDef *huart) {
    g_record.received.push_back({huart->Instance, *(huart->pRxBuffPtr - 1)});
    Rearm(huart);
}

void WSPR_App_UartErrorCallback(UART_HandleTypeDef *huart) {
    g_record.error_codes.push_back(uint32_t{huart->ErrorCode});
    Rearm(huart);
}

void Reference_Pulse(uint32_t count) {
    g_record.pulses.push_back(count);
}

void WSPR_App_EmergencyStop(void) {
    ++g_record.emergency_stops;
}

void WSPR_App_UartTxCpltCallback(UART_HandleTypeDef *huart) {
    g_record.tx_completes.push_back(huart->Instance);
}

void WSPR_App_FlushConsole(void) {
    ++g_record.console_flushes;
}
