/* A section with interrupts masked that leaves PRIMASK as it found it: opened where interrupts
 * were already masked (a fault handler's wait, or the status query the debugger makes there), it
 * does not unmask them when it closes. */
#pragma once

#include "stm32f4xx_hal.h"

class MaskedSection {
  public:
    MaskedSection() : was_masked_(__get_PRIMASK()) { __disable_irq(); }
    ~MaskedSection() { __set_PRIMASK(was_masked_); }
    MaskedSection(const MaskedSection &) = delete;
    MaskedSection &operator=(const MaskedSection &) = delete;

  private:
    unsigned was_masked_;
};
