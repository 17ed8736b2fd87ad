// Within the client subsystem, its tests and its fuzz target.
#pragma once

#include "client/client.h"

#include <cstdio>
#include <string>

// The client's argument list for one cycle; argv points into the record
// and the sentence, which must outlive it.
struct ClientArgs {
    char port[10];
    char reconnint[10];
    char nmea_int[10];
    const char *argv[28];
    int argc;
};
void build_client_args(const Config &cfg, const char *sentence, ClientArgs *out);

// Starts a program under a watcher of its own (a fork of the daemon) that
// ends whatever the program started when the program ends, when it is
// ended, or when the daemon dies. exec_program runs in the program's new
// process and returns only when it could not execute: its errno. Returns
// the watcher's pid, which the caller waits for (it ends as the program
// ended) and *program the program's; -1 when none runs, with *exec_error
// set. *exec_error holds the errno of a failed exec too (the watcher then
// ends at once).
pid_t start_watched(int (*exec_program)(void *arg), void *arg, pid_t *program, int *exec_error);
// Closes every descriptor from lowest up but keep_a and keep_b (-1: none).
// Safe after a fork of a threaded process.
void close_from(int lowest, int keep_a, int keep_b);

// Asks a watched program's process group to end (SIGTERM), or, when now,
// ends it and everything it started at once.
void end_watched(pid_t watcher, bool now);

// Calls visit for every process in /proc; 0, or -1 when /proc cannot be read.
int for_each_process(void (*visit)(pid_t pid, void *arg), void *arg);

// The mark that names a daemon (pid and start time) in the environment of
// the programs it starts.
std::string daemon_mark(pid_t pid, long long start);
// The environment of every program the daemon starts: the daemon's own,
// with a mark that names this daemon (pid and start time), so that a later
// daemon can tell what an earlier one's clients left behind from anybody
// else's processes.
char *const *marked_environment();

// Waits for pid to end, through interruptions; returns its wait status, or
// -1 when it cannot be waited for.
int reap_child(pid_t pid);

// Redirects the child's descriptor n (0, 1, 2) to fd for the next run only;
// the runner closes fd afterwards when it is above 2.
void set_redirect(int n, int fd);

// Runs a program (path, found through PATH, then arguments ending with
// nullptr) to completion and returns its wait status. Gives up after
// timeout_seconds or at a stop request, killing and reaping the child:
// then -1 with errno ETIMEDOUT or EINTR; -1 with fork's errno when no
// child could be made.
int run_command(int timeout_seconds, const char *path, ...);
// Starts a program as run_command does without waiting for it: the
// watcher's pid, which the caller reaps, or -1 with errno set.
pid_t start_command(const char *path, const char *const argv[]);

// Source-table record of a mountpoint: the 17 fields after "STR;".
enum { STR_FIELDS = 17 };
enum StrRecord {
    STR_OTHER,   // not a record of this mountpoint
    STR_SHORT,   // this mountpoint's, but with too few fields: none are kept
    STR_FILLED,  // all fields filled
};
StrRecord parse_str_record(char *line, const char *mountpoint, std::string fields[STR_FIELDS]);
// Reads a source table; 0 when the mountpoint's first record filled fields,
// else -1.
int find_mountpoint(FILE *table, const char *mountpoint, std::string fields[STR_FIELDS]);
// The seven labelled lines written to the mountpoint file.
std::string format_mountpoint_info(const std::string fields[STR_FIELDS]);
