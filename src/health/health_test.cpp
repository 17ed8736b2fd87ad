#include "health/health.h"
#include "health/health_internal.h"
#include "common/service.h"
#include "rtcm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <unistd.h>

static void feed(RtcmCounts *c, const std::string &s, double now = 1.0)
{
    rtcm_feed(c, reinterpret_cast<const uint8_t *>(s.data()), s.size(), now);
}

TEST(RtcmFramer, CountsFramesByTypeAcrossBurstsOfAnySize)
{
    std::string stream = "noise before the first frame";
    for (uint64_t seq = 0; seq < 50; seq++)
        stream += make_frame(seq);
    std::mt19937 gen(5);
    RtcmCounts c;
    for (size_t at = 0; at < stream.size();) {
        size_t n = std::min<size_t>(gen() % 300 + 1, stream.size() - at);
        feed(&c, stream.substr(at, n), 1000.5);
        at += n;
    }
    EXPECT_EQ(c.frames, 50u);
    EXPECT_EQ(c.crc_failures, 0u);
    EXPECT_EQ(c.types[1005], 10u);
    EXPECT_EQ(c.types[1006], 10u);
    EXPECT_EQ(c.types[1074], 10u);
    EXPECT_EQ(c.station, 42);
    EXPECT_DOUBLE_EQ(c.last_frame, 1000.5);
}

TEST(RtcmFramer, ABrokenFrameIsOneCrcFailureAndTextIsNoFrameAtAll)
{
    std::string broken = make_frame(1);
    broken[20] ^= 0x01;
    RtcmCounts c;
    feed(&c, make_frame(0) + broken + make_frame(2));
    EXPECT_EQ(c.frames, 2u);
    EXPECT_EQ(c.crc_failures, 1u);

    RtcmCounts text;
    feed(&text, "$GPGGA,123519.00,4807.0380,N,01131.0000,E,1,08,0.9,545.4,M,,M,,*7C\r\n");
    EXPECT_EQ(text.frames, 0u);
    EXPECT_EQ(text.crc_failures, 0u);
    EXPECT_EQ(text.station, -1);
}

TEST(RtcmFramer, AFalseHeaderInAStreamJoinedMidFrameSwallowsNoFrame)
{
    // The tail of a frame whose data holds 0xD3 0x00: a header of 255 bytes.
    std::string stream("\x12\xD3\x00\xFF\x34", 5);
    for (uint64_t seq = 0; seq < 8; seq++)
        stream += make_frame(seq);
    RtcmCounts c;
    feed(&c, stream);
    EXPECT_EQ(c.frames, 8u);
    EXPECT_EQ(c.crc_failures, 0u);

}

TEST(ReceiverView, ReadsFixSatellitesAndAgeFromValidGgaOnly)
{
    ReceiverView v;
    std::string rtk = "$GNGGA,123519.00,4807.0380,N,01131.0000,E,4,12,0.9,545.4,M,47.0,M,1.2,0001";
    unsigned sum = 0;
    for (size_t i = 1; i < rtk.size(); i++)
        sum ^= static_cast<unsigned char>(rtk[i]);
    char cs[8];
    snprintf(cs, sizeof cs, "*%02X\r\n", sum);
    std::string line = rtk + cs;
    watch_receiver(&v, line.data(), 20, 5.0);  // split between two bursts
    watch_receiver(&v, line.data() + 20, line.size() - 20, 6.0);
    EXPECT_EQ(v.fix_quality, 4);
    EXPECT_EQ(v.satellites, 12);
    EXPECT_DOUBLE_EQ(v.age, 1.2);
    EXPECT_DOUBLE_EQ(v.last_gga, 6.0);
    // Its position: degrees, and the altitude plus the geoid separation.
    EXPECT_EQ(v.positions, 1u);
    EXPECT_NEAR(v.latitude, 48.1173, 1e-9);
    EXPECT_NEAR(v.longitude, 11.516666667, 1e-8);
    EXPECT_NEAR(v.height, 592.4, 1e-9);

    // A wrong checksum, or none, is not the receiver's word.
    std::string bad = "$GPGGA,1,2,N,3,E,1,05,,,M,,M,,*00\r\n$GPGGA,1,2,N,3,E,1,05,,,M,,M,,\r\n";
    watch_receiver(&v, bad.data(), bad.size(), 7.0);
    EXPECT_EQ(v.fix_quality, 4);
    std::string plain = "$GPGGA,,,,,,0,00,,,M,,M,,*66\r\n";
    watch_receiver(&v, plain.data(), plain.size(), 8.0);
    EXPECT_EQ(v.fix_quality, 0);
    EXPECT_EQ(v.satellites, 0);
    EXPECT_LT(v.age, 0);
    EXPECT_EQ(v.positions, 1u);  // no fix, no position
}

