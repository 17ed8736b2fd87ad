// Epochs of whole RTCM 3 frames, 1 to 4 KiB, cut into bursts of at most
// 1 KiB wherever the input says: a burst goes at once exactly when it ends
// where a frame ends, wherever in a frame it began.
#include "health/health.h"
#include "rtcm.h"

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    size_t target = 1024 + (static_cast<size_t>(data[0]) << 8 | data[1]) % 3073;
    std::string epoch;
    std::set<size_t> ends;
    size_t i = 2;
    while (epoch.size() < target) {
        size_t len = i < size ? (data[i++] * 4u) % 1024 : 1023;
        epoch += rtcm_frame(std::string(len, static_cast<char>(len)));
        ends.insert(epoch.size());
    }
    RtcmCounts c;
    for (size_t at = 0; at < epoch.size();) {
        size_t n = 1 + (i < size ? data[i++] * 4u : 1023u) % 1024;
        if (n > epoch.size() - at)
            n = epoch.size() - at;
        bool whole = rtcm_burst_ends_whole(epoch.data() + at, n, &c);
        if (whole != (ends.count(at + n) == 1))
            abort();
        rtcm_feed(&c, reinterpret_cast<const uint8_t *>(epoch.data() + at), n, 0);
        at += n;
    }
    if (c.frames != ends.size() || c.crc_failures != 0)
        abort();
    return 0;
}
