#include "nmea/nmea_internal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

static tm at(int h, int m, int s)
{
    tm t = {};
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    return t;
}

TEST(MakeGga, FormatsTheFixedPosition)
{
    char out[SENTENCE_SIZE];
    int n = make_gga(out, sizeof out, "4807.038", "01131.000", "545.4", at(12, 35, 19));
    EXPECT_STREQ(out, "$GPGGA,123519.00,4807.0380,N,01131.0000,E,0,00,,545.4,M,,M,,*52\r\n");
    EXPECT_EQ(n, static_cast<int>(strlen(out)));

    make_gga(out, sizeof out, "", "", "", at(0, 0, 0));
    EXPECT_STREQ(out, "$GPGGA,000000.00,0000.0000,S,00000.0000,W,0,00,,0.0,M,,M,,*52\r\n");

    make_gga(out, sizeof out, "-3330.5", "-07015.25", "12.34", at(23, 59, 59));
    EXPECT_STREQ(out, "$GPGGA,235959.00,3330.5000,S,07015.2500,W,0,00,,12.3,M,,M,,*61\r\n");

    make_gga(out, sizeof out, "north", "1e1", "x", at(1, 2, 3));
    EXPECT_STREQ(out, "$GPGGA,010203.00,0000.0000,S,00010.0000,E,0,00,,0.0,M,,M,,*41\r\n");
}

TEST(MakeGga, RefusesASentenceThatWouldNotFit)
{
    char out[SENTENCE_SIZE];
    std::string huge = "1" + std::string(250, '0');
    EXPECT_EQ(make_gga(out, sizeof out, huge.c_str(), "0", "0", at(0, 0, 0)), -1);
    // The longest that fits still carries its checksum and line ending.
    std::string wide = "1" + std::string(160, '0');
    int n = make_gga(out, sizeof out, wide.c_str(), "0", "0", at(0, 0, 0));
    ASSERT_GT(n, 0);
    EXPECT_LT(n, SENTENCE_SIZE);
    EXPECT_EQ(std::string(out + n - 5, 5).substr(0, 1), "*");
    EXPECT_EQ(std::string(out + n - 2), "\r\n");
}

static std::string gga_of(const std::string &burst)
{
    char out[SENTENCE_SIZE];
    if (extract_gga(burst.data(), burst.size(), out, sizeof out) != 0)
        return "<none>";
    return out;
}

TEST(ExtractGga, AcceptsTheFirstGgaWithAFixOnly)
{
    const std::string fix = "$GPGGA,123519.00,4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,,M,,*7C";
    EXPECT_EQ(gga_of(fix + "\r\n"), fix);
    EXPECT_EQ(gga_of("$GPRMC,123519,A,4807.038,N,01131.000,E*6A\r\n" + fix + "\r\n"), fix);
    EXPECT_EQ(gga_of("noise" + fix), fix);
    EXPECT_EQ(gga_of("$GPGGA,,,,,,0,00,,,M,,M,,*66\r\n"), "<none>");
    EXPECT_EQ(gga_of("$GPGGA,,,,,,0,00,,,M,,M,,*66\r\n" + fix + "\r\n"), "<none>");
    EXPECT_EQ(gga_of("$GPGGA,123519.00,4807.0380,N,01131.0000,E\r\n"), "<none>");
    EXPECT_EQ(gga_of(std::string("\0\0", 2) + fix + "\n"), fix);
    EXPECT_EQ(gga_of(""), "<none>");
}

TEST(ExtractGga, TakesEveryGnssTalkerAndHandsOnGpgga)
{
    const std::string body = "GGA,123519.00,4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,,M,,";
    const std::string gp = "$GP" + body + "*7C";
    for (const char *talker : {"GN", "GL", "GA", "GB", "GQ"}) {
        std::string text = std::string(talker) + body;
        char sum[3];
        snprintf(sum, sizeof sum, "%02x", nmea_checksum(text.data(), text.size()));
        EXPECT_EQ(gga_of("$" + text + "*" + sum + "\r\n"), gp) << talker;
    }
    // Not a GNSS talker, or not a GGA.
    EXPECT_EQ(gga_of("$GXGGA,1,N*00\r\n"), "<none>");
    EXPECT_EQ(gga_of("$GNGSA,A,3,N*00\r\n"), "<none>");
    // Without hex digits after the "*" nothing is checked, and nothing recomputed.
    EXPECT_EQ(gga_of("$GNGGA,1,2,N*\r\n"), "$GPGGA,1,2,N*");
}

TEST(ExtractGga, TheHemisphereIsLookedForInTheLatitudesOwnField)
{
    // Without a fix: the talker's "N" and the "M" units are no hemisphere.
    for (std::string text : {"GNGGA,123519.00,,,,,0,00,99.9,,M,,M,,",
                             "GPGGA,123519.00,,,,,0,00,99.9,,M,,M,,", "GNGGA,1,N,,,E"}) {
        char sum[3];
        snprintf(sum, sizeof sum, "%02X", nmea_checksum(text.data(), text.size()));
        EXPECT_EQ(gga_of("$" + text + "*" + sum + "\r\n"), "<none>") << text;
    }
    EXPECT_EQ(gga_of("$GNGGA,1,2,S*\r\n"), "$GPGGA,1,2,S*");
}

TEST(ExtractGga, AGarbledSentenceIsRejected)
{
    const std::string fix = "$GPGGA,123519.00,4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,,M,,*7C";
    std::string garbled = fix;
    garbled[20] = '9';
    EXPECT_EQ(gga_of(garbled + "\r\n"), "<none>");
    EXPECT_EQ(gga_of(garbled + "\r\n" + fix + "\r\n"), "<none>");  // the first candidate decides
    EXPECT_EQ(gga_of("$GNGGA,1,N,2,E*00\r\n"), "<none>");
    EXPECT_EQ(check_nmea_checksum("$GNGGA,1,N,2,E*40", 17), 0);
    EXPECT_EQ(check_nmea_checksum("$GNGGA,1,N,2,E*4", 16), 0);  // no checksum to check
    EXPECT_EQ(check_nmea_checksum("$GNGGA,1,N,2,E", 14), -1);
}

TEST(ExtractGga, RejectsACandidateLongerThanTheSentenceBuffer)
{
    std::string just_fits = "$GPGGA,,,N*" + std::string(SENTENCE_SIZE - 12, 'Z');
    EXPECT_EQ(gga_of(just_fits + "\r\n"), just_fits);
    std::string too_long = just_fits + "Z";
    EXPECT_EQ(gga_of(too_long + "\r\n"), "<none>");
    EXPECT_EQ(gga_of(std::string(2047, 'N') + "$GPGGA,,,N*" + std::string(3000, '1')), "<none>");
}
