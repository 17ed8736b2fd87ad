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
// main) when the entry has no "@". The account ends at the last "@" and
// the user name at its first ":", so a user name may hold "@" and a
// password "@" and ":". An entry that does not parse is put in bad, as
// masked_entry gives it, and skipped.
std::vector<Candidate> parse_fallbacks(const std::string &value, const Candidate &main,
                                       std::vector<std::string> *bad);
// An entry with its password, if it has one, replaced by "***": what the
// log may show of it.
std::string masked_entry(const std::string &entry);

// Whether two candidates are on the same caster (host and port), whose
// source table describes both.
bool same_caster(const Candidate &a, const Candidate &b);

// How long a base must stay nearer before a switch, how long a client runs
// at least between switches, how old a table may get before it is read
// again at a client start, how soon a table that could not be read is
// asked for again, and how long a base whose run failed stays out of the
// nearest choice (seconds).
enum {
    SWITCH_STEADY_S = 10,
    SWITCH_EVERY_S = 30,
    TABLE_MAX_AGE_S = 3600,
    TABLE_RETRY_S = 60,
    HOLD_OUT_S = 300,
    HOLD_OUT_MAX_S = 3600,
    RAN_WELL_S = 600,
};

// A candidate whose last run failed, when (monotonic s), and how long it
// is held out after it: HOLD_OUT_S, doubled each time it fails again at
// once after being gone back to, at most HOLD_OUT_MAX_S, and HOLD_OUT_S
// again once it has run well for RAN_WELL_S.
struct Failure {
    Candidate candidate;
    double at = 0;
    double hold_s = HOLD_OUT_S;
};

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
    // The candidate in use (none before the first start) and its failed
    // runs in a row; a switch's target, or failover's, for the next start.
    bool started = false;
    Candidate current;
    unsigned failed_here = 0;
    // The current candidate failed before it was gone back to: its first
    // failed run is enough to leave it.
    bool returned_to_failed = false;
    // A table came that was not there: the next start chooses afresh, not
    // the candidate in use.
    bool choose_again = false;
    std::string switch_to;
    bool failing_over = false;
    Candidate failover_to;
    // The last failed run of each candidate that had one: the nearest rule
    // leaves a base out for HOLD_OUT_S after it, and failover goes to the
    // candidate that failed longest ago once all have.
    std::vector<Failure> failures;
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

// The candidate to start now: a switch's target, else failover's, else the
// one in use while it is still in the list, else the first in the list not
// held out; it becomes current. now: the start's time (monotonic s).
const Candidate &start_candidate(BaseChoice *b, double now);

// How a run ended.
enum RunEnd {
    RUN_GOOD,      // long enough
    RUN_FAILED,    // too short, could not start, or stalled
    RUN_NO_FIX,    // ended since the receiver made no use of it: the next one
    RUN_SWITCHED,  // ended for a switch by distance: not a failed run
};
// Counts a run's end at now (monotonic s); true when the next start fails
// over, to b->failover_to: the first in the list as it is now that has not
// failed, else not held out, else the one that failed longest ago; never
// the one that just failed. A candidate gone back to after it failed is
// left after its first failed run (unless it ran well for RAN_WELL_S), and
// its hold-out doubles.
bool note_run_end(BaseChoice *b, RunEnd end, double now);

// A position from the receiver at time now (seconds).
void note_position(BaseChoice *b, double latitude, double longitude);
// While a client of the configured caster runs: the mountpoint it is to be
// switched to now, by the switch rule, or empty. A base whose run failed
// within HOLD_OUT_S is never switched to. A returned switch is taken: the
// next start is for it.
std::string switch_due(BaseChoice *b, double now);

// The table distance of the current mountpoint from the position, or a
// negative number when either is unknown.
double current_distance_km(const BaseChoice &b);

// Whether a query's output is a source table: it ended with exit status
// 0 (status as waitpid gives it, -1 when it did not end) and holds an STR
// record.
bool table_was_read(int status, const std::string &output);
// Whether the source table is to be read again before a client start: an
// hour after it was read, a minute after a query that did not read it.
bool table_is_stale(double read_at, bool was_read, double now);
