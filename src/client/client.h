// The NTRIP client: started for each correction cycle, and once at start-up
// for the caster's source table. Inside: mountpoint.cpp (the table and the
// description) uses runner.cpp (commands run to completion), which with
// launcher.cpp (the client of a cycle) uses watcher.cpp (the watcher every
// program runs under), and all of them process.cpp (reaping, descriptors,
// the daemon's mark, /proc): calls go down that list, never back.
#pragma once

#include <string>
#include <sys/types.h>

struct Config;

// Starts "/opt/casterLink/bin/casterlink" for one cycle on "/dev/rtkfeedd"
// without waiting for it, under a watcher that ends whatever the client
// started (whatever process groups or sessions it made) when the client
// ends, is ended, or the daemon dies by any signal. Returns the watcher's
// pid, which the cycle waits for: it ends after all of that, the way the
// client ended. *client is the client's own pid. -1 when no client runs
// (logged). A watcher whose client could not be executed is reaped before
// returning, so the caller sees a client that ended at once. *exec_error
// holds why no client runs (the errno of the start or of the exec), else 0.
pid_t start_client(const Config &cfg, const char *sentence, pid_t *client, int *exec_error);

// A descriptor that becomes readable when the watcher ends, so that a
// client which dies without ever opening its device is restarted a second
// later, not after a whole wait more; -1 where there is none (kernels
// before 5.3): then the caller looks for the end at a timeout, later.
int client_end_fd(pid_t watcher);

// Asks the client to end (SIGTERM to its process group), or, when now,
// ends it and everything it started at once.
void end_client(pid_t watcher, bool now);

// Ends what the clients of an earlier daemon, now gone, left running:
// every process that carries that daemon's mark in its environment. The
// earlier daemon is named by its pid and start time (clock ticks after
// boot, as /proc gives them), so that a pid that went to another program
// names nobody. Returns how many processes were ended.
int end_leftovers_of(pid_t earlier_daemon, long long earlier_start);

// Start-up: queries the source table and writes "/run/mountpoint.ntrip"
// (empty when the query fails); the table in *table (empty then). Returns
// what query_source_table returned.
int write_mountpoint_file(const Config &cfg, std::string *table);
// Queries the caster's source table through the client again (at most
// 30 s, the watchdog pinged meanwhile): the client's status as waitpid
// gives it when it ended in time, with what it printed in *table; else -1.
int query_source_table(const Config &cfg, std::string *table);
// The same query while a client runs, never holding up the relay: started
// without waiting (its output into the same dump file), looked at in the
// relay loop's turns (end_fd, when not -1, becomes readable when it ends),
// and given up after 30 s.
struct TableQuery {
    pid_t watcher = -1;  // -1: none runs
    int dump = -1;
    int end_fd = -1;
    long long deadline = 0;  // monotonic ms
};
// 0 when it runs, else -1 (logged).
int start_table_query(const Config &cfg, TableQuery *q);
// Whether it is over: it ended (its status as waitpid gives it, and what
// it printed in *table) or its time ran out (ended, status -1).
bool table_query_done(TableQuery *q, int *status, std::string *table);
// Ends one that runs, at once (a stop).
void abandon_table_query(TableQuery *q);

// Rewrites "/run/mountpoint.ntrip" whole for a mountpoint of the table, or
// when it has none of that name (or the name is empty), for otherwise:
// empty when the table has neither.
void describe_mountpoint(const std::string &table, const std::string &mountpoint,
                         const std::string &otherwise);
