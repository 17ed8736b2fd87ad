// The relay loop of one client run: corrections from the client's pty to
// the target line, positions from the source to the client, the target's
// loss and return, and the watchdog. It waits, then dispatches what is
// ready, in three steps.
#include "supervisor/cycle.h"
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
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// How long a write may wait for the other side to take a burst before the
// rest is given up: a slow serial line gets a second, so that a 9600-baud
// receiver still gets whole frames; a client drains its pty at once when it
// reads at all, and one that does not must not hold up the corrections.
static const int target_drain_ms = 1000;
static const int client_drain_ms = 100;

// The receiver's line went away (unplugged, re-enumerated): it is closed,
// its lock kept, and tried again after 1 s, 2 s, 4 s ... at most 30 s apart.
// Corrections that come meanwhile are dropped, not queued: stale
// corrections are worse than none. lost_now: the bytes of the burst that
// found it gone, counted as dropped already.
void lose_target(DataPath *dp, int err, uint64_t lost_now)
{
    log_err("target device %s is gone (%s), reopening it", dp->target_path, strerror(err));
    if (dp->source == dp->target)
        dp->source = -1;
    close(dp->target);
    dp->target = -1;
    retry_from(&dp->target_retry, monotonic_ms());
    dp->dropped_at_loss = dp->health.dropped_bytes - lost_now;
    report_health(dp);
}

void retry_target(DataPath *dp)
{
    if (dp->target >= 0 || dp->target_path == nullptr || monotonic_ms() < dp->target_retry.due_ms)
        return;
    const Config &cfg = *dp->cfg;
    int fd = reopen_serial(dp->target_path, cfg.target_baudrate, cfg.target_databits,
                           cfg.target_parity.c_str(), cfg.target_stopbits);
    if (fd < 0) {
        retry_failed(&dp->target_retry, monotonic_ms());
        return;
    }
    dp->target = fd;
    if (source_is_target(*dp->cfg) && dp->client > 0)
        dp->source = fd;
    log_notice("target device %s is back, %llu B of corrections dropped while it was gone",
               dp->target_path,
               static_cast<unsigned long long>(dp->health.dropped_bytes - dp->dropped_at_loss));
    report_health(dp);
}

// A source line of the cycle's own went away: like the target, it is
// closed, its lock kept, and tried again after 1 s, 2 s, 4 s ... at most
// 30 s, while the corrections go on.
static void lose_source(DataPath *dp)
{
    const char *path = interface_path(dp->cfg->source);
    log_err("source device %s is gone (%s), reopening it", path, strerror(EIO));
    close(dp->source);
    dp->source = -1;
    dp->source_lost = true;
    retry_from(&dp->source_retry, monotonic_ms());
}

static void retry_source(DataPath *dp)
{
    if (!dp->source_lost || monotonic_ms() < dp->source_retry.due_ms)
        return;
    const Config &cfg = *dp->cfg;
    const char *path = interface_path(cfg.source);
    int fd = reopen_serial(path, cfg.source_baudrate, cfg.source_databits,
                           cfg.source_parity.c_str(), cfg.source_stopbits);
    if (fd < 0) {
        retry_failed(&dp->source_retry, monotonic_ms());
        return;
    }
    dp->source = fd;
    dp->source_lost = false;
    log_notice("source device %s is back", path);
}

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
static void relay_to_client(DataPath *dp, size_t n)
{
    // The receiver's own view of the corrections; the generator has none.
    if (dp->cfg->source != 3) {
        double seen = dp->health.receiver.last_gga;
        watch_receiver(&dp->health.receiver, dp->relay, n, unix_now());
        if (dp->health.receiver.last_gga != seen)
            dp->last_gga_ms = monotonic_ms();
    }
    size_t w = write_fully(dp->master, dp->relay, n, client_drain_ms);
    dp->health.bytes_to_client += w;
    if (w != n)
        report_short_write("ntrip", w, n);
}

static bool line_is_gone(int err)
{
    return err == EIO || err == ENXIO || err == ENODEV;
}

