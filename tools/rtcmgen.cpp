// Writes a stream of valid RTCM 3 frames to standard output.
//   rtcmgen [--rate FRAMES_PER_SECOND] [--count N] [--start SEQ]
// A rate of 0 writes as fast as the reader takes them; a count of 0 never ends.
#include "rtcm.h"
#include "support.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

int main(int argc, char **argv)
{
    double rate = 10;
    unsigned long long count = 0, seq = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--rate") == 0)
            rate = atof(argv[i + 1]);
        else if (strcmp(argv[i], "--count") == 0)
            count = strtoull(argv[i + 1], nullptr, 10);
        else if (strcmp(argv[i], "--start") == 0)
            seq = strtoull(argv[i + 1], nullptr, 10);
        else {
            fprintf(stderr, "usage: rtcmgen [--rate N] [--count N] [--start SEQ]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    long step_ns = rate > 0 ? static_cast<long>(1e9 / rate) : 0;
    for (unsigned long long n = 0; count == 0 || n < count; n++, seq++) {
        std::string frame = make_frame(seq);
        if (!write_all(1, frame.data(), frame.size()))
            return 1;
        if (step_ns > 0) {
            next.tv_nsec += step_ns;
            while (next.tv_nsec >= 1000000000L) {
                next.tv_nsec -= 1000000000L;
                next.tv_sec++;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        }
    }
    return 0;
}