TEST(HealthReport, IsValidJsonWithNullsWhereNothingIsKnownAndEscapesWhatItQuotes)
{
    Health h;
    h.pid = 12;
    h.started = 1765000000.25;
    h.device = "/dev/ttyS0";
    std::map<std::string, std::string> r;
    ASSERT_EQ(parse_report(health_json(h, 1765000001), &r), 0);
    EXPECT_EQ(r["version"], "1");
    EXPECT_EQ(r["daemon.started"], "1765000000.250");
    EXPECT_EQ(r["client.running"], "false");
    EXPECT_EQ(r["client.pid"], "null");
    EXPECT_EQ(r["client.last_exit"], "null");
    EXPECT_EQ(r["corrections.station"], "null");
    EXPECT_EQ(r["receiver.age_of_corrections"], "null");
    EXPECT_EQ(r["position.source"], "null");
    EXPECT_EQ(r["target.device"], "/dev/ttyS0");
    for (const char *key : {"updated", "status", "daemon.pid", "client.starts", "client.last_start",
                            "client.last_end", "client.failures_in_a_row", "client.next_start",
                            "client.stalls", "target.open", "target.bytes", "target.dropped_bytes",
                            "corrections.frames", "corrections.crc_failures",
                            "corrections.last_frame", "position.sentence",
                            "position.bytes_to_client", "receiver.fix_quality",
                            "receiver.satellites", "receiver.last_gga", "log_dropped"})
        EXPECT_EQ(r.count(key), 1u) << key;

    h.sentence = std::string("$GPGGA,\"quoted\\\",\x01\xff", 19);
    h.corrections.types[1005] = 3;
    h.corrections.types[1230] = 1;
    std::string json = health_json(h, 1);
    EXPECT_NE(json.find("\"$GPGGA,\\\"quoted\\\\\\\",\\u0001\xEF\xBF\xBD\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"types\":{\"1005\":3,\"1230\":1}"), std::string::npos);
    r.clear();
    ASSERT_EQ(parse_report(json, &r), 0);
    EXPECT_EQ(r["corrections.types.1230"], "1");
}

// The metrics of a report: what is unknown is left out, labels are valid
// UTF-8 and escaped, and every family has its HELP and TYPE.
TEST(HealthMetrics, LeaveOutWhatIsUnknownAndEscapeWhatTheyQuote)
{
    Health h;
    h.status = 11;
    h.running = true;
    h.starts = 18446744073709551615ull;  // every digit kept
    h.last_start = 1765000000.5;
    h.corrections.types[1005] = 3;
    h.corrections.types[1074] = 30;
    // A caster's mountpoint: a quote, a backslash, a newline (a control
    // character, which the report already turns into '?'), a bad byte, and
    // "Mü" as UTF-8, which passes.
    h.base.mountpoint = std::string("a\"b\\c\nd\xff M\xc3\xbc");
    h.base.chosen = "configured";
    std::map<std::string, std::string> r;
    ASSERT_EQ(parse_report(health_json(h, 1765000001), &r, true), 0);
    std::string m = metrics_text(r, true);
    for (const char *line :
         {"rtkfeedd_up 1\n", "rtkfeedd_status 11\n", "rtkfeedd_client_running 1\n",
          "rtkfeedd_client_starts_total 18446744073709551615\n",
          "# TYPE rtkfeedd_client_starts_total counter\n",
          "rtkfeedd_client_last_start_timestamp_seconds 1765000000.500\n",
          "rtkfeedd_corrections_frames_total{type=\"1005\"} 3\n",
          "rtkfeedd_corrections_frames_total{type=\"1074\"} 30\n",
          "rtkfeedd_base_info{mountpoint=\"a\\\"b\\\\c?d\xef\xbf\xbd M\xc3\xbc\",caster=\"\","
          "chosen=\"configured\"} 1\n"})
        EXPECT_NE(m.find(line), std::string::npos) << line << m;
    // Unknown: no sample, and no family either.
    for (const char *name : {"rtkfeedd_receiver_fix_quality", "rtkfeedd_corrections_station",
                             "rtkfeedd_base_baseline_meters", "rtkfeedd_corrections_last_frame"})
        EXPECT_EQ(m.find(name), std::string::npos) << name;
    // A surrogate, a code point beyond U+10FFFF, a sequence cut short: each
    // byte replaced.
    std::string eight;
    for (int i = 0; i < 8; i++)
        eight += "\xef\xbf\xbd";
    EXPECT_EQ(label_value("\xed\xa0\x80\xf4\x90\x80\x80\xc3"), eight);
    EXPECT_EQ(label_value("a\nb"), "a\\nb");
}

