#include "base/base.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sys/wait.h>
#include <unordered_set>

const char *kind_name(Candidate::Kind kind)
{
    switch (kind) {
    case Candidate::NEAREST: return "nearest";
    case Candidate::FALLBACK: return "fallback";
    default: return "configured";
    }
}

static std::string trimmed(const std::string &s)
{
    size_t from = s.find_first_not_of(" \t");
    if (from == std::string::npos)
        return "";
    return s.substr(from, s.find_last_not_of(" \t") - from + 1);
}

// A plain decimal number ("-12.5", "7", "+0.25"): no exponent, no "nan" or
// "inf", no hex, nothing around it.
static bool decimal(const std::string &text, double *out)
{
    std::string s = trimmed(text);
    size_t i = s[0] == '-' || s[0] == '+' ? 1 : 0, digits = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; i++)
        digits++;
    if (i < s.size() && s[i] == '.')
        for (i++; i < s.size() && s[i] >= '0' && s[i] <= '9'; i++)
            digits++;
    if (digits == 0 || i != s.size() || digits > 30)
        return false;
    *out = strtod(s.c_str(), nullptr);
    return std::isfinite(*out);
}

bool parse_table_base(const char *line, size_t n, TableBase *out)
{
    if (n < 4 || memcmp(line, "STR;", 4) != 0)
        return false;
    std::vector<std::string> f;
    std::string rest(line + 4, n - 4);
    for (size_t at = 0;;) {
        size_t semi = rest.find(';', at);
        f.push_back(rest.substr(at, semi == std::string::npos ? std::string::npos : semi - at));
        if (semi == std::string::npos || f.size() > 17)
            break;
        at = semi + 1;
    }
    if (f.size() < 17 || f[0].empty() || f[0].find('\0') != std::string::npos)
        return false;
    std::string format;
    for (char c : f[2])
        if (c != ' ' && c != '\t')
            format += static_cast<char>(toupper(static_cast<unsigned char>(c)));
    std::string carrier = trimmed(f[4]);
    double lat, lon;
    if (format.compare(0, 5, "RTCM3") != 0 || (carrier != "1" && carrier != "2") ||
        trimmed(f[11]) == "1" || !decimal(f[8], &lat) || !decimal(f[9], &lon) ||
        lat < -90 || lat > 90 || lon < -180 || lon > 360 || (lat == 0 && lon == 0))
        return false;
    out->mountpoint = f[0];
    out->latitude = lat;
    out->longitude = lon > 180 ? lon - 360 : lon;
    return true;
}

std::vector<TableBase> table_bases(const std::string &table)
{
    // A big caster's table has a hundred thousand records and more: the
    // first of each mountpoint is found in one pass.
    std::vector<TableBase> out;
    std::unordered_set<std::string> seen;
    for (size_t at = 0; at < table.size();) {
        size_t end = table.find('\n', at);
        if (end == std::string::npos)
            end = table.size();
        size_t n = end - at;
        if (n > 0 && table[at + n - 1] == '\r')
            n--;
        TableBase b;
        if (parse_table_base(table.data() + at, n, &b) && seen.insert(b.mountpoint).second)
            out.push_back(b);
        at = end + 1;
    }
    return out;
}

double distance_km(double lat1, double lon1, double lat2, double lon2)
{
    const double r = 6371.0088, rad = M_PI / 180;
    double dlat = (lat2 - lat1) * rad, dlon = (lon2 - lon1) * rad;
    double h = sin(dlat / 2) * sin(dlat / 2) +
               cos(lat1 * rad) * cos(lat2 * rad) * sin(dlon / 2) * sin(dlon / 2);
    return 2 * r * asin(std::min(1.0, sqrt(h)));
}

