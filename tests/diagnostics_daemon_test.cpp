// The client's diagnostics in the system log, seen from outside the daemon.
#include "harness.h"

#include <csignal>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

class DiagnosticsTest : public DaemonTest {};

TEST_F(DiagnosticsTest, LogsTheFirstLineOfEachClientMessage)
{
    write_settings("MOD_NTRIP_MOUNTPOINT=MP\n");
    make_serial("/dev/ttyS0");
    write_file("/run/fake/stderr", "a\nb\n");
    write_file("/run/fake/quick", "");
    start_daemon();
    ASSERT_TRUE(wait_log("starting casterlink"));
    ASSERT_TRUE(wait_file("/run/fake/starts", "start\nstart\n"));
    usleep(1500 * 1000);
    EXPECT_TRUE(has_log(LOG_ERR, "a"));
    EXPECT_FALSE(has_log(LOG_ERR, "b"));
    // Between clients the FIFO has no writer: the relay must not turn on it.
    unlink("/run/fake/stderr");
    double before = daemon_cpu_seconds();
    sleep(3);
    EXPECT_LT(daemon_cpu_seconds() - before, 0.15);

    // A long message without a line feed comes in pieces of at most 1023 bytes.
    write_file("/run/fake/stderr", std::string(2000, 'm'));
    sleep(3);
    unlink("/run/fake/quick");
    int pieces = 0;
    for (const LogEntry &e : log())
        if (e.text.find("mmm") != std::string::npos) {
            EXPECT_EQ(e.priority, LOG_ERR);
            EXPECT_LE(e.text.size(), 1023u);
            pieces++;
        }
    EXPECT_GE(pieces, 2);
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
