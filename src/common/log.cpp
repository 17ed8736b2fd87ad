// A message goes to "/dev/log" as one datagram in the format glibc's
// syslog() writes, sent without blocking: glibc blocks while the socket's
// queue is full, and a stalled log daemon would then stall the corrections
// and the stop. What cannot be handed over at once is dropped and counted;
// once the log takes messages again, one warning says how many were lost.
// The socket is never connected: each message is addressed to the path, so
// a log daemon that comes back with a new socket is found at once, and the
// descriptor, shared by every thread, never changes.
#include "common/log.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

static int log_fd = -1;
static const char *log_identity = "rtkfeedd";
static sockaddr_un log_addr;
static std::atomic<unsigned long> dropped_now{0};
static std::atomic<unsigned long> dropped_total{0};
static std::atomic<bool> log_refusing{false};
static bool log_stderr = false;
static_assert(std::atomic<unsigned long>::is_always_lock_free, "log counters must be lock-free");

void log_open(const char *identity)
{
    log_identity = identity;
    tzset();
    log_addr.sun_family = AF_UNIX;
    strcpy(log_addr.sun_path, "/dev/log");
    log_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

void log_to_stderr()
{
    log_stderr = true;
}

unsigned long log_dropped_total()
{
    return dropped_total.load(std::memory_order_relaxed);
}

// Sends "<PRI>Mmm dd hh:mm:ss rtkfeedd[pid]: text", as glibc writes it;
// false when the log did not take it at once.
static bool send_entry(int priority, const char *text)
{
    if (log_fd < 0)
        return false;
    char buf[2304];
    time_t now = time(nullptr);
    tm local;
    localtime_r(&now, &local);
    int n = snprintf(buf, sizeof buf, "<%d>", LOG_DAEMON | priority);
    n += static_cast<int>(strftime(buf + n, sizeof buf - n, "%h %e %T ", &local));
    n += snprintf(buf + n, sizeof buf - n, "%s[%d]: %s", log_identity, static_cast<int>(getpid()), text);
    size_t len = n < static_cast<int>(sizeof buf) ? static_cast<size_t>(n) : sizeof buf - 1;
    // A log that took the last message gets a moment for a burst (its
    // queue may hold only ten); one that refused it gets none, so that a
    // stalled log costs the sender that moment once, not per message.
    int grace = log_refusing.load(std::memory_order_relaxed) ? 0 : 4;
    for (;;) {
        ssize_t w = sendto(log_fd, buf, len, MSG_DONTWAIT | MSG_NOSIGNAL,
                           reinterpret_cast<const sockaddr *>(&log_addr), sizeof log_addr);
        if (w >= 0) {
            log_refusing.store(false, std::memory_order_relaxed);
            return true;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN || grace-- == 0)
            break;
        usleep(5 * 1000);
    }
    log_refusing.store(true, std::memory_order_relaxed);
    return false;
}

static void log_v(int priority, const char *fmt, va_list ap)
{
    int saved = errno;  // the caller's errno survives the logging
    char text[2048];
    int n = vsnprintf(text, sizeof text - 1, fmt, ap);
    if (log_stderr) {
        size_t len = n < 0 ? 0 : n < static_cast<int>(sizeof text) - 1 ? static_cast<size_t>(n)
                                                                        : sizeof text - 2;
        text[len] = '\n';
        if (write(2, text, len + 1) < 0) {
        }
        errno = saved;
        return;
    }
    if (!send_entry(priority, text)) {
        dropped_now.fetch_add(1, std::memory_order_relaxed);
        dropped_total.fetch_add(1, std::memory_order_relaxed);
    } else if (unsigned long lost = dropped_now.exchange(0, std::memory_order_relaxed)) {
        snprintf(text, sizeof text,
                 "%lu log messages were dropped while the system log was not taking them", lost);
        if (!send_entry(LOG_WARNING, text))
            dropped_now.fetch_add(lost, std::memory_order_relaxed);
    }
    errno = saved;
}

void log_err(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    log_v(LOG_ERR, fmt, ap);
    va_end(ap);
}

void log_notice(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    log_v(LOG_NOTICE, fmt, ap);
    va_end(ap);
}

void log_warning(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    log_v(LOG_WARNING, fmt, ap);
    va_end(ap);
}
