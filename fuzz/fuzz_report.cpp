// The health report: whatever the receiver, the client and the caster send
// ends up in the JSON and the metrics, which must stay valid; and the
// framers and the report reader take any bytes.
#include "health/health.h"
#include "health/health_internal.h"
#include "rtcm.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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

// Whether text is an exposition a collector takes whole: valid UTF-8, every
// line a comment or `name{label="value",...} number` with only the escapes
// the format knows.
static bool valid_utf8(const std::string &s)
{
    return label_value(s) == [&] {
        std::string escaped;
        for (char c : s)
            escaped += c == '\\' ? std::string("\\\\") : c == '"' ? std::string("\\\"")
                       : c == '\n' ? std::string("\\n") : std::string(1, c);
        return escaped;
    }();
}

static bool valid_exposition(const std::string &text)
{
    if (!valid_utf8(text) || text.empty() || text.back() != '\n')
        return false;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.compare(0, 7, "# HELP ") == 0 || line.compare(0, 7, "# TYPE ") == 0)
            continue;
        size_t i = 0;
        while (i < line.size() && (isalnum(static_cast<unsigned char>(line[i])) || line[i] == '_'))
            i++;
        if (i == 0 || line.compare(0, 9, "rtkfeedd_") != 0)
            return false;
        if (i < line.size() && line[i] == '{') {
            for (i++; i < line.size() && line[i] != '}';) {
                while (i < line.size() && isalpha(static_cast<unsigned char>(line[i])))
                    i++;
                if (line.compare(i, 2, "=\"") != 0)
                    return false;
                for (i += 2; i < line.size() && line[i] != '"'; i++)
                    if (line[i] == '\\' && (++i >= line.size() || !strchr("\\\"n", line[i])))
                        return false;
                if (++i < line.size() && line[i] == ',')
                    i++;
            }
            i++;
        }
        char *stop = nullptr;
        if (i >= line.size() || line[i] != ' ')
            return false;
        strtod(line.c_str() + i + 1, &stop);
        if (stop == line.c_str() + i + 1 || *stop != '\0')
            return false;
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    Health h;
    h.sentence = input;
    h.last_exit = input;
    h.base.mountpoint = h.base.caster = h.base.chosen = input;
    rtcm_feed(&h.corrections, data, size, 1.0);
    watch_receiver(&h.receiver, input.data(), input.size(), 2.0);
    std::map<std::string, std::string> report;
    if (parse_report(health_json(h, 3.0), &report) != 0)
        __builtin_trap();
    report.clear();
    if (parse_report(health_json(h, 3.0), &report, true) != 0 ||
        !valid_exposition(metrics_text(report, true)))
        __builtin_trap();
    // Whatever was sent comes back as valid UTF-8, and valid UTF-8 without
    // control characters as it was.
    const std::string &back = report["position.sentence"];
    bool plain = !input.empty() && valid_utf8(input) &&
                 std::none_of(input.begin(), input.end(),
                              [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
    if (!valid_utf8(back) || (plain && back != input))
        __builtin_trap();
    report.clear();
    parse_report(input, &report);
    frames_behind_any_prefix_are_found(data, size);
    return 0;
}
