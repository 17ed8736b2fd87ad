// The publisher's loop: one thread, one wait over the stop latch, the
// report's directory (inotify), the daemon's end (a pidfd) and the
// broker's socket, so that it sleeps until one of them has something to
// say. libmosquitto is driven by hand (its socket in this wait), never
// by a thread of its own.
#include "mqtt/mqtt.h"
#include "mqtt/publisher.h"
#include "common/io.h"
#include "common/log.h"
#include "common/service.h"
#include "health/health_internal.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mosquitto.h>
#ifdef RTKFEEDD_MQTT_VERIFY_REASON
#include <openssl/ssl.h>
#include <openssl/x509.h>
#endif
#include <poll.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

static const char report_dir[] = "/run";
static const char report_name[] = "rtkfeedd.json";
static const char report_path[] = "/run/rtkfeedd.json";
enum {
    KEEPALIVE_S = 60,
    SILENT_MS = KEEPALIVE_S * 1500,  // nothing heard for this long: the connection is gone
    CONNACK_WAIT_MS = 10000,  // a broker that takes the connection but never answers
    MAX_BACKOFF_S = 60,
    LASTED_MS = 60000,        // a connection that lasted this long resets the back-off
};

struct Publisher {
    const MqttSettings *s = nullptr;
    mosquitto *mosq = nullptr;
    std::string state_topic, up_topic;
    // The connection: attempting (a connect made, its answer awaited) or
    // connected; when the next attempt is due and the pause after it.
    bool attempting = false, connected = false;
    long long attempt_at = 0, next_attempt = 0;
    int backoff_s = 1;
    // The lookup and connect run in a thread of their own, which a stop
    // abandons: neither can be interrupted inside libmosquitto.
    bool connecting = false;
    pthread_t connector;
    int connect_done[2] = {-1, -1};
    int connect_rc = 0, connect_errno = 0;
    // When the connection was made and when the broker was last heard.
    long long connected_at = 0, heard_at = 0;
    // Connections that end within LASTED_MS of being made: said once.
    bool short_lived = false;
    std::string said;       // the connection's state as last logged
    std::string last_error;  // libmosquitto's last error message (TLS)
    // The report: as last read, as last published (and when), and the
    // daemon's end descriptor.
    std::string report_json;
    ReportKeys report, published;
    bool have_report = false, have_published = false;
    PublishPace pace;
    int up = -1, up_published = -1;
    int daemon_pid = 0;
    int daemon_end = -1;
};

// Each change of the connection's state once, never once per attempt.
static void say(Publisher *p, int priority, const std::string &what)
{
    if (what == p->said)
        return;
    p->said = what;
    if (priority == LOG_NOTICE)
        log_notice("%s", what.c_str());
    else
        log_err("%s", what.c_str());
}

static std::string broker(const Publisher *p)
{
    return p->s->host + ":" + std::to_string(p->s->port);
}

static void on_connect(mosquitto *, void *obj, int rc)
{
    Publisher *p = static_cast<Publisher *>(obj);
    p->attempting = false;
    if (rc == 0) {
        p->connected = true;
        p->connected_at = p->heard_at = monotonic_ms();
        p->up_published = -1;
        p->have_published = false;
        if (!p->short_lived)
            say(p, LOG_NOTICE, "connected to " + broker(p));
    } else {
        say(p, LOG_ERR, "refused by " + broker(p) + ": " + mosquitto_connack_string(rc));
    }
}

static void on_log(mosquitto *mosq, void *obj, int level, const char *text)
{
    if (!(level & MOSQ_LOG_ERR))
        return;
    Publisher *p = static_cast<Publisher *>(obj);
    p->last_error = text;
#ifdef RTKFEEDD_MQTT_VERIFY_REASON
    // OpenSSL says only "certificate verify failed"; the handshake, still
    // there while it is logged, says why: expired, not yet valid, another
    // host's, an unknown issuer.
    SSL *ssl = static_cast<SSL *>(mosquitto_ssl_get(mosq));
    long verify = ssl ? SSL_get_verify_result(ssl) : X509_V_OK;
    // libmosquitto checks the host name itself and fails without a code
    // of its own: unspecified is that check.
    if (verify == X509_V_ERR_UNSPECIFIED)
        p->last_error = "certificate not accepted: it is not one of " + p->s->host;
    else if (verify != X509_V_OK)
        p->last_error = std::string("certificate not accepted: ") +
                        X509_verify_cert_error_string(verify);
#else
    (void)mosq;
#endif
}

