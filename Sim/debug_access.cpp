#include "debug_access.h"

#include "board.h"

namespace sim {

void *FirmwareVariable(const char *name, size_t *size) {
    return Firmware().Variable(name, size);
}

bool PokeFirmwareU32(const char *name, uint32_t value) {
    size_t size = 0;
    void *p = FirmwareVariable(name, &size);
    if (p == nullptr || size != sizeof value) {
        return false;
    }
    *static_cast<volatile uint32_t *>(p) = value;
    return true;
}

bool PeekFirmwareU32(const char *name, uint32_t &value) {
    size_t size = 0;
    void *p = FirmwareVariable(name, &size);
    if (p == nullptr || size != sizeof value) {
        return false;
    }
    value = *static_cast<volatile uint32_t *>(p);
    return true;
}

} // namespace sim
