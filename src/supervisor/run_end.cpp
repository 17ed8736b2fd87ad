#include "supervisor/run_end.h"
#include "supervisor/backoff.h"

Followup what_follows(EndReason why, long long run_ms)
{
    Followup f;
    switch (why) {
    case END_STOP:
        // Not a failed run, and the back-off stays where it was, or every
        // restart of the service (settings saved in the web interface)
        // would lengthen the next pause.
        f.stop = true;
        break;
    case END_NOT_STARTED:
        f.choice = RUN_FAILED;
        break;
    case END_BY_ITSELF:
        f.backoff_run_ms = run_ms;
        f.choice = run_ms >= GOOD_RUN_MS ? RUN_GOOD : RUN_FAILED;
        break;
    case END_STALLED:
        // However long it ran: a caster that accepts connections but sends
        // nothing is asked less and less often.
        f.choice = RUN_FAILED;
        break;
    case END_NO_FIX:
        // So is one whose corrections the receiver did not use.
        f.choice = RUN_NO_FIX;
        break;
    case END_SWITCH:
        // A switch to a nearer base is none: it comes after 30 s.
        f.backoff_run_ms = run_ms;
        f.choice = RUN_SWITCHED;
        break;
    }
    return f;
}