// The connection is over (refused, lost, never made): the next attempt
// after 1, 2, 4 ... at most 60 s.
static void drop_connection(Publisher *p)
{
    // Only a connection that lasted starts the back-off afresh: a broker
    // that ends each one right after it was made (another router with the
    // same client id, a packet limit below the report) is not hammered.
    if (p->connected) {
        if (monotonic_ms() - p->connected_at >= LASTED_MS) {
            p->backoff_s = 1;
            p->short_lived = false;
        } else if (!p->short_lived) {
            p->short_lived = true;
            log_err("connections to %s end within %d s of being made (another client with the "
                    "id %s, or a broker that refuses the report's size?); trying again after 1, "
                    "2, 4 ... %d s", broker(p).c_str(), LASTED_MS / 1000,
                    mqtt_client_id(p->s->prefix).c_str(), static_cast<int>(MAX_BACKOFF_S));
        }
    }
    mosquitto_disconnect(p->mosq);
    p->attempting = p->connected = false;
    p->next_attempt = monotonic_ms() + p->backoff_s * 1000LL;
    p->backoff_s = std::min(p->backoff_s * 2, static_cast<int>(MAX_BACKOFF_S));
}

static void lose(Publisher *p, int rc)
{
    // A connection in a loop of short-lived ones: the loop was said once.
    if (p->connected) {
        if (!p->short_lived)
            say(p, LOG_ERR, "lost " + broker(p) + ": " + mosquitto_strerror(rc));
    } else if (rc == MOSQ_ERR_TLS) {
        say(p, LOG_ERR, "TLS failure with " + broker(p) + ": " + p->last_error);
    } else if (p->said.compare(0, 7, "refused") != 0) {
        say(p, LOG_ERR, "cannot reach " + broker(p) + ": " + mosquitto_strerror(rc));
    }
    drop_connection(p);
}

static void *connect_thread(void *arg)
{
    Publisher *p = static_cast<Publisher *>(arg);
    errno = 0;
    p->connect_rc = mosquitto_connect(p->mosq, p->s->host.c_str(), static_cast<int>(p->s->port),
                                      KEEPALIVE_S);
    p->connect_errno = errno;
    if (write(p->connect_done[1], "", 1) < 0) {
    }
    return nullptr;
}

// Starts a connection attempt in the connector thread; the loop waits for
// it beside the stop.
static void attempt(Publisher *p)
{
    p->last_error.clear();
    // Stop signals go to the loop, never into the connector's calls.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    int err = pthread_create(&p->connector, nullptr, connect_thread, p);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (err != 0) {
        say(p, LOG_ERR, std::string("cannot start a connection: ") + strerror(err));
        drop_connection(p);
        return;
    }
    p->connecting = true;
}

// The connector is done: what it made of the attempt.
static void attempted(Publisher *p)
{
    char byte;
    while (read(p->connect_done[0], &byte, 1) > 0) {
    }
    pthread_join(p->connector, nullptr);
    p->connecting = false;
    int rc = p->connect_rc;
    if (stop_requested())
        return;  // the stop says what happens
    if (rc == MOSQ_ERR_ERRNO) {
        say(p, LOG_ERR, "cannot reach " + broker(p) + ": " + strerror(p->connect_errno));
        drop_connection(p);
        return;
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        lose(p, rc);
        return;
    }
    p->attempting = true;
    p->attempt_at = monotonic_ms();
}

// The daemon named in the report: whether it runs, and a descriptor that
// becomes readable when it ends.
static void watch_daemon(Publisher *p)
{
    ReportedDaemon d = reported_daemon(p->report);
    p->up = p->have_report && reported_daemon_alive(p->report) ? 1 : 0;
    if (p->up == 1 && d.pid == p->daemon_pid)
        return;
    if (p->daemon_end >= 0)
        close(p->daemon_end);
    p->daemon_end = -1;
    p->daemon_pid = p->up == 1 ? d.pid : 0;
#ifdef SYS_pidfd_open
    if (p->daemon_pid > 0)
        p->daemon_end = static_cast<int>(syscall(SYS_pidfd_open, p->daemon_pid, 0));
#endif
}

static void read_report(Publisher *p)
{
    std::string json;
    ReportKeys keys;
    p->have_report = read_state_file(report_path, &json, 1 << 20) == 0 &&
                     parse_report(json, &keys, true) == 0;
    if (p->have_report) {
        p->report_json = json;
        p->report = keys;
    }
    watch_daemon(p);
}

// Retained; the state with QoS 0, so that nothing superseded is kept or
// sent again after a reconnect, only up with QoS 1.
static void publish(Publisher *p, const std::string &topic, const std::string &payload, int qos)
{
    int rc = mosquitto_publish(p->mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                               payload.data(), qos, true);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN)
        lose(p, rc);
}

