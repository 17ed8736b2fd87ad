// Between the cycle and the choice of base: what the cycle tells it (the
// table, positions, the ends of runs) and what it asks (which caster and
// mountpoint to start), with the log lines and the report's base.
#include "supervisor/choice.h"
#include "client/client.h"
#include "common/io.h"
#include "common/log.h"
#include "settings/settings.h"

#include <cmath>
#include <cstdio>

static double monotonic_s()
{
    return static_cast<double>(monotonic_ms()) / 1000;
}

static std::string caster_of(const Candidate &c)
{
    return c.host + ":" + std::to_string(c.port);
}

// The receiver's position is known: for the choice and for the report.
static void take_position(Choice *c, Health *h, double latitude, double longitude, double height)
{
    note_position(&c->base, latitude, longitude);
    h->have_position = true;
    h->latitude = latitude;
    h->longitude = longitude;
    h->height = height;
    h->base.distance_km = current_distance_km(c->base);
}

void init_choice(Choice *c, Health *h, const Config &cfg)
{
    BaseChoice &b = c->base;
    b.nearest = cfg.nearest != 0;
    b.max_baseline_km = cfg.max_baseline_km;
    b.margin_km = cfg.switch_margin_km;
    b.failover_after = cfg.failover_after;
    b.configured.host = cfg.ipaddr;
    b.configured.port = cfg.port;
    b.configured.user = cfg.username;
    b.configured.password = cfg.password;
    b.configured.mountpoint = cfg.mountpoint;
    std::vector<std::string> bad;
    b.fallbacks = parse_fallbacks(cfg.fallback, b.configured, &bad);
    for (const std::string &entry : bad)
        log_warning("MOD_NTRIP_FALLBACK: cannot use \"%s\", skipped", entry.c_str());
    b.table = table_bases(c->table);
    c->table_read_at = monotonic_s();
    if (b.nearest && !c->table_read)
        log_err("cannot read the source table of %s, asking again in %d s",
                caster_of(b.configured).c_str(), static_cast<int>(TABLE_RETRY_S));
    c->described = caster_of(b.configured) + "/" + cfg.mountpoint;
    if (cfg.send_nmea != 0 && cfg.source == 3) {
        // The generator's fixed position is the receiver's.
        double lat = ddmm_degrees(cfg.latitude.c_str());
        double lon = ddmm_degrees(cfg.longitude.c_str());
        double height = strtod(cfg.height.c_str(), nullptr);
        if (std::isfinite(lat) && std::isfinite(lon) && fabs(lat) <= 90 && fabs(lon) <= 180)
            take_position(c, h, lat, lon, std::isfinite(height) ? height : 0);
    } else if (b.nearest && cfg.send_nmea == 0) {
        log_notice("MOD_NTRIP_NEAREST needs a position: set MOD_NTRIP_SEND_NMEA and a source; "
                   "using %s", cfg.mountpoint.c_str());
    }
}

// A table that could not be read (the uplink not yet up at boot, a caster
// down) is asked for again a minute later, one that was read an hour later;
// until a new one is read, the last one read is used.
static void take_table(Choice *c, int status, const std::string &table)
{
    bool was_read = c->table_read;
    c->table_read_at = monotonic_s();
    c->table_read = table_was_read(status, table);
    if (c->table_read) {
        c->table = table;
        c->base.table = table_bases(table);
        if (!was_read) {
            log_notice("source table of %s read: %zu bases", caster_of(c->base.configured).c_str(),
                       c->base.table.size());
            // The choice is made again from it: the next start goes to
            // the nearest base, and a client that runs gives way to it by
            // the switch rule.
            c->base.choose_again = true;
        }
    } else if (was_read) {
        log_err("cannot read the source table of %s, asking again in %d s",
                caster_of(c->base.configured).c_str(), static_cast<int>(TABLE_RETRY_S));
    }
}

static void read_table_again(Choice *c, const Config &cfg)
{
    std::string table;
    int status = query_source_table(cfg, &table);
    take_table(c, status, table);
}

// Only a table that could not be read is asked for while a client runs:
// an hour-old one that was read serves until the next start.
static bool query_due(const Choice &c, double now)
{
    return c.base.nearest && !c.table_read && c.query.watcher < 0 &&
           table_is_stale(c.table_read_at, false, now);
}

