#include "supervisor/cycle.h"
#include "client/client.h"
#include "common/io.h"
#include "common/log.h"
#include "devices/devices.h"
#include "settings/settings.h"
#include "common/service.h"

#include <cerrno>
#include <cstdio>
#include <csignal>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

void init_data_path(DataPath *dp, const Config *cfg)
{
    dp->cfg = cfg;
    dp->master = -1;
    dp->target_path = nullptr;
    dp->target = -1;
    dp->target_locked = false;
    dp->source = -1;
    dp->client = 0;
    dp->target_retry = LineRetry();
    dp->source_lost = false;
    dp->source_retry = LineRetry();
    dp->dropped_at_loss = 0;
    dp->backoff = Backoff();
    dp->client_started = 0;
    dp->stalled = false;
    dp->switching = false;
    dp->no_fix = false;
    dp->last_differential = 0;
    dp->last_gga_ms = 0;
    dp->last_frame_ms = 0;
    dp->base = BaseChoice();
    dp->table.clear();
    dp->table_read_at = 0;
    dp->table_read = false;
    dp->described.clear();
    dp->health = Health();
    dp->health.pid = getpid();
    dp->health.proc_start = process_start_ticks(getpid());
    dp->health.started = unix_now();
    dp->health_written = 0;
    dp->health_dirty = false;
    dp->reported_fix = -1;
    dp->told_status.clear();
    dp->sentence[0] = '\0';
}

static int fix_shown(const Health &h)
{
    return h.receiver.last_gga > 0 ? h.receiver.fix_quality : -1;
}

// The status in words for the service manager: at a status change and
// when the client starts or ends.
static void tell_status(DataPath *dp)
{
    const Health &h = dp->health;
    std::string s = std::string("STATUS=") + status_words(h.status);
    if (h.running)
        s += "; casterlink running";
    else if (!h.last_exit.empty())
        s += "; casterlink ended: " + h.last_exit;
    if (s != dp->told_status) {
        notify(s);
        dp->told_status = s;
    }
}

void report_health(DataPath *dp)
{
    Health &h = dp->health;
    h.log_dropped = log_dropped_total();
    h.failures_in_a_row = dp->backoff.failures;
    long long left = dp->backoff.next_start - boottime_ms();
    h.next_start = !h.running && left > 0 ? unix_now() + static_cast<double>(left) / 1000 : 0;
    h.target_open = dp->target >= 0;
    // One snapshot for both files.
    std::string json = health_json(h, unix_now());
    static bool write_failed = false, metrics_failed = false;
    if (write_health(json) != 0 && !write_failed) {
        write_failed = true;
        log_err("cannot write the health report: %s", strerror(errno));
    }
    // After an orderly stop or a fatal error nothing runs any more.
    const char *metrics = dp->cfg->metrics_file.c_str();
    if (metrics[0] != '\0' && write_metrics(metrics, json, h.status != 0 && h.status != 102) != 0 &&
        !metrics_failed) {
        metrics_failed = true;
        log_err("cannot write the metrics to %s: %s", metrics, strerror(errno));
    }
    dp->health_written = monotonic_ms();
    dp->health_dirty = false;
    dp->reported_fix = fix_shown(h);
    tell_status(dp);
}

