#include "settings/settings_internal.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

static FILE *settings_file(const std::string &content)
{
    FILE *f = tmpfile();
    fputs(content.c_str(), f);
    return f;
}

TEST(Settings, LooksUpValuesWithTheFileQuotingAndCaseRules)
{
    FILE *f = settings_file("KEY=value\n"
                            "QUOTED=\"value\"\r\n"
                            "lower=value\n"
                            "SPACED = value\n"
                            "CUT=\"a\"b\n"
                            "INNER=a\"b\"\n"
                            "OPEN=\"abc\n"
                            "#COMMENTED=1\n"
                            "TWICE=first\n"
                            "TWICE=second\n"
                            "NOEQUALS\n"
                            "EMPTY=\n");
    EXPECT_EQ(settings_get_str(f, "KEY"), "value");
    EXPECT_EQ(settings_get_str(f, "QUOTED"), "value");
    EXPECT_EQ(settings_get_str(f, "LOWER"), "value");
    EXPECT_EQ(settings_get_str(f, "SPACED"), "");
    EXPECT_EQ(settings_get_str(f, "CUT"), "a");
    EXPECT_EQ(settings_get_str(f, "INNER"), "a\"b");
    EXPECT_EQ(settings_get_str(f, "OPEN"), "");
    EXPECT_EQ(settings_get_str(f, "COMMENTED"), "");
    EXPECT_EQ(settings_get_str(f, "TWICE"), "first");
    EXPECT_EQ(settings_get_str(f, "NOEQUALS"), "");
    EXPECT_EQ(settings_get_str(f, "EMPTY"), "");
    EXPECT_EQ(settings_get_str(f, "ABSENT"), "");
    fclose(f);
}

TEST(Settings, ParsesNumbersLikeUnsignedConversion)
{
    FILE *f = settings_file("PORT=\"2101\"\nBAD=abc\nBLANK=  42x\nNEG=-1\nNONE=\n");
    EXPECT_EQ(settings_get_uint(f, "PORT"), 2101u);
    EXPECT_EQ(settings_get_uint(f, "BAD"), 0u);
    EXPECT_EQ(settings_get_uint(f, "BLANK"), 42u);
    EXPECT_EQ(settings_get_uint(f, "NEG"), 4294967295u);
    EXPECT_EQ(settings_get_uint(f, "NONE"), 0u);
    EXPECT_EQ(settings_get_uint(f, "ABSENT"), 0u);
    EXPECT_EQ(settings_get_uint(nullptr, "PORT"), 0u);
    EXPECT_EQ(settings_get_str(nullptr, "PORT"), "");
    fclose(f);
}

TEST(Settings, ALineLongerThanTheBufferIsReadInPieces)
{
    // The tail of an over-long line is a line of its own.
    std::string content = "JUNK=" + std::string(16383 - 5, 'x') + "KEY=tail\n";
    FILE *f = settings_file(content);
    EXPECT_EQ(settings_get_str(f, "KEY"), "tail");
    fclose(f);
}

TEST(Settings, LoadsTheRecordAndDefaultsWithoutAFile)
{
    Config cfg;
    load_settings_from(&cfg, "/nonexistent/settings");
    EXPECT_EQ(cfg.ipaddr, "");
    EXPECT_EQ(cfg.port, 0u);
    EXPECT_EQ(cfg.target, 0u);
    EXPECT_EQ(cfg.send_nmea, 0u);
    EXPECT_STREQ(interface_path(cfg.target), "/dev/ttyS0");

    char path[] = "/tmp/rtkfeedd-settings-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string text = "MOD_NTRIP_IPADDR=1.2.3.4\nMOD_NTRIP_PORT=2101\nMOD_NTRIP_SOURCE=3\n"
                       "MOD_NTRIP_LONGTITUDE=01131.000\nMOD_NTRIP_TARGET_PARITY=\"E\"\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    load_settings_from(&cfg, path);
    unlink(path);
    EXPECT_EQ(cfg.ipaddr, "1.2.3.4");
    EXPECT_EQ(cfg.port, 2101u);
    EXPECT_EQ(cfg.source, 3u);
    EXPECT_EQ(cfg.longitude, "01131.000");
    EXPECT_EQ(cfg.target_parity, "E");
}

