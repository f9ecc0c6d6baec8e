#include "board.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "main.h"
#include "stm32f4xx_it.h"
#include "wspr_app.h"

namespace sim {
namespace {

std::unique_ptr<Si5351Model> g_chip;
bool g_powered = false;

void MainLoopPass() {
    WSPR_App_Process();
}

void OnHalt() {
    std::fflush(stdout);
    std::fprintf(stderr, "wspr-sim: the firmware stopped in Error_Handler at t=%llu us\n",
                 static_cast<unsigned long long>(vmcu::now_us()));
    std::exit(3);
}

} // namespace

void Prepare(const BoardConfig &config) {
    if (g_powered) {
        std::fprintf(stderr, "sim::PowerOn: one board per process\n");
        std::abort();
    }
    g_powered = true;
    vmcu::reset();
    g_chip = std::make_unique<Si5351Model>(config.xtal_hz);
    if (config.si5351_present) {
        vmcu::i2c_attach(Si5351Model::ADDRESS_7BIT, g_chip.get());
    }
    vmcu::set_handler(vmcu::VEC_SYSTICK, SysTick_Handler);
    vmcu::set_handler(vmcu::VEC_TIM3, TIM3_IRQHandler);
    vmcu::set_handler(vmcu::VEC_USART1, USART1_IRQHandler);
    vmcu::set_handler(vmcu::VEC_USART2, USART2_IRQHandler);
    vmcu::set_halt_handler(OnHalt);
}

void Boot() {
    Board_Start();
}

void PowerOn(const BoardConfig &config) {
    Prepare(config);
    Boot();
}

bool Halted() {
    return vmcu::halted();
}
Si5351Model &Chip() {
    return *g_chip;
}
uint64_t Now() {
    return vmcu::now_ns();
}
void RunUntil(uint64_t t_ns) {
    vmcu::run(MainLoopPass, t_ns);
}
void RunFor(uint64_t ns) {
    RunUntil(vmcu::now_ns() + ns);
}

void TypeAt(uint64_t t_ns, std::string_view text) {
    vmcu::uart_inject(CONSOLE_UART, text, t_ns, CONSOLE_BAUD);
}
void Type(std::string_view text) {
    TypeAt(vmcu::now_ns(), text);
}
void GnssAt(uint64_t t_ns, std::string_view bytes) {
    vmcu::uart_inject(GNSS_UART, bytes, t_ns, GNSS_BAUD);
}

void KeyAt(uint64_t t_ns, bool pressed) {
    vmcu::schedule(t_ns,
                   [pressed](uint64_t) { vmcu::gpio_drive(vmcu::PORT_A, 0, pressed ? 0 : -1); });
}

const std::string &Console() {
    return vmcu::uart_output(CONSOLE_UART);
}
void ClearConsole() {
    vmcu::uart_clear_output(CONSOLE_UART);
}
int Led() {
    return vmcu::gpio_output(vmcu::PORT_C, 13);
}

} // namespace sim
