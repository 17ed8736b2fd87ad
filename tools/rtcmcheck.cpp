// Counts the RTCM 3 frames of a byte stream: whole frames, message types,
// CRC failures, and whether generated frames arrived in order.
//   rtcmcheck [--pty LINK] [--seconds N] [--every N]
// Reads standard input, or with --pty publishes a new pseudo-terminal's
// slave at LINK (a receiver's serial line) and reads what is written to it.
// Prints a progress line every N seconds (default 5) and a summary at the end
// (end of input, the time limit, SIGINT or SIGTERM). Exit status 0 when
// frames arrived and none failed.
#include "rtcm.h"
#include "support.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

static volatile sig_atomic_t stop = 0;

static void on_signal(int)
{
    stop = 1;
}

static int open_pty(const char *link)
{
    char slave[64];
    int master = publish_pty(link, slave);
    if (master < 0) {
        perror("rtcmcheck: pty");
        return -1;
    }
    // Keep the slave open ourselves, so that the master does not hang up
    // while the writer reopens the line.
    int keep = open(slave, O_RDWR | O_NOCTTY);
    if (keep >= 0)
        make_raw(keep);
    return master;
}

static double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

int main(int argc, char **argv)
{
    const char *link = nullptr;
    double seconds = 0, every = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--pty") == 0)
            link = argv[i + 1];
        else if (strcmp(argv[i], "--seconds") == 0)
            seconds = atof(argv[i + 1]);
        else if (strcmp(argv[i], "--every") == 0)
            every = atof(argv[i + 1]);
        else {
            fprintf(stderr, "usage: rtcmcheck [--pty LINK] [--seconds N] [--every N]\n");
            return 2;
        }
    }
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    int fd = link ? open_pty(link) : 0;
    if (fd < 0)
        return 2;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    RtcmScanner scan;
    double start = now(), next_report = start + every;
    while (!stop) {
        double t = now();
        if (seconds > 0 && t - start >= seconds)
            break;
        if (t >= next_report) {
            printf("receiver: %s\n", scan.summary().c_str());
            next_report += every;
        }
        pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, 200);
        if (r <= 0)
            continue;
        uint8_t buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            scan.feed(buf, static_cast<size_t>(n));
        else if (!link)
            break;
        else
            usleep(100 * 1000);
    }
    printf("receiver total: %s\n", scan.summary().c_str());
    if (link)
        unlink(link);
    return scan.frames > 0 && scan.crc_failures == 0 && scan.out_of_order == 0 ? 0 : 1;
}
