#ifndef GNSS_TIME_H
#define GNSS_TIME_H

#include <stdint.h>

#define NMEA_LINE_MAX 96U

typedef struct {
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
    bool valid;
    /* The fraction of the second the time field gives (hhmmss.sss: 5 and 10 Hz receivers send
     * a fix every 200 or 100 ms), in whole milliseconds; 0 when it has none. */
    uint16_t millisecond;
    /* The fix's position when the sentence gives a sound one (gnss_position.h: 1e-5 arc-minutes,
     * north and east positive); has_position false when it gives none or a bad one, which leaves
     * the time as good as it was. */
    bool has_position;
    int32_t lat;
    int32_t lon;
} GnssTime;

void GNSS_TimeParser_Init(void);
/* Feeds one received byte. True exactly when this byte ended a line accepted as an RMC sentence
 * with a valid fix; the record then holds its UTC time and valid is true, and its position when
 * the sentence gives one. */
bool GNSS_TimeParser_Push(uint8_t byte, GnssTime *out);

#endif
