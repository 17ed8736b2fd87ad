// The mountpoint description from the caster's source table, at start-up.
#include "harness.h"

#include <chrono>
#include <csignal>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

class MountpointTest : public DaemonTest {};

static const char table[] =
    "SOURCETABLE 200 OK\r\n"
    "STR;OTHER;Elsewhere;RTCM 3;;;;;;;;;;;;;;;\r\n"
    "STR;RTCM3;Berlin;RTCM 3.2;1004(1),1012(1);2;GPS+GLO;EUREF;DEU;52.50;13.40;1;0;sNTRIP;none;B;N;9600;\r\n"
    "ENDSOURCETABLE\r\n";

static const char description[] = "Mountpoint           : RTCM3\n"
                                  "Identifier           : Berlin\n"
                                  "Format               : RTCM 3.2\n"
                                  "Format details       : 1004(1),1012(1)\n"
                                  "Navigation system(s) : GPS+GLO\n"
                                  "Network              : EUREF\n"
                                  "NMEA required        : Yes\n";

TEST_F(MountpointTest, DescribesTheMountpointFromTheSourceTable)
{
    write_settings("MOD_NTRIP_IPADDR=1.2.3.4; touch /run/owned\nMOD_NTRIP_PORT=2101\n"
                   "MOD_NTRIP_MOUNTPOINT=RTCM3\n");
    make_serial("/dev/ttyS0");
    write_file("/run/fake/table", table);
    // Planted by an unprivileged user: must be neither followed nor written.
    write_file("/run/victim", "precious");
    ASSERT_EQ(symlink("/run/victim", "/var/tmp/ntrip_table"), 0);
    start_daemon();
    ASSERT_TRUE(wait_log("starting casterlink"));
    EXPECT_EQ(read_file("/run/mountpoint.ntrip"), description);
    EXPECT_EQ(read_file("/run/fake/query_args"),
              "/opt/casterLink/bin/casterlink\n-s\n1.2.3.4; touch /run/owned\n-r\n2101\n-i\n1\n");
    EXPECT_FALSE(exists("/run/owned"));
    EXPECT_EQ(read_file("/run/victim"), "precious");
    struct stat st;
    ASSERT_EQ(lstat("/var/tmp/ntrip_table", &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~022u);
    EXPECT_EQ(read_file("/var/tmp/ntrip_table"), table);
    EXPECT_EQ(stop_daemon(), 0);
}

TEST_F(MountpointTest, LeavesTheDescriptionEmptyWhenTheQueryFails)
{
    make_serial("/dev/ttyS0");
    const char *settings[] = {"MOD_NTRIP_MOUNTPOINT=rtcm3\n", "MOD_NTRIP_MOUNTPOINT=RTCM3\n"};
    for (const char *s : settings) {
        SCOPED_TRACE(s);
        write_settings(s);
        write_file("/run/mountpoint.ntrip", "stale");
        // The second round: the client prints nothing.
        start_daemon();
        ASSERT_TRUE(wait_log("starting casterlink"));
        EXPECT_EQ(read_file("/run/mountpoint.ntrip"), "");
        EXPECT_EQ(stop_daemon(), 0);
        write_file("/run/fake/table", table);
        if (s == settings[0])
            unlink("/run/fake/table");
    }

    // Without a mountpoint file nothing is queried; the daemon goes on.
    ASSERT_EQ(unlink("/run/mountpoint.ntrip"), 0);
    ASSERT_EQ(mkdir("/run/mountpoint.ntrip", 0755), 0);
    unlink("/run/fake/query_args");
    start_daemon();
    ASSERT_TRUE(wait_log("starting casterlink"));
    EXPECT_TRUE(has_log(LOG_ERR, "Unable to save mountpoint info"));
    EXPECT_FALSE(exists("/run/fake/query_args"));
    EXPECT_EQ(stop_daemon(), 0);
}

TEST_F(MountpointTest, AStopDuringTheQueryEndsItAtOnce)
{
    make_serial("/dev/ttyS0");
    write_file("/run/fake/query_hang", "");
    start_daemon();
    auto start = std::chrono::steady_clock::now();
    while (!exists("/run/fake/query_args") &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(5))
        usleep(20 * 1000);
    ASSERT_TRUE(exists("/run/fake/query_args"));
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(stop_daemon(SIGTERM, 5000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(read_file("/run/status.ntrip"), "0");
    EXPECT_EQ(read_file("/run/mountpoint.ntrip"), "");
    EXPECT_EQ(count_log("starting casterlink"), 0);
}