static bool parse_fallback(const std::string &entry, const Candidate &main, Candidate *c)
{
    *c = Candidate();
    c->kind = Candidate::FALLBACK;
    std::string place = entry;
    size_t at = entry.rfind('@');
    if (at != std::string::npos) {
        std::string account = entry.substr(0, at);
        size_t colon = account.find(':');
        c->user = account.substr(0, colon);
        if (colon != std::string::npos)
            c->password = account.substr(colon + 1);
        place = entry.substr(at + 1);
        if (c->user.empty())
            return false;
    } else {
        c->user = main.user;
        c->password = main.password;
    }
    size_t slash = place.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == place.size())
        return false;
    c->mountpoint = place.substr(slash + 1);
    std::string host = place.substr(0, slash);
    size_t colon = host.rfind(':');
    c->port = 2101;
    if (colon != std::string::npos) {
        std::string port = host.substr(colon + 1);
        host.resize(colon);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
            return false;
        c->port = static_cast<unsigned>(atoi(port.c_str()));
        if (c->port == 0 || c->port > 65535)
            return false;
    }
    c->host = host;
    return !host.empty() && c->mountpoint.find('/') == std::string::npos;
}

std::string masked_entry(const std::string &entry)
{
    size_t at = entry.rfind('@');
    size_t colon = at == std::string::npos ? std::string::npos : entry.find(':');
    if (colon == std::string::npos || colon > at)
        return entry;
    return entry.substr(0, colon + 1) + "***" + entry.substr(at);
}

bool same_caster(const Candidate &a, const Candidate &b)
{
    return a.host == b.host && a.port == b.port;
}

std::vector<Candidate> parse_fallbacks(const std::string &value, const Candidate &main,
                                       std::vector<std::string> *bad)
{
    std::vector<Candidate> out;
    for (size_t at = 0; at < value.size();) {
        size_t from = value.find_first_not_of(" \t", at);
        if (from == std::string::npos)
            break;
        size_t end = value.find_first_of(" \t", from);
        std::string entry = value.substr(from, end == std::string::npos ? end : end - from);
        Candidate c;
        if (parse_fallback(entry, main, &c))
            out.push_back(c);
        else
            bad->push_back(masked_entry(entry));
        at = end == std::string::npos ? value.size() : end;
    }
    return out;
}

// The configured caster's bases within the maximum baseline, nearest first.
static std::vector<std::pair<double, const TableBase *>> by_distance(const BaseChoice &b)
{
    std::vector<std::pair<double, const TableBase *>> out;
    if (!b.have_position)
        return out;
    for (const TableBase &t : b.table) {
        double d = distance_km(b.latitude, b.longitude, t.latitude, t.longitude);
        if (b.max_baseline_km <= 0 || d <= b.max_baseline_km)
            out.push_back({d, &t});
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const auto &x, const auto &y) { return x.first < y.first; });
    return out;
}

std::vector<Candidate> candidate_list(const BaseChoice &b)
{
    std::vector<Candidate> list;
    if (b.nearest)
        for (const auto &near : by_distance(b)) {
            Candidate c = b.configured;
            c.kind = Candidate::NEAREST;
            c.mountpoint = near.second->mountpoint;
            list.push_back(c);
        }
    if (list.empty())
        list.push_back(b.configured);
    list.insert(list.end(), b.fallbacks.begin(), b.fallbacks.end());
    return list;
}

// When the candidate's last run failed, or a negative number when none did.
static double failed_at(const BaseChoice &b, const Candidate &c)
{
    for (const Failure &f : b.failures)
        if (f.candidate == c)
            return f.at;
    return -1;
}

static bool held_out(const BaseChoice &b, const Candidate &c, double now)
{
    double at = failed_at(b, c);
    return at >= 0 && now - at < HOLD_OUT_S;
}

// The candidate failover goes to: one that has not failed comes before one
// whose failure is past the hold-out, which comes before one held out; among
// those, the one that failed longest ago, then the list's order. Never the
// one that just failed, so that a list re-sorted by a new position cannot
// send the router back to it.
static const Candidate *failover_choice(const BaseChoice &b, const std::vector<Candidate> &list,
                                        double now)
{
    const Candidate *best = nullptr;
    int best_rank = 0;
    double best_at = 0;
    for (const Candidate &c : list) {
        if (c == b.current)
            continue;
        double at = failed_at(b, c);
        int rank = at < 0 ? 0 : held_out(b, c, now) ? 2 : 1;
        if (!best || rank < best_rank || (rank == best_rank && rank > 0 && at < best_at)) {
            best = &c;
            best_rank = rank;
            best_at = at;
        }
    }
    return best;
}

