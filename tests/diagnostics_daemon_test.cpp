// The client's diagnostics in the system log, seen from outside the daemon.
#include "harness.h"

#include <csignal>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

class DiagnosticsTest : public DaemonTest {};

TEST_F(DiagnosticsTest, LogsEveryLineOfEachClientMessageWithinABound)
{
    write_settings("MOD_NTRIP_MOUNTPOINT=MP\n");
    make_serial("/dev/ttyS0");
    write_file("/run/fake/stderr", "auth failed: 401 Unauthorized\ncheck user name and password\n");
    write_file("/run/fake/quick", "");
    start_daemon();
    ASSERT_TRUE(wait_log("check user name and password"));
    EXPECT_TRUE(has_log(LOG_ERR, "auth failed: 401 Unauthorized"));
    EXPECT_TRUE(has_log(LOG_ERR, "check user name and password"));
    // Between clients the FIFO has no writer: the relay must not turn on it.
    unlink("/run/fake/stderr");
    double before = daemon_cpu_seconds();
    sleep(3);
    EXPECT_LT(daemon_cpu_seconds() - before, 0.15);
    EXPECT_EQ(stop_daemon(SIGTERM, 6000), 0);
    unlink("/run/fake/quick");
    unlink("/run/rtkfeedd.backoff");  // each part starts at once

    // A long message without a line feed comes in pieces of at most 1023 bytes.
    write_file("/run/fake/stderr", std::string(2000, 'm'));
    start_daemon();
    ASSERT_TRUE(wait_log("mmm"));
    sleep(2);
    int pieces = 0;
    for (const LogEntry &e : log())
        if (e.text.find("mmm") != std::string::npos) {
            EXPECT_EQ(e.priority, LOG_ERR);
            EXPECT_LE(e.text.size(), 1023u);
            pieces++;
        }
    EXPECT_GE(pieces, 2);
    EXPECT_EQ(stop_daemon(SIGTERM, 6000), 0);
    unlink("/run/rtkfeedd.backoff");

    // A flood: at most 20 lines a second, then the count of the rest.
    std::string flood;
    for (int i = 0; i < 100; i++)
        flood += "flood line " + std::to_string(i) + "\n";
    write_file("/run/fake/stderr", flood);
    start_daemon();
    ASSERT_TRUE(wait_log("lines from casterlink were not logged (more than 20 a second)", 5000));
    EXPECT_GE(count_log("flood line"), 20);
    EXPECT_LE(count_log("flood line"), 40);  // unless the flood straddled two seconds
    EXPECT_EQ(stop_daemon(SIGTERM, 6000), 0);
}

TEST_F(DiagnosticsTest, AFifoThatCannotBeCreatedIsFatal)
{
    make_serial("/dev/ttyS0");
    ASSERT_EQ(mkdir("/run/casterLink.fifo", 0755), 0);
    ASSERT_EQ(mkdir("/run/casterLink.fifo/occupied", 0755), 0);
    start_daemon();
    EXPECT_EQ(wait_exit(5000), 1);
    bool logged = false;
    for (const LogEntry &e : log())
        if (e.priority == LOG_ERR && e.text.rfind("main - cannot create fifo: ", 0) == 0)
            logged = true;
    EXPECT_TRUE(logged);
    EXPECT_EQ(read_file("/run/status.ntrip"), "102");
}
