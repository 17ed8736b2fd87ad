#include "supervisor/lines.h"
#include "supervisor/report.h"
#include "common/io.h"
#include "common/log.h"
#include "common/service.h"
#include "settings/settings.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

bool source_is_target(const Config &cfg)
{
    return cfg.send_nmea != 0 && cfg.source == cfg.target;
}

int take_target(Lines *l, const Config &cfg)
{
    const char *path = interface_path(cfg.target);
    if (!path) {
        log_err("target device %u is not valid", cfg.target);
        return -1;
    }
    l->target_path = path;
    if (lock_device(path, 1) != 0) {
        if (!stop_requested())
            log_err("target device %s is locked", path);
        return -1;
    }
    l->target_locked = true;
    l->target = open_serial(path, cfg.target_baudrate, cfg.target_databits,
                            cfg.target_parity.c_str(), cfg.target_stopbits);
    if (l->target < 0) {
        log_err("cannot open device %s", path);
        return -1;
    }
    return 0;
}

// Corrections that come while the target is gone are dropped, not queued:
// stale corrections are worse than none.
void lose_target(Lines *l, Report *r, int err, uint64_t lost_now)
{
    log_err("target device %s is gone (%s), reopening it", l->target_path, strerror(err));
    if (l->source == l->target)
        l->source = -1;
    close(l->target);
    l->target = -1;
    retry_from(&l->target_retry, monotonic_ms());
    l->dropped_at_loss = r->health.dropped_bytes - lost_now;
    report_write(r, *l);
}

void retry_target(Lines *l, Report *r, const Config &cfg, bool client_runs)
{
    if (l->target >= 0 || l->target_path == nullptr || monotonic_ms() < l->target_retry.due_ms)
        return;
    int fd = reopen_serial(l->target_path, cfg.target_baudrate, cfg.target_databits,
                           cfg.target_parity.c_str(), cfg.target_stopbits);
    if (fd < 0) {
        retry_failed(&l->target_retry, monotonic_ms());
        return;
    }
    l->target = fd;
    if (source_is_target(cfg) && client_runs)
        l->source = fd;
    log_notice("target device %s is back, %llu B of corrections dropped while it was gone",
               l->target_path,
               static_cast<unsigned long long>(r->health.dropped_bytes - l->dropped_at_loss));
    report_write(r, *l);
}

// Like the target, while the corrections go on.
void lose_source(Lines *l, const Config &cfg)
{
    const char *path = interface_path(cfg.source);
    log_err("source device %s is gone (%s), reopening it", path, strerror(EIO));
    close(l->source);
    l->source = -1;
    l->source_lost = true;
    retry_from(&l->source_retry, monotonic_ms());
}

void retry_source(Lines *l, const Config &cfg)
{
    if (!l->source_lost || monotonic_ms() < l->source_retry.due_ms)
        return;
    const char *path = interface_path(cfg.source);
    int fd = reopen_serial(path, cfg.source_baudrate, cfg.source_databits,
                           cfg.source_parity.c_str(), cfg.source_stopbits);
    if (fd < 0) {
        retry_failed(&l->source_retry, monotonic_ms());
        return;
    }
    l->source = fd;
    l->source_lost = false;
    log_notice("source device %s is back", path);
}

// So that another program may use the device between client runs and the
// next cycle finds no lock of ours.
void release_source(Lines *l, const Config &cfg)
{
    if (l->source_lost || (l->source != -1 && l->source != l->target)) {
        unlock_device(interface_path(cfg.source));
        if (l->source >= 0)
            close(l->source);
    }
    l->source = -1;
    l->source_lost = false;
}

void release_lines(Lines *l)
{
    remove_link("/dev/rtkfeedd");
    if (l->master >= 0)
        close(l->master);
    l->master = -1;
    if (l->target >= 0)
        close(l->target);
    l->target = -1;
    if (l->target_locked)
        unlock_device(l->target_path);
    l->target_locked = false;
}