TEST(HealthReport, TheSummarySaysWhatTheReceiverSees)
{
    Health h;
    h.pid = 1;
    h.started = 100;
    h.running = true;
    h.client_pid = 77;
    h.starts = 3;
    h.last_start = 160;
    h.last_exit = "exited 1";
    h.last_end = 150;
    h.device = "/dev/ttyS0";
    h.target_open = true;
    h.target_bytes = 5000;
    h.corrections.frames = 40;
    h.corrections.types[1005] = 40;
    h.corrections.last_frame = 219;
    h.corrections.station = 42;
    h.receiver.fix_quality = 4;
    h.receiver.satellites = 12;
    h.receiver.age = 1.2;
    h.receiver.last_gga = 219.5;
    std::map<std::string, std::string> r;
    ASSERT_EQ(parse_report(health_json(h, 220), &r), 0);
    // Read 4 s after it was written: every age as of the report's time.
    std::string s = status_summary(r, 224, true);
    EXPECT_NE(s.find("rtkfeedd: running (pid 1, up 2 min 0 s), status 1: starting, as of 4 s ago\n"),
              std::string::npos) << s;
    EXPECT_NE(s.find("client: running for 1 min 0 s (pid 77), 3 starts"), std::string::npos) << s;
    EXPECT_NE(s.find("last exit: exited 1, 1 min 10 s ago"), std::string::npos) << s;
    EXPECT_NE(s.find("corrections: 40 frames (1005:40), 0 CRC failures, last 1 s ago, station 42"),
              std::string::npos) << s;
    EXPECT_NE(s.find("receiver: RTK fixed (4), 12 satellites, corrections 1.2 s old"),
              std::string::npos) << s;
    EXPECT_EQ(parse_report("{\"a\":", &r), -1);
    EXPECT_EQ(parse_report("not json", &r), -1);
}

// A report names its daemon by pid and start time: a pid that went to
// another program (same pid, another start) is not the daemon.
TEST(HealthReport, TheStatusTrustsOnlyTheProcessThatWroteIt)
{
    char dir[] = "/tmp/rtkfeedd-status-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/report.json";
    Health h;
    h.pid = getpid();
    long long start = process_start_ticks(getpid());
    ASSERT_GT(start, 0);
    for (long long written : {start, start + 1, -1LL}) {
        h.proc_start = written;
        std::string json = health_json(h, 1);
        FILE *f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(json.c_str(), f);
        fclose(f);
        testing::internal::CaptureStdout();
        int alive = print_status(path.c_str());
        std::string said = testing::internal::GetCapturedStdout();
        EXPECT_EQ(alive, written == start ? 0 : 1) << written;
        EXPECT_EQ(said.find("rtkfeedd: not running") == 0, written != start) << said;
    }
    unlink(path.c_str());
    rmdir(dir);
}

TEST(BasePosition, EcefToLatitudeLongitudeHeightAtKnownPoints)
{
    const struct {
        double xyz[3], lat, lon, h;
    } points[] = {
        {{6378137.0, 0, 0}, 0, 0, 0},
        {{0, 0, 6356752.314245}, 90, 0, 0},
        {{0, -6378237.0, 0}, 0, -90, 100},
        // The base of RTKLIB's example pair (GSI, Japan), by Bowring's formula.
        {{-3978241.958, 3382840.234, 3649900.853}, 35.132057068, 139.624306577, 73.9077},
    };
    for (const auto &p : points) {
        double lat, lon, h, back[3];
        ecef_to_geodetic(p.xyz, &lat, &lon, &h);
        EXPECT_NEAR(lat, p.lat, 1e-9);
        EXPECT_NEAR(lon, p.lon, 1e-9);
        EXPECT_NEAR(h, p.h, 1e-4);
        geodetic_to_ecef(lat, lon, h, back);
        for (int i = 0; i < 3; i++)
            EXPECT_NEAR(back[i], p.xyz[i], 1e-4);
    }
}

// A base's 1005 may carry zeros (unsurveyed) or garbage: a reference point
// far from the surface is no position and gives no baseline; a base that
// sent none yet (just switched to) is unknown, and the summary says so.
TEST(BasePosition, OnlyAPointNearTheSurfaceIsAPositionAndUnknownIsSaid)
{
    Health h;
    h.base.mountpoint = "EAST";
    h.base.chosen = "nearest";
    h.have_position = true;
    h.latitude = 52.0;
    h.longitude = 13.9;
    std::map<std::string, std::string> r;
    ASSERT_EQ(parse_report(health_json(h, 220), &r), 0);
    EXPECT_NE(status_summary(r, 220, true).find("base: EAST (nearest), station unknown until its "
                                                "1005/1006 comes\n"),
              std::string::npos);
    h.corrections.station = 2003;
    h.corrections.have_arp = true;  // the earth's centre
    r.clear();
    ASSERT_EQ(parse_report(health_json(h, 220), &r), 0);
    EXPECT_EQ(r["base.station"], "2003");
    EXPECT_EQ(r["base.position"], "null");
    EXPECT_EQ(r["base.baseline_km"], "null");
    EXPECT_NE(status_summary(r, 220, true).find("station 2003, its position unknown\n"),
              std::string::npos);
    geodetic_to_ecef(52.0, 14.0, 10001, h.corrections.arp);  // 10 km up: no antenna
    r.clear();
    ASSERT_EQ(parse_report(health_json(h, 220), &r), 0);
    EXPECT_EQ(r["base.position"], "null");
    geodetic_to_ecef(52.0, 14.0, 9999, h.corrections.arp);
    r.clear();
    ASSERT_EQ(parse_report(health_json(h, 220), &r), 0);
    EXPECT_NEAR(atof(r["base.position.height"].c_str()), 9999, 1e-3);
    EXPECT_NE(r["base.baseline_km"], "null");
}

