// What the two models of the STM32F411 agree on, in one place: the virtual MCU (vmcu::, the
// firmware built for the PC) and the emulated chip (emu::, the board image on Unicorn) take these
// from here, so a scenario run on both sees the same resets, oscillators and settings flash.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mcu {

constexpr uint64_t NS_PER_MS = 1000000;

// Why the MCU last started; the RCC's reset flags tell the firmware.
enum class ResetCause : uint8_t { POWER_ON, PIN, SOFTWARE, WATCHDOG, BROWN_OUT };

// The oscillators: the internal RC, the board's crystal, the low-speed internal RC (nominal; the
// chip's lies between 17 and 47 kHz).
constexpr uint32_t HSI_HZ = 16000000;
constexpr uint32_t HSE_HZ = 25000000;
constexpr uint32_t LSI_HZ = 32000;
// A new watchdog prescaler or reload reaches the LSI's clock domain (PVU, RVU clear) within five
// LSI periods; meanwhile another may not be written.
constexpr uint64_t IWDG_UPDATE_NS = NS_PER_MS * 1000 * 5 / LSI_HZ;

// The settings live in flash sectors 2 and 3 (16 KiB each), after the image's sectors 0 and 1.
// An erase sets a sector's bits to 1, programming a word only clears bits; the CPU stalls for the
// typical times at 32-bit parallelism.
constexpr uint32_t FLASH_SETTINGS_ADDR = 0x08008000;
constexpr size_t FLASH_SECTOR_BYTES = 16384;
constexpr size_t FLASH_SETTINGS_BYTES = 2 * FLASH_SECTOR_BYTES;
constexpr uint64_t FLASH_ERASE_NS = 250 * NS_PER_MS; // one 16 KiB sector
constexpr uint64_t FLASH_PROGRAM_NS = 16000;         // one 32-bit word

// The chip's 96-bit unique ID (RM0383 24.2: three words from 0x1FFF7A10) unless a run sets
// another: X/Y on the wafer, wafer and lot number.
struct Uid {
    uint32_t w[3];
};
constexpr Uid DEFAULT_UID = {{0x002F0031U, 0x30335109U, 0x36353438U}};
// The board holds the amplifier line (PB15) low with a pull-down while the MCU does not drive it.
constexpr char AMP_PORT = 'B';
constexpr int AMP_PIN = 15;

} // namespace mcu
