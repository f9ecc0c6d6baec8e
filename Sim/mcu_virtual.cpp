// The virtual MCU (Platform/host) as the board's MCU, with the firmware built for the PC: a shared
// object loaded once per process, whose RAM every reset puts back to its start.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "mcu.h"

namespace sim {
namespace {

std::unique_ptr<vmcu::FirmwareImage> g_firmware;

template <typename Fn> Fn EntryOf(const char *name) {
    void *entry = g_firmware->Entry(name);
    if (entry == nullptr) {
        std::fprintf(stderr, "wspr-sim: the firmware %s has no %s\n", FirmwarePath().c_str(), name);
        std::exit(2);
    }
    return reinterpret_cast<Fn>(entry);
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

const USART_TypeDef *Usart(int usart) {
    switch (usart) {
    case 1:
        return USART1;
    case 2:
        return USART2;
    default:
        return nullptr; // the virtual MCU refuses it loudly
    }
}

// The port's register block: 0x400 apart from GPIOA's, as in the chip's memory map (H is the
// eighth).
const GPIO_TypeDef *Port(char port) {
    return reinterpret_cast<const GPIO_TypeDef *>(GPIOA_BASE +
                                                  0x400UL * static_cast<unsigned>(port - 'A'));
}

char PortLetter(const GPIO_TypeDef *port) {
    const auto block = static_cast<char>((reinterpret_cast<uintptr_t>(port) - GPIOA_BASE) / 0x400);
    return static_cast<char>('A' + block);
}

class VirtualMcuImpl final : public Mcu {
  public:
    void NewWorld() override {
        LoadFirmwareOnce();
        vmcu::reset();
    }
    uint64_t Now() override { return vmcu::now_ns(); }
    void RunUntil(uint64_t t_ns) override { vmcu::run(t_ns); }
    void Schedule(uint64_t t_ns, std::function<void(uint64_t)> fn) override {
        vmcu::schedule(t_ns, std::move(fn));
    }

    void Reset(ResetCause cause) override { vmcu::reset_mcu(cause); }
    bool Halted() override { return vmcu::halted(); }
    void OnHalt(std::function<void()> fn) override { vmcu::on_halt(std::move(fn)); }
    void HangAt(uint64_t t_ns) override { vmcu::hang_main_loop_at(t_ns); }
    void HardFault() override { vmcu::hard_fault(); }
    void StrayInterrupt() override { vmcu::stray_interrupt(FPU_IRQn); }

    void AttachUart(int usart, dev::UartDevice *device) override {
        vmcu::uart_attach(Usart(usart), device);
    }
    void AttachI2c(uint8_t addr7, dev::I2cDevice *device) override {
        vmcu::i2c_attach(I2C1, addr7, device);
    }
    void AttachClockLine(dev::ClockLine *line) override { vmcu::tim2_clock_input(line); }
    void DrivePin(Pin pin, int level) override {
        vmcu::gpio_drive(Port(pin.port), pin.number, level);
    }
    int PinOutput(Pin pin) override { return vmcu::gpio_output(Port(pin.port), pin.number); }
    int PinLevel(Pin pin) override { return vmcu::gpio_level(Port(pin.port), pin.number); }
    void OnPinLevel(std::function<void(uint64_t, Pin, int)> fn) override {
        if (!fn) {
            vmcu::gpio_on_level(nullptr);
            return;
        }
        vmcu::gpio_on_level(
            [fn = std::move(fn)](uint64_t t, const GPIO_TypeDef *port, int pin, int level) {
                fn(t, {PortLetter(port), pin}, level);
            });
    }
    void SetUid(const mcu::Uid &uid) override { vmcu::set_uid(uid); }
    // The HAL's memory writes; probes and transfers it refused before the bus are not writes. A
    // transfer cut in the middle is what went out, recorded when it was cut.
    void OnI2cWrite(std::function<void(const I2cWrite &)> fn) override {
        if (!fn) {
            vmcu::i2c_on_transfer(nullptr);
            return;
        }
        vmcu::i2c_on_transfer([fn = std::move(fn)](const vmcu::I2cTransfer &t) {
            if (t.kind == vmcu::I2cTransfer::MEM_WRITE && !t.bytes.empty()) {
                fn({t.end_ns, t.addr7, t.bytes, static_cast<int>(t.status)});
            }
        });
    }

    size_t SettingsFlashBytes() override { return vmcu::FLASH_SETTINGS_BYTES; }
    std::vector<uint8_t> FlashContents() override { return vmcu::flash_contents(); }
    void LoadFlash(const std::vector<uint8_t> &bytes) override { vmcu::flash_load(bytes); }

    WSPR_AppStatus Status() override {
        WSPR_AppStatus status{};
        get_status_(&status);
        return status;
    }
    size_t Findings() override { return 0; } // the virtual MCU stops the run instead

    bool FailI2c(uint64_t op, HAL_StatusTypeDef status, bool from_then_on) override {
        vmcu::i2c_fail(op, status, from_then_on);
        return true;
    }
    bool CutPowerAt(uint64_t n, uint64_t seed) override {
        vmcu::flash_power_cut_at(n, seed);
        return true;
    }
    void KeepI2cRecord(bool keep) override { vmcu::i2c_keep_log(keep); }

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
        get_status_ = EntryOf<void (*)(WSPR_AppStatus *)>("WSPR_App_GetStatus");
    }

  private:
    void (*get_status_)(WSPR_AppStatus *) = nullptr;
};

VirtualMcuImpl g_virtual;

} // namespace

Mcu &VirtualMcu() {
    return g_virtual;
}

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
    g_virtual.LoadFirmwareOnce();
    return *g_firmware;
}

} // namespace sim
