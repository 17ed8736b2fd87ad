// A router that is hostile by accident: receivers unplugged at any moment,
// pids reused by other programs, state files that are not files, clients
// whose helpers make groups and sessions of their own, daemons restarted
// or killed outright. The daemon keeps its job and harms nobody else.
#include "harness.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

class HostileTest : public DaemonTest {};

static const std::string fix =
    "$GPGGA,123519.00,4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,,M,,*7C\r\n";

static bool alive(pid_t pid)
{
    std::string stat = DaemonTest::read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t at = stat.rfind(')');
    return at != std::string::npos && at + 2 < stat.size() && stat[at + 2] != 'Z';
}

// Unplugged and plugged back while the position is awaited, then during a
// cycle whose client sends nothing: each time the line is reopened, with
// one line in the log for each loss, and positions flow again.
TEST_F(HostileTest, ASourceLineThatComesBackIsReadAgainInEveryState)
{
    for (const char *source : {"2", "0"}) {
        SCOPED_TRACE(source);
        bool own = source[0] == '2';
        std::string device = own ? "/dev/nmea" : "/dev/ttyS0";
        std::string gone = (own ? "source device " : "target device ") + device + " is gone";
        std::string back = (own ? "source device " : "target device ") + device + " is back";
        write_settings(std::string("MOD_NTRIP_SEND_NMEA=1\nMOD_NTRIP_SOURCE=") + source + "\n");
        unlink("/run/fake/received");
        unlink("/run/rtkfeedd.backoff");
        int target = make_serial("/dev/ttyS0");
        int line = own ? make_serial(device) : target;
        start_daemon();
        ASSERT_TRUE(wait_log("waiting for valid position(GGA message)"));
        for (int loss = 1; loss <= 2; loss++) {
            SCOPED_TRACE(loss);
            close(line);
            sleep(3);
            EXPECT_EQ(count_log(gone), loss);
            line = make_serial(device);
            for (int i = 0; i < 80 && count_log(back) < loss; i++)
                usleep(100 * 1000);
            EXPECT_EQ(count_log(back), loss);
            ASSERT_EQ(write(line, fix.data(), fix.size()), static_cast<ssize_t>(fix.size()));
            if (loss == 1)
                ASSERT_TRUE(wait_log("starting casterlink"));
            else
                EXPECT_TRUE(wait_file("/run/fake/received", fix));
        }
        EXPECT_EQ(count_log("starting casterlink"), 1);
        EXPECT_EQ(stop_daemon(SIGTERM, 3000), 0);
        EXPECT_FALSE(exists("/run/lock/LCK..nmea"));
    }
}

// A daemon that stopped in order leaves its pid in the report; another
// program's session of that id (a daemon that forked and left its leader)
// is not the earlier client's.
TEST_F(HostileTest, AStrangerInTheSessionOfAGoneDaemonsPidIsLeftAlone)
{
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t leader = fork();
    if (leader == 0) {
        setsid();
        pid_t stranger = fork();
        if (stranger == 0) {
            for (;;)
                pause();
        }
        ssize_t ignored = write(pipefd[1], &stranger, sizeof stranger);
        (void)ignored;
        _exit(0);
    }
    pid_t stranger = 0;
    ASSERT_EQ(read(pipefd[0], &stranger, sizeof stranger), static_cast<ssize_t>(sizeof stranger));
    waitpid(leader, nullptr, 0);
    close(pipefd[0]);
    close(pipefd[1]);
    // The report of a daemon that had that pid and died.
    for (const char *status : {"0", "11"}) {
        write_file("/run/rtkfeedd.json", std::string("{\"version\":1,\"status\":") + status +
                                             ",\"daemon\":{\"pid\":" + std::to_string(leader) +
                                             ",\"started\":1.0,\"proc_start\":1}}\n");
        make_serial("/dev/ttyS0");
        start_daemon();
        ASSERT_TRUE(wait_log("starting casterlink"));
        usleep(200 * 1000);
        EXPECT_TRUE(alive(stranger)) << status;
        EXPECT_EQ(stop_daemon(), 0);
    }
    kill(stranger, SIGKILL);
}

// Settings saved again and again in the web interface: each save restarts
// the service, and none of those stops is a failed run.
TEST_F(HostileTest, AnOrderlyStopIsNoFailedRun)
{
    make_serial("/dev/ttyS0");
    for (int i = 0; i < 4; i++) {
        start_daemon();
        ASSERT_TRUE(wait_log("starting casterlink"));
        usleep(300 * 1000);
        ASSERT_EQ(stop_daemon(), 0);
    }
    std::string backoff = read_file("/run/rtkfeedd.backoff");
    EXPECT_TRUE(backoff.empty() || backoff.find("failures 0\n") == 0) << backoff;
    start_daemon();
    EXPECT_TRUE(wait_log("starting casterlink", 2500));
    EXPECT_EQ(count_log("failed"), 0);
    EXPECT_EQ(stop_daemon(), 0);
}

// `rtkfeedd --status`: its exit status, or -1 when it hangs.
static int status_command(int timeout_ms)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        execl(RTKFEEDD_BINARY, RTKFEEDD_BINARY, "--status", static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < timeout_ms / 10; i++) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        usleep(10 * 1000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

TEST_F(HostileTest, AFifoAtAStateFileHoldsNothingUp)
{
    make_serial("/dev/ttyS0");
    ASSERT_EQ(mkfifo("/run/rtkfeedd.json", 0644), 0);
    ASSERT_EQ(mkfifo("/run/rtkfeedd.backoff", 0644), 0);
    EXPECT_EQ(status_command(2000), 1);
    start_daemon();
    ASSERT_TRUE(wait_log("starting casterlink", 3000));
    EXPECT_TRUE(has_log(LOG_ERR, "cannot use /run/rtkfeedd.json: not a regular file, ignored"));
    EXPECT_TRUE(
        has_log(LOG_ERR, "cannot use /run/rtkfeedd.backoff: not a regular file, ignored"));
    struct stat st;
    ASSERT_EQ(lstat("/run/rtkfeedd.json", &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));  // replaced by the daemon's own report
    EXPECT_EQ(status_command(2000), 0);
    EXPECT_EQ(stop_daemon(SIGTERM, 3000), 0);
}

// A helper that the client put in a process group of its own ends with the
// client, before the next client connects beside it.
TEST_F(HostileTest, WhatTheClientStartedEndsWithItWhateverItsGroup)
{
    make_serial("/dev/ttyS0");
    write_file("/run/fake/child", "group");
    start_daemon();
    ASSERT_TRUE(wait_file("/run/fake/starts", "start\n", 8000));
    usleep(200 * 1000);
    pid_t helper = atoi(read_file("/run/fake/child_pid").c_str());
    ASSERT_TRUE(alive(helper));
    write_file("/run/fake/exit", "");
    ASSERT_TRUE(wait_file("/run/fake/starts", "start\nstart\n", 8000));
    EXPECT_FALSE(alive(helper));
    EXPECT_EQ(stop_daemon(), 0);
}
