// The firmware's own start-up (Board_Start: clock tree, pins, I2C1, RTC, TIM1, TIM3, USART1/2)
// run on the fake chip, and what it leaves in every register, against values worked out from
// the reference manual. Then the interrupt wiring from the handlers to the application.
#include <gtest/gtest.h>

#include "board_stubs.h"
#include "fake_chip.h"
#include "i2c.h"
#include "main.h"
#include "stm32f4xx_it.h"
#include "tim.h"
#include "usart.h"

using fake::Field;

namespace {

class Boot : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        stubs::Reset();
        // The backup domain survives a reset: the RTC may hold an older configuration.
        fake::Rtc().PRER = 0x00630F9FU;
        fake::Rtc().TR = 0x00123456U;
        fake::Rtc().DR = 0x00991231U;
        // A priority the bring-up forgets to write shows as this canary.
        for (auto &ip : fake::Nvic().IP) {
            ip = 0xE0U;
        }
        start_tick_ = HAL_GetTick();
        Board_Start();
    }
    uint32_t start_tick_ = 0;
};

TEST_F(Boot, ClockTreeRunsThePllFromTheCrystalAt100MHz) {
    const RCC_Regs &rcc = fake::Rcc();
    EXPECT_NE(rcc.CR & RCC_CR_HSEON, 0U);
    EXPECT_NE(rcc.CR & RCC_CR_PLLON, 0U);
    EXPECT_NE(rcc.CSR & RCC_CSR_LSION, 0U);

    // PLLCFGR: M 5:0 = 25, N 14:6 = 200, P 17:16 = 00 (divide by 2), source bit 22 = HSE,
    // Q 27:24 = 4; reserved bit 29 keeps its reset value 1.
    const uint32_t pll = rcc.PLLCFGR;
    EXPECT_EQ(Field(pll, 0, 6), 25U);
    EXPECT_EQ(Field(pll, 6, 9), 200U);
    EXPECT_EQ(Field(pll, 16, 2), 0U);
    EXPECT_EQ(Field(pll, 22, 1), 1U);
    EXPECT_EQ(Field(pll, 24, 4), 4U);
    EXPECT_EQ(pll, 0x24403219U);

    // CFGR: SW = SWS = 10 (PLL), HPRE 0000 (/1), PPRE1 100 (/2), PPRE2 000 (/1).
    EXPECT_EQ(rcc.CFGR, 0x0000100AU);
    const uint32_t sysclk = HSE_VALUE / Field(pll, 0, 6) * Field(pll, 6, 9) / 2U;
    EXPECT_EQ(sysclk, 100000000U);
    EXPECT_EQ(sysclk / 2U, 50000000U); // PCLK1, 50 MHz at most on APB1

    // Three wait states, set before the switch to 100 MHz; prefetch and both caches on.
    EXPECT_EQ(fake::Flash().ACR, 3U | FLASH_ACR_PRFTEN | FLASH_ACR_ICEN | FLASH_ACR_DCEN);
    EXPECT_EQ(fake::latency_at_clock_switch(), 3U);
    // Regulator scale 1 (VOS 15:14 = 11); backup-domain writes allowed (DBP) for the RTC.
    EXPECT_EQ(fake::Pwr().CR, 0x0000C000U | PWR_CR_DBP);
}

TEST_F(Boot, SysTickCountsMillisecondsAtTheLowestPriority) {
    // 100 MHz / 1000 - 1; processor clock, interrupt on, counter on.
    EXPECT_EQ(fake::SysTick().LOAD, 99999U);
    EXPECT_EQ(fake::SysTick().CTRL, 7U);
    EXPECT_EQ(fake::Scb().SHP[11], 0xF0U); // SysTick: priority 15 in the upper four bits
    // Priority group 4: PRIGROUP = 3, all four bits pre-emption; written with its key.
    EXPECT_EQ(fake::Scb().AIRCR, 0x05FA0300U);

    const uint32_t before = HAL_GetTick();
    SysTick_Handler();
    SysTick_Handler();
    EXPECT_EQ(HAL_GetTick() - before, 2U);
}

