// The choice itself: which candidate to start, what a run's end and a new
// position change.
#include "base/base.h"

#include <algorithm>
#include <limits>

const char *kind_name(Candidate::Kind kind)
{
    switch (kind) {
    case Candidate::NEAREST: return "nearest";
    case Candidate::FALLBACK: return "fallback";
    default: return "configured";
    }
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

static Failure *failure_of(BaseChoice *b, const Candidate &c)
{
    for (Failure &f : b->failures)
        if (f.candidate == c)
            return &f;
    return nullptr;
}

static bool held_out(const BaseChoice &b, const Candidate &c, double now)
{
    for (const Failure &f : b.failures)
        if (f.candidate == c)
            return now - f.at < f.hold_s;
    return false;
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
    if (!pick && b->started && !b->choose_again)
        pick = find_in(list, b->current);
    b->choose_again = false;
    // None yet, or the one in use left the list (a new position, a new
    // table): the first that is not held out, else the first.
    for (const Candidate &c : list)
        if (!pick && !held_out(*b, c, now))
            pick = &c;
    if (!pick)
        pick = &list[0];
    if (!(*pick == b->current)) {
        b->failed_here = 0;
        b->returned_to_failed = failed_at(*b, *pick) >= 0;
    }
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
    Failure *f = failure_of(b, b->current);
    // Ten minutes of a good run make a base as good as new.
    bool ran_well = now - b->run_since >= RAN_WELL_S;
    if (ran_well) {
        b->returned_to_failed = false;
        if (f)
            f->hold_s = HOLD_OUT_S;
    }
    if (end == RUN_GOOD || end == RUN_SWITCHED) {
        b->failed_here = 0;
        return false;
    }
    bool leave_now = b->returned_to_failed && f;
    if (!f) {
        b->failures.push_back({b->current, now, HOLD_OUT_S});
        f = &b->failures.back();
    } else if (leave_now) {
        // Gone back to and failing again at once: a base that keeps
        // failing costs one failed run a hold-out, and that grows.
        f->hold_s = std::min(f->hold_s * 2, static_cast<double>(HOLD_OUT_MAX_S));
    }
    f->at = now;
    b->returned_to_failed = false;
    b->failed_here++;
    unsigned after = b->failover_after > 0 ? b->failover_after : 1;
    if (end == RUN_FAILED && b->failed_here < after && !leave_now)
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
