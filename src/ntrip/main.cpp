// rtkfeedd-ntrip: one connection to an NTRIP caster per run; the stream
// to the -D device, the receiver's position back upstream, and an exit
// that says why the run ended. Retrying is the daemon's: its back-off and
// failover count runs that end.
#include "ntrip/ntrip.h"
#include "ntrip/ntrip_internal.h"
#include "common/io.h"
#include "common/log.h"
#include "common/service.h"
#include "devices/devices.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

static const char settings_path[] = "/opt/casterLink/etc/settings";

enum {
    ANSWER_MS = 15000,       // from the request to the answer's header
    TABLE_MS = 20000,        // the whole source-table query
    SILENCE_MS = 120000,     // a stream without a byte for this long has ended
    ICY_PAUSE_MS = 500,      // after an ICY line: what follows, or the stream
    DECIDE_MS = 1000,        // a 200's first bytes: a stream, or a source table
    UPSTREAM_MAX = 4096,     // GGA lines waiting for the caster
};

static const char usage[] =
    "usage: rtkfeedd-ntrip -s ADDR -r PORT [-u USER [-p PASSWORD]] -m MOUNTPOINT -i RECONNINT\n"
    "                      -D DEVICE -B BAUD -A DATABITS -T STOPBITS -Y PARITY [-n GGA [-g SECONDS]]\n"
    "       rtkfeedd-ntrip -s ADDR -r PORT [-u USER [-p PASSWORD]] [-i N]   (the source table)\n"
    "       rtkfeedd-ntrip --version | --help\n"
    "Relays the caster's stream for MOUNTPOINT to DEVICE and the receiver's GGA upstream;\n"
    "without -m prints the caster's source table. See rtkfeedd-ntrip(8).\n";

struct Client {
    Options o;
    ClientSettings s;
    Conn conn;
    std::string caster, where;  // "host:port", "host:port/MOUNTPOINT"
    int device = -1;
    std::string out;            // stream bytes not yet on the device
    unsigned long long relayed = 0;
};

static int fail(Client *c, int code, const std::string &why)
{
    log_err("%s", why.c_str());
    conn_close(&c->conn);
    return code;
}

static const char *signal_name(int sig)
{
    switch (sig) {
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
    }
}

static int stopped(Client *c)
{
    log_notice("stopped by %s: %llu bytes from %s", signal_name(stop_flag.load()), c->relayed,
               c->where.c_str());
    conn_close(&c->conn);
    return EXIT_STOPPED;
}

// Sends all of data within the deadline; 0, or -1 with *f filled.
static int send_all(Client *c, const std::string &data, long long deadline, Failure *f)
{
    size_t at = 0;
    while (at < data.size()) {
        long w = conn_write(&c->conn, data.data() + at, data.size() - at, f);
        if (w > 0) {
            at += static_cast<size_t>(w);
            continue;
        }
        long long left = deadline - monotonic_ms();
        if (w == -1 || left <= 0) {
            *f = {EXIT_UNREACHABLE, c->where + ": cannot send the request: " +
                                        (w == -1 ? f->why : "no room in 15 s")};
            return -1;
        }
        pollfd p[2] = {{c->conn.fd, POLLOUT | POLLIN, 0}, {stop_fd(), POLLIN, 0}};
        poll(p, 2, static_cast<int>(left));
        if (stop_requested())
            return -1;
    }
    return 0;
}

// Reads the answer's header into buf (cap bytes); *n is what came, header
// and the first of the body. 0 with *a filled, or -1 with *f filled (or a
// stop).
static int read_answer(Client *c, char *buf, size_t cap, size_t *n, long long deadline,
                       Answer *a, Failure *f)
{
    *n = 0;
    long long last_byte = monotonic_ms();
    for (;;) {
        long r = conn_read(&c->conn, buf + *n, cap - *n, f);
        if (r > 0) {
            *n += static_cast<size_t>(r);
            last_byte = monotonic_ms();
        }
        bool icy_line = *n > 4 && memcmp(buf, "ICY ", 4) == 0 && memchr(buf, '\n', *n);
        bool more = r != 0 && !(icy_line && monotonic_ms() - last_byte >= ICY_PAUSE_MS);
        parse_answer(buf, *n, more, a);
        if (a->kind != ANSWER_INCOMPLETE)
            return 0;
        if (r == 0 || r == -1) {
            std::string how = r == 0 ? "closed the connection" : "ended the connection (" + f->why + ")";
            *f = {EXIT_UNREACHABLE, c->where + ": the caster " + how + " before an answer"};
            return -1;
        }
        if (r > 0 || conn_pending(&c->conn))
            continue;
        long long now = monotonic_ms();
        if (now >= deadline) {
            *f = {EXIT_UNREACHABLE, c->where + ": no answer from the caster in 15 s"};
            return -1;
        }
        long long wait = deadline - now;
        if (icy_line && last_byte + ICY_PAUSE_MS - now < wait)
            wait = last_byte + ICY_PAUSE_MS - now;
        short events = c->conn.want_write ? POLLIN | POLLOUT : POLLIN;
        pollfd p[2] = {{c->conn.fd, events, 0}, {stop_fd(), POLLIN, 0}};
        poll(p, 2, static_cast<int>(wait < 0 ? 0 : wait));
        if (stop_requested())
            return -1;
    }
}

