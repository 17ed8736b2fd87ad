// Clocks that jump under the running daemon (the clock shim steps them; the
// machine's own are never touched): a router without a real-time clock
// whose time NTP sets after boot, and an hour gone by.
#include "harness.h"
#include "common/io.h"
#include "health/health.h"
#include "rtcm.h"

#include <algorithm>
#include <cstdlib>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

class ClockTest : public DaemonTest {
protected:
    // The next daemon's clocks: after after_s, real time later by realtime_s
    // and monotonic time by monotonic_s.
    pid_t start_with_clock(int after_s, long realtime_s, long monotonic_s)
    {
        setenv("RTKFEEDD_TEST_CLOCK",
               (std::to_string(after_s) + " " + std::to_string(realtime_s) + " " +
                std::to_string(monotonic_s)).c_str(), 1);
        setenv("LD_PRELOAD", CLOCKSHIFT_LIBRARY, 1);
        // The shim comes before a sanitizer's runtime, which is fine for it.
        const char *asan = getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
        pid_t pid = start_daemon();
        unsetenv("LD_PRELOAD");
        unsetenv("RTKFEEDD_TEST_CLOCK");
        return pid;
    }
};

// Time set nine years forward while the receiver makes no use of the
// corrections: the no-fix allowance still runs its 20 s, not out at once.
TEST_F(ClockTest, TheNoFixTimerIgnoresATimeSetByNtp)
{
    write_settings("MOD_NTRIP_NOFIX_TIMEOUT=20\nMOD_NTRIP_SEND_NMEA=1\nMOD_NTRIP_SOURCE=0\n"
                   "MOD_NTRIP_FALLBACK=backup.example/FB\n");
    write_file("/run/fake/repeat", make_frame(0) + make_frame(1));
    int receiver = make_serial("/dev/ttyS0");
    double before = unix_now();
    start_with_clock(3, 300000000, 0);
    const std::string gga = "$GPGGA,123519.00,4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,,M,,*7C\r\n";
    for (int i = 0; i < 36; i++) {
        ASSERT_EQ(write(receiver, gga.data(), gga.size()), static_cast<ssize_t>(gga.size()));
        read_n(receiver, 65536, 0);
        usleep(250 * 1000);
    }
    // The shim did step the daemon's time.
    EXPECT_GT(atof(report()["updated"].c_str()), before + 2.9e8);
    EXPECT_EQ(count_log("receiver has no differential fix"), 0);
    EXPECT_EQ(count_log("starting casterlink"), 1);
    EXPECT_EQ(stop_daemon(), 0);
}

