// I2C1 master on the fake chip: clock register values for each speed and duty cycle, and the
// transfer sequence against a scripted device (start, address, register, data, stop; refusals,
// bus errors, lost arbitration, time-outs).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_chip.h"

namespace {

using Events = std::vector<std::string>;

// 100 MHz system clock; APB1 divider as given (PCLK1 = 100 MHz >> shift).
void ClockTree(uint32_t apb1_divider) {
    RCC_OscInitTypeDef osc = {};
    osc.OscillatorType = RCC_OSCILLATORTYPE_HSE;
    osc.HSEState = RCC_HSE_ON;
    osc.PLL = {RCC_PLL_ON, RCC_PLLSOURCE_HSE, 25, 200, 2, 4};
    ASSERT_EQ(HAL_RCC_OscConfig(&osc), HAL_OK);
    RCC_ClkInitTypeDef clk = {
        RCC_CLOCKTYPE_SYSCLK | RCC_CLOCKTYPE_HCLK | RCC_CLOCKTYPE_PCLK1 | RCC_CLOCKTYPE_PCLK2,
        RCC_SYSCLKSOURCE_PLLCLK, RCC_SYSCLK_DIV1, apb1_divider, RCC_HCLK_DIV1};
    ASSERT_EQ(HAL_RCC_ClockConfig(&clk, FLASH_LATENCY_3), HAL_OK);
}

I2C_HandleTypeDef Handle(uint32_t speed, uint32_t duty) {
    I2C_HandleTypeDef h = {};
    h.Instance = I2C1;
    h.Init.ClockSpeed = speed;
    h.Init.DutyCycle = duty;
    h.Init.AddressingMode = I2C_ADDRESSINGMODE_7BIT;
    return h;
}

TEST(I2cInit, ClockRegistersForEachSpeedDutyAndBusClock) {
    struct {
        uint32_t apb1;
        uint32_t speed, duty;
        uint32_t freq, ccr, trise;
        uint32_t scl_hz; // resulting SCL rate, never above the requested one
    } const cases[] = {
        // PCLK1 50 MHz. Duty 2: 3 CCR periods per bit, 50e6 / 1.2e6 = 41.7 -> 42.
        {RCC_HCLK_DIV2, 400000, I2C_DUTYCYCLE_2, 50, 0x8000U | 42U, 16, 396825},
        // Duty 16/9: 25 CCR periods per bit, 50e6 / 10e6 = 5 exactly.
        {RCC_HCLK_DIV2, 400000, I2C_DUTYCYCLE_16_9, 50, 0xC000U | 5U, 16, 400000},
        // Standard mode: Thigh = Tlow = CCR, 50e6 / 200e3 = 250; rise time 1000 ns.
        {RCC_HCLK_DIV2, 100000, I2C_DUTYCYCLE_2, 50, 250U, 51, 100000},
        // PCLK1 25 MHz: 25e6 / 1.2e6 = 20.8 -> 21; 300 ns * 25 MHz = 7.5 -> 7, plus 1.
        {RCC_HCLK_DIV4, 400000, I2C_DUTYCYCLE_2, 25, 0x8000U | 21U, 8, 396825},
        // 25e6 / 10e6 = 2.5 -> 3 (333 kHz rather than 500 kHz).
        {RCC_HCLK_DIV4, 400000, I2C_DUTYCYCLE_16_9, 25, 0xC000U | 3U, 8, 333333},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "PCLK1 " << c.freq << " MHz, " << c.speed << " Hz, duty " << c.duty);
        fake::Reset();
        ClockTree(c.apb1);
        I2C_HandleTypeDef h = Handle(c.speed, c.duty);
        ASSERT_EQ(HAL_I2C_Init(&h), HAL_OK);
        const I2C_TypeDef &i2c = fake::I2c(I2C1);
        EXPECT_EQ(i2c.CR2 & I2C_CR2_FREQ_Msk, c.freq);
        EXPECT_EQ(i2c.CCR, c.ccr);
        EXPECT_EQ(i2c.TRISE, c.trise);
        const uint32_t ccr = i2c.CCR & I2C_CCR_Msk;
        const uint32_t periods = (i2c.CCR & I2C_CCR_FS) == 0U     ? 2U
                                 : (i2c.CCR & I2C_CCR_DUTY) != 0U ? 25U
                                                                  : 3U;
        const uint32_t scl = c.freq * 1000000U / (periods * ccr);
        EXPECT_EQ(scl, c.scl_hz);
        EXPECT_LE(scl, c.speed);
        EXPECT_NE(i2c.CR1 & I2C_CR1_PE, 0U);
    }
}

