#include "rinex.h"
#include "rtcm_encode.h"

#include <gtest/gtest.h>

#include <cmath>

static std::string header_line(const std::string &content, const std::string &label)
{
    std::string l = content;
    l.resize(60, ' ');
    return l + label + "\n";
}

TEST(Rinex, ReadsVersion2EpochsWithContinuationLinesEventsAndFlags)
{
    std::string text = header_line("     2.10           OBSERVATION DATA    G (GPS)", "RINEX VERSION / TYPE") +
                       header_line("BASE", "MARKER NAME") +
                       header_line(" -3978242.4348  3382841.1715  3649902.7667", "APPROX POSITION XYZ") +
                       header_line("        1.2500        0.0000        0.0000", "ANTENNA: DELTA H/E/N") +
                       header_line("     6    L1    C1    S1    L2    P2    P1", "# / TYPES OF OBSERV") +
                       header_line("", "END OF HEADER");
    // Thirteen satellites: the list goes on in a second line; six types:
    // each satellite's values take two lines.
    text += " 05  4  2  0  0 30.0000000  0 13G 1G 2G 3G 4G 5G 6G 7G 8G 9G10G11R12\n"
            "                                G13\n";
    for (int i = 1; i <= 13; i++) {
        char line[200];
        snprintf(line, sizeof line, "%14.3f%c %14.3f  %14.3f  %14.3f  %14.3f  \n%14.3f  \n",
                 1000.0 * i, i == 2 ? '1' : ' ', 20000000.0 + i, 45.0, 2000.0 * i,
                 20000010.0 + i, 19999999.0);
        text += line;
    }
    text += "                            4  1\n" + header_line("a comment", "COMMENT");
    text += " 05  4  2  0  1  0.0000000  0  1G 1\n"
            "      1001.000        20000001.000\n"
            "                                  \n";
    ObsFile obs;
    std::string error;
    ASSERT_EQ(parse_obs(text, "base.05o", &obs, &error), 0) << error;
    EXPECT_EQ(obs.marker, "BASE");
    EXPECT_DOUBLE_EQ(obs.position[2], 3649902.7667);
    EXPECT_DOUBLE_EQ(obs.antenna_height, 1.25);
    ASSERT_EQ(obs.epochs.size(), 2u);
    const ObsEpoch &e = obs.epochs[0];
    EXPECT_EQ(e.time.week, 1316);
    EXPECT_DOUBLE_EQ(e.time.tow, 6 * 86400 + 30.0);
    ASSERT_EQ(e.sats.size(), 13u);
    EXPECT_EQ(e.sats[11].system, 'R');
    EXPECT_EQ(e.sats[11].channel, no_channel);  // version 2 headers do not say
    EXPECT_EQ(e.sats[12].prn, 13);
    EXPECT_DOUBLE_EQ(e.sats[1].phase[0], 2000);
    EXPECT_EQ(e.sats[1].lli[0], 1);
    EXPECT_DOUBLE_EQ(e.sats[1].code[0], 20000002);  // C1 before P1
    EXPECT_DOUBLE_EQ(e.sats[1].phase[1], 4000);
    EXPECT_DOUBLE_EQ(e.sats[1].code[1], 20000012);
    EXPECT_DOUBLE_EQ(obs.epochs[1].sats[0].code[1], 0);  // blank: none

    // Cut after the first epoch's first twelve satellites.
    std::string cut = text.substr(0, text.find("     13000.000"));
    EXPECT_EQ(parse_obs(cut, "cut.05o", &obs, &error), -1);
    EXPECT_EQ(error, "cut.05o:32: epoch ends early");
}

