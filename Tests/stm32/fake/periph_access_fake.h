// How the platform layer reaches its registers in the PC tests: every register block lives in
// the memory of the fake chip (fake_chip.h); each turn of a busy-wait lets the fake chip act, and
// each turn that finds its flag not yet there lets one millisecond pass.
#ifndef PERIPH_ACCESS_FAKE_H
#define PERIPH_ACCESS_FAKE_H

#include <stdint.h>

namespace platform {

void *FakeRegisterBlock(uintptr_t address);
void FakePoll();
void FakeWait();

template <typename T> inline T *Regs(T *instance) {
    return static_cast<T *>(FakeRegisterBlock(reinterpret_cast<uintptr_t>(instance)));
}

template <typename T> inline T *RegsAt(uintptr_t address) {
    return static_cast<T *>(FakeRegisterBlock(address));
}

inline void PollHook() {
    FakePoll();
}

inline void WaitHook() {
    FakeWait();
}

} // namespace platform

#endif