TEST(I2cInit, RatesTheBusCannotRunAreRefused) {
    fake::Reset();
    ClockTree(RCC_HCLK_DIV2);
    for (uint32_t speed : {0U, 400001U, 1000000U}) {
        I2C_HandleTypeDef h = Handle(speed, I2C_DUTYCYCLE_2);
        EXPECT_EQ(HAL_I2C_Init(&h), HAL_ERROR) << speed;
    }
    I2C_HandleTypeDef slow = Handle(1000, I2C_DUTYCYCLE_2); // CCR 25000 does not fit 12 bits
    EXPECT_EQ(HAL_I2C_Init(&slow), HAL_ERROR);
    // On the reset clock (PCLK1 = HSI 16 MHz) fast mode is possible: 16e6 / 1.2e6 -> 14.
    fake::Reset();
    I2C_HandleTypeDef h = Handle(400000, I2C_DUTYCYCLE_2);
    ASSERT_EQ(HAL_I2C_Init(&h), HAL_OK);
    EXPECT_EQ(fake::I2c(I2C1).CCR, 0x8000U | 14U);
}

class I2cTransfer : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        ClockTree(RCC_HCLK_DIV2);
        hi2c_ = Handle(400000, I2C_DUTYCYCLE_2);
        ASSERT_EQ(HAL_I2C_Init(&hi2c_), HAL_OK);
    }
    // Lets the fake see what the layer left for the bus after returning (a final STOP).
    static const Events &Settled() {
        fake::Poll();
        return fake::i2c_events();
    }
    HAL_StatusTypeDef Write(uint8_t reg, std::vector<uint8_t> data, uint32_t timeout = 100) {
        return HAL_I2C_Mem_Write(&hi2c_, 0xC0, reg, I2C_MEMADD_SIZE_8BIT, data.data(),
                                 static_cast<uint16_t>(data.size()), timeout);
    }
    I2C_HandleTypeDef hi2c_ = {};
};

TEST_F(I2cTransfer, RegisterWriteIsStartAddressRegisterDataStop) {
    EXPECT_EQ(Write(26, {0x00, 0x01, 0x00, 0x0C, 0x80, 0x00, 0x00, 0x00}), HAL_OK);
    EXPECT_EQ(Settled(), (Events{"START", "C0", "1A", "00", "01", "00", "0C", "80", "00", "00",
                                 "00", "STOP"}));
    EXPECT_EQ(hi2c_.ErrorCode, HAL_I2C_ERROR_NONE);

    uint8_t one = 0xFD;
    EXPECT_EQ(HAL_I2C_Mem_Write(&hi2c_, 0xC1, 0x1234, 2, &one, 1, 100), HAL_OK);
    // The read bit of the address is cleared; a 16-bit register address goes MSB first.
    EXPECT_EQ(Settled().back(), "STOP");
    const Events &e = fake::i2c_events();
    EXPECT_EQ((Events(e.end() - 6, e.end())), (Events{"START", "C0", "12", "34", "FD", "STOP"}));
}

