// Catches what programs send to the system log: binds a datagram socket at
// PATH (default "/dev/log") and prints one line per message, with the
// priority's name in front.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static volatile sig_atomic_t stop = 0;

static void on_signal(int)
{
    stop = 1;
}

int main(int argc, char **argv)
{
    const char *path = argc > 1 ? argv[1] : "/dev/log";
    static const char *const names[] = {"emerg", "alert", "crit",   "err",
                                        "warning", "notice", "info", "debug"};
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path);
    unlink(path);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        perror("logsink");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    char buf[4096];
    while (!stop) {
        ssize_t n = recv(fd, buf, sizeof buf - 1, 0);
        if (n <= 0)
            continue;
        buf[n] = '\0';
        while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\0'))
            buf[--n] = '\0';
        int prio = buf[0] == '<' ? atoi(buf + 1) & 7 : 6;
        // Drop "<PRI>Mmm dd hh:mm:ss " and keep "ident[pid]: text".
        const char *text = strchr(buf, '>');
        text = text ? text + 1 : buf;
        if (strlen(text) > 16 && text[3] == ' ' && text[6] == ' ' && text[9] == ':')
            text += 16;
        printf("log %-6s %s\n", names[prio], text);
    }
    unlink(path);
    return 0;
}
