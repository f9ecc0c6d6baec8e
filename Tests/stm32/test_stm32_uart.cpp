// USART on the fake chip: baud-rate register values, blocking transmit and its time-out, one-byte
// interrupt reception, and what a receive error does to the reception.
#include <gtest/gtest.h>

#include <string>

#include "board_stubs.h"
#include "fake_chip.h"

namespace {

class Uart : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        stubs::Reset();
        huart_ = {};
        huart_.Instance = USART2;
        huart_.Init = {9600,
                       UART_WORDLENGTH_8B,
                       UART_STOPBITS_1,
                       UART_PARITY_NONE,
                       UART_MODE_TX_RX,
                       UART_HWCONTROL_NONE,
                       UART_OVERSAMPLING_16};
        ASSERT_EQ(HAL_UART_Init(&huart_), HAL_OK);
    }
    HAL_StatusTypeDef Send(const std::string &text, uint32_t timeout) {
        return HAL_UART_Transmit(&huart_, reinterpret_cast<const uint8_t *>(text.data()),
                                 static_cast<uint16_t>(text.size()), timeout);
    }
    UART_HandleTypeDef huart_ = {};
};

TEST_F(Uart, BaudRegisterIsTheBusClockOverTheRateInSixteenths) {
    struct {
        uint32_t baud, brr;
    } const cases[] = {
        // On the reset clock, PCLK1 = 16 MHz.
        {9600, 0x683},  // 1666.7 -> 1667: mantissa 104, fraction 3/16
        {115200, 0x8B}, // 138.9 -> 139
        {1000000, 0x10},
    };
    for (const auto &c : cases) {
        huart_.Init.BaudRate = c.baud;
        ASSERT_EQ(HAL_UART_Init(&huart_), HAL_OK);
        EXPECT_EQ(fake::Usart(USART2).BRR, c.brr) << c.baud;
    }
    huart_.Init.BaudRate = 0;
    EXPECT_EQ(HAL_UART_Init(&huart_), HAL_ERROR);
}

TEST_F(Uart, TransmitSendsEveryByteInOrder) {
    EXPECT_EQ(Send("wspr> \r\n", 100), HAL_OK);
    EXPECT_EQ(fake::uart_sent(USART2_BASE), "wspr> \r\n");
    EXPECT_EQ(HAL_UART_Transmit(&huart_, nullptr, 1, 10), HAL_ERROR);
    EXPECT_EQ(Send("", 10), HAL_ERROR);
    EXPECT_EQ(fake::uart_sent(USART2_BASE), "wspr> \r\n");
}

TEST_F(Uart, TransmitGivesUpWhenTheTransmitterStalls) {
    fake::chip().uart_tx_stalled = true;
    const uint32_t before = HAL_GetTick();
    EXPECT_EQ(Send("abc", 10), HAL_TIMEOUT);
    EXPECT_EQ(HAL_GetTick() - before, 11U);
    EXPECT_EQ(fake::uart_sent(USART2_BASE), "");
}

TEST_F(Uart, ReceptionDeliversOneByteAndEnds) {
    uint8_t byte = 0;
    stubs::record().rearm = false;
    ASSERT_EQ(HAL_UART_Receive_IT(&huart_, &byte, 1), HAL_OK);
    EXPECT_NE(fake::Usart(USART2).CR1 & USART_CR1_RXNEIE, 0U);
    EXPECT_EQ(HAL_UART_Receive_IT(&huart_, &byte, 1), HAL_BUSY);

    fake::UartReceive(USART2_BASE, 'G');
    HAL_UART_IRQHandler(&huart_);
    EXPECT_EQ(byte, 'G');
    ASSERT_EQ(stubs::record().received.size(), 1U);
    EXPECT_EQ(stubs::record().received[0].instance, USART2);
    EXPECT_FALSE(huart_.RxBusy);
    EXPECT_EQ(fake::Usart(USART2).CR1 & USART_CR1_RXNEIE, 0U);
    EXPECT_TRUE(stubs::record().error_codes.empty());
    EXPECT_EQ(HAL_UART_Receive_IT(&huart_, &byte, 1), HAL_OK); // can be armed again
}

TEST_F(Uart, LongerReceptionCompletesOnItsLastByte) {
    uint8_t buffer[3] = {};
    ASSERT_EQ(HAL_UART_Receive_IT(&huart_, buffer, 3), HAL_OK);
    for (uint8_t b : {'$', 'G', 'P'}) {
        EXPECT_TRUE(stubs::record().received.empty());
        fake::UartReceive(USART2_BASE, b);
        HAL_UART_IRQHandler(&huart_);
    }
    EXPECT_EQ(std::string(buffer, buffer + 3), "$GP");
    EXPECT_EQ(stubs::record().received.size(), 1U);
}

TEST_F(Uart, ReceiveErrorsAreReportedWithTheirCodeAndReceptionIsArmedAgain) {
    struct {
        const char *name;
        uint32_t sr_flags;
        uint32_t code;
    } const cases[] = {
        {"overrun", USART_SR_ORE, HAL_UART_ERROR_ORE},
        {"framing", USART_SR_FE, HAL_UART_ERROR_FE},
        {"noise", USART_SR_NE, HAL_UART_ERROR_NE},
        {"parity", USART_SR_PE, HAL_UART_ERROR_PE},
        {"overrun and noise", USART_SR_ORE | USART_SR_NE, HAL_UART_ERROR_ORE | HAL_UART_ERROR_NE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        uint8_t byte = 0;
        ASSERT_EQ(HAL_UART_Receive_IT(&huart_, &byte, 1), HAL_OK);
        fake::UartReceive(USART2_BASE, 'Z', c.sr_flags);
        HAL_UART_IRQHandler(&huart_);
        // The byte in the data register still goes to the reception, as received; the error
        // then ends the reception the application had armed again, and the error callback
        // (the stand-in arms once more, as the beacon does) keeps it going.
        ASSERT_EQ(stubs::record().received.size(), 1U);
        EXPECT_EQ(stubs::record().received[0].byte, 'Z');
        ASSERT_EQ(stubs::record().error_codes.size(), 1U);
        EXPECT_EQ(stubs::record().error_codes[0], c.code);
        EXPECT_TRUE(huart_.RxBusy);
        EXPECT_NE(fake::Usart(USART2).CR1 & USART_CR1_RXNEIE, 0U);
    }
}

TEST_F(Uart, ErrorWithoutAnApplicationToReArmLeavesReceptionOff) {
    stubs::record().rearm = false;
    uint8_t byte = 0;
    ASSERT_EQ(HAL_UART_Receive_IT(&huart_, &byte, 4), HAL_OK);
    fake::UartReceive(USART2_BASE, 'a', USART_SR_FE);
    HAL_UART_IRQHandler(&huart_);
    EXPECT_FALSE(huart_.RxBusy);
    EXPECT_EQ(fake::Usart(USART2).CR1 & USART_CR1_RXNEIE, 0U);
    EXPECT_EQ(huart_.ErrorCode, HAL_UART_ERROR_FE);
    EXPECT_EQ(HAL_UART_Receive_IT(&huart_, &byte, 1), HAL_OK);
    EXPECT_EQ(huart_.ErrorCode, HAL_UART_ERROR_NONE);
}

} // namespace