TEST(Rinex, ReadsVersion3AndTheGpsNavigationFile)
{
    std::string text =
        header_line("     3.03           OBSERVATION DATA    M", "RINEX VERSION / TYPE") +
        header_line("G    4 C1C L1C C2W L2W", "SYS / # / OBS TYPES") +
        header_line("R    2 C1C L1C", "SYS / # / OBS TYPES") +
        header_line("E    1 C1X", "SYS / # / OBS TYPES") +
        header_line("  2 R05  1 R06 -4", "GLONASS SLOT / FRQ #") + header_line("", "END OF HEADER") +
        "> 2005 04 02 00 00  0.0000000  0  4\n";
    char sat[256];
    snprintf(sat, sizeof sat,
             "G03%14.3f  %14.3f2 %14.3f  %14.3f  \nR05%14.3f  %14.3f  \nE01%14.3f\nR07%14.3f  \n",
             24801780.917, -41706426.668, 24801779.314, -32471209.793, 20000000.0, 1234567.25,
             21000000.0, 22000000.0);
    text += sat;
    ObsFile obs;
    std::string error;
    ASSERT_EQ(parse_obs(text, "r3.obs", &obs, &error), 0) << error;
    ASSERT_EQ(obs.epochs.size(), 1u);
    ASSERT_EQ(obs.epochs[0].sats.size(), 3u);  // not Galileo
    EXPECT_TRUE(obs.glonass);
    const SatObs &g = obs.epochs[0].sats[1];
    EXPECT_EQ(g.system, 'R');
    EXPECT_EQ(g.prn, 5);
    EXPECT_EQ(g.channel, 1);
    EXPECT_DOUBLE_EQ(g.phase[0], 1234567.25);
    EXPECT_EQ(obs.epochs[0].sats[2].channel, no_channel);
    const SatObs &s = obs.epochs[0].sats[0];
    EXPECT_EQ(s.prn, 3);
    EXPECT_DOUBLE_EQ(s.code[0], 24801780.917);
    EXPECT_DOUBLE_EQ(s.phase[0], -41706426.668);
    EXPECT_EQ(s.lli[0], 2);
    EXPECT_DOUBLE_EQ(s.phase[1], -32471209.793);
    EXPECT_EQ(parse_obs("garbage", "x", &obs, &error), -1);
    EXPECT_EQ(error, "x:0: not a RINEX observation file");

    std::string nav =
        header_line("     2.10           N: GPS NAV DATA", "RINEX VERSION / TYPE") +
        header_line("", "END OF HEADER") +
        " 1 05  4  2  2  0  0.0 3.966595977540D-04 1.705302565820D-12 0.000000000000D+00\n"
        "    1.400000000000D+02-5.218750000000D+01 4.026596389650D-09 2.871534990340D+00\n"
        "   -2.676621079440D-06 5.957618006510D-03 4.174187779430D-06 5.153636478420D+03\n"
        "    5.256000000000D+05 1.061707735060D-07-2.493184817740D+00-9.313225746150D-08\n"
        "    9.833919144490D-01 3.093750000000D+02-1.650496813270D+00-7.889971342930D-09\n"
        "   -8.571785642400D-12 1.000000000000D+00 1.316000000000D+03 0.000000000000D+00\n"
        "    1.000000000000D+00 0.000000000000D+00-3.259629011150D-09 3.960000000000D+02\n"
        "    5.195760000000D+05\n";
    std::vector<GpsEph> eph;
    ASSERT_EQ(parse_nav(nav, "n", &eph, &error), 0) << error;
    ASSERT_EQ(eph.size(), 1u);
    EXPECT_EQ(eph[0].prn, 1);
    EXPECT_DOUBLE_EQ(eph[0].toc.tow, 6 * 86400 + 7200);
    EXPECT_DOUBLE_EQ(eph[0].af0, 3.966595977540e-04);
    EXPECT_DOUBLE_EQ(eph[0].sqrt_a, 5.153636478420e+03);
    EXPECT_DOUBLE_EQ(eph[0].toe, 525600);
    EXPECT_DOUBLE_EQ(eph[0].week, 1316);
    EXPECT_DOUBLE_EQ(eph[0].iodc, 396);
    EXPECT_EQ(parse_nav(nav.substr(0, nav.size() - 120), "n", &eph, &error), -1);
    EXPECT_EQ(error, "n:8: ephemeris ends early");
}

// Reads fields back out of a frame's message.
struct BitReader {
    std::string m;
    unsigned at = 0;
    uint64_t get(unsigned n)
    {
        uint64_t v = 0;
        for (unsigned i = 0; i < n; i++, at++)
            v = v << 1 | ((static_cast<uint8_t>(m[at / 8]) >> (7 - at % 8)) & 1);
        return v;
    }
    int64_t get_signed(unsigned n)
    {
        int64_t v = static_cast<int64_t>(get(n));
        return v & (int64_t(1) << (n - 1)) ? v - (int64_t(1) << n) : v;
    }
};

