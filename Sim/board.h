// The virtual board: the unmodified firmware on an MCU with its devices attached — the Si5351
// model on I2C1, the console terminal on USART1, the GNSS receiver on USART2, the key on PA0 and
// the LED on PC13. The MCU is the virtual MCU with the firmware built for the PC (the shared
// object built from Core/, loaded once per process) unless UseImage chose the emulated chip; every
// power-on gives the firmware fresh RAM, so one process can run board after board.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "console_terminal.h"
#include "gnss_receiver.h"
#include "mcu.h"
#include "si5351_model.h"
#include "vmcu.h"
#include "wspr_app.h"

namespace sim {

constexpr uint64_t MS = vmcu::NS_PER_MS; // nanoseconds
constexpr uint64_t SECOND = 1000 * MS;
// The UARTs on the virtual MCU, for tests that reach into it.
inline const USART_TypeDef *ConsoleUart() {
    return USART1;
}
inline const USART_TypeDef *GnssUart() {
    return USART2;
}

struct BoardConfig {
    bool si5351_present = true;
    uint64_t xtal_hz = Si5351Model::DEFAULT_XTAL_HZ;
    Si5351Model::Latch si5351_latch = Si5351Model::Latch::BYTE;
    // How long after power-on the Si5351 holds SYS_INIT (UINT64_MAX: for ever).
    uint64_t si5351_sys_init_ns = Si5351Model::DEFAULT_SYS_INIT_NS;
    // The crystal's course over time (empty: xtal_hz all along); CLK1 follows it once a second.
    std::vector<Si5351Model::XtalPoint> xtal_drift{};
    // The GNSS receiver made from a clock also drives its pulse on PA1.
    bool pps = false;
    GnssReceiver::Pulse pulse{};
};

// Where the receiver's pulse-per-second comes in: TIM2_CH2.
constexpr Pin PPS_PIN{'A', 1};

// Which MCU the board has: the virtual MCU running the firmware built for the PC (the default),
// or the emulated STM32F411 running a board image (.elf). Chosen before the first Prepare; false
// with a reason when the image cannot be loaded or this build has no emulated chip.
bool UseImage(const std::string &elf_path, std::string &error);
// The board's MCU, for what a run sets up beyond the board's own operations (flash contents,
// faults, the I2C writes).
Mcu &BoardMcu();

// Power-on in two halves: Prepare gives a fresh world with new devices attached and the MCU in
// its power-on state (faults and listeners can be set up after it); Boot runs the firmware's own
// start-up (Board_Start). PowerOn does both. The firmware is loaded at the first Prepare; when it
// cannot be, the process exits with a message.
void Prepare(const BoardConfig &config = {});
void Boot();
void PowerOn(const BoardConfig &config = {});

// A reset of the MCU alone (the devices keep their state, a running Si5351 keeps emitting until
// the new start-up quiets it); the start-up runs at the next RunUntil.
void Reset(ResetCause cause);
bool Halted();
// For runs of any length, after Prepare: the console transcript, the chip's timeline and the
// MCU's record of I2C operations are not kept (their listeners still hear everything).
void KeepNoHistory();

Si5351Model &Chip();
ConsoleTerminal &Terminal();
GnssReceiver &Gnss();

// The firmware's own view of itself (WSPR_App_GetStatus).
WSPR_AppStatus Status();

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
// The amplifier line (PB15) and the band code on PB12..PB14 (bit 0 on PB12), as their lines are.
int Amplifier();
int BandCode();

} // namespace sim
