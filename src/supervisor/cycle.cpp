// The correction cycles: wait for the back-off and a position, choose the
// base, start the client, relay until its end, then do what follows from
// why it ended, in one place.
#include "supervisor/cycle.h"
#include "supervisor/choice.h"
#include "supervisor/lines.h"
#include "supervisor/relay.h"
#include "supervisor/report.h"
#include "supervisor/run_end.h"
#include "client/client.h"
#include "common/io.h"
#include "common/log.h"
#include "common/service.h"
#include "settings/settings.h"

#include <cerrno>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

void init_cycle(Cycle *c, const Config *cfg)
{
    c->cfg = cfg;
    c->lines = Lines();
    c->run = ClientRun();
    c->backoff = Backoff();
    c->choice = Choice();
    init_report(&c->report, *cfg);
    c->sentence[0] = '\0';
}

// Kept for a daemon restarted in the same boot, so that a service manager
// that restarts it at once does not undo the back-off.
static const char backoff_path[] = "/run/rtkfeedd.backoff";

static void announce_pause(const Backoff &b, long long pause_ms)
{
    if (pause_ms <= 0)
        return;
    unsigned seconds = static_cast<unsigned>((pause_ms + 500) / 1000);
    if (seconds > 1)
        log_notice("casterlink failed %u times in a row, next start in %u s", b.failures, seconds);
}

// Waits until the next start is due, or a stop.
static void wait_for_next_start(const Backoff &b)
{
    for (;;) {
        long long left = b.next_start - boottime_ms();
        if (left <= 0 || stop_requested())
            return;
        keep_alive();
        sleep_unless_stopped(keep_alive_wait_ms(left > 60000 ? 60000 : static_cast<int>(left)));
    }
}

// The back-off as the report shows it.
static void show_backoff(const Backoff &b, Report *r)
{
    r->health.failures_in_a_row = b.failures;
    r->next_start = b.next_start;
}

// After a client's end, or a start that failed (run_ms 0): the pause.
static void pause_after_run(Backoff *b, Report *r, const Lines &lines, long long run_ms)
{
    long long pause = note_run(b, run_ms, boottime_ms(), random_jitter());
    static bool save_failed = false;
    if (save_backoff(*b, backoff_path) != 0 && !save_failed) {
        save_failed = true;
        log_err("cannot write %s: %s", backoff_path, strerror(errno));
    }
    show_backoff(*b, r);
    report_write(r, lines);
    announce_pause(*b, pause);
    wait_for_next_start(*b);
}

// What follows a run that ended for why: the choice of base counts it,
// then the back-off pauses. False when nothing follows (a stop).
static bool follow_run(Cycle *c, EndReason why)
{
    Followup f = what_follows(why, boottime_ms() - c->run.started);
    if (f.stop)
        return false;
    choice_after_run(&c->choice, f.choice);
    pause_after_run(&c->backoff, &c->report, c->lines, f.backoff_run_ms);
    return true;
}

// Waits for the position the client is handed; false when the cycle is to
// begin again (*fatal: or end with a fatal error).
static bool position_ready(Cycle *c, bool *fatal)
{
    const Config &cfg = *c->cfg;
    Lines &l = c->lines;
    if (source_is_target(cfg) && l.target < 0) {
        // The position comes from the target line itself: wait for it.
        retry_target(&l, &c->report, cfg, false);
        if (l.target < 0) {
            keep_alive();
            sleep(1);
            return false;
        }
    }
    if (cfg.send_nmea == 0)
        return true;
    NmeaReady ready = prepare_nmea(cfg, l.target, c->sentence, &l.source);
    if (ready == NMEA_TARGET_GONE) {
        // The position comes from the target line, which went away while
        // the daemon waited for it: reopened as above.
        l.source = -1;
        lose_target(&l, &c->report, EIO, 0);
        return false;
    }
    if (ready != NMEA_READY) {
        release_source(&l, cfg);
        *fatal = !stop_requested();
        return false;
    }
    return true;
}

// Starts the client for the chosen base; false when it could not start
// (logged by the launcher, and counted as a failed run).
static bool start_run(Cycle *c)
{
    const Config &cfg = *c->cfg;
    Health &h = c->report.health;
    Config run;
    choose_for_start(&c->choice, &h, cfg, c->sentence, &run);
    log_notice("starting casterlink");
    int exec_error;
    pid_t client_pid;
    pid_t pid = start_client(run, c->sentence, &client_pid, &exec_error);
    h.starts++;
    h.last_start = unix_now();
    if (cfg.send_nmea != 0) {
        h.source = interface_path(cfg.source);
        h.sentence = c->sentence;
    }
    if (pid <= 0 || exec_error != 0) {
        // A failed run like a client that ends at once.
        h.last_end = h.last_start;
        h.last_exit = std::string(pid <= 0 ? "cannot start: " : "cannot execute: ") +
                      strerror(exec_error);
    }
    if (pid <= 0)
        return false;
    c->run.watcher = pid;
    c->run.started = boottime_ms();
    c->run.last_differential = monotonic_ms();
    if (exec_error == 0) {
        h.running = true;
        h.client_pid = client_pid;
        report_write(&c->report, c->lines);
    }
    return true;
}

int run_cycles(Cycle *c)
{
    const Config &cfg = *c->cfg;
    // What remains of the pause that an earlier daemon of this boot began.
    if (load_backoff(&c->backoff, backoff_path, boottime_ms()) != 0)
        log_err("cannot use %s: %s, ignored", backoff_path, state_file_error(errno));
    show_backoff(c->backoff, &c->report);
    announce_pause(c->backoff, c->backoff.next_start - boottime_ms());
    wait_for_next_start(c->backoff);
    for (;;) {
        if (stop_requested())
            return 0;
        bool fatal = false;
        if (!position_ready(c, &fatal)) {
            if (fatal)
                return -1;
            continue;
        }
        if (!start_run(c)) {
            release_source(&c->lines, cfg);
            follow_run(c, END_NOT_STARTED);
            continue;
        }
        RunOutcome out =
            relay_loop(cfg, &c->lines, &c->run, &c->choice, &c->report, c->relay, sizeof c->relay);
        if (out.ended)
            report_client_end(&c->report, out.why, out.status, cfg);
        release_source(&c->lines, cfg);
        log_notice("casterlink terminated");
        follow_run(c, stop_requested() ? END_STOP : out.why);
    }
}

void stop_client(ClientRun *run, Report *report, const Config &cfg)
{
    if (run->watcher <= 0)
        return;
    log_notice("sending SIGKILL to casterlink due to signal %d", stop_flag.load());
    end_client(run->watcher, true);
    // Reaped, but never waited for beyond a second.
    int status = -1;
    for (int i = 0; i < 10; i++) {
        pid_t r = waitpid(run->watcher, &status, WNOHANG);
        if (r != 0)
            break;
        usleep(100 * 1000);
    }
    report_client_end(report, END_STOP, status, cfg);
    run->watcher = 0;
}
