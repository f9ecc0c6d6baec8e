#include "board.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#ifdef WSPR_HAVE_EMU
#include "emu.h"
#endif

namespace sim {
namespace {

bool g_on_image = false;

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

#ifdef WSPR_HAVE_EMU
namespace {

uint32_t g_get_status_addr = 0;

void OnImageHalt() {
    std::fflush(stdout);
    std::fprintf(stderr, "wspr-sim: the firmware stopped (Error_Handler or a fault) at t=%llu us\n",
                 static_cast<unsigned long long>(emu::now_ns() / 1000));
}

} // namespace
#endif

bool UseImage(const std::string &elf_path, std::string &error) {
#ifdef WSPR_HAVE_EMU
    if (!emu::load(elf_path, error)) {
        return false;
    }
    g_get_status_addr = emu::symbol("WSPR_App_GetStatus");
    if (g_get_status_addr == 0) {
        error = elf_path + " has no WSPR_App_GetStatus";
        return false;
    }
    g_on_image = true;
    return true;
#else
    error = "this build has no emulated STM32F411 (Unicorn was not found)";
    (void)elf_path;
    return false;
#endif
}

bool OnImage() {
    return g_on_image;
}

void Prepare(const BoardConfig &config) {
    g_chip = std::make_unique<Si5351Model>(config.xtal_hz);
    g_terminal = std::make_unique<ConsoleTerminal>();
    g_gnss = std::make_unique<GnssReceiver>();
#ifdef WSPR_HAVE_EMU
    if (g_on_image) {
        emu::reset();
        if (config.si5351_present) {
            emu::i2c_attach(Si5351Model::ADDRESS_7BIT, g_chip.get());
        }
        emu::uart_attach(1, g_terminal.get());
        emu::uart_attach(2, g_gnss.get());
        emu::on_halt(OnImageHalt);
        return;
    }
#endif
    LoadFirmwareOnce();
    vmcu::reset();
    if (config.si5351_present) {
        vmcu::i2c_attach(I2C1, Si5351Model::ADDRESS_7BIT, g_chip.get());
    }
    vmcu::uart_attach(ConsoleUart(), g_terminal.get());
    vmcu::uart_attach(GnssUart(), g_gnss.get());
    vmcu::on_halt(OnHalt);
}

#ifdef WSPR_HAVE_EMU
#define ON_IMAGE(expr)                                                                             \
    if (g_on_image) {                                                                              \
        expr;                                                                                      \
    }
#else
#define ON_IMAGE(expr)
#endif

void Boot() {
    ON_IMAGE(emu::run(emu::now_ns() + 1); return )
    vmcu::run(vmcu::now_ns() + 1);
}

void PowerOn(const BoardConfig &config) {
    Prepare(config);
    Boot();
}

void Reset(vmcu::ResetCause cause) {
    ON_IMAGE(emu::reset_mcu(static_cast<emu::ResetCause>(cause)); return )
    vmcu::reset_mcu(cause);
}

bool Halted() {
    ON_IMAGE(return emu::halted())
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
#ifdef WSPR_HAVE_EMU
    if (g_on_image) {
        // The snapshot's layout is the same on the image as here (pinned in wspr_app.h).
        const uint32_t at = emu::scratch(sizeof status);
        emu::call(g_get_status_addr, at);
        emu::read_memory(at, &status, sizeof status);
        return status;
    }
#endif
    g_get_status(&status);
    return status;
}

uint64_t Now() {
    ON_IMAGE(return emu::now_ns())
    return vmcu::now_ns();
}
void RunUntil(uint64_t t_ns) {
    ON_IMAGE(emu::run(t_ns); return )
    vmcu::run(t_ns);
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
    ON_IMAGE(
        emu::schedule(t_ns, [pressed](uint64_t) { emu::gpio_drive('A', 0, pressed ? 0 : -1); });
        return )
    vmcu::schedule(t_ns, [pressed](uint64_t) { vmcu::gpio_drive(GPIOA, 0, pressed ? 0 : -1); });
}

const std::string &Console() {
    return g_terminal->Transcript();
}
void ClearConsole() {
    g_terminal->Clear();
}
int Led() {
    ON_IMAGE(return emu::gpio_output('C', 13))
    return vmcu::gpio_output(GPIOC, 13);
}

} // namespace sim
