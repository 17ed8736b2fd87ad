#include "devices/devices_internal.h"
#include "common/log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

speed_t baud_to_speed(unsigned baud)
{
    static const struct {
        unsigned baud;
        speed_t speed;
    } table[] = {
        {300, B300},         {600, B600},         {1200, B1200},       {2400, B2400},
        {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
        {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},
        {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
        {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
        {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto &e : table)
        if (e.baud == baud)
            return e.speed;
    return B9600;
}

termios compose_termios(const termios &current, unsigned baud, unsigned databits,
                        const char *parity, unsigned stopbits)
{
    termios t = current;
    tcflag_t par = 0;
    if (parity[0] == 'O')
        par = PARENB | PARODD;
    else if (parity[0] == 'E')
        par = PARENB;
    t.c_iflag = IGNBRK | IGNPAR;
    t.c_oflag = 0;
    t.c_cflag = baud_to_speed(baud) | (databits == 7 ? CS7 : CS8) | (stopbits == 2 ? CSTOPB : 0) |
                par | CREAD | HUPCL | CLOCAL;
    t.c_lflag = 0;
    return t;
}

int open_serial(const char *path, unsigned baud, unsigned databits, const char *parity,
                unsigned stopbits)
{
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_SYNC | O_CLOEXEC);
    if (fd < 0) {
        log_err("open(%s) error: %s", path, strerror(errno));
        return -1;
    }
    termios current;
    memset(&current, 0, sizeof current);
    tcgetattr(fd, &current);
    termios t = compose_termios(current, baud, databits, parity, stopbits);
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        log_err("tcsetattr(%s) error: %s", path, strerror(errno));
    return fd;
}

void retry_from(LineRetry *r, long long now_ms)
{
    r->pause_s = 1;
    r->due_ms = now_ms + 1000;
}

void retry_failed(LineRetry *r, long long now_ms)
{
    r->pause_s = r->pause_s * 2 > 30 ? 30 : r->pause_s * 2;
    r->due_ms = now_ms + r->pause_s * 1000LL;
}

bool line_hung_up(int fd)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

int reopen_serial(const char *path, unsigned baud, unsigned databits, const char *parity,
                  unsigned stopbits)
{
    if (access(path, F_OK) != 0)
        return -1;
    return open_serial(path, baud, databits, parity, stopbits);
}
