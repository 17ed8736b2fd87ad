// The service manager's notifications (systemd's Type=notify and its
// watchdog): a datagram to NOTIFY_SOCKET, written with plain sockets, since
// routers without systemd have no library for it. Nothing here blocks or
// fails the daemon: a manager that does not listen misses a message.
#include "common/service.h"
#include "common/io.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static int notify_fd = -1;
static sockaddr_un notify_addr;
static socklen_t notify_len = 0;
static long long ping_every_ms = 0;  // 0: no watchdog
static std::atomic<long long> last_ping_ms{0};
static long long (*tick_observer)() = nullptr;
static long long observer_due_ms = 0;  // main thread only

void notify_open()
{
    const char *path = getenv("NOTIFY_SOCKET");
    const char *usec = getenv("WATCHDOG_USEC");
    const char *for_pid = getenv("WATCHDOG_PID");
    size_t n = path ? strlen(path) : 0;
    if (n > 1 && n < sizeof notify_addr.sun_path && (path[0] == '/' || path[0] == '@')) {
        notify_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        notify_addr = sockaddr_un();
        notify_addr.sun_family = AF_UNIX;
        memcpy(notify_addr.sun_path, path, n);
        if (path[0] == '@')
            notify_addr.sun_path[0] = '\0';  // an abstract name
        notify_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
    }
    long long interval_us = usec ? atoll(usec) : 0;
    bool ours = !for_pid || atoll(for_pid) == getpid();
    // Four pings an interval: the loops that send them wait no longer than
    // the next ping is due (keep_alive_wait_ms), so none is late. Never more
    // than ten a second, whatever the unit says: the loops must not spin.
    if (notify_fd >= 0 && ours && interval_us > 0)
        ping_every_ms = interval_us / 4000 > 100 ? interval_us / 4000 : 100;
    // The client is not the service: it must not speak for it.
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    unsetenv("WATCHDOG_PID");
}

void notify(const std::string &state)
{
    if (notify_fd < 0)
        return;
    sendto(notify_fd, state.data(), state.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr *>(&notify_addr), notify_len);
    if (state.find("WATCHDOG=1") != std::string::npos)
        last_ping_ms.store(monotonic_ms(), std::memory_order_relaxed);
}

void set_tick_observer(long long (*observer)())
{
    tick_observer = observer;
}

void keep_alive()
{
    if (ping_every_ms > 0 &&
        monotonic_ms() - last_ping_ms.load(std::memory_order_relaxed) >= ping_every_ms)
        notify("WATCHDOG=1");
    if (tick_observer)
        observer_due_ms = tick_observer();
}

int keep_alive_wait_ms(int wait_ms)
{
    long long due = observer_due_ms;
    if (ping_every_ms > 0) {
        long long ping_due = last_ping_ms.load(std::memory_order_relaxed) + ping_every_ms;
        if (due == 0 || ping_due < due)
            due = ping_due;
    }
    if (due == 0)
        return wait_ms;
    long long left = due - monotonic_ms();
    if (left < 0)
        left = 0;
    return wait_ms < 0 || left < wait_ms ? static_cast<int>(left) : wait_ms;
}