TEST_F(Boot, PeripheralClocksAreGated) {
    const RCC_Regs &rcc = fake::Rcc();
    EXPECT_EQ(rcc.AHB1ENR, 0x87U); // GPIO A, B, C, H
    EXPECT_EQ(rcc.APB1ENR, (1U << 0) | (1U << 1) | (1U << 17) | (1U << 21) |
                               (1U << 28)); // TIM2 TIM3 USART2 I2C1 PWR
    EXPECT_EQ(rcc.APB2ENR, (1U << 0) | (1U << 4) | (1U << 14));  // TIM1 USART1 SYSCFG
    // RTC: clocked from LSI (RTCSEL 9:8 = 10) and enabled (bit 15).
    EXPECT_EQ(rcc.BDCR, 0x00008200U);
}

// The fault path takes I2C1 back and then holds it in reset; the main loop's recovery resets it,
// releases it and sets it up again.
TEST_F(Boot, I2c1TakenBackHeldAndSetUpAgain) {
    const RCC_Regs &rcc = fake::Rcc();
    const I2C_TypeDef &i2c = fake::I2c(I2C1);
    MX_I2C1_Seize();
    EXPECT_EQ(rcc.APB1RSTR, 0U);
    EXPECT_EQ(i2c.CR1 & I2C_CR1_PE, I2C_CR1_PE);
    EXPECT_EQ(fake::Field(fake::Gpio(GPIOB).MODER, 12, 4), 0xAU); // PB6, PB7 back in AF4
    MX_I2C1_Hold();
    EXPECT_EQ(rcc.APB1RSTR, 1U << 21);
    EXPECT_EQ(MX_I2C1_Recover(), HAL_OK);
    EXPECT_EQ(rcc.APB1RSTR, 0U);
    EXPECT_EQ(i2c.CR1 & I2C_CR1_PE, I2C_CR1_PE);
}

struct PinExpectation {
    GPIO_TypeDef *port;
    unsigned pin;
    uint32_t mode; // MODER: 0 input, 1 output, 2 alternate
    uint32_t open_drain;
    uint32_t speed; // OSPEEDR: 0 low ... 3 very high
    uint32_t pull;  // PUPDR: 0 none, 1 up, 2 down
    uint32_t af;
    const char *name;
};

TEST_F(Boot, EveryPinHasItsModePullSpeedAndFunction) {
    const PinExpectation pins[] = {
        {GPIOC, 13, 1, 0, 0, 0, 0, "LED PC13"},
        {GPIOA, 0, 0, 0, 0, 1, 0, "KEY PA0"},
        {GPIOB, 6, 2, 1, 3, 0, 4, "I2C1 SCL PB6"},
        {GPIOB, 7, 2, 1, 3, 0, 4, "I2C1 SDA PB7"},
        {GPIOA, 9, 2, 0, 3, 0, 7, "USART1 TX PA9"},
        {GPIOA, 10, 2, 0, 3, 1, 7, "USART1 RX PA10"}, // pulled up: an open line idles high
        {GPIOA, 2, 2, 0, 3, 0, 7, "USART2 TX PA2"},
        {GPIOA, 3, 2, 0, 3, 1, 7, "USART2 RX PA3"},
        // Debug pins keep their reset configuration.
        {GPIOA, 13, 2, 0, 3, 1, 0, "SWDIO PA13"},
        {GPIOA, 14, 2, 0, 0, 2, 0, "SWCLK PA14"},
        {GPIOB, 3, 2, 0, 3, 0, 0, "SWO PB3"},
        // Band lines and the amplifier: push-pull outputs, the board's pull-down on PB15.
        {GPIOB, 12, 1, 0, 0, 0, 0, "band line PB12"},
        {GPIOB, 13, 1, 0, 0, 0, 0, "band line PB13"},
        {GPIOB, 14, 1, 0, 0, 0, 0, "band line PB14"},
        {GPIOB, 15, 1, 0, 0, 0, 0, "amplifier PB15"},
    };
    for (const PinExpectation &p : pins) {
        SCOPED_TRACE(p.name);
        const GPIO_TypeDef &g = fake::Gpio(p.port);
        EXPECT_EQ(Field(g.MODER, 2 * p.pin, 2), p.mode);
        EXPECT_EQ(Field(g.OTYPER, p.pin, 1), p.open_drain);
        EXPECT_EQ(Field(g.OSPEEDR, 2 * p.pin, 2), p.speed);
        EXPECT_EQ(Field(g.PUPDR, 2 * p.pin, 2), p.pull);
        EXPECT_EQ(Field(g.AFR[p.pin / 8], 4 * (p.pin % 8), 4), p.af);
    }
    // The LED (active low) was driven high through the set half of BSRR.
    EXPECT_EQ(fake::Gpio(GPIOC).BSRR, 1U << 13);
}

