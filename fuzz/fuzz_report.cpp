// The health report: whatever the receiver and the client send ends up in
// the JSON, which must stay valid; and the framers and the report reader
// take any bytes.
#include "health/health.h"
#include "health/health_internal.h"

#include <cstdint>
#include <string>

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
    return 0;
}
