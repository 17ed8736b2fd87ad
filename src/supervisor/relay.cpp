// The relay loop of one client run: corrections from the client's pty to
// the target line, positions from the source to the client, the target's
// loss and return, and the reasons to end the client. It waits, then
// dispatches what is ready, in three steps.
#include "supervisor/relay.h"
#include "supervisor/choice.h"
#include "supervisor/lines.h"
#include "supervisor/report.h"
#include "client/client.h"
#include "common/io.h"
#include "common/log.h"
#include "common/service.h"
#include "devices/devices.h"
#include "settings/settings.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

// How long a write may wait for the other side to take a burst before the
// rest is given up: a slow serial line gets a second, so that a 9600-baud
// receiver still gets whole frames; a client drains its pty at once when it
// reads at all, and one that does not must not hold up the corrections.
static const int target_drain_ms = 1000;
static const int client_drain_ms = 100;

// What a line did not take within the drain time is dropped and reported
// with the count actually written.
static void report_short_write(const char *name, size_t w, size_t n)
{
    if (w == 0 && errno != EAGAIN)
        log_err("write to %s has failed(error: %s)", name, strerror(errno));
    else
        log_err("write to %s has failed(wrote %d B from %d B)", name, static_cast<int>(w),
                static_cast<int>(n));
}

// Relays one burst of position sentences to the client.
static void relay_to_client(const Config &cfg, int master, Health *h, ClientRun *run,
                            const char *buf, size_t n)
{
    // The receiver's own view of the corrections; the generator has none.
    if (cfg.source != 3) {
        double seen = h->receiver.last_gga;
        watch_receiver(&h->receiver, buf, n, unix_now());
        if (h->receiver.last_gga != seen)
            run->last_gga_ms = monotonic_ms();
    }
    size_t w = write_fully(master, buf, n, client_drain_ms);
    h->bytes_to_client += w;
    if (w != n)
        report_short_write("ntrip", w, n);
}

static bool line_is_gone(int err)
{
    return err == EIO || err == ENXIO || err == ENODEV;
}

// Relays one burst of corrections to the target line, or drops it while
// the line is gone.
static void relay_to_target(Lines *lines, Report *report, ClientRun *run, const char *buf,
                            size_t n)
{
    Health &h = report->health;
    uint64_t frames = h.corrections.frames;
    rtcm_feed(&h.corrections, reinterpret_cast<const uint8_t *>(buf), n, unix_now());
    if (h.corrections.frames != frames)
        run->last_frame_ms = monotonic_ms();
    if (lines->target < 0) {
        h.dropped_bytes += n;
        return;
    }
    size_t w = write_fully(lines->target, buf, n, target_drain_ms);
    h.target_bytes += w;
    h.dropped_bytes += n - w;
    if (w == n)
        return;
    int err = errno;
    if (line_is_gone(err)) {
        lose_target(lines, report, err, n - w);
        return;
    }
    errno = err;
    report_short_write("target", w, n);
}

// A descriptor that reads as ready but yields nothing (the client closed its
// end, the source hung up) sits out the next wait, or the loop would spin.
// The sit-out starts short, so that a client's end is seen at once, and
// doubles up to the full wait while the descriptor stays silent.
struct SitOut {
    int now_ms;   // how long it stays out of the coming wait; 0 while it takes part
    int next_ms;  // how long the next silence keeps it out
};

static void sit_out(SitOut *s)
{
    s->now_ms = s->next_ms;
    s->next_ms = s->next_ms * 2 > 1000 ? 1000 : s->next_ms * 2;
}

static void back_in(SitOut *s)
{
    s->next_ms = 50;
}

// What the relay loop watches during one client run.
struct Relay {
    SitOut source = {0, 50};
    SitOut master = {0, 50};
    int client_end = -1;
    pollfd fds[5];
    nfds_t nfds = 0;
    int source_at = -1;  // index in fds, -1 when not in this wait
    int master_at = -1;
    int end_at = -1;
    bool may_have_ended = true;  // the client's end is to be looked for
    int timeout_ms = 1000;
    long long last_correction = 0;  // monotonic ms of the last byte from the client
    long long term_sent = 0;        // when the client was asked to end, or 0
    bool kill_sent = false;
    EndReason ending = END_BY_ITSELF;  // why the daemon asked it to end
};

static bool client_ended(ClientRun *run, Relay *r, RunOutcome *out)
{
    // With the end descriptor in the wait, only its readiness says so.
    if (r->client_end >= 0 && !r->may_have_ended)
        return false;
    r->may_have_ended = false;
    int status;
    pid_t reaped = waitpid(run->watcher, &status, WNOHANG);
    if (reaped == 0)
        return false;
    // Reaped, or no longer ours to wait for (already reaped). Its watcher
    // ends only after whatever the client started has ended too.
    out->ended = true;
    out->status = reaped == run->watcher ? status : -1;
    run->watcher = 0;
    return true;
}

