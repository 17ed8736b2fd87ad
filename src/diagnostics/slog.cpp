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

size_t diag_cut(char *buf, size_t len)
{
    buf[len] = '\0';
    char *lf = strchr(buf, '\n');
    if (lf)
        *lf = '\0';
    return strlen(buf);
}

void *slog(void *)
{
    int fd = open(fifo_path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        log_err("%s - cannot %s fifo: %s", "slog", "open", strerror(errno));
        return nullptr;
    }
    // Our own writer keeps the FIFO from reading as end-of-file between
    // clients, so the wait below really waits.
    int keeper = open(fifo_path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    char line[1024];
    while (!stop_requested()) {
        long n = next_burst(fd, line, sizeof line - 1, 2000, 1000);
        if (n < 0) {
            log_err("%s - select error: %s", "slog", strerror(errno));
            sleep(1);
        } else if (n > 0) {
            diag_cut(line, static_cast<size_t>(n));
            log_err("%s", line);
        }
    }
    if (keeper >= 0)
        close(keeper);
    close(fd);
    return nullptr;
}
