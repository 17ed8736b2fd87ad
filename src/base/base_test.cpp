#include "base/base.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

static bool qualifies(const std::string &line, TableBase *b = nullptr)
{
    TableBase ignored;
    return parse_table_base(line.data(), line.size(), b ? b : &ignored);
}

static std::string str(const std::string &mp, const std::string &lat, const std::string &lon,
                       const std::string &format = "RTCM 3.2", const std::string &carrier = "2",
                       const std::string &solution = "0")
{
    return "STR;" + mp + ";Town;" + format + ";1004(1),1005(10);" + carrier +
           ";GPS+GLO;NET;DEU;" + lat + ";" + lon + ";1;" + solution + ";sNTRIP;none;B;N;9600;";
}

TEST(BaseTable, OnlyASingleBaseStreamingRtcm3WithSaneCoordinatesQualifies)
{
    TableBase b;
    ASSERT_TRUE(qualifies(str("MP01", "52.50", "350.25"), &b));
    EXPECT_EQ(b.mountpoint, "MP01");
    EXPECT_DOUBLE_EQ(b.latitude, 52.5);
    EXPECT_DOUBLE_EQ(b.longitude, -9.75);  // above 180 means minus 360
    EXPECT_TRUE(qualifies(str("MP", "-33.9", "151.2", "rtcm3", "1")));
    for (const std::string &line : std::vector<std::string>{
             str("MP", "52.5", "13.4", "RTCM 2.3"), str("MP", "52.5", "13.4", "RTCM 3", "0"),
             str("MP", "52.5", "13.4", "RTCM 3", "2", "1"),  // a network
             str("MP", "nan", "13.4"), str("MP", "52.5", "inf"), str("MP", "1e2", "13.4"),
             str("MP", "90.5", "13.4"), str("MP", "52.5", "360.5"), str("MP", "0", "0.0"),
             str("MP", "0x10", "13.4"), str("MP", "", "13.4"), str("", "52.5", "13.4"),
             str("MP", "52.5", "13.4").substr(0, 60), std::string("STR;M\0P;x", 9),
             str("MP", std::string("52.5\0", 5), "13.4"), "CAS;caster;2101;x", ""})
        EXPECT_FALSE(qualifies(line)) << line;

    std::string table = "SOURCETABLE 200 OK\r\n" + str("A", "52.5", "13.4") + "\r\n" +
                        str("A", "10", "10") + "\r\n" + str("B", "nan", "1") + "\n" +
                        str("C", "48.1", "11.6") + "\r\nENDSOURCETABLE\r\n";
    std::vector<TableBase> bases = table_bases(table);
    ASSERT_EQ(bases.size(), 2u);
    EXPECT_EQ(bases[0].mountpoint, "A");
    EXPECT_DOUBLE_EQ(bases[0].latitude, 52.5);  // the first record of a mountpoint
    EXPECT_EQ(bases[1].mountpoint, "C");
}

TEST(BaseTable, DistancesOfKnownCityPairs)
{
    // Great-circle distances on the mean sphere, by the law of cosines.
    EXPECT_NEAR(distance_km(51.5074, -0.1278, 48.8566, 2.3522), 343.557, 0.34);
    EXPECT_NEAR(distance_km(40.7128, -74.0060, 34.0522, -118.2437), 3935.75, 3.9);
    EXPECT_NEAR(distance_km(-33.8688, 151.2093, 35.6762, 139.6503), 7825.83, 7.8);
    EXPECT_DOUBLE_EQ(distance_km(10, 20, 10, 20), 0);
    EXPECT_NEAR(distance_km(0, 0, 0, 180), 20015.1, 20);
}

