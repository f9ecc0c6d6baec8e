/* The CPU intrinsics the firmware uses (__disable_irq, __enable_irq, __get_PRIMASK, __set_PRIMASK,
 * __NOP, __WFI; on the board
 * also the barriers __DSB and __ISB), from the back end the build names with one definition:
 *   WSPR_PLATFORM_STM32F411  the chip itself: Platform/stm32f411/include/cpu_stm32f411.h
 *   WSPR_PLATFORM_HOST       the virtual MCU on the PC: functions in Platform/host/vmcu_core.cpp
 *                            (masking holds interrupts pending; __WFI waits in virtual time)
 *   WSPR_PLATFORM_FAKE_CHIP  the PC tests of the board's register layer: functions in
 *                            Tests/stm32/fake_chip.cpp (__WFI while masked throws fake::Halted) */
#ifndef PLATFORM_CPU_H
#define PLATFORM_CPU_H

#if defined(WSPR_PLATFORM_STM32F411)
#include "cpu_stm32f411.h"
#elif defined(WSPR_PLATFORM_HOST) || defined(WSPR_PLATFORM_FAKE_CHIP)
#ifdef __cplusplus
extern "C" {
#endif
void __disable_irq(void);
void __enable_irq(void);
unsigned __get_PRIMASK(void); /* 1 while masked */
void __set_PRIMASK(unsigned value);
void __NOP(void);
void __WFI(void);
#ifdef __cplusplus
}
#endif
#else
#error                                                                                             \
    "The build must define WSPR_PLATFORM_STM32F411, WSPR_PLATFORM_HOST or WSPR_PLATFORM_FAKE_CHIP"
#endif

#endif
