// The choice of base: which caster and mountpoint the client is started
// for. A vehicle that drives away from its base loses RTK, and a caster or
// mountpoint that goes down leaves the router without corrections: the
// nearest base of the configured caster, and alternates to fail over to.
// Pure: no I/O. The supervisor tells it what happened (a position, a run's
// end) and asks it what to start.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// A caster and mountpoint the client can be started for.
struct Candidate {
    enum Kind { CONFIGURED, NEAREST, FALLBACK };
    Kind kind = CONFIGURED;
    std::string host;
    unsigned port = 0;
    std::string user, password;
    std::string mountpoint;
    bool operator==(const Candidate &o) const
    {
        return host == o.host && port == o.port && mountpoint == o.mountpoint &&
               user == o.user && password == o.password;
    }
};
const char *kind_name(Candidate::Kind kind);

// A reference station of the configured caster's source table.
struct TableBase {
    std::string mountpoint;
    double latitude = 0, longitude = 0;  // degrees; longitude within -180..180
};

// One line of a source table (without its line end): whether it is an STR
// record of a single base that streams RTCM 3 (all fields 0 to 16, finite
// coordinates in range and not both 0, format RTCM3..., carrier 1 or 2,
// solution not 1: a network's coordinates are not a base), filled into out.
bool parse_table_base(const char *line, size_t n, TableBase *out);
// The qualifying bases of a source table, the first record of each
// mountpoint.
std::vector<TableBase> table_bases(const std::string &table);

// Great-circle distance in km on the mean Earth sphere.
double distance_km(double lat1, double lon1, double lat2, double lon2);

// MOD_NTRIP_FALLBACK: entries `[user[:password]@]host[:port]/mountpoint`
// separated by blanks; port 2101 when missing; the main account (from
// main) when the entry has no "@". An entry that does not parse is put in
// bad and skipped.
std::vector<Candidate> parse_fallbacks(const std::string &value, const Candidate &main,
                                       std::vector<std::string> *bad);

// How long a base must stay nearer before a switch, how long a client runs
// at least between switches, and how old a table may get before it is read
// again at a client start (seconds).
enum { SWITCH_STEADY_S = 10, SWITCH_EVERY_S = 30, TABLE_MAX_AGE_S = 3600 };

struct BaseChoice {
    // Settings.
    bool nearest = false;
    double max_baseline_km = 0;  // 0: no limit
    double margin_km = 2;
    unsigned failover_after = 3;
    Candidate configured;
    std::vector<Candidate> fallbacks;
    // What is known.
    std::vector<TableBase> table;  // the configured caster's
    bool have_position = false;
    double latitude = 0, longitude = 0;
    // The candidate in use, its place in the list and its failed runs in a
    // row; a switch's target for the next start.
    Candidate current;
    size_t at = 0;
    unsigned failed_here = 0;
    std::string switch_to;
    // The switch rule: the base that has been nearer by more than the margin
    // on every position since pending_since; when the client started or
    // last switched; the last switch (0: none).
    std::string pending;
    double pending_since = 0;
    double run_since = 0;
    double last_switch = 0;
};

// The candidates, in order: with nearest and a position, the configured
// caster's qualifying bases nearest first (those within the maximum
// baseline), else the configured mountpoint; then the fallbacks.
std::vector<Candidate> candidate_list(const BaseChoice &b);

// The candidate to start now (a switch's target, else the one at its place
// in the list as it is now); it becomes current. now: the start's time.
const Candidate &start_candidate(BaseChoice *b, double now);

// How a run ended.
enum RunEnd {
    RUN_GOOD,      // long enough
    RUN_FAILED,    // too short, could not start, or stalled
    RUN_NO_FIX,    // ended since the receiver made no use of it: the next one
    RUN_SWITCHED,  // ended for a switch by distance: not a failed run
};
// Counts a run's end; true when the next start fails over to the next
// candidate.
bool note_run_end(BaseChoice *b, RunEnd end);

// A position from the receiver at time now (seconds).
void note_position(BaseChoice *b, double latitude, double longitude);
// While a client of the configured caster runs: the mountpoint it is to be
// switched to now, by the switch rule, or empty. A returned switch is taken:
// the next start is for it.
std::string switch_due(BaseChoice *b, double now);

// The table distance of the current mountpoint from the position, or a
// negative number when either is unknown.
double current_distance_km(const BaseChoice &b);

// Whether the source table is to be read again before a client start.
bool table_is_stale(double read_at, double now);
