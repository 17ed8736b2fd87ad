// The NTRIP client: started for each correction cycle, and once at start-up
// for the caster's source table.
#pragma once

#include <sys/types.h>

struct Config;

// Starts "/opt/casterLink/bin/casterlink" for one cycle on "/dev/rtkfeedd"
// without waiting for it; returns its pid, or -1 when no child was made
// (logged). A child that could not execute the client is reaped before
// returning, so the caller sees a client that ended at once. *exec_error
// holds why no client runs (the errno of the start or of the exec), else 0.
pid_t start_client(const Config &cfg, const char *sentence, int *exec_error);

// Sends sig to a client and to whatever it started (its process group).
void signal_client(pid_t client, int sig);

// Ends whatever an earlier daemon, now gone, left running in its session:
// PR_SET_PDEATHSIG ends its clients with it, but not what they started.
// Returns how many processes were ended.
int end_leftovers_of(pid_t earlier_daemon);

// Start-up: queries the source table and writes "/run/mountpoint.ntrip"
// (empty when the query fails).
void write_mountpoint_file(const Config &cfg);
