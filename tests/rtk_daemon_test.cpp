// A real RTK fix through the daemon: a real base station's observations,
// played by rinexcast through a str2str caster and the str2str adapter,
// relayed by the daemon to a serial line on which rtkrcv, fed the real
// rover's observations, is the receiver; its solution comes back on the
// line as GGA, which the daemon takes as its position and reports.
#include "harness.h"
#include "health/health_internal.h"
#include "support.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

class RtkTest : public DaemonTest {};

static const char base_xyz[] = "-3978241.958,3382840.234,3649900.853";

// Runs a shell command in a process group of its own; its pid.
static pid_t spawn(const std::string &cmd, const char *dir = nullptr)
{
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        if (dir && chdir(dir) != 0)
            _exit(127);
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    return pid;
}

// The fix qualities of the GGA sentences in a stream, counted by quality.
struct GgaCount {
    std::string line;
    int fixed = 0, all = 0;
    void take(const char *p, ssize_t n)
    {
        for (ssize_t i = 0; i < n; i++) {
            if (p[i] != '\n') {
                line += p[i];
                continue;
            }
            size_t at = line.find("GGA,");
            if (at != std::string::npos) {
                size_t f = at;
                for (int k = 0; k < 6 && f != std::string::npos; k++)
                    f = line.find(',', f + 1);
                if (f != std::string::npos && f + 1 < line.size()) {
                    all++;
                    fixed += line[f + 1] == '4';
                }
            }
            line.clear();
        }
    }
};

TEST_F(RtkTest, AReceiverReachesAnRtkFixThroughTheDaemon)
{
    if (shell("command -v rtkrcv && command -v str2str && command -v rnx2rtkp") != 0)
        GTEST_SKIP() << "rtkrcv, str2str, rnx2rtkp (Debian package rtklib) are not installed";
    ASSERT_TRUE(private_loopback());
    ASSERT_EQ(shell("mkdir -p /run/rtk/work && cd /run/rtk && for f in " DATA_DIR
                  "/rinex/*.gz; do gunzip -c \"$f\" > \"$(basename \"$f\" .gz)\"; done"),
              0);
    const std::string base = "/run/rtk/30400920.05o", rover = "/run/rtk/07590920.05o",
                      nav = "/run/rtk/30400920.05n";
    // The reference: the same files in RTKLIB's post-processor, kinematic,
    // continuous ambiguity resolution.
    std::string xyz = base_xyz;
    for (char &c : xyz)
        if (c == ',')
            c = ' ';
    ASSERT_EQ(shell("rnx2rtkp -p 2 -r " + xyz + " -o /run/rtk/ref.pos " + rover + " " + base + " " +
                  nav + " 2>/dev/null"),
              0);
    int reference = shell("exit $(awk '!/^%/ && $6 == 1' /run/rtk/ref.pos | wc -l)");
    ASSERT_GT(reference, 100);

    // The caster, serving the base; the rover waits for the receiver.
    pid_t caster = spawn("{ " + std::string(RINEXCAST_BINARY) + " --nav " + nav + " --base " +
                         base + " --station 3040 --position " + base_xyz + " --speed 4 --rover " +
                         rover + " --rover-port 12103 --echo 12104; touch /run/rtk/played; } "
                         "| exec str2str -out "
                         "'ntripc://:12102/RINEX:Base;RTCM 3.2;1005(1),1074(1),1019;2;GPS;"
                         "GSI;JPN;35.13;139.62;1;0;rinexcast;none;N;N;9600' 2>/dev/null");
    // The line: the daemon's end is /dev/ttyS0, the receiver's /dev/rcv.
    int line = make_serial("/dev/ttyS0"), receiver_end = make_serial("/dev/rcv");
    std::atomic<bool> done{false};
    GgaCount gga;
    std::thread null_modem([&] {
        char buf[4096];
        while (!done) {
            pollfd p[2] = {{line, POLLIN, 0}, {receiver_end, POLLIN, 0}};
            if (poll(p, 2, 100) <= 0)
                continue;
            bool moved = false;
            for (int i = 0; i < 2; i++) {
                if (!(p[i].revents & POLLIN))
                    continue;
                ssize_t n = read(p[i].fd, buf, sizeof buf);
                if (n <= 0)
                    continue;
                moved = true;
                if (i == 1)
                    gga.take(buf, n);
                write_all(i == 0 ? receiver_end : line, buf, static_cast<size_t>(n));
            }
            if (!moved)
                usleep(20 * 1000);  // an end that nobody opened yet hangs up
        }
    });
    std::string conf = read_file(DATA_DIR "/rtkrcv.conf");
    for (auto [from, to] : {std::pair<std::string, std::string>{"@ROVER@", "12103"},
                            {"@LINE@", "rcv"}, {"@ECHO@", "12104"}, {"@SOLUTION@", "12105"}})
        for (size_t at; (at = conf.find(from)) != std::string::npos;)
            conf.replace(at, from.size(), to);
    write_file("/run/rtk/rtkrcv.conf", conf);
    usleep(300 * 1000);  // the rover port
    pid_t engine = spawn("exec rtkrcv -s -p 12106 -o /run/rtk/rtkrcv.conf >/dev/null 2>&1",
                         "/run/rtk/work");

    unlink("/opt/casterLink/bin/casterlink");
    ASSERT_EQ(symlink(ADAPTER_SCRIPT, "/opt/casterLink/bin/casterlink"), 0);
    write_settings("MOD_NTRIP_IPADDR=127.0.0.1\nMOD_NTRIP_PORT=12102\n"
                   "MOD_NTRIP_MOUNTPOINT=RINEX\nMOD_NTRIP_RECONNINT=1\nMOD_NTRIP_SEND_NMEA=1\n"
                   "MOD_NTRIP_SOURCE=0\nMOD_NTRIP_TARGET=0\nMOD_NTRIP_TARGET_BAUDRATE=115200\n");
    start_daemon();
    // Until the base has been played (about 40 s), watching the report.
    bool reported_fixed = false;
    for (int i = 0; i < 900 && !exists("/run/rtk/played"); i++) {
        if (i % 10 == 0)
            reported_fixed = reported_fixed || report()["receiver.fix_quality"] == "4";
        usleep(100 * 1000);
    }
    sleep(1);
    done = true;
    null_modem.join();
    EXPECT_TRUE(reported_fixed);
    printf("the receiver fixed %d of %d epochs through the daemon; the reference %d\n", gga.fixed,
           gga.all, reference);
    EXPECT_GE(gga.fixed * 10, reference * 9) << gga.fixed << " fixed of " << gga.all
                                             << " solutions; the reference fixes " << reference;
    EXPECT_EQ(stop_daemon(), 0);
    kill(-engine, SIGTERM);
    kill(-caster, SIGTERM);
    waitpid(engine, nullptr, 0);
    waitpid(caster, nullptr, 0);
}
