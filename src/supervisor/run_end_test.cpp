#include "supervisor/run_end.h"
#include "supervisor/backoff.h"
#include "supervisor/report.h"

#include <gtest/gtest.h>

TEST(RunEnd, EachReasonCountsForTheBackOffAndTheChoiceAsItShould)
{
    const struct {
        EndReason why;
        long long run_ms;
        bool stop;
        long long backoff_run_ms;
        RunEnd choice;
    } cases[] = {
        {END_STOP, 99000, true, 0, RUN_GOOD},
        {END_NOT_STARTED, 0, false, 0, RUN_FAILED},
        {END_BY_ITSELF, GOOD_RUN_MS, false, GOOD_RUN_MS, RUN_GOOD},
        {END_BY_ITSELF, GOOD_RUN_MS - 1, false, GOOD_RUN_MS - 1, RUN_FAILED},
        {END_STALLED, 99000, false, 0, RUN_FAILED},
        {END_NO_FIX, 99000, false, 0, RUN_NO_FIX},
        {END_SWITCH, 31000, false, 31000, RUN_SWITCHED},
    };
    for (const auto &c : cases) {
        Followup f = what_follows(c.why, c.run_ms);
        EXPECT_EQ(f.stop, c.stop) << c.why;
        if (c.stop)
            continue;
        EXPECT_EQ(f.backoff_run_ms, c.backoff_run_ms) << c.why;
        EXPECT_EQ(f.choice, c.choice) << c.why;
    }
}

// The report follows a change of fix at once, then at most every 5 s, as
// the counters do; without a change, a minute.
TEST(ReportCadence, AFlappingFixIsWrittenAtMostEveryFiveSeconds)
{
    Report r;
    r.written = 100000;
    r.fix_written = 100000;
    EXPECT_FALSE(report_is_due(r, true, 101000));
    EXPECT_TRUE(report_is_due(r, true, 105000));
    r.fix_written = 90000;
    EXPECT_TRUE(report_is_due(r, true, 101000));  // the first change in 5 s: at once
    EXPECT_FALSE(report_is_due(r, false, 159999));
    EXPECT_TRUE(report_is_due(r, false, 160000));
    r.dirty = true;
    EXPECT_TRUE(report_is_due(r, false, 105000));
}
