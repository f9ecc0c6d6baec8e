// The virtual board: the unmodified firmware on the virtual MCU with its devices attached — the
// Si5351 model on I2C1, the console and GNSS lines on USART1 and USART2, the key on PA0 and the
// LED on PC13. One board per process (the firmware's state is the process's own).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "si5351_model.h"
#include "vmcu.h"

namespace sim {

constexpr uint32_t CONSOLE_BAUD = 115200;
constexpr uint32_t GNSS_BAUD = 9600;
constexpr int CONSOLE_UART = 0;
constexpr int GNSS_UART = 1;
constexpr uint64_t MS = 1000000; // nanoseconds
constexpr uint64_t SECOND = 1000 * MS;

struct BoardConfig {
    bool si5351_present = true;
    uint64_t xtal_hz = Si5351Model::DEFAULT_XTAL_HZ;
};

// Power-on in two halves: Prepare gives a fresh virtual MCU with the devices attached and the
// firmware's interrupt handlers installed (faults and listeners can be set up after it); Boot runs
// the firmware's own start-up (Board_Start). PowerOn does both. Only once per process.
void Prepare(const BoardConfig &config = {});
void Boot();
void PowerOn(const BoardConfig &config = {});
bool Halted();

Si5351Model &Chip();

// The firmware's main loop, one pass at a time, until virtual time reaches t.
void RunUntil(uint64_t t_ns);
void RunFor(uint64_t ns);
uint64_t Now();

// Outside world.
void TypeAt(uint64_t t_ns, std::string_view text);  // console bytes at 115200 baud
void Type(std::string_view text);                   // from now on
void GnssAt(uint64_t t_ns, std::string_view bytes); // GNSS bytes at 9600 baud
void KeyAt(uint64_t t_ns, bool pressed);            // PA0 pulled low while pressed
const std::string &Console();                       // everything the beacon wrote on the console
void ClearConsole();
int Led(); // PC13 output level

} // namespace sim
