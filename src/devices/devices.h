// Serial lines, device lock files and published pseudo-terminals.
#pragma once

#include <cstdint>
#include <termios.h>

// Opens a serial device (or a pty standing in for one) non-blocking and
// raw with the given line settings; returns the descriptor or -1.
int open_serial(const char *path, unsigned baud, unsigned databits, const char *parity,
                unsigned stopbits);

// The line speed for a baud rate setting (9600 for anything unknown).
speed_t baud_to_speed(unsigned baud);

// The attributes open_serial applies, composed over the current ones.
termios compose_termios(const termios &current, unsigned baud, unsigned databits,
                        const char *parity, unsigned stopbits);

// Device lock files in "/run/lock". lock_device returns 1 when taken, 0 when
// the timeout ran out; the _in forms take the lock directory.
int lock_device(const char *device, int timeout_seconds);
int unlock_device(const char *device);
int lock_device_in(const char *dir, const char *device, int timeout_seconds);
int unlock_device_in(const char *dir, const char *device);

bool pid_alive(int pid);
int64_t monotonic_seconds();

// Lock file content: "%10d\n" of the pid; parsing gives 0 when unreadable.
void format_lock_content(int pid, char out[12]);
int parse_lock_pid(const char *text);

// Publishes a new pseudo-terminal's slave at link_path, owned by the real
// user and the service group, in raw mode; returns the master
// (non-blocking) or < 0.
int open_pty_link(const char *link_path);

// Removes whatever link or file stands at path, without following links.
// Returns 0 when nothing is left there, else the unlink result.
int remove_link(const char *path);