static BitReader message_of(const std::string &frame)
{
    EXPECT_EQ(static_cast<uint8_t>(frame[0]), 0xD3);
    size_t len = (static_cast<uint8_t>(frame[1]) & 3) << 8 | static_cast<uint8_t>(frame[2]);
    EXPECT_EQ(frame.size(), len + 6);
    return BitReader{frame.substr(3, len)};
}

TEST(RtcmEncode, Msm4CarriesTheRangesAndAPhaseKeptNextToThem)
{
    const double ms = 299792.458, l1 = 299792458.0 / 1575.42e6;
    ObsEpoch e;
    e.time = gps_time(2005, 4, 2, 0, 0, 30);
    SatObs a;
    a.prn = 7;
    a.code[0] = 24399954.961;
    a.phase[0] = -9569341.859;  // raw: about 26 000 km from the range
    a.code[1] = 24399949.748;
    SatObs b;
    b.prn = 3;
    b.code[0] = 24801780.917;
    b.phase[0] = -41706426.668;
    b.phase[1] = -32471209.793;
    b.code[1] = 24801779.314;
    e.sats = {a, b};
    MsmArcs arcs;
    encode_msm4(3040, e, 'G', &arcs, false);
    e.time.tow += 30;
    e.sats[1].phase[0] += 10.25;  // the same arc, 30 s on
    BitReader r = message_of(encode_msm4(3040, e, 'G', &arcs, false));
    EXPECT_EQ(r.get(12), 1074u);
    EXPECT_EQ(r.get(12), 3040u);
    EXPECT_EQ(r.get(30), static_cast<uint64_t>((6 * 86400 + 60) * 1000));
    r.get(1 + 3 + 7 + 2 + 2 + 1 + 3);
    EXPECT_EQ(r.get(64), (uint64_t(1) << 61) | (uint64_t(1) << 57));  // satellites 3 and 7
    EXPECT_EQ(r.get(32), (uint64_t(1) << 30) | (uint64_t(1) << 23));  // signals 2 and 9
    EXPECT_EQ(r.get(4), 0xFu);  // prn 3 and 7, L1 and L2 each
    double rough[2];
    for (double &x : rough)
        x = static_cast<double>(r.get(8));
    for (double &x : rough)
        x += static_cast<double>(r.get(10)) / 1024;
    double pr[4], ph[4];
    for (double &x : pr)
        x = static_cast<double>(r.get_signed(15)) * std::ldexp(1.0, -24);
    for (double &x : ph)
        x = static_cast<double>(r.get_signed(22)) * std::ldexp(1.0, -29);
    EXPECT_NEAR((rough[0] + pr[0]) * ms, b.code[0], 0.01);
    EXPECT_NEAR((rough[0] + pr[1]) * ms, b.code[1], 0.01);
    EXPECT_NEAR((rough[1] + pr[2]) * ms, a.code[0], 0.01);
    // The phase moved by whole cycles, by the same number at both epochs.
    double cycles = (rough[0] + ph[0]) * ms / l1;
    double shift = e.sats[1].phase[0] - cycles;
    EXPECT_NEAR(shift, std::round(shift), 0.002);
    EXPECT_LT(std::fabs(cycles * l1 - b.code[0]), 10.0);
    EXPECT_EQ(ph[3], -std::ldexp(1.0, -8));  // prn 7 L2: no phase
    EXPECT_EQ(r.get(4), lock_indicator(30000));
    EXPECT_EQ(lock_indicator(30000), 10u);
    EXPECT_EQ(lock_indicator(0), 0u);
    EXPECT_EQ(lock_indicator(1e9), 15u);
}

