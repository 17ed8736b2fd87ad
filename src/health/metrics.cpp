// The health report in the Prometheus text exposition format (0.0.4), for
// a textfile collector (`MOD_NTRIP_METRICS_FILE`) and `rtkfeedd --metrics`.
// Both are made from the report's JSON, so that the two files of one write
// show the same moment.
#include "health/health.h"
#include "health/health_internal.h"
#include "common/io.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Metric {
    const char *name;
    const char *type;
    const char *help;
    const char *key;  // in the report; null for those made below
    double scale;
};

const Metric metrics[] = {
    {"rtkfeedd_status", "gauge",
     "Status code: 1 starting, 10 waiting for a position, 11 client running, 0 stopped, 102 fatal",
     "status", 1},
    {"rtkfeedd_client_running", "gauge", "Whether the NTRIP client runs", "client.running", 1},
    {"rtkfeedd_client_starts_total", "counter", "Client starts since the daemon started",
     "client.starts", 1},
    {"rtkfeedd_client_failures_in_a_row", "gauge", "Failed client runs in a row",
     "client.failures_in_a_row", 1},
    {"rtkfeedd_client_stalls_total", "counter", "Clients ended for sending no corrections",
     "client.stalls", 1},
    {"rtkfeedd_client_last_start_timestamp_seconds", "gauge", "When the client last started",
     "client.last_start", 1},
    {"rtkfeedd_target_bytes_total", "counter", "Correction bytes written to the receiver's line",
     "target.bytes", 1},
    {"rtkfeedd_target_dropped_bytes_total", "counter",
     "Correction bytes dropped: the receiver's line was gone or did not take them",
     "target.dropped_bytes", 1},
    {"rtkfeedd_corrections_frames_total", "counter", "RTCM 3 frames relayed, by message type",
     nullptr, 1},
    {"rtkfeedd_corrections_crc_failures_total", "counter", "RTCM 3 frames with a bad CRC",
     "corrections.crc_failures", 1},
    {"rtkfeedd_corrections_last_frame_timestamp_seconds", "gauge",
     "When the last whole RTCM 3 frame was relayed", "corrections.last_frame", 1},
    {"rtkfeedd_corrections_station", "gauge", "Reference station ID of the last 1005/1006",
     "corrections.station", 1},
    {"rtkfeedd_receiver_fix_quality", "gauge",
     "Fix quality of the receiver's last GGA: 0 none, 1 GNSS, 2 differential, 4 RTK fixed, 5 RTK float",
     "receiver.fix_quality", 1},
    {"rtkfeedd_receiver_satellites", "gauge", "Satellites in use by the receiver's last GGA",
     "receiver.satellites", 1},
    {"rtkfeedd_receiver_age_of_corrections_seconds", "gauge",
     "Age of the corrections by the receiver's last GGA", "receiver.age_of_corrections", 1},
    {"rtkfeedd_receiver_last_gga_timestamp_seconds", "gauge", "When the receiver last sent a GGA",
     "receiver.last_gga", 1},
    {"rtkfeedd_log_dropped_total", "counter", "Log messages dropped", "log_dropped", 1},
    {"rtkfeedd_base_info", "gauge", "The base in use: mountpoint, caster and how it was chosen",
     nullptr, 1},
    {"rtkfeedd_base_baseline_meters", "gauge", "Distance from the receiver to the base's antenna",
     "base.baseline_km", 1000},
    {"rtkfeedd_base_switches_total", "counter", "Switches to a nearer base", "base.switches", 1},
};

// A sample's value from the report's text: true/false, or a finite number;
// false when unknown (null) or not a number.
bool value_of(const std::string &text, double scale, std::string *out)
{
    if (text == "true" || text == "false") {
        *out = text == "true" ? "1" : "0";
        return true;
    }
    char *end = nullptr;
    double v = strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(v))
        return false;
    if (scale == 1 && text.find_first_not_of("0123456789.-") == std::string::npos) {
        *out = text;  // as written: a counter keeps all its digits
        return true;
    }
    char number[48];
    snprintf(number, sizeof number, "%.17g", v * scale);
    *out = number;
    return true;
}

