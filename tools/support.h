// Terminals and writes for the tools, the tests and the benchmark.
#pragma once

#include <cstddef>
#include <string>

// Opens a new pseudo-terminal in raw mode (close-on-exec) and publishes its
// slave at link, replacing whatever stands there. Returns the master, or -1
// with errno set; the slave's path goes to slave when it is not null.
int publish_pty(const char *link, char slave[64]);

// Puts a terminal into raw mode, as a receiver's line would be.
void make_raw(int fd);

// Writes all n bytes through interruptions and partial writes; false when
// a write fails.
bool write_all(int fd, const void *data, size_t n);

// An NMEA sentence of body (what goes between "$" and "*"), with its
// checksum, without a line ending.
std::string nmea_sentence(const std::string &body);
