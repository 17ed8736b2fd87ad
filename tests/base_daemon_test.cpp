// A router in a vehicle: the nearest base of the caster at the start, a
// switch as it drives to another, failover when a caster or mountpoint
// fails or the receiver makes no use of what it gets, and the baseline.
#include "harness.h"
#include "health/health.h"
#include "health/health_internal.h"
#include "rtcm.h"
#include "rtcm_encode.h"

#include <cmath>
#include <cstdio>
#include <functional>
#include <syslog.h>
#include <unistd.h>

class BaseTest : public DaemonTest {
protected:
    // Two bases of the caster 68.5 km apart, and a network record.
    void SetUp() override
    {
        DaemonTest::SetUp();
        write_file("/run/fake/table",
                   "SOURCETABLE 200 OK\r\n" + str("WEST", "52.0", "13.0") +
                       str("EAST", "52.0", "14.0") +
                       "STR;NET;Net;RTCM 3.2;x;2;GPS;N;DEU;52.0;13.5;1;1;x;none;B;N;9600;\r\n"
                       "ENDSOURCETABLE\r\n");
    }
    static std::string str(const char *mp, const char *lat, const char *lon)
    {
        return std::string("STR;") + mp + ";Town;RTCM 3.2;1005(10);2;GPS;N;DEU;" + lat + ";" +
               lon + ";1;0;x;none;B;N;9600;\r\n";
    }
    static bool wait_report(const char *key, const std::function<bool(const std::string &)> &ok)
    {
        return ok(report_when(key, ok)[key]);
    }
};

// A GGA with a fix at the given degrees, north and east.
static std::string gga(double lat, double lon, int quality = 1)
{
    char body[128];
    snprintf(body, sizeof body, "GPGGA,120000.00,%02d%07.4f,N,%03d%07.4f,E,%d,12,0.9,50.0,M,0.0,M,,",
             static_cast<int>(lat), fmod(lat, 1) * 60, static_cast<int>(lon), fmod(lon, 1) * 60,
             quality);
    unsigned sum = 0;
    for (const char *p = body; *p; p++)
        sum ^= static_cast<unsigned char>(*p);
    char out[160];
    snprintf(out, sizeof out, "$%s*%02X\r\n", body, sum);
    return out;
}

TEST_F(BaseTest, TheNearestBaseAtTheStartAndTheBaselineInTheReport)
{
    write_settings("MOD_NTRIP_IPADDR=caster.example\nMOD_NTRIP_PORT=2101\n"
                   "MOD_NTRIP_MOUNTPOINT=CONF\nMOD_NTRIP_NEAREST=1\nMOD_NTRIP_SEND_NMEA=1\n"
                   "MOD_NTRIP_SOURCE=3\nMOD_NTRIP_LATITUDE=5200.0000\n"
                   "MOD_NTRIP_LONGTITUDE=01354.0000\nMOD_NTRIP_HEIGHT=50\n");
    double arp[3];
    geodetic_to_ecef(52.0, 14.0, 100.0, arp);
    write_file("/run/fake/repeat", encode_station(2003, arp, 0, false));
    make_serial("/dev/ttyS0");
    start_daemon();
    ASSERT_TRUE(wait_file("/run/fake/mounts", "EAST\n", 8000));
    EXPECT_NE(read_file("/run/mountpoint.ntrip").find("Mountpoint           : EAST\n"),
              std::string::npos);
    ASSERT_TRUE(wait_report("base.baseline_km", [](const std::string &v) { return v != "null" && !v.empty(); }));
    auto r = report();
    EXPECT_EQ(r["base.mountpoint"], "EAST");
    EXPECT_EQ(r["base.caster"], "caster.example:2101");
    EXPECT_EQ(r["base.chosen"], "nearest");
    EXPECT_NEAR(atof(r["base.distance_km"].c_str()), 6.86, 0.02);
    EXPECT_EQ(r["base.station"], "2003");
    EXPECT_NEAR(atof(r["base.position.latitude"].c_str()), 52.0, 1e-8);
    EXPECT_NEAR(atof(r["base.position.longitude"].c_str()), 14.0, 1e-8);
    EXPECT_NEAR(atof(r["base.position.height"].c_str()), 100.0, 1e-3);
    double rover[3];
    geodetic_to_ecef(52.0, 13.9, 50.0, rover);
    double baseline = sqrt(pow(rover[0] - arp[0], 2) + pow(rover[1] - arp[1], 2) +
                           pow(rover[2] - arp[2], 2)) / 1000;
    EXPECT_NEAR(atof(r["base.baseline_km"].c_str()), baseline, 0.001);
    std::string s = status_summary(r, unix_now(), true);
    EXPECT_NE(s.find("base: EAST (nearest), 6.8 km by the table, baseline 6.87 km to station 2003\n"),
              std::string::npos)
        << s;
    EXPECT_EQ(stop_daemon(), 0);
}

