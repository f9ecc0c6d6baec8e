// Platform operations on their own, on the fake chip: clock tree, flash wait states, NVIC
// priorities, GPIO levels, timer interrupt, RTC calendar formats.
#include <gtest/gtest.h>

#include "board_stubs.h"
#include "fake_chip.h"

using fake::Field;

namespace {

class Clock : public ::testing::Test {
  protected:
    void SetUp() override { fake::Reset(); }

    static RCC_OscInitTypeDef Pll(uint32_t m, uint32_t n, uint32_t p, uint32_t q) {
        RCC_OscInitTypeDef osc = {};
        osc.OscillatorType = RCC_OSCILLATORTYPE_HSE;
        osc.HSEState = RCC_HSE_ON;
        osc.PLL = {RCC_PLL_ON, RCC_PLLSOURCE_HSE, m, n, p, q};
        return osc;
    }

    static HAL_StatusTypeDef Switch(uint32_t source, uint32_t ahb, uint32_t apb1, uint32_t apb2,
                                    uint32_t latency) {
        RCC_ClkInitTypeDef clk = {RCC_CLOCKTYPE_SYSCLK | RCC_CLOCKTYPE_HCLK | RCC_CLOCKTYPE_PCLK1 |
                                      RCC_CLOCKTYPE_PCLK2,
                                  source, ahb, apb1, apb2};
        return HAL_RCC_ClockConfig(&clk, latency);
    }
};

TEST_F(Clock, PllParametersOutsideTheChipsRangesAreRefused) {
    struct {
        uint32_t m, n, p, q;
    } const bad[] = {
        {1, 200, 2, 4},  {64, 200, 2, 4},  // M is 2..63
        {25, 49, 2, 4},  {25, 433, 2, 4},  // N is 50..432
        {25, 200, 3, 4}, {25, 200, 10, 4}, // P is 2, 4, 6 or 8
        {25, 200, 2, 1}, {25, 200, 2, 16}, // Q is 2..15
    };
    for (const auto &c : bad) {
        SCOPED_TRACE(testing::Message() << c.m << " " << c.n << " " << c.p << " " << c.q);
        RCC_OscInitTypeDef osc = Pll(c.m, c.n, c.p, c.q);
        EXPECT_EQ(HAL_RCC_OscConfig(&osc), HAL_ERROR);
        EXPECT_EQ(fake::Rcc().PLLCFGR, 0x24003010U);
        EXPECT_EQ(fake::Rcc().CR & RCC_CR_PLLON, 0U);
    }
}

TEST_F(Clock, PllOutputDividerIsEncodedInTwoBits) {
    for (uint32_t p : {2U, 4U, 6U, 8U}) {
        RCC_OscInitTypeDef osc = Pll(25, 336, p, 7);
        ASSERT_EQ(HAL_RCC_OscConfig(&osc), HAL_OK);
        EXPECT_EQ(Field(fake::Rcc().PLLCFGR, 16, 2), p / 2 - 1);
        EXPECT_EQ(Field(fake::Rcc().PLLCFGR, 6, 9), 336U);
        EXPECT_EQ(Field(fake::Rcc().PLLCFGR, 24, 4), 7U);
    }
}

TEST_F(Clock, PllRunningTheSystemIsNotReconfigured) {
    RCC_OscInitTypeDef osc = Pll(25, 200, 2, 4);
    ASSERT_EQ(HAL_RCC_OscConfig(&osc), HAL_OK);
    ASSERT_EQ(Switch(RCC_SYSCLKSOURCE_PLLCLK, RCC_SYSCLK_DIV1, RCC_HCLK_DIV2, RCC_HCLK_DIV1, 3),
              HAL_OK);
    RCC_OscInitTypeDef again = Pll(25, 336, 4, 7);
    EXPECT_EQ(HAL_RCC_OscConfig(&again), HAL_ERROR);
    EXPECT_EQ(Field(fake::Rcc().PLLCFGR, 6, 9), 200U);
}

TEST_F(Clock, SwitchingToAnOscillatorThatIsNotReadyFails) {
    EXPECT_EQ(Switch(RCC_SYSCLKSOURCE_PLLCLK, RCC_SYSCLK_DIV1, RCC_HCLK_DIV2, RCC_HCLK_DIV1, 3),
              HAL_ERROR);
    EXPECT_EQ(fake::Rcc().CFGR & RCC_CFGR_SW_Msk, 0U);
}

TEST_F(Clock, WaitStatesRiseBeforeTheSwitchAndFallOnlyAfterIt) {
    RCC_OscInitTypeDef osc = Pll(25, 200, 2, 4);
    ASSERT_EQ(HAL_RCC_OscConfig(&osc), HAL_OK);
    ASSERT_EQ(Switch(RCC_SYSCLKSOURCE_PLLCLK, RCC_SYSCLK_DIV1, RCC_HCLK_DIV2, RCC_HCLK_DIV1, 3),
              HAL_OK);
    EXPECT_EQ(fake::latency_at_clock_switch(), 3U);
    // Back to the 16 MHz internal oscillator: still 3 wait states while switching, then 0.
    ASSERT_EQ(Switch(RCC_SYSCLKSOURCE_HSI, RCC_SYSCLK_DIV1, RCC_HCLK_DIV1, RCC_HCLK_DIV1, 0),
              HAL_OK);
    EXPECT_EQ(fake::latency_at_clock_switch(), 3U);
    EXPECT_EQ(fake::Flash().ACR & FLASH_ACR_LATENCY_Msk, 0U);
    EXPECT_EQ(fake::SysTick().LOAD, 15999U);
}

// The switch to the PLL waits for the regulator to reach its voltage scale; it never comes here.
TEST_F(Clock, FullSpeedOnlyOnceTheRegulatorIsReady) {
    fake::chip().regulator_ready = false;
    RCC_OscInitTypeDef osc = Pll(25, 200, 2, 4);
    ASSERT_EQ(HAL_RCC_OscConfig(&osc), HAL_OK);
    EXPECT_EQ(Switch(RCC_SYSCLKSOURCE_PLLCLK, RCC_SYSCLK_DIV1, RCC_HCLK_DIV2, RCC_HCLK_DIV1, 3),
              HAL_TIMEOUT);
    EXPECT_EQ(fake::Rcc().CFGR & RCC_CFGR_SW_Msk, 0U);
}

// The latency field has three bits on this chip: 8 wait states do not exist.
TEST_F(Clock, WaitStatesBeyondTheFieldAreRefused) {
    EXPECT_EQ(Switch(RCC_SYSCLKSOURCE_HSI, RCC_SYSCLK_DIV1, RCC_HCLK_DIV1, RCC_HCLK_DIV1, 8),
              HAL_ERROR);
    EXPECT_EQ(fake::Flash().ACR & 0xFU, 0U);
    EXPECT_EQ(Switch(RCC_SYSCLKSOURCE_HSI, RCC_SYSCLK_DIV1, RCC_HCLK_DIV1, RCC_HCLK_DIV1, 7),
              HAL_OK);
    EXPECT_EQ(fake::Flash().ACR & 0xFU, 7U);
}

TEST(ResetFlags, ReadFromTheControlStatusRegisterAndClearedByRmvf) {
    fake::Reset();
    fake::Rcc().CSR = (1U << 29) | (1U << 26) | RCC_CSR_LSION; // watchdog and pin
    EXPECT_EQ(__HAL_RCC_GET_FLAG(RCC_FLAG_IWDGRST), 1U);
    EXPECT_EQ(__HAL_RCC_GET_FLAG(RCC_FLAG_PINRST), 1U);
    EXPECT_EQ(__HAL_RCC_GET_FLAG(RCC_FLAG_PORRST), 0U);
    EXPECT_EQ(__HAL_RCC_GET_FLAG(RCC_FLAG_SFTRST), 0U);
    __HAL_RCC_CLEAR_RESET_FLAGS();
    EXPECT_EQ(fake::Rcc().CSR & RCC_CSR_RMVF, RCC_CSR_RMVF);
    EXPECT_EQ(fake::Rcc().CSR & RCC_CSR_LSION, RCC_CSR_LSION); // the rest stays
}

// Prescaler and reload go in after the key that opens them; the count is reloaded last. A value
// the registers cannot hold is refused before anything is written.
TEST(Iwdg, StartedWithItsPrescalerAndReload) {
    fake::Reset();
    IWDG_TypeDef &iwdg = fake::At<IWDG_TypeDef>(IWDG_BASE);
    IWDG_HandleTypeDef h = {IWDG, {IWDG_PRESCALER_64, 999}};
    ASSERT_EQ(HAL_IWDG_Init(&h), HAL_OK);
    EXPECT_EQ(iwdg.PR, 4U);
    EXPECT_EQ(iwdg.RLR, 999U);
    EXPECT_EQ(iwdg.KR, 0xAAAAU);
    iwdg.KR = 0;
    EXPECT_EQ(HAL_IWDG_Refresh(&h), HAL_OK);
    EXPECT_EQ(iwdg.KR, 0xAAAAU);

    fake::Reset();
    IWDG_HandleTypeDef bad = {IWDG, {IWDG_PRESCALER_64, IWDG_RELOAD_MAX + 1}};
    EXPECT_EQ(HAL_IWDG_Init(&bad), HAL_ERROR);
    EXPECT_EQ(iwdg.KR, 0U);
    // An update that never reaches the LSI domain ends in a time-out, not a hang.
    iwdg.SR = IWDG_SR_PVU;
    EXPECT_EQ(HAL_IWDG_Init(&h), HAL_TIMEOUT);
}

// A second start (the fault path's) while the first's update is on its way waits for it before it
// writes; one that meets an update that never gets through gives up after 48 ms, leaving the
// watchdog on its old values. Every wait ends with the tick standing still (a fault handler).
TEST(Iwdg, AStartWaitsForTheLastUpdateOrLeavesTheWatchdogAlone) {
    fake::Reset();
    fake::chip().tick_stands_still = true;
    fake::chip().iwdg_update_turns = 3;
    const IWDG_TypeDef &iwdg = fake::At<IWDG_TypeDef>(IWDG_BASE);
    IWDG_HandleTypeDef first = {IWDG, {IWDG_PRESCALER_64, 999}};
    ASSERT_EQ(HAL_IWDG_Init(&first), HAL_OK);
    fake::IwdgUpdateInProgress();
    IWDG_HandleTypeDef second = {IWDG, {IWDG_PRESCALER_64, IWDG_RELOAD_MAX}};
    EXPECT_EQ(HAL_IWDG_Init(&second), HAL_OK);
    EXPECT_FALSE(fake::iwdg_written_during_update());
    EXPECT_EQ(iwdg.RLR, IWDG_RELOAD_MAX);
    EXPECT_EQ(iwdg.KR, 0xAAAAU);

    fake::chip().iwdg_update_turns = -1;
    fake::IwdgUpdateInProgress();
    const uint32_t tick = HAL_GetTick();
    const uint32_t cycles = HAL_GetCycleCount();
    HAL_StatusTypeDef st = HAL_OK;
    EXPECT_NO_THROW(st = HAL_IWDG_Init(&first));
    EXPECT_EQ(st, HAL_TIMEOUT);
    EXPECT_EQ(iwdg.RLR, IWDG_RELOAD_MAX);
    EXPECT_EQ(iwdg.KR, 0xCCCCU); // started (it was), never opened
    EXPECT_EQ(HAL_GetTick(), tick);
    EXPECT_EQ(HAL_GetCycleCount() - cycles, 49U * 16000U); // 48 ms on the HSI, a ms a turn
}

TEST_F(Clock, BusDividersAndTheTickFollowTheClockTree) {
    RCC_OscInitTypeDef osc = Pll(25, 200, 2, 4);
    ASSERT_EQ(HAL_RCC_OscConfig(&osc), HAL_OK);
    // AHB /2 (HPRE 1000), APB1 /4 (PPRE1 101), APB2 /2 (PPRE2 100): HCLK 50 MHz.
    ASSERT_EQ(Switch(RCC_SYSCLKSOURCE_PLLCLK, 0x80U, RCC_HCLK_DIV4, RCC_HCLK_DIV2, 3), HAL_OK);
    const uint32_t cfgr = fake::Rcc().CFGR;
    EXPECT_EQ(Field(cfgr, 4, 4), 0x8U);
    EXPECT_EQ(Field(cfgr, 10, 3), 0x5U);
    EXPECT_EQ(Field(cfgr, 13, 3), 0x4U);
    EXPECT_EQ(fake::SysTick().LOAD, 49999U);

    // USART1 on APB2 (25 MHz) and USART2 on APB1 (12.5 MHz) take their own bus clock.
    UART_HandleTypeDef u1 = {}, u2 = {};
    u1.Instance = USART1;
    u2.Instance = USART2;
    u1.Init.BaudRate = u2.Init.BaudRate = 115200;
    u1.Init.Mode = u2.Init.Mode = UART_MODE_TX_RX;
    ASSERT_EQ(HAL_UART_Init(&u1), HAL_OK);
    ASSERT_EQ(HAL_UART_Init(&u2), HAL_OK);
    EXPECT_EQ(fake::Usart(USART1).BRR, 217U); // 25e6 / 115200 = 217.01
    EXPECT_EQ(fake::Usart(USART2).BRR, 109U); // 12.5e6 / 115200 = 108.5, rounded up
}

TEST_F(Clock, LsiAndRtcClockSelection) {
    RCC_OscInitTypeDef osc = {};
    osc.OscillatorType = RCC_OSCILLATORTYPE_LSI;
    osc.LSIState = RCC_LSI_ON;
    ASSERT_EQ(HAL_RCC_OscConfig(&osc), HAL_OK);
    EXPECT_NE(fake::Rcc().CSR & RCC_CSR_LSIRDY, 0U);

    // An RTC clock chosen before (LSE, RTCSEL 01) can only be changed by resetting the backup
    // domain; the other backup-domain bits survive.
    fake::Rcc().BDCR = 0x00000101U; // LSE selected, LSE on
    RCC_PeriphCLKInitTypeDef clk = {RCC_PERIPHCLK_RTC, RCC_RTCCLKSOURCE_LSI};
    ASSERT_EQ(HAL_RCCEx_PeriphCLKConfig(&clk), HAL_OK);
    EXPECT_EQ(fake::Rcc().BDCR, 0x00000201U);
    EXPECT_NE(fake::Pwr().CR & PWR_CR_DBP, 0U);
}

TEST(Nvic, PrioritiesGoToTheUpperFourBitsOfTheirByte) {
    fake::Reset();
    struct {
        IRQn_Type irq;
        uint32_t preempt;
        volatile uint8_t *byte;
    } const cases[] = {
        {USART2_IRQn, 5, &fake::Nvic().IP[38]},   {TIM3_IRQn, 15, &fake::Nvic().IP[29]},
        {SysTick_IRQn, 15, &fake::Scb().SHP[11]}, {PendSV_IRQn, 3, &fake::Scb().SHP[10]},
        {SVCall_IRQn, 1, &fake::Scb().SHP[7]},    {MemoryManagement_IRQn, 2, &fake::Scb().SHP[0]},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.irq);
        HAL_NVIC_SetPriority(c.irq, c.preempt, 0);
        EXPECT_EQ(*c.byte, c.preempt << 4);
    }
    HAL_NVIC_EnableIRQ(USART2_IRQn);
    HAL_NVIC_EnableIRQ(TIM3_IRQn);
    EXPECT_EQ(fake::Nvic().ISER[0], 1U << 29);
    EXPECT_EQ(fake::Nvic().ISER[1], 1U << 6);
}

