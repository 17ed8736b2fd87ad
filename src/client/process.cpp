// The process primitives below the launcher, the runner and the watcher:
// reaping, closing inherited descriptors, the mark every started program
// carries, and the walk over /proc. Safe after a fork of a threaded
// process where they say so; they call nothing else of the client's.
#include "client/client_internal.h"
#include "common/service.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

int reap_child(pid_t pid)
{
    int status;
    pid_t r;
    do
        r = waitpid(pid, &status, 0);
    while (r < 0 && errno == EINTR);
    return r == pid ? status : -1;
}

// Closes the descriptors from..to (INT_MAX: all above from).
static void close_span(int from, int to)
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, static_cast<unsigned>(from),
                to == INT_MAX ? ~0U : static_cast<unsigned>(to), 0U) == 0)
        return;
#endif
    rlimit rl;
    long top = getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY
                   ? static_cast<long>(rl.rlim_cur)
                   : sysconf(_SC_OPEN_MAX);
    for (long fd = std::min<long>(to, top - 1); fd >= from; fd--)
        close(static_cast<int>(fd));
}

void close_from(int lowest, int keep_a, int keep_b)
{
    int from = lowest;
    for (int keep : {std::min(keep_a, keep_b), std::max(keep_a, keep_b), INT_MAX}) {
        if (keep < from)
            continue;
        if (keep > from)
            close_span(from, keep == INT_MAX ? INT_MAX : keep - 1);
        if (keep == INT_MAX)
            break;
        from = keep + 1;
    }
}

static const char mark_name[] = "RTKFEEDD_DAEMON=";

std::string daemon_mark(pid_t pid, long long start)
{
    return mark_name + std::to_string(pid) + ":" + std::to_string(start);
}

char *const *marked_environment()
{
    // Built once, by the main thread, before the first program starts.
    static std::string mark;
    static std::vector<char *> env;
    if (env.empty()) {
        mark = daemon_mark(getpid(), process_start_ticks(getpid()));
        env.push_back(&mark[0]);
        for (char **e = environ; *e; e++)
            if (strncmp(*e, mark_name, sizeof mark_name - 1) != 0)
                env.push_back(*e);
        env.push_back(nullptr);
    }
    return env.data();
}

int for_each_process(void (*visit)(pid_t pid, void *arg), void *arg)
{
    // getdents64 rather than readdir: the watcher, a fork of a threaded
    // process, calls this too.
    int dir = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return -1;
    alignas(8) char buf[4096];
    ssize_t n;
    while ((n = getdents64(dir, buf, sizeof buf)) > 0) {
        for (ssize_t at = 0; at < n;) {
            const dirent64 *e = reinterpret_cast<const dirent64 *>(buf + at);
            at += e->d_reclen;
            pid_t pid = 0;
            const char *c = e->d_name;
            for (; *c >= '0' && *c <= '9' && pid < 100000000; c++)
                pid = pid * 10 + (*c - '0');
            if (*c == '\0' && pid > 0)
                visit(pid, arg);
        }
    }
    close(dir);
    return 0;
}
