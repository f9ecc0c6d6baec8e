/* The position fields of an NMEA RMC sentence: latitude ddmm.mmmm, N or S, longitude dddmm.mmmm,
 * E or W, the minutes with any number of decimals (receivers send none to five or more). */
#ifndef GNSS_POSITION_H
#define GNSS_POSITION_H

#include <stdint.h>

/* fields: the sentence from its latitude field on. The position in 1e-5 arc-minutes (north and
 * east positive; decimals beyond the fifth are dropped), written only when all four fields are
 * sound: the digit counts, minutes below 60, at most 90 and 180 degrees, one hemisphere letter. */
bool GNSS_ParsePosition(const char *fields, int32_t *lat, int32_t *lon);

#endif
