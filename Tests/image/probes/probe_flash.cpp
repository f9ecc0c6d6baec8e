// The flash interface: a word programmed into sector 2 after the key sequence (only clearing
// bits), a sector erase, and a wrong key that leaves the interface locked.
#include "probe.h"

namespace {
constexpr uint32_t FLASH_KEYR = 0x40023C04, FLASH_SR = 0x40023C0C, FLASH_CR = 0x40023C10;
constexpr uint32_t SECTOR2 = 0x08008000;
constexpr uint32_t DWT_CYCCNT = 0xE0001004, DWT_CTRL = 0xE0001000, DEMCR = 0xE000EDFC;
void WaitIdle() {
    while ((REG(FLASH_SR) & (1U << 16)) != 0U) {
    }
}
} // namespace

extern "C" {
void probe_main() {
    REG(DEMCR) = 1U << 24;
    REG(DWT_CTRL) = 1U;
    REG(FLASH_KEYR) = 0x45670123U;
    REG(FLASH_KEYR) = 0xCDEF89ABU;
    Log(REG(FLASH_CR) >> 31);       // unlocked: 0
    REG(FLASH_CR) = (2U << 8) | 1U; // x32, PG
    REG(SECTOR2) = 0x12345678U;
    WaitIdle();
    REG(SECTOR2) = 0xFFFF00FFU; // clears bits only
    WaitIdle();
    Log(REG(SECTOR2));
    REG(FLASH_CR) = (2U << 8) | (2U << 3) | 2U; // SER, sector 2
    const uint32_t before = REG(DWT_CYCCNT);
    REG(FLASH_CR) = (2U << 8) | (2U << 3) | 2U | (1U << 16); // STRT
    WaitIdle();
    Log((REG(DWT_CYCCNT) - before) / 16000U); // milliseconds at the 16 MHz HSI
    Log(REG(SECTOR2));
    REG(FLASH_CR) = 1U << 31; // lock
    REG(FLASH_KEYR) = 0x11111111U;
    REG(FLASH_KEYR) = 0xCDEF89ABU;
    Log(REG(FLASH_CR) >> 31); // still locked: 1
}
}
