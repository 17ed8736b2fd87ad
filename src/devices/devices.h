// Serial lines, device lock files and published pseudo-terminals.
#pragma once

// Opens a serial device (or a pty standing in for one) non-blocking and
// raw with the given line settings; returns the descriptor or -1 (logged).
int open_serial(const char *path, unsigned baud, unsigned databits, const char *parity,
                unsigned stopbits);

// A serial line that went away (unplugged, re-enumerated) is tried again
// after 1 s, 2 s, 4 s ... at most 30 s apart, its lock kept meanwhile.
struct LineRetry {
    long long due_ms = 0;  // monotonic ms of the next try
    int pause_s = 1;       // the pause before it
};
// The line is gone now: the first try comes a second later.
void retry_from(LineRetry *r, long long now_ms);
// A try failed: the next comes twice as late, at most 30 s.
void retry_failed(LineRetry *r, long long now_ms);
// Whether a line shows that it is gone: its device went away (hung up) or,
// for a pty standing in for one, its other end closed.
bool line_hung_up(int fd);
// Opens a line that is to come back: quiet while its device node is
// absent, as open_serial otherwise.
int reopen_serial(const char *path, unsigned baud, unsigned databits, const char *parity,
                  unsigned stopbits);

// Takes the lock file "/run/lock/LCK..<base name>" for this process, waiting
// up to timeout_seconds for a live holder to let go; 0 when taken, else -1.
int lock_device(const char *device, int timeout_seconds);
// Removes the device's lock file; 0 or -1.
int unlock_device(const char *device);

// Publishes a new pseudo-terminal's slave at link_path, owned by the real
// user and the service group, in raw mode; returns the master
// (non-blocking) or -1 (logged).
int open_pty_link(const char *link_path);

// Removes whatever link or file stands at path, without following links.
// Returns 0 when nothing is left there, else -1.
int remove_link(const char *path);
