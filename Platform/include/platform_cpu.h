/* The CPU intrinsics the firmware uses (__disable_irq, __enable_irq, __NOP, __WFI; on the board
 * also the barriers __DSB and __ISB), from the back end the build names with one definition:
 *   WSPR_PLATFORM_STM32F411  the chip itself Platform/stm32f411/include/cpu_stm32f411.h
 *   WSPR_PLATFORM_HOST       the virtual MCU on the PC     Platform/host/include/cpu_host.h
 *   WSPR_PLATFORM_FAKE_CHIP  the PC tests of the board's register layer
 *                                                          Tests/stm32/fake/cpu_fake_chip.h */
#ifndef PLATFORM_CPU_H
#define PLATFORM_CPU_H

#if defined(WSPR_PLATFORM_STM32F411)
#include "cpu_stm32f411.h"
#elif defined(WSPR_PLATFORM_HOST)
#include "cpu_host.h"
#elif defined(WSPR_PLATFORM_FAKE_CHIP)
#include "cpu_fake_chip.h"
#else
#error                                                                                             \
    "The build must define WSPR_PLATFORM_STM32F411, WSPR_PLATFORM_HOST or WSPR_PLATFORM_FAKE_CHIP"
#endif

#endif
