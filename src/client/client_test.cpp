#include "client/client_internal.h"
#include "settings/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

static std::string joined(const ClientArgs &a)
{
    std::string out;
    for (int i = 0; i < a.argc; i++)
        out += std::string(a.argv[i]) + "|";
    EXPECT_EQ(a.argv[a.argc], nullptr);
    return out;
}

TEST(ClientArgs, ComposesTheListFromTheRecord)
{
    Config cfg = {};
    cfg.ipaddr = "caster";
    cfg.port = 2101;
    cfg.mountpoint = "MP";
    cfg.reconnint = 3;
    ClientArgs a;
    const std::string head = "/opt/casterLink/bin/casterlink|-s|caster|-r|2101|";
    const std::string tail = "-m|MP|-i|3|-D|/dev/rtkfeedd|-B|9600|-A|8|-T|1|-Y|N|";

    build_client_args(cfg, "$GPGGA,x", &a);
    EXPECT_EQ(joined(a), head + tail);

    cfg.password = "pw";  // never without a user name
    build_client_args(cfg, "", &a);
    EXPECT_EQ(joined(a), head + tail);

    cfg.username = "user";
    cfg.send_nmea = 1;
    build_client_args(cfg, "$GPGGA,x", &a);
    EXPECT_EQ(joined(a), head + "-u|user|-p|pw|" + tail + "-n|$GPGGA,x|");

    cfg.nmea_int = 10;
    build_client_args(cfg, "$GPGGA,x", &a);
    EXPECT_EQ(joined(a), head + "-u|user|-p|pw|" + tail + "-n|$GPGGA,x|-g|10|");
    EXPECT_EQ(a.argc, 27);

    cfg.send_nmea = 0;
    cfg.password.clear();
    cfg.port = 4294967295u;  // ten-byte fields keep nine digits
    build_client_args(cfg, "", &a);
    EXPECT_EQ(joined(a), "/opt/casterLink/bin/casterlink|-s|caster|-r|429496729|-u|user|" + tail);
}

TEST(RunCommand, RedirectsOutputAndDiscardsErrors)
{
    char path[] = "/tmp/rtkfeedd-run-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    set_redirect(1, fd);  // closed by the runner
    int status = run_command(5, "/bin/sh", "-c", "echo out; echo err >&2", nullptr);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the slot descriptor is closed after the run";
    FILE *f = fopen(path, "r");
    char buf[64] = {};
    ASSERT_NE(fgets(buf, sizeof buf, f), nullptr);
    fclose(f);
    unlink(path);
    EXPECT_STREQ(buf, "out\n");

    // The redirection applied to that run only: now all three are the null device.
    status = run_command(5, "/bin/sh", "-c",
                         "[ \"$(readlink /proc/self/fd/0)\" = /dev/null ] && "
                         "[ \"$(readlink /proc/$$/fd/1)\" = /dev/null ] && "
                         "[ \"$(readlink /proc/$$/fd/2)\" = /dev/null ]",
                         nullptr);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(RunCommand, HidesTheDaemonsDescriptors)
{
    int fd = open("/dev/null", O_RDONLY);  // not close-on-exec
    ASSERT_GE(fd, 3);
    std::string test = "[ ! -e /proc/$$/fd/" + std::to_string(fd) + " ]";
    int status = run_command(5, "/bin/sh", "-c", test.c_str(), nullptr);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(fd);
}

TEST(RunCommand, AProgramThatCannotStartExitsWithOne)
{
    int status = run_command(5, "/nonexistent/program", nullptr);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    status = run_command(5, "sh", "-c", "exit 7", nullptr);  // found through PATH
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7);
}

TEST(RunCommand, BoundedRunKillsAProgramThatOverstays)
{
    errno = 0;
    EXPECT_EQ(run_command(1, "/bin/sleep", "30", nullptr), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    int status = run_command(5, "/bin/true", nullptr);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

static StrRecord parse(std::string line, const char *mountpoint, std::string fields[STR_FIELDS])
{
    return parse_str_record(&line[0], mountpoint, fields);
}

static const char berlin[] = "STR;RTCM3;Berlin;RTCM 3.2;1004(1),1012(1);2;GPS+GLO;EUREF;DEU;"
                             "52.50;13.40;1;0;sNTRIP;none;B;N;9600;\r\n";

TEST(SourceTable, FindsTheMountpointRecord)
{
    std::string f[STR_FIELDS];
    ASSERT_EQ(parse(berlin, "RTCM3", f), STR_FILLED);
    EXPECT_EQ(format_mountpoint_info(f), "Mountpoint           : RTCM3\n"
                                         "Identifier           : Berlin\n"
                                         "Format               : RTCM 3.2\n"
                                         "Format details       : 1004(1),1012(1)\n"
                                         "Navigation system(s) : GPS+GLO\n"
                                         "Network              : EUREF\n"
                                         "NMEA required        : Yes\n");
    EXPECT_EQ(f[16], "9600");

    EXPECT_EQ(parse(berlin, "rtcm3", f), STR_OTHER);
    EXPECT_EQ(parse("CAS;caster;2101", "RTCM3", f), STR_OTHER);
    EXPECT_EQ(parse("STR;RTCM3;a;b;c;d;e;f;g;h", "RTCM3", f), STR_SHORT);
    EXPECT_EQ(f[0], "");

    ASSERT_EQ(parse("STR;MP;;;;;;;;;;;;;;;;", "MP", f), STR_FILLED);
    EXPECT_EQ(f[1], "");
    EXPECT_EQ(format_mountpoint_info(f).substr(0, 26), "Mountpoint           : MP\n");
    EXPECT_NE(format_mountpoint_info(f).find("NMEA required        : No\n"), std::string::npos);
    ASSERT_EQ(parse("STR;MP;;;;;;;;;;;;;;;;", "", f), STR_OTHER);
}

TEST(SourceTable, TheFirstMatchingLineDecides)
{
    std::string f[STR_FIELDS];
    FILE *t = tmpfile();
    fputs("SOURCETABLE 200 OK\r\nSTR;OTHER;x;;;;;;;;;;;;;;;\r\n"
          "STR;RTCM3;short;line\r\n",
          t);
    fputs(berlin, t);
    rewind(t);
    EXPECT_EQ(find_mountpoint(t, "RTCM3", f), -1);
    fclose(t);

    t = tmpfile();
    fputs("STR;OTHER;x\r\n", t);
    fputs(berlin, t);
    fputs("ENDSOURCETABLE\r\n", t);
    rewind(t);
    EXPECT_EQ(find_mountpoint(t, "RTCM3", f), 0);
    EXPECT_EQ(f[1], "Berlin");
    fclose(t);
}

TEST(SourceTable, ALongLineIsParsedFromItsFirstPiece)
{
    std::string f[STR_FIELDS];
    FILE *t = tmpfile();
    std::string longline = "STR;RTCM3;" + std::string(300, 'x') + ";b;c;d;e;f;g;h;i;1;k;l;m;n;o;p\n";
    fputs(longline.c_str(), t);
    rewind(t);
    EXPECT_EQ(find_mountpoint(t, "RTCM3", f), -1);
    fclose(t);
}