// The watchdog: a client that stays connected while no corrections come
// (a hung caster, a base station gone behind its mountpoint, a mobile link
// stalled without closing) never ends by itself, and the receiver would
// lose RTK quietly. It is asked to end, then killed 2 s later. It only
// shortens the relay loop's wait, so it adds no wake-ups of its own.
// When its next step is due (monotonic ms), or 0 when none is.
static long long stall_due(const Config &cfg, const Relay *r)
{
    unsigned limit = cfg.stall_timeout;
    if (r->kill_sent)
        return 0;
    if (r->term_sent != 0)
        return r->term_sent + 2000;
    return limit == 0 ? 0 : r->last_correction + limit * 1000LL;
}

// Ends the client for why, as the watchdog does: its process group is
// asked to end now and killed 2 s later (by check_stall).
static void end_running_client(const ClientRun &run, Relay *r, EndReason why)
{
    end_client(run.watcher, false);
    r->term_sent = monotonic_ms();
    r->ending = why;
}

static void check_stall(const Config &cfg, const ClientRun &run, Relay *r)
{
    long long due = stall_due(cfg, r);
    if (due == 0 || monotonic_ms() < due || run.watcher <= 0)
        return;
    if (r->term_sent == 0) {
        log_err("no corrections from casterlink for %u s, restarting it", cfg.stall_timeout);
        end_running_client(run, r, END_STALLED);
    } else {
        end_client(run.watcher, true);
        r->kill_sent = true;
    }
}

// Receiver-driven failover: corrections with a correct CRC reach the
// receiver and its GGA keeps coming, each within 5 s, but it reports no
// differential solution (2, 4 or 5) for the allowance since the client's
// start or its last one: the corrections are of no use to it (a base too
// far, a wrong format, a broken stream). Checked at each turn of the loop,
// which the receiver's sentences wake: no wake-ups of its own. Timed on
// the monotonic clock: a router without a real-time clock has its time set
// by NTP after boot, years at once.
static void check_no_fix(const Config &cfg, const Lines &lines, const Health &h,
                         const Choice &choice, ClientRun *run, Relay *r)
{
    unsigned limit = cfg.nofix_timeout;
    if (limit == 0 || r->term_sent != 0 || run->watcher <= 0)
        return;
    long long now = monotonic_ms();
    bool gga_comes = run->last_gga_ms > 0 && now - run->last_gga_ms <= 5000;
    int q = h.receiver.fix_quality;
    if (gga_comes && (q == 2 || q == 4 || q == 5)) {
        run->last_differential = now;
        return;
    }
    bool frames_come =
        lines.target >= 0 && run->last_frame_ms > 0 && now - run->last_frame_ms <= 5000;
    if (!gga_comes || !frames_come || now - run->last_differential < limit * 1000LL)
        return;
    log_err("receiver has no differential fix for %u s while corrections arrive from %s", limit,
            choice.base.current.mountpoint.c_str());
    end_running_client(*run, r, END_NO_FIX);
}

// The wait lasts until something is due: data, the client's end, a stop
// (the stop latch is in the set), the report, a ping, the watchdog or a
// retry. Only without the client's end descriptor does it turn every
// second, to look for that end.
static void build_wait_set(const Config &cfg, const Lines &lines, const Choice &choice, Relay *r)
{
    r->nfds = 0;
    r->source_at = r->master_at = r->end_at = -1;
    r->timeout_ms = r->client_end >= 0 && stop_fd() >= 0 ? 60000 : 1000;
    if (stop_fd() >= 0)
        r->fds[r->nfds++] = {stop_fd(), POLLIN, 0};
    if (lines.source != -1 && r->source.now_ms == 0) {
        r->source_at = static_cast<int>(r->nfds);
        r->fds[r->nfds++] = {lines.source, POLLIN, 0};
    }
    if (lines.master >= 0 && r->master.now_ms == 0) {
        r->master_at = static_cast<int>(r->nfds);
        r->fds[r->nfds++] = {lines.master, POLLIN, 0};
    }
    if (r->client_end >= 0) {
        r->end_at = static_cast<int>(r->nfds);
        r->fds[r->nfds++] = {r->client_end, POLLIN, 0};
    }
    // A table query's end only wakes the wait; the turn after it looks.
    if (choice_query_fd(choice) >= 0)
        r->fds[r->nfds++] = {choice_query_fd(choice), POLLIN, 0};
    r->timeout_ms = keep_alive_wait_ms(r->timeout_ms);
    long long next_due = stall_due(cfg, r);
    long long query_due = choice_due_ms(choice);
    if (query_due != 0 && (next_due == 0 || query_due < next_due))
        next_due = query_due;
    if (lines.target < 0 && (next_due == 0 || lines.target_retry.due_ms < next_due))
        next_due = lines.target_retry.due_ms;
    if (lines.source_lost && (next_due == 0 || lines.source_retry.due_ms < next_due))
        next_due = lines.source_retry.due_ms;
    if (next_due != 0) {
        long long until = next_due - monotonic_ms();
        if (until < r->timeout_ms)
            r->timeout_ms = until < 0 ? 0 : static_cast<int>(until);
    }
    // A descriptor sitting out comes back after its time: the wait is no
    // longer than that, and it takes part in the one after.
    for (SitOut *s : {&r->source, &r->master}) {
        if (s->now_ms > 0 && s->now_ms < r->timeout_ms)
            r->timeout_ms = s->now_ms;
        s->now_ms = 0;
    }
}

