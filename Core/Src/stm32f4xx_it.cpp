#include "stm32f4xx_it.h"

#include "main.h"
#include "tim.h"
#include "usart.h"

/* Faults: nothing sensible can continue; stay here for the debugger or the watchdog-less reset. */
void NMI_Handler(void) {
    for (;;) {
    }
}
void HardFault_Handler(void) {
    for (;;) {
    }
}
void MemManage_Handler(void) {
    for (;;) {
    }
}
void BusFault_Handler(void) {
    for (;;) {
    }
}
void UsageFault_Handler(void) {
    for (;;) {
    }
}

void SVC_Handler(void) {}
void DebugMon_Handler(void) {}
void PendSV_Handler(void) {}

void SysTick_Handler(void) { HAL_IncTick(); }

void TIM3_IRQHandler(void) { HAL_TIM_IRQHandler(&htim3); }

void USART1_IRQHandler(void) { HAL_UART_IRQHandler(&huart1); }

void USART2_IRQHandler(void) { HAL_UART_IRQHandler(&huart2); }
