/* The band list as the console reads and shows it: entries separated by spaces, each a band name
 * (40m) or a frequency in hertz, optionally followed by ":CODE", the band lines' code 0..7. */
#ifndef BAND_LIST_H
#define BAND_LIST_H

#include <stddef.h>
#include <stdint.h>

#include "settings.h"

enum class BandListCheck : uint8_t {
    OK,
    COUNT,  /* no entry, or more than WSPR_MAX_BANDS */
    ENTRY,  /* not a band name, or a frequency outside the beacon's range */
    CODE,   /* a code that is not 0..WSPR_MAX_BAND_CODE */
    MARGIN, /* a frequency just below 150 MHz, where the Si5351 would run at its limits */
};

/* A frame's tones on this tone 0 keep the Si5351 clear of its limits (with a crystal a little off
 * the configured one): set freq and the band list refuse tones that do not, and a frame's offset
 * moves the other way rather than into them. */
bool BandList_KeepsMargin(uint32_t tone0_hz);

/* Checks the whole list; when it is good and `out` is given, the list replaces out's (its hop
 * mode, share and offset stay). A list that begins with "+" adds its entries after those of `now`
 * (a console line is too short for twelve). On a bad entry, its text is copied into `bad` (when
 * given). */
BandListCheck BandList_Take(const char *text, const WSPR_Settings &now, WSPR_Settings *out,
                            char *bad, size_t bad_size);
/* "40m:1" for a band's own tone 0, "14097070:3" otherwise. */
void BandList_FormatEntry(const WSPR_Settings &s, int entry, char *out, size_t size);

#endif
