// CPU intrinsics for the PC tests of the platform layer: interrupt masking is recorded, and
// waiting for an interrupt with interrupts masked (the firmware's halt) throws fake::Halted.
#ifndef CPU_FAKE_CHIP_H
#define CPU_FAKE_CHIP_H

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
