// The virtual MCU's own rules: byte and bus times, interrupt masking and merging, reception and
// overrun, injected faults, determinism.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vmcu.h"

namespace {

constexpr uint64_t MS = vmcu::NS_PER_MS;

int g_systicks = 0;
std::vector<uint64_t> g_rx_times;
std::vector<uint8_t> g_rx_bytes;
int g_rx_errors = 0;
UART_HandleTypeDef g_uart{};
uint8_t g_rx_byte = 0;
bool g_rearm = true;

void OnSysTick() {
    ++g_systicks;
    HAL_IncTick();
}
void OnUsart1() {
    HAL_UART_IRQHandler(&g_uart);
}

class Vmcu : public ::testing::Test {
  protected:
    void SetUp() override {
        vmcu::reset();
        g_systicks = 0;
        g_rx_times.clear();
        g_rx_bytes.clear();
        g_rx_errors = 0;
        g_rearm = true;
        vmcu::set_handler(vmcu::VEC_SYSTICK, OnSysTick);
        vmcu::set_handler(vmcu::VEC_USART1, OnUsart1);
        ASSERT_EQ(HAL_Init(), HAL_OK);
        g_uart = {};
        g_uart.Instance = USART1;
        g_uart.Init.BaudRate = 115200;
        ASSERT_EQ(HAL_UART_Init(&g_uart), HAL_OK);
        HAL_NVIC_EnableIRQ(USART1_IRQn);
        i2c_ = {};
        i2c_.Instance = I2C1;
        ASSERT_EQ(HAL_I2C_Init(&i2c_), HAL_OK);
    }
    I2C_HandleTypeDef i2c_{};
};

// A device that acknowledges everything and keeps the bytes of each transfer.
struct Recorder : vmcu::I2cDevice {
    std::vector<std::vector<uint8_t>> transfers;
    std::vector<uint64_t> stops;
    bool i2c_start(uint64_t) override {
        transfers.emplace_back();
        return true;
    }
    bool i2c_write(uint8_t b, uint64_t) override {
        transfers.back().push_back(b);
        return true;
    }
    void i2c_stop(uint64_t t) override { stops.push_back(t); }
};

} // namespace

extern "C" void HAL_UART_RxCpltCallback(UART_HandleTypeDef *huart) {
    g_rx_times.push_back(vmcu::now_ns());
    g_rx_bytes.push_back(g_rx_byte);
    if (g_rearm) {
        HAL_UART_Receive_IT(huart, &g_rx_byte, 1);
    }
}

extern "C" void HAL_UART_ErrorCallback(UART_HandleTypeDef *huart) {
    ++g_rx_errors;
    HAL_UART_Receive_IT(huart, &g_rx_byte, 1);
}

TEST_F(Vmcu, TransmitLastsTenBitTimesPerByteWhileTicksRun) {
    std::string text(100, 'x');
    uint64_t t0 = vmcu::now_ns();
    EXPECT_EQ(HAL_UART_Transmit(&g_uart, reinterpret_cast<const uint8_t *>(text.data()), 100, 100),
              HAL_OK);
    EXPECT_EQ(vmcu::now_ns() - t0, 100ULL * 10000000000ULL / 115200); // 8.68 ms
    EXPECT_EQ(g_systicks, 8);
    EXPECT_EQ(vmcu::uart_output(0), text);

    // A transmitter that never empties gives up after the time-out.
    vmcu::uart_stall_tx(0, true);
    uint32_t tick0 = HAL_GetTick();
    EXPECT_EQ(HAL_UART_Transmit(&g_uart, reinterpret_cast<const uint8_t *>("ab"), 2, 10),
              HAL_TIMEOUT);
    EXPECT_EQ(HAL_GetTick() - tick0, 11u);
}

TEST_F(Vmcu, MaskedInterruptsWaitAndMergeIntoOne) {
    __disable_irq();
    vmcu::advance_to(vmcu::now_ns() + 5 * MS);
    EXPECT_EQ(g_systicks, 0);
    __enable_irq();
    EXPECT_EQ(g_systicks, 1); // a pending interrupt is one flag, not a count
    vmcu::advance_to(vmcu::now_ns() + 3 * MS);
    EXPECT_EQ(g_systicks, 4);
}

TEST_F(Vmcu, ReceptionAtTheLineRateAndOverrunReported) {
    ASSERT_EQ(HAL_UART_Receive_IT(&g_uart, &g_rx_byte, 1), HAL_OK);
    EXPECT_EQ(HAL_UART_Receive_IT(&g_uart, &g_rx_byte, 1), HAL_BUSY);
    uint64_t t0 = vmcu::now_ns() + 2 * MS;
    vmcu::uart_inject(0, "abc", t0, 115200);
    vmcu::advance_to(t0 + 10 * MS);
    ASSERT_EQ(g_rx_bytes, (std::vector<uint8_t>{'a', 'b', 'c'}));
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(g_rx_times[k], t0 + (k + 1) * 10000000000ULL / 115200);
    }

    // Reception not re-armed after 'x': 'y' waits in the data register and 'z' overruns it.
    g_rearm = false;
    vmcu::uart_inject(0, "xyz", vmcu::now_ns(), 115200);
    vmcu::advance_to(vmcu::now_ns() + 5 * MS);
    EXPECT_EQ(vmcu::uart_overruns(0), 1u);
    EXPECT_EQ(g_rx_errors, 0);
    // Arming again takes the waiting byte, then reports the overrun.
    g_rearm = true;
    ASSERT_EQ(HAL_UART_Receive_IT(&g_uart, &g_rx_byte, 1), HAL_OK);
    EXPECT_EQ(g_rx_bytes, (std::vector<uint8_t>{'a', 'b', 'c', 'x', 'y'}));
    EXPECT_EQ(g_rx_errors, 1);
    EXPECT_EQ(vmcu::uart_rx_errors_reported(0), 1u);
}