// A caster's names reach every JSON reader (the web interface through
// rpcd) as the caster wrote them.
TEST(HealthReport, Utf8StaysUtf8AndOnlyBadBytesAreReplaced)
{
    Health h;
    h.base.mountpoint = "M\xc3\x9cNCHEN1";
    h.base.caster = "a\xc3\x28z\xf0\x9f\x9b\xb0";  // a bad sequence, then a 4-byte one
    h.base.chosen = "x\x7f\x1b";
    std::string json = health_json(h, 1);
    EXPECT_NE(json.find("\"mountpoint\":\"M\xc3\x9cNCHEN1\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"caster\":\"a\xEF\xBF\xBD(z\xf0\x9f\x9b\xb0\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"chosen\":\"x\\u007f\\u001b\""), std::string::npos) << json;
    std::map<std::string, std::string> r;
    ASSERT_EQ(parse_report(json, &r, true), 0);
    EXPECT_EQ(r["base.mountpoint"], "M\xc3\x9cNCHEN1");
    // For a terminal, a C1 control is no character.
    h.base.mountpoint = "M\xc3\x9cN\xc2\x9b";
    r.clear();
    ASSERT_EQ(parse_report(health_json(h, 1), &r), 0);
    EXPECT_EQ(r["base.mountpoint"], "M\xc3\x9cN?");
}

// What ends a burst of corrections early: whole frames with good CRCs and
// nothing else; anything else gathers as before.
TEST(RtcmFramer, OnlyWholeFramesWithGoodCrcsCompleteABurst)
{
    std::string one = make_frame(1), two = make_frame(2);
    auto whole = [](const std::string &s) { return rtcm_frames_whole(s.data(), s.size()); };
    EXPECT_TRUE(whole(one));
    EXPECT_TRUE(whole(one + two));
    EXPECT_TRUE(whole(rtcm_frame("")));  // an empty message is a frame too
    EXPECT_FALSE(whole(""));
    EXPECT_FALSE(whole(one.substr(0, one.size() - 1)));  // still arriving
    EXPECT_FALSE(whole(one + two.substr(0, 3)));
    std::string bad = one;
    bad[10] ^= 1;
    EXPECT_FALSE(whole(bad));
    EXPECT_FALSE(whole("x" + one));  // bytes between frames
    EXPECT_FALSE(whole(one + "\r\n"));
    EXPECT_FALSE(whole(std::string(100, 'r')));  // RTCM 2, a vendor's format
}

// An epoch over 1 KiB cut into two bursts at every offset, as a full
// buffer cuts it: the first goes at once only where it ends a frame, the
// rest always, from wherever in a frame it starts.
TEST(RtcmFramer, ABurstThatEndsAWholeFrameGoesWhereverItStarts)
{
    std::string epoch = rtcm_frame(std::string(1000, 'a')) + make_frame(1) +
                        rtcm_frame(std::string(700, 'b')) + rtcm_frame(std::string(1023, 'c'));
    std::vector<size_t> ends;
    for (size_t at = 0; at < epoch.size();) {
        at += 6 + ((static_cast<uint8_t>(epoch[at + 1]) & 3) << 8 | static_cast<uint8_t>(epoch[at + 2]));
        ends.push_back(at);
    }
    for (size_t k = 1; k < epoch.size(); k++) {
        RtcmCounts c;
        bool ends_frame = std::find(ends.begin(), ends.end(), k) != ends.end();
        ASSERT_EQ(rtcm_burst_ends_whole(epoch.data(), k, &c), ends_frame) << k;
        rtcm_feed(&c, reinterpret_cast<const uint8_t *>(epoch.data()), k, 0);
        ASSERT_TRUE(rtcm_burst_ends_whole(epoch.data() + k, epoch.size() - k, &c)) << k;
        std::string damaged = epoch.substr(k);
        damaged.back() ^= 1;
        ASSERT_FALSE(rtcm_burst_ends_whole(damaged.data(), damaged.size(), &c)) << k;
    }
}
