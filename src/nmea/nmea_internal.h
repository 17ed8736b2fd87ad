// Within the NMEA subsystem, its tests and its fuzz target.
#pragma once

#include "nmea/nmea.h"

#include <cstddef>
#include <ctime>

// Waits on fd for the first burst that carries an accepted sentence.
enum GgaWait {
    GGA_TAKEN,      // copied into out
    GGA_STOPPED,    // a stop was requested first
    GGA_LINE_GONE,  // the line went away
};
GgaWait wait_for_gga(int fd, char out[SENTENCE_SIZE]);

// Whether the left bytes at p begin a GGA sentence of a GNSS talker.
bool is_gnss_gga(const char *p, size_t left);
// Whether a sentence of n characters carries a checksum: two hex digits
// (either case) after its "*".
bool has_nmea_checksum(const char *sentence, size_t n);

// The exclusive-or of n characters: an NMEA checksum.
unsigned nmea_checksum(const char *text, size_t n);
// A sentence of n characters from its "$": 0 when the two hex digits after
// its "*" (either case) match, or when it carries none; -1 on a mismatch or
// without a "*".
int check_nmea_checksum(const char *sentence, size_t n);

// The accepted sentence of one burst (len bytes): the first GGA of any GNSS
// talker, with a "*", an "N" or "S" in the latitude's hemisphere field, and
// a checksum that matches when it has one. Copied into out without its line ending and as "$GPGGA" (another
// talker is rewritten, its checksum recomputed); 0, or -1 when the burst
// holds none.
int extract_gga(const char *burst, size_t len, char *out, size_t out_size);

// One GGA sentence, line ending included, for the fixed position at the
// given UTC time. Returns its length, or -1 when it would not fit.
int make_gga(char *out, size_t size, const char *latitude, const char *longitude,
             const char *height, const tm &utc);
