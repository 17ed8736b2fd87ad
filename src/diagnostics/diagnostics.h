// Relays the client's standard error (the diagnostics FIFO) into the log.
#pragma once

// Creates the FIFO afresh; returns 0, or -1 with errno set.
int create_diagnostics_fifo();

// Thread body, started with no argument: logs what the client writes to
// the FIFO until a stop is requested.
void *slog(void *unused);
