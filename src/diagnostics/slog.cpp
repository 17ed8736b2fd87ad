#include "diagnostics/diagnostics_internal.h"
#include "common/io.h"
#include "common/log.h"
#include "common/service.h"

#include <cerrno>
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
        for (size_t i = 0; i < count; i++) {
            if (diag_take(&budget, now) && i < 64)
                log_err("%s", lines[i]);
        }
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
