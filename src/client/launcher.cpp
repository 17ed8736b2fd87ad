#include "client/client_internal.h"
#include "common/log.h"
#include "common/service.h"
#include "settings/settings.h"

#include <cerrno>
#include <cstring>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/syscall.h>
#include <string>
#include <unistd.h>
#include <vector>

static const char client_path[] = "/opt/casterLink/bin/casterlink";

void build_client_args(const Config &cfg, const char *sentence, ClientArgs *out)
{
    // Numbers go through ten-byte fields, as the client has always seen them.
    snprintf(out->port, sizeof out->port, "%u", cfg.port);
    snprintf(out->reconnint, sizeof out->reconnint, "%u", cfg.reconnint);
    snprintf(out->nmea_int, sizeof out->nmea_int, "%u", cfg.nmea_int);
    int n = 0;
    const char **a = out->argv;
    a[n++] = client_path;
    a[n++] = "-s";
    a[n++] = cfg.ipaddr.c_str();
    a[n++] = "-r";
    a[n++] = out->port;
    if (!cfg.username.empty()) {
        a[n++] = "-u";
        a[n++] = cfg.username.c_str();
        if (!cfg.password.empty()) {
            a[n++] = "-p";
            a[n++] = cfg.password.c_str();
        }
    }
    a[n++] = "-m";
    a[n++] = cfg.mountpoint.c_str();
    a[n++] = "-i";
    a[n++] = out->reconnint;
    a[n++] = "-D";
    a[n++] = "/dev/rtkfeedd";
    a[n++] = "-B";
    a[n++] = "9600";
    a[n++] = "-A";
    a[n++] = "8";
    a[n++] = "-T";
    a[n++] = "1";
    a[n++] = "-Y";
    a[n++] = "N";
    if (cfg.send_nmea != 0) {
        a[n++] = "-n";
        a[n++] = sentence;
        if (cfg.nmea_int != 0) {
            a[n++] = "-g";
            a[n++] = out->nmea_int;
        }
    }
    a[n] = nullptr;
    out->argc = n;
}

struct ClientExec {
    const ClientArgs *args;
    char *const *env;
};

// In the client's new process, before it executes: only calls that are
// safe after a fork of a threaded process.
static int exec_client(void *arg)
{
    const ClientExec *what = static_cast<const ClientExec *>(arg);
    // Every descriptor of ours is opened close-on-exec already; this also
    // covers one that a library opened without.
#ifdef SYS_close_range
    syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */);
#endif
    // Without a reader the FIFO cannot be opened without blocking; the
    // client then talks to the null device rather than hang the daemon.
    int err = open("/var/run/casterLink.fifo", O_WRONLY | O_NONBLOCK | O_NOFOLLOW);
    if (err >= 0)
        fcntl(err, F_SETFL, 0);
    else
        err = open("/dev/null", O_WRONLY);
    if (err >= 0 && err != 2) {
        dup2(err, 2);
        close(err);
    }
    int in = open("/dev/null", O_RDONLY);
    if (in >= 0 && in != 0) {
        dup2(in, 0);
        close(in);
    }
    int out = open("/dev/null", O_WRONLY);
    if (out >= 0 && out != 1) {
        dup2(out, 1);
        close(out);
    }
    execve(client_path, const_cast<char *const *>(what->args->argv), what->env);
    return errno;
}

pid_t start_client(const Config &cfg, const char *sentence, pid_t *client, int *exec_error)
{
    ClientArgs args;
    build_client_args(cfg, sentence, &args);
    ClientExec what = {&args, marked_environment()};
    pid_t watcher = start_watched(exec_client, &what, client, exec_error);
    if (watcher < 0) {
        log_err("cannot start casterlink: %s", strerror(*exec_error));
        return -1;
    }
    // A client that could not be executed has ended already: reaped here, it
    // looks to the cycle like a client that ended at once.
    if (*exec_error != 0) {
        log_err("cannot execute %s: %s", client_path, strerror(*exec_error));
        reap_child(watcher);
    }
    return watcher;
}

int client_end_fd(pid_t pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

void end_client(pid_t watcher, bool now)
{
    end_watched(watcher, now);
}


// Whether a process carries the mark in its environment, as it was when
// the process started (or its parent's, inherited).
static bool carries_mark(pid_t pid, const std::string &mark)
{
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/environ", static_cast<int>(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::string env(1, '\0');
    char buf[4096];
    ssize_t n;
    while (env.size() < (1 << 20) && (n = read(fd, buf, sizeof buf)) > 0)
        env.append(buf, static_cast<size_t>(n));
    close(fd);
    env += '\0';
    return env.find('\0' + mark + '\0') != std::string::npos;
}

struct Sweep {
    std::string mark;
    int ended;
};

static void end_if_marked(pid_t pid, void *arg)
{
    Sweep *sweep = static_cast<Sweep *>(arg);
    if (pid != getpid() && carries_mark(pid, sweep->mark) && kill(pid, SIGKILL) == 0)
        sweep->ended++;
}

int end_leftovers_of(pid_t earlier, long long earlier_start)
{
    // Only while that daemon is gone, and only what carries its mark: a
    // process of anybody else's never does.
    if (earlier <= 0 || earlier == getpid() || earlier_start < 0 ||
        process_is(earlier, earlier_start))
        return 0;
    Sweep sweep = {daemon_mark(earlier, earlier_start), 0};
    for_each_process(end_if_marked, &sweep);
    if (sweep.ended > 0)
        log_notice("ended what an earlier rtkfeedd (pid %d) left running: %d processes",
                   static_cast<int>(earlier), sweep.ended);
    return sweep.ended;
}
