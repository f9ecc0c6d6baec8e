// The emulated chip in a build without it (no Unicorn, or the 32-bit build): asking for it says so.
#include "mcu.h"

namespace sim {

Mcu *EmulatedMcu(const std::string &, std::string &error) {
    error = "this build has no emulated STM32F411 (Unicorn was not found)";
    return nullptr;
}

} // namespace sim
