// Position sentences, seen from outside the daemon.
#include "harness.h"

#include <csignal>
#include <sys/stat.h>
#include <regex>
#include <syslog.h>
#include <unistd.h>

class NmeaTest : public DaemonTest {};

static const char fix[] = "$GPGGA,123519.00,4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,,M,,*7C";
static const char no_fix[] = "$GPGGA,,,,,,0,00,,,M,,M,,*66\r\n";

static void send(int fd, const std::string &s)
{
    ASSERT_EQ(write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
}

// The argument after flag in the client's last argument list.
static std::string arg_after(const std::string &args, const std::string &flag)
{
    size_t at = args.find("\n" + flag + "\n");
    if (at == std::string::npos)
        return "<absent>";
    size_t start = at + flag.size() + 2;
    return args.substr(start, args.find('\n', start) - start);
}

TEST_F(NmeaTest, TakesThePositionFromTheSourceAndRelaysIt)
{
    write_settings("MOD_NTRIP_SEND_NMEA=1\nMOD_NTRIP_NMEA_INT=5\nMOD_NTRIP_SOURCE=2\n"
                   "MOD_NTRIP_MOUNTPOINT=MP\n");
    make_serial("/dev/ttyS0");
    int source = make_serial("/dev/nmea");
    pid_t pid = start_daemon();
    ASSERT_TRUE(wait_log("waiting for valid position(GGA message)"));
    EXPECT_EQ(read_file("/run/status.ntrip"), "10");
    std::string lock = lock_content(pid);
    EXPECT_EQ(read_file("/run/lock/LCK..nmea"), lock);

    // Without a fix nothing is accepted; an RMC line before the fix is skipped.
    send(source, no_fix);
    usleep(600 * 1000);
    EXPECT_EQ(read_file("/run/status.ntrip"), "10");
    send(source, std::string("$GPRMC,123519,A,4807.038,N,01131.000,E*6A\r\n") + fix + "\r\n");
    ASSERT_TRUE(wait_file("/run/status.ntrip", "11"));
    ASSERT_TRUE(wait_log("starting casterlink"));
    ASSERT_TRUE(wait_file("/run/fake/starts", "start\n"));
    std::string args = read_file("/run/fake/args");
    EXPECT_EQ(arg_after(args, "-n"), fix);
    EXPECT_EQ(arg_after(args, "-g"), "5");

    // During the cycle the source's sentences reach the client's device.
    usleep(200 * 1000);
    send(source, "$GPGSV,hello\r\n");
    EXPECT_TRUE(wait_file("/run/fake/received", "$GPGSV,hello\r\n"));

    // The source is given back between cycles and taken again by the next.
    write_file("/run/fake/exit", "");
    ASSERT_TRUE(wait_log("casterlink terminated"));
    EXPECT_FALSE(exists("/run/lock/LCK..nmea"));
    ASSERT_TRUE(wait_file("/run/status.ntrip", "10"));
    EXPECT_EQ(read_file("/run/lock/LCK..nmea"), lock);

    EXPECT_EQ(stop_daemon(), 0);
    EXPECT_EQ(read_file("/run/status.ntrip"), "0");
    EXPECT_FALSE(exists("/run/lock/LCK..nmea"));
    EXPECT_FALSE(exists("/run/lock/LCK..ttyS0"));
}

TEST_F(NmeaTest, NothingEchoesBackBeforeTheClientSetsItsDevice)
{
    write_settings("MOD_NTRIP_SEND_NMEA=1\nMOD_NTRIP_SOURCE=2\n");
    int target = make_serial("/dev/ttyS0");
    int source = make_serial("/dev/nmea");
    write_file("/run/fake/late", "");
    start_daemon();
    ASSERT_TRUE(wait_log("waiting for valid position(GGA message)"));
    send(source, std::string(fix) + "\r\n");
    ASSERT_TRUE(wait_log("starting casterlink"));
    // The client has not opened its device yet; the sentences wait for it.
    for (int i = 0; i < 3; i++) {
        send(source, std::string(fix) + "\r\n");
        usleep(300 * 1000);
    }
    EXPECT_EQ(read_n(target, 1, 1500), "");
    EXPECT_TRUE(wait_file("/run/fake/received", std::string(fix) + "\r\n" + fix + "\r\n" + fix +
                                                    "\r\n"));
    EXPECT_EQ(stop_daemon(), 0);
}

TEST_F(NmeaTest, AClientThatNeverReadsDoesNotHoldUpTheCorrections)
{
    write_settings("MOD_NTRIP_SEND_NMEA=1\nMOD_NTRIP_SOURCE=2\n");
    int target = make_serial("/dev/ttyS0");
    int source = make_serial("/dev/nmea");
    write_file("/run/fake/deaf", "");
    write_file("/run/fake/drip", std::string(512, 'x'));  // 5 KiB/s of corrections
    start_daemon();
    ASSERT_TRUE(wait_log("waiting for valid position(GGA message)"));
    send(source, std::string(fix) + "\r\n");
    ASSERT_TRUE(wait_log("starting casterlink"));
    // Fill the client's terminal with sentences it never reads.
    std::string sentences;
    while (sentences.size() < 1024)
        sentences += std::string(fix) + "\r\n";
    std::string got;
    for (int i = 0; i < 80; i++) {
        send(source, sentences);
        got += read_n(target, 1 << 20, 20);
    }
    ASSERT_TRUE(wait_log("write to ntrip has failed", 3000));
    // Then a burst a second, as a receiver sends them: the corrections
    // must keep their pace meanwhile.
    got += read_n(target, 1 << 20, 500);
    size_t before = got.size();
    for (int i = 0; i < 3; i++) {
        send(source, sentences);
        got += read_n(target, 1 << 20, 1000);
    }
    EXPECT_GE(got.size() - before, 10000u) << "corrections in 3 s";
    EXPECT_EQ(stop_daemon(), 0);
}

TEST_F(NmeaTest, UsesTheTargetItselfAsSource)
{
    write_settings("MOD_NTRIP_SEND_NMEA=1\nMOD_NTRIP_SOURCE=1\nMOD_NTRIP_TARGET=1\n");
    int line = make_serial("/dev/ttyS1");
    write_file("/run/fake/payload", "corrections");
    start_daemon();
    ASSERT_TRUE(wait_log("waiting for valid position(GGA message)"));
    send(line, std::string(fix) + "\r\n");
    ASSERT_TRUE(wait_file("/run/status.ntrip", "11"));
    EXPECT_EQ(read_n(line, 11, 5000), "corrections");
    send(line, "$GPGSV,back\r\n");
    EXPECT_TRUE(wait_file("/run/fake/received", "$GPGSV,back\r\n"));
    EXPECT_EQ(arg_after(read_file("/run/fake/args"), "-g"), "<absent>");
    EXPECT_EQ(stop_daemon(), 0);
    EXPECT_FALSE(exists("/run/lock/LCK..ttyS1"));
}

TEST_F(NmeaTest, GeneratesTheFixedPosition)
{
    write_settings("MOD_NTRIP_SEND_NMEA=1\nMOD_NTRIP_SOURCE=3\nMOD_NTRIP_LATITUDE=4807.038\n"
                   "MOD_NTRIP_LONGTITUDE=-01131.000\nMOD_NTRIP_HEIGHT=545.4\n");
    make_serial("/dev/ttyS0");
    start_daemon();
    ASSERT_TRUE(wait_file("/run/fake/starts", "start\n", 8000));
    EXPECT_TRUE(exists("/dev/nmea_gen"));
    std::string sentence = arg_after(read_file("/run/fake/args"), "-n");
    EXPECT_TRUE(std::regex_match(
        sentence,
        std::regex(R"(\$GPGGA,\d{6}\.00,4807\.0380,N,01131\.0000,W,0,00,,545\.4,M,,M,,\*[0-9A-F]{2})")))
        << sentence;
    // Once a second, through the relay, to the client.
    sleep(3);
    std::string received = read_file("/run/fake/received");
    size_t count = 0;
    for (size_t at = 0; (at = received.find("$GPGGA,", at)) != std::string::npos; at++)
        count++;
    EXPECT_GE(count, 2u) << received;
    EXPECT_EQ(stop_daemon(), 0);
    EXPECT_FALSE(exists("/dev/nmea_gen"));
    EXPECT_FALSE(exists("/run/lock/LCK..nmea_gen"));
}

TEST_F(NmeaTest, StopsWhileWaitingForAFixOrForTheSource)
{
    write_settings("MOD_NTRIP_SEND_NMEA=1\nMOD_NTRIP_SOURCE=2\n");
    make_serial("/dev/ttyS0");
    // The source does not exist yet: the daemon retries every 5 seconds.
    start_daemon();
    ASSERT_TRUE(wait_log("device /dev/nmea for getting nmea is not ready, waiting 5s ..."));
    EXPECT_TRUE(has_log(LOG_ERR, "open(/dev/nmea) error: No such file or directory"));
    EXPECT_EQ(stop_daemon(SIGTERM, 3000), 0);
    EXPECT_EQ(read_file("/run/status.ntrip"), "0");
    EXPECT_FALSE(exists("/run/lock/LCK..nmea"));

    // A receiver without a fix never gives a sentence.
    int source = make_serial("/dev/nmea");
    start_daemon();
    ASSERT_TRUE(wait_log("waiting for valid position(GGA message)"));
    for (int i = 0; i < 5; i++) {
        send(source, no_fix);
        usleep(200 * 1000);
    }
    EXPECT_EQ(stop_daemon(SIGTERM, 4000), 0);
    EXPECT_EQ(read_file("/run/status.ntrip"), "0");
    EXPECT_FALSE(exists("/run/lock/LCK..nmea"));
    EXPECT_EQ(count_log("starting casterlink"), 0);
}

TEST_F(NmeaTest, ALockedSourceIsFatal)
{
    write_settings("MOD_NTRIP_SEND_NMEA=1\nMOD_NTRIP_SOURCE=2\n");
    make_serial("/dev/ttyS0");
    make_serial("/dev/nmea");
    std::string lock = lock_content(getpid());
    write_file("/run/lock/LCK..nmea", lock);
    start_daemon();
    EXPECT_EQ(wait_exit(9000), 1);
    EXPECT_TRUE(has_log(LOG_ERR, "source device /dev/nmea is locked"));
    EXPECT_EQ(read_file("/run/status.ntrip"), "102");
    EXPECT_FALSE(exists("/dev/rtkfeedd"));
    EXPECT_FALSE(exists("/run/lock/LCK..ttyS0"));
}

TEST_F(NmeaTest, AMultiGnssReceiverGivesTheClientAGpggaSentence)
{
    write_settings("MOD_NTRIP_SEND_NMEA=1\nMOD_NTRIP_SOURCE=2\nMOD_NTRIP_MOUNTPOINT=MP\n");
    make_serial("/dev/ttyS0");
    int source = make_serial("/dev/nmea");
    start_daemon();
    ASSERT_TRUE(wait_log("waiting for valid position(GGA message)"));
    // Garbled on the line: its checksum does not match, so it is not taken.
    send(source, "$GNGGA,123519.00,4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,,M,,*63\r\n");
    usleep(600 * 1000);
    EXPECT_EQ(read_file("/run/status.ntrip"), "10");
    send(source, "$GNGGA,123519.00,4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,,M,,*62\r\n");
    ASSERT_TRUE(wait_file("/run/fake/starts", "start\n"));
    EXPECT_EQ(arg_after(read_file("/run/fake/args"), "-n"), fix);
    EXPECT_EQ(stop_daemon(), 0);
}
