/* The register layer on the chip: every register block at its own address, nothing to do while
 * a busy-wait turns (the PC tests' back end is Tests/stm32/fake/periph_access_fake.h). */
#ifndef PERIPH_ACCESS_CHIP_H
#define PERIPH_ACCESS_CHIP_H

#include <stdint.h>

namespace platform {

template <typename T> inline T *Regs(T *instance) {
    return instance;
}

template <typename T> inline T *RegsAt(uintptr_t address) {
    return reinterpret_cast<T *>(address);
}

/* Runs on every turn of a busy-wait loop, before the flag is looked at. */
inline void PollHook() {}

/* Runs when a busy-wait found its flag not there yet, before the time-out is checked. */
inline void WaitHook() {}

} // namespace platform

#endif
