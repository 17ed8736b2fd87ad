// The health report: whatever the receiver and the client send ends up in
// the JSON, which must stay valid; and the framers and the report reader
// take any bytes.
#include "health/health.h"
#include "health/health_internal.h"
#include "rtcm.h"

#include <cstdint>
#include <string>

// A frame of 200 message bytes in which no byte but the preamble is 0xD3.
static std::string clean_frame(unsigned seed)
{
    for (;; seed++) {
        std::string message;
        for (unsigned i = 0; i < 200; i++)
            message += static_cast<char>((i * 7 + seed) & 0x7F);
        std::string f = rtcm_frame(message);
        if (f.find('\xD3', 1) == std::string::npos)
            return f;
    }
}

// Whatever came before, the framer finds the whole frames behind it: all of
// those that begin beyond the reach of a header in the prefix (1029 bytes).
static void frames_behind_any_prefix_are_found(const uint8_t *data, size_t size)
{
    RtcmCounts c;
    rtcm_feed(&c, data, size, 1.0);
    uint64_t before = c.frames;
    enum { FRAMES = 12, SIZE = 206, REACH = 3 + 1023 + 3 };
    static const std::string frames = [] {
        std::string all;
        for (unsigned k = 0; k < FRAMES; k++)
            all += clean_frame(k * 1000);
        return all;
    }();
    rtcm_feed(&c, reinterpret_cast<const uint8_t *>(frames.data()), frames.size(), 1.0);
    const uint64_t beyond_reach = FRAMES - (REACH + SIZE - 1) / SIZE;
    if (c.frames - before < beyond_reach)
        __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    Health h;
    h.sentence = input;
    h.last_exit = input;
    rtcm_feed(&h.corrections, data, size, 1.0);
    watch_receiver(&h.receiver, input.data(), input.size(), 2.0);
    std::map<std::string, std::string> report;
    if (parse_report(health_json(h, 3.0), &report) != 0)
        __builtin_trap();
    if (report["position.sentence"].size() != (input.empty() ? 4 : input.size()))
        __builtin_trap();
    report.clear();
    parse_report(input, &report);
    frames_behind_any_prefix_are_found(data, size);
    return 0;
}