void family(std::string *o, const Metric &m)
{
    *o += "# HELP ";
    *o += m.name;
    *o += ' ';
    *o += m.help;
    *o += "\n# TYPE ";
    *o += m.name;
    *o += ' ';
    *o += m.type;
    *o += '\n';
}

}  // namespace

size_t utf8_length(const unsigned char *p, size_t n)
{
    unsigned char c = p[0];
    if (c < 0x80)
        return 1;
    // Shortest form only, no surrogates, nothing beyond U+10FFFF.
    size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3
                 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    bool whole = len > 0 && len <= n;
    for (size_t k = 1; whole && k < len; k++)
        whole = (p[k] & 0xC0) == 0x80;
    if (whole && len == 3)
        whole = !(c == 0xE0 && p[1] < 0xA0) && !(c == 0xED && p[1] >= 0xA0);
    if (whole && len == 4)
        whole = !(c == 0xF0 && p[1] < 0x90) && !(c == 0xF4 && p[1] >= 0x90);
    return whole ? len : 0;
}

std::string label_value(const std::string &s)
{
    std::string o;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s.data());
    size_t n = s.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        if (c == '\\' || c == '"') {
            o += '\\';
            o += static_cast<char>(c);
            i++;
            continue;
        }
        if (c == '\n') {
            o += "\\n";
            i++;
            continue;
        }
        if (c < 0x80) {
            o += static_cast<char>(c);
            i++;
            continue;
        }
        // A whole UTF-8 sequence passes; any other byte becomes U+FFFD,
        // since one bad byte loses the whole file.
        size_t len = utf8_length(p + i, n - i);
        bool whole = len > 0;
        if (whole) {
            o.append(s, i, len);
            i += len;
        } else {
            o += "\xEF\xBF\xBD";
            i++;
        }
    }
    return o;
}

std::string metrics_text(const std::map<std::string, std::string> &report, bool up)
{
    auto get = [&](const std::string &key) {
        auto it = report.find(key);
        return it == report.end() ? std::string() : it->second;
    };
    std::string o;
    o.reserve(4096);
    o += "# HELP rtkfeedd_up Whether the daemon that wrote the report runs\n"
         "# TYPE rtkfeedd_up gauge\n";
    o += up ? "rtkfeedd_up 1\n" : "rtkfeedd_up 0\n";
    std::string v;
    for (const Metric &m : metrics) {
        std::string samples;
        if (m.key) {
            if (value_of(get(m.key), m.scale, &v))
                samples = std::string(m.name) + ' ' + v + '\n';
        } else if (strcmp(m.name, "rtkfeedd_base_info") == 0) {
            if (get("base.mountpoint") != "null" && !get("base.mountpoint").empty()) {
                samples = std::string(m.name) + "{mountpoint=\"" +
                          label_value(get("base.mountpoint")) + "\",caster=\"";
                std::string caster = get("base.caster"), chosen = get("base.chosen");
                samples += label_value(caster == "null" ? "" : caster) + "\",chosen=\"";
                samples += label_value(chosen == "null" ? "" : chosen) + "\"} 1\n";
            }
        } else {
            const std::string prefix = "corrections.types.";
            for (const auto &kv : report)
                if (kv.first.compare(0, prefix.size(), prefix) == 0 && value_of(kv.second, 1, &v))
                    samples += std::string(m.name) + "{type=\"" +
                               label_value(kv.first.substr(prefix.size())) + "\"} " + v + '\n';
        }
        // Unknown: left out, not written as 0.
        if (!samples.empty()) {
            family(&o, m);
            o += samples;
        }
    }
    return o;
}

int write_metrics(const char *path, const std::string &json, bool up)
{
    std::map<std::string, std::string> report;
    if (parse_report(json, &report, true) != 0) {
        errno = EBADMSG;
        return -1;
    }
    std::string text = metrics_text(report, up);
    return replace_file(path, text.data(), text.size(), 0644);
}

int print_metrics(const char *path)
{
    std::map<std::string, std::string> report;
    if (load_report(path, &report, true) != 0) {
        // Still a valid exposition: a scrape shows the daemon down.
        fputs(metrics_text(std::map<std::string, std::string>(), false).c_str(), stdout);
        return 1;
    }
    bool alive = reported_daemon_alive(report);
    fputs(metrics_text(report, alive).c_str(), stdout);
    return alive ? 0 : 1;
}
