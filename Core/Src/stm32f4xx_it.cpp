#include "stm32f4xx_it.h"

#include "main.h"
#include "tim.h"
#include "usart.h"

/* Faults: nothing sensible can continue. CLK1 off, then the watchdog resets the board. */
void NMI_Handler(void) {
    Error_Handler();
}
void HardFault_Handler(void) {
    Error_Handler();
}
void MemManage_Handler(void) {
    Error_Handler();
}
void BusFault_Handler(void) {
    Error_Handler();
}
void UsageFault_Handler(void) {
    Error_Handler();
}

void SVC_Handler(void) {}
void DebugMon_Handler(void) {}
void PendSV_Handler(void) {}

void SysTick_Handler(void) {
    HAL_IncTick();
}

void TIM3_IRQHandler(void) {
    HAL_TIM_IRQHandler(&htim3);
}

void USART1_IRQHandler(void) {
    HAL_UART_IRQHandler(&huart1);
}

void USART2_IRQHandler(void) {
    HAL_UART_IRQHandler(&huart2);
}
