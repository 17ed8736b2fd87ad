#include "supervisor/cycle.h"
#include "client/client.h"
#include "common/io.h"
#include "common/log.h"
#include "devices/devices.h"
#include "settings/settings.h"
#include "supervisor/supervisor.h"

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

void init_data_path(DataPath *dp, const Config *cfg)
{
    dp->cfg = cfg;
    dp->master = -1;
    dp->target_path = nullptr;
    dp->target = -1;
    dp->target_locked = false;
    dp->source = -1;
    dp->client = 0;
    dp->sentence[0] = '\0';
}

int take_target(DataPath *dp)
{
    const Config &cfg = *dp->cfg;
    const char *path = interface_path(cfg.target);
    if (!path) {
        log_err("target device %u is not valid", cfg.target);
        return 0;
    }
    dp->target_path = path;
    if (lock_device(path, 1) == 0) {
        log_err("target device %s is locked", path);
        return 0;
    }
    dp->target_locked = true;
    dp->target = open_serial(path, cfg.target_baudrate, cfg.target_databits,
                             cfg.target_parity.c_str(), cfg.target_stopbits);
    if (dp->target < 0) {
        log_err("cannot open device %s", path);
        return 0;
    }
    return 1;
}

// Relays one burst; what the line does not take within the drain time is
// dropped and reported with the count actually written.
static void relay_to(int fd, const char *name, const char *buf, size_t n, int drain_ms)
{
    size_t w = write_fully(fd, buf, n, drain_ms);
    if (w == n)
        return;
    if (w == 0 && errno != EAGAIN)
        log_err("write to %s has failed(error: %s)", name, strerror(errno));
    else
        log_err("write to %s has failed(wrote %d B from %d B)", name, static_cast<int>(w),
                static_cast<int>(n));
}

// A descriptor that reads as ready but yields nothing (the client closed its
// end, the source hung up) sits out the next wait, or the loop would spin.
// The sit-out starts short, so that a client's end is seen at once, and
// doubles up to the full wait while the descriptor stays silent.
struct Direction {
    int rest_ms;  // 0 while the descriptor takes part in the wait
    int next_rest_ms;
};

static void rest(Direction *d)
{
    d->rest_ms = d->next_rest_ms;
    d->next_rest_ms = d->next_rest_ms * 2 > 1000 ? 1000 : d->next_rest_ms * 2;
}

static void reset(Direction *d)
{
    d->next_rest_ms = 50;
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

static void relay_loop(DataPath *dp)
{
    Direction source = {0, 50}, master = {0, 50};
    int client_end = client_end_fd(dp->client);
    while (!stop_requested()) {
        int status;
        pid_t r = waitpid(dp->client, &status, WNOHANG);
        if (r != 0) {
            // Reaped, or no longer ours to wait for (already reaped).
            dp->client = 0;
            break;
        }
        pollfd fds[3];
        int nfds = 0, source_at = -1, master_at = -1, timeout = 1000;
        if (dp->source != -1 && source.rest_ms == 0) {
            source_at = nfds;
            fds[nfds++] = {dp->source, POLLIN, 0};
        }
        if (dp->master >= 0 && master.rest_ms == 0) {
            master_at = nfds;
            fds[nfds++] = {dp->master, POLLIN, 0};
        }
        if (client_end >= 0)
            fds[nfds++] = {client_end, POLLIN, 0};
        for (Direction *d : {&source, &master}) {
            if (d->rest_ms > 0 && d->rest_ms < timeout)
                timeout = d->rest_ms;
            d->rest_ms = 0;
        }
        int ready = poll(fds, static_cast<nfds_t>(nfds), timeout);
        if (ready < 0) {
            if (errno != EINTR) {
                log_err("select: %s", strerror(errno));
                sleep(1);
            }
            continue;
        }
        if (source_at >= 0 && fds[source_at].revents) {
            size_t n = read_burst(dp->source, dp->relay, sizeof dp->relay);
            if (n > 0) {
                reset(&source);
                relay_to(dp->master, "ntrip", dp->relay, n, client_drain_ms);
            } else {
                rest(&source);
            }
        }
        if (master_at >= 0 && fds[master_at].revents) {
            size_t n = read_burst(dp->master, dp->relay, sizeof dp->relay);
            if (n > 0) {
                reset(&master);
                relay_to(dp->target, "target", dp->relay, n, target_drain_ms);
            } else {
                rest(&master);
            }
        }
    }
    if (client_end >= 0)
        close(client_end);
}

// A source of the cycle's own is given back, so that another program may use
// the device between client runs and the next cycle finds no lock of ours.
static void release_source(DataPath *dp)
{
    if (dp->source != -1 && dp->source != dp->target) {
        unlock_device(interface_path(dp->cfg->source));
        close(dp->source);
    }
    dp->source = -1;
}

int run_cycles(DataPath *dp)
{
    const Config &cfg = *dp->cfg;
    for (;;) {
        if (stop_requested())
            return 0;
        if (cfg.send_nmea != 0) {
            int r = prepare_nmea(cfg, dp->target, dp->sentence, &dp->source);
            if (r < 0)
                return -1;
            if (r == 0) {
                release_source(dp);
                continue;
            }
        }
        log_notice("starting casterlink");
        pid_t pid = start_client(cfg, dp->sentence);
        if (pid <= 0) {
            // Logged by the launcher; retried like a client that ended.
            release_source(dp);
            sleep(1);
            continue;
        }
        dp->client = pid;
        relay_loop(dp);
        release_source(dp);
        log_notice("casterlink terminated");
        sleep(1);
    }
}

void stop_client(DataPath *dp)
{
    if (dp->client <= 0)
        return;
    log_notice("sending SIGKILL to casterlink due to signal %d", stop_flag.load());
    kill(dp->client, SIGKILL);
    // Reaped, but never waited for beyond a second.
    for (int i = 0; i < 10; i++) {
        pid_t r = waitpid(dp->client, nullptr, WNOHANG);
        if (r != 0)
            break;
        usleep(100 * 1000);
    }
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
