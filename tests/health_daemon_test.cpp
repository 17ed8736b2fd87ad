// The health report as the router reads it: "/run/rtkfeedd.json" and
// `rtkfeedd --status`.
#include "harness.h"
#include "health/health_internal.h"
#include "rtcm.h"

#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

class HealthTest : public DaemonTest {
protected:
    // The report, once key holds value (or the time ran out).
    static std::map<std::string, std::string> report_when(const std::string &key,
                                                          const std::string &value,
                                                          int timeout_ms = 10000)
    {
        return DaemonTest::report_when(
            key, [&](const std::string &v) { return v == value; }, timeout_ms);
    }

    // `rtkfeedd --status`: its exit status and what it printed.
    static int status_command(std::string *out)
    {
        return shell(RTKFEEDD_BINARY " --status", out);
    }
};

TEST_F(HealthTest, CountsTheCorrectionsThatReachTheReceiver)
{
    int target = make_serial("/dev/ttyS0");
    // Ten frames; the sixth (a 1005) is split between two bursts, the eighth
    // (a 1084) broken.
    std::string first, second;
    for (uint64_t seq = 0; seq < 10; seq++) {
        std::string frame = make_frame(seq);
        if (seq == 7)
            frame[12] ^= 0x20;
        if (seq < 5)
            first += frame;
        else if (seq == 5)
            first += frame.substr(0, 12), second += frame.substr(12);
        else
            second += frame;
    }
    write_file("/run/fake/payload", first);
    write_file("/run/fake/payload2", second);
    pid_t pid = start_daemon();
    auto r = report_when("corrections.frames", "9");
    EXPECT_EQ(r["corrections.frames"], "9");
    EXPECT_EQ(r["corrections.crc_failures"], "1");
    EXPECT_EQ(r["corrections.types.1005"], "2");
    EXPECT_EQ(r["corrections.types.1006"], "2");
    EXPECT_EQ(r["corrections.types.1074"], "2");
    EXPECT_EQ(r["corrections.types.1084"], "1");
    EXPECT_EQ(r["corrections.types.1094"], "2");
    EXPECT_EQ(r["corrections.station"], "42");
    EXPECT_EQ(r["target.bytes"], std::to_string(first.size() + second.size()));
    EXPECT_EQ(r["target.dropped_bytes"], "0");
    EXPECT_EQ(r["target.open"], "true");
    EXPECT_EQ(r["target.device"], "/dev/ttyS0");
    EXPECT_EQ(r["status"], "1");
    EXPECT_EQ(r["daemon.pid"], std::to_string(pid));
    EXPECT_EQ(r["client.running"], "true");
    EXPECT_EQ(r["client.starts"], "1");
    EXPECT_EQ(r["position.source"], "null");
    EXPECT_EQ(read_n(target, first.size() + second.size(), 3000), first + second);
    struct stat st;
    ASSERT_EQ(stat("/run/rtkfeedd.json", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    std::string out;
    EXPECT_EQ(status_command(&out), 0);
    EXPECT_NE(out.find("corrections: 9 frames (1005:2 1006:2 1074:2 1084:1 1094:2), 1 CRC failures"),
              std::string::npos)
        << out;

    // A client that ends: its exit and the pause before the next start.
    write_file("/run/fake/exit", "");
    r = report_when("client.running", "false");
    EXPECT_EQ(r["client.last_exit"], "exited 0");
    EXPECT_EQ(r["client.failures_in_a_row"], "1");
    EXPECT_NE(r["client.next_start"], "null");

    EXPECT_EQ(stop_daemon(), 0);
    r = report_when("status", "0");
    EXPECT_EQ(r["client.running"], "false");
    EXPECT_EQ(r["target.open"], "false");
    out.clear();
    EXPECT_EQ(status_command(&out), 1);
    EXPECT_NE(out.find("rtkfeedd: not running"), std::string::npos) << out;
}

TEST_F(HealthTest, ShowsTheReceiversOwnViewOfTheCorrections)
{
    write_settings("MOD_NTRIP_SEND_NMEA=1\nMOD_NTRIP_SOURCE=2\n");
    make_serial("/dev/ttyS0");
    int source = make_serial("/dev/nmea");
    start_daemon();
    ASSERT_TRUE(wait_log("waiting for valid position(GGA message)"));
    auto r = report_when("status", "10");
    EXPECT_EQ(r["receiver.fix_quality"], "null");
    const std::string fix = "$GPGGA,123519.00,4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,,M,,*7C";
    std::string line = fix + "\r\n";
    ASSERT_EQ(write(source, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    ASSERT_TRUE(wait_file("/run/fake/starts", "start\n"));
    usleep(300 * 1000);
    // RTK fixed, 12 satellites, corrections 1.2 s old: said during the cycle.
    line = "$GNGGA,123520.00,4807.0380,N,01131.0000,E,4,12,0.9,545.4,M,47.0,M,1.2,0001*57\r\n";
    ASSERT_EQ(write(source, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    r = report_when("receiver.fix_quality", "4");
    EXPECT_EQ(r["receiver.satellites"], "12");
    EXPECT_EQ(r["receiver.age_of_corrections"], "1.2");
    EXPECT_NE(r["receiver.last_gga"], "null");
    EXPECT_EQ(r["position.source"], "/dev/nmea");
    EXPECT_EQ(r["position.sentence"], fix);
    EXPECT_EQ(r["position.bytes_to_client"], std::to_string(line.size()));
    EXPECT_EQ(stop_daemon(), 0);
}

// What rpcd's exec plugin prints for `ubus call rtkfeedd ...`, run as rpcd
// runs it (arguments on standard input), under dash.
static std::string plugin(const char *args)
{
    std::string out;
    DaemonTest::shell(
        std::string("echo '{}' | RTKFEEDD=" RTKFEEDD_BINARY " dash " RPCD_PLUGIN " ") + args, &out);
    return out;
}

TEST_F(HealthTest, TheRpcdPluginGivesTheReportOrSaysWhyNot)
{
    std::map<std::string, std::string> r;
    ASSERT_EQ(parse_report(plugin("list"), &r), 0);
    EXPECT_EQ(r.count("status"), 0u);  // an empty object: no arguments
    r.clear();
    ASSERT_EQ(parse_report(plugin("call status"), &r), 0);
    EXPECT_EQ(r["running"], "false");
    EXPECT_EQ(r["reason"], "no report at /run/rtkfeedd.json");

    make_serial("/dev/ttyS0");
    start_daemon();
    report_when("client.running", "true");
    std::string report = plugin("call status");
    EXPECT_EQ(report.substr(0, 11), "{\"version\":");
    EXPECT_EQ(parse_report(report, &r), 0);
    EXPECT_EQ(stop_daemon(), 0);
    r.clear();
    ASSERT_EQ(parse_report(plugin("call status"), &r), 0);
    EXPECT_EQ(r["running"], "false");
    EXPECT_EQ(r["reason"], "the daemon named in /run/rtkfeedd.json is not running");
}
