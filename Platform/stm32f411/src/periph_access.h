/* How the register-level platform layer reaches the peripheral registers, from the back end the
 * build names (as for platform_cpu.h):
 *   WSPR_PLATFORM_STM32F411  at their own addresses on the chip
 *                            board/periph_access_chip.h
 *   WSPR_PLATFORM_FAKE_CHIP  in the memory of the PC tests' fake chip, which plays the hardware
 *                            while the layer waits: Tests/stm32/fake/periph_access_fake.h
 * Both define platform::Regs, platform::RegsAt, platform::PollHook and platform::WaitHook. */
#ifndef PERIPH_ACCESS_H
#define PERIPH_ACCESS_H

#if defined(WSPR_PLATFORM_STM32F411)
#include "periph_access_chip.h"
#elif defined(WSPR_PLATFORM_FAKE_CHIP)
#include "periph_access_fake.h"
#else
#error "The register layer is built for WSPR_PLATFORM_STM32F411 or WSPR_PLATFORM_FAKE_CHIP"
#endif

#endif