// A register read: the register address written, a repeated START, the address with the read bit,
// and the one-byte reception: not acknowledged, the STOP asked for before the byte is in. One
// byte only; a device that does not answer the read is an error with the bus released.
TEST_F(I2cTransfer, RegisterReadIsOneByteReceivedWithoutAcknowledgeThenStop) {
    uint8_t value = 0;
    EXPECT_EQ(HAL_I2C_Mem_Read(&hi2c_, 0xC0, 0, I2C_MEMADD_SIZE_8BIT, &value, 1, 100), HAL_OK);
    EXPECT_EQ(value, 0x5A);
    EXPECT_EQ(Settled(), (Events{"START", "C0", "00", "START", "C1", "<5A", "NACK", "STOP"}));
    EXPECT_EQ(hi2c_.ErrorCode, HAL_I2C_ERROR_NONE);

    uint8_t two[2] = {};
    const size_t events = fake::i2c_events().size();
    EXPECT_EQ(HAL_I2C_Mem_Read(&hi2c_, 0xC0, 0, I2C_MEMADD_SIZE_8BIT, two, 2, 100), HAL_ERROR);
    EXPECT_EQ(Settled().size(), events);

    fake::i2c_script().nack_at = 0; // no device answers any address
    EXPECT_EQ(HAL_I2C_Mem_Read(&hi2c_, 0xC0, 0, I2C_MEMADD_SIZE_8BIT, &value, 1, 100), HAL_ERROR);
    EXPECT_EQ(hi2c_.ErrorCode, HAL_I2C_ERROR_AF);
    EXPECT_EQ(Settled().back(), "STOP");
}

