#include "common/service.h"
#include "common/io.h"
#include "common/log.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

std::atomic<int> stop_flag{0};

// The stop latch: a pipe whose read side is never read. Set before the
// handler is installed and never changed.
static std::atomic<int> stop_latch_read{-1}, stop_latch_write{-1};
static_assert(std::atomic<int>::is_always_lock_free, "stop latch must be lock-free");

static void handle_stop_signal(int sig)
{
    stop_flag.store(sig, std::memory_order_relaxed);
    // A full pipe is ready already; the handler must leave errno as it was.
    int saved = errno;
    int fd = stop_latch_write.load(std::memory_order_relaxed);
    if (fd >= 0 && write(fd, "", 1) < 0) {
    }
    errno = saved;
}

int stop_fd()
{
    return stop_latch_read.load(std::memory_order_relaxed);
}

void install_stop_handler()
{
    int latch[2];
    if (pipe2(latch, O_CLOEXEC | O_NONBLOCK) == 0) {
        stop_latch_read.store(latch[0], std::memory_order_relaxed);
        stop_latch_write.store(latch[1], std::memory_order_relaxed);
    }
    struct sigaction sa = {};
    sa.sa_handler = handle_stop_signal;
    sigemptyset(&sa.sa_mask);
    // Stays installed for repeated signals; interrupted calls restart where
    // the system allows, while readiness waits and sleeps still end early.
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGQUIT, &sa, nullptr);
}

static void (*status_observer)(int) = nullptr;

void set_status_observer(void (*observer)(int code))
{
    status_observer = observer;
}

void write_status(int code)
{
    if (status_observer)
        status_observer(code);
    char text[16];
    int n = snprintf(text, sizeof text, "%d", code);
    if (replace_file("/run/status.ntrip", text, static_cast<size_t>(n), 0644) != 0)
        log_err("Unable to log NTRIP status");
}

bool pid_alive(int pid)
{
    if (pid <= 0)
        return false;
    return kill(pid, 0) == 0 || errno != ESRCH;
}

int read_proc_stat(int pid, ProcStat *st)
{
    char path[32], text[512];
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    int fd = pid > 0 ? open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0)
        return -1;
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return -1;
    text[n] = '\0';
    // "pid (comm) state ppid pgrp session ..." with the start time the 22nd
    // field; comm may hold anything, so the fields are counted from its
    // closing ")".
    const char *p = strrchr(text, ')');
    if (!p || p[1] != ' ' || !p[2])
        return -1;
    st->state = p[2];
    p += 3;
    long long field[20];  // fields 4 to 23
    for (long long &f : field) {
        char *end;
        f = strtoll(p, &end, 10);
        if (end == p)
            return -1;
        p = end;
    }
    st->ppid = static_cast<int>(field[0]);
    st->session = static_cast<int>(field[2]);
    st->start = field[18];
    return 0;
}

long long process_start_ticks(int pid)
{
    ProcStat st;
    return read_proc_stat(pid, &st) == 0 ? st.start : -1;
}

bool process_is(int pid, long long start)
{
    return start >= 0 && process_start_ticks(pid) == start;
}

void sleep_unless_stopped(int timeout_ms)
{
    if (stop_fd() >= 0)
        wait_readable(stop_fd(), timeout_ms);
    else
        usleep(static_cast<useconds_t>(timeout_ms > 1000 ? 1000 : timeout_ms) * 1000);
}

int pause_seconds(int seconds)
{
    long long end = monotonic_ms() + seconds * 1000LL;
    for (long long left; (left = end - monotonic_ms()) > 0 && !stop_requested();) {
        keep_alive();
        sleep_unless_stopped(keep_alive_wait_ms(static_cast<int>(left)));
    }
    return stop_requested() ? -1 : 0;
}

long next_burst(int fd, char *buf, size_t cap, int wait_ms, int allowance_ms)
{
    pollfd p[2] = {{fd, POLLIN, 0}, {stop_fd(), POLLIN, 0}};
    int r = poll(p, p[1].fd >= 0 ? 2 : 1, wait_ms);
    if (r < 0)
        return errno == EINTR ? 0 : -1;
    if (p[0].revents == 0)
        return 0;  // timed out, or a stop
    size_t n = gather_burst(fd, buf, cap, allowance_ms, true);
    if (n == 0)
        sleep(1);
    return static_cast<long>(n);
}