// Relays one burst of corrections to the target line, or drops it while
// the line is gone.
static void relay_to_target(DataPath *dp, size_t n)
{
    Health &h = dp->health;
    uint64_t frames = h.corrections.frames;
    rtcm_feed(&h.corrections, reinterpret_cast<const uint8_t *>(dp->relay), n, unix_now());
    if (h.corrections.frames != frames)
        dp->last_frame_ms = monotonic_ms();
    if (dp->target < 0) {
        h.dropped_bytes += n;
        return;
    }
    size_t w = write_fully(dp->target, dp->relay, n, target_drain_ms);
    h.target_bytes += w;
    h.dropped_bytes += n - w;
    if (w == n)
        return;
    int err = errno;
    if (line_is_gone(err)) {
        lose_target(dp, err, n - w);
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

// A descriptor that becomes readable when the client ends, so that a client
// which dies without ever opening its device is restarted a second later,
// not after a whole wait more. Without one (kernels before 5.3) the wait's
// timeout does the same, later.
static int client_end_fd(pid_t pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// What the relay loop watches during one client run.
struct Relay {
    SitOut source = {0, 50};
    SitOut master = {0, 50};
    int client_end = -1;
    pollfd fds[4];
    nfds_t nfds = 0;
    int source_at = -1;  // index in fds, -1 when not in this wait
    int master_at = -1;
    int end_at = -1;
    bool may_have_ended = true;  // the client's end is to be looked for
    int timeout_ms = 1000;
    long long last_correction = 0;  // monotonic ms of the last byte from the client
    long long term_sent = 0;        // when the silent client was asked to end, or 0
    bool kill_sent = false;
};

static bool client_ended(DataPath *dp, Relay *r)
{
    // With the end descriptor in the wait, only its readiness says so.
    if (r->client_end >= 0 && !r->may_have_ended)
        return false;
    r->may_have_ended = false;
    int status;
    pid_t reaped = waitpid(dp->client, &status, WNOHANG);
    if (reaped == 0)
        return false;
    // Reaped, or no longer ours to wait for (already reaped). Its watcher
    // ends only after whatever the client started has ended too.
    note_client_end(dp, reaped == dp->client ? status : -1);
    dp->client = 0;
    return true;
}

// The watchdog: a client that stays connected while no corrections come
// (a hung caster, a base station gone behind its mountpoint, a mobile link
// stalled without closing) never ends by itself, and the receiver would
// lose RTK quietly. It is asked to end, then killed 2 s later. It only
// shortens the relay loop's wait, so it adds no wake-ups of its own.
// When its next step is due (monotonic ms), or 0 when none is.
static long long stall_due(const DataPath *dp, const Relay *r)
{
    unsigned limit = dp->cfg->stall_timeout;
    if (r->kill_sent)
        return 0;
    if (r->term_sent != 0)
        return r->term_sent + 2000;
    return limit == 0 ? 0 : r->last_correction + limit * 1000LL;
}

// Ends the client as the watchdog does: its process group is asked to end
// now and killed 2 s later (by check_stall).
static void end_running_client(DataPath *dp, Relay *r)
{
    end_client(dp->client, false);
    r->term_sent = monotonic_ms();
}

static void check_stall(DataPath *dp, Relay *r)
{
    long long due = stall_due(dp, r);
    if (due == 0 || monotonic_ms() < due || dp->client <= 0)
        return;
    if (r->term_sent == 0) {
        log_err("no corrections from casterlink for %u s, restarting it", dp->cfg->stall_timeout);
        dp->stalled = true;
        end_running_client(dp, r);
    } else {
        end_client(dp->client, true);
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
static void check_no_fix(DataPath *dp, Relay *r)
{
    unsigned limit = dp->cfg->nofix_timeout;
    const Health &h = dp->health;
    if (limit == 0 || r->term_sent != 0 || dp->client <= 0)
        return;
    long long now = monotonic_ms();
    bool gga_comes = dp->last_gga_ms > 0 && now - dp->last_gga_ms <= 5000;
    int q = h.receiver.fix_quality;
    if (gga_comes && (q == 2 || q == 4 || q == 5)) {
        dp->last_differential = now;
        return;
    }
    bool frames_come = dp->target >= 0 && dp->last_frame_ms > 0 && now - dp->last_frame_ms <= 5000;
    if (!gga_comes || !frames_come || now - dp->last_differential < limit * 1000LL)
        return;
    log_err("receiver has no differential fix for %u s while corrections arrive from %s", limit,
            dp->base.current.mountpoint.c_str());
    dp->no_fix = true;
    end_running_client(dp, r);
}

// The wait lasts until something is due: data, the client's end, a stop
// (the stop latch is in the set), the report, a ping, the watchdog or a
// retry. Only without the client's end descriptor does it turn every
// second, to look for that end.
static void build_wait_set(const DataPath *dp, Relay *r)
{
    r->nfds = 0;
    r->source_at = r->master_at = r->end_at = -1;
    r->timeout_ms = r->client_end >= 0 && stop_fd() >= 0 ? 60000 : 1000;
    if (stop_fd() >= 0)
        r->fds[r->nfds++] = {stop_fd(), POLLIN, 0};
    if (dp->source != -1 && r->source.now_ms == 0) {
        r->source_at = static_cast<int>(r->nfds);
        r->fds[r->nfds++] = {dp->source, POLLIN, 0};
    }
    if (dp->master >= 0 && r->master.now_ms == 0) {
        r->master_at = static_cast<int>(r->nfds);
        r->fds[r->nfds++] = {dp->master, POLLIN, 0};
    }
    if (r->client_end >= 0) {
        r->end_at = static_cast<int>(r->nfds);
        r->fds[r->nfds++] = {r->client_end, POLLIN, 0};
    }
    r->timeout_ms = keep_alive_wait_ms(r->timeout_ms);
    long long next_due = stall_due(dp, r);
    if (dp->target < 0 && (next_due == 0 || dp->target_retry.due_ms < next_due))
        next_due = dp->target_retry.due_ms;
    if (dp->source_lost && (next_due == 0 || dp->source_retry.due_ms < next_due))
        next_due = dp->source_retry.due_ms;
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

// Reads one burst from fd and relays it; a silent fd sits out. Returns the
// count of bytes relayed. Corrections that are whole RTCM 3 frames go at
// once: the receiver's corrections are only as fresh as their last byte,
// and the gathering would add 0.2 s to every epoch; anything else (RTCM 2,
// a vendor's format, a frame still arriving) gathers as it always did.
static size_t pass_burst(DataPath *dp, int fd, SitOut *s, void (*relay)(DataPath *, size_t),
                         BurstComplete complete = nullptr)
{
    size_t n = read_burst(fd, dp->relay, sizeof dp->relay, complete);
    if (n == 0) {
        sit_out(s);
        return 0;
    }
    back_in(s);
    relay(dp, n);
    dp->health_dirty = true;
    return n;
}

static void dispatch(DataPath *dp, Relay *r)
{
    if (r->end_at >= 0 && r->fds[r->end_at].revents)
        r->may_have_ended = true;
    unsigned long positions = dp->health.receiver.positions;
    if (r->source_at >= 0 && r->fds[r->source_at].revents &&
        pass_burst(dp, dp->source, &r->source, relay_to_client) == 0 &&
        (r->fds[r->source_at].revents & (POLLHUP | POLLERR | POLLNVAL))) {
        // Gone, not just silent: whether or not corrections flow.
        if (dp->source == dp->target)
            lose_target(dp, EIO, 0);
        else
            lose_source(dp);
    }
    // A new position from the receiver: a nearer base may be due.
    if (dp->health.receiver.positions != positions && r->term_sent == 0 &&
        choice_on_position(dp, dp->health.receiver)) {
        dp->switching = true;
        end_running_client(dp, r);
    }
    if (r->master_at >= 0 && r->fds[r->master_at].revents &&
        pass_burst(dp, dp->master, &r->master, relay_to_target, rtcm_frames_whole) > 0)
        r->last_correction = monotonic_ms();
}

void relay_loop(DataPath *dp)
{
    Relay r;
    r.client_end = client_end_fd(dp->client);
    // The first allowance covers connecting too.
    r.last_correction = monotonic_ms();
    while (!stop_requested() && !client_ended(dp, &r)) {
        retry_target(dp);
        retry_source(dp);
        build_wait_set(dp, &r);
        if (wait_once(&r) == 0)
            dispatch(dp, &r);
        else
            r.may_have_ended = true;
        check_stall(dp, &r);
        check_no_fix(dp, &r);
        keep_alive();
    }
    if (r.client_end >= 0)
        close(r.client_end);
}
