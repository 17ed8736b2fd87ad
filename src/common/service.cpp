#include "common/service.h"
#include "common/io.h"
#include "common/log.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

std::atomic<int> stop_flag{0};

static void handle_stop_signal(int sig)
{
    stop_flag.store(sig, std::memory_order_relaxed);
}

void install_stop_handler()
{
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

long long process_start_ticks(int pid)
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
    // "pid (comm) state ..." with the start time the 22nd field; comm may
    // hold anything, so the fields are counted from its closing ")".
    const char *p = strrchr(text, ')');
    for (int field = 2; p && field < 22; field++)
        p = strchr(p + 1, ' ');
    if (!p)
        return -1;
    char *end;
    long long start = strtoll(p + 1, &end, 10);
    return end == p + 1 ? -1 : start;
}

bool process_is(int pid, long long start)
{
    return start >= 0 && process_start_ticks(pid) == start;
}

int pause_seconds(int seconds)
{
    for (int i = 0; i < seconds && !stop_requested(); i++)
        sleep(1);
    return stop_requested() ? -1 : 0;
}
