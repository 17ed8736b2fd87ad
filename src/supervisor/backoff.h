// Within the supervisor: the pause before each client start. Public casters
// throttle or ban an address that reconnects every second or two, so a
// client that keeps failing is started less and less often.
#pragma once

// A run shorter than this (start to end), or a start that fails, is a
// failed run.
enum { GOOD_RUN_MS = 30000 };

struct Backoff {
    unsigned failures = 0;       // failed runs in a row
    long long next_start = 0;    // boot-clock ms before which no client starts
};

// The pause after `failures` failed runs in a row: 1 s after none, else
// min(60, 2^(failures-1)) s lengthened by jitter (in [0, 1)) times 25 %, so
// that routers coming back after an outage do not reconnect in step.
long long restart_pause_ms(unsigned failures, double jitter);

// Counts a run that lasted run_ms (0 for a start that failed) and sets the
// next start; returns the pause.
long long note_run(Backoff *b, long long run_ms, long long now, double jitter);

// A random number in [0, 1) for the jitter.
double random_jitter();

// Milliseconds on the boot clock: it keeps counting while the system
// sleeps and starts afresh with each boot, as "/run" does.
long long boottime_ms();

// The state kept under "/run" for a daemon restarted in the same boot:
// 0 when read or missing (none), -1 with errno when what is there cannot
// be used (EINVAL: not a regular file, or not a back-off file); then none.
// A pause read from the file is never longer than the longest one.
int load_backoff(Backoff *b, const char *path, long long now);
int save_backoff(const Backoff &b, const char *path);