// Why an answer is not the stream, in words, with its exit status.
static Failure answer_failure(const Client *c, const Answer &a)
{
    std::string said = a.status.empty() ? "" : ": " + a.status;
    switch (a.kind) {
    case ANSWER_REFUSED:
        if (c->o.have_user)
            return {EXIT_REFUSED, c->where + ": the caster refused the account \"" + c->o.user +
                                      "\"" + said};
        return {EXIT_REFUSED, c->where + ": the caster wants an account" + said};
    case ANSWER_NOT_FOUND:
        return {EXIT_NO_MOUNTPOINT, c->where + ": no such mountpoint on the caster" + said};
    case ANSWER_TABLE:
        return {EXIT_NO_MOUNTPOINT,
                c->where + ": no such mountpoint: the caster answered with its source table" + said};
    default:
        if (a.status.empty())
            return {EXIT_NOT_UNDERSTOOD, c->where + ": the caster's answer is not NTRIP"};
        if (a.code == 200)
            return {EXIT_NOT_UNDERSTOOD, c->where + ": the caster's header is over 8 KiB" + said};
        return {EXIT_NOT_UNDERSTOOD, c->where + ": an answer that is not understood" + said};
    }
}

// Writes what is waiting for the device as far as it takes it now; -1
// when the device failed (errno).
static int drain(Client *c, int timeout_ms)
{
    if (c->out.empty())
        return 0;
    size_t w = write_fully(c->device, c->out.data(), c->out.size(), timeout_ms);
    c->out.erase(0, w);
    return !c->out.empty() && errno != EAGAIN ? -1 : 0;
}

// The run's end for a device that failed, in one line.
static int device_failed(Client *c)
{
    return fail(c, EXIT_LOCAL, "stream from " + c->where + " stopped: cannot write to " +
                                   c->o.device + ": " + strerror(errno));
}

// The run ends after the bytes received so far reached the device.
static int end_stream(Client *c, int code, const std::string &why)
{
    if (drain(c, 1000) != 0)
        return device_failed(c);
    return fail(c, code, "stream from " + c->where + " ended: " + why + " after " +
                             std::to_string(c->relayed) + " bytes");
}