TEST(Gpio, LevelsGoThroughTheSetResetRegister) {
    fake::Reset();
    GPIO_TypeDef &c = fake::Gpio(GPIOC);
    HAL_GPIO_WritePin(GPIOC, GPIO_PIN_13, GPIO_PIN_RESET);
    EXPECT_EQ(c.BSRR, 1U << 29);
    HAL_GPIO_WritePin(GPIOC, GPIO_PIN_13, GPIO_PIN_SET);
    EXPECT_EQ(c.BSRR, 1U << 13);

    c.ODR = 1U << 13;
    HAL_GPIO_TogglePin(GPIOC, GPIO_PIN_13);
    EXPECT_EQ(c.BSRR, 1U << 29);
    c.ODR = 1U << 14; // another pin high: left alone
    HAL_GPIO_TogglePin(GPIOC, GPIO_PIN_13);
    EXPECT_EQ(c.BSRR, 1U << 13);

    fake::Gpio(GPIOA).IDR = 0xFFFEU;
    EXPECT_EQ(HAL_GPIO_ReadPin(GPIOA, GPIO_PIN_0), GPIO_PIN_RESET);
    fake::Gpio(GPIOA).IDR = 0x0001U;
    EXPECT_EQ(HAL_GPIO_ReadPin(GPIOA, GPIO_PIN_0), GPIO_PIN_SET);
}