// What is due to the broker now: up when it changed, the state at once
// when a fleet would see a change, counters at most every interval; the
// latest report only, never a queue. Returns when to look again (monotonic
// ms, 0: only at the next event).
static long long publish_due(Publisher *p)
{
    if (!p->connected)
        return 0;
    if (p->up != p->up_published) {
        publish(p, p->up_topic, p->up == 1 ? "1" : "0", 1);
        p->up_published = p->up;
    }
    if (!p->have_report || (p->have_published && !report_changed(p->published, p->report)))
        return 0;
    long long now = monotonic_ms();
    // The first report of a connection goes at once.
    bool change = !p->have_published || state_changed(p->published, p->report);
    long long due = p->have_published ? publish_time(p->pace, change, now, p->s->interval) : now;
    if (due > now)
        return due;
    std::string json = p->report_json;
    while (!json.empty() && (json.back() == '\n' || json.back() == '\r'))
        json.pop_back();
    publish(p, p->state_topic, json, 0);
    p->published = p->report;
    // A connection's first report is no change of state: the next one
    // still goes at once.
    note_published(&p->pace, change && p->have_published, now);
    p->have_published = true;
    return 0;
}

// Whether an inotify read names the report.
static bool report_touched(int fd)
{
    alignas(inotify_event) char buf[4096];
    bool touched = false;
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        for (char *at = buf; at < buf + n;) {
            const inotify_event *e = reinterpret_cast<const inotify_event *>(at);
            if (e->len > 0 && strcmp(e->name, report_name) == 0)
                touched = true;
            at += sizeof(inotify_event) + e->len;
        }
    return touched;
}

static void drive_socket(Publisher *p, short revents)
{
    int rc = MOSQ_ERR_SUCCESS;
    if (revents & POLLIN)
        p->heard_at = monotonic_ms();
    if (revents & (POLLIN | POLLHUP | POLLERR))
        rc = mosquitto_loop_read(p->mosq, 1);
    if (rc == MOSQ_ERR_SUCCESS && (revents & POLLOUT))
        rc = mosquitto_loop_write(p->mosq, 1);
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_loop_misc(p->mosq);
    if (rc != MOSQ_ERR_SUCCESS) {
        lose(p, rc);
    } else if (!p->connected && !p->attempting) {
        drop_connection(p);  // refused: on_connect said so
    } else if (p->connected && monotonic_ms() - p->heard_at >= SILENT_MS) {
        // libmosquitto pings after a keepalive without a word from the
        // broker and would wait another for the answer; a NAT mapping that
        // went silent is noticed sooner, and said in words.
        say(p, LOG_ERR, "no answer from " + broker(p) + " for " +
                            std::to_string((monotonic_ms() - p->heard_at) / 1000) + " s");
        drop_connection(p);
    }
}

// Says goodbye: up 0, as the will would, then a clean disconnect, within
// a second.
static void leave(Publisher *p)
{
    if (!p->connected)
        return;
    publish(p, p->up_topic, "0", 1);
    mosquitto_disconnect(p->mosq);
    for (long long end = monotonic_ms() + 1000; monotonic_ms() < end;) {
        int fd = mosquitto_socket(p->mosq);
        if (fd < 0 || !mosquitto_want_write(p->mosq))
            break;
        pollfd w = {fd, POLLOUT, 0};
        if (poll(&w, 1, 100) > 0 && mosquitto_loop_write(p->mosq, 1) != MOSQ_ERR_SUCCESS)
            break;
    }
}

static int setup(Publisher *p, const MqttSettings &s)
{
    p->s = &s;
    p->state_topic = s.prefix + "/state";
    p->up_topic = s.prefix + "/up";
    // A clean session: nothing of an earlier connection is kept to be sent
    // again.
    p->mosq = mosquitto_new(mqtt_client_id(s.prefix).c_str(), true, p);
    if (!p->mosq) {
        log_err("cannot make an MQTT client: %s", strerror(errno));
        return -1;
    }
    mosquitto_connect_callback_set(p->mosq, on_connect);
    mosquitto_log_callback_set(p->mosq, on_log);
    mosquitto_will_set(p->mosq, p->up_topic.c_str(), 1, "0", 1, true);
    if (!s.username.empty())
        mosquitto_username_pw_set(p->mosq, s.username.c_str(),
                                  s.password.empty() ? nullptr : s.password.c_str());
    if (!s.cafile.empty()) {
        FILE *ca = fopen(s.cafile.c_str(), "re");
        if (!ca) {
            log_err("cannot read the CA file %s: %s", s.cafile.c_str(), strerror(errno));
            return -1;
        }
        fclose(ca);
        // The broker's certificate and its name (as written in the settings)
        // are verified; a failure is never bypassed.
        int rc = mosquitto_tls_set(p->mosq, s.cafile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc == MOSQ_ERR_SUCCESS)
            rc = mosquitto_tls_opts_set(p->mosq, 1, "tlsv1.2", nullptr);
        if (rc == MOSQ_ERR_SUCCESS)
            rc = mosquitto_tls_insecure_set(p->mosq, false);
        if (rc != MOSQ_ERR_SUCCESS) {
            log_err("cannot use the CA file %s: %s", s.cafile.c_str(), mosquitto_strerror(rc));
            return -1;
        }
    }
    return 0;
}