TEST_F(Vmcu, I2cTransfersTakeTheirBusTime) {
    Recorder dev;
    vmcu::i2c_attach(0x60, &dev);
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint64_t t0 = vmcu::now_ns();
    EXPECT_EQ(HAL_I2C_Mem_Write(&i2c_, 0xC0, 26, I2C_MEMADD_SIZE_8BIT, data, 8, HAL_MAX_DELAY),
              HAL_OK);
    // START and address (10 clocks), register and 8 data bytes (9 clocks each), STOP.
    EXPECT_EQ(vmcu::now_ns() - t0, (10 + 9 * 9 + 1) * 2500u);
    ASSERT_EQ(dev.transfers.size(), 1u);
    EXPECT_EQ(dev.transfers[0], (std::vector<uint8_t>{26, 1, 2, 3, 4, 5, 6, 7, 8}));

    // Nobody at 0x61: each trial is START, address, STOP; the probe fails after its trials.
    t0 = vmcu::now_ns();
    EXPECT_EQ(HAL_I2C_IsDeviceReady(&i2c_, 0xC2, 3, 100), HAL_ERROR);
    EXPECT_EQ(vmcu::now_ns() - t0, 3 * 11 * 2500u);
    EXPECT_EQ(HAL_I2C_IsDeviceReady(&i2c_, 0xC0, 3, 100), HAL_OK);
}

TEST_F(Vmcu, InjectedFaultsTouchNothingAndTimeOutsTakeTime) {
    Recorder dev;
    vmcu::i2c_attach(0x60, &dev);
    uint8_t b = 7;
    uint64_t first = vmcu::i2c_operations();
    vmcu::i2c_fail(first, HAL_BUSY, false);
    vmcu::i2c_fail(first + 2, HAL_TIMEOUT, true);
    uint64_t t0 = vmcu::now_ns();
    EXPECT_EQ(HAL_I2C_Mem_Write(&i2c_, 0xC0, 3, I2C_MEMADD_SIZE_8BIT, &b, 1, 100), HAL_BUSY);
    EXPECT_EQ(vmcu::now_ns(), t0);
    EXPECT_EQ(HAL_I2C_Mem_Write(&i2c_, 0xC0, 3, I2C_MEMADD_SIZE_8BIT, &b, 1, 100), HAL_OK);
    t0 = vmcu::now_ns();
    EXPECT_EQ(HAL_I2C_Mem_Write(&i2c_, 0xC0, 3, I2C_MEMADD_SIZE_8BIT, &b, 1, HAL_MAX_DELAY),
              HAL_TIMEOUT);
    EXPECT_EQ(vmcu::now_ns() - t0, 26 * MS);
    EXPECT_EQ(HAL_I2C_IsDeviceReady(&i2c_, 0xC0, 3, 5), HAL_TIMEOUT);
    EXPECT_EQ(dev.transfers.size(), 1u); // only the one that was let through
    ASSERT_EQ(vmcu::i2c_log().size(), 4u);
    EXPECT_EQ(vmcu::i2c_log()[3].end_ns - vmcu::i2c_log()[3].start_ns, 6 * MS);
}

TEST_F(Vmcu, SameInputsSameOutputs) {
    auto run = [] {
        vmcu::reset();
        vmcu::set_handler(vmcu::VEC_SYSTICK, OnSysTick);
        vmcu::set_handler(vmcu::VEC_USART1, OnUsart1);
        HAL_Init();
        g_uart = {};
        g_uart.Instance = USART1;
        g_uart.Init.BaudRate = 115200;
        HAL_UART_Init(&g_uart);
        HAL_NVIC_EnableIRQ(USART1_IRQn);
        g_rx_times.clear();
        HAL_UART_Receive_IT(&g_uart, &g_rx_byte, 1);
        vmcu::uart_inject(0, "hello, world", 1234567, 115200);
        vmcu::schedule(3 * MS + 17, [](uint64_t) {
            HAL_UART_Transmit(&g_uart, reinterpret_cast<const uint8_t *>("echo"), 4, 10);
        });
        vmcu::advance_to(10 * MS);
        return std::make_pair(g_rx_times, vmcu::uart_output(0));
    };
    auto a = run();
    auto b = run();
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.first.size(), 12u);
    EXPECT_EQ(a.second, "echo");
}
