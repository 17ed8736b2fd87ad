// Within the supervisor: the main thread's data path (target device,
// correction cycles, release), run by main.
#pragma once

#include "health/health.h"
#include "nmea/nmea.h"
#include "base/base.h"
#include "supervisor/backoff.h"
#include "devices/devices.h"

#include <sys/types.h>

struct Config;

struct DataPath {
    const Config *cfg;
    int master;               // the pty master of "/dev/rtkfeedd", < 0 when closed
    const char *target_path;  // null until the target is taken
    int target;               // -1 when closed
    bool target_locked;
    int source;               // -1, the target, or a descriptor of the cycle's own
    // A source line of the cycle's own that went away during the relay:
    // closed, its lock kept, and tried again when due.
    bool source_lost;
    LineRetry source_retry;
    pid_t client;             // the client's watcher; 0 when none is running
                              // (or it was reaped)
    // While the target line is gone (target -1 after it was taken): when it
    // is tried again, and the report's dropped bytes when it went.
    LineRetry target_retry;
    uint64_t dropped_at_loss;
    Backoff backoff;          // when the next client may start
    long long client_started; // boot-clock ms of the running client's start
    bool stalled;             // the running client is being ended for silence
    bool switching;           // ... for a switch to a nearer base
    bool no_fix;              // ... since the receiver makes no use of it
    // Monotonic ms of the receiver's last differential fix, of its last GGA
    // and of the last whole frame to it: the no-fix timer's, which a clock
    // set by NTP after boot must not move.
    long long last_differential;
    long long last_gga_ms;
    long long last_frame_ms;
    // The choice of base, the configured caster's source table as last
    // read, when it was last asked for (monotonic s) and whether that query
    // read it, and the "host:port/mountpoint" that "/run/mountpoint.ntrip"
    // describes.
    BaseChoice base;
    std::string table;
    double table_read_at;
    bool table_read;
    std::string described;
    Health health;            // what "/run/rtkfeedd.json" reports
    long long health_written; // monotonic ms of its last write
    bool health_dirty;        // counters changed since
    int reported_fix;         // the receiver's fix quality it showed, -1 none
    std::string told_status;  // the last STATUS= the service manager got
    char sentence[SENTENCE_SIZE];
    char relay[1024];
};

void init_data_path(DataPath *dp, const Config *cfg);

// Locks and opens the target line; 0 when done, -1 after logging why not.
int take_target(DataPath *dp);

// Runs correction cycles; returns 0 when a stop was requested and -1 on a
// fatal error (logged). Either way the devices are still held.
int run_cycles(DataPath *dp);

// Writes the health report, and the metrics when configured, now: at every
// change of the status, the client, the target or the receiver's fix.
// Tells the service manager the status in words when that changed.
void report_health(DataPath *dp);

// Within the supervisor, between the cycle (cycle.cpp) and its relay loop
// (relay.cpp).
// Relays until the client ends or a stop is requested.
void relay_loop(DataPath *dp);
// Writes the health report when the receiver's fix changed, when counters
// changed and the last write is 5 s old, or when it is a minute old (the
// file's time shows a collector that the daemon lives). Returns when the
// next is due (monotonic ms), barring a change of the fix.
long long report_if_due(DataPath *dp);
// The client has ended: status as waitpid gives it, or -1 when unknown.
void note_client_end(DataPath *dp, int status);
// Whether the position comes from the target line itself.
bool source_is_target(const Config &cfg);
// The target line went away (err says how): closed, its lock kept, and
// tried again by retry_target. lost_now: bytes of the burst that found it
// gone, counted as dropped already.
void lose_target(DataPath *dp, int err, uint64_t lost_now);
// Opens the target line again when it was lost and its retry is due.
void retry_target(DataPath *dp);

// The choice of base (choice.cpp). Taken once the table was read at
// start-up; the configuration for the next client (caster, account and
// mountpoint of the candidate to start); a run's end (a failover is
// logged); a new position from the receiver while a client runs: true when
// a switch is due (logged), and the client is to be ended for it.
void init_choice(DataPath *dp);
void choose_for_start(DataPath *dp, Config *run);
void choice_after_run(DataPath *dp, RunEnd end);
bool choice_on_position(DataPath *dp, const ReceiverView &v);

// Kills a client that is still running, when there is one.
void stop_client(DataPath *dp);

// Removes "/dev/rtkfeedd", closes the master and the target, and removes the
// target's lock: the release order of both the shutdown and the fatal exit.
void release_data_path(DataPath *dp);