// The unique ID's three words, read where RM0383 puts them.
TEST_F(Boot, UniqueIdIsReadFromSystemMemory) {
    EXPECT_EQ(HAL_GetUIDw0(), 0x002F0031U);
    EXPECT_EQ(HAL_GetUIDw1(), 0x30335109U);
    EXPECT_EQ(HAL_GetUIDw2(), 0x36353438U);
}

TEST_F(Boot, I2c1RunsFastModeJustBelow400kHz) {
    const I2C_TypeDef &i2c = fake::I2c(I2C1);
    EXPECT_EQ(i2c.CR2 & I2C_CR2_FREQ_Msk, 50U); // PCLK1 in MHz
    // Fast mode, Tlow/Thigh = 2: SCL = 50 MHz / (3 * CCR). CCR = 42 gives 396.8 kHz; 41 would
    // give 406.5 kHz, above the limit.
    EXPECT_EQ(i2c.CCR, I2C_CCR_FS | 42U);
    EXPECT_LE(50000000U / (3U * 42U), 400000U);
    EXPECT_GT(50000000U / (3U * 41U), 400000U);
    EXPECT_EQ(i2c.TRISE, 16U); // 300 ns * 50 MHz + 1
    EXPECT_EQ(i2c.CR1, I2C_CR1_PE);
    EXPECT_EQ(i2c.OAR1, 1U << 14); // 7-bit addressing, own address 0, bit 14 kept at 1
    EXPECT_EQ(i2c.OAR2, 0U);
}

TEST_F(Boot, UartsRun8N1AtTheirBaudRates) {
    struct {
        USART_TypeDef *usart;
        uint32_t pclk, baud, brr;
    } const cases[] = {
        // 100 MHz / 115200 = 868.06 -> 868 = 0x364: mantissa 54, fraction 4/16.
        {USART1, 100000000U, 115200U, 0x364U},
        // 50 MHz / 9600 = 5208.3 -> 5208 = 0x1458: mantissa 325, fraction 8/16.
        {USART2, 50000000U, 9600U, 0x1458U},
    };
    for (const auto &c : cases) {
        const USART_TypeDef &u = fake::Usart(c.usart);
        EXPECT_EQ(u.BRR, c.brr);
        const double actual = double(c.pclk) / u.BRR;
        EXPECT_NEAR(actual, c.baud, c.baud * 0.001);
        // Enabled, transmitter and receiver on, 8 data bits, no parity, 16x oversampling, and
        // the receive interrupt the application armed.
        EXPECT_EQ(u.CR1, USART_CR1_UE | (1U << 3) | (1U << 2) | USART_CR1_RXNEIE);
        EXPECT_EQ(u.CR2, 0U); // 1 stop bit
    }
}