// An hour later the table is read again at the next client start, from a
// caster slow to send it: the service manager's watchdog is pinged all
// the while.
TEST_F(ClockTest, TheWatchdogIsPingedWhileTheTableIsReadAgain)
{
    int manager = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(manager, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "/run/notify.sock");
    ASSERT_EQ(bind(manager, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    // No stall watchdog: the hour would run out its allowance at once.
    write_settings("MOD_NTRIP_IPADDR=caster.example\nMOD_NTRIP_MOUNTPOINT=MP\nMOD_NTRIP_NEAREST=1\n"
                   "MOD_NTRIP_STALL_TIMEOUT=0\n");
    write_file("/run/fake/table", "STR;MP;Town;RTCM 3.2;x;2;GPS;N;DEU;52.0;13.0;1;0;x;none;B;N;9600;\r\n");
    make_serial("/dev/ttyS0");
    setenv("NOTIFY_SOCKET", "/run/notify.sock", 1);
    setenv("WATCHDOG_USEC", "2000000", 1);
    start_with_clock(3, 0, 3700);
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    ASSERT_TRUE(wait_file("/run/fake/starts", "start\n"));
    write_file("/run/fake/query_slow", "5");
    usleep(3500 * 1000);
    write_file("/run/fake/exit", "");  // the next start, an hour on
    long long last_ping = -1, longest_gap = 0;
    for (long long end = monotonic_ms() + 10000; monotonic_ms() < end;) {
        pollfd p = {manager, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        char buf[512];
        ssize_t n = recv(manager, buf, sizeof buf, 0);
        std::string said(buf, n > 0 ? static_cast<size_t>(n) : 0);
        if (said == "WATCHDOG=1") {
            if (last_ping >= 0)
                longest_gap = std::max(longest_gap, monotonic_ms() - last_ping);
            last_ping = monotonic_ms();
        }
    }
    close(manager);
    EXPECT_EQ(read_file("/run/fake/queries"), "query\nquery\n");
    EXPECT_TRUE(wait_file("/run/fake/starts", "start\nstart\n"));
    ASSERT_GE(last_ping, 0);
    EXPECT_LE(longest_gap, 1000 + 200);
    EXPECT_EQ(stop_daemon(), 0);
}

// The table could not be read at start-up (the uplink not yet up) and the
// configured mountpoint runs well: a minute later the table is asked for
// again while the client runs, the corrections going on meanwhile, and
// the client gives way to the nearest base by the switch rule.
TEST_F(ClockTest, ATableThatCouldNotBeReadIsAskedForWhileTheClientRuns)
{
    write_settings("MOD_NTRIP_IPADDR=caster.example\nMOD_NTRIP_MOUNTPOINT=CONF\n"
                   "MOD_NTRIP_NEAREST=1\nMOD_NTRIP_SEND_NMEA=1\nMOD_NTRIP_SOURCE=1\n"
                   "MOD_NTRIP_STALL_TIMEOUT=0\n");
    std::string position = "$GPGGA,120000.00,5200.0000,N,01359.4000,E,1,12,0.9,50.0,M,0.0,M,,*";
    unsigned sum = 0;
    for (size_t i = 1; i + 1 < position.size(); i++)
        sum ^= static_cast<unsigned char>(position[i]);
    char tail[8];
    snprintf(tail, sizeof tail, "%02X\r\n", sum);
    position += tail;
    int receiver = make_serial("/dev/ttyS0");
    int source = make_serial("/dev/ttyS1");
    write_file("/run/fake/repeat", std::string(40, 'c'));
    // A minute passes 6 s after the start.
    start_with_clock(6, 0, 61);
    ASSERT_TRUE(wait_log("cannot read the source table of caster.example:0"));
    write_file("/run/fake/table",
               "STR;CONF;Far;RTCM 3.2;x;2;GPS;N;DEU;52.0;15.0;1;0;x;none;B;N;9600;\r\n"
               "STR;EAST;Near;RTCM 3.2;x;2;GPS;N;DEU;52.0;14.0;1;0;x;none;B;N;9600;\r\n");
    write_file("/run/fake/query_slow", "3");
    long long longest_gap = 0, last = monotonic_ms();
    bool switched = false;
    for (long long end = monotonic_ms() + 40000; monotonic_ms() < end && !switched;) {
        ASSERT_EQ(write(source, position.data(), position.size()), static_cast<ssize_t>(position.size()));
        for (long long second = monotonic_ms() + 1000; monotonic_ms() < second;) {
            pollfd p = {receiver, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char buf[512];
            // Until the switch ends the client, corrections never pause.
            if (read(receiver, buf, sizeof buf) > 0 && count_log("switching to EAST") == 0)
                longest_gap = std::max(longest_gap, monotonic_ms() - last);
            last = monotonic_ms();
        }
        switched = read_file("/run/fake/mounts").find("EAST") != std::string::npos;
    }
    EXPECT_TRUE(switched) << read_file("/run/fake/mounts");
    EXPECT_TRUE(wait_log("source table of caster.example:0 read: 2 bases"));
    EXPECT_TRUE(wait_log("switching to EAST"));
    EXPECT_EQ(read_file("/run/fake/queries"), "query\nquery\n");
    EXPECT_LT(longest_gap, 1500) << "the relay waited for the query";
    EXPECT_EQ(stop_daemon(), 0);
}
