// A router full of programs and users the daemon cannot trust: nothing
// standing at a path others may create, no stalled log daemon and no slow
// stream may hold up the corrections or the stop, and the client keeps to
// what it was given.
#include "harness.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

class FieldTest : public DaemonTest {};

// Running, that is: neither gone nor a zombie that nobody reaped yet.
static bool alive(const std::string &pid)
{
    std::string stat = DaemonTest::read_file("/proc/" + pid + "/stat");
    size_t at = stat.rfind(')');
    return !pid.empty() && at != std::string::npos && at + 2 < stat.size() &&
           stat[at + 2] != 'Z';
}

TEST_F(FieldTest, NothingAtALockPathHoldsTheDaemonOrItsStop)
{
    make_serial("/dev/ttyS0");
    const char *lock = "/run/lock/LCK..ttyS0";
    for (const char *kind : {"fifo", "link", "directory", "socket"}) {
        SCOPED_TRACE(kind);
        int made = 0;
        if (strcmp(kind, "fifo") == 0)
            made = mkfifo(lock, 0666);
        if (strcmp(kind, "link") == 0)
            made = symlink("/run/elsewhere", lock);
        if (strcmp(kind, "directory") == 0)
            made = mkdir(lock, 0777);
        ASSERT_EQ(made, 0);
        int sock = -1;
        if (strcmp(kind, "socket") == 0) {
            sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr = {};
            addr.sun_family = AF_UNIX;
            strcpy(addr.sun_path, lock);
            ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        }
        unlink("/run/rtkfeedd.backoff");
        pid_t pid = start_daemon();
        ASSERT_TRUE(wait_log("starting casterlink"));
        EXPECT_EQ(read_file(lock), lock_content(pid));
        EXPECT_EQ(stop_daemon(SIGTERM, 3000), 0);
        if (sock >= 0)
            close(sock);
    }

    // A source's lock, taken at every cycle.
    write_settings("MOD_NTRIP_SEND_NMEA=1\nMOD_NTRIP_SOURCE=2\n");
    make_serial("/dev/nmea");
    ASSERT_EQ(mkfifo("/run/lock/LCK..nmea", 0666), 0);
    start_daemon();
    ASSERT_TRUE(wait_log("waiting for valid position(GGA message)"));
    EXPECT_EQ(stop_daemon(SIGTERM, 3000), 0);
}