TEST_F(Boot, Tim3TicksEveryMillisecondAndTim1IsConfiguredButStopped) {
    const TIM_TypeDef &tim3 = fake::Tim(TIM3);
    EXPECT_EQ(tim3.PSC, 9999U);
    EXPECT_EQ(tim3.ARR, 9U);
    EXPECT_EQ(tim3.CR1, TIM_CR1_ARPE | TIM_CR1_CEN); // up-counting, no clock division
    EXPECT_EQ(tim3.DIER, TIM_DIER_UIE);
    EXPECT_EQ(tim3.EGR, TIM_EGR_UG);
    EXPECT_EQ(tim3.SMCR & TIM_SMCR_SMS_Msk, 0U); // internal clock
    EXPECT_EQ(tim3.CR2 & TIM_CR2_MMS_Msk, 0U);   // master trigger: reset
    // APB1 divides by 2, so its timers run at twice PCLK1: 100 MHz / 10000 / 10 = 1 kHz.
    EXPECT_EQ(2U * 50000000U / (tim3.PSC + 1U) / (tim3.ARR + 1U), 1000U);

    const TIM_TypeDef &tim1 = fake::Tim(TIM1);
    EXPECT_EQ(tim1.PSC, 0U);
    EXPECT_EQ(tim1.ARR, 6U);
    EXPECT_EQ(tim1.RCR, 0U);
    EXPECT_EQ(tim1.CR1, TIM_CR1_ARPE);
    EXPECT_EQ(tim1.DIER, 0U);
}

TEST_F(Boot, RtcRunsFromLsiAtOneHertzFromMidnight) {
    const RTC_TypeDef &rtc = fake::Rtc();
    EXPECT_EQ(rtc.PRER, (127U << 16) | 255U); // 32 kHz / 128 / 256
    EXPECT_EQ(rtc.CR & RTC_CR_FMT, 0U);       // 24-hour format
    EXPECT_EQ(rtc.CR & RTC_CR_OSEL_Msk, 0U);  // no output
    EXPECT_EQ(rtc.TR, 0U);                    // 00:00:00
    // Year 00, weekday 1 (Monday) in bits 15:13, month 01, day 01, all BCD.
    EXPECT_EQ(rtc.DR, 0x00002101U);
    EXPECT_EQ(rtc.ISR & RTC_ISR_INIT, 0U);
    EXPECT_EQ(rtc.WPR, 0xFFU); // write protection back on
}

TEST_F(Boot, InterruptsHavePriorityZero) {
    for (int irq : {TIM3_IRQn, USART1_IRQn, USART2_IRQn}) {
        EXPECT_EQ(fake::Nvic().IP[irq], 0U) << irq;
    }
    EXPECT_EQ(fake::Nvic().IP[TIM1_UP_TIM10_IRQn], 0xE0U); // TIM1's interrupt is not used
}

// The set-enable registers are write-one-to-set; plain memory keeps only the last write to each
// word, so each peripheral's set-up is looked at on its own.
TEST(BootInterrupts, EachPeripheralEnablesItsOwnInterrupt) {
    struct {
        const char *name;
        void (*init)();
        unsigned word;
        uint32_t bit;
    } const cases[] = {
        {"TIM3", MX_TIM3_Init, 0, 1U << 29},
        {"USART1", MX_USART1_UART_Init, 1, 1U << (37 - 32)},
        {"USART2", MX_USART2_UART_Init, 1, 1U << (38 - 32)},
        {"TIM1", MX_TIM1_Init, 0, 0U},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        c.init();
        EXPECT_EQ(fake::Nvic().ISER[c.word], c.bit);
        EXPECT_EQ(fake::Nvic().ISER[1 - c.word], 0U);
    }
}

TEST_F(Boot, ApplicationStartsBeforeTheTickAndBootTakesNoTimeOut) {
    EXPECT_EQ(stubs::record().app_inits, 1);
    EXPECT_FALSE(stubs::record().tick_running_at_app_init);
    EXPECT_FALSE(fake::irq_masked());
    // Every wait of the start-up was answered at once by the fake hardware.
    EXPECT_EQ(HAL_GetTick() - start_tick_, 0U);
}

