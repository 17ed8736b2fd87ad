#include "health/health.h"
#include "health/health_internal.h"
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

// A JSON string: UTF-8 as it is (a caster's "MÜNCHEN1" is shown as that
// by the web interface), control characters escaped, and any byte that is
// not part of a whole UTF-8 sequence replaced by U+FFFD, so that whatever a
// receiver or a caster sent, the file stays valid JSON.
static void put_string(std::string *out, const std::string &s)
{
    *out += '"';
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s.data());
    for (size_t i = 0; i < s.size();) {
        unsigned char c = p[i];
        size_t len = utf8_length(p + i, s.size() - i);
        if (c == '"' || c == '\\') {
            *out += '\\';
            *out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            *out += esc;
        } else if (len == 0) {
            *out += "\xEF\xBF\xBD";
            len = 1;
        } else {
            out->append(s, i, len);
        }
        i += len;
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

static const double wgs84_a = 6378137.0, wgs84_f = 1 / 298.257223563,
                    wgs84_e2 = wgs84_f * (2 - wgs84_f);
static const double rad = M_PI / 180;

void geodetic_to_ecef(double latitude, double longitude, double height, double xyz[3])
{
    double lat = latitude * rad, lon = longitude * rad;
    double n = wgs84_a / sqrt(1 - wgs84_e2 * sin(lat) * sin(lat));
    xyz[0] = (n + height) * cos(lat) * cos(lon);
    xyz[1] = (n + height) * cos(lat) * sin(lon);
    xyz[2] = (n * (1 - wgs84_e2) + height) * sin(lat);
}

void ecef_to_geodetic(const double xyz[3], double *latitude, double *longitude, double *height)
{
    double p = hypot(xyz[0], xyz[1]);
    double lat = atan2(xyz[2], p * (1 - wgs84_e2)), n = wgs84_a;
    for (int i = 0; i < 8; i++) {
        n = wgs84_a / sqrt(1 - wgs84_e2 * sin(lat) * sin(lat));
        lat = atan2(xyz[2] + wgs84_e2 * n * sin(lat), p);
    }
    n = wgs84_a / sqrt(1 - wgs84_e2 * sin(lat) * sin(lat));
    *latitude = lat / rad;
    *longitude = atan2(xyz[1], xyz[0]) / rad;
    // Well conditioned at every latitude, the poles included.
    *height = p * cos(lat) + xyz[2] * sin(lat) - wgs84_a * wgs84_a / n;
}

static void put_number(std::string *out, double v, const char *format)
{
    char text[48];
    if (std::isfinite(v))
        snprintf(text, sizeof text, format, v);
    else
        snprintf(text, sizeof text, "null");
    *out += text;
}

static const double max_arp_height_m = 10000;

// The base in use, its station's antenna reference point and the baseline
// to the receiver.
static void put_base(std::string *o, const Health &h)
{
    const RtcmCounts &c = h.corrections;
    *o += ",\n\"base\":{\"mountpoint\":";
    put_string_or_null(o, h.base.mountpoint);
    *o += ",\"caster\":";
    put_string_or_null(o, h.base.caster);
    *o += ",\"chosen\":";
    put_string_or_null(o, h.base.chosen);
    *o += ",\"distance_km\":";
    put_number(o, h.base.distance_km >= 0 ? h.base.distance_km : NAN, "%.3f");
    *o += ",\"station\":";
    put_int_or_null(o, c.station);
    *o += ",\"position\":";
    double lat = NAN, lon = NAN, height = NAN;
    if (c.have_arp)
        ecef_to_geodetic(c.arp, &lat, &lon, &height);
    // A reference point far from the earth's surface is none: an unsurveyed
    // base may send zeros, the earth's centre.
    bool arp_usable = std::isfinite(lat) && std::isfinite(lon) && std::isfinite(height) &&
                      fabs(height) <= max_arp_height_m;
    if (arp_usable) {
        *o += "{\"latitude\":";
        put_number(o, lat, "%.9f");
        *o += ",\"longitude\":";
        put_number(o, lon, "%.9f");
        *o += ",\"height\":";
        put_number(o, height, "%.4f");
        *o += "}";
    } else {
        *o += "null";
    }
    *o += ",\"baseline_km\":";
    double baseline = NAN;
    if (arp_usable && h.have_position) {
        double rover[3];
        geodetic_to_ecef(h.latitude, h.longitude, h.height, rover);
        baseline = sqrt((rover[0] - c.arp[0]) * (rover[0] - c.arp[0]) +
                        (rover[1] - c.arp[1]) * (rover[1] - c.arp[1]) +
                        (rover[2] - c.arp[2]) * (rover[2] - c.arp[2])) / 1000;
    }
    put_number(o, baseline, "%.3f");
    *o += ",\"switches\":" + std::to_string(h.base.switches) + ",\"last_switch\":";
    put_time(o, h.base.last_switch);
    *o += ",\"last_switch_reason\":";
    put_string_or_null(o, h.base.last_switch_reason);
    *o += "}";
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
    o += ",\"stalls\":" + std::to_string(h.stalls) + ",\"said\":";
    put_string_or_null(&o, h.said);
    o += ",\"said_at\":";
    put_time(&o, h.said_at);
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
    o += "},\n\"log_dropped\":" + std::to_string(h.log_dropped);
    put_base(&o, h);
    o += "}\n";
    return o;
}

int write_health(const std::string &json)
{
    return replace_file(report_path, json.data(), json.size(), 0644);
}
