// Relays the client's standard error (the diagnostics FIFO) into the log.
#pragma once

#include <cstddef>

// Creates the FIFO afresh; returns 0, or -1 with errno set.
int create_diagnostics_fifo();

// Thread body, started with no argument.
void *slog(void *unused);

// Terminates a burst of len bytes and cuts it at its first line feed;
// buf has room for len + 1 bytes. Returns the text's length.
size_t diag_cut(char *buf, size_t len);
