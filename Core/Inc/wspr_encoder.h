#ifndef WSPR_ENCODER_H
#define WSPR_ENCODER_H

#include <stdint.h>

#define WSPR_SYMBOL_COUNT 162U

/* Builds the 162 channel symbols (0..3) of a WSPR type-1 message. False when the message cannot be
 * packed; the symbol array is then left untouched. */
bool WSPR_Encode(const char *callsign, const char *locator, uint8_t power_dbm,
                 uint8_t symbols[WSPR_SYMBOL_COUNT]);

#endif
