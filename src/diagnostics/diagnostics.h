// Relays the client's standard error (the diagnostics FIFO) into the log.
#pragma once

#include <pthread.h>
#include <string>

// Creates the FIFO afresh; returns 0, or -1 with errno set.
int create_diagnostics_fifo();

// Opens the FIFO's read side in the calling thread, so that the first
// client already finds a reader, and starts the slog thread on it, which
// logs every line the client writes until a stop is requested. Returns 0
// when the thread runs, else -1 (logged).
int start_slog(pthread_t *thread);

// The last line the client wrote (at most 200 bytes, whole UTF-8
// sequences) and when (Unix seconds): true once, for each line that came
// since the last call. The slog thread hands it over without a lock.
bool take_client_said(std::string *text, double *at);
