// Stand-ins for the beacon application, so the firmware's bring-up and interrupt wiring can run
// on the fake chip. They record what reaches them and, like the beacon, arm the next one-byte
// reception after each completed or failed one.
#pragma once

#include <cstdint>
#include <vector>

#include "stm32f4xx_hal.h"

namespace stubs {

struct Reception {
    USART_TypeDef *instance;
    uint8_t byte;
};

struct Record {
    int reset_cause_reads = 0;
    int app_inits = 0;
    bool tick_running_at_app_init = false;
    int ticks = 0;
    std::vector<Reception> received;
    std::vector<uint32_t> error_codes;
    bool rearm = true;
    int emergency_stops = 0;
    std::vector<USART_TypeDef *> tx_completes;
    int console_flushes = 0;
    std::vector<uint32_t> pulses; // TIM2's captured counts, as the capture interrupt passed them
};

Record &record();
void Reset();

} // namespace stubs
