// rinexcast's RTCM 3 checked by another decoder: RTKLIB's convbin turns the
// base's stream back into RINEX, and its observations must be the
// originals within MSM4's resolution (the phase moved by whole cycles, the
// same all along an arc).
#include "harness.h"
#include "rinex.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <sys/wait.h>
#include <unistd.h>

static ObsFile read_obs(const std::string &path)
{
    ObsFile obs;
    std::string text, error;
    EXPECT_EQ(read_text(path, &text, &error), 0) << error;
    EXPECT_EQ(parse_obs(text, path, &obs, &error), 0) << error;
    return obs;
}

TEST(Rinexcast, ConvbinReadsBackTheOriginalObservations)
{
    if (DaemonTest::shell("command -v convbin >/dev/null") != 0)
        GTEST_SKIP() << "convbin (Debian package rtklib) is not installed";
    char dir[] = "/tmp/rinexcast-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string d = dir;
    ASSERT_EQ(DaemonTest::shell("cd " + d + " && gunzip -c " DATA_DIR "/rinex/30400920.05o.gz > base.o && gunzip -c " DATA_DIR
                  "/rinex/30400920.05n.gz > base.n && " RINEXCAST_BINARY
                  " --nav base.n --base base.o --station 3040 --speed 0 > base.rtcm3 && "
                  "convbin -r rtcm3 -tr 2005/04/02 00:00:00 -v 3.03 -o back.o base.rtcm3 "
                  ">/dev/null 2>&1"),
              0);
    ObsFile original = read_obs(d + "/base.o"), back = read_obs(d + "/back.o");
    ASSERT_EQ(back.epochs.size(), original.epochs.size());
    const double code_step = std::ldexp(1.0, -24) * 299792.458;  // metres
    std::map<int, double> shift;  // whole cycles per satellite and frequency
    size_t compared = 0;
    for (size_t k = 0; k < original.epochs.size(); k++) {
        const ObsEpoch &o = original.epochs[k], &b = back.epochs[k];
        EXPECT_NEAR(b.time.tow, o.time.tow, 0.0005);
        ASSERT_EQ(b.sats.size(), o.sats.size()) << k;
        for (size_t i = 0; i < o.sats.size(); i++) {
            const SatObs &so = o.sats[i], &sb = b.sats[i];
            ASSERT_EQ(sb.prn, so.prn);
            for (int f = 0; f < 2; f++) {
                EXPECT_NEAR(sb.code[f], so.code[f], code_step) << k << " G" << so.prn;
                if (so.phase[f] == 0)
                    continue;
                double cycles = so.phase[f] - sb.phase[f];
                EXPECT_NEAR(cycles, std::round(cycles), 0.005) << k << " G" << so.prn;
                // The same shift all along an arc: a new one only where the
                // decoded phase says that lock was lost.
                auto [at, first] = shift.emplace(so.prn * 2 + f, std::round(cycles));
                EXPECT_TRUE(first || at->second == std::round(cycles) || (sb.lli[f] & 1))
                    << k << " G" << so.prn;
                at->second = std::round(cycles);
                compared++;
            }
        }
    }
    EXPECT_GT(compared, 2000u);
    DaemonTest::shell("rm -rf " + d);
}
