#include "health/health.h"
#include "common/io.h"

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

static const char report_path[] = "/run/rtkfeedd.json";

double unix_now()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A JSON string: every byte that is not plain printable ASCII is escaped,
// so that whatever a receiver or a caster sent, the file stays valid JSON.
static void put_string(std::string *out, const std::string &s)
{
    *out += '"';
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            *out += '\\';
            *out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            *out += esc;
        } else {
            *out += static_cast<char>(c);
        }
    }
    *out += '"';
}

static void put_string_or_null(std::string *out, const std::string &s)
{
    if (s.empty())
        *out += "null";
    else
        put_string(out, s);
}

static void put_time(std::string *out, double t)
{
    char text[32];
    if (t > 0 && std::isfinite(t))
        snprintf(text, sizeof text, "%.3f", t);
    else
        snprintf(text, sizeof text, "null");
    *out += text;
}

static void put_int_or_null(std::string *out, long long v)
{
    *out += v < 0 ? std::string("null") : std::to_string(v);
}

std::string health_json(const Health &h, double now)
{
    std::string o;
    o.reserve(1024);
    o += "{\"version\":1,\"updated\":";
    put_time(&o, now);
    o += ",\"status\":" + std::to_string(h.status);
    o += ",\n\"daemon\":{\"pid\":" + std::to_string(h.pid) + ",\"started\":";
    put_time(&o, h.started);
    o += ",\"proc_start\":";
    put_int_or_null(&o, h.proc_start);
    o += "},\n\"client\":{\"running\":";
    o += h.running ? "true" : "false";
    o += ",\"pid\":";
    put_int_or_null(&o, h.running ? h.client_pid : -1);
    o += ",\"starts\":" + std::to_string(h.starts) + ",\"last_start\":";
    put_time(&o, h.last_start);
    o += ",\"last_end\":";
    put_time(&o, h.last_end);
    o += ",\"last_exit\":";
    put_string_or_null(&o, h.last_exit);
    o += ",\"failures_in_a_row\":" + std::to_string(h.failures_in_a_row) + ",\"next_start\":";
    put_time(&o, h.next_start);
    o += ",\"stalls\":" + std::to_string(h.stalls);
    o += "},\n\"target\":{\"device\":";
    put_string(&o, h.device);
    o += ",\"open\":";
    o += h.target_open ? "true" : "false";
    o += ",\"bytes\":" + std::to_string(h.target_bytes);
    o += ",\"dropped_bytes\":" + std::to_string(h.dropped_bytes);
    const RtcmCounts &c = h.corrections;
    o += "},\n\"corrections\":{\"frames\":" + std::to_string(c.frames);
    o += ",\"crc_failures\":" + std::to_string(c.crc_failures) + ",\"types\":{";
    bool first = true;
    for (const auto &t : c.types) {
        o += first ? "\"" : ",\"";
        o += std::to_string(t.first) + "\":" + std::to_string(t.second);
        first = false;
    }
    o += "},\"last_frame\":";
    put_time(&o, c.last_frame);
    o += ",\"station\":";
    put_int_or_null(&o, c.station);
    o += "},\n\"position\":{\"source\":";
    put_string_or_null(&o, h.source);
    o += ",\"sentence\":";
    put_string_or_null(&o, h.sentence);
    o += ",\"bytes_to_client\":" + std::to_string(h.bytes_to_client);
    const ReceiverView &r = h.receiver;
    o += "},\n\"receiver\":{\"fix_quality\":";
    put_int_or_null(&o, r.last_gga > 0 ? r.fix_quality : -1);
    o += ",\"satellites\":";
    put_int_or_null(&o, r.last_gga > 0 ? r.satellites : -1);
    o += ",\"age_of_corrections\":";
    if (r.last_gga > 0 && r.age >= 0 && std::isfinite(r.age)) {
        char text[32];
        snprintf(text, sizeof text, "%.3g", r.age);
        o += text;
    } else {
        o += "null";
    }
    o += ",\"last_gga\":";
    put_time(&o, r.last_gga);
    o += "},\n\"log_dropped\":" + std::to_string(h.log_dropped) + "}\n";
    return o;
}

int write_health(const Health &h)
{
    std::string json = health_json(h, unix_now());
    return replace_file(report_path, json.data(), json.size(), 0644);
}
