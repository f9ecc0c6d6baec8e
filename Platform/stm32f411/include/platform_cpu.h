/* Cortex-M4 intrinsics used by the firmware. */
#ifndef PLATFORM_CPU_H
#define PLATFORM_CPU_H

static inline void __disable_irq(void) { __asm volatile("cpsid i" ::: "memory"); }
static inline void __enable_irq(void) { __asm volatile("cpsie i" ::: "memory"); }
static inline void __NOP(void) { __asm volatile("nop"); }
static inline void __WFI(void) { __asm volatile("wfi" ::: "memory"); }

#endif
