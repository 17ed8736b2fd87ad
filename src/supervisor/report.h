// Within the supervisor: the report (Report, state.h).
#pragma once

#include "supervisor/run_end.h"
#include "supervisor/state.h"

// A new report for this daemon: its pid, start and target device, and the
// metrics file of the settings.
void init_report(Report *r, const Config &cfg);

// Writes the health report, and the metrics when configured, now: at every
// change of the status, the client, the target or the receiver's fix.
// Tells the service manager the status in words when that changed.
void report_write(Report *r, const Lines &lines);

// Writes it when the receiver's fix changed (at once, then at most every
// 5 s: a fix that flips between float and fixed each second under trees
// costs no more than the counters), when counters changed and the last
// write is 5 s old, or when it is a minute old (the file's time shows a
// collector that the daemon lives). Returns when the next is due
// (monotonic ms), barring a change of the fix.
long long report_if_due(Report *r, const Lines &lines);
// Whether a report is due now by that rule (fix_changed: the fix differs
// from the one it showed).
bool report_is_due(const Report &r, bool fix_changed, long long now);

// The client has ended, for why: status as waitpid gives it, or -1 when
// unknown.
void report_client_end(Report *r, EndReason why, int status, const Config &cfg);
