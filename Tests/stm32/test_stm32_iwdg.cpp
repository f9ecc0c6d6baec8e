// The independent watchdog's start on the registers: the prescaler and reload written only once
// the last update has reached the LSI's domain, a start that meets an update that never ends
// leaving the running watchdog as it was; every wait ends where the tick stands still (the fault
// path).
#include <gtest/gtest.h>

#include "fake_chip.h"

namespace {

IWDG_HandleTypeDef Handle(uint32_t prescaler, uint32_t reload) {
    IWDG_HandleTypeDef h{};
    h.Instance = IWDG;
    h.Init.Prescaler = prescaler;
    h.Init.Reload = reload;
    return h;
}

// A second start (the fault path's) while the first's update is on its way: it waits for it, then
// writes its own, then reloads.
TEST(Iwdg, SecondStartWaitsForTheFirstUpdate) {
    fake::Reset();
    fake::chip().tick_stands_still = true;
    fake::chip().iwdg_update_turns = 3;
    IWDG_HandleTypeDef first = Handle(IWDG_PRESCALER_64, 999);
    ASSERT_EQ(HAL_IWDG_Init(&first), HAL_OK);
    fake::IwdgUpdateInProgress();
    IWDG_HandleTypeDef second = Handle(IWDG_PRESCALER_64, IWDG_RELOAD_MAX);
    EXPECT_EQ(HAL_IWDG_Init(&second), HAL_OK);
    EXPECT_FALSE(fake::iwdg_written_during_update());
    const IWDG_TypeDef &iwdg = fake::At<IWDG_TypeDef>(IWDG_BASE);
    EXPECT_EQ(iwdg.PR, IWDG_PRESCALER_64);
    EXPECT_EQ(iwdg.RLR, IWDG_RELOAD_MAX);
    EXPECT_EQ(iwdg.KR, 0xAAAAU);
}

// An update that never gets through, with the tick standing still: the start gives up after its
// 48 ms (on the cycle counter), with the watchdog running on its old values.
TEST(Iwdg, UpdateThatNeverEndsLeavesTheWatchdogAlone) {
    fake::Reset();
    fake::chip().tick_stands_still = true;
    fake::chip().iwdg_update_turns = -1;
    IWDG_TypeDef &iwdg = fake::At<IWDG_TypeDef>(IWDG_BASE);
    iwdg.PR = IWDG_PRESCALER_4;
    iwdg.RLR = 99;
    fake::IwdgUpdateInProgress();
    IWDG_HandleTypeDef h = Handle(IWDG_PRESCALER_64, 999);
    const uint32_t tick = HAL_GetTick();
    const uint32_t cycles = HAL_GetCycleCount();
    HAL_StatusTypeDef st = HAL_OK;
    EXPECT_NO_THROW(st = HAL_IWDG_Init(&h));
    EXPECT_EQ(st, HAL_TIMEOUT);
    EXPECT_EQ(iwdg.PR, IWDG_PRESCALER_4);
    EXPECT_EQ(iwdg.RLR, 99U);
    EXPECT_EQ(iwdg.KR, 0xCCCCU); // started (it was), never opened
    EXPECT_EQ(HAL_GetTick(), tick);
    // 48 ms at the reset clock (HSI, 16 MHz), counted a millisecond a turn.
    EXPECT_EQ(HAL_GetCycleCount() - cycles, 49U * 16000U);
}

} // namespace
