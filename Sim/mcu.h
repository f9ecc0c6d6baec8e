// The virtual board's MCU, one of two behind this one interface: the virtual MCU running the
// firmware built for the PC (Platform/host, at the HAL's level, every build), or the emulated
// STM32F411 running a board image (Platform/emu, at the register level, only in builds with
// Unicorn). The board and its runs speak to either through it; the devices attach to either
// through the same dev:: interfaces, and the firmware's own view of itself comes back in the PC's
// layout from both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "devices.h"
#include "vmcu.h"
#include "wspr_app.h"

namespace sim {

using ResetCause = vmcu::ResetCause;

// A pin of a GPIO port ('A'..'E', 'H').
struct Pin {
    char port;
    int number;
};

// A write on the I2C bus as a logic analyser shows it.
struct I2cWrite {
    uint64_t end_ns;
    uint8_t addr7;
    std::span<const uint8_t> bytes; // the register address, then the data
    int status;                     // 0: every byte acknowledged; else the HAL's error status
};

class Mcu {
  public:
    virtual ~Mcu() = default;

    // A fresh world: time 0, the MCU in its power-on state, nothing attached, the settings flash
    // erased, every listener and injected fault cleared. The firmware stays loaded.
    virtual void NewWorld() = 0;
    virtual uint64_t Now() = 0;
    // Runs the firmware (its start-up first, after a reset) until virtual time reaches t_ns.
    virtual void RunUntil(uint64_t t_ns) = 0;
    // A world event: fn runs at t_ns, after the MCU's own events of that moment.
    virtual void Schedule(uint64_t t_ns, std::function<void(uint64_t t_ns)> fn) = 0;

    // A reset of the MCU alone: the world keeps its state and the flash its contents.
    virtual void Reset(ResetCause cause) = 0;
    // The CPU stopped for good (Error_Handler, a fault handler's wait) until a reset; the
    // listener hears of it when it happens.
    virtual bool Halted() = 0;
    virtual void OnHalt(std::function<void()> fn) = 0;
    // From t_ns the main loop makes no more progress; interrupts go on.
    virtual void HangAt(uint64_t t_ns) = 0;
    // A hard fault now, masked or not: call it from a world event.
    virtual void HardFault() = 0;
    // An interrupt the firmware never enabled (the FPU's) is enabled and raised now, as after a
    // stray write to the NVIC: call it from a world event.
    virtual void StrayInterrupt() = 0;

    virtual void AttachUart(int usart, dev::UartDevice *device) = 0;   // USART1 or USART2
    virtual void AttachI2c(uint8_t addr7, dev::I2cDevice *device) = 0; // on I2C1
    // The clock line on TIM2's external clock input (PA5, TIM2_ETR): the Si5351's CLK0.
    virtual void AttachClockLine(dev::ClockLine *line) = 0;
    // Outside drive of a pin: 0 or 1; -1 releases it (the pull decides).
    virtual void DrivePin(Pin pin, int level) = 0;
    virtual int PinOutput(Pin pin) = 0; // the output latch
    // The level on the pin's line (what the MCU drives, else the outside, else the pull).
    virtual int PinLevel(Pin pin) = 0;
    // Hears every change of level on a pin that is or was an output; nullptr: none.
    virtual void OnPinLevel(std::function<void(uint64_t t_ns, Pin pin, int level)> fn) = 0;
    // The chip's unique ID, from the next start-up on (a new world brings the default back).
    virtual void SetUid(const mcu::Uid &uid) = 0;
    // Hears every write on I2C1 as it ends; nullptr: none.
    virtual void OnI2cWrite(std::function<void(const I2cWrite &)> fn) = 0;

    // The settings sectors, in one file format for both MCUs.
    virtual size_t SettingsFlashBytes() = 0;
    virtual std::vector<uint8_t> FlashContents() = 0;
    virtual void LoadFlash(const std::vector<uint8_t> &bytes) = 0; // SettingsFlashBytes of them

    // WSPR_App_GetStatus, called outside time.
    virtual WSPR_AppStatus Status() = 0;
    // Problems the MCU found in what the firmware did (the emulated chip checks register use).
    virtual size_t Findings() = 0;

    // Faults of the PC build's platform layer: false, doing nothing, on an MCU without that layer
    // (the board image brings its own). I2C operation op (from 0) fails with status, with
    // from_then_on every later one too; the power fails during flash operation n (from 1).
    virtual bool FailI2c(uint64_t op, HAL_StatusTypeDef status, bool from_then_on) = 0;
    virtual bool CutPowerAt(uint64_t n, uint64_t seed) = 0;
    // The MCU's own record of every I2C operation, which tests read; off for long runs.
    virtual void KeepI2cRecord(bool keep) = 0;
};

// The virtual MCU with the PC build of the firmware, loaded at the first NewWorld (when it cannot
// be, the process exits with a message).
Mcu &VirtualMcu();
// That firmware build, and where it was found: $WSPR_FIRMWARE, else beside the running program,
// else the build tree.
const vmcu::FirmwareImage &Firmware();
std::string FirmwarePath();

// The emulated STM32F411 with the board image at elf_path loaded; nullptr and a reason when the
// image cannot be loaded or this build has no emulated chip.
Mcu *EmulatedMcu(const std::string &elf_path, std::string &error);

} // namespace sim
