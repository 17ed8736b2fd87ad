// RINEX files as they come: truncated, malformed, any bytes. Never a crash;
// a failure names the file and the line.
#include "rinex.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size), error;
    ObsFile obs;
    if (parse_obs(text, "f", &obs, &error) != 0 && error.compare(0, 2, "f:") != 0)
        __builtin_trap();
    std::vector<GpsEph> nav;
    if (parse_nav(text, "f", &nav, &error) != 0 && error.compare(0, 2, "f:") != 0)
        __builtin_trap();
    return 0;
}
