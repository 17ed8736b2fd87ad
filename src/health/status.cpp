// `rtkfeedd --status`: the report in words, for an operator at a shell.
#include "health/health.h"
#include "health/health_internal.h"
#include "common/io.h"
#include "common/service.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// A reader of the report's JSON into flat keys ("client.pid"), enough for
// what the daemon writes; -1 on anything else.
struct Parser {
    const char *p, *end;
    std::map<std::string, std::string> *out;
    bool raw_bytes;
    int depth = 0;

    void blanks()
    {
        while (p < end && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t'))
            p++;
    }
    int string(std::string *s)
    {
        if (p >= end || *p != '"')
            return -1;
        for (p++; p < end && *p != '"'; p++) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (*p != '\\' && (c < 0x80 || raw_bytes)) {
                *s += *p;
                continue;
            }
            if (*p != '\\') {
                // For a terminal: a character from U+00A0 on passes, a C1
                // control or a bad byte is '?'.
                size_t len = utf8_length(reinterpret_cast<const unsigned char *>(p),
                                         static_cast<size_t>(end - p));
                if (len >= 2 && !(c == 0xC2 && static_cast<unsigned char>(p[1]) < 0xA0))
                    s->append(p, len);
                else
                    *s += '?';
                p += len > 1 ? len - 1 : 0;
                continue;
            }
            if (++p >= end)
                return -1;
            if (*p == 'u') {
                if (end - p < 5)
                    return -1;
                char hex[5] = {p[1], p[2], p[3], p[4], 0};
                long v = strtol(hex, nullptr, 16);
                // The daemon escapes each byte it does not write as it is.
                if (raw_bytes && v >= 0x80 && v <= 0xFF)
                    *s += static_cast<char>(v);
                else
                    *s += v >= 0x20 && v < 0x7F ? static_cast<char>(v) : '?';
                p += 4;
            } else {
                *s += *p == 'n' ? '\n' : *p == 't' ? '\t' : *p;
            }
        }
        if (p >= end)
            return -1;
        p++;
        return 0;
    }
    int value(const std::string &key)
    {
        blanks();
        if (p >= end)
            return -1;
        if (*p == '{')
            return object(key);
        std::string v;
        if (*p == '"') {
            if (string(&v) != 0)
                return -1;
        } else {
            while (p < end && *p != ',' && *p != '}' && *p != ' ' && *p != '\n')
                v += *p++;
            if (v.empty())
                return -1;
        }
        (*out)[key] = v;
        return 0;
    }
    int object(const std::string &prefix)
    {
        if (++depth > 8)
            return -1;
        p++;  // '{'
        blanks();
        if (p < end && *p == '}') {
            p++;
            depth--;
            return 0;
        }
        for (;;) {
            blanks();
            std::string key;
            if (string(&key) != 0)
                return -1;
            blanks();
            if (p >= end || *p++ != ':')
                return -1;
            if (value(prefix.empty() ? key : prefix + "." + key) != 0)
                return -1;
            blanks();
            if (p < end && *p == ',') {
                p++;
                continue;
            }
            if (p < end && *p == '}') {
                p++;
                depth--;
                return 0;
            }
            return -1;
        }
    }
};

}  // namespace

int parse_report(const std::string &json, std::map<std::string, std::string> *out,
                 bool raw_bytes)
{
    Parser parser{json.data(), json.data() + json.size(), out, raw_bytes};
    parser.blanks();
    if (parser.p >= parser.end || *parser.p != '{')
        return -1;
    return parser.object("");
}

const char *status_words(int status)
{
    switch (status) {
    case 1: return "starting";
    case 10: return "waiting for a position from the source";
    case 11: return "position sent, client running";
    case 102: return "fatal error";
    case 0: return "stopped";
    default: return "unknown";
    }
}

static const char *fix_words(int quality)
{
    switch (quality) {
    case 0: return "no fix";
    case 1: return "GNSS fix";
    case 2: return "differential fix";
    case 4: return "RTK fixed";
    case 5: return "RTK float";
    case 6: return "dead reckoning";
    default: return "fix";
    }
}

// "3 h 2 min", "42 s"
static std::string span(double seconds)
{
    long s = seconds < 0 ? 0 : static_cast<long>(seconds + 0.5);
    char text[48];
    if (s >= 86400)
        snprintf(text, sizeof text, "%ld d %ld h", s / 86400, s % 86400 / 3600);
    else if (s >= 3600)
        snprintf(text, sizeof text, "%ld h %ld min", s / 3600, s % 3600 / 60);
    else if (s >= 60)
        snprintf(text, sizeof text, "%ld min %ld s", s / 60, s % 60);
    else
        snprintf(text, sizeof text, "%ld s", s);
    return text;
}

