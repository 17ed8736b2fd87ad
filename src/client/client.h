// Starting the NTRIP client, running commands, and the mountpoint
// description from the caster's source table.
#pragma once

#include <cstdio>
#include <string>
#include <sys/types.h>

struct Config;

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

// Starts "/opt/casterLink/bin/casterlink" for one cycle on "/dev/rtkfeedd"
// without waiting for it; returns its pid, or <= 0 when no child was made.
// A child that could not execute the client is reaped before returning.
pid_t start_client(const Config &cfg, const char *sentence);

// Redirects the child's descriptor n (0, 1, 2) to fd for the next run only;
// the runner closes fd afterwards when it is above 2.
void set_redirect(int n, int fd);

// Runs a program (path then arguments, ending with nullptr) to completion
// and returns its wait status, or -1 when no child could be created.
int run_command(const char *path, ...);

// The same, but gives up after timeout_seconds or at a stop request: the
// child is then killed and reaped, and the result says which.
enum { RUN_TIMED_OUT = -2, RUN_STOPPED = -3 };
int run_command_bounded(int timeout_seconds, const char *path, ...);

// Source-table record of a mountpoint: the 17 fields after "STR;".
enum { STR_FIELDS = 17 };
// Returns -1 when the line is no STR record of this mountpoint, 0 when it
// is one but too short, 1 when all fields were filled.
int parse_str_record(char *line, const char *mountpoint, std::string fields[STR_FIELDS]);
// Reads a source table and finds the mountpoint's record; 1 found, else 0.
int find_mountpoint(FILE *table, const char *mountpoint, std::string fields[STR_FIELDS]);
// The seven labelled lines written to the mountpoint file.
std::string format_mountpoint_info(const std::string fields[STR_FIELDS]);
// Queries the caster through the client and fills fields; 1 found, else 0.
int query_mountpoint(const Config &cfg, std::string fields[STR_FIELDS]);
// Start-up: writes "/run/mountpoint.ntrip" (empty when the query fails).
void write_mountpoint_file(const Config &cfg);