static int relay(Client *c, const Answer &a, char *buf, size_t cap, size_t n)
{
    Dechunker chunks;
    GgaPicker picker;
    picker.interval_ms = c->o.gga_interval * 1000;
    if (c->o.have_gga && gga_qualifies(c->o.gga.data(), c->o.gga.size()))
        picker.last_sent_ms = monotonic_ms();  // went with the request
    std::string head;  // a 200's first bytes until they tell what it is
    bool deciding = true;
    long long decide_by = monotonic_ms() + DECIDE_MS;
    long long last_byte = monotonic_ms();
    std::string up;
    size_t have = n - a.header_len;
    memmove(buf, buf + a.header_len, have);
    bool ended = false;  // the caster closed, or the last chunk came
    std::string why_ended = "the caster closed the connection";
    for (;;) {
        // What came: de-chunked, told apart from a source table, queued.
        if (have > 0) {
            ChunkResult cr = a.chunked ? dechunk(&chunks, buf, &have) : CHUNK_OK;
            (deciding ? head : c->out).append(buf, have);
            c->relayed += have;
            have = 0;
            if (cr == CHUNK_BAD) {
                c->out += deciding ? head : "";
                return end_stream(c, EXIT_NOT_UNDERSTOOD, "bad chunk framing");
            }
            if (cr == CHUNK_END) {
                ended = true;
                why_ended = "the caster sent the last chunk";
            }
        }
        long long now = monotonic_ms();
        if (deciding) {
            BodyStart b = classify_body(head.data(), head.size());
            if (b == BODY_TABLE)
                return fail(c, EXIT_NO_MOUNTPOINT,
                            c->where + ": no such mountpoint: the caster answered with its source table");
            if (b == BODY_STREAM || now >= decide_by || ended) {
                deciding = false;
                c->out += head;
                log_notice("connected to %s: NTRIP %d%s, %s", c->where.c_str(), a.icy ? 1 : 2,
                           a.chunked ? ", chunked" : "",
                           c->conn.tls.empty() ? "no TLS" : c->conn.tls.c_str());
            }
        }
        if (ended && !deciding)
            return end_stream(c, EXIT_STREAM_ENDED, why_ended);
        if (stop_requested()) {
            drain(c, 500);
            return stopped(c);
        }
        if (now - last_byte >= SILENCE_MS)
            return end_stream(c, EXIT_STREAM_ENDED, "no data for 120 s");
        if (drain(c, 0) != 0)
            return device_failed(c);
        up += gga_due(&picker, now);
        if (up.size() > UPSTREAM_MAX)
            up.erase(0, up.size() - UPSTREAM_MAX);
        Failure f;
        if (!up.empty()) {
            long w = conn_write(&c->conn, up.data(), up.size(), &f);
            if (w > 0)
                up.erase(0, static_cast<size_t>(w));
            else if (w == -1)
                return end_stream(c, EXIT_STREAM_ENDED, "cannot send the position (" + f.why + ")");
        }
        // The caster is read only while the device keeps up: a slow line
        // holds the stream back in TCP, never loses it.
        if (c->out.empty()) {
            long r = conn_read(&c->conn, buf, cap, &f);
            if (r > 0) {
                have = static_cast<size_t>(r);
                last_byte = now;
                continue;
            }
            if (r == 0) {
                ended = true;
                continue;
            }
            if (r == -1) {
                ended = true;
                why_ended = "the connection failed (" + f.why + ")";
                continue;
            }
        } else {
            last_byte = now;  // waiting for the line, not for the caster
        }
        long long wait = last_byte + SILENCE_MS - now;
        if (deciding && decide_by - now < wait)
            wait = decide_by - now;
        if (!picker.latest.empty()) {
            long long due = picker.last_sent_ms + picker.interval_ms - now;
            if (picker.last_sent_ms < 0 || due < 0)
                due = 0;
            if (due < wait)
                wait = due;
        }
        short conn_events = c->out.empty() ? POLLIN : 0;
        if (!up.empty() || c->conn.want_write)
            conn_events |= POLLOUT;
        short device_events = POLLIN | (c->out.empty() ? 0 : POLLOUT);
        // A socket that is not to be read or written is left out: its
        // hang-up would wake every wait until the device has drained.
        pollfd p[3] = {{conn_events ? c->conn.fd : -1, conn_events, 0},
                       {c->device, device_events, 0}, {stop_fd(), POLLIN, 0}};
        if (poll(p, 3, static_cast<int>(wait < 0 ? 0 : wait)) < 0 && errno != EINTR)
            return fail(c, EXIT_LOCAL, std::string("cannot wait: ") + strerror(errno));
        if (p[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            // Whatever the receiver writes is read, so that its line never
            // fills up; only qualifying GGA sentences go upstream.
            char line[512];
            ssize_t r = read(c->device, line, sizeof line);
            if (r > 0 && c->o.have_gga)
                gga_feed(&picker, line, static_cast<size_t>(r));
            if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR))
                return fail(c, EXIT_LOCAL, "stream from " + c->where + " stopped: " +
                                               c->o.device + " went away" +
                                               (r < 0 ? std::string(" (") + strerror(errno) + ")" : ""));
        }
    }
}

static bool write_all_out(const std::string &s)
{
    for (size_t at = 0; at < s.size();) {
        ssize_t w = write(1, s.data() + at, s.size() - at);
        if (w < 0 && errno != EINTR)
            return false;
        at += w > 0 ? static_cast<size_t>(w) : 0;
    }
    return true;
}

