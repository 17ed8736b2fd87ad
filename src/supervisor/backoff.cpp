#include "supervisor/backoff.h"
#include "common/io.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <sys/random.h>
#include <unistd.h>

static const long long longest_pause_ms = 60000 + 60000 / 4;

long long restart_pause_ms(unsigned failures, double jitter)
{
    if (failures == 0)
        return 1000;
    long long base = failures > 6 ? 60000 : (1000LL << (failures - 1));
    if (base > 60000)
        base = 60000;
    return base + static_cast<long long>(static_cast<double>(base) * 0.25 * jitter);
}

long long note_run(Backoff *b, long long run_ms, long long now, double jitter)
{
    b->failures = run_ms >= GOOD_RUN_MS ? 0 : b->failures + 1;
    long long pause = restart_pause_ms(b->failures, jitter);
    b->next_start = now + pause;
    return pause;
}

double random_jitter()
{
    unsigned x;
    if (getrandom(&x, sizeof x, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof x))
        x = static_cast<unsigned>(getpid()) * 2654435761U ^ static_cast<unsigned>(time(nullptr));
    return static_cast<double>(x) / 4294967296.0;
}

long long boottime_ms()
{
    timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

int load_backoff(Backoff *b, const char *path, long long now)
{
    *b = Backoff();
    std::string text;
    if (read_state_file(path, &text, 256) != 0)
        return errno == ENOENT ? 0 : -1;
    unsigned failures = 0;
    long long next = 0;
    if (sscanf(text.c_str(), "failures %u\nnext_start %lld", &failures, &next) != 2) {
        errno = EINVAL;
        return -1;
    }
    b->failures = failures;
    b->next_start = next - now > longest_pause_ms ? now + longest_pause_ms : next;
    return 0;
}

int save_backoff(const Backoff &b, const char *path)
{
    char text[64];
    int n = snprintf(text, sizeof text, "failures %u\nnext_start %lld\n", b.failures, b.next_start);
    return replace_file(path, text, static_cast<size_t>(n), 0644);
}
