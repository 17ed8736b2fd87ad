// Readiness waits and burst I/O shared by the relay loop, the position
// acquisition and the diagnostics relay. A leaf of common/: log.cpp and
// io.cpp call nothing else of it; notify.cpp (the service manager) uses
// io.cpp, and service.cpp (the stop latch, the status file, the pauses and
// the stop-aware burst reader) uses all three.
#pragma once

#include <cstddef>
#include <string>

// Waits up to timeout_ms for fd to become readable (or hung up, which a
// reader must also see). Returns poll's result: 1 ready, 0 timed out, -1
// failed (errno).
int wait_readable(int fd, int timeout_ms);

// Whether what a burst has gathered so far is complete in itself: then the
// burst ends as soon as nothing more is waiting to be read.
// ctx is the caller's, handed through.
typedef bool (*BurstComplete)(const char *buf, size_t n, const void *ctx);

// Gathers data that arrives with gaps shorter than wait_ms, up to cap
// bytes. With shared_allowance the wait_ms is one budget for the whole
// burst; otherwise every wait gets wait_ms afresh. With complete, a burst
// that it says is complete does not wait for more. The caller has already
// seen fd readable. Returns the number of bytes read (0 when none).
size_t gather_burst(int fd, char *buf, size_t cap, int wait_ms, bool shared_allowance,
                    BurstComplete complete = nullptr, const void *ctx = nullptr);

// The relay loop's burst: no byte waits in it more than 0.2 s after its
// first byte, so a trickling stream is passed on as it comes; one that
// complete says is complete is passed on at once.
size_t read_burst(int fd, char *buf, unsigned cap, BurstComplete complete = nullptr,
                  const void *ctx = nullptr);


// Writes all n bytes to a non-blocking fd, waiting for the line to drain
// for at most timeout_ms in all. Returns the count written; when it is
// short, errno tells why (EAGAIN when the time ran out).
size_t write_fully(int fd, const char *buf, size_t n, int timeout_ms);

// Replaces the file at path with n bytes of data, created with mode (less
// the umask): written to a temporary file in the same directory and renamed
// over it, so a reader sees the old content or the new, never part of
// either. Returns 0, or -1 with errno set.
int replace_file(const char *path, const char *data, size_t n, unsigned mode);

// Reads a state file of this daemon's (at most cap bytes) into out. Opened
// without blocking and without following a link, and read only when it is
// a regular file, so that nothing another program puts at the path (a
// FIFO, a link, a device) can hold the daemon or lead it elsewhere.
// Returns 0, or -1 with errno: ENOENT when nothing is there, EINVAL when
// what is there is not a regular file, else the error of the read.
int read_state_file(const char *path, std::string *out, size_t cap);
// Why read_state_file failed, in words.
const char *state_file_error(int err);

// Milliseconds on the monotonic clock.
long long monotonic_ms();

// Makes fd non-blocking; returns 0 or -1.
int set_nonblocking(int fd);