// 0 when something may be ready, -1 when the wait failed (logged, paused).
static int wait_once(Relay *r)
{
    if (poll(r->fds, r->nfds, r->timeout_ms) >= 0)
        return 0;
    if (errno != EINTR) {
        log_err("select: %s", strerror(errno));
        sleep(1);
    }
    return -1;
}

// Reads one burst from fd into buf; a silent fd sits out. Corrections that
// end where a whole RTCM 3 frame ends go at once: the receiver's corrections are only
// as fresh as their last byte, and the gathering would add 0.2 s to every
// epoch; anything else (RTCM 2, a vendor's format, a frame still arriving)
// gathers as it always did.
static size_t take_burst(int fd, SitOut *s, char *buf, size_t cap, BurstComplete complete,
                         const void *ctx)
{
    size_t n = read_burst(fd, buf, static_cast<unsigned>(cap), complete, ctx);
    if (n == 0)
        sit_out(s);
    else
        back_in(s);
    return n;
}

// The source first, then a new position's switch, then the corrections.
static void dispatch(const Config &cfg, Lines *lines, ClientRun *run, Choice *choice,
                     Report *report, char *buf, size_t cap, Relay *r)
{
    Health &h = report->health;
    if (r->end_at >= 0 && r->fds[r->end_at].revents)
        r->may_have_ended = true;
    unsigned long positions = h.receiver.positions;
    if (r->source_at >= 0 && r->fds[r->source_at].revents) {
        size_t n = take_burst(lines->source, &r->source, buf, cap, nullptr, nullptr);
        if (n > 0) {
            relay_to_client(cfg, lines->master, &h, run, buf, n);
            report->dirty = true;
        } else if (r->fds[r->source_at].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            // Gone, not just silent: whether or not corrections flow.
            if (lines->source == lines->target)
                lose_target(lines, report, EIO, 0);
            else
                lose_source(lines, cfg);
        }
    }
    // A new position from the receiver: a nearer base may be due.
    if (h.receiver.positions != positions && r->term_sent == 0 &&
        choice_on_position(choice, &h, h.receiver))
        end_running_client(*run, r, END_SWITCH);
    if (r->master_at >= 0 && r->fds[r->master_at].revents) {
        // Judged where the stream stands, as the framer has followed it.
        size_t n = take_burst(lines->master, &r->master, buf, cap, rtcm_burst_ends_whole,
                              &h.corrections);
        if (n > 0) {
            relay_to_target(lines, report, run, buf, n);
            report->dirty = true;
            r->last_correction = monotonic_ms();
        }
    }
}

RunOutcome relay_loop(const Config &cfg, Lines *lines, ClientRun *run, Choice *choice,
                      Report *report, char *buf, size_t cap)
{
    RunOutcome out;
    Relay r;
    r.client_end = client_end_fd(run->watcher);
    // The first allowance covers connecting too.
    r.last_correction = monotonic_ms();
    while (!stop_requested() && !client_ended(run, &r, &out)) {
        retry_target(lines, report, cfg, true);
        retry_source(lines, cfg);
        build_wait_set(cfg, *lines, *choice, &r);
        if (wait_once(&r) == 0)
            dispatch(cfg, lines, run, choice, report, buf, cap, &r);
        else
            r.may_have_ended = true;
        choice_turn(choice, cfg);
        check_stall(cfg, *run, &r);
        check_no_fix(cfg, *lines, report->health, *choice, run, &r);
        keep_alive();
    }
    if (r.client_end >= 0)
        close(r.client_end);
    if (stop_requested())
        choice_stop(choice);
    out.why = stop_requested() ? END_STOP : r.ending;
    return out;
}
