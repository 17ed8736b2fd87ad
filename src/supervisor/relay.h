// Within the supervisor: the relay loop of one client run.
#pragma once

#include "supervisor/run_end.h"
#include "supervisor/state.h"

struct RunOutcome {
    EndReason why = END_BY_ITSELF;
    bool ended = false;  // the client was reaped (not so at a stop)
    int status = -1;     // its status as waitpid gives it, -1 when unknown
};

// Relays until the client ends or a stop is requested: corrections from
// the client's pty to the target line, positions from the source to the
// client. Ends the client when the watchdog, a switch or the no-fix timer
// says so, and returns why the run ended; what follows is the cycle's.
RunOutcome relay_loop(const Config &cfg, Lines *lines, ClientRun *run, Choice *choice,
                      Report *report, char *buf, size_t cap);
