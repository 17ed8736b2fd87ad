// A caster stream that goes silent while the client stays connected.
#include "harness.h"
#include "health/health_internal.h"

#include <csignal>
#include <syslog.h>
#include <unistd.h>

class WatchdogTest : public DaemonTest {};

TEST_F(WatchdogTest, ASilentClientIsRestartedAndOneThatTricklesIsNot)
{
    make_serial("/dev/ttyS0");
    write_settings("MOD_NTRIP_STALL_TIMEOUT=2\n");
    // Silent, and deaf to SIGTERM: killed 2 s after it was asked to end.
    write_file("/run/fake/stubborn", "");
    start_daemon();
    ASSERT_TRUE(wait_file("/run/fake/starts", "start\n"));
    std::string client = read_file("/run/fake/pid");
    ASSERT_TRUE(wait_log("no corrections from casterlink for 2 s, restarting it", 4000));
    EXPECT_TRUE(has_log(LOG_ERR, "no corrections from casterlink for 2 s, restarting it"));
    EXPECT_FALSE(has_log(LOG_NOTICE, "casterlink terminated"));  // SIGTERM is ignored
    ASSERT_TRUE(wait_log("casterlink terminated", 3500));
    EXPECT_NE(kill(atoi(client.c_str()), 0), 0);
    std::map<std::string, std::string> r;
    ASSERT_EQ(parse_report(read_file("/run/rtkfeedd.json"), &r), 0);
    EXPECT_EQ(r["client.last_exit"], "stalled: no corrections for 2 s");
    EXPECT_EQ(r["client.stalls"], "1");
    EXPECT_EQ(r["client.failures_in_a_row"], "1");
    ASSERT_TRUE(wait_file("/run/fake/starts", "start\nstart\n", 3000));
    EXPECT_EQ(stop_daemon(), 0);

    // A few bytes every second keep it going.
    unlink("/run/rtkfeedd.backoff");
    unlink("/run/fake/stubborn");
    write_file("/run/fake/trickle", "");
    start_daemon();
    ASSERT_TRUE(wait_log("starting casterlink"));
    sleep(5);
    EXPECT_EQ(count_log("no corrections from casterlink"), 0);
    EXPECT_EQ(stop_daemon(), 0);

    // 0 turns the watchdog off.
    unlink("/run/rtkfeedd.backoff");
    unlink("/run/fake/trickle");
    write_settings("MOD_NTRIP_STALL_TIMEOUT=0\n");
    start_daemon();
    ASSERT_TRUE(wait_log("starting casterlink"));
    sleep(4);
    EXPECT_EQ(count_log("no corrections from casterlink"), 0);
    EXPECT_EQ(count_log("casterlink terminated"), 0);
    EXPECT_EQ(stop_daemon(), 0);
}
