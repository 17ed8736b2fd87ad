// Within the devices subsystem, its tests and its fuzz target.
#pragma once

#include "devices/devices.h"

#include <cstdint>
#include <termios.h>

// The line speed for a baud rate setting (9600 for anything unknown).
speed_t baud_to_speed(unsigned baud);

// The attributes open_serial applies, composed over the current ones.
termios compose_termios(const termios &current, unsigned baud, unsigned databits,
                        const char *parity, unsigned stopbits);

// lock_device and unlock_device in the lock directory dir.
int lock_device_in(const char *dir, const char *device, int timeout_seconds);
int unlock_device_in(const char *dir, const char *device);

// Lock file content: "%10d\n" of the pid; parsing gives 0 when unreadable.
void format_lock_content(int pid, char out[12]);
int parse_lock_pid(const char *text);
