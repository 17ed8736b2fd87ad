// Within the NMEA subsystem, its tests and its fuzz target.
#pragma once

#include "nmea/nmea.h"

#include <cstddef>
#include <ctime>

// Waits on fd for the first burst that carries an accepted sentence; 0 when
// it was copied into out, -1 when a stop was requested first.
int wait_for_gga(int fd, char out[SENTENCE_SIZE]);

// The accepted sentence of one burst (len bytes), without its line ending,
// copied into out; 0, or -1 when the burst holds none.
int extract_gga(const char *burst, size_t len, char *out, size_t out_size);

// One GGA sentence, line ending included, for the fixed position at the
// given UTC time. Returns its length, or -1 when it would not fit.
int make_gga(char *out, size_t size, const char *latitude, const char *longitude,
             const char *height, const tm &utc);
