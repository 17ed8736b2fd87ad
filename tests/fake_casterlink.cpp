// Stand-in NTRIP client for the daemon tests. It is steered by files in
// $FAKE_DIR (default "/run/fake"), so that a test can change its behaviour
// while the daemon runs:
//   args      written at each start: one argument per line
//   starts    one line appended at each start
//   table     in query mode (no -m), copied to standard output
//   query_hang  in query mode, never end
//   query_slow  in query mode, wait its content in seconds before the table
//   queries   in query mode, one line appended at each query
//   stderr    written to standard error in one write
//   payload   written to the -D device, then renamed payload.sent
//   payload2  written 0.5 s after payload, in a burst of its own
//   received  what the -D device delivered is appended here
//   late      wait 1.5 s before opening the device
//   crash     abort at once
//   drip      after the payload, write 64 bytes every 100 ms (its content:
//             that many bytes instead)
//   deaf      never read the device
//   pid       written at each start: the client's process id
//   quick     exit right after the payload
//   close     close the device after the payload and stay
//   exit      removed and obeyed: exit 0
//   child     start a child that sleeps until killed; its pid in child_pid
//             (content "group": in a process group of its own; "session":
//             in a session of its own)
//   trickle   write 8 bytes every second
//   stubborn  ignore SIGTERM
//   fds       written at each start: the client's open descriptors
//   mounts    one line appended at each start: its mountpoint (-m)
//   repeat    its content written to the -D device every 0.5 s
#include "support.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <termios.h>
#include <unistd.h>

static std::string dir;

static std::string path(const char *name)
{
    return dir + "/" + name;
}

static bool exists(const char *name)
{
    return access(path(name).c_str(), F_OK) == 0;
}

static std::string slurp(const char *name)
{
    std::string out;
    FILE *f = fopen(path(name).c_str(), "rb");
    if (!f)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

static void put(const char *name, const std::string &text)
{
    FILE *f = fopen(path(name).c_str(), "w");
    if (!f)
        return;
    fputs(text.c_str(), f);
    fclose(f);
}

static void append(const char *name, const char *data, size_t n)
{
    FILE *f = fopen(path(name).c_str(), "ab");
    if (!f)
        return;
    fwrite(data, 1, n, f);
    fclose(f);
}

static void write_all(int fd, const std::string &s)
{
    write_all(fd, s.data(), s.size());
}

// "0 1 2 " for a client that got only its standard descriptors.
static std::string open_descriptors()
{
    std::string out;
    DIR *d = opendir("/proc/self/fd");
    while (dirent *e = d ? readdir(d) : nullptr) {
        if (e->d_name[0] != '.' && atoi(e->d_name) != dirfd(d))
            out += std::string(e->d_name) + " ";
    }
    if (d)
        closedir(d);
    return out;
}

int main(int argc, char **argv)
{
    const char *d = getenv("FAKE_DIR");
    dir = d ? d : "/run/fake";
    std::string args;
    const char *device = nullptr, *mountpoint = "";
    bool query = true;
    for (int i = 0; i < argc; i++) {
        args += argv[i];
        args += "\n";
        if (strcmp(argv[i], "-m") == 0 && i + 1 < argc) {
            query = false;
            mountpoint = argv[i + 1];
        }
        if (strcmp(argv[i], "-D") == 0 && i + 1 < argc)
            device = argv[i + 1];
    }
    if (query) {
        put("query_args", args);
        append("queries", "query\n", 6);
        while (exists("query_hang"))
            pause();
        if (exists("query_slow"))
            sleep(static_cast<unsigned>(atoi(slurp("query_slow").c_str())));
        write_all(1, slurp("table"));
        return 0;
    }
    put("args", args);
    put("fds", open_descriptors());
    if (exists("stubborn"))
        signal(SIGTERM, SIG_IGN);
    append("starts", "start\n", 6);
    std::string mount = std::string(mountpoint) + "\n";
    append("mounts", mount.data(), mount.size());
    put("pid", std::to_string(getpid()));
    if (exists("child")) {
        pid_t child = fork();
        if (child == 0) {
            std::string how = slurp("child");
            if (how == "group")
                setpgid(0, 0);
            if (how == "session")
                setsid();
            for (;;)
                pause();
        }
        put("child_pid", std::to_string(child));
    }
    if (exists("crash"))
        abort();
    if (exists("stderr"))
        write_all(2, slurp("stderr"));
    if (exists("late"))
        usleep(1500 * 1000);
    int fd = device ? open(device, O_RDWR | O_NOCTTY) : -1;
    if (fd < 0) {
        fprintf(stderr, "fake client: cannot open device\n");
        return 2;
    }
    termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    if (exists("payload")) {
        write_all(fd, slurp("payload"));
        tcdrain(fd);
        rename(path("payload").c_str(), path("payload.sent").c_str());
    }
    if (exists("payload2")) {
        usleep(500 * 1000);
        write_all(fd, slurp("payload2"));
        tcdrain(fd);
    }
    if (exists("quick"))
        return 0;
    if (exists("close")) {
        close(fd);
        fd = -1;
    }
    if (exists("trickle")) {
        for (;;) {
            write_all(fd, std::string(8, 't'));
            sleep(1);
        }
    }
    bool drip = exists("drip");
    size_t drip_size = drip ? std::max<size_t>(64, slurp("drip").size()) : 0;
    bool deaf = exists("deaf");
    std::string repeat = slurp("repeat");
    for (unsigned turn = 0;; turn++) {
        if (drip && fd >= 0)
            write_all(fd, std::string(drip_size, 'd'));
        if (!repeat.empty() && fd >= 0 && turn % 10 == 0)
            write_all(fd, repeat);
        if (exists("exit")) {
            unlink(path("exit").c_str());
            return 0;
        }
        if (fd < 0 || deaf) {
            usleep(drip ? 100 * 1000 : 50 * 1000);
            continue;
        }
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, drip ? 100 : 50) > 0) {
            char buf[4096];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0)
                append("received", buf, static_cast<size_t>(n));
        }
    }
}
