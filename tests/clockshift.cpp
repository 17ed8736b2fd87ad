// Preloaded into the daemon by the clock tests: after AFTER seconds of its
// life, its real-time clock reads REALTIME seconds later and its monotonic
// and boot clocks MONOTONIC seconds later, as set in RTKFEEDD_TEST_CLOCK
// ("AFTER REALTIME MONOTONIC"). A router without a real-time clock whose
// time NTP sets after boot, or an hour gone by, without touching the
// machine's clock.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

struct Step {
    double after = 1e18, realtime = 0, monotonic = 0;
    double start = -1;
};

int real_clock(clockid_t id, timespec *ts)
{
    return static_cast<int>(syscall(SYS_clock_gettime, id, ts));
}

double seconds(const timespec &ts)
{
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

const Step &step()
{
    static const Step s = [] {
        Step out;
        const char *spec = getenv("RTKFEEDD_TEST_CLOCK");
        if (spec)
            sscanf(spec, "%lf %lf %lf", &out.after, &out.realtime, &out.monotonic);
        timespec now;
        real_clock(CLOCK_MONOTONIC, &now);
        out.start = seconds(now);
        return out;
    }();
    return s;
}

void add(timespec *ts, double by)
{
    long long ns = static_cast<long long>(by * 1e9) + ts->tv_nsec;
    ts->tv_sec += static_cast<time_t>(ns / 1000000000);
    ts->tv_nsec = static_cast<long>(ns % 1000000000);
    if (ts->tv_nsec < 0) {
        ts->tv_nsec += 1000000000;
        ts->tv_sec--;
    }
}

}  // namespace

extern "C" int clock_gettime(clockid_t id, timespec *ts)
{
    const Step &s = step();
    int r = real_clock(id, ts);
    timespec now;
    if (r != 0 || real_clock(CLOCK_MONOTONIC, &now) != 0 || seconds(now) - s.start < s.after)
        return r;
    if (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE)
        add(ts, s.realtime);
    else if (id == CLOCK_MONOTONIC || id == CLOCK_MONOTONIC_COARSE || id == CLOCK_MONOTONIC_RAW ||
             id == CLOCK_BOOTTIME)
        add(ts, s.monotonic);
    return r;
}
