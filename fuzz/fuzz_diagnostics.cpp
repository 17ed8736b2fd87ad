// The lines of a diagnostics burst.
#include "diagnostics/diagnostics_internal.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char buf[1024];
    if (size > sizeof buf - 1)
        size = sizeof buf - 1;
    memcpy(buf, data, size);
    char *lines[8];
    size_t count = diag_split(buf, size, lines, 8);
    for (size_t i = 0; i < count && i < 8; i++) {
        size_t n = strlen(lines[i]);
        if (lines[i] < buf || lines[i] + n > buf + size || memchr(lines[i], '\n', n))
            __builtin_trap();
    }
    return 0;
}