TEST_F(Boot, Tim3UpdateReachesTheApplicationTick) {
    TIM_TypeDef &tim3 = fake::Tim(TIM3);
    tim3.SR = TIM_SR_UIF;
    TIM3_IRQHandler();
    EXPECT_EQ(stubs::record().ticks, 1);
    EXPECT_EQ(tim3.SR & TIM_SR_UIF, 0U);
    TIM3_IRQHandler(); // no update pending: nothing
    EXPECT_EQ(stubs::record().ticks, 1);

    // Another timer's update is not the application tick.
    fake::Tim(TIM1).DIER = TIM_DIER_UIE;
    fake::Tim(TIM1).SR = TIM_SR_UIF;
    HAL_TIM_IRQHandler(&htim1);
    EXPECT_EQ(stubs::record().ticks, 1);
    EXPECT_EQ(fake::Tim(TIM1).SR & TIM_SR_UIF, 0U);
}

TEST_F(Boot, ReceivedBytesReachTheApplicationAndReceptionStaysArmed) {
    fake::UartReceive(USART1_BASE, 'w');
    USART1_IRQHandler();
    fake::UartReceive(USART2_BASE, '$');
    USART2_IRQHandler();
    fake::UartReceive(USART1_BASE, 'x');
    USART1_IRQHandler();
    const auto &rx = stubs::record().received;
    ASSERT_EQ(rx.size(), 3U);
    EXPECT_EQ(rx[0].instance, USART1);
    EXPECT_EQ(rx[0].byte, 'w');
    EXPECT_EQ(rx[1].instance, USART2);
    EXPECT_EQ(rx[1].byte, '$');
    EXPECT_EQ(rx[2].byte, 'x');
    EXPECT_TRUE(huart1.RxBusy);
    EXPECT_NE(fake::Usart(USART1).CR1 & USART_CR1_RXNEIE, 0U);
}

TEST(BootFailure, MissingCrystalStopsTheBoardAfterTheStartUpTimeOut) {
    fake::Reset();
    stubs::Reset();
    fake::chip().hse_starts = false;
    const uint32_t before = HAL_GetTick();
    EXPECT_THROW(Board_Start(), fake::Halted);
    // 100 ms start-up allowance, counted in whole ticks.
    EXPECT_GE(HAL_GetTick() - before, 100U);
    EXPECT_LE(HAL_GetTick() - before, 102U);
    EXPECT_TRUE(fake::irq_masked());
    EXPECT_EQ(fake::Rcc().CR & RCC_CR_PLLON, 0U);
    EXPECT_EQ(fake::Rcc().CFGR & RCC_CFGR_SWS_Msk, 0U); // still on the internal oscillator
    EXPECT_EQ(stubs::record().app_inits, 0);
    // The reset's kind was taken before anything could fail: the next start names its reset.
    EXPECT_EQ(stubs::record().reset_cause_reads, 1);
}

TEST(BootFailure, EachStuckPartOfTheStartUpEndsInTheErrorHandler) {
    struct {
        const char *name;
        bool fake::Behaviour::*flag;
    } const cases[] = {
        {"PLL never locks", &fake::Behaviour::pll_locks},
        {"LSI never starts", &fake::Behaviour::lsi_starts},
        {"clock switch never happens", &fake::Behaviour::clock_switches},
        {"RTC never enters initialisation", &fake::Behaviour::rtc_enters_init},
        {"RTC shadow registers never resync", &fake::Behaviour::rtc_resyncs},
        {"regulator never ready", &fake::Behaviour::regulator_ready},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        stubs::Reset();
        fake::chip().*c.flag = false;
        EXPECT_THROW(Board_Start(), fake::Halted);
        EXPECT_EQ(stubs::record().app_inits, 0);
        // CLK1 off first, then a watchdog running (started there when it was not yet) resets
        // the board.
        EXPECT_EQ(stubs::record().emergency_stops, 1);
        const IWDG_TypeDef &iwdg = fake::At<IWDG_TypeDef>(IWDG_BASE);
        EXPECT_EQ(iwdg.KR, 0xAAAAU);
        EXPECT_NE(iwdg.RLR, 0U);
    }
}

} // namespace
