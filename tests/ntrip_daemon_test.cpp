// The daemon with real NTRIP software around it: a str2str caster on
// loopback serving a generated RTCM 3 stream, and the str2str adapter as the
// daemon's client, fed by the fixed-position generator.
#include "harness.h"
#include "rtcm.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

class CasterTest : public DaemonTest {};

// account: "user:password@" when the caster asks for one.
static pid_t start_caster(int port, const std::string &account = "")
{
    std::string cmd = std::string(RTCMGEN_BINARY) + " --rate 5 | exec str2str -out 'ntripc://" +
                      account + ":" + std::to_string(port) +
                      "/RTCM3:Generated;RTCM 3.2;1005(1),1074(1);2;GPS+GLO+GAL;LOCAL;XXX;52.50;"
                      "13.40;1;0;str2str;none;N;N;9600' 2>/dev/null";
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        execl("/bin/sh", "sh", "-c", cmd.c_str(), nullptr);
        _exit(127);
    }
    return pid;
}

TEST_F(CasterTest, RelaysARealCastersStreamThroughTheStr2strAdapter)
{
    if (system("command -v str2str >/dev/null") != 0)
        GTEST_SKIP() << "str2str (Debian package rtklib) is not installed";
    ASSERT_TRUE(private_loopback());
    const int port = 12101;
    pid_t caster = start_caster(port);
    ASSERT_GT(caster, 0);
    unlink("/opt/casterLink/bin/casterlink");
    ASSERT_EQ(symlink(ADAPTER_SCRIPT, "/opt/casterLink/bin/casterlink"), 0);
    write_settings("MOD_NTRIP_IPADDR=127.0.0.1\nMOD_NTRIP_PORT=" + std::to_string(port) +
                   "\nMOD_NTRIP_MOUNTPOINT=RTCM3\nMOD_NTRIP_RECONNINT=1\n"
                   "MOD_NTRIP_SEND_NMEA=1\nMOD_NTRIP_NMEA_INT=5\nMOD_NTRIP_SOURCE=3\n"
                   "MOD_NTRIP_LATITUDE=5230.0\nMOD_NTRIP_LONGTITUDE=1324.0\nMOD_NTRIP_HEIGHT=34.5\n"
                   "MOD_NTRIP_TARGET=0\nMOD_NTRIP_TARGET_BAUDRATE=115200\n");
    int receiver = make_serial("/dev/ttyS0");
    usleep(500 * 1000);  // the caster's listening socket
    start_daemon();

    RtcmScanner scan;
    bool reached_11 = false;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
        reached_11 = reached_11 || read_file("/run/status.ntrip") == "11";
        pollfd p = {receiver, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        uint8_t buf[4096];
        ssize_t n = read(receiver, buf, sizeof buf);
        if (n > 0)
            scan.feed(buf, static_cast<size_t>(n));
    }
    EXPECT_GE(scan.frames, 20u) << scan.summary();
    EXPECT_EQ(scan.crc_failures, 0u) << scan.summary();
    EXPECT_EQ(scan.out_of_order, 0u) << scan.summary();
    EXPECT_TRUE(reached_11);
    EXPECT_EQ(read_file("/run/mountpoint.ntrip"), "Mountpoint           : RTCM3\n"
                                                  "Identifier           : Generated\n"
                                                  "Format               : RTCM 3.2\n"
                                                  "Format details       : 1005(1),1074(1)\n"
                                                  "Navigation system(s) : GPS+GLO+GAL\n"
                                                  "Network              : LOCAL\n"
                                                  "NMEA required        : Yes\n");
    EXPECT_EQ(count_log("casterlink terminated"), 0);
    EXPECT_EQ(stop_daemon(), 0);
    kill(-caster, SIGTERM);
    waitpid(caster, nullptr, 0);
}

// A caster that asks for an e-mail address as the user name, with a password
// that holds "@" and ":": what str2str can take, the adapter passes.
TEST_F(CasterTest, AnAccountWithAnEmailAddressReachesTheCaster)
{
    if (system("command -v str2str >/dev/null") != 0)
        GTEST_SKIP() << "str2str (Debian package rtklib) is not installed";
    ASSERT_TRUE(private_loopback());
    const int port = 12102;
    pid_t caster = start_caster(port, "rover@example.org:p@ss:w0rd@");
    ASSERT_GT(caster, 0);
    unlink("/opt/casterLink/bin/casterlink");
    ASSERT_EQ(symlink(ADAPTER_SCRIPT, "/opt/casterLink/bin/casterlink"), 0);
    write_settings("MOD_NTRIP_IPADDR=127.0.0.1\nMOD_NTRIP_PORT=" + std::to_string(port) +
                   "\nMOD_NTRIP_MOUNTPOINT=RTCM3\nMOD_NTRIP_RECONNINT=1\n"
                   "MOD_NTRIP_USERNAME=rover@example.org\nMOD_NTRIP_PASSWORD=\"p@ss:w0rd\"\n");
    int receiver = make_serial("/dev/ttyS0");
    usleep(500 * 1000);  // the caster's listening socket
    start_daemon();
    RtcmScanner scan;
    std::string got = read_n(receiver, 2000, 15000);
    scan.feed(reinterpret_cast<const uint8_t *>(got.data()), got.size());
    EXPECT_GE(scan.frames, 5u) << scan.summary();
    EXPECT_EQ(count_log("unsupported character"), 0);
    EXPECT_EQ(stop_daemon(), 0);
    kill(-caster, SIGTERM);
    waitpid(caster, nullptr, 0);
}