long long report_if_due(DataPath *dp)
{
    // Counters alone are written at most every 5 s: two files replaced
    // every second cost more than relaying a slow stream of corrections.
    // Once due, they wait up to a second more for a turn the loop takes
    // anyway (the next piece of corrections), rather than waking it for
    // themselves. A minute without a write at all: the files' time tells a
    // collector that the daemon lives.
    auto due = [dp](long long grace_ms) {
        return dp->health_written + (dp->health_dirty ? 5000 + grace_ms : 60000);
    };
    if (fix_shown(dp->health) != dp->reported_fix || monotonic_ms() >= due(0))
        report_health(dp);
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

// The client has ended (status as waitpid gives it, or -1 when unknown).
void note_client_end(DataPath *dp, int status)
{
    Health &h = dp->health;
    h.running = false;
    h.last_end = unix_now();
    if (dp->stalled) {
        h.stalls++;
        h.last_exit = "stalled: no corrections for " + std::to_string(dp->cfg->stall_timeout) + " s";
    } else if (dp->no_fix) {
        h.last_exit = "no fix for " + std::to_string(dp->cfg->nofix_timeout) + " s";
    } else if (status != -1) {
        h.last_exit = describe_exit(status);
    }
}

bool source_is_target(const Config &cfg)
{
    return cfg.send_nmea != 0 && cfg.source == cfg.target;
}

int take_target(DataPath *dp)
{
    const Config &cfg = *dp->cfg;
    const char *path = interface_path(cfg.target);
    if (!path) {
        log_err("target device %u is not valid", cfg.target);
        return -1;
    }
    dp->target_path = path;
    if (lock_device(path, 1) != 0) {
        if (!stop_requested())
            log_err("target device %s is locked", path);
        return -1;
    }
    dp->target_locked = true;
    dp->target = open_serial(path, cfg.target_baudrate, cfg.target_databits,
                             cfg.target_parity.c_str(), cfg.target_stopbits);
    if (dp->target < 0) {
        log_err("cannot open device %s", path);
        return -1;
    }
    return 0;
}

// A source of the cycle's own is given back, so that another program may use
// the device between client runs and the next cycle finds no lock of ours.
static void release_source(DataPath *dp)
{
    if (dp->source_lost || (dp->source != -1 && dp->source != dp->target)) {
        unlock_device(interface_path(dp->cfg->source));
        if (dp->source >= 0)
            close(dp->source);
    }
    dp->source = -1;
    dp->source_lost = false;
}

// Kept for a daemon restarted in the same boot, so that a service manager
// that restarts it at once does not undo the back-off.
static const char backoff_path[] = "/run/rtkfeedd.backoff";

static void announce_pause(const DataPath *dp, long long pause_ms)
{
    if (pause_ms <= 0)
        return;
    unsigned seconds = static_cast<unsigned>((pause_ms + 500) / 1000);
    if (seconds > 1)
        log_notice("casterlink failed %u times in a row, next start in %u s",
                   dp->backoff.failures, seconds);
}

// Waits until the next start is due, or a stop.
static void wait_for_next_start(const DataPath *dp)
{
    for (;;) {
        long long left = dp->backoff.next_start - boottime_ms();
        if (left <= 0 || stop_requested())
            return;
        keep_alive();
        sleep_unless_stopped(keep_alive_wait_ms(left > 60000 ? 60000 : static_cast<int>(left)));
    }
}

// After a client's end, or a start that failed (run_ms 0): the pause.
static void pause_after_run(DataPath *dp, long long run_ms)
{
    long long pause = note_run(&dp->backoff, run_ms, boottime_ms(), random_jitter());
    static bool save_failed = false;
    if (save_backoff(dp->backoff, backoff_path) != 0 && !save_failed) {
        save_failed = true;
        log_err("cannot write %s: %s", backoff_path, strerror(errno));
    }
    report_health(dp);
    announce_pause(dp, pause);
    wait_for_next_start(dp);
}

int run_cycles(DataPath *dp)
{
    const Config &cfg = *dp->cfg;
    // What remains of the pause that an earlier daemon of this boot began.
    if (load_backoff(&dp->backoff, backoff_path, boottime_ms()) != 0)
        log_err("cannot use %s: %s, ignored", backoff_path, state_file_error(errno));
    announce_pause(dp, dp->backoff.next_start - boottime_ms());
    wait_for_next_start(dp);
    for (;;) {
        if (stop_requested())
            return 0;
        if (source_is_target(cfg) && dp->target < 0) {
            // The position comes from the target line itself: wait for it.
            retry_target(dp);
            if (dp->target < 0) {
                keep_alive();
                sleep(1);
                continue;
            }
        }
        if (cfg.send_nmea != 0) {
            NmeaReady ready = prepare_nmea(cfg, dp->target, dp->sentence, &dp->source);
            if (ready == NMEA_TARGET_GONE) {
                // The position comes from the target line, which went away
                // while the daemon waited for it: reopened as above.
                dp->source = -1;
                lose_target(dp, EIO, 0);
                continue;
            }
            if (ready != NMEA_READY) {
                release_source(dp);
                if (stop_requested())
                    continue;
                return -1;
            }
        }
        Config run;
        choose_for_start(dp, &run);
        log_notice("starting casterlink");
        int exec_error;
        pid_t client_pid;
        pid_t pid = start_client(run, dp->sentence, &client_pid, &exec_error);
        Health &h = dp->health;
        h.starts++;
        h.last_start = unix_now();
        if (cfg.send_nmea != 0) {
            h.source = interface_path(cfg.source);
            h.sentence = dp->sentence;
        }
        if (pid <= 0 || exec_error != 0) {
            // Logged by the launcher; a failed run like a client that ends at once.
            h.last_end = h.last_start;
            h.last_exit = std::string(pid <= 0 ? "cannot start: " : "cannot execute: ") +
                          strerror(exec_error);
        }
        if (pid <= 0) {
            release_source(dp);
            choice_after_run(dp, RUN_FAILED);
            pause_after_run(dp, 0);
            continue;
        }
        dp->client = pid;
        dp->client_started = boottime_ms();
        dp->last_differential = monotonic_ms();
        dp->stalled = dp->switching = dp->no_fix = false;
        if (exec_error == 0) {
            h.running = true;
            h.client_pid = client_pid;
            report_health(dp);
        }
        relay_loop(dp);
        release_source(dp);
        log_notice("casterlink terminated");
        // Ended by the daemon's own stop: not a failed run, and the back-off
        // stays where it was, or every restart of the service (settings
        // saved in the web interface) would lengthen the next pause.
        if (stop_requested())
            continue;
        // A run the watchdog ended is a failed run, however long it was: a
        // caster that accepts connections but sends nothing is asked less
        // and less often. So is one whose corrections the receiver did not
        // use; a switch to a nearer base is none (it comes after 30 s).
        long long run_ms = dp->stalled || dp->no_fix ? 0 : boottime_ms() - dp->client_started;
        choice_after_run(dp, dp->switching ? RUN_SWITCHED
                              : dp->no_fix ? RUN_NO_FIX
                              : run_ms >= GOOD_RUN_MS ? RUN_GOOD : RUN_FAILED);
        pause_after_run(dp, run_ms);
    }
}

void stop_client(DataPath *dp)
{
    if (dp->client <= 0)
        return;
    log_notice("sending SIGKILL to casterlink due to signal %d", stop_flag.load());
    end_client(dp->client, true);
    // Reaped, but never waited for beyond a second.
    int status = -1;
    for (int i = 0; i < 10; i++) {
        pid_t r = waitpid(dp->client, &status, WNOHANG);
        if (r != 0)
            break;
        usleep(100 * 1000);
    }
    note_client_end(dp, status);
    dp->client = 0;
}

void release_data_path(DataPath *dp)
{
    remove_link("/dev/rtkfeedd");
    if (dp->master >= 0)
        close(dp->master);
    dp->master = -1;
    if (dp->target >= 0)
        close(dp->target);
    dp->target = -1;
    if (dp->target_locked)
        unlock_device(dp->target_path);
    dp->target_locked = false;
}
