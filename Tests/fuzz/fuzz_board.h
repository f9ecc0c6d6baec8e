// The virtual board as the fuzz targets drive it: booted once per process or afresh for an input,
// watched through the firmware's status, and the main loop run until a serial input has been
// taken in completely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "board.h"

namespace fuzz {

// Power-on and start-up, once per process; the logs that nothing reads are switched off.
void BootOnce();
// A fresh board: power-on and start-up now.
void PowerOn();

// Types the bytes on the console (115200 baud) or sends them on the GNSS line (9600 baud), then
// runs the main loop until every byte has been received and taken out of its ring, so that all the
// output they cause has been written.
void Console(std::string_view bytes);
// Past the band and amplifier lines' lead (74 ms): a frame a line asked for has started and
// printed its start lines.
void Settle();
void Gnss(std::string_view bytes);

// Fails the run with a message (libFuzzer keeps the input that caused it).
[[noreturn]] void Fail(const char *what, std::string_view detail = {});
#define FUZZ_CHECK(cond, detail)                                                                   \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            ::fuzz::Fail(#cond, detail);                                                           \
        }                                                                                          \
    } while (0)

} // namespace fuzz
