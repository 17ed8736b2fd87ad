#include "common/io.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

long long monotonic_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

int wait_readable(int fd, int timeout_ms)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms);
}

size_t gather_burst(int fd, char *buf, size_t cap, int wait_ms, bool shared_allowance,
                    BurstComplete complete, const void *ctx)
{
    size_t total = 0;
    long long start = monotonic_ms(), deadline = start + wait_ms, last_read = -1;
    while (total < cap) {
        ssize_t r = read(fd, buf + total, cap - total);
        if (r <= 0)
            break;
        total += static_cast<size_t>(r);
        if (total == cap)
            break;
        int wait_now_ms = wait_ms;
        if (shared_allowance) {
            long long now = monotonic_ms(), left_ms = deadline - now;
            // A piece is not expected sooner than the gap before this one:
            // when that is beyond the allowance, waiting would only end in
            // a time-out, a wake-up for nothing.
            bool next_too_late = last_read >= 0 && now - last_read > left_ms;
            last_read = now;
            if (left_ms <= 0 || next_too_late)
                break;
            wait_now_ms = static_cast<int>(left_ms);
        }
        // Complete: only what is already waiting joins it.
        if (complete && complete(buf, total, ctx))
            wait_now_ms = 0;
        if (wait_readable(fd, wait_now_ms) <= 0)
            break;
    }
    return total;
}

size_t read_burst(int fd, char *buf, unsigned cap, BurstComplete complete, const void *ctx)
{
    return gather_burst(fd, buf, cap, 200, true, complete, ctx);
}


size_t write_fully(int fd, const char *buf, size_t n, int timeout_ms)
{
    size_t done = 0;
    long long deadline = monotonic_ms() + timeout_ms;
    while (done < n) {
        ssize_t w = write(fd, buf + done, n - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno != EAGAIN)
            return done;
        long long left_ms = deadline - monotonic_ms();
        if (left_ms <= 0) {
            errno = EAGAIN;
            return done;
        }
        pollfd p = {fd, POLLOUT, 0};
        int r = poll(&p, 1, static_cast<int>(left_ms));
        if (r == 0) {
            errno = EAGAIN;
            return done;
        }
        if (r < 0 && errno != EINTR)
            return done;
        if (r > 0 && !(p.revents & POLLOUT)) {
            // Hung up or in error: the next write would only fail again.
            errno = EIO;
            return done;
        }
    }
    return done;
}

// The umask, read once: the first call comes from the main thread before
// any other thread exists, so its brief change cannot touch another file.
static mode_t process_umask()
{
    static mode_t mask = [] {
        mode_t m = umask(022);
        umask(m);
        return m;
    }();
    return mask;
}

// Puts the finished temporary file at path. A plain rename over an existing
// file makes ext4 allocate and write out the new file at once, its guard
// for programs that replace files without syncing them; for a report
// replaced every few seconds that is a disk write each time, and a third or
// more of the replacement's cost. Exchanging the two names and removing the
// old file instead leaves the new one to ordinary writeback, which a file
// replaced within half a minute never reaches; what is lost to a power cut
// is state that the next start writes afresh. Where there is nothing
// to exchange with, or the exchange fails for any other reason (a kernel or
// file system without it), it is a plain rename, whose error is the one told.
static int swap_into_place(const char *tmp, const char *path)
{
#ifdef SYS_renameat2
    const unsigned exchange = 1 << 1;  // RENAME_EXCHANGE; not in every libc's headers
    if (syscall(SYS_renameat2, AT_FDCWD, tmp, AT_FDCWD, path, exchange) == 0) {
        if (unlink(tmp) == 0)
            return 0;
        // A directory at path: it is put back and the replacement fails, as
        // a rename over it would.
        int e = errno;
        syscall(SYS_renameat2, AT_FDCWD, tmp, AT_FDCWD, path, exchange);
        errno = e;
        return -1;
    }
#endif
    return rename(tmp, path);
}

int replace_file(const char *path, const char *data, size_t n, unsigned mode)
{
    char tmp[256];
    if (snprintf(tmp, sizeof tmp, "%s.XXXXXX", path) >= static_cast<int>(sizeof tmp)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int fd = mkostemp(tmp, O_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t done = 0;
    ssize_t w = 0;
    while (done < n && ((w = write(fd, data + done, n - done)) > 0 || errno == EINTR))
        done += w > 0 ? static_cast<size_t>(w) : 0;
    int r = done == n && fchmod(fd, mode & ~process_umask()) == 0 ? 0 : -1;
    int e = errno;
    if (close(fd) != 0 && r == 0) {
        r = -1;
        e = errno;
    }
    if (r == 0 && swap_into_place(tmp, path) != 0) {
        r = -1;
        e = errno;
    }
    if (r != 0)
        unlink(tmp);
    errno = e;
    return r;
}

int read_state_file(const char *path, std::string *out, size_t cap)
{
    out->clear();
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ELOOP)
            errno = EINVAL;  // a link
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    char buf[4096];
    ssize_t n = 0;
    while (out->size() < cap && ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)))
        out->append(buf, n > 0 ? static_cast<size_t>(n) : 0);
    int e = errno;
    close(fd);
    if (n < 0) {
        errno = e;
        return -1;
    }
    if (out->size() > cap)
        out->resize(cap);
    return 0;
}

const char *state_file_error(int err)
{
    return err == EINVAL ? "not a regular file" : strerror(err);
}

int set_nonblocking(int fd)
{
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0)
        return -1;
    return fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}
