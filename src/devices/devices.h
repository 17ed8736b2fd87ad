// Serial lines, device lock files and published pseudo-terminals.
#pragma once

// Opens a serial device (or a pty standing in for one) non-blocking and
// raw with the given line settings; returns the descriptor or -1 (logged).
int open_serial(const char *path, unsigned baud, unsigned databits, const char *parity,
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
