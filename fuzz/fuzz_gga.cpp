// The GGA extraction from a burst as the source delivers it.
#include "nmea/nmea_internal.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 2047)
        size = 2047;
    char out[SENTENCE_SIZE];
    if (extract_gga(reinterpret_cast<const char *>(data), size, out, sizeof out) == 0) {
        size_t n = strlen(out);
        if (n >= SENTENCE_SIZE || strncmp(out, "$GPGGA", 6) != 0 || !strchr(out, '*'))
            __builtin_trap();
    }
    return 0;
}