TEST(BaseFallback, EntriesWithAndWithoutAnAccount)
{
    Candidate main;
    main.user = "me";
    main.password = "pw";
    std::vector<std::string> bad;
    std::vector<Candidate> list = parse_fallbacks(
        " other.net/MP2\tu:p:q@10.0.0.1:2102/MP3 \t bad/ /x host:99999/M host:/M u@h/M3 h/a/b"
        " bob:Hunter2secret@host.invalid:abc/NOPORT me@mail.example:p@ss:w@caster/M4",
        main, &bad);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].host, "other.net");
    EXPECT_EQ(list[0].port, 2101u);
    EXPECT_EQ(list[0].mountpoint, "MP2");
    EXPECT_EQ(list[0].user, "me");
    EXPECT_EQ(list[0].password, "pw");
    EXPECT_EQ(list[0].kind, Candidate::FALLBACK);
    EXPECT_EQ(list[1].host, "10.0.0.1");
    EXPECT_EQ(list[1].port, 2102u);
    EXPECT_EQ(list[1].user, "u");
    EXPECT_EQ(list[1].password, "p:q");
    EXPECT_EQ(list[2].user, "u");
    EXPECT_EQ(list[2].password, "");  // an entry's own account, without a password
    EXPECT_EQ(list[3].user, "me@mail.example");  // an e-mail address as the user name
    EXPECT_EQ(list[3].password, "p@ss:w");
    // Logged without the password.
    EXPECT_EQ(bad, (std::vector<std::string>{"bad/", "/x", "host:99999/M", "host:/M", "h/a/b",
                                             "bob:***@host.invalid:abc/NOPORT"}));
    EXPECT_EQ(masked_entry("bob@host/M"), "bob@host/M");
}

// A password never reaches the log, wherever the entry went wrong; a
// password with a blank makes one unusable entry, not a candidate with the
// wrong account.
TEST(BaseLists, AFallbackPasswordIsMaskedInEveryMessage)
{
    Candidate main;
    std::vector<std::string> bad;
    auto list = parse_fallbacks("guest:topsecret  u:pass word@host/MP2 ok@h/M u:pa/ss", main, &bad);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].user, "ok");
    EXPECT_EQ(bad, (std::vector<std::string>{"guest:***@host/MP2", "u:***/ss"}));
    bad.clear();
    parse_fallbacks("guest:topsecret", main, &bad);
    EXPECT_EQ(bad, (std::vector<std::string>{"guest:***"}));
}

static BaseChoice two_bases()
{
    BaseChoice b;
    b.nearest = true;
    b.configured.host = "caster";
    b.configured.port = 2101;
    b.configured.mountpoint = "CONF";
    b.table = {{"WEST", 52.0, 13.0}, {"EAST", 52.0, 14.0}};  // about 68.5 km apart
    return b;
}

TEST(BaseChoice, TheNearestFirstThenFallbacksAndFailoverRoundTheList)
{
    BaseChoice b = two_bases();
    Candidate fb;
    fb.kind = Candidate::FALLBACK;
    fb.host = "other";
    fb.mountpoint = "FB";
    b.fallbacks = {fb};
    b.failover_after = 2;
    // No position yet: the configured mountpoint.
    EXPECT_EQ(start_candidate(&b, 0).mountpoint, "CONF");
    note_position(&b, 52.0, 13.9);
    EXPECT_EQ(start_candidate(&b, 0).mountpoint, "EAST");
    EXPECT_EQ(b.current.kind, Candidate::NEAREST);
    EXPECT_FALSE(note_run_end(&b, RUN_FAILED, 0));
    EXPECT_TRUE(note_run_end(&b, RUN_FAILED, 0));
    EXPECT_EQ(start_candidate(&b, 0).mountpoint, "WEST");
    EXPECT_FALSE(note_run_end(&b, RUN_FAILED, 0));
    EXPECT_FALSE(note_run_end(&b, RUN_GOOD, 0));  // a run that works keeps it
    EXPECT_FALSE(note_run_end(&b, RUN_FAILED, 0));
    EXPECT_TRUE(note_run_end(&b, RUN_FAILED, 0));
    EXPECT_EQ(start_candidate(&b, 0).mountpoint, "FB");
    EXPECT_TRUE(note_run_end(&b, RUN_NO_FIX, 0));  // at once, and round again
    EXPECT_EQ(start_candidate(&b, 0).mountpoint, "EAST");
    // Beyond the maximum baseline, nothing is chosen by distance.
    b.max_baseline_km = 5;
    EXPECT_EQ(start_candidate(&b, 0).mountpoint, "CONF");
    // One candidate: a failed run is a restart, not a failover.
    BaseChoice one;
    one.configured.mountpoint = "CONF";
    EXPECT_FALSE(note_run_end(&one, RUN_NO_FIX, 0));
    EXPECT_EQ(start_candidate(&one, 0).mountpoint, "CONF");
}

