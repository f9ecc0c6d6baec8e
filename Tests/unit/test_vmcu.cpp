// The virtual MCU's own rules: byte and bus times, interrupt masking and merging, reception and
// overrun, injected faults, peripherals by instance, resets, determinism. The test is its own
// "firmware": its callbacks are found by name in this program, its handlers are installed.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "vmcu.h"
#include "vmcu_internal.h"

namespace {

constexpr uint64_t MS = vmcu::NS_PER_MS;
// EXTI0: no model of the virtual MCU raises it.
const IRQn_Type k_model_irq = static_cast<IRQn_Type>(6);
std::vector<std::string> g_order;

// A peripheral model outside the virtual MCU's library: it joins by being constructed, as the
// library's own models do. Its event pulses its interrupt.
class Extension : public vmcu::detail::Peripheral {
  public:
    Extension() : Peripheral("extension") {}
    void mcu_reset() override {
        resets.push_back("mcu");
        set_next_event(UINT64_MAX);
    }
    void world_reset() override {
        resets.push_back("world");
        set_next_event(UINT64_MAX);
    }
    void on_event(uint64_t t_ns) override {
        set_next_event(UINT64_MAX);
        event_at = t_ns;
        g_order.emplace_back("model");
        vmcu::detail::irq_pulse(k_model_irq);
    }
    void Arm(uint64_t t_ns) { set_next_event(t_ns); }

    std::vector<std::string> resets;
    uint64_t event_at = 0;
};
Extension g_extension;

int g_systicks = 0;
int g_tim2_updates = 0;
std::vector<uint64_t> g_rx_times;
std::vector<uint8_t> g_rx_bytes;
int g_rx_errors = 0;
std::vector<uint32_t> g_rx_error_codes;
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

// A terminal on a UART: keeps what the MCU transmits, sends through its line.
struct Terminal : dev::UartDevice {
    dev::UartLine *line = nullptr;
    std::string heard;
    void uart_connected(dev::UartLine &l, dev::Clock &) override { line = &l; }
    void uart_from_mcu(uint8_t byte, uint64_t) override {
        heard.push_back(static_cast<char>(byte));
    }
    void Send(const std::string &text, uint64_t at_ns) {
        line->send(reinterpret_cast<const uint8_t *>(text.data()), text.size(), at_ns, 115200);
    }
};

// A device that acknowledges everything and keeps the bytes of each transfer.
struct Recorder : dev::I2cDevice {
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

std::unique_ptr<vmcu::FirmwareImage> g_program = vmcu::FirmwareImage::ThisProgram();

class Vmcu : public ::testing::Test {
  protected:
    void SetUp() override {
        vmcu::attach_firmware(g_program.get());
        vmcu::reset();
        g_systicks = 0;
        g_tim2_updates = 0;
        g_rx_times.clear();
        g_rx_bytes.clear();
        g_rx_errors = 0;
        g_rx_error_codes.clear();
        g_rearm = true;
        vmcu::set_handler(SysTick_IRQn, OnSysTick);
        vmcu::set_handler(USART1_IRQn, OnUsart1);
        vmcu::uart_attach(USART1, &terminal_);
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
    void TearDown() override { vmcu::attach_firmware(nullptr); }
    Terminal terminal_;
    I2C_HandleTypeDef i2c_{};
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
    g_rx_error_codes.push_back(static_cast<uint32_t>(huart->ErrorCode));
    HAL_UART_Receive_IT(huart, &g_rx_byte, 1);
}

extern "C" void HAL_TIM_PeriodElapsedCallback(TIM_HandleTypeDef *) {
    ++g_tim2_updates;
}

namespace {
std::vector<uint32_t> g_captures;
// A 10 MHz line: one rising edge every 100 ns.
struct TenMegahertz : dev::ClockLine {
    uint64_t edges_until(uint64_t t_ns) override { return t_ns / 100; }
};
} // namespace

extern "C" void HAL_TIM_IC_CaptureCallback(TIM_HandleTypeDef *htim) {
    if (htim->Channel == HAL_TIM_ACTIVE_CHANNEL_2) {
        g_captures.push_back(HAL_TIM_ReadCapturedValue(htim, TIM_CHANNEL_2));
    }
}

TEST_F(Vmcu, TransmitLastsTenBitTimesPerByteWhileTicksRun) {
    std::string text(100, 'x');
    uint64_t t0 = vmcu::now_ns();
    EXPECT_EQ(HAL_UART_Transmit(&g_uart, reinterpret_cast<const uint8_t *>(text.data()), 100, 100),
              HAL_OK);
    EXPECT_EQ(vmcu::now_ns() - t0, 100ULL * 10000000000ULL / 115200); // 8.68 ms
    EXPECT_EQ(g_systicks, 8);
    EXPECT_EQ(terminal_.heard, text);

    // A transmitter that never empties gives up after the time-out.
    vmcu::uart_stall_tx(USART1, true);
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
    terminal_.Send("abc", t0);
    vmcu::advance_to(t0 + 10 * MS);
    ASSERT_EQ(g_rx_bytes, (std::vector<uint8_t>{'a', 'b', 'c'}));
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(g_rx_times[k], t0 + (k + 1) * 10000000000ULL / 115200);
    }

