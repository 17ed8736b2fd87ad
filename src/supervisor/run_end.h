// Within the supervisor: why a client run ended, and what follows from it,
// decided in one place. A new reason to end a client goes here: a value of
// EndReason, its case in what_follows (run_end.cpp), its words in the
// report (report_client_end, report.cpp), and the check in the relay loop
// that ends the client for it (relay.cpp). Pure: no I/O.
#pragma once

#include "base/base.h"

enum EndReason {
    END_NOT_STARTED,  // the client could not be started
    END_BY_ITSELF,    // it ended on its own (a caster gone, a crash)
    END_STOP,         // the daemon is stopping
    END_STALLED,      // ended by the daemon: no corrections for the stall allowance
    END_SWITCH,       // ended by the daemon: a nearer base is due
    END_NO_FIX,       // ended by the daemon: the receiver makes no use of it
};

struct Followup {
    bool stop = false;          // nothing follows: the daemon stops
    long long backoff_run_ms = 0;  // what the back-off counts (0: a failed run)
    RunEnd choice = RUN_GOOD;   // what the choice of base counts
};

// What follows a run that ended for why after run_ms.
Followup what_follows(EndReason why, long long run_ms);
