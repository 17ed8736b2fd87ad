// Faults of a real installation: the daemon goes on doing its job, or stops
// with the documented status, and leaves nothing behind.
#include "harness.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <random>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

class FaultTest : public DaemonTest {};

static bool process_gone(const std::string &pid)
{
    return pid.empty() || kill(atoi(pid.c_str()), 0) != 0;
}

static void expect_nothing_left()
{
    EXPECT_FALSE(DaemonTest::exists("/dev/rtkfeedd"));
    EXPECT_FALSE(DaemonTest::exists("/dev/nmea_gen"));
    EXPECT_FALSE(DaemonTest::exists("/run/lock/LCK..ttyS0"));
    EXPECT_FALSE(DaemonTest::exists("/run/lock/LCK..nmea_gen"));
    EXPECT_TRUE(process_gone(DaemonTest::read_file("/run/fake/pid")));
}

TEST_F(FaultTest, AClientThatCrashesAtOnceIsRestartedWithoutLeaks)
{
    write_settings("MOD_NTRIP_MOUNTPOINT=MP\n");
    make_serial("/dev/ttyS0");
    write_file("/run/fake/crash", "");
    pid_t pid = start_daemon();
    ASSERT_TRUE(wait_log("casterlink terminated"));
    int fds = fd_count(pid);
    ASSERT_TRUE(wait_log("starting casterlink"));
    // Five runs take about 15 s with the back-off: 1, 2, 4 and 8 s apart.
    while (count_log("casterlink terminated") < 5) {
        usleep(200 * 1000);
        ASSERT_LT(daemon_cpu_seconds(), 1.0);
        ASSERT_LT(count_log("starting casterlink"), 8) << "took too long";
    }
    EXPECT_EQ(fd_count(pid), fds);
    EXPECT_EQ(zombies_of(pid), 0);
    EXPECT_EQ(stop_daemon(), 0);
    expect_nothing_left();
}

TEST_F(FaultTest, AHangingClientIsKilledByTheStop)
{
    make_serial("/dev/ttyS0");
    start_daemon();
    ASSERT_TRUE(wait_file("/run/fake/starts", "start\n"));
    std::string client = read_file("/run/fake/pid");
    ASSERT_FALSE(process_gone(client));
    EXPECT_EQ(stop_daemon(), 0);
    EXPECT_TRUE(has_log(LOG_NOTICE, "sending SIGKILL to casterlink due to signal 15"));
    expect_nothing_left();
}

TEST_F(FaultTest, AReceiverThatIsUnpluggedGetsTheCorrectionsAgainWhenItIsBack)
{
    int target = make_serial("/dev/ttyS0");
    write_file("/run/fake/drip", "");
    start_daemon();
    ASSERT_EQ(read_n(target, 64, 5000).size(), 64u);
    close(target);  // the receiver's end goes away
    ASSERT_TRUE(
        wait_log("target device /dev/ttyS0 is gone (Input/output error), reopening it", 5000));
    double before = daemon_cpu_seconds();
    sleep(3);
    EXPECT_LT(daemon_cpu_seconds() - before, 0.2);
    EXPECT_EQ(count_log("is gone"), 1);
    EXPECT_EQ(count_log("write to target has failed"), 0);
    EXPECT_TRUE(exists("/run/lock/LCK..ttyS0"));  // kept while it is gone
    EXPECT_EQ(count_log("starting casterlink"), 1);  // the client carries on

    target = make_serial("/dev/ttyS0");  // plugged back
    ASSERT_TRUE(wait_log("target device /dev/ttyS0 is back, ", 10000));
    EXPECT_EQ(read_n(target, 640, 5000).size(), 640u);
    for (const LogEntry &e : log())
        if (e.text.find("is back") != std::string::npos) {
            EXPECT_EQ(e.priority, LOG_NOTICE);
            unsigned long long dropped = 0;
            EXPECT_EQ(sscanf(e.text.c_str(), "target device /dev/ttyS0 is back, %llu B", &dropped),
                      1);
            EXPECT_GE(dropped, 64u * 20);
        }
    EXPECT_EQ(stop_daemon(), 0);
    expect_nothing_left();
}

