#include "common/service.h"
#include "common/io.h"
#include "common/log.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
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

int pause_seconds(int seconds)
{
    for (int i = 0; i < seconds && !stop_requested(); i++)
        sleep(1);
    return stop_requested() ? -1 : 0;
}