// A base that stalls every time: the nearest rule goes back to it after its
// hold-out, it is left after its first failed run, and the hold-out
// doubles up to an hour; ten minutes of a good run make it new.
TEST(BaseChoice, AHoldOutGrowsWhileABaseKeepsFailing)
{
    BaseChoice b = two_bases();
    b.failover_after = 3;
    note_position(&b, 52.0, 13.1);  // WEST is nearest
    double t = 0;
    ASSERT_EQ(start_candidate(&b, t).mountpoint, "WEST");
    EXPECT_FALSE(note_run_end(&b, RUN_FAILED, t += 190));
    EXPECT_FALSE(note_run_end(&b, RUN_FAILED, t += 190));
    ASSERT_TRUE(note_run_end(&b, RUN_FAILED, t += 190));
    ASSERT_EQ(start_candidate(&b, t).mountpoint, "EAST");
    for (double hold : {300, 600, 1200, 2400, 3600, 3600}) {
        double failed = t;
        note_position(&b, 52.0, 13.1);
        EXPECT_EQ(switch_due(&b, failed + hold - 1), "") << hold;
        switch_due(&b, failed + hold);
        EXPECT_EQ(switch_due(&b, t = failed + hold + 10), "WEST") << hold;
        ASSERT_EQ(start_candidate(&b, t).mountpoint, "WEST");
        ASSERT_TRUE(note_run_end(&b, RUN_FAILED, t += 190)) << "left after one failed run";
        ASSERT_EQ(start_candidate(&b, t).mountpoint, "EAST");
    }
    // Back once more, it runs well for ten minutes, then fails: a fresh
    // start, three failed runs before the next.
    b.last_switch = 0;
    switch_due(&b, t += 3600);
    ASSERT_EQ(switch_due(&b, t += 10), "WEST");
    start_candidate(&b, t);
    EXPECT_FALSE(note_run_end(&b, RUN_FAILED, t += 601));
    start_candidate(&b, t);
    EXPECT_FALSE(note_run_end(&b, RUN_FAILED, t += 10));
    start_candidate(&b, t);
    ASSERT_TRUE(note_run_end(&b, RUN_FAILED, t += 10));
    start_candidate(&b, t);
    EXPECT_EQ(switch_due(&b, t + 299), "");
    switch_due(&b, t + 300);
    EXPECT_EQ(switch_due(&b, t + 310), "WEST");
}

// A table read late (the uplink came up after the start): the next start
// goes to the nearest base, not to the configured one it found in it.
TEST(BaseChoice, ATableReadLateIsChosenFromAtTheNextStart)
{
    BaseChoice b = two_bases();
    b.table.clear();
    note_position(&b, 52.0, 13.95);
    ASSERT_EQ(start_candidate(&b, 0).mountpoint, "CONF");
    b.table = {{"CONF", 52.0, 15.0}, {"EAST", 52.0, 14.0}};
    b.choose_again = true;
    EXPECT_EQ(start_candidate(&b, 10).mountpoint, "EAST");
    EXPECT_FALSE(b.choose_again);
}

TEST(BaseChoice, ASwitchNeedsTheMarginTenSteadySecondsAndThirtyOfRunning)
{
    BaseChoice b = two_bases();
    b.margin_km = 2;
    note_position(&b, 52.0, 13.1);
    ASSERT_EQ(start_candidate(&b, 100).mountpoint, "WEST");
    // Moving east: half-way plus less than the margin is not enough.
    note_position(&b, 52.0, 13.51);
    EXPECT_EQ(switch_due(&b, 131), "");
    // Nearer by more than the margin, but not yet for ten seconds.
    note_position(&b, 52.0, 13.6);
    EXPECT_EQ(switch_due(&b, 131), "");
    EXPECT_EQ(switch_due(&b, 140.9), "");
    // A position back inside the margin starts the ten seconds again.
    note_position(&b, 52.0, 13.5);
    EXPECT_EQ(switch_due(&b, 141), "");
    note_position(&b, 52.0, 13.6);
    EXPECT_EQ(switch_due(&b, 142), "");
    EXPECT_EQ(switch_due(&b, 152), "EAST");
    EXPECT_EQ(start_candidate(&b, 153).mountpoint, "EAST");
    EXPECT_FALSE(note_run_end(&b, RUN_SWITCHED, 0));
    // Back west at once: not within 30 s of the last switch.
    note_position(&b, 52.0, 13.0);
    EXPECT_EQ(switch_due(&b, 160), "");
    EXPECT_EQ(switch_due(&b, 182), "");
    EXPECT_EQ(switch_due(&b, 183.1), "WEST");
    // A fallback in use is never switched by distance.
    b.current.kind = Candidate::FALLBACK;
    note_position(&b, 52.0, 14.0);
    EXPECT_EQ(switch_due(&b, 400), "");
    EXPECT_EQ(switch_due(&b, 500), "");
}

