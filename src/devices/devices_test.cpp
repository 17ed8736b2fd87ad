#include "devices/devices_internal.h"
#include "common/service.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

TEST(Serial, MapsBaudRatesAndFallsBackTo9600)
{
    EXPECT_EQ(baud_to_speed(300), static_cast<speed_t>(B300));
    EXPECT_EQ(baud_to_speed(115200), static_cast<speed_t>(B115200));
    EXPECT_EQ(baud_to_speed(4000000), static_cast<speed_t>(B4000000));
    for (unsigned odd : {0u, 7u, 1800u, 200u, 14400u})
        EXPECT_EQ(baud_to_speed(odd), static_cast<speed_t>(B9600)) << odd;
}

TEST(Serial, ComposesRawLineSettings)
{
    termios current = {};
    current.c_iflag = ICRNL | IXON;
    current.c_oflag = OPOST | ONLCR;
    current.c_lflag = ICANON | ECHO | ISIG;
    current.c_cc[VMIN] = 3;
    current.c_cc[VTIME] = 4;
    current.c_line = 0;

    termios t = compose_termios(current, 57600, 8, "", 1);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cflag, static_cast<tcflag_t>(B57600 | CS8 | CREAD | HUPCL | CLOCAL));
    EXPECT_EQ(t.c_cc[VMIN], 3);
    EXPECT_EQ(t.c_cc[VTIME], 4);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B57600));

    struct Case {
        unsigned databits;
        const char *parity;
        unsigned stopbits;
        tcflag_t flags;
    } cases[] = {
        {7, "E", 2, CS7 | PARENB | CSTOPB},
        {8, "O", 1, CS8 | PARENB | PARODD},
        {5, "N", 0, CS8},
        {6, "o", 3, CS8},
        {8, "e", 2, CS8 | CSTOPB},
        {8, "Odd", 1, CS8 | PARENB | PARODD},
    };
    for (const Case &c : cases) {
        termios u = compose_termios(current, 9600, c.databits, c.parity, c.stopbits);
        EXPECT_EQ(u.c_cflag, static_cast<tcflag_t>(B9600 | c.flags | CREAD | HUPCL | CLOCAL))
            << c.databits << c.parity << c.stopbits;
    }
}

TEST(Serial, OpensAPtyNonBlockingWithTheSettingsApplied)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    char slave[64];
    ASSERT_EQ(ptsname_r(master, slave, sizeof slave), 0);
    int fd = open_serial(slave, 19200, 7, "E", 2);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    close(fd);
    close(master);
    EXPECT_EQ(open_serial("/nonexistent/tty", 9600, 8, "", 1), -1);
}

class LockFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/rtkfeedd-lock-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf " + dir;
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string read(const std::string &name)
    {
        std::string out;
        FILE *f = fopen((dir + "/" + name).c_str(), "r");
        if (!f)
            return out;
        char buf[64];
        size_t n = fread(buf, 1, sizeof buf, f);
        out.assign(buf, n);
        fclose(f);
        return out;
    }
    void put(const std::string &name, const std::string &content)
    {
        FILE *f = fopen((dir + "/" + name).c_str(), "w");
        fputs(content.c_str(), f);
        fclose(f);
    }
    std::string dir;
};

TEST(LockContent, FormatsAndParsesProcessIds)
{
    char out[12];
    format_lock_content(42, out);
    EXPECT_STREQ(out, "        42\n");
    EXPECT_EQ(parse_lock_pid("        42\n"), 42);
    EXPECT_EQ(parse_lock_pid("1234"), 1234);
    EXPECT_EQ(parse_lock_pid(""), 0);
    EXPECT_EQ(parse_lock_pid("garbage"), 0);
    EXPECT_FALSE(pid_alive(0));
    EXPECT_FALSE(pid_alive(-5));
    EXPECT_TRUE(pid_alive(getpid()));
    EXPECT_TRUE(pid_alive(1));
}

TEST_F(LockFiles, TakesAndReleasesALock)
{
    ASSERT_EQ(lock_device_in(dir.c_str(), "/dev/ttyS0", 1), 0);
    char expected[12];
    format_lock_content(getpid(), expected);
    EXPECT_EQ(read("LCK..ttyS0"), expected);
    EXPECT_EQ(unlock_device_in(dir.c_str(), "/dev/ttyS0"), 0);
    EXPECT_EQ(read("LCK..ttyS0"), "");
}

TEST_F(LockFiles, BreaksStaleLocks)
{
    pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    waitpid(dead, nullptr, 0);
    for (std::string stale : {std::to_string(dead) + "\n", std::string(""), std::string("junk")}) {
        put("LCK..nmea_gen", stale);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(lock_device_in(dir.c_str(), "/dev/nmea_gen", 5), 0) << stale;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
        unlock_device_in(dir.c_str(), "/dev/nmea_gen");
    }
}

TEST_F(LockFiles, WaitsOutALiveOwnerIncludingItself)
{
    ASSERT_EQ(lock_device_in(dir.c_str(), "/dev/ttyS1", 1), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lock_device_in(dir.c_str(), "/dev/ttyS1", 1), -1);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LE(took, std::chrono::milliseconds(2200));
    char expected[12];
    format_lock_content(getpid(), expected);
    EXPECT_EQ(read("LCK..ttyS1"), expected);
}
