/* FST4W, the slow beacon mode of the low bands: the same messages as WSPR (wspr_message.h) in
 * FST4W's own 50-bit layout, protected by a CRC-24 and a (240,74) LDPC code, sent as 160 symbols
 * of 4-FSK (tone k at f0 + k x baud, the spacing equal to the symbol rate):
 *
 *   type 1  CALL GRID4 dBm    n28(call) . g4 (15) . p (5) . 0 . 0
 *   type 2  PFX/CALL dBm      n28(base) . npfx (16) . p (5) . 1
 *   type 3  <CALL> GRID6      h22(call) . g6 (25) . 0 1 0          (no power)
 *
 * p = round(0.3 x dBm), so receivers show 0, 3, 7, 10 ... 60 as the beacon sets them. */
#ifndef FST4W_ENCODER_H
#define FST4W_ENCODER_H

#include <stdint.h>

#include "wspr_message.h"

#define FST4W_SYMBOL_COUNT 160U
#define FST4W_MESSAGE_BITS 50U
#define FST4W_CRC_BITS 24U
#define FST4W_CODEWORD_BITS 240U

/* The 50 message bits, most significant first in the low 50 bits; false when the message cannot
 * be packed (*bits then untouched). */
bool FST4W_PackMessage(const WsprMessage *message, uint64_t *bits);

/* The CRC-24 (polynomial 0x100065B, MSB first, zero start, no final XOR) of 50 message bits. */
uint32_t FST4W_Crc24(uint64_t bits);

/* The 160 channel symbols (0..3) of a message's frame; false when it cannot be packed (the symbols
 * then untouched). */
bool FST4W_EncodeMessage(const WsprMessage *message, uint8_t symbols[FST4W_SYMBOL_COUNT]);

/* The 22-bit hash a type 3 message carries of the full callsign (upper case). */
uint32_t FST4W_CallsignHash22(const char *full_call);

#endif
