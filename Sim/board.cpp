#include "board.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace sim {
namespace {

std::unique_ptr<vmcu::FirmwareImage> g_firmware;
std::unique_ptr<Si5351Model> g_chip;
std::unique_ptr<ConsoleTerminal> g_terminal;
std::unique_ptr<GnssReceiver> g_gnss;
void (*g_get_status)(WSPR_AppStatus *) = nullptr;

template <typename Fn> Fn EntryOf(const char *name) {
    void *entry = g_firmware->Entry(name);
    if (entry == nullptr) {
        std::fprintf(stderr, "wspr-sim: the firmware %s has no %s\n", FirmwarePath().c_str(), name);
        std::exit(2);
    }
    return reinterpret_cast<Fn>(entry);
}

void LoadFirmwareOnce() {
    if (g_firmware) {
        return;
    }
    std::string error;
    const std::string path = FirmwarePath();
    g_firmware = vmcu::FirmwareImage::Load(path, error);
    if (!g_firmware) {
        std::fprintf(stderr, "wspr-sim: cannot load the firmware: %s\n", error.c_str());
        std::exit(2);
    }
    vmcu::attach_firmware(g_firmware.get());
    vmcu::set_program(
        {EntryOf<void (*)()>("Board_Start"), EntryOf<void (*)()>("WSPR_App_Process")});
    g_get_status = EntryOf<void (*)(WSPR_AppStatus *)>("WSPR_App_GetStatus");
}

// The CPU waits for good (the firmware's Error_Handler, a fault): said once; the board runs on,
// and the watchdog, when running, resets the MCU.
void OnHalt() {
    std::fflush(stdout);
    std::fprintf(stderr, "wspr-sim: the firmware stopped (Error_Handler or a fault) at t=%llu us\n",
                 static_cast<unsigned long long>(vmcu::now_us()));
}

std::string ExecutableDir() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return ".";
    }
    std::string p(path, static_cast<size_t>(n));
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? "." : p.substr(0, slash);
}

} // namespace

std::string FirmwarePath() {
    if (const char *env = std::getenv("WSPR_FIRMWARE")) {
        return env;
    }
    std::string beside = ExecutableDir() + "/libwspr-firmware.so";
    if (access(beside.c_str(), R_OK) == 0) {
        return beside;
    }
    return WSPR_FIRMWARE_BUILD_PATH;
}

const vmcu::FirmwareImage &Firmware() {
    LoadFirmwareOnce();
    return *g_firmware;
}

void Prepare(const BoardConfig &config) {
    LoadFirmwareOnce();
    vmcu::reset();
    g_chip = std::make_unique<Si5351Model>(config.xtal_hz);
    g_terminal = std::make_unique<ConsoleTerminal>();
    g_gnss = std::make_unique<GnssReceiver>();
    if (config.si5351_present) {
        vmcu::i2c_attach(I2C1, Si5351Model::ADDRESS_7BIT, g_chip.get());
    }
    vmcu::uart_attach(ConsoleUart(), g_terminal.get());
    vmcu::uart_attach(GnssUart(), g_gnss.get());
    vmcu::on_halt(OnHalt);
}

void Boot() {
    vmcu::run(vmcu::now_ns() + 1);
}

void PowerOn(const BoardConfig &config) {
    Prepare(config);
    Boot();
}

void Reset(vmcu::ResetCause cause) {
    vmcu::reset_mcu(cause);
}

bool Halted() {
    return vmcu::halted();
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
    WSPR_AppStatus status{};
    g_get_status(&status);
    return status;
}

uint64_t Now() {
    return vmcu::now_ns();
}
void RunUntil(uint64_t t_ns) {
    vmcu::run(t_ns);
}
void RunFor(uint64_t ns) {
    RunUntil(vmcu::now_ns() + ns);
}

void TypeAt(uint64_t t_ns, std::string_view text) {
    g_terminal->TypeAt(t_ns, text);
}
void Type(std::string_view text) {
    TypeAt(vmcu::now_ns(), text);
}
void GnssAt(uint64_t t_ns, std::string_view bytes) {
    g_gnss->SendAt(t_ns, bytes);
}

void KeyAt(uint64_t t_ns, bool pressed) {
    vmcu::schedule(t_ns, [pressed](uint64_t) { vmcu::gpio_drive(GPIOA, 0, pressed ? 0 : -1); });
}

const std::string &Console() {
    return g_terminal->Transcript();
}
void ClearConsole() {
    g_terminal->Clear();
}
int Led() {
    return vmcu::gpio_output(GPIOC, 13);
}

} // namespace sim