TEST(Settings, TheStallTimeoutIsAMinuteUnlessSetAndZeroTurnsItOff)
{
    const struct {
        const char *file;
        unsigned timeout;
    } cases[] = {
        {"", 60},
        {"MOD_NTRIP_STALL_TIMEOUT=\n", 60},
        {"MOD_NTRIP_STALL_TIMEOUT=\"\"\n", 60},
        {"MOD_NTRIP_STALL_TIMEOUT=0\n", 0},
        {"mod_ntrip_stall_timeout=\"20\"\n", 20},
        {"MOD_NTRIP_STALL_TIMEOUT= 5 \n", 5},
        // Not a plain number in range: the default, not whatever sscanf made of it.
        {"MOD_NTRIP_STALL_TIMEOUT= 5s\n", 60},
        {"MOD_NTRIP_STALL_TIMEOUT=abc\n", 60},
        {"MOD_NTRIP_STALL_TIMEOUT=-1\n", 60},
        {"MOD_NTRIP_STALL_TIMEOUT=86401\n", 60},
        {"MOD_NTRIP_STALL_TIMEOUT=99999999999\n", 60},
    };
    for (const auto &c : cases) {
        FILE *f = settings_file(c.file);
        EXPECT_EQ(settings_get_uint_or(f, "MOD_NTRIP_STALL_TIMEOUT", 60, 0, 86400), c.timeout)
            << c.file;
        fclose(f);
    }
    Config cfg;
    load_settings_from(&cfg, "/nonexistent/settings");
    EXPECT_EQ(cfg.stall_timeout, 60u);
}

TEST(Settings, DistancesTakeDecimalsAndAnythingElseIsTheDefault)
{
    const struct {
        const char *value;
        double km;
    } cases[] = {{"", 2},         {"\"12.5\"", 12.5}, {"0", 0},      {"7", 7},
                 {"-3", 2},       {"nan", 2},        {"inf", 2},    {"5 km", 2},
                 {"1e400", 2},    {"35,5", 2},       {"+5", 2},     {"1.2.3", 2},
                 {"20041", 2}};
    for (const auto &c : cases) {
        FILE *f = settings_file(std::string("MOD_NTRIP_SWITCH_MARGIN=") + c.value + "\n");
        EXPECT_DOUBLE_EQ(settings_get_double_or(f, "MOD_NTRIP_SWITCH_MARGIN", 2, 20040), c.km)
            << c.value;
        fclose(f);
    }
    Config cfg;
    load_settings_from(&cfg, "/nonexistent/settings");
    EXPECT_EQ(cfg.nearest, 0u);
    EXPECT_DOUBLE_EQ(cfg.max_baseline_km, 0);
    EXPECT_DOUBLE_EQ(cfg.switch_margin_km, 2);
    EXPECT_EQ(cfg.failover_after, 3u);
    EXPECT_EQ(cfg.nofix_timeout, 0u);
    // A count out of range is the default too.
    FILE *f = settings_file("MOD_NTRIP_FAILOVER_AFTER=0\n");
    EXPECT_EQ(settings_get_uint_or(f, "MOD_NTRIP_FAILOVER_AFTER", 3, 1, 1000), 3u);
    fclose(f);
}

TEST(Settings, InterfacesTable)
{
    const char *expected[] = {"/dev/ttyS0", "/dev/ttyS1", "/dev/nmea", "/dev/nmea_gen",
                              "/dev/ntrip"};
    for (unsigned i = 0; i < 5; i++)
        EXPECT_STREQ(interface_path(i), expected[i]);
    EXPECT_EQ(interface_path(5), nullptr);
    EXPECT_EQ(interface_path(4294967295u), nullptr);
}
