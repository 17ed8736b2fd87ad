#include "diagnostics/diagnostics_internal.h"
#include "common/io.h"
#include "common/log.h"
#include "common/service.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static const char fifo_path[] = "/var/run/casterLink.fifo";

int create_diagnostics_fifo()
{
    unlink(fifo_path);
    return mkfifo(fifo_path, 0666);
}

size_t diag_split(char *buf, size_t len, char *lines[], size_t max)
{
    buf[len] = '\0';
    size_t count = 0;
    char *start = buf, *end = buf + len;
    while (start < end) {
        char *lf = static_cast<char *>(memchr(start, '\n', static_cast<size_t>(end - start)));
        if (lf)
            *lf = '\0';
        if (count < max)
            lines[count] = start;
        count++;
        if (!lf)
            break;
        start = lf + 1;
    }
    return count;
}

bool diag_take(DiagBudget *b, long long now_ms)
{
    long long second = now_ms / 1000;
    if (second != b->second) {
        b->second = second;
        b->logged = 0;
    }
    if (b->logged < DIAG_LINES_PER_SECOND) {
        b->logged++;
        return true;
    }
    b->held_back++;
    return false;
}

unsigned diag_held_back(DiagBudget *b, long long now_ms)
{
    if (b->held_back == 0 || now_ms / 1000 == b->second)
        return 0;
    unsigned n = b->held_back;
    b->held_back = 0;
    return n;
}

std::string said_text(const char *line)
{
    size_t len = strlen(line);
    if (len > 0 && line[len - 1] == '\r')
        len--;
    if (len > 200) {
        len = 200;
        // Back over continuation bytes, at most three: a sequence cut in
        // two would show as a broken character.
        for (int i = 0; i < 3 && (static_cast<unsigned char>(line[len]) & 0xC0) == 0x80; i++)
            len--;
    }
    return std::string(line, len);
}

struct Said {
    std::string text;
    double at;
};
// Written by slog, taken by the main thread: each owns what it holds.
static std::atomic<Said *> latest_said{nullptr};
static_assert(std::atomic<Said *>::is_always_lock_free, "the hand-over must be lock-free");

static void hand_over(const char *line)
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    Said *s = new Said{said_text(line), static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9};
    delete latest_said.exchange(s, std::memory_order_acq_rel);
}

bool take_client_said(std::string *text, double *at)
{
    Said *s = latest_said.exchange(nullptr, std::memory_order_acq_rel);
    if (!s)
        return false;
    *text = s->text;
    *at = s->at;
    delete s;
    return true;
}

struct Reader {
    int fd;      // the FIFO's read side
    int keeper;  // a writer of our own, or -1
};

static void *slog(void *arg)
{
    Reader *r = static_cast<Reader *>(arg);
    char burst[1024];
    char *lines[64];
    DiagBudget budget;
    while (!stop_requested()) {
        // Asleep until the client says something or a stop comes; only a
        // count of lines held back has to be told when its second is over.
        int wait_ms = budget.held_back != 0 || stop_fd() < 0 ? 1000 : -1;
        long n = next_burst(r->fd, burst, sizeof burst - 1, wait_ms, 1000);
        long long now = monotonic_ms();
        if (unsigned held = diag_held_back(&budget, now))
            log_err("%u lines from casterlink were not logged (more than %d a second)", held,
                    DIAG_LINES_PER_SECOND);
        if (n < 0) {
            log_err("%s - select error: %s", "slog", strerror(errno));
            sleep(1);
            continue;
        }
        size_t count = n > 0 ? diag_split(burst, static_cast<size_t>(n), lines, 64) : 0;
        for (size_t i = 0; i < count && i < 64; i++) {
            if (diag_take(&budget, now))
                log_err("%s", lines[i]);
        }
        // A burst's last line may be empty: the line feed that ended the
        // one before.
        size_t last = count > 64 ? 64 : count;
        while (last > 0 && lines[last - 1][0] == '\0')
            last--;
        if (last > 0)
            hand_over(lines[last - 1]);
    }
    if (r->keeper >= 0)
        close(r->keeper);
    close(r->fd);
    return nullptr;
}

int start_slog(pthread_t *thread)
{
    static Reader reader;
    reader.fd = open(fifo_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (reader.fd < 0) {
        log_err("%s - cannot %s fifo: %s", "slog", "open", strerror(errno));
        return -1;
    }
    // Our own writer keeps the FIFO from reading as end-of-file between
    // clients, so the wait really waits.
    reader.keeper = open(fifo_path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (pthread_create(thread, nullptr, slog, &reader) != 0) {
        if (reader.keeper >= 0)
            close(reader.keeper);
        close(reader.fd);
        return -1;
    }
    return 0;
}
