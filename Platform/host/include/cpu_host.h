/* CPU intrinsics of the virtual MCU. Masking holds interrupts pending until unmasked, as PRIMASK
 * does on the chip; __WFI waits for the next event in virtual time. */
#ifndef CPU_HOST_H
#define CPU_HOST_H

#ifdef __cplusplus
extern "C" {
#endif

void __disable_irq(void);
void __enable_irq(void);
void __NOP(void);
void __WFI(void);

#ifdef __cplusplus
}
#endif

#endif