TEST_F(FaultTest, CarriesOnWithoutAStatusFileAndOverAnOccupiedFifoPath)
{
    make_serial("/dev/ttyS0");
    ASSERT_EQ(mkdir("/run/status.ntrip", 0755), 0);
    write_file("/run/casterLink.fifo", "left by someone");
    start_daemon();
    ASSERT_TRUE(wait_log("starting casterlink"));
    EXPECT_TRUE(has_log(LOG_ERR, "Unable to log NTRIP status"));
    struct stat st;
    ASSERT_EQ(stat("/run/casterLink.fifo", &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(stop_daemon(), 0);
    expect_nothing_left();
}

TEST_F(FaultTest, SurvivesSettingsFilesOfAnyShape)
{
    make_serial("/dev/ttyS0");
    std::mt19937 gen(7);
    std::string junk(64 * 1024, '\0');
    for (char &c : junk)
        c = static_cast<char>(gen());
    std::string many;
    for (int i = 0; i < 10000; i++)
        many += "MOD_NTRIP_KEY_" + std::to_string(i) + "=value\n";
    const std::string files[] = {
        junk,
        std::string(1 << 20, 'x') + "\nMOD_NTRIP_MOUNTPOINT=MP\n",
        many + "MOD_NTRIP_MOUNTPOINT=MP\n",
    };
    const char *mountpoint[] = {"", "MP", "MP"};
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        unlink("/run/fake/args");
        write_settings(files[i]);
        start_daemon();
        std::string starts;
        for (int k = 0; k <= i; k++)
            starts += "start\n";
        ASSERT_TRUE(wait_file("/run/fake/starts", starts, 8000));
        std::string args = read_file("/run/fake/args");
        EXPECT_NE(args.find(std::string("\n-m\n") + mountpoint[i] + "\n"), std::string::npos)
            << args;
        EXPECT_EQ(stop_daemon(), 0);
        expect_nothing_left();
    }
}

TEST_F(FaultTest, NmeaNoiseWithoutAFixKeepsItWaiting)
{
    write_settings("MOD_NTRIP_SEND_NMEA=1\nMOD_NTRIP_SOURCE=2\n");
    make_serial("/dev/ttyS0");
    int source = make_serial("/dev/nmea");
    start_daemon();
    ASSERT_TRUE(wait_log("waiting for valid position(GGA message)"));
    std::mt19937 gen(3);
    std::string noise;
    while (noise.size() < 100 * 1024) {
        noise += "$GPGGA,,,,,,0,00,,,M,,M,,*66\r\n$GNGGA,1,N,2,E*00\r\n";
        for (int i = 0; i < 40; i++)
            noise += static_cast<char>(gen() % 2 ? 'S' : (gen() & 0xff));
    }
    double before = daemon_cpu_seconds();
    for (size_t at = 0; at < noise.size(); at += 4096) {
        std::string piece = noise.substr(at, 4096);
        ASSERT_EQ(write(source, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
        usleep(20 * 1000);
    }
    sleep(1);
    EXPECT_EQ(read_file("/run/status.ntrip"), "10");
    EXPECT_EQ(count_log("starting casterlink"), 0);
    EXPECT_LT(daemon_cpu_seconds() - before, 0.5);
    EXPECT_EQ(stop_daemon(SIGTERM, 4000), 0);
    EXPECT_EQ(read_file("/run/status.ntrip"), "0");
    expect_nothing_left();
    EXPECT_FALSE(exists("/run/lock/LCK..nmea"));
}

TEST_F(FaultTest, StopsInOrderAtEveryPhase)
{
    // Start-up with a source-table query, the generator, NMEA preparation,
    // the relay and the pause between clients, each interrupted in turn.
    write_settings("MOD_NTRIP_MOUNTPOINT=RTCM3\nMOD_NTRIP_SEND_NMEA=1\nMOD_NTRIP_SOURCE=3\n");
    write_file("/run/fake/table", "STR;RTCM3;x;;;;;;;;;;;;;;;\r\n");
    write_file("/run/fake/quick", "");
    make_serial("/dev/ttyS0");
    for (int delay_ms : {0, 2, 5, 10, 20, 50, 100, 200, 400, 700, 1000, 1300, 1700, 2200}) {
        SCOPED_TRACE(delay_ms);
        unlink("/run/rtkfeedd.backoff");  // every phase comes as soon as it can
        pid_t pid = start_daemon();
        for (int i = 0; i < 500 && !handler_installed(pid); i++)
            usleep(1000);
        usleep(static_cast<useconds_t>(delay_ms) * 1000);
        EXPECT_EQ(stop_daemon(SIGTERM, 8000), 0);
        EXPECT_EQ(read_file("/run/status.ntrip"), "0");
        EXPECT_TRUE(has_log(LOG_NOTICE, "terminated"));
        expect_nothing_left();
        EXPECT_EQ(zombies_of(pid), 0);
    }
}
