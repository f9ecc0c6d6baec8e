// The emulated STM32F411 (Platform/emu) as the board's MCU, running the board image itself. Built
// only where the emulated chip is (Sim/CMakeLists.txt).
#include <utility>

#include "emu.h"
#include "mcu.h"

namespace sim {
namespace {

// One flash file serves both MCUs (wspr-sim run --flash).
static_assert(emu::SETTINGS_BYTES == vmcu::FLASH_SETTINGS_BYTES);

class EmulatedMcuImpl final : public Mcu {
  public:
    void NewWorld() override { emu::reset(); }
    uint64_t Now() override { return emu::now_ns(); }
    void RunUntil(uint64_t t_ns) override { emu::run(t_ns); }
    void Schedule(uint64_t t_ns, std::function<void(uint64_t)> fn) override {
        emu::schedule(t_ns, std::move(fn));
    }

    void Reset(ResetCause cause) override { emu::reset_mcu(static_cast<emu::ResetCause>(cause)); }
    bool Halted() override { return emu::halted(); }
    void OnHalt(std::function<void()> fn) override { emu::on_halt(std::move(fn)); }
    void HangAt(uint64_t t_ns) override { emu::hang_thread_at(t_ns); }
    void HardFault() override { emu::hard_fault(); }
    void StrayInterrupt() override { emu::stray_interrupt(FPU_IRQn); }

    void AttachUart(int usart, dev::UartDevice *device) override {
        emu::uart_attach(usart, device);
    }
    void AttachI2c(uint8_t addr7, dev::I2cDevice *device) override {
        emu::i2c_attach(addr7, device);
    }
    void AttachClockLine(dev::ClockLine *line) override { emu::tim2_clock_input(line); }
    void DrivePin(Pin pin, int level) override { emu::gpio_drive(pin.port, pin.number, level); }
    int PinOutput(Pin pin) override { return emu::gpio_output(pin.port, pin.number); }
    int PinLevel(Pin pin) override { return emu::gpio_level(pin.port, pin.number); }
    void OnPinLevel(std::function<void(uint64_t, Pin, int)> fn) override {
        if (!fn) {
            emu::gpio_on_level(nullptr);
            return;
        }
        emu::gpio_on_level([fn = std::move(fn)](uint64_t t, char port, int pin, int level) {
            fn(t, {port, pin}, level);
        });
    }
    void SetUid(const mcu::Uid &uid) override { emu::set_uid(uid); }
    // What the bus carried: a write acknowledged to its last byte is status 0, anything else the
    // HAL's error (1).
    void OnI2cWrite(std::function<void(const I2cWrite &)> fn) override {
        if (!fn) {
            emu::i2c_on_transfer(nullptr);
            return;
        }
        emu::i2c_on_transfer([fn = std::move(fn)](const emu::I2cTransfer &t) {
            if (!t.bytes.empty() && !t.read) {
                fn({t.end_ns, t.addr7, t.bytes, t.acked ? 0 : 1});
            }
        });
    }

    size_t SettingsFlashBytes() override { return emu::SETTINGS_BYTES; }
    std::vector<uint8_t> FlashContents() override { return emu::flash_contents(); }
    void LoadFlash(const std::vector<uint8_t> &bytes) override { emu::flash_load(bytes); }

    // WSPR_App_GetStatus on the emulated CPU, into scratch RAM, field by field into the PC's
    // layout.
    WSPR_AppStatus Status() override {
        // The snapshot has the same layout on the image as here (pinned in wspr_app.h).
        WSPR_AppStatus status{};
        const uint32_t at = emu::scratch(sizeof status);
        emu::call(get_status_, at);
        emu::read_memory(at, &status, sizeof status);
        return status;
    }
    size_t Findings() override { return emu::findings().size(); }

    bool FailI2c(uint64_t, HAL_StatusTypeDef, bool) override { return false; }
    bool CutPowerAt(uint64_t, uint64_t) override { return false; }
    void KeepI2cRecord(bool) override {} // it keeps none

    bool Load(const std::string &elf_path, std::string &error) {
        if (!emu::load(elf_path, error)) {
            return false;
        }
        get_status_ = emu::symbol("WSPR_App_GetStatus");
        if (get_status_ == 0) {
            error = elf_path + " has no WSPR_App_GetStatus";
            return false;
        }
        return true;
    }

  private:
    uint32_t get_status_ = 0;
};

EmulatedMcuImpl g_emulated;

} // namespace

Mcu *EmulatedMcu(const std::string &elf_path, std::string &error) {
    return g_emulated.Load(elf_path, error) ? &g_emulated : nullptr;
}

} // namespace sim
