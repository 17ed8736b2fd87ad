// RINEX files as they come: truncated, malformed, any bytes. Never a crash;
// a failure names the file and the line; whatever parses encodes.
#include "rinex.h"
#include "rtcm_encode.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size), error;
    ObsFile obs;
    int parsed = parse_obs(text, "f", &obs, &error);
    if (parsed != 0 && error.compare(0, 2, "f:") != 0)
        __builtin_trap();
    MsmArcs arcs;
    for (size_t i = 0; parsed == 0 && i < obs.epochs.size(); i++)
        if (encode_msm4(1, obs.epochs[i], 'G', &arcs, true).size() > 1029 ||
            encode_msm4(1, obs.epochs[i], 'R', &arcs, false).size() > 1029)
            __builtin_trap();  // longer than a frame can be
    std::vector<GpsEph> nav;
    if (parse_nav(text, "f", &nav, &error) != 0 && error.compare(0, 2, "f:") != 0)
        __builtin_trap();
    return 0;
}
