// One thin wrapper over syslog, so that every message is checked against
// its arguments at compile time.
#pragma once

#define RTK_PRINTF(a, b) __attribute__((format(printf, a, b)))

void log_open();
void log_err(const char *fmt, ...) RTK_PRINTF(1, 2);
void log_notice(const char *fmt, ...) RTK_PRINTF(1, 2);
