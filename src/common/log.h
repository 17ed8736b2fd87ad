// One thin logger over the system log socket, so that every message is
// checked against its arguments at compile time, and so that a log daemon
// that stops reading never holds up the relay or the stop.
#pragma once

#define RTK_PRINTF(a, b) __attribute__((format(printf, a, b)))

// Identity "rtkfeedd" (or the publisher's), with the pid, facility daemon.
void log_open(const char *identity = "rtkfeedd");
// Instead, each message as one line on standard error: for a client the
// daemon runs, whose standard error the daemon logs.
void log_to_stderr();
void log_err(const char *fmt, ...) RTK_PRINTF(1, 2);
void log_notice(const char *fmt, ...) RTK_PRINTF(1, 2);
void log_warning(const char *fmt, ...) RTK_PRINTF(1, 2);

// Messages the log did not take at once and that were dropped, in all.
unsigned long log_dropped_total();
