/* How the platform layer reaches the peripheral registers on the chip: at their own addresses.
 * The PC tests of the layer supply another version of this header that places the register
 * blocks in memory, plays the hardware while the layer waits and lets time pass meanwhile. */
#ifndef PERIPH_ACCESS_H
#define PERIPH_ACCESS_H

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
