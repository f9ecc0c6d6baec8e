/* Cortex-M4 intrinsics used by the firmware and the start-up code. */
#ifndef CPU_STM32F411_H
#define CPU_STM32F411_H

/* PRIMASK: all maskable interrupts held off until __enable_irq. */
static inline void __disable_irq(void) {
    __asm volatile("cpsid i" ::: "memory");
}
static inline void __enable_irq(void) {
    __asm volatile("cpsie i" ::: "memory");
}
/* PRIMASK itself, so that a masked section can leave it as it found it. */
static inline unsigned __get_PRIMASK(void) {
    unsigned value;
    __asm volatile("mrs %0, primask" : "=r"(value)::"memory");
    return value;
}
static inline void __set_PRIMASK(unsigned value) {
    __asm volatile("msr primask, %0" ::"r"(value) : "memory");
}
static inline void __NOP(void) {
    __asm volatile("nop");
}
static inline void __WFI(void) {
    __asm volatile("wfi" ::: "memory");
}
/* Barriers: memory accesses complete, then the pipeline refetches (after CPACR, VTOR writes). */
static inline void __DSB(void) {
    __asm volatile("dsb" ::: "memory");
}
static inline void __ISB(void) {
    __asm volatile("isb" ::: "memory");
}

#endif
