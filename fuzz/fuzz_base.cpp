// The choice of base takes a caster's source table and the FALLBACK setting
// as they come, and positions that jump anywhere, with runs that fail among
// them: never a crash, at most one switch by distance in 30 s, never a
// failover back to the base that just failed, never a switch to a base
// whose run failed within its hold-out, and hold-outs that only double from
// 5 min up to an hour, whatever the input; one base may fail again and
// again.
#include "base/base.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The table, then after a NUL the FALLBACK value, then positions.
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t cut = input.find('\0');
    std::string table = input.substr(0, cut);
    std::string rest = cut == std::string::npos ? "" : input.substr(cut + 1);
    size_t cut2 = rest.find('\0');
    std::string fallback = rest.substr(0, cut2);
    std::string moves = cut2 == std::string::npos ? "" : rest.substr(cut2 + 1);

    BaseChoice b;
    b.nearest = true;
    b.margin_km = 0.5;
    b.configured.mountpoint = "CONF";
    b.table = table_bases(table);
    std::vector<std::string> bad;
    b.fallbacks = parse_fallbacks(fallback, b.configured, &bad);
    start_candidate(&b, 0);
    double last_switch = -1e9;
    for (size_t i = 0; i + 4 <= moves.size(); i += 4) {
        int16_t raw[2];
        memcpy(raw, moves.data() + i, sizeof raw);
        double now = static_cast<double>(i);  // a position every 4 s
        note_position(&b, raw[0] / 364.0, raw[1] / 182.0);
        std::string to = switch_due(&b, now);
        if (!to.empty()) {
            if (now - last_switch < SWITCH_EVERY_S)
                __builtin_trap();
            for (const Failure &f : b.failures)
                if (f.candidate.mountpoint == to && f.candidate.kind != Candidate::FALLBACK &&
                    now - f.at < f.hold_s)
                    __builtin_trap();
            last_switch = now;
            note_run_end(&b, RUN_SWITCHED, now);
            start_candidate(&b, now);
        }
        // A failed run; some inputs make the base fail run after run.
        int runs = raw[0] % 7 == 0 ? 1 + (raw[1] % 5 == 0 ? (raw[0] & 7) : 0) : 0;
        for (int k = 0; k < runs; k++) {
            Candidate failed = b.current;
            if (note_run_end(&b, raw[1] % 2 ? RUN_FAILED : RUN_NO_FIX, now) &&
                start_candidate(&b, now) == failed)
                __builtin_trap();
            if (!b.started)
                start_candidate(&b, now);
        }
        for (const Failure &f : b.failures) {
            double h = f.hold_s;
            if (h != 300 && h != 600 && h != 1200 && h != 2400 && h != HOLD_OUT_MAX_S)
                __builtin_trap();
        }
        if (!std::isfinite(current_distance_km(b)))
            __builtin_trap();
    }
    return 0;
}