TEST_F(I2cTransfer, FailuresEndTheTransferWithTheirStatus) {
    struct {
        const char *name;
        void (*script)(fake::I2cScript &);
        HAL_StatusTypeDef status;
        uint32_t error;
        Events events;
    } const cases[] = {
        {"no device",
         [](fake::I2cScript &s) { s.present = false; },
         HAL_ERROR,
         HAL_I2C_ERROR_AF,
         {"START", "C0", "STOP"}},
        {"register refused",
         [](fake::I2cScript &s) { s.nack_at = 1; },
         HAL_ERROR,
         HAL_I2C_ERROR_AF,
         {"START", "C0", "03", "STOP"}},
        {"second data byte refused",
         [](fake::I2cScript &s) { s.nack_at = 3; },
         HAL_ERROR,
         HAL_I2C_ERROR_AF,
         {"START", "C0", "03", "FF", "FE", "STOP"}},
        {"bus error",
         [](fake::I2cScript &s) { s.bus_error_at = 2; },
         HAL_ERROR,
         HAL_I2C_ERROR_BERR,
         {"START", "C0", "03", "FF", "STOP"}},
        // Another master won the bus: it is no longer ours to stop.
        {"arbitration lost",
         [](fake::I2cScript &s) { s.arbitration_lost_at = 2; },
         HAL_ERROR,
         HAL_I2C_ERROR_ARLO,
         {"START", "C0", "03", "FF"}},
        {"no answer after the address",
         [](fake::I2cScript &s) { s.stall_after = 2; },
         HAL_TIMEOUT,
         HAL_I2C_ERROR_TIMEOUT,
         {"START", "C0", "STOP"}},
        {"START never on the bus",
         [](fake::I2cScript &s) { s.stall_after = 0; },
         HAL_TIMEOUT,
         HAL_I2C_ERROR_TIMEOUT,
         {}},
        {"bus held busy",
         [](fake::I2cScript &s) { s.bus_stuck_busy = true; },
         HAL_BUSY,
         HAL_I2C_ERROR_NONE,
         {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        c.script(fake::i2c_script());
        EXPECT_EQ(Write(3, {0xFF, 0xFE, 0xFD}), c.status);
        EXPECT_EQ(hi2c_.ErrorCode, c.error);
        EXPECT_EQ(Settled(), c.events);
        const I2C_TypeDef &i2c = fake::I2c(I2C1);
        EXPECT_EQ(i2c.SR1 & (I2C_SR1_AF | I2C_SR1_BERR | I2C_SR1_ARLO), 0U); // flags cleared
    }
}

TEST_F(I2cTransfer, TimeOutsCountFromTheStartOfTheCall) {
    struct {
        int stall_after;
        uint32_t timeout;
    } const cases[] = {{0, 10}, {2, 10}, {5, 20}, {1, 3}};
    for (const auto &c : cases) {
        SetUp();
        fake::i2c_script().stall_after = c.stall_after;
        const uint32_t before = HAL_GetTick();
        EXPECT_EQ(Write(3, {1, 2, 3, 4}, c.timeout), HAL_TIMEOUT);
        const uint32_t waited = HAL_GetTick() - before;
        EXPECT_GE(waited, c.timeout);
        EXPECT_LE(waited, c.timeout + 1);
    }
    // A bus that stays busy gets its own 25 ms, whatever the caller allows.
    SetUp();
    fake::i2c_script().bus_stuck_busy = true;
    const uint32_t before = HAL_GetTick();
    EXPECT_EQ(Write(3, {1}, HAL_MAX_DELAY), HAL_BUSY);
    EXPECT_EQ(HAL_GetTick() - before, 26U);
}

// Without a time limit a slow device is waited for, but a device that holds the bus does not
// hang the caller: each event gives up after 25 ms.
TEST_F(I2cTransfer, NoTimeLimitWaitsForASlowDeviceButNotForAStuckBus) {
    fake::i2c_script().slow_turns = 20; // 20 ms per START or byte
    EXPECT_EQ(Write(17, {0x0F}, HAL_MAX_DELAY), HAL_OK);
    EXPECT_EQ(Settled(), (Events{"START", "C0", "11", "0F", "STOP"}));
    SetUp();
    fake::i2c_script().slow_turns = 300;
    const uint32_t before = HAL_GetTick();
    EXPECT_EQ(Write(17, {0x0F}, HAL_MAX_DELAY), HAL_TIMEOUT);
    EXPECT_LE(HAL_GetTick() - before, 27U);
    SetUp();
    fake::i2c_script().stall_after = 2;
    EXPECT_EQ(Write(17, {0x0F}, HAL_MAX_DELAY), HAL_TIMEOUT);
}

// From a fault handler or an interrupt the tick stands still: every wait of a transfer still
// ends, counted on the cycle counter, and a write returns only once its STOP has freed the bus.
TEST_F(I2cTransfer, WaitsEndWhereTheTickStandsStill) {
    fake::chip().tick_stands_still = true;
    const uint32_t tick = HAL_GetTick();
    EXPECT_EQ(Write(3, {0xFF}, HAL_MAX_DELAY), HAL_OK);
    EXPECT_EQ(fake::i2c_events(), (Events{"START", "C0", "03", "FF", "STOP"}));
    EXPECT_EQ(fake::I2c(I2C1).SR2 & I2C_SR2_BUSY, 0U);

    struct {
        const char *what;
        bool stuck_busy;
        int stall_after;
        HAL_StatusTypeDef status;
    } const cases[] = {{"bus held busy", true, -1, HAL_BUSY},
                       {"device stops answering", false, 2, HAL_TIMEOUT}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        fake::chip().tick_stands_still = true;
        fake::i2c_script().bus_stuck_busy = c.stuck_busy;
        fake::i2c_script().stall_after = c.stall_after;
        const uint32_t cycles = HAL_GetCycleCount();
        HAL_StatusTypeDef st = HAL_OK;
        EXPECT_NO_THROW(st = Write(3, {0xFF}, HAL_MAX_DELAY));
        EXPECT_EQ(st, c.status);
        EXPECT_EQ(HAL_GetCycleCount() - cycles, 26U * 100000U); // 25 ms at 100 MHz, then one more
    }
    EXPECT_EQ(HAL_GetTick(), tick);
}

// The RCC's reset line of a peripheral: its bit in the reset register 0x20 below its clock
// enable, held and released; the RTC (backup domain) has none.
TEST(PeripheralReset, EachGateHasItsLineInTheResetRegisters) {
    fake::Reset();
    const RCC_Regs &rcc = fake::Rcc();
    HAL_RCC_SetPeripheralReset(RCC_GATE_I2C1, 1U);
    EXPECT_EQ(rcc.APB1RSTR, 1U << 21);
    HAL_RCC_SetPeripheralReset(RCC_GATE_USART1, 1U);
    HAL_RCC_SetPeripheralReset(RCC_GATE_GPIOB, 1U);
    EXPECT_EQ(rcc.APB2RSTR, 1U << 4);
    EXPECT_EQ(rcc.AHB1RSTR, 1U << 1);
    HAL_RCC_SetPeripheralReset(RCC_GATE_I2C1, 0U);
    EXPECT_EQ(rcc.APB1RSTR, 0U);
    EXPECT_EQ(rcc.APB2RSTR, 1U << 4);
    HAL_RCC_SetPeripheralReset(RCC_GATE_RTC, 1U);
    EXPECT_EQ(rcc.BDCR, 0U);
    EXPECT_EQ(rcc.APB1ENR | rcc.APB2ENR | rcc.AHB1ENR, 0U);
}

TEST_F(I2cTransfer, MissingDataIsRefusedWithoutTouchingTheBus) {
    EXPECT_EQ(HAL_I2C_Mem_Write(&hi2c_, 0xC0, 3, I2C_MEMADD_SIZE_8BIT, nullptr, 1, 100), HAL_ERROR);
    uint8_t b = 0;
    EXPECT_EQ(HAL_I2C_Mem_Write(&hi2c_, 0xC0, 3, I2C_MEMADD_SIZE_8BIT, &b, 0, 100), HAL_ERROR);
    EXPECT_TRUE(Settled().empty());
}

TEST_F(I2cTransfer, ProbeTriesUntilTheDeviceAnswers) {
    struct {
        bool present;
        int refusals;
        uint32_t trials;
        HAL_StatusTypeDef status;
        int probes; // address phases on the bus
    } const cases[] = {
        {true, 0, 3, HAL_OK, 1},    {true, 1, 3, HAL_OK, 2},     {true, 2, 3, HAL_OK, 3},
        {true, 3, 3, HAL_ERROR, 3}, {false, 0, 3, HAL_ERROR, 3}, {true, 0, 0, HAL_ERROR, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.present << " " << c.refusals << " " << c.trials);
        SetUp();
        fake::i2c_script().present = c.present;
        fake::i2c_script().nacks_before_ack = c.refusals;
        EXPECT_EQ(HAL_I2C_IsDeviceReady(&hi2c_, 0xC0, c.trials, 100), c.status);
        EXPECT_EQ(hi2c_.ErrorCode, c.status == HAL_OK ? HAL_I2C_ERROR_NONE : HAL_I2C_ERROR_AF);
        Events expected;
        for (int k = 0; k < c.probes; ++k) {
            expected.insert(expected.end(), {"START", "C0", "STOP"});
        }
        EXPECT_EQ(Settled(), expected);
        EXPECT_EQ(fake::I2c(I2C1).SR2 & I2C_SR2_BUSY, 0U); // bus released after each trial
    }
}

TEST_F(I2cTransfer, ProbeReportsABusThatDoesNotAnswer) {
    fake::i2c_script().stall_after = 1; // START, then the address byte is never clocked out
    EXPECT_EQ(HAL_I2C_IsDeviceReady(&hi2c_, 0xC0, 3, 100), HAL_TIMEOUT);
    EXPECT_EQ(hi2c_.ErrorCode, HAL_I2C_ERROR_TIMEOUT);
}

} // namespace