std::string status_summary(const std::map<std::string, std::string> &r, double now, bool alive)
{
    auto get = [&](const char *key) {
        auto it = r.find(key);
        return it == r.end() ? std::string("null") : it->second;
    };
    auto num = [&](const char *key) { return atof(get(key).c_str()); };
    auto known = [&](const char *key) { return get(key) != "null"; };
    std::string o;
    char line[512];
    int status = atoi(get("status").c_str());
    // Every age is as of the report's own time: counters are written every
    // 5 s, and "last 3 s ago" on a stream of four epochs a second would
    // read as stale.
    double written = known("updated") ? num("updated") : now;
    double seen_ago = now - written;
    now = written;
    snprintf(line, sizeof line, "rtkfeedd: %s (pid %s%s), status %d: %s, as of %s ago\n",
             alive ? "running" : "not running", get("daemon.pid").c_str(),
             alive ? (", up " + span(now - num("daemon.started"))).c_str() : "", status,
             status_words(status), span(seen_ago).c_str());
    o += line;
    if (get("client.running") == "true")
        snprintf(line, sizeof line, "client: running for %s (pid %s), %s starts\n",
                 span(now - num("client.last_start")).c_str(), get("client.pid").c_str(),
                 get("client.starts").c_str());
    else if (known("client.next_start"))
        snprintf(line, sizeof line, "client: not running, next start in %s, %s failed runs in a row\n",
                 span(num("client.next_start") - now).c_str(),
                 get("client.failures_in_a_row").c_str());
    else
        snprintf(line, sizeof line, "client: not running, %s starts\n", get("client.starts").c_str());
    o += line;
    if (known("client.last_exit")) {
        snprintf(line, sizeof line, "last exit: %s, %s ago\n", get("client.last_exit").c_str(),
                 span(now - num("client.last_end")).c_str());
        o += line;
    }
    if (known("client.said")) {
        snprintf(line, sizeof line, "client said %s ago: %s\n",
                 span(now - num("client.said_at")).c_str(), get("client.said").c_str());
        o += line;
    }
    snprintf(line, sizeof line, "target: %s %s, %s B written, %s B dropped\n",
             get("target.device").c_str(), get("target.open") == "true" ? "open" : "closed",
             get("target.bytes").c_str(), get("target.dropped_bytes").c_str());
    o += line;
    std::string types;
    const std::string prefix = "corrections.types.";
    for (const auto &kv : r)
        if (kv.first.compare(0, prefix.size(), prefix) == 0)
            types += " " + kv.first.substr(prefix.size()) + ":" + kv.second;
    snprintf(line, sizeof line, "corrections: %s frames%s%s, %s CRC failures", 
             get("corrections.frames").c_str(), types.empty() ? "" : " (", types.empty() ? "" : (types.substr(1) + ")").c_str(),
             get("corrections.crc_failures").c_str());
    o += line;
    if (known("corrections.last_frame"))
        o += ", last " + span(now - num("corrections.last_frame")) + " ago";
    if (known("corrections.station"))
        o += ", station " + get("corrections.station");
    o += "\n";
    if (known("receiver.fix_quality")) {
        int q = atoi(get("receiver.fix_quality").c_str());
        snprintf(line, sizeof line, "receiver: %s (%d)", fix_words(q), q);
        o += line;
        if (known("receiver.satellites"))
            o += ", " + get("receiver.satellites") + " satellites";
        if (known("receiver.age_of_corrections"))
            o += ", corrections " + get("receiver.age_of_corrections") + " s old";
        o += ", said " + span(now - num("receiver.last_gga")) + " ago\n";
    }
    if (known("base.mountpoint")) {
        o += "base: " + get("base.mountpoint") + " (" + get("base.chosen") + ")";
        if (known("base.distance_km")) {
            snprintf(line, sizeof line, ", %.1f km by the table", num("base.distance_km"));
            o += line;
        }
        if (known("base.baseline_km")) {
            snprintf(line, sizeof line, ", baseline %.2f km", num("base.baseline_km"));
            o += line;
            if (known("base.station"))
                o += " to station " + get("base.station");
        } else if (known("base.station")) {
            o += ", station " + get("base.station");
            if (!known("base.position.latitude"))
                o += ", its position unknown";
        } else {
            o += ", station unknown until its 1005/1006 comes";
        }
        o += "\n";
    }
    if (get("log_dropped") != "0" && known("log_dropped"))
        o += "log: " + get("log_dropped") + " messages dropped\n";
    return o;
}

// The report at path: 0, or -1 with errno when there is none to read.
static int read_report(const char *path, std::map<std::string, std::string> *report,
                       bool raw_bytes = false)
{
    std::string json;
    if (read_state_file(path, &json, 1 << 20) != 0)
        return -1;
    if (parse_report(json, report, raw_bytes) != 0) {
        errno = EBADMSG;
        return -1;
    }
    return 0;
}

ReportedDaemon reported_daemon(const std::map<std::string, std::string> &report)
{
    auto get = [&](const char *key) {
        auto it = report.find(key);
        return it == report.end() ? std::string() : it->second;
    };
    ReportedDaemon d;
    d.pid = atoi(get("daemon.pid").c_str());
    std::string start = get("daemon.proc_start");
    if (!start.empty() && start != "null")
        d.proc_start = atoll(start.c_str());
    if (report.count("status"))
        d.status = atoi(get("status").c_str());
    return d;
}

int read_report_daemon(const char *path, ReportedDaemon *d)
{
    std::map<std::string, std::string> report;
    if (read_report(path, &report) != 0)
        return -1;
    *d = reported_daemon(report);
    return 0;
}

int load_report(const char *path, std::map<std::string, std::string> *report, bool raw_bytes)
{
    if (read_report(path, report, raw_bytes) == 0)
        return 0;
    if (errno == ENOENT)
        fprintf(stderr, "rtkfeedd: no report at %s: %s\n", path, strerror(errno));
    else if (errno == EBADMSG)
        fprintf(stderr, "rtkfeedd: %s is not a report of this daemon\n", path);
    else
        fprintf(stderr, "rtkfeedd: cannot read %s: %s\n", path, state_file_error(errno));
    return -1;
}

bool reported_daemon_alive(const std::map<std::string, std::string> &report)
{
    // The pid alone could be another program's by now.
    ReportedDaemon d = reported_daemon(report);
    return process_is(d.pid, d.proc_start);
}

int print_status(const char *path)
{
    std::map<std::string, std::string> report;
    if (load_report(path, &report, false) != 0)
        return 1;
    bool alive = reported_daemon_alive(report);
    fputs(status_summary(report, unix_now(), alive).c_str(), stdout);
    return alive ? 0 : 1;
}
