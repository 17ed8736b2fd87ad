#include "client/client_internal.h"
#include "common/log.h"
#include "common/service.h"
#include "settings/settings.h"

#include <cerrno>
#include <cstring>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

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

// In the child between vfork and exec: only calls that are safe there.
static void exec_client(const ClientArgs &args, int report_fd, pid_t daemon)
{
    // No client may stay connected to the caster beside the next one.
    join_own_group_tied_to(daemon);
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
    execv(client_path, const_cast<char *const *>(args.argv));
    int e = errno;
    ssize_t ignored = write(report_fd, &e, sizeof e);
    (void)ignored;
    _exit(1);
}

pid_t start_client(const Config &cfg, const char *sentence, int *exec_error)
{
    *exec_error = 0;
    ClientArgs args;
    build_client_args(cfg, sentence, &args);
    // The exec error comes back through a pipe that the exec itself closes.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        *exec_error = errno;
        log_err("cannot start casterlink: %s", strerror(errno));
        return -1;
    }
    pid_t daemon = getpid();
    pid_t pid = vfork();
    if (pid == 0)
        exec_client(args, report[1], daemon);
    int fork_errno = errno;
    close(report[1]);
    if (pid < 0) {
        close(report[0]);
        *exec_error = fork_errno;
        log_err("cannot start casterlink: %s", strerror(fork_errno));
        return pid;
    }
    int exec_errno = 0;
    ssize_t n;
    do
        n = read(report[0], &exec_errno, sizeof exec_errno);
    while (n < 0 && errno == EINTR);
    close(report[0]);
    // A client that could not be executed has ended already: reaped here, it
    // looks to the cycle like a client that ended at once.
    if (n == sizeof exec_errno) {
        *exec_error = exec_errno;
        log_err("cannot execute %s: %s", client_path, strerror(exec_errno));
        reap_child(pid);
    }
    return pid;
}

int end_leftovers_of(pid_t earlier)
{
    // Only when that daemon is gone: while a process has its pid, the pid
    // may be anybody's. Once it is gone, no process is in a session of that
    // id but one that the daemon led, since the kernel does not hand out a
    // pid that a session still uses.
    if (earlier <= 0 || earlier == getpid() || pid_alive(earlier))
        return 0;
    int ended = 0;
    DIR *d = opendir("/proc");
    while (dirent *e = d ? readdir(d) : nullptr) {
        char path[64], stat[512];
        int pid = atoi(e->d_name);
        if (pid <= 0)
            continue;
        snprintf(path, sizeof path, "/proc/%d/stat", pid);
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        ssize_t n = read(fd, stat, sizeof stat - 1);
        close(fd);
        stat[n > 0 ? n : 0] = '\0';
        // "pid (comm) state ppid pgrp session ...": comm may hold anything.
        const char *at = strrchr(stat, ')');
        char state = 'Z';
        int session = 0;
        if (at && sscanf(at + 1, " %c %*d %*d %d", &state, &session) == 2 && state != 'Z' &&
            session == earlier && kill(pid, SIGKILL) == 0)
            ended++;
    }
    if (d)
        closedir(d);
    if (ended > 0)
        log_notice("ended what an earlier rtkfeedd (pid %d) left running: %d processes",
                   static_cast<int>(earlier), ended);
    return ended;
}