void choice_turn(Choice *c, const Config &cfg)
{
    int status;
    std::string table;
    if (table_query_done(&c->query, &status, &table))
        take_table(c, status, table);
    else if (query_due(*c, monotonic_s()) && start_table_query(cfg, &c->query) != 0)
        c->table_read_at = monotonic_s();  // a minute until the next try
}

int choice_query_fd(const Choice &c)
{
    return c.query.end_fd;
}

long long choice_due_ms(const Choice &c)
{
    if (c.query.watcher >= 0)
        return c.query.end_fd >= 0 ? c.query.deadline : monotonic_ms() + 1000;
    if (!c.base.nearest || c.table_read)
        return 0;
    return static_cast<long long>((c.table_read_at + TABLE_RETRY_S) * 1000) + 1;
}

void choice_stop(Choice *c)
{
    abandon_table_query(&c->query);
}

void choose_for_start(Choice *ch, Health *h, const Config &cfg, const char *sentence,
                      Config *run)
{
    BaseChoice &b = ch->base;
    // The position of the sentence the client is handed, when it has a fix.
    if (cfg.send_nmea != 0 && cfg.source != 3) {
        ReceiverView v;
        std::string line = std::string(sentence) + "\n";
        watch_receiver(&v, line.data(), line.size(), 0);
        if (v.positions > 0)
            take_position(ch, h, v.latitude, v.longitude, v.height);
    }
    // A query still running from the last client's run is left to end.
    if (b.nearest && ch->query.watcher < 0 &&
        table_is_stale(ch->table_read_at, ch->table_read, monotonic_s()))
        read_table_again(ch, cfg);
    const Candidate &c = start_candidate(&b, monotonic_s());
    *run = cfg;
    run->ipaddr = c.host;
    run->port = c.port;
    run->username = c.user;
    run->password = c.password;
    run->mountpoint = c.mountpoint;
    h->base.mountpoint = c.mountpoint;
    h->base.caster = caster_of(c);
    h->base.chosen = kind_name(c.kind);
    h->base.distance_km = current_distance_km(b);
    std::string in_use = caster_of(c) + "/" + c.mountpoint;
    if (in_use != ch->described) {
        // Another base: what the last one's 1005/1006 said is not this
        // one's, and is unknown until its own comes.
        h->corrections.station = -1;
        h->corrections.have_arp = false;
        // Described from the configured caster's table when it has the
        // mountpoint in use; another caster's is not in it, and then the
        // configured mountpoint stays described.
        describe_mountpoint(ch->table, same_caster(c, b.configured) ? c.mountpoint : "",
                            b.configured.mountpoint);
        ch->described = in_use;
    }
}

void choice_after_run(Choice *c, RunEnd end)
{
    unsigned in_a_row = c->base.failed_here + (end == RUN_FAILED || end == RUN_NO_FIX ? 1 : 0);
    if (!note_run_end(&c->base, end, monotonic_s()))
        return;
    const Candidate &next = c->base.failover_to;
    log_notice("failing over to %s/%s after %u failed runs", caster_of(next).c_str(),
               next.mountpoint.c_str(), in_a_row);
}

// "3.1 km", or why there is no distance.
static std::string km(double d)
{
    char text[32];
    if (d < 0 || !std::isfinite(d))
        return "not in the table";
    snprintf(text, sizeof text, "%.1f km", d);
    return text;
}

bool choice_on_position(Choice *c, Health *h, const ReceiverView &v)
{
    take_position(c, h, v.latitude, v.longitude, v.height);
    BaseChoice &b = c->base;
    double from = current_distance_km(b);
    std::string old = b.current.mountpoint;
    std::string to = switch_due(&b, monotonic_s());
    if (to.empty())
        return false;
    double d = -1;
    for (const TableBase &t : b.table)
        if (t.mountpoint == to)
            d = distance_km(b.latitude, b.longitude, t.latitude, t.longitude);
    std::string reason = to + " (" + km(d) + ") from " + old + " (" + km(from) + ")";
    log_notice("switching to %s", reason.c_str());
    h->base.switches++;
    h->base.last_switch = unix_now();
    h->base.last_switch_reason = reason;
    return true;
}
