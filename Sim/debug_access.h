// What a debugger does on the board: find a firmware variable by its symbol and read or write it
// in place, from the symbol table of the firmware build the board runs; file-local variables are
// found by their name inside the unnamed namespace. Used only to start a run at a chosen point of
// the firmware's life (the millisecond counter just before it wraps) without any change to the
// firmware; everything else watches the firmware through WSPR_App_GetStatus.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

// Address and size of the firmware variable 'name' (a file-scope variable of the firmware, in an
// unnamed namespace or not); nullptr if there is no such symbol, or more than one. The value in
// memory is the variable's only where the compiler keeps it as declared: volatile variables
// always are.
void *FirmwareVariable(const char *name, size_t *size = nullptr);

// Writes a 32-bit variable; false if it does not exist or has another size.
bool PokeFirmwareU32(const char *name, uint32_t value);
bool PeekFirmwareU32(const char *name, uint32_t &value);

} // namespace sim
