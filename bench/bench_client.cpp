// The benchmark's NTRIP client: copies what the benchmark writes into the
// FIFO "/run/bench_feed" to the device given with -D, as a client writes the
// caster's stream. Announces itself by creating "/run/bench_client" before
// it opens the FIFO.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const char *device = nullptr;
    for (int i = 1; i + 1 < argc; i++)
        if (strcmp(argv[i], "-D") == 0)
            device = argv[i + 1];
    int fd = device ? open(device, O_RDWR | O_NOCTTY) : -1;
    if (fd < 0)
        return 2;
    termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    close(open("/run/bench_client", O_WRONLY | O_CREAT, 0644));
    int in = open("/run/bench_feed", O_RDONLY);
    if (in < 0)
        return 2;
    char buf[65536];
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(fd, buf + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return 1;
            done += w;
        }
    }
}