TEST(BaseChoice, FailoverNeverReturnsToTheBaseThatJustFailedAndTheNearestRuleWaits)
{
    BaseChoice b = two_bases();
    b.failover_after = 1;
    note_position(&b, 52.0, 13.1);
    ASSERT_EQ(start_candidate(&b, 100).mountpoint, "WEST");
    // WEST fails as the vehicle has come nearer to EAST: the list is now
    // EAST, WEST, and failover goes to EAST, not back to WEST.
    note_position(&b, 52.0, 13.9);
    ASSERT_TRUE(note_run_end(&b, RUN_FAILED, 110));
    EXPECT_EQ(start_candidate(&b, 111).mountpoint, "EAST");
    // EAST fails while the vehicle turns back west: WEST, failed first, is next.
    note_position(&b, 52.0, 13.1);
    ASSERT_TRUE(note_run_end(&b, RUN_NO_FIX, 120));
    EXPECT_EQ(start_candidate(&b, 121).mountpoint, "WEST");
    // WEST works and is kept, though EAST would be nearer again.
    EXPECT_FALSE(note_run_end(&b, RUN_GOOD, 200));
    note_position(&b, 52.0, 13.9);
    EXPECT_EQ(start_candidate(&b, 201).mountpoint, "WEST");
    // The nearest rule leaves EAST out for 5 minutes after its failure...
    EXPECT_EQ(switch_due(&b, 300), "");
    EXPECT_EQ(switch_due(&b, 400), "");
    EXPECT_EQ(switch_due(&b, 419), "");
    // ... and then switches to it as before, after ten steady seconds.
    EXPECT_EQ(switch_due(&b, 420.5), "");
    EXPECT_EQ(switch_due(&b, 431), "EAST");
}

TEST(BaseChoice, ATableThatCouldNotBeReadIsAskedForAgainAfterAMinute)
{
    const std::string table = "SOURCETABLE 200 OK\r\nSTR;MP;x\r\nENDSOURCETABLE\r\n";
    EXPECT_TRUE(table_was_read(0, table));
    EXPECT_TRUE(table_was_read(0, "STR;MP;x\n"));
    EXPECT_FALSE(table_was_read(1 << 8, table));  // exit status 1
    EXPECT_FALSE(table_was_read(9, table));       // killed by a signal
    EXPECT_FALSE(table_was_read(-1, table));      // did not end in time
    EXPECT_FALSE(table_was_read(0, "SOURCETABLE 200 OK\r\nENDSOURCETABLE\r\n"));
    EXPECT_FALSE(table_is_stale(1000, true, 1000 + 3600));
    EXPECT_TRUE(table_is_stale(1000, true, 1000 + 3600.5));
    EXPECT_FALSE(table_is_stale(1000, false, 1000 + 60));
    EXPECT_TRUE(table_is_stale(1000, false, 1000 + 60.5));
}

TEST(BaseTable, ACastersLargestTableIsTakenInAFewSeconds)
{
    // 165,000 records in 7.1 MiB, under the daemon's 8 MiB bound: one pass,
    // where comparing each with every earlier one took minutes.
    std::string table;
    char line[64];
    for (int i = 0; i < 165000; i++) {
        snprintf(line, sizeof line, "STR;M%06d;;RTCM3;;2;;;;%d.5;%d.5;;0;;;;;\r\n",
                 i % 160000, i % 80, i % 170);
        table += line;
    }
    ASSERT_LT(table.size(), 8u << 20);
    auto start = std::chrono::steady_clock::now();
    std::vector<TableBase> bases = table_bases(table);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(bases.size(), 160000u);
    EXPECT_LT(s, 20.0);  // well under a second on a router; generous for sanitizers and qemu
}
