// Within the supervisor: its state, split by owner. Each part is changed
// by the file named beside it, and functions take the part they work on
// (const where they only read); only the cycle's top level (cycle.cpp,
// and main.cpp that holds it) has them all.
//   main.cpp     start-up and shutdown in order
//   cycle.cpp    the correction cycles: start a client, relay, then what
//                follows its end (run_end.h: why it ended, and what then)
//   relay.cpp    the relay loop of one client run; returns why it ended
//   lines.cpp    Lines: the pty master, the target and the source
//   choice.cpp   Choice: the choice of base (base/ decides, pure)
//   report.cpp   Report: the health report, the metrics and the service
//                manager's status, with their cadence
//   backoff.cpp  Backoff: the pause before each client start (pure)
// Calls go down that list, never back up: the relay loop returns to the
// cycle instead of calling it.
#pragma once

#include "base/base.h"
#include "client/client.h"
#include "devices/devices.h"
#include "health/health.h"
#include "nmea/nmea.h"
#include "supervisor/backoff.h"

#include <cstdint>
#include <string>
#include <sys/types.h>

struct Config;

// The lines (lines.cpp).
struct Lines {
    int master = -1;                    // pty master of "/dev/rtkfeedd", < 0 when closed
    const char *target_path = nullptr;  // null until the target is taken
    int target = -1;                    // -1 when closed
    bool target_locked = false;
    // While the target line is gone (target -1 after it was taken): when
    // it is tried again, and the report's dropped bytes when it went.
    LineRetry target_retry;
    uint64_t dropped_at_loss = 0;
    int source = -1;  // -1, the target, or a descriptor of the cycle's own
    // A source line of the cycle's own that went away during the relay:
    // closed, its lock kept, and tried again when due.
    bool source_lost = false;
    LineRetry source_retry;
};

// The client run in progress (started by cycle.cpp, watched by relay.cpp).
struct ClientRun {
    pid_t watcher = 0;       // the client's watcher; 0 when none runs (or it was reaped)
    long long started = 0;   // boot-clock ms of its start
    // Monotonic ms of the receiver's last differential fix (or the start),
    // of its last GGA and of the last whole frame to it: the no-fix timer's,
    // which a clock set by NTP after boot must not move.
    long long last_differential = 0, last_gga_ms = 0, last_frame_ms = 0;
};

// The choice of base (choice.cpp): the configured caster's source table as
// last read, when it was last asked for (monotonic s) and whether that
// query read it, and the "host:port/mountpoint" that
// "/run/mountpoint.ntrip" describes.
struct Choice {
    BaseChoice base;
    std::string table;
    double table_read_at = 0;
    bool table_read = false;
    std::string described;
    TableQuery query;  // the table asked for again while a client runs
};

// The report (report.cpp): "/run/rtkfeedd.json", the metrics file and the
// status the service manager was told.
struct Report {
    Health health;
    std::string metrics_path;  // empty: no metrics file
    long long next_start = 0;  // boot-clock ms before which no client starts
    long long written = 0;     // monotonic ms of the last write
    bool dirty = false;        // counters changed since
    int shown_fix = -1;        // the receiver's fix quality it showed, -1 none
    long long fix_written = -1000000;  // monotonic ms of the last write for a change of fix
    std::string told_status;   // the last STATUS= the service manager got
};

struct Cycle {
    const Config *cfg = nullptr;
    Lines lines;
    ClientRun run;
    Backoff backoff;
    Choice choice;
    Report report;
    char sentence[SENTENCE_SIZE] = {};
    char relay[1024];
};
