#include "support.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

void make_raw(int fd)
{
    termios t;
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
}

int publish_pty(const char *link, char slave[64])
{
    char name[64];
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return -1;
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        int e = errno;
        close(master);
        errno = e;
        return -1;
    }
    make_raw(master);
    unlink(link);
    if (symlink(name, link) != 0) {
        int e = errno;
        close(master);
        errno = e;
        return -1;
    }
    if (slave) {
        for (int i = 0; i < 64; i++)
            slave[i] = name[i];
    }
    return master;
}

bool write_all(int fd, const void *data, size_t n)
{
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

std::string nmea_sentence(const std::string &body)
{
    unsigned sum = 0;
    for (char c : body)
        sum ^= static_cast<unsigned char>(c);
    char tail[8];
    snprintf(tail, sizeof tail, "*%02X", sum);
    return "$" + body + tail;
}