TEST(Gpio, AnalogAndOpenDrainOutputPinsOnPortsAboveEight) {
    fake::Reset();
    GPIO_InitTypeDef out = {GPIO_PIN_15 | GPIO_PIN_8, GPIO_MODE_OUTPUT_OD, GPIO_PULLDOWN,
                            GPIO_SPEED_FREQ_MEDIUM, 0};
    HAL_GPIO_Init(GPIOB, &out);
    const GPIO_TypeDef &b = fake::Gpio(GPIOB);
    EXPECT_EQ(b.MODER, 0x40010280U);
    EXPECT_EQ(b.OTYPER, 0x8100U);
    EXPECT_EQ(b.OSPEEDR, 0x400100C0U);
    EXPECT_EQ(b.PUPDR, 0x80020100U);
    EXPECT_EQ(b.AFR[1], 0U);

    GPIO_InitTypeDef analog = {GPIO_PIN_8, GPIO_MODE_ANALOG, GPIO_PULLUP, 0, 0};
    HAL_GPIO_Init(GPIOB, &analog);
    EXPECT_EQ(Field(b.MODER, 16, 2), 3U);
    EXPECT_EQ(Field(b.PUPDR, 16, 2), 2U); // pull not touched in analog mode
}

TEST(Timer, UpdateInterruptNeedsItsEnableAndClearsItsFlag) {
    fake::Reset();
    TIM_HandleTypeDef htim = {};
    htim.Instance = TIM3;
    htim.Init = {
        99, TIM_COUNTERMODE_UP, 499, TIM_CLOCKDIVISION_DIV1, 0, TIM_AUTORELOAD_PRELOAD_DISABLE};
    fake::Tim(TIM3).SR = TIM_SR_UIF; // left over from before
    ASSERT_EQ(HAL_TIM_Base_Init(&htim), HAL_OK);
    EXPECT_EQ(fake::Tim(TIM3).PSC, 99U);
    EXPECT_EQ(fake::Tim(TIM3).ARR, 499U);
    EXPECT_EQ(fake::Tim(TIM3).CR1, 0U);
    EXPECT_EQ(fake::Tim(TIM3).SR & TIM_SR_UIF, 0U); // the forced update is not a period

    TIM_ClockConfigTypeDef external = {};
    external.ClockSource = 0x0070U; // external clock mode 1: not one the beacon uses
    EXPECT_EQ(HAL_TIM_ConfigClockSource(&htim, &external), HAL_ERROR);
}