TEST_F(BaseTest, ASwitchAsTheVehicleMovesAndNoneInsideTheMargin)
{
    write_settings("MOD_NTRIP_IPADDR=caster.example\nMOD_NTRIP_PORT=2101\n"
                   "MOD_NTRIP_MOUNTPOINT=CONF\nMOD_NTRIP_NEAREST=1\nMOD_NTRIP_SEND_NMEA=1\n"
                   "MOD_NTRIP_SOURCE=2\n");
    make_serial("/dev/ttyS0");
    int source = make_serial("/dev/nmea");
    start_daemon();
    auto drive = [&](double lon, int seconds) {
        for (int i = 0; i < seconds * 2; i++) {
            std::string s = gga(52.0, lon);
            ASSERT_EQ(write(source, s.data(), s.size()), static_cast<ssize_t>(s.size()));
            usleep(500 * 1000);
        }
    };
    drive(13.1, 3);
    ASSERT_EQ(read_file("/run/fake/mounts"), "WEST\n");
    // Past half-way, but nearer by less than the margin: for over 30 s.
    drive(13.51, 30);
    EXPECT_EQ(count_log("switching"), 0);
    // Nearer by more than the margin: after 10 s of it, a switch.
    drive(13.6, 8);
    EXPECT_EQ(count_log("switching"), 0);
    drive(13.6, 5);
    EXPECT_TRUE(wait_log("switching to EAST (27.4 km) from WEST (41.1 km)"));
    EXPECT_TRUE(wait_file("/run/fake/mounts", "WEST\nEAST\n"));
    EXPECT_TRUE(wait_report("base.switches", [](const std::string &v) { return v == "1"; }));
    EXPECT_EQ(report()["client.failures_in_a_row"], "0");  // no failed run
    EXPECT_EQ(stop_daemon(), 0);
}

TEST_F(BaseTest, FailoverAfterFailedRunsAndBackToTheFirst)
{
    write_settings("MOD_NTRIP_IPADDR=caster.example\nMOD_NTRIP_PORT=2101\n"
                   "MOD_NTRIP_MOUNTPOINT=MP\nMOD_NTRIP_FAILOVER_AFTER=2\n"
                   "MOD_NTRIP_FALLBACK=\"u:p@backup.example/FB bad\"\n");
    write_file("/run/fake/crash", "");
    make_serial("/dev/ttyS0");
    start_daemon();
    // 1, 2, 4 and 8 s apart.
    ASSERT_TRUE(wait_file("/run/fake/mounts", "MP\nMP\nFB\nFB\nMP\n", 25000));
    EXPECT_TRUE(has_log(LOG_WARNING, "MOD_NTRIP_FALLBACK: cannot use \"bad\", skipped"));
    EXPECT_TRUE(has_log(LOG_NOTICE, "failing over to backup.example:2101/FB after 2 failed runs"));
    EXPECT_TRUE(has_log(LOG_NOTICE, "failing over to caster.example:2101/MP after 2 failed runs"));
    EXPECT_EQ(stop_daemon(), 0);
}

TEST_F(BaseTest, TheReceiverMakesNoUseOfTheCorrectionsAndTheNextIsTried)
{
    write_settings("MOD_NTRIP_IPADDR=caster.example\nMOD_NTRIP_PORT=2101\n"
                   "MOD_NTRIP_MOUNTPOINT=MP\nMOD_NTRIP_NOFIX_TIMEOUT=3\nMOD_NTRIP_SEND_NMEA=1\n"
                   "MOD_NTRIP_SOURCE=0\nMOD_NTRIP_FALLBACK=backup.example/FB\n");
    write_file("/run/fake/repeat", make_frame(0) + make_frame(1));
    int receiver = make_serial("/dev/ttyS0");
    start_daemon();
    for (int i = 0; i < 40 && count_log("starting casterlink") < 2; i++) {
        std::string s = gga(52.0, 13.1, 1);
        ASSERT_EQ(write(receiver, s.data(), s.size()), static_cast<ssize_t>(s.size()));
        read_n(receiver, 65536, 0);
        usleep(250 * 1000);
    }
    EXPECT_TRUE(has_log(LOG_ERR,
                        "receiver has no differential fix for 3 s while corrections arrive from MP"));
    // The log line comes before the next client has written its mountpoint.
    EXPECT_TRUE(wait_file("/run/fake/mounts", "MP\nFB\n"));
    EXPECT_TRUE(wait_report("client.last_exit",
                            [](const std::string &v) { return v == "no fix for 3 s"; }));
    EXPECT_EQ(stop_daemon(), 0);
}

// A failover to another mountpoint of the same caster: the report forgets
// the last base's station until the new stream names its own, and the
// mountpoint file describes the one in use from the caster's table.
TEST_F(BaseTest, AfterAFailoverTheReportAndTheFileDescribeTheBaseInUse)
{
    write_settings("MOD_NTRIP_IPADDR=caster.example\nMOD_NTRIP_PORT=2101\n"
                   "MOD_NTRIP_MOUNTPOINT=WEST\nMOD_NTRIP_FAILOVER_AFTER=1\n"
                   "MOD_NTRIP_FALLBACK=caster.example/EAST\n");
    double arp[3];
    geodetic_to_ecef(52.0, 13.0, 100.0, arp);
    write_file("/run/fake/payload", encode_station(2003, arp, 0, false));
    make_serial("/dev/ttyS0");
    start_daemon();
    ASSERT_TRUE(wait_report("base.station", [](const std::string &v) { return v == "2003"; }));
    EXPECT_NE(read_file("/run/mountpoint.ntrip").find("Mountpoint           : WEST\n"),
              std::string::npos);
    write_file("/run/fake/exit", "");  // a short run: failed, and over to EAST
    ASSERT_TRUE(wait_file("/run/fake/mounts", "WEST\nEAST\n", 5000));
    ASSERT_TRUE(wait_report("base.mountpoint", [](const std::string &v) { return v == "EAST"; }));
    auto r = report();
    EXPECT_EQ(r["base.station"], "null");
    EXPECT_EQ(r["base.position"], "null");
    EXPECT_EQ(r["base.baseline_km"], "null");
    EXPECT_EQ(read_file("/run/mountpoint.ntrip").substr(0, 28), "Mountpoint           : EAST\n");
    EXPECT_TRUE(has_log(LOG_NOTICE, "failing over to caster.example:2101/EAST after 1 failed runs"));
    EXPECT_EQ(stop_daemon(), 0);
}
