// The daemon as a whole: start-up, the published link, the client's
// arguments, the relay, restarts, stopping and fatal start-up errors.
#include "harness.h"
#include "rtcm.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <csignal>
#include <random>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

class CycleTest : public DaemonTest {};

static const char basic_settings[] =
    "MOD_NTRIP_IPADDR=caster.example\n"
    "MOD_NTRIP_PORT=2101\n"
    "MOD_NTRIP_MOUNTPOINT=RTCM3\n"
    "MOD_NTRIP_RECONNINT=5\n"
    "MOD_NTRIP_TARGET=0\n"
    "MOD_NTRIP_TARGET_BAUDRATE=115200\n";

static std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char &c : s)
        c = static_cast<char>(gen() & 0xff);
    return s;
}

TEST_F(CycleTest, PublishesLinkRunsClientAndStopsInOrder)
{
    write_settings(basic_settings);
    make_serial("/dev/ttyS0");
    pid_t pid = start_daemon();
    ASSERT_TRUE(wait_log("starting casterlink"));
    ASSERT_TRUE(wait_file("/run/fake/starts", "start\n"));

    EXPECT_EQ(getsid(pid), pid);
    EXPECT_TRUE(has_log(LOG_NOTICE, "starting casterlink"));
    bool published = false;
    for (const LogEntry &e : log())
        if (e.priority == LOG_NOTICE &&
            e.text.rfind("Pseudo-terminal has been opened with success. (/dev/rtkfeedd -> /dev/pts/", 0) == 0)
            published = true;
    EXPECT_TRUE(published);

    struct stat link, slave;
    ASSERT_EQ(lstat("/dev/rtkfeedd", &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    EXPECT_EQ(link.st_uid, getuid());
    EXPECT_EQ(link.st_gid, 999u);
    ASSERT_EQ(stat("/dev/rtkfeedd", &slave), 0);
    EXPECT_TRUE(S_ISCHR(slave.st_mode));
    EXPECT_EQ(slave.st_mode & 07777, 0770u);
    EXPECT_EQ(slave.st_gid, 999u);

    // The target is locked for the daemon while it runs.
    std::string lock = lock_content(pid);
    EXPECT_EQ(read_file("/run/lock/LCK..ttyS0"), lock);
    EXPECT_EQ(exists("/var/run/casterLink.fifo"), true);

    EXPECT_EQ(stop_daemon(SIGTERM), 0);
    EXPECT_TRUE(has_log(LOG_NOTICE, "casterlink terminated"));
    EXPECT_EQ(count_log("sending SIGKILL to casterlink due to signal 15"), 1);
    EXPECT_TRUE(has_log(LOG_NOTICE, "terminated"));
    EXPECT_EQ(read_file("/run/status.ntrip"), "0");
    EXPECT_FALSE(exists("/dev/rtkfeedd"));
    EXPECT_FALSE(exists("/run/lock/LCK..ttyS0"));
}

TEST_F(CycleTest, PassesTheConfiguredArguments)
{
    struct Case {
        const char *settings;
        const char *args;
    } cases[] = {
        {"MOD_NTRIP_IPADDR=\"10.0.0.1\"\nMOD_NTRIP_PORT=2101\nmod_ntrip_username=user\n"
         "MOD_NTRIP_PASSWORD=\"p w\"\nMOD_NTRIP_MOUNTPOINT=MP\nMOD_NTRIP_RECONNINT=7\n"
         "MOD_NTRIP_NMEA_INT=10\n",
         "/opt/casterLink/bin/casterlink\n-s\n10.0.0.1\n-r\n2101\n-u\nuser\n-p\np w\n-m\nMP\n"
         "-i\n7\n-D\n/dev/rtkfeedd\n-B\n9600\n-A\n8\n-T\n1\n-Y\nN\n"},
        // A password without a user name is never passed; empty values are.
        {"MOD_NTRIP_PASSWORD=secret\nMOD_NTRIP_PORT=-1\n",
         "/opt/casterLink/bin/casterlink\n-s\n\n-r\n429496729\n-m\n\n-i\n0\n-D\n/dev/rtkfeedd\n"
         "-B\n9600\n-A\n8\n-T\n1\n-Y\nN\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.settings);
        unlink("/run/fake/args");
        write_settings(c.settings);
        if (!exists("/dev/ttyS0"))
            make_serial("/dev/ttyS0");
        start_daemon();
        EXPECT_TRUE(wait_file("/run/fake/args", c.args));
        EXPECT_EQ(stop_daemon(), 0);
    }
}

TEST_F(CycleTest, RelaysBinaryPayloadUnchanged)
{
    write_settings(basic_settings);
    int target = make_serial("/dev/ttyS0");
    std::string payload = random_bytes(64 * 1024, 1);
    write_file("/run/fake/payload", payload);
    start_daemon();
    std::string got = read_n(target, payload.size(), 20000);
    ASSERT_EQ(got.size(), payload.size());
    EXPECT_TRUE(got == payload) << "first difference at "
                                << std::mismatch(got.begin(), got.end(), payload.begin()).first -
                                       got.begin();
    EXPECT_EQ(count_log("write to target has failed"), 0);
    EXPECT_EQ(stop_daemon(), 0);
}

// A whole RTCM 3 frame reaches the receiver at once; bytes that are not
// RTCM 3 gather for 0.2 s as they always did.
TEST_F(CycleTest, AWholeFrameGoesAtOnceAndOtherBytesGatherAsBefore)
{
    write_settings(basic_settings);
    int target = make_serial("/dev/ttyS0");
    start_daemon();
    ASSERT_TRUE(wait_file("/run/fake/starts", "start\n"));
    usleep(300 * 1000);  // the client has set its device up
    // Written as the client does, on its side of "/dev/rtkfeedd".
    int client = open("/dev/rtkfeedd", O_RDWR | O_NOCTTY);
    ASSERT_GE(client, 0);
    auto arrival_ms = [&](const std::string &bytes) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(write(client, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        EXPECT_EQ(read_n(target, bytes.size(), 2000), bytes);
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start).count();
    };
    EXPECT_LT(arrival_ms(make_frame(7)), 50);
    EXPECT_GE(arrival_ms(random_bytes(100, 2).replace(0, 1, "x")), 150);
    close(client);
    EXPECT_EQ(stop_daemon(), 0);
}

TEST_F(CycleTest, WaitsForASlowTargetInsteadOfDroppingData)
{
    write_settings(basic_settings);
    int target = make_serial("/dev/ttyS0");
    std::string payload = random_bytes(64 * 1024, 2);
    write_file("/run/fake/payload", payload);
    start_daemon();
    // Let the line fill up, then drain it in small, slow pieces.
    usleep(500 * 1000);
    std::string got;
    while (got.size() < payload.size()) {
        std::string piece = read_n(target, std::min<size_t>(2048, payload.size() - got.size()), 3000);
        if (piece.empty())
            break;
        got += piece;
        usleep(20 * 1000);
    }
    EXPECT_TRUE(got == payload) << got.size() << " of " << payload.size() << " bytes";
    EXPECT_EQ(count_log("write to target has failed"), 0);
    EXPECT_EQ(stop_daemon(), 0);
}

// The start times of the clients so far: how many there were by each moment.
static int starts_so_far()
{
    std::string starts = DaemonTest::read_file("/run/fake/starts");
    return static_cast<int>(std::count(starts.begin(), starts.end(), '\n'));
}

TEST_F(CycleTest, AClientThatKeepsFailingIsStartedLessAndLessOftenEvenAcrossRestarts)
{
    write_settings(basic_settings);
    make_serial("/dev/ttyS0");
    write_file("/run/fake/quick", "");
    start_daemon();
    // Starts at 0 s, then after pauses of 1, 2 and 4 s, each up to a quarter longer.
    sleep(5);
    EXPECT_EQ(starts_so_far(), 3);
    EXPECT_TRUE(has_log(LOG_NOTICE, "casterlink failed 2 times in a row, next start in 2 s"));
    EXPECT_EQ(count_log("casterlink failed 1 times"), 0);  // the first pause is about 1 s
    EXPECT_EQ(count_log("casterlink terminated"), 3);
    ASSERT_TRUE(wait_log("casterlink failed 4 times in a row, next start in ", 6000));
    EXPECT_EQ(starts_so_far(), 4);
    EXPECT_LT(daemon_cpu_seconds(), 0.3);

    // A daemon restarted at once waits out what remains of the pause.
    EXPECT_EQ(stop_daemon(), 0);
    start_daemon();
    ASSERT_TRUE(wait_log("casterlink failed 4 times in a row, next start in "));
    sleep(3);
    EXPECT_EQ(starts_so_far(), 4);
    ASSERT_TRUE(wait_log("casterlink failed 5 times in a row, next start in ", 10000));
    EXPECT_EQ(starts_so_far(), 5);
    EXPECT_EQ(stop_daemon(), 0);
}

TEST_F(CycleTest, ARunOfHalfAMinuteResetsTheBackOff)
{
    write_settings(basic_settings);
    make_serial("/dev/ttyS0");
    write_file("/run/rtkfeedd.backoff", "failures 5\nnext_start 0\n");
    start_daemon();
    ASSERT_TRUE(wait_file("/run/fake/starts", "start\n"));
    sleep(31);
    write_file("/run/fake/exit", "");
    ASSERT_TRUE(wait_log("casterlink terminated"));
    ASSERT_TRUE(wait_file("/run/fake/starts", "start\nstart\n", 1500));
    EXPECT_EQ(count_log("casterlink failed"), 0);
    EXPECT_EQ(stop_daemon(), 0);
}

TEST_F(CycleTest, RetriesAClientThatCannotBeStarted)
{
    write_settings(basic_settings);
    make_serial("/dev/ttyS0");
    unlink("/opt/casterLink/bin/casterlink");
    start_daemon();
    sleep(3);
    int failures = count_log("cannot execute /opt/casterLink/bin/casterlink: No such file or directory");
    EXPECT_GE(failures, 2);
    EXPECT_LE(failures, 3);
    EXPECT_LT(daemon_cpu_seconds(), 0.3);
    EXPECT_EQ(stop_daemon(), 0);
}

TEST_F(CycleTest, StaysQuietWhileTheClientIsIdleOrHasClosedItsDevice)
{
    write_settings(basic_settings);
    make_serial("/dev/ttyS0");
    start_daemon();
    ASSERT_TRUE(wait_file("/run/fake/starts", "start\n"));
    sleep(1);  // the reports of the client's start
    double before = daemon_cpu_seconds();
    long sleeps = daemon_sleeps();
    sleep(3);
    EXPECT_LT(daemon_cpu_seconds() - before, 0.05) << "idle client";
    // Nothing is due for a minute: no thread turns to look for a stop.
    // (ThreadSanitizer's runtime has a thread of its own that does.)
#ifndef __SANITIZE_THREAD__
    EXPECT_LE(daemon_sleeps() - sleeps, 1) << "idle client";
#else
    (void)sleeps;
#endif
    EXPECT_EQ(stop_daemon(), 0);

    write_file("/run/fake/close", "");
    start_daemon();
    ASSERT_TRUE(wait_file("/run/fake/starts", "start\nstart\n"));
    before = daemon_cpu_seconds();
    sleep(2);
    EXPECT_LT(daemon_cpu_seconds() - before, 0.05) << "client closed its device";
    EXPECT_EQ(stop_daemon(), 0);
}

TEST_F(CycleTest, ReplacesALinkLeftByAKilledRun)
{
    write_settings(basic_settings);
    make_serial("/dev/ttyS0");
    ASSERT_EQ(symlink("/dev/pts/999", "/dev/rtkfeedd"), 0);
    start_daemon();
    ASSERT_TRUE(wait_log("starting casterlink"));
    char target[64] = {};
    ASSERT_GT(readlink("/dev/rtkfeedd", target, sizeof target - 1), 0);
    EXPECT_NE(std::string(target), "/dev/pts/999");
    EXPECT_EQ(stop_daemon(), 0);
}

TEST_F(CycleTest, LockedTargetIsFatal)
{
    write_settings(basic_settings);
    make_serial("/dev/ttyS0");
    std::string lock = lock_content(getpid());
    write_file("/run/lock/LCK..ttyS0", lock);
    start_daemon();
    EXPECT_EQ(wait_exit(5000), 1);
    EXPECT_TRUE(has_log(LOG_ERR, "target device /dev/ttyS0 is locked"));
    EXPECT_EQ(read_file("/run/status.ntrip"), "102");
    EXPECT_FALSE(exists("/dev/rtkfeedd"));
    // The lock of the other process stays.
    EXPECT_EQ(read_file("/run/lock/LCK..ttyS0"), lock);
}

TEST_F(CycleTest, MissingTargetIsFatalAndReleasesItsLock)
{
    write_settings("MOD_NTRIP_TARGET=1\n");
    start_daemon();
    EXPECT_EQ(wait_exit(5000), 1);
    EXPECT_TRUE(has_log(LOG_ERR, "open(/dev/ttyS1) error: No such file or directory"));
    EXPECT_TRUE(has_log(LOG_ERR, "cannot open device /dev/ttyS1"));
    EXPECT_EQ(read_file("/run/status.ntrip"), "102");
    EXPECT_FALSE(exists("/run/lock/LCK..ttyS1"));
    EXPECT_FALSE(exists("/dev/rtkfeedd"));
}

TEST_F(CycleTest, StopsInOrderOnEachStopSignal)
{
    write_settings(basic_settings);
    make_serial("/dev/ttyS0");
    for (int sig : {SIGINT, SIGQUIT}) {
        SCOPED_TRACE(sig);
        start_daemon();
        ASSERT_TRUE(wait_file("/run/fake/starts", sig == SIGINT ? "start\n" : "start\nstart\n"));
        EXPECT_EQ(stop_daemon(sig), 0);
        EXPECT_EQ(read_file("/run/status.ntrip"), "0");
    }
}
