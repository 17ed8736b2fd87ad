// Within the supervisor: the lines (Lines, state.h). A line that goes away
// (unplugged, re-enumerated) is closed, its lock kept, and opened again
// after 1 s, 2 s, 4 s ... at most 30 s apart.
#pragma once

#include "supervisor/state.h"

// Whether the position comes from the target line itself.
bool source_is_target(const Config &cfg);

// Locks and opens the target line; 0 when done, -1 after logging why not.
int take_target(Lines *l, const Config &cfg);

// The target line went away (err says how); the report is written.
// lost_now: bytes of the burst that found it gone, counted as dropped
// already.
void lose_target(Lines *l, Report *r, int err, uint64_t lost_now);
// Opens the target line again when it was lost and its retry is due; it is
// the source too when the position comes from it and client_runs. The
// report is written when it is back.
void retry_target(Lines *l, Report *r, const Config &cfg, bool client_runs);

// A source line of the cycle's own went away during the relay, and its
// retry.
void lose_source(Lines *l, const Config &cfg);
void retry_source(Lines *l, const Config &cfg);
// A source of the cycle's own is given back after a run.
void release_source(Lines *l, const Config &cfg);

// Removes "/dev/rtkfeedd", closes the master and the target, and removes the
// target's lock: the release order of both the shutdown and the fatal exit.
void release_lines(Lines *l);
