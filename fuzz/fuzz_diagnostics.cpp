// The cut of a diagnostics burst.
#include "diagnostics/diagnostics_internal.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char buf[1024];
    if (size > sizeof buf - 1)
        size = sizeof buf - 1;
    memcpy(buf, data, size);
    size_t n = diag_cut(buf, size);
    if (n > size || memchr(buf, '\n', n))
        __builtin_trap();
    return 0;
}
