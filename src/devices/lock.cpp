#include "devices/devices_internal.h"
#include "common/io.h"
#include "common/service.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static void lock_path(const char *dir, const char *device, char out[64])
{
    const char *slash = strrchr(device, '/');
    snprintf(out, 64, "%s/LCK..%s", dir, slash ? slash + 1 : device);
}


void format_lock_content(int pid, char out[12])
{
    snprintf(out, 12, "%10d\n", pid);
}

int parse_lock_pid(const char *text)
{
    int pid = 0;
    if (sscanf(text, "%d", &pid) != 1)
        return 0;
    return pid;
}

// The pid a lock file names, or 0 when it names none. Only a regular file's
// content counts: anyone may create things in the lock directory, and a
// link, a FIFO, a directory or a socket standing at the path names no
// process. Opened without following links and without blocking, so that a
// FIFO planted there cannot hold the daemon; -1 when it cannot be read.
static int read_lock_pid(const char *path)
{
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return errno == ELOOP || errno == ENXIO ? 0 : -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return 0;
    }
    char text[32];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    text[n > 0 ? n : 0] = '\0';
    return parse_lock_pid(text);
}

// Removes a stale lock, whatever it is.
static void remove_stale(const char *path)
{
    if (unlink(path) != 0 && errno == EISDIR)
        rmdir(path);
}

int lock_device_in(const char *dir, const char *device, int timeout_seconds)
{
    char path[64];
    lock_path(dir, device, path);
    long long deadline = monotonic_ms() + timeout_seconds * 1000LL;
    for (;;) {
        struct stat st;
        if (lstat(path, &st) == 0) {
            int pid = read_lock_pid(path);
            if (pid >= 0 && !pid_alive(pid))
                remove_stale(path);
        }
        int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                      0644);
        if (fd >= 0) {
            char content[12];
            format_lock_content(getpid(), content);
            ssize_t w = write(fd, content, 11);
            close(fd);
            if (w == 11)
                return 0;
        }
        if (stop_requested() || monotonic_ms() > deadline)
            return -1;
        usleep(100 * 1000);
    }
}

int unlock_device_in(const char *dir, const char *device)
{
    char path[64];
    lock_path(dir, device, path);
    return unlink(path);
}

int lock_device(const char *device, int timeout_seconds)
{
    return lock_device_in("/run/lock", device, timeout_seconds);
}

int unlock_device(const char *device)
{
    return unlock_device_in("/run/lock", device);
}
