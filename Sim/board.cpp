#include "board.h"

#include <cstdio>
#include <memory>

namespace sim {
namespace {

constexpr int CONSOLE_USART = 1;
constexpr int GNSS_USART = 2;
constexpr Pin KEY_PIN{'A', 0};
constexpr Pin LED_PIN{'C', 13};
constexpr Pin AMP_PIN{mcu::AMP_PORT, mcu::AMP_PIN};

Mcu *g_mcu = &VirtualMcu();
std::unique_ptr<Si5351Model> g_chip;
std::unique_ptr<ConsoleTerminal> g_terminal;
std::unique_ptr<GnssReceiver> g_gnss;

// The CPU waits for good (the firmware's Error_Handler, a fault): said once; the board runs on,
// and the watchdog, when running, resets the MCU.
void OnHalt() {
    std::fflush(stdout);
    std::fprintf(stderr, "wspr-sim: the firmware stopped (Error_Handler or a fault) at t=%llu us\n",
                 static_cast<unsigned long long>(g_mcu->Now() / 1000));
}

// A drifting crystal moves CLK1 all the time: its frequency is worked out again every second.
void RefreshEverySecond(uint64_t t_ns) {
    g_mcu->Schedule(t_ns + SECOND, [](uint64_t t) {
        g_chip->refresh(t);
        RefreshEverySecond(t);
    });
}

} // namespace

bool UseImage(const std::string &elf_path, std::string &error) {
    Mcu *emulated = EmulatedMcu(elf_path, error);
    if (emulated == nullptr) {
        return false;
    }
    g_mcu = emulated;
    return true;
}

Mcu &BoardMcu() {
    return *g_mcu;
}

void Prepare(const BoardConfig &config) {
    g_chip = std::make_unique<Si5351Model>(config.xtal_hz, config.si5351_latch);
    g_chip->hold_sys_init(config.si5351_sys_init_ns);
    g_terminal = std::make_unique<ConsoleTerminal>();
    g_gnss = std::make_unique<GnssReceiver>();
    g_mcu->NewWorld();
    if (config.si5351_present) {
        g_mcu->AttachI2c(Si5351Model::ADDRESS_7BIT, g_chip.get());
    }
    g_mcu->AttachUart(CONSOLE_USART, g_terminal.get());
    g_mcu->AttachUart(GNSS_USART, g_gnss.get());
    g_mcu->AttachClockLine(g_chip.get());
    if (!config.xtal_drift.empty()) {
        g_chip->set_xtal_drift(config.xtal_drift);
        RefreshEverySecond(0);
    }
    if (config.pps) {
        g_gnss->SetPulse(config.pulse, [](int level) { g_mcu->DrivePin(PPS_PIN, level); });
    }
    g_mcu->OnHalt(OnHalt);
    // The board's pull-down on the amplifier line: low whenever the MCU does not drive it.
    g_mcu->DrivePin(AMP_PIN, 0);
}

void Boot() {
    g_mcu->RunUntil(g_mcu->Now() + 1);
}

void PowerOn(const BoardConfig &config) {
    Prepare(config);
    Boot();
}

void Reset(ResetCause cause) {
    g_mcu->Reset(cause);
}

bool Halted() {
    return g_mcu->Halted();
}

void KeepNoHistory() {
    g_mcu->KeepI2cRecord(false);
    g_terminal->Keep(false);
    g_chip->keep_timeline(false);
}

Si5351Model &Chip() {
    return *g_chip;
}
ConsoleTerminal &Terminal() {
    return *g_terminal;
}
GnssReceiver &Gnss() {
    return *g_gnss;
}

WSPR_AppStatus Status() {
    return g_mcu->Status();
}

uint64_t Now() {
    return g_mcu->Now();
}
void RunUntil(uint64_t t_ns) {
    g_mcu->RunUntil(t_ns);
}
void RunFor(uint64_t ns) {
    RunUntil(Now() + ns);
}

void TypeAt(uint64_t t_ns, std::string_view text) {
    g_terminal->TypeAt(t_ns, text);
}
void Type(std::string_view text) {
    TypeAt(Now(), text);
}
void GnssAt(uint64_t t_ns, std::string_view bytes) {
    g_gnss->SendAt(t_ns, bytes);
}

void KeyAt(uint64_t t_ns, bool pressed) {
    g_mcu->Schedule(t_ns, [pressed](uint64_t) { g_mcu->DrivePin(KEY_PIN, pressed ? 0 : -1); });
}

const std::string &Console() {
    return g_terminal->Transcript();
}
void ClearConsole() {
    g_terminal->Clear();
}
int Led() {
    return g_mcu->PinOutput(LED_PIN);
}
int Amplifier() {
    return g_mcu->PinLevel(AMP_PIN);
}
int BandCode() {
    int code = 0;
    for (int bit = 0; bit < 3; ++bit) {
        code |= g_mcu->PinLevel({'B', 12 + bit}) << bit;
    }
    return code;
}

} // namespace sim
