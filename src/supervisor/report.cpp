#include "supervisor/report.h"
#include "common/io.h"
#include "common/log.h"
#include "common/service.h"
#include "diagnostics/diagnostics.h"
#include "settings/settings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

void init_report(Report *r, const Config &cfg)
{
    *r = Report();
    Health &h = r->health;
    h.pid = getpid();
    h.proc_start = process_start_ticks(getpid());
    h.started = unix_now();
    const char *target = interface_path(cfg.target);
    h.device = target ? target : "";
    r->metrics_path = cfg.metrics_file;
}

static int fix_shown(const Health &h)
{
    return h.receiver.last_gga > 0 ? h.receiver.fix_quality : -1;
}

// The status in words for the service manager: at a status change and
// when the client starts or ends.
static void tell_status(Report *r)
{
    const Health &h = r->health;
    std::string s = std::string("STATUS=") + status_words(h.status);
    if (h.running)
        s += "; casterlink running";
    else if (!h.last_exit.empty())
        s += "; casterlink ended: " + h.last_exit;
    if (s != r->told_status) {
        notify(s);
        r->told_status = s;
    }
}

void report_write(Report *r, const Lines &lines)
{
    Health &h = r->health;
    h.log_dropped = log_dropped_total();
    long long left = r->next_start - boottime_ms();
    h.next_start = !h.running && left > 0 ? unix_now() + static_cast<double>(left) / 1000 : 0;
    h.target_open = lines.target >= 0;
    take_client_said(&h.said, &h.said_at);
    // One snapshot for both files.
    std::string json = health_json(h, unix_now());
    static bool write_failed = false, metrics_failed = false;
    if (write_health(json) != 0 && !write_failed) {
        write_failed = true;
        log_err("cannot write the health report: %s", strerror(errno));
    }
    // After an orderly stop or a fatal error nothing runs any more.
    const char *metrics = r->metrics_path.c_str();
    if (metrics[0] != '\0' && write_metrics(metrics, json, h.status != 0 && h.status != 102) != 0 &&
        !metrics_failed) {
        metrics_failed = true;
        log_err("cannot write the metrics to %s: %s", metrics, strerror(errno));
    }
    r->written = monotonic_ms();
    r->dirty = false;
    r->shown_fix = fix_shown(h);
    tell_status(r);
}

bool report_is_due(const Report &r, bool fix_changed, long long now)
{
    if (fix_changed && now - r.fix_written >= 5000)
        return true;
    return now >= r.written + (r.dirty || fix_changed ? 5000 : 60000);
}

long long report_if_due(Report *r, const Lines &lines)
{
    // Counters alone are written at most every 5 s: two files replaced
    // every second cost more than relaying a slow stream of corrections.
    // Once due, they wait up to a second more for a turn the loop takes
    // anyway (the next piece of corrections), rather than waking it for
    // themselves. A minute without a write at all: the files' time tells a
    // collector that the daemon lives.
    auto due = [r](long long grace_ms) {
        return r->written + (r->dirty ? 5000 + grace_ms : 60000);
    };
    if (take_client_said(&r->health.said, &r->health.said_at))
        r->dirty = true;
    bool fix_changed = fix_shown(r->health) != r->shown_fix;
    long long now = monotonic_ms();
    if (report_is_due(*r, fix_changed, now)) {
        if (fix_changed)
            r->fix_written = now;
        report_write(r, lines);
    } else if (fix_changed) {
        r->dirty = true;
    }
    return due(1000);
}

static std::string describe_exit(int status)
{
    char text[48];
    if (WIFSIGNALED(status))
        snprintf(text, sizeof text, "killed by signal %d", WTERMSIG(status));
    else
        snprintf(text, sizeof text, "exited %d", WEXITSTATUS(status));
    return text;
}

void report_client_end(Report *r, EndReason why, int status, const Config &cfg)
{
    Health &h = r->health;
    h.running = false;
    h.last_end = unix_now();
    if (why == END_STALLED) {
        h.stalls++;
        h.last_exit = "stalled: no corrections for " + std::to_string(cfg.stall_timeout) + " s";
    } else if (why == END_NO_FIX) {
        h.last_exit = "no fix for " + std::to_string(cfg.nofix_timeout) + " s";
    } else if (status != -1) {
        h.last_exit = describe_exit(status);
    }
}