TEST_F(FieldTest, AStalledLogHoldsUpNeitherTheRelayNorTheStop)
{
    int target = make_serial("/dev/ttyS0");
    write_file("/run/fake/drip", "");
    start_daemon();
    ASSERT_EQ(read_n(target, 64, 5000).size(), 64u);
    ASSERT_TRUE(wait_log("starting casterlink"));

    // The log daemon stops reading and another program fills its queue.
    stall_log();
    int flood = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    while (sendto(flood, "<14>x", 5, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&addr),
                  sizeof addr) == 5) {
    }
    write_file("/run/fake/exit", "");  // a client end and a start, both logged
    ASSERT_TRUE(wait_file("/run/fake/starts", "start\nstart\n"));
    EXPECT_EQ(read_n(target, 640, 5000).size(), 640u);

    // It comes back with a new socket: the daemon finds it and says what it lost.
    restart_log();
    write_file("/run/fake/exit", "");
    ASSERT_TRUE(wait_log("log messages were dropped while the system log was not taking them"));
    bool warned = false;
    for (const LogEntry &e : log())
        if (e.text.find("were dropped") != std::string::npos)
            warned = e.priority == LOG_WARNING && atoi(e.text.c_str()) >= 2;
    EXPECT_TRUE(warned);

    // Stalled again, the stop still comes through at once.
    stall_log();
    while (sendto(flood, "<14>x", 5, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&addr),
                  sizeof addr) == 5) {
    }
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(stop_daemon(SIGTERM, 3000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    close(flood);
}

TEST_F(FieldTest, TheClientGetsOnlyItsStandardDescriptorsAndEndsWithTheDaemon)
{
    write_settings("MOD_NTRIP_SEND_NMEA=1\nMOD_NTRIP_SOURCE=3\n");
    make_serial("/dev/ttyS0");
    write_file("/run/fake/child", "");
    start_daemon();
    ASSERT_TRUE(wait_file("/run/fake/starts", "start\n", 8000));
    EXPECT_EQ(read_file("/run/fake/fds"), "0 1 2 ");
    ASSERT_TRUE(wait_log("starting casterlink"));
    usleep(200 * 1000);
    std::string client = read_file("/run/fake/pid"), child = read_file("/run/fake/child_pid");
    ASSERT_TRUE(alive(client));
    ASSERT_TRUE(alive(child));
    // An orderly stop ends the client and whatever it started.
    EXPECT_EQ(stop_daemon(), 0);
    usleep(200 * 1000);
    EXPECT_FALSE(alive(client));
    EXPECT_FALSE(alive(child));

    // A daemon killed outright takes its client and all it started with it,
    // whatever sessions they made.
    write_file("/run/fake/child", "session");
    unlink("/run/fake/starts");
    start_daemon();
    ASSERT_TRUE(wait_file("/run/fake/starts", "start\n", 8000));
    usleep(200 * 1000);
    client = read_file("/run/fake/pid");
    child = read_file("/run/fake/child_pid");
    ASSERT_TRUE(alive(child));
    kill(daemon_pid, SIGKILL);
    wait_exit(2000);
    for (int i = 0; i < 150 && (alive(client) || alive(child)); i++)
        usleep(20 * 1000);
    EXPECT_FALSE(alive(client));
    EXPECT_FALSE(alive(child));

    // Killed together with the client's watcher, the next daemon ends
    // what is left: what carries the earlier daemon's mark.
    write_file("/run/fake/child", "");
    unlink("/run/fake/starts");
    pid_t killed = start_daemon();
    ASSERT_TRUE(wait_file("/run/fake/starts", "start\n", 8000));
    usleep(200 * 1000);
    child = read_file("/run/fake/child_pid");
    std::string watcher = read_file("/proc/" + read_file("/run/fake/pid") + "/stat");
    watcher = watcher.substr(watcher.rfind(')') + 4);  // its parent
    kill(atoi(watcher.c_str()), SIGKILL);
    kill(daemon_pid, SIGKILL);
    wait_exit(2000);
    usleep(200 * 1000);
    ASSERT_TRUE(alive(child));
    unlink("/run/fake/child");
    start_daemon();
    ASSERT_TRUE(wait_log("ended what an earlier rtkfeedd (pid " + std::to_string(killed) +
                         ") left running: 1 processes"));
    for (int i = 0; i < 50 && alive(child); i++)
        usleep(20 * 1000);
    EXPECT_FALSE(alive(child));
    EXPECT_EQ(stop_daemon(), 0);
}

TEST_F(FieldTest, ATrickleReachesTheReceiverAsItComes)
{
    // 64 bytes every 100 ms: a slow caster link.
    int target = make_serial("/dev/ttyS0");
    write_file("/run/fake/drip", "");
    start_daemon();
    ASSERT_EQ(read_n(target, 1, 5000).size(), 1u);
    auto last = std::chrono::steady_clock::now(), end = last + std::chrono::seconds(3);
    std::chrono::steady_clock::duration longest{};
    size_t got = 0;
    while (std::chrono::steady_clock::now() < end) {
        std::string piece = read_n(target, 1, 1000);
        auto now = std::chrono::steady_clock::now();
        longest = std::max(longest, now - last);
        last = now;
        got += piece.size();
        read_n(target, 4096, 0);
    }
    EXPECT_LT(longest, std::chrono::milliseconds(450));
    EXPECT_GT(got, 0u);
    EXPECT_EQ(stop_daemon(), 0);
}
