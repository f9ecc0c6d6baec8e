/* The Maidenhead locator of a position, to the subsquare (6 characters: 5' of longitude by 2.5' of
 * latitude). Positions are whole 1e-5 arc-minutes, so that no cell edge moves with rounding. */
#ifndef MAIDENHEAD_H
#define MAIDENHEAD_H

#include <stdint.h>

/* One arc-minute and one degree in the unit of a position. */
#define POSITION_UNITS_PER_MINUTE 100000L
#define POSITION_UNITS_PER_DEGREE (60L * POSITION_UNITS_PER_MINUTE)

/* Latitude -90..+90 degrees (north positive) and longitude -180..+180 (east positive), in 1e-5
 * arc-minutes; the north pole and +180 count as just inside. Writes 6 upper-case characters and the
 * terminator; false (nothing written) for a position out of range. */
bool Maidenhead_Locator(int32_t lat, int32_t lon, char out[7]);

#endif