// TIM2 as the reference counter: external clock mode 2 on ETR without prescaler or filter, a
// free-running 32-bit count, channel 2 capturing TI2's rising edges with its interrupt; the
// handler passes the capture to the callback as channel 2's and leaves the flags clear.
TEST(Timer, Tim2CountsEtrAndCapturesChannel2) {
    fake::Reset();
    TIM_HandleTypeDef htim = {};
    htim.Instance = TIM2;
    htim.Init = {0, TIM_COUNTERMODE_UP, 0xFFFFFFFFU, TIM_CLOCKDIVISION_DIV1, 0,
                 TIM_AUTORELOAD_PRELOAD_DISABLE};
    TIM_TypeDef &tim = fake::Tim(TIM2);
    tim.SMCR = 0x0007U; // a slave mode left over
    ASSERT_EQ(HAL_TIM_Base_Init(&htim), HAL_OK);
    EXPECT_EQ(tim.ARR, 0xFFFFFFFFU);
    TIM_ClockConfigTypeDef clock = {TIM_CLOCKSOURCE_ETRMODE2, TIM_CLOCKPOLARITY_NONINVERTED,
                                    TIM_CLOCKPRESCALER_DIV1, 0};
    ASSERT_EQ(HAL_TIM_ConfigClockSource(&htim, &clock), HAL_OK);
    EXPECT_EQ(tim.SMCR, TIM_SMCR_ECE); // ECE alone: no slave mode, ETR not inverted, undivided
    TIM_IC_InitTypeDef capture = {TIM_ICPOLARITY_RISING, TIM_ICSELECTION_DIRECTTI, TIM_ICPSC_DIV1,
                                  0};
    tim.CCER = TIM_CCER_CC2P | TIM_CCER_CC2E;
    ASSERT_EQ(HAL_TIM_IC_ConfigChannel(&htim, &capture, TIM_CHANNEL_2), HAL_OK);
    EXPECT_EQ(Field(tim.CCMR[0], 8, 2), 1U);  // CC2S: IC2 on TI2
    EXPECT_EQ(Field(tim.CCMR[0], 10, 6), 0U); // no input prescaler, no filter
    EXPECT_EQ(tim.CCER & (TIM_CCER_CC2P | TIM_CCER_CC2NP | TIM_CCER_CC2E), 0U);
    EXPECT_EQ(HAL_TIM_IC_ConfigChannel(&htim, &capture, 0x0U), HAL_ERROR); // channel 1: no
    ASSERT_EQ(HAL_TIM_IC_Start_IT(&htim, TIM_CHANNEL_2), HAL_OK);
    EXPECT_NE(tim.CCER & TIM_CCER_CC2E, 0U);
    EXPECT_NE(tim.DIER & TIM_DIER_CC2IE, 0U);
    EXPECT_EQ(tim.DIER & TIM_DIER_UIE, 0U);
    EXPECT_NE(tim.CR1 & TIM_CR1_CEN, 0U);

    stubs::Reset();
    tim.CCR[1] = 0xFEDCBA98U;
    tim.SR = TIM_SR_CC2IF | TIM_SR_CC2OF;
    HAL_TIM_IRQHandler(&htim);
    EXPECT_EQ(tim.SR & (TIM_SR_CC2IF | TIM_SR_CC2OF), 0U);
    EXPECT_EQ(HAL_TIM_ReadCapturedValue(&htim, TIM_CHANNEL_2), 0xFEDCBA98U);
    HAL_TIM_IRQHandler(&htim); // nothing captured since: no callback
    EXPECT_EQ(stubs::record().pulses, std::vector<uint32_t>{0xFEDCBA98U});
}

TEST(Rtc, BinaryTimeAndDateAreStoredAsBcd) {
    fake::Reset();
    RTC_HandleTypeDef hrtc = {};
    hrtc.Instance = RTC;
    RTC_TimeTypeDef time = {23, 59, 58, 0, 0, 0};
    ASSERT_EQ(HAL_RTC_SetTime(&hrtc, &time, RTC_FORMAT_BIN), HAL_OK);
    EXPECT_EQ(fake::Rtc().TR, 0x00235958U);
    RTC_DateTypeDef date = {7, 12, 31, 99}; // Sunday 31 December 2099
    ASSERT_EQ(HAL_RTC_SetDate(&hrtc, &date, RTC_FORMAT_BIN), HAL_OK);
    EXPECT_EQ(fake::Rtc().DR, 0x0099F231U);
    EXPECT_EQ(fake::Rtc().WPR, 0xFFU);
}

} // namespace
