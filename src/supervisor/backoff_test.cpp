#include "supervisor/backoff.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

TEST(Backoff, PausesDoubleUpToAMinuteWithAQuarterOfJitter)
{
    EXPECT_EQ(restart_pause_ms(0, 0.9), 1000);
    EXPECT_EQ(restart_pause_ms(1, 0), 1000);
    EXPECT_EQ(restart_pause_ms(1, 0.999), 1249);
    EXPECT_EQ(restart_pause_ms(2, 0), 2000);
    EXPECT_EQ(restart_pause_ms(4, 0.5), 9000);
    EXPECT_EQ(restart_pause_ms(6, 0), 32000);
    EXPECT_EQ(restart_pause_ms(7, 0), 60000);
    EXPECT_EQ(restart_pause_ms(4000000000U, 0.999), 74985);
    for (int i = 0; i < 1000; i++) {
        double j = random_jitter();
        ASSERT_GE(j, 0.0);
        ASSERT_LT(j, 1.0);
    }
}

TEST(Backoff, ALongRunResetsTheCountAndTheStateSurvivesARestart)
{
    Backoff b;
    EXPECT_EQ(note_run(&b, 100, 5000, 0), 1000);
    EXPECT_EQ(note_run(&b, 29999, 7000, 0), 2000);
    EXPECT_EQ(note_run(&b, 0, 9000, 0), 4000);
    EXPECT_EQ(b.failures, 3u);
    EXPECT_EQ(b.next_start, 13000);

    char path[] = "/tmp/backoff_testXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(save_backoff(b, path), 0);
    Backoff read;
    ASSERT_EQ(load_backoff(&read, path, 10000), 0);
    EXPECT_EQ(read.failures, 3u);
    EXPECT_EQ(read.next_start, 13000);
    // A pause beyond the longest one (a changed clock, a tampered file) is cut.
    FILE *f = fopen(path, "w");
    fputs("failures 2\nnext_start 999999999\n", f);
    fclose(f);
    ASSERT_EQ(load_backoff(&read, path, 10000), 0);
    EXPECT_EQ(read.next_start, 10000 + 75000);
    f = fopen(path, "w");
    fputs("junk", f);
    fclose(f);
    EXPECT_EQ(load_backoff(&read, path, 10000), -1);
    EXPECT_EQ(read.failures, 0u);
    unlink(path);
    EXPECT_EQ(load_backoff(&read, path, 10000), 0);
    EXPECT_EQ(read.next_start, 0);

    EXPECT_EQ(note_run(&b, 30000, 20000, 0.7), 1000);
    EXPECT_EQ(b.failures, 0u);
}
