// Preloaded into the daemon by the clock tests: after AFTER seconds of its
// life, its real-time clock reads REALTIME seconds later and its monotonic
// and boot clocks MONOTONIC seconds later, as RTKFEEDD_TEST_CLOCK sets them
// ("AFTER REALTIME MONOTONIC", whole seconds): a time set by NTP after
// boot, or an hour gone by, without touching the machine's clock.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>

static int real_clock(clockid_t id, timespec *ts)
{
    return static_cast<int>(syscall(SYS_clock_gettime, id, ts));
}

extern "C" int clock_gettime(clockid_t id, timespec *ts)
{
    static long after = -1, realtime = 0, monotonic = 0, start = [] {
        const char *setting = getenv("RTKFEEDD_TEST_CLOCK");
        if (setting)
            sscanf(setting, "%ld %ld %ld", &after, &realtime, &monotonic);
        timespec now;
        real_clock(CLOCK_MONOTONIC, &now);
        return static_cast<long>(now.tv_sec);
    }();
    int r = real_clock(id, ts);
    timespec now;
    if (r != 0 || after < 0 || real_clock(CLOCK_MONOTONIC, &now) != 0 || now.tv_sec - start < after)
        return r;
    if (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE)
        ts->tv_sec += realtime;
    else if (id == CLOCK_MONOTONIC || id == CLOCK_MONOTONIC_COARSE || id == CLOCK_MONOTONIC_RAW ||
             id == CLOCK_BOOTTIME)
        ts->tv_sec += monotonic;
    return r;
}
