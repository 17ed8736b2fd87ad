// The daemon as the router's and the fleet's tools see it: a Prometheus
// textfile collector reading its metrics, and a service manager following
// its notifications.
#include "harness.h"
#include "common/io.h"
#include "health/health_internal.h"
#include "rtcm.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

class MonitoringTest : public DaemonTest {};

// The samples of an exposition by name and labels (sorted, as a collector
// shows them), the comments left out.
static std::map<std::string, double> samples(const std::string &text)
{
    std::map<std::string, double> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        size_t space = line.rfind(' ');
        if (line.empty() || line[0] == '#' || space == std::string::npos)
            continue;
        std::string key = line.substr(0, space);
        size_t brace = key.find('{');
        if (brace != std::string::npos) {
            std::vector<std::string> labels;
            std::string inner = key.substr(brace + 1, key.size() - brace - 2), one;
            for (size_t i = 0; i <= inner.size(); i++) {
                bool quoted = std::count(one.begin(), one.end(), '"') % 2 == 1;
                if (i == inner.size() || (inner[i] == ',' && !quoted)) {
                    labels.push_back(one);
                    one.clear();
                } else {
                    one += inner[i];
                }
            }
            std::sort(labels.begin(), labels.end());
            key = key.substr(0, brace + 1);
            for (const std::string &l : labels)
                key += l + (&l == &labels.back() ? "}" : ",");
        }
        out[key] = strtod(line.c_str() + space + 1, nullptr);
    }
    return out;
}

TEST_F(MonitoringTest, TheTextfileCollectorReadsWhatTheReportSays)
{
    write_settings("MOD_NTRIP_METRICS_FILE=\"/run/prom/rtkfeedd.prom\"\n");
    mkdir("/run/prom", 0755);
    write_file("/run/prom/elsewhere", "kept\n");
    ASSERT_EQ(symlink("/run/prom/elsewhere", "/run/prom/rtkfeedd.prom"), 0);
    std::string payload;
    for (uint64_t seq = 0; seq < 6; seq++)
        payload += make_frame(seq);
    write_file("/run/fake/payload", payload);
    make_serial("/dev/ttyS0");
    start_daemon();
    report_when("corrections.frames", [](const std::string &v) { return v == "6"; });
    // Counters are written at most every 5 s: the file catches up.
    std::string text;
    for (int i = 0; i < 80 && text.find("rtkfeedd_target_bytes_total " +
                                        std::to_string(payload.size())) == std::string::npos; i++) {
        usleep(100 * 1000);
        text = read_file("/run/prom/rtkfeedd.prom");
    }
    EXPECT_EQ(read_file("/run/prom/elsewhere"), "kept\n");  // replaced, not written through
    struct stat st;
    ASSERT_EQ(lstat("/run/prom/rtkfeedd.prom", &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // The collector, alone, on a loopback of the test's own.
    ASSERT_TRUE(private_loopback());
    pid_t exporter = fork();
    if (exporter == 0) {
        execlp("prometheus-node-exporter", "prometheus-node-exporter",
               "--web.listen-address=127.0.0.1:9100", "--collector.disable-defaults",
               "--collector.textfile", "--collector.textfile.directory=/run/prom",
               "--log.level=error", nullptr);
        _exit(127);
    }
    std::string scrape;
    for (int i = 0; i < 50 && scrape.find("node_textfile_scrape_error") == std::string::npos; i++) {
        usleep(100 * 1000);
        shell("curl -s http://127.0.0.1:9100/metrics", &scrape);
    }
    kill(exporter, SIGTERM);
    waitpid(exporter, nullptr, 0);
    EXPECT_NE(scrape.find("node_textfile_scrape_error 0"), std::string::npos) << scrape;
    // Every metric as the report of that moment has it (nothing changed since).
    std::map<std::string, std::string> r;
    ASSERT_EQ(parse_report(read_file("/run/rtkfeedd.json"), &r, true), 0);
    auto expected = samples(metrics_text(r, true)), scraped = samples(scrape);
    EXPECT_EQ(expected["rtkfeedd_target_bytes_total"], static_cast<double>(payload.size()));
    EXPECT_EQ(expected["rtkfeedd_corrections_frames_total{type=\"1005\"}"], 2);
    for (const auto &kv : expected) {
        ASSERT_EQ(scraped.count(kv.first), 1u) << kv.first;
        EXPECT_NEAR(scraped[kv.first], kv.second, std::fabs(kv.second) * 1e-12) << kv.first;
    }

    std::string out;
    EXPECT_EQ(shell(RTKFEEDD_BINARY " --metrics", &out), 0);
    EXPECT_NE(out.find("rtkfeedd_up 1\n"), std::string::npos);
    EXPECT_EQ(stop_daemon(), 0);
    EXPECT_NE(read_file("/run/prom/rtkfeedd.prom").find("rtkfeedd_up 0\n"), std::string::npos);
    EXPECT_EQ(shell(RTKFEEDD_BINARY " --metrics", &out), 1);
}

// A datagram socket stands in for systemd's.
TEST_F(MonitoringTest, TheServiceManagerHearsReadyStatusPingsInEveryStateAndStopping)
{
    int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "/run/notify.sock");
    ASSERT_EQ(bind(manager, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    setenv("NOTIFY_SOCKET", "/run/notify.sock", 1);
    setenv("WATCHDOG_USEC", "2000000", 1);
    write_settings("MOD_NTRIP_SEND_NMEA=1\nMOD_NTRIP_SOURCE=2\n");
    make_serial("/dev/ttyS0");
    int source = make_serial("/dev/nmea");
    start_daemon();
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    // 3 s waiting for a position, then 3 s relaying, then the stop.
    std::vector<std::pair<long long, std::string>> heard;
    auto listen_for = [&](int ms) {
        for (long long end = monotonic_ms() + ms; monotonic_ms() < end;) {
            pollfd p = {manager, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(end - monotonic_ms())) <= 0)
                continue;
            char buf[512];
            ssize_t n = recv(manager, buf, sizeof buf, 0);
            if (n > 0)
                heard.emplace_back(monotonic_ms(), std::string(buf, static_cast<size_t>(n)));
        }
    };
    listen_for(3000);
    const std::string gga = "$GPGGA,123519.00,4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,,M,,*7C\r\n";
    ASSERT_EQ(write(source, gga.data(), gga.size()), static_cast<ssize_t>(gga.size()));
    listen_for(3000);
    EXPECT_EQ(stop_daemon(), 0);
    listen_for(300);
    close(manager);

    std::vector<std::string> said;
    long long ready = -1, last_ping = -1, longest_gap = 0;
    int pings = 0;
    for (const auto &h : heard) {
        said.push_back(h.second);
        if (h.second == "READY=1")
            ready = last_ping = h.first;
        if (h.second == "WATCHDOG=1" && ready >= 0) {
            longest_gap = std::max(longest_gap, h.first - last_ping);
            last_ping = h.first;
            pings++;
        }
    }
    auto has = [&](const std::string &s) { return std::find(said.begin(), said.end(), s) != said.end(); };
    ASSERT_GE(ready, 0);
    EXPECT_TRUE(has("STATUS=waiting for a position from the source"));
    EXPECT_TRUE(has("STATUS=position sent, client running; casterlink running"));
    EXPECT_TRUE(has("STOPPING=1"));
    // A ping every half second (a quarter of the interval), none later than
    // half of it, in both states.
    EXPECT_LE(longest_gap, 1000 + 100);
    EXPECT_GE(pings, 9);
    EXPECT_LE(pings, 14);
}
