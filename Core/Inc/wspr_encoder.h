#ifndef WSPR_ENCODER_H
#define WSPR_ENCODER_H

#include <stdint.h>

#include "wspr_message.h"

#define WSPR_SYMBOL_COUNT 162U

/* Generator polynomials of the rate-1/2, constraint-length-32 convolutional code. */
#define WSPR_POLY_0 0xF2D05351UL
#define WSPR_POLY_1 0xE4613C47UL

/* WSPR's channel coding of a packed message (wspr_message): the convolutional code, interleaving
 * and the sync vector, giving the 162 channel symbols (0..3) of one frame. */
void WSPR_EncodePayload(const WsprPayload *payload, uint8_t symbols[WSPR_SYMBOL_COUNT]);
/* A message of any type packed and coded. False when it cannot be packed; the symbol array is then
 * left untouched. */
bool WSPR_EncodeMessage(const WsprMessage *message, uint8_t symbols[WSPR_SYMBOL_COUNT]);
/* The type-1 message CALL GRID4 dBm (a longer locator is sent by its first four characters). */
bool WSPR_Encode(const char *callsign, const char *locator, uint8_t power_dbm,
                 uint8_t symbols[WSPR_SYMBOL_COUNT]);

namespace wspr_encoder {

/* Synchronisation vector: the low bit of every channel symbol. */
inline constexpr uint8_t k_sync[WSPR_SYMBOL_COUNT] = {
    1, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 0, 0, 0, 1, 0, 0, 1, 0, 1, 1, 1, 1,
    0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 1, 1, 0, 0, 1, 1,
    0, 1, 0, 0, 0, 1, 1, 0, 1, 0, 0, 0, 0, 1, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 0, 1, 0,
    0, 1, 0, 1, 1, 0, 0, 0, 1, 1, 0, 1, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 1,
    0, 0, 1, 1, 1, 0, 1, 1, 0, 0, 1, 1, 0, 1, 0, 0, 0, 1, 1, 1, 0, 0, 0, 0, 0, 1, 0,
    1, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 1, 0, 1, 1, 0, 0, 0, 1, 1, 0, 0, 0};

} // namespace wspr_encoder

#endif