    // Reception not re-armed after 'x': 'y' waits in the data register and 'z' overruns it.
    g_rearm = false;
    terminal_.Send("xyz", vmcu::now_ns());
    vmcu::advance_to(vmcu::now_ns() + 5 * MS);
    EXPECT_EQ(vmcu::uart_overruns(USART1), 1u);
    EXPECT_EQ(g_rx_errors, 0);
    // Arming again takes the waiting byte, then reports the overrun.
    g_rearm = true;
    ASSERT_EQ(HAL_UART_Receive_IT(&g_uart, &g_rx_byte, 1), HAL_OK);
    EXPECT_EQ(g_rx_bytes, (std::vector<uint8_t>{'a', 'b', 'c', 'x', 'y'}));
    EXPECT_EQ(g_rx_errors, 1);
    EXPECT_EQ(vmcu::uart_rx_errors_reported(USART1), 1u);
}

// A byte sent at a rate the receiver cannot follow (more than 3 % off) is a framing error: the
// data register's byte (0) is delivered, then the error is reported with its code. Within the
// tolerance a byte arrives whole.
TEST_F(Vmcu, ByteAtAnotherRateIsAFramingError) {
    ASSERT_EQ(HAL_UART_Receive_IT(&g_uart, &g_rx_byte, 1), HAL_OK);
    const uint8_t q = 'q';
    vmcu::uart_line(USART1).send(&q, 1, vmcu::now_ns(), 9600);
    vmcu::uart_line(USART1).send(&q, 1, vmcu::now_ns(), 115200 * 102 / 100);
    vmcu::uart_line(USART1).send(&q, 1, vmcu::now_ns(), 115200 * 96 / 100);
    vmcu::advance_to(vmcu::now_ns() + 5 * MS);
    EXPECT_EQ(g_rx_bytes, (std::vector<uint8_t>{0, 'q', 0}));
    EXPECT_EQ(g_rx_error_codes, (std::vector<uint32_t>{HAL_UART_ERROR_FE, HAL_UART_ERROR_FE}));
    EXPECT_EQ(vmcu::uart_overruns(USART1), 0u);
}

TEST_F(Vmcu, I2cTransfersTakeTheirBusTime) {
    Recorder dev;
    vmcu::i2c_attach(I2C1, 0x60, &dev);
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
    vmcu::i2c_attach(I2C1, 0x60, &dev);
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

// A transfer is on the bus for its bus time. Code that runs in the middle of it (an interrupt, a
// fault handler) finds the bus busy; a reset of the peripheral through the RCC cuts it: what went
// out is recorded then, the device stays in its transfer until a STOP made with the pins, the
// interrupted call ends in a time-out, and while the peripheral is held in reset nothing answers.
TEST_F(Vmcu, TransferInterruptedOrCutByAPeripheralReset) {
    Recorder dev;
    vmcu::i2c_attach(I2C1, 0x60, &dev);
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t off = 0xFF;
    const uint64_t byte_ns = 9 * 2500;
    // 1. Another transfer in the middle: BUSY after the board's 25 ms; the first goes on whole.
    HAL_StatusTypeDef nested = HAL_OK;
    vmcu::schedule(vmcu::now_ns() + 25000 + 3 * byte_ns + 1000, [&](uint64_t) {
        nested = HAL_I2C_Mem_Write(&i2c_, 0xC0, 3, I2C_MEMADD_SIZE_8BIT, &off, 1, HAL_MAX_DELAY);
    });
    EXPECT_EQ(HAL_I2C_Mem_Write(&i2c_, 0xC0, 50, I2C_MEMADD_SIZE_8BIT, data, 8, HAL_MAX_DELAY),
              HAL_OK);
    EXPECT_EQ(nested, HAL_BUSY);
    ASSERT_EQ(dev.transfers.size(), 1u);
    EXPECT_EQ(dev.transfers[0].size(), 9u);

    // 2. A reset of the peripheral after three bytes: cut; held, a transfer is not answered.
    vmcu::i2c_clear_log();
    const size_t stops = dev.stops.size();
    HAL_StatusTypeDef while_held = HAL_OK;
    vmcu::schedule(vmcu::now_ns() + 25000 + 3 * byte_ns + 1000, [&](uint64_t) {
        __HAL_RCC_I2C1_FORCE_RESET();
        while_held = HAL_I2C_Mem_Write(&i2c_, 0xC0, 3, I2C_MEMADD_SIZE_8BIT, &off, 1, 10);
    });
    const uint64_t t0 = vmcu::now_ns();
    EXPECT_EQ(HAL_I2C_Mem_Write(&i2c_, 0xC0, 50, I2C_MEMADD_SIZE_8BIT, data, 8, HAL_MAX_DELAY),
              HAL_TIMEOUT);
    EXPECT_EQ(while_held, HAL_TIMEOUT);
    EXPECT_GE(vmcu::now_ns() - t0, 25 * MS);
    ASSERT_GE(vmcu::i2c_log().size(), 1u);
    const vmcu::I2cTransfer &cut = vmcu::i2c_log()[0];
    EXPECT_TRUE(cut.cut);
    EXPECT_EQ(cut.status, HAL_OK);
    EXPECT_EQ(cut.bytes, (std::vector<uint8_t>{50, 1, 2}));
    EXPECT_EQ(dev.transfers.back(), (std::vector<uint8_t>{50, 1, 2}));
    EXPECT_EQ(dev.stops.size(), stops); // the device is still in it
    EXPECT_TRUE(vmcu::reset_held(RCC_GATE_I2C1));
    EXPECT_EQ(vmcu::i2c_init_record(I2C1), nullptr);

    // 3. Released and set up again, the pins end the device's transfer with a STOP, and the bus
    // carries the next write.
    __HAL_RCC_I2C1_RELEASE_RESET();
    HAL_GPIO_WritePin(GPIOB, GPIO_PIN_6 | GPIO_PIN_7, GPIO_PIN_SET);
    GPIO_InitTypeDef pins{GPIO_PIN_6 | GPIO_PIN_7, GPIO_MODE_OUTPUT_OD, GPIO_NOPULL, 0, 0};
    HAL_GPIO_Init(GPIOB, &pins);
    HAL_GPIO_WritePin(GPIOB, GPIO_PIN_7, GPIO_PIN_RESET); // SDA low, SCL high: a START
    EXPECT_EQ(dev.stops.size(), stops);
    HAL_GPIO_WritePin(GPIOB, GPIO_PIN_7, GPIO_PIN_SET); // SDA rising, SCL high: the STOP
    EXPECT_EQ(dev.stops.size(), stops + 1);
    ASSERT_EQ(HAL_I2C_Init(&i2c_), HAL_OK);
    EXPECT_EQ(HAL_I2C_Mem_Write(&i2c_, 0xC0, 3, I2C_MEMADD_SIZE_8BIT, &off, 1, 10), HAL_OK);
    EXPECT_EQ(dev.transfers.back(), (std::vector<uint8_t>{3, 0xFF}));
}

// Any timer of the chip runs at the rate its clock, prescaler and period give and raises its own
// update interrupt (TIM2's is 28); the handler is the firmware's, found by name.
TEST_F(Vmcu, EveryTimerByInstanceWithItsOwnInterrupt) {
    TIM_HandleTypeDef tim2{};
    tim2.Instance = reinterpret_cast<TIM_TypeDef *>(APB1PERIPH_BASE + 0x0000);
    tim2.Init.Prescaler = 15; // 16 MHz HSI (no clock tree set up): 1 MHz
    tim2.Init.Period = 499;   // 2 kHz
    ASSERT_EQ(HAL_TIM_Base_Init(&tim2), HAL_OK);
    ASSERT_EQ(HAL_TIM_Base_Start_IT(&tim2), HAL_OK);
    static TIM_HandleTypeDef *handle = &tim2;
    vmcu::set_handler(TIM2_IRQn, [] { HAL_TIM_IRQHandler(handle); });
    HAL_NVIC_EnableIRQ(TIM2_IRQn);
    vmcu::advance_to(vmcu::now_ns() + 10 * MS);
    EXPECT_EQ(g_tim2_updates, 20);
    EXPECT_EQ(vmcu::timer_record(tim2.Instance).period_ns, 500000u);
    EXPECT_EQ(vmcu::timer_record(TIM3).started_it, false);
}

// TIM2 counts the edges of the line on its ETR pin from its start, over 32 bits, and channel 2
// captures the count at each rising edge on PA1 in its timer function; PA1 as a plain input, or a
// falling edge, captures nothing.
TEST_F(Vmcu, Tim2CapturesTheEtrCountAtRisingEdgesOnPa1) {
    TenMegahertz line;
    vmcu::tim2_clock_input(&line);
    HAL_RCC_EnableGate(RCC_GATE_TIM2);
    GPIO_InitTypeDef pin{};
    pin.Pin = GPIO_PIN_1;
    pin.Mode = GPIO_MODE_INPUT;
    HAL_GPIO_Init(GPIOA, &pin);
    TIM_HandleTypeDef tim2{};
    tim2.Instance = TIM2;
    tim2.Init.Period = 0xFFFFFFFFU;
    ASSERT_EQ(HAL_TIM_Base_Init(&tim2), HAL_OK);
    TIM_ClockConfigTypeDef clock{TIM_CLOCKSOURCE_ETRMODE2, TIM_CLOCKPOLARITY_NONINVERTED,
                                 TIM_CLOCKPRESCALER_DIV1, 0};
    ASSERT_EQ(HAL_TIM_ConfigClockSource(&tim2, &clock), HAL_OK);
    TIM_IC_InitTypeDef capture{TIM_ICPOLARITY_RISING, TIM_ICSELECTION_DIRECTTI, TIM_ICPSC_DIV1, 0};
    ASSERT_EQ(HAL_TIM_IC_ConfigChannel(&tim2, &capture, TIM_CHANNEL_2), HAL_OK);
    vmcu::advance_to(vmcu::now_ns() + 1000); // the count starts at the start: 10 edges later
    ASSERT_EQ(HAL_TIM_IC_Start_IT(&tim2, TIM_CHANNEL_2), HAL_OK);
    static TIM_HandleTypeDef *handle = &tim2;
    vmcu::set_handler(TIM2_IRQn, [] { HAL_TIM_IRQHandler(handle); });
    HAL_NVIC_EnableIRQ(TIM2_IRQn);
    g_captures.clear();
    const uint64_t t0 = vmcu::now_ns();

    vmcu::schedule(t0 + 5000, [](uint64_t) { vmcu::gpio_drive(GPIOA, 1, 1); }); // an input: no
    vmcu::schedule(t0 + 6000, [](uint64_t) { vmcu::gpio_drive(GPIOA, 1, 0); });
    vmcu::advance_to(t0 + 10000);
    EXPECT_TRUE(g_captures.empty());
    pin.Mode = GPIO_MODE_AF_PP;
    pin.Alternate = GPIO_AF1_TIM2;
    HAL_GPIO_Init(GPIOA, &pin);
    vmcu::schedule(t0 + 1000000250, [](uint64_t) { vmcu::gpio_drive(GPIOA, 1, 1); });
    vmcu::schedule(t0 + 1100000000, [](uint64_t) { vmcu::gpio_drive(GPIOA, 1, 0); });
    vmcu::schedule(t0 + 2000000000, [](uint64_t) { vmcu::gpio_drive(GPIOA, 1, 1); });
    vmcu::advance_to(t0 + 3000000000ULL);
    const uint32_t at_start = static_cast<uint32_t>(t0 / 100);
    EXPECT_EQ(g_captures, (std::vector<uint32_t>{static_cast<uint32_t>((t0 + 1000000250) / 100) -
                                                     at_start,
                                                 static_cast<uint32_t>((t0 + 2000000000) / 100) -
                                                     at_start}));
    vmcu::tim2_clock_input(nullptr);
}

// What the chip does not have, the model refuses loudly instead of aliasing it to something else.
TEST_F(Vmcu, UnknownInstancesFailLoudly) {
    TIM_HandleTypeDef bogus{};
    bogus.Instance = reinterpret_cast<TIM_TypeDef *>(APB1PERIPH_BASE + 0x1000); // TIM6: not here
    EXPECT_DEATH(HAL_TIM_Base_Init(&bogus), "no timer at 0x40001000");
    UART_HandleTypeDef uart{};
    uart.Instance = reinterpret_cast<USART_TypeDef *>(APB1PERIPH_BASE + 0x4800); // USART3
    uart.Init.BaudRate = 9600;
    EXPECT_DEATH(HAL_UART_Init(&uart), "no UART at");
    EXPECT_DEATH(HAL_NVIC_EnableIRQ(static_cast<IRQn_Type>(90)), "does not exist");
    // An interrupt that fires with no handler is the board's default handler: the CPU stops.
    HAL_NVIC_EnableIRQ(USART2_IRQn);
    UART_HandleTypeDef usart2{};
    usart2.Instance = USART2;
    usart2.Init.BaudRate = 9600;
    ASSERT_EQ(HAL_UART_Init(&usart2), HAL_OK);
    uint8_t byte = 0;
    ASSERT_EQ(HAL_UART_Receive_IT(&usart2, &byte, 1), HAL_OK);
    const uint8_t x = 'x';
    vmcu::uart_line(USART2).send(&x, 1, vmcu::now_ns(), 9600);
    EXPECT_DEATH(vmcu::advance_to(vmcu::now_ns() + 2 * MS), "CPU halted");
}

// A reset of the MCU brings its registers back (the UART unconfigured, the tick stopped, the
// reception disarmed) while the world goes on: the time, the devices attached, bytes on a wire.
TEST_F(Vmcu, McuResetKeepsTheWorld) {
    Recorder chip;
    vmcu::i2c_attach(I2C1, 0x60, &chip);
    ASSERT_EQ(HAL_UART_Receive_IT(&g_uart, &g_rx_byte, 1), HAL_OK);
    terminal_.Send("late", vmcu::now_ns() + 5 * MS);
    vmcu::advance_to(vmcu::now_ns() + 3 * MS);
    const uint64_t t = vmcu::now_ns();
    const int ticks = g_systicks;
    vmcu::reset_mcu(vmcu::ResetCause::WATCHDOG);
    EXPECT_EQ(vmcu::now_ns(), t);
    EXPECT_EQ(vmcu::resets(), 1u);
    EXPECT_EQ(vmcu::uart_baud(USART1), 0u);
    EXPECT_EQ(vmcu::i2c_init_record(I2C1), nullptr);
    vmcu::advance_to(t + 10 * MS);
    EXPECT_EQ(g_systicks, ticks);           // SysTick stopped until HAL_Init
    EXPECT_TRUE(g_rx_bytes.empty());        // nothing armed: the bytes on the wire went unheard
    EXPECT_EQ(HAL_I2C_Init(&i2c_), HAL_OK); // the bring-up again: the device is still there
    EXPECT_EQ(HAL_I2C_IsDeviceReady(&i2c_, 0xC0, 1, 10), HAL_OK);
    EXPECT_FALSE(chip.stops.empty());
}

TEST_F(Vmcu, SameInputsSameOutputs) {
    auto run = [this] {
        vmcu::reset();
        vmcu::set_handler(SysTick_IRQn, OnSysTick);
        vmcu::set_handler(USART1_IRQn, OnUsart1);
        terminal_.heard.clear();
        vmcu::uart_attach(USART1, &terminal_);
        HAL_Init();
        g_uart = {};
        g_uart.Instance = USART1;
        g_uart.Init.BaudRate = 115200;
        HAL_UART_Init(&g_uart);
        HAL_NVIC_EnableIRQ(USART1_IRQn);
        g_rx_times.clear();
        HAL_UART_Receive_IT(&g_uart, &g_rx_byte, 1);
        terminal_.Send("hello, world", 1234567);
        vmcu::schedule(3 * MS + 17, [](uint64_t) {
            HAL_UART_Transmit(&g_uart, reinterpret_cast<const uint8_t *>("echo"), 4, 10);
        });
        vmcu::advance_to(10 * MS);
        return std::make_pair(g_rx_times, terminal_.heard);
    };
    auto a = run();
    auto b = run();
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.first.size(), 12u);
    EXPECT_EQ(a.second, "echo");
}

// The watchdog resets the MCU when it is not refreshed within its time-out, and only then; the
// reset flags say it was the watchdog, and the reset stops it.
TEST_F(Vmcu, WatchdogResetsUnlessRefreshed) {
    IWDG_HandleTypeDef wdg{IWDG, {IWDG_PRESCALER_64, 999}};
    ASSERT_EQ(HAL_IWDG_Init(&wdg), HAL_OK);
    EXPECT_EQ(vmcu::iwdg_record().timeout_ns, 2000 * MS); // 4 x 16 x 1000 periods of 32 kHz
    HAL_RCC_ClearResetFlags();
    const uint64_t t0 = vmcu::now_ns();
    vmcu::advance_to(t0 + 1900 * MS);
    EXPECT_EQ(HAL_IWDG_Refresh(&wdg), HAL_OK);
    vmcu::advance_to(t0 + 3800 * MS);
    EXPECT_EQ(vmcu::resets(), 0u);
    vmcu::advance_to(t0 + 3901 * MS);
    EXPECT_EQ(vmcu::resets(), 1u);
    EXPECT_EQ(HAL_RCC_GetResetFlag(RCC_FLAG_IWDGRST), 1u);
    EXPECT_EQ(HAL_RCC_GetResetFlag(RCC_FLAG_PINRST), 1u);
    EXPECT_EQ(HAL_RCC_GetResetFlag(RCC_FLAG_PORRST), 0u);
    EXPECT_FALSE(vmcu::iwdg_record().running);
    vmcu::advance_to(t0 + 10000 * MS);
    EXPECT_EQ(vmcu::resets(), 1u);
}

// A start takes the time its values need to reach the LSI's domain; a second one in the middle of
// it (a fault during the start-up's) waits for the first to get there, then takes its own.
TEST_F(Vmcu, WatchdogStartWaitsForTheLastUpdate) {
    constexpr uint64_t U = mcu::IWDG_UPDATE_NS;
    IWDG_HandleTypeDef wdg{IWDG, {IWDG_PRESCALER_64, 999}};
    const uint64_t t0 = vmcu::now_ns();
    ASSERT_EQ(HAL_IWDG_Init(&wdg), HAL_OK);
    EXPECT_EQ(vmcu::now_ns(), t0 + U);
    uint64_t second_done = 0;
    vmcu::schedule(t0 + U + U / 2, [&second_done](uint64_t) {
        IWDG_HandleTypeDef longest{IWDG, {IWDG_PRESCALER_64, IWDG_RELOAD_MAX}};
        EXPECT_EQ(HAL_IWDG_Init(&longest), HAL_OK);
        second_done = vmcu::now_ns();
    });
    ASSERT_EQ(HAL_IWDG_Init(&wdg), HAL_OK);
    EXPECT_EQ(second_done, t0 + 3 * U);
    EXPECT_EQ(vmcu::iwdg_record().reload, IWDG_RELOAD_MAX);
}

// Reset flags as the chip sets them: a power-on also counts as brown-out and pin; a reset from
// inside also sets the pin flag; they stay until the firmware clears them.
TEST_F(Vmcu, ResetFlagsTellTheKindOfReset) {
    EXPECT_TRUE(vmcu::reset_flag(RCC_FLAG_PORRST) && vmcu::reset_flag(RCC_FLAG_BORRST) &&
                vmcu::reset_flag(RCC_FLAG_PINRST));
    __HAL_RCC_CLEAR_RESET_FLAGS();
    EXPECT_FALSE(vmcu::reset_flag(RCC_FLAG_PORRST) || vmcu::reset_flag(RCC_FLAG_PINRST));
    vmcu::reset_mcu(vmcu::ResetCause::SOFTWARE);
    EXPECT_TRUE(vmcu::reset_flag(RCC_FLAG_SFTRST) && vmcu::reset_flag(RCC_FLAG_PINRST));
    vmcu::reset_mcu(vmcu::ResetCause::BROWN_OUT);
    EXPECT_TRUE(vmcu::reset_flag(RCC_FLAG_SFTRST) && vmcu::reset_flag(RCC_FLAG_BORRST));
    EXPECT_FALSE(vmcu::reset_flag(RCC_FLAG_PORRST) || vmcu::reset_flag(RCC_FLAG_IWDGRST));
}

// A device that holds SDA low until SCL has been clocked a number of times.
struct StuckDevice : Recorder {
    int owed = 0;
    int pulses = 0;
    bool holds_sda() const override { return owed > 0; }
    void scl_pulse(uint64_t) override {
        ++pulses;
        owed = owed > 0 ? owed - 1 : 0;
    }
};

// While a device holds SDA every transfer ends BUSY after the board's wait and reaches nobody.
// Taken as open-drain GPIOs, the pins clock the device by hand: each rising edge of SCL is a
// pulse, SDA reads low until the device lets go; the interface works again after it.
TEST_F(Vmcu, StuckSdaIsFreedByClockingSclByHand) {
    StuckDevice dev;
    dev.owed = 5;
    vmcu::i2c_attach(I2C1, 0x60, &dev);
    uint8_t b = 1;
    const uint64_t t0 = vmcu::now_ns();
    EXPECT_EQ(HAL_I2C_Mem_Write(&i2c_, 0xC0, 3, I2C_MEMADD_SIZE_8BIT, &b, 1, HAL_MAX_DELAY),
              HAL_BUSY);
    EXPECT_EQ(vmcu::now_ns() - t0, 25 * MS);
    EXPECT_EQ(HAL_I2C_IsDeviceReady(&i2c_, 0xC0, 3, 10), HAL_BUSY);
    EXPECT_TRUE(dev.transfers.empty());

    // In its I2C function the pin does nothing as a GPIO.
    HAL_GPIO_WritePin(GPIOB, GPIO_PIN_6, GPIO_PIN_RESET);
    HAL_GPIO_WritePin(GPIOB, GPIO_PIN_6, GPIO_PIN_SET);
    EXPECT_EQ(dev.pulses, 0);

    ASSERT_EQ(HAL_I2C_DeInit(&i2c_), HAL_OK);
    HAL_GPIO_WritePin(GPIOB, GPIO_PIN_6 | GPIO_PIN_7, GPIO_PIN_SET); // released once outputs
    GPIO_InitTypeDef pins{GPIO_PIN_6 | GPIO_PIN_7, GPIO_MODE_OUTPUT_OD, GPIO_NOPULL, 0, 0};
    HAL_GPIO_Init(GPIOB, &pins);
    int clocked = 0;
    while (HAL_GPIO_ReadPin(GPIOB, GPIO_PIN_7) == GPIO_PIN_RESET && clocked < 9) {
        HAL_GPIO_WritePin(GPIOB, GPIO_PIN_6, GPIO_PIN_RESET);
        HAL_GPIO_WritePin(GPIOB, GPIO_PIN_6, GPIO_PIN_SET);
        ++clocked;
    }
    EXPECT_EQ(clocked, 5);
    EXPECT_EQ(dev.pulses, 5);
    EXPECT_EQ(HAL_GPIO_ReadPin(GPIOB, GPIO_PIN_6), GPIO_PIN_SET); // released: the pull-ups
    HAL_GPIO_WritePin(GPIOB, GPIO_PIN_7, GPIO_PIN_RESET);
    EXPECT_EQ(HAL_GPIO_ReadPin(GPIOB, GPIO_PIN_7), GPIO_PIN_RESET); // driven low by the MCU

    ASSERT_EQ(HAL_I2C_Init(&i2c_), HAL_OK);
    EXPECT_EQ(HAL_I2C_Mem_Write(&i2c_, 0xC0, 3, I2C_MEMADD_SIZE_8BIT, &b, 1, HAL_MAX_DELAY),
              HAL_OK);
    EXPECT_EQ(dev.transfers.size(), 1u);
}

int g_hard_faults = 0;

// A hard fault is taken at once, masked or not, inside a handler or not.
TEST_F(Vmcu, HardFaultIsTakenEvenWithInterruptsMasked) {
    g_hard_faults = 0;
    vmcu::set_handler(HardFault_IRQn, [] { ++g_hard_faults; });
    __disable_irq();
    vmcu::hard_fault();
    EXPECT_EQ(g_hard_faults, 1);
    EXPECT_TRUE(vmcu::irq_masked());
    __enable_irq();
}

// Flushing the receiver drops the byte that waited in it and the overrun behind it: arming
// afterwards takes only what comes next.
TEST_F(Vmcu, FlushDropsWhatWaitedBeforeArming) {
    terminal_.Send("qr", vmcu::now_ns());
    vmcu::advance_to(vmcu::now_ns() + MS);
    EXPECT_EQ(vmcu::uart_overruns(USART1), 1u);
    __HAL_UART_FLUSH_DRREGISTER(&g_uart);
    ASSERT_EQ(HAL_UART_Receive_IT(&g_uart, &g_rx_byte, 1), HAL_OK);
    EXPECT_TRUE(g_rx_bytes.empty());
    EXPECT_EQ(g_rx_errors, 0);
    terminal_.Send("s", vmcu::now_ns());
    vmcu::advance_to(vmcu::now_ns() + MS);
    EXPECT_EQ(g_rx_bytes, (std::vector<uint8_t>{'s'}));
}

namespace {

// The flash as the chip's: locked until unlocked, programming only clears bits, an erase sets a
// whole sector, both stall the CPU (the tick waits and is taken once), contents kept over an MCU
// reset; a power cut leaves a half-programmed word with only bits that were to be cleared
// changed, and powers the MCU up again.
TEST_F(Vmcu, FlashProgramsClearBitsErasesSetThemAndStallsTheCpu) {
    auto word = [](uint32_t a) {
        uint32_t w;
        std::memcpy(&w, HAL_FLASH_Address(a), 4);
        return w;
    };
    const uint32_t a = FLASH_SECTOR_3_ADDR + 40;
    EXPECT_EQ(HAL_FLASH_Program(FLASH_TYPEPROGRAM_WORD, a, 0), HAL_ERROR); // locked
    EXPECT_EQ(HAL_FLASH_GetError(), HAL_FLASH_ERROR_WRP);
    ASSERT_EQ(HAL_FLASH_Unlock(), HAL_OK);
    EXPECT_EQ(HAL_FLASH_Program(FLASH_TYPEPROGRAM_WORD, a + 1, 0), HAL_ERROR);
    EXPECT_EQ(HAL_FLASH_GetError(), HAL_FLASH_ERROR_PGA);
    ASSERT_EQ(HAL_FLASH_Program(FLASH_TYPEPROGRAM_WORD, a, 0xF0F0FFFFU), HAL_OK);
    ASSERT_EQ(HAL_FLASH_Program(FLASH_TYPEPROGRAM_WORD, a, 0xFF00FF0FU), HAL_OK);
    EXPECT_EQ(word(a), 0xF000FF0FU);

    ASSERT_EQ(HAL_Init(), HAL_OK); // SysTick from here
    g_systicks = 0;
    const uint64_t t0 = vmcu::now_ns();
    FLASH_EraseInitTypeDef e = {FLASH_TYPEERASE_SECTORS, 0, FLASH_SECTOR_3, 1,
                                FLASH_VOLTAGE_RANGE_3};
    uint32_t failed = 0;
    ASSERT_EQ(HAL_FLASHEx_Erase(&e, &failed), HAL_OK);
    EXPECT_EQ(vmcu::now_ns() - t0, vmcu::FLASH_ERASE_NS);
    EXPECT_EQ(g_systicks, 1); // 250 ticks due, one taken after the stall
    EXPECT_EQ(word(a), 0xFFFFFFFFU);
    e.Sector = 1; // code: refused
    EXPECT_EQ(HAL_FLASHEx_Erase(&e, &failed), HAL_ERROR);

    ASSERT_EQ(HAL_FLASH_Program(FLASH_TYPEPROGRAM_WORD, a, 0x12345678U), HAL_OK);
    vmcu::reset_mcu(vmcu::ResetCause::PIN);
    EXPECT_EQ(word(a), 0x12345678U);
    EXPECT_EQ(HAL_FLASH_Program(FLASH_TYPEPROGRAM_WORD, a + 4, 0), HAL_ERROR); // locked again

    HAL_FLASH_Unlock();
    vmcu::flash_power_cut_at(1, 5);
    const uint64_t resets = vmcu::resets();
    EXPECT_EQ(HAL_FLASH_Program(FLASH_TYPEPROGRAM_WORD, a + 4, 0x0000FFFFU), HAL_ERROR);
    EXPECT_EQ(vmcu::resets(), resets + 1);
    EXPECT_EQ(vmcu::flash_record().power_cuts, 1u);
    const uint32_t half = word(a + 4);
    EXPECT_EQ(half & 0x0000FFFFU, 0x0000FFFFU); // bits that were to stay 1 did
    EXPECT_NE(half, 0xFFFFFFFFU);               // some were cleared, not all (seed 5)
    EXPECT_NE(half, 0x0000FFFFU);
}

} // namespace

// A model the core names nowhere: a new world and a reset of the MCU reach it, and its event runs
// at its time, before the interrupt it raised and the world's event of the same time.
TEST_F(Vmcu, APeripheralJoinsTheMcuByBeingConstructed) {
    g_extension.resets.clear();
    vmcu::reset();
    vmcu::reset_mcu(vmcu::ResetCause::PIN);
    EXPECT_EQ(g_extension.resets, (std::vector<std::string>{"world", "mcu"}));

    g_order.clear();
    vmcu::set_handler(k_model_irq, [] { g_order.emplace_back("interrupt"); });
    HAL_NVIC_EnableIRQ(k_model_irq);
    const uint64_t t = vmcu::now_ns() + 2 * MS;
    vmcu::schedule(t, [](uint64_t) { g_order.emplace_back("world"); });
    g_extension.Arm(t);
    vmcu::advance_to(t + MS);
    EXPECT_EQ(g_extension.event_at, t);
    EXPECT_EQ(g_order, (std::vector<std::string>{"model", "interrupt", "world"}));
}