static const Candidate *find_in(const std::vector<Candidate> &list, const Candidate &c)
{
    for (const Candidate &o : list)
        if (o == c)
            return &o;
    return nullptr;
}

const Candidate &start_candidate(BaseChoice *b, double now)
{
    std::vector<Candidate> list = candidate_list(*b);
    const Candidate *pick = nullptr;
    if (!b->switch_to.empty())
        for (const Candidate &c : list)
            if (!pick && c.kind == Candidate::NEAREST && c.mountpoint == b->switch_to)
                pick = &c;
    if (!pick && b->failing_over)
        pick = find_in(list, b->failover_to);
    if (!pick && b->started)
        pick = find_in(list, b->current);
    // None yet, or the one in use left the list (a new position, a new
    // table): the first that is not held out, else the first.
    for (const Candidate &c : list)
        if (!pick && !held_out(*b, c, now))
            pick = &c;
    if (!pick)
        pick = &list[0];
    if (!(*pick == b->current))
        b->failed_here = 0;
    b->current = *pick;
    b->started = true;
    b->switch_to.clear();
    b->failing_over = false;
    b->run_since = now;
    b->pending.clear();
    return b->current;
}

bool note_run_end(BaseChoice *b, RunEnd end, double now)
{
    if (end == RUN_GOOD || end == RUN_SWITCHED) {
        b->failed_here = 0;
        return false;
    }
    bool known = false;
    for (Failure &f : b->failures)
        if (f.candidate == b->current) {
            f.at = now;
            known = true;
        }
    if (!known)
        b->failures.push_back({b->current, now});
    b->failed_here++;
    unsigned after = b->failover_after > 0 ? b->failover_after : 1;
    if (end == RUN_FAILED && b->failed_here < after)
        return false;
    b->failed_here = 0;
    std::vector<Candidate> list = candidate_list(*b);
    const Candidate *next = list.size() > 1 ? failover_choice(*b, list, now) : nullptr;
    if (!next)
        return false;
    b->failover_to = *next;
    b->failing_over = true;
    return true;
}

void note_position(BaseChoice *b, double latitude, double longitude)
{
    b->have_position = true;
    b->latitude = latitude;
    b->longitude = longitude;
}

static bool of_configured_caster(const Candidate &c)
{
    return c.kind != Candidate::FALLBACK;
}

double current_distance_km(const BaseChoice &b)
{
    if (!b.have_position || !of_configured_caster(b.current))
        return -1;
    for (const TableBase &t : b.table)
        if (t.mountpoint == b.current.mountpoint)
            return distance_km(b.latitude, b.longitude, t.latitude, t.longitude);
    return -1;
}

std::string switch_due(BaseChoice *b, double now)
{
    auto near = by_distance(*b);
    // The nearest base that has not just failed: one that did is no better
    // for being near.
    size_t first = 0;
    for (; first < near.size(); first++) {
        Candidate c = b->configured;
        c.kind = Candidate::NEAREST;
        c.mountpoint = near[first].second->mountpoint;
        if (!held_out(*b, c, now))
            break;
    }
    double current = current_distance_km(*b);
    if (current < 0)
        current = std::numeric_limits<double>::infinity();
    if (!b->nearest || !of_configured_caster(b->current) || first == near.size() ||
        near[first].second->mountpoint == b->current.mountpoint ||
        !(current - near[first].first > b->margin_km)) {
        b->pending.clear();
        return "";
    }
    const std::string &best = near[first].second->mountpoint;
    if (b->pending != best) {
        b->pending = best;
        b->pending_since = now;
    }
    if (now - b->pending_since < SWITCH_STEADY_S || now - b->run_since < SWITCH_EVERY_S ||
        (b->last_switch > 0 && now - b->last_switch < SWITCH_EVERY_S))
        return "";
    b->last_switch = now;
    b->switch_to = best;
    b->pending.clear();
    return best;
}

bool table_was_read(int status, const std::string &output)
{
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return false;
    return output.compare(0, 4, "STR;") == 0 || output.find("\nSTR;") != std::string::npos;
}

bool table_is_stale(double read_at, bool was_read, double now)
{
    return now - read_at > (was_read ? TABLE_MAX_AGE_S : TABLE_RETRY_S);
}