// The source table on standard output as the caster sent it, up to
// ENDSOURCETABLE or its length.
static int print_table(Client *c, const Answer &a, char *buf, size_t cap, size_t n,
                       long long deadline)
{
    if (a.kind != ANSWER_STREAM && a.kind != ANSWER_TABLE)
        return fail(c, answer_failure(c, a).exit, answer_failure(c, a).why);
    Dechunker chunks;
    TableReader table;
    std::string text;
    long long body = 0;
    size_t have = n - a.header_len;
    memmove(buf, buf + a.header_len, have);
    bool ended = false, decided = a.kind == ANSWER_TABLE;
    for (;;) {
        long long raw = static_cast<long long>(have);
        ChunkResult cr = a.chunked ? dechunk(&chunks, buf, &have) : CHUNK_OK;
        if (a.length >= 0 && body + raw > a.length)
            have = static_cast<size_t>(a.length - body);
        body += raw;
        if (!decided && have > 0) {
            BodyStart b = classify_body(buf, have);
            if (b == BODY_STREAM)
                return fail(c, EXIT_NOT_UNDERSTOOD, c->caster + ": the caster's answer to / is not a source table");
            decided = b == BODY_TABLE;
        }
        bool done = table_take(&table, buf, have, &text);
        have = 0;
        if (!text.empty() && !write_all_out(text))
            return fail(c, EXIT_LOCAL, std::string("cannot write the source table: ") + strerror(errno));
        text.clear();
        if (cr == CHUNK_BAD)
            return fail(c, EXIT_NOT_UNDERSTOOD, c->caster + ": bad chunk framing in the source table");
        if (done || cr == CHUNK_END || (a.length >= 0 && body >= a.length) || ended) {
            if (!table.partial.empty())
                write_all_out(table.partial);
            conn_close(&c->conn);
            return EXIT_STOPPED;
        }
        if (stop_requested())
            return stopped(c);
        Failure f;
        long r = conn_read(&c->conn, buf, cap, &f);
        if (r > 0) {
            have = static_cast<size_t>(r);
            continue;
        }
        if (r == 0 || r == -1) {
            ended = true;
            continue;
        }
        long long left = deadline - monotonic_ms();
        if (left <= 0) {
            write_all_out(table.partial);
            return fail(c, EXIT_UNREACHABLE, c->caster + ": no whole source table in 20 s");
        }
        pollfd p[2] = {{c->conn.fd, static_cast<short>(c->conn.want_write ? POLLIN | POLLOUT : POLLIN), 0},
                       {stop_fd(), POLLIN, 0}};
        poll(p, 2, static_cast<int>(left));
    }
}

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("rtkfeedd-ntrip %s%s\n", RTKFEEDD_VERSION, tls_built() ? "" : " (without TLS)");
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        fputs(usage, stdout);
        return 0;
    }
    Client c;
    std::string why;
    if (parse_options(argc - 1, argv + 1, &c.o, &why) != 0) {
        fprintf(stderr, "rtkfeedd-ntrip: %s\n%s", why.c_str(), usage);
        return EXIT_USAGE;
    }
    log_to_stderr();
    install_stop_handler();
    struct sigaction sa;
    sigaction(SIGTERM, nullptr, &sa);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    FILE *f = fopen(settings_path, "re");
    if (!f && errno != ENOENT)
        log_warning("cannot read %s: %s; using the defaults", settings_path, strerror(errno));
    load_client_settings(f, &c.s);
    if (f)
        fclose(f);
    c.caster = host_port(c.o.host, c.o.port);
    c.where = c.caster + (c.o.have_mountpoint ? "/" + c.o.mountpoint : "");
    long long start = monotonic_ms();

    if (c.o.have_mountpoint) {
        // Said in one line that names the caster, as every end of a run is.
        int probe = open(c.o.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (probe < 0)
            return fail(&c, EXIT_LOCAL, "cannot open " + c.o.device + " for " + c.where + ": " +
                                            strerror(errno));
        close(probe);
        c.device = open_serial(c.o.device.c_str(), c.o.baud, c.o.databits, c.o.parity.c_str(),
                               c.o.stopbits);
        if (c.device < 0)
            return EXIT_LOCAL;
    }
    Failure fl;
    if (connect_tcp(c.o.host, c.o.port, &c.conn, &fl) != 0)
        return stop_requested() ? stopped(&c) : fail(&c, fl.exit, fl.why);
    if (uses_tls(c.s, c.o.port) && start_tls(&c.conn, c.o.host, c.o.port, c.s.cafile, &fl) != 0)
        return stop_requested() ? stopped(&c) : fail(&c, fl.exit, fl.why);

    std::string gga;
    if (c.o.have_gga && gga_qualifies(c.o.gga.data(), c.o.gga.size()))
        gga = c.o.gga;
    long long deadline = c.o.have_mountpoint ? monotonic_ms() + ANSWER_MS : start + TABLE_MS;
    if (send_all(&c, build_request(c.o, c.s.protocol, gga, RTKFEEDD_VERSION), deadline, &fl) != 0)
        return stop_requested() ? stopped(&c) : fail(&c, fl.exit, fl.why);
    static char buf[ANSWER_HEADER_MAX + 8192];
    size_t n = 0;
    Answer a;
    if (read_answer(&c, buf, sizeof buf, &n, deadline, &a, &fl) != 0)
        return stop_requested() ? stopped(&c) : fail(&c, fl.exit, fl.why);
    if (!c.o.have_mountpoint)
        return print_table(&c, a, buf, sizeof buf, n, start + TABLE_MS);
    if (a.kind != ANSWER_STREAM) {
        Failure af = answer_failure(&c, a);
        return fail(&c, af.exit, af.why);
    }
    return relay(&c, a, buf, sizeof buf, n);
}