TEST(RtcmEncode, An1019CarriesTheEphemerisWithItsWeekMoved)
{
    GpsEph e;
    e.prn = 1;
    e.toc = gps_time(2005, 4, 2, 2, 0, 0);
    e.af0 = 3.966595977540e-04;
    e.iode = 140;
    e.sqrt_a = 5153.636478420;
    e.e = 5.957618006510e-03;
    e.toe = 525600;
    e.m0 = 2.871534990340;
    e.week = 1316;
    e.iodc = 396;
    BitReader r = message_of(encode_1019(e, 2448));
    EXPECT_EQ(r.get(12), 1019u);
    EXPECT_EQ(r.get(6), 1u);
    EXPECT_EQ(r.get(10), 2448u % 1024);
    r.get(4 + 2 + 14);
    EXPECT_EQ(r.get(8), 140u);
    EXPECT_EQ(r.get(16) * 16, static_cast<uint64_t>(e.toc.tow));
    r.get(8 + 16);
    EXPECT_NEAR(static_cast<double>(r.get_signed(22)) * std::ldexp(1.0, -31), e.af0, 1e-9);
    EXPECT_EQ(r.get(10), 396u);
    r.get(16 + 16);
    EXPECT_NEAR(static_cast<double>(r.get_signed(32)) * std::ldexp(1.0, -31) * M_PI, e.m0, 1e-8);
    r.get(16);
    EXPECT_NEAR(static_cast<double>(r.get(32)) * std::ldexp(1.0, -33), e.e, 1e-9);
    r.get(16);
    EXPECT_NEAR(static_cast<double>(r.get(32)) * std::ldexp(1.0, -19), e.sqrt_a, 1e-5);
    EXPECT_EQ(r.get(16) * 16, 525600u);
}

TEST(RtcmEncode, TheWeekIsTheOneADecoderTakesFromItsClock)
{
    double tuesday = 2448 * 604800.0 + 2 * 86400;
    EXPECT_EQ(week_nearest(6 * 86400, tuesday), 2447);  // last Saturday
    EXPECT_EQ(week_nearest(3 * 86400, tuesday), 2448);
    double saturday = 2448 * 604800.0 + 6.5 * 86400;
    EXPECT_EQ(week_nearest(0, saturday), 2449);  // next Sunday
    EXPECT_NEAR(gps_seconds(1765190000), 1765190000 - 315964800 + 18, 1e-6);
}

TEST(RtcmEncode, Msm4OfGlonassCarriesItsTimeAndThePhaseAtTheSatellitesFrequency)
{
    const double ms = 299792.458;
    ObsEpoch e;
    e.time = gps_time(2005, 4, 2, 0, 0, 30);  // Saturday 00:00:30 GPS
    SatObs a, b;
    a.system = b.system = 'R';
    a.prn = 5;
    a.channel = -4;
    a.code[0] = 20000000.0;
    a.phase[0] = 107012345.37;
    b.prn = 7;  // no channel: no phase
    b.code[0] = 21000000.0;
    b.phase[0] = 1e8;
    SatObs gps;
    gps.prn = 3;
    gps.code[0] = 22000000.0;
    e.sats = {a, gps, b};
    MsmArcs arcs;
    BitReader r = message_of(encode_msm4(3040, e, 'R', &arcs, false));
    EXPECT_EQ(r.get(12), 1084u);
    r.get(12);
    // Moscow time, UTC + 3 h: Saturday 03:00:12 (UTC 18 s behind GPS time,
    // as when the stream is played: it is dated now).
    EXPECT_EQ(r.get(3), 6u);
    EXPECT_EQ(r.get(27), static_cast<uint64_t>((3 * 3600 - 18 + 30) * 1000));
    r.get(1 + 3 + 7 + 2 + 2 + 1 + 3);
    EXPECT_EQ(r.get(64), (uint64_t(1) << 59) | (uint64_t(1) << 57));  // 5 and 7, not GPS 3
    r.get(32);
    EXPECT_EQ(r.get(4), 0xAu);  // L1 only
    double rough[2];
    for (double &x : rough)
        x = static_cast<double>(r.get(8));
    for (double &x : rough)
        x += static_cast<double>(r.get(10)) / 1024;
    r.get(2 * 15);
    double ph[2];
    for (double &x : ph)
        x = static_cast<double>(r.get_signed(22)) * std::ldexp(1.0, -29);
    // Moved by whole cycles of its own wavelength, next to the range.
    double w = 299792458.0 / (1602e6 - 4 * 0.5625e6), cycles = (rough[0] + ph[0]) * ms / w;
    EXPECT_NEAR(a.phase[0] - cycles, std::round(a.phase[0] - cycles), 0.002);
    EXPECT_LT(std::fabs(cycles * w - a.code[0]), 10.0);
    EXPECT_EQ(ph[1], -std::ldexp(1.0, -8));
}
