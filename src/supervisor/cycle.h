// Within the supervisor: the correction cycles, run by main. The state,
// split by owner, and where each part lives: state.h.
#pragma once

#include "supervisor/state.h"

// A new cycle state for cfg (which outlives it); no line is open yet.
void init_cycle(Cycle *c, const Config *cfg);

// Runs correction cycles; returns 0 when a stop was requested and -1 on a
// fatal error (logged). Either way the devices are still held.
int run_cycles(Cycle *c);

// Kills a client that is still running, when there is one.
void stop_client(ClientRun *run, Report *report, const Config &cfg);