int run_publisher(const MqttSettings &s)
{
    Publisher p;
    if (setup(&p, s) != 0)
        return 1;
    if (pipe2(p.connect_done, O_CLOEXEC | O_NONBLOCK) != 0) {
        log_err("cannot make a pipe: %s", strerror(errno));
        return 1;
    }
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, report_dir, IN_CLOSE_WRITE | IN_MOVED_TO |
                                                              IN_DELETE | IN_CREATE) < 0) {
        log_err("cannot watch %s: %s", report_dir, strerror(errno));
        return 1;
    }
    read_report(&p);
    long long report_due = 0;
    while (!stop_requested()) {
        long long now = monotonic_ms();
        if (!p.connecting && !p.connected && !p.attempting && now >= p.next_attempt)
            attempt(&p);
        if (p.attempting && monotonic_ms() - p.attempt_at > CONNACK_WAIT_MS)
            lose(&p, MOSQ_ERR_KEEPALIVE);
        // While the connector works, libmosquitto is its alone.
        report_due = p.connecting ? 0 : publish_due(&p);
        // The wait: until an event, the next attempt, a report due, or the
        // keepalive's turn (half its interval).
        pollfd fds[5];
        nfds_t n = 0;
        fds[n++] = {stop_fd(), POLLIN, 0};
        fds[n++] = {watch, POLLIN, 0};
        int sock = p.connecting ? -1 : mosquitto_socket(p.mosq);
        int sock_at = -1, end_at = -1, done_at = -1;
        if (p.connecting) {
            done_at = static_cast<int>(n);
            fds[n++] = {p.connect_done[0], POLLIN, 0};
        }
        if (sock >= 0 && (p.connected || p.attempting)) {
            sock_at = static_cast<int>(n);
            fds[n++] = {sock, static_cast<short>(POLLIN | (mosquitto_want_write(p.mosq) ? POLLOUT : 0)), 0};
        }
        if (p.daemon_end >= 0) {
            end_at = static_cast<int>(n);
            fds[n++] = {p.daemon_end, POLLIN, 0};
        }
        long long until = monotonic_ms() + KEEPALIVE_S * 500LL;
        if (p.attempting)
            until = std::min(until, p.attempt_at + CONNACK_WAIT_MS + 1);
        else if (p.connected)
            until = std::min(until, p.heard_at + SILENT_MS + 1);
        else if (!p.connecting)
            until = std::min(until, p.next_attempt);
        if (report_due > 0)
            until = std::min(until, report_due);
        // Without a descriptor for the daemon's end (kernels before 5.3),
        // its pid is looked at every 5 s while it runs.
        if (p.up == 1 && p.daemon_end < 0)
            until = std::min(until, monotonic_ms() + 5000);
        long long wait = std::max(0LL, until - monotonic_ms());
        if (poll(fds, n, static_cast<int>(wait)) < 0 && errno != EINTR) {
            log_err("poll: %s", strerror(errno));
            sleep(1);
            continue;
        }
        if (report_touched(watch) || (end_at >= 0 && fds[end_at].revents) ||
            (p.up == 1 && p.daemon_end < 0))
            read_report(&p);
        if (done_at >= 0 && fds[done_at].revents)
            attempted(&p);
        else if (sock_at >= 0)
            drive_socket(&p, fds[sock_at].revents);
        else if (p.connected)
            mosquitto_loop_misc(p.mosq);
    }
    if (p.connecting) {
        // A lookup or a connection that hangs (a resolver or a broker that
        // does not answer) is abandoned: the process ends around it, as
        // the stop promises, within its 3 s.
        log_notice("terminated");
        _exit(0);
    }
    leave(&p);
    mosquitto_destroy(p.mosq);
    close(watch);
    if (p.daemon_end >= 0)
        close(p.daemon_end);
    return 0;
}
