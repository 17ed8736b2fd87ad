#include "client/client_internal.h"
#include "common/service.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

enum { MAX_ARGS = 64 };

// A redirection applies to one run only.
static thread_local int redirect_slot[3] = {-1, -1, -1};

void set_redirect(int n, int fd)
{
    if (n >= 0 && n <= 2)
        redirect_slot[n] = fd;
}


static void reset_slots()
{
    for (int &slot : redirect_slot) {
        if (slot > 2)
            close(slot);
        slot = -1;
    }
}



struct Command {
    const char *path;
    char *argv[MAX_ARGS];
    char *const *env;
};

// In the program's new process: only calls that are safe after a fork of
// a threaded process.
static int exec_redirected(void *arg)
{
    const Command *c = static_cast<const Command *>(arg);
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0 && null_fd <= 2) {
        // Keep the null device clear of the descriptors being replaced.
        int high = fcntl(null_fd, F_DUPFD, 3);
        close(null_fd);
        null_fd = high;
    }
    for (int n = 0; n <= 2; n++) {
        if (redirect_slot[n] == n)
            continue;
        close(n);
        if (redirect_slot[n] >= 0)
            dup2(redirect_slot[n], n);
        else if (null_fd >= 0)
            dup2(null_fd, n);
    }
    close_from(3, -1, -1);
    execvpe(c->path, c->argv, c->env);
    return errno;
}

pid_t start_command(const char *path, const char *const argv[])
{
    Command c;
    c.path = path;
    c.env = marked_environment();
    int n = 0;
    c.argv[n++] = const_cast<char *>(path);
    for (int i = 0; argv[i] && n < MAX_ARGS - 1; i++)
        c.argv[n++] = const_cast<char *>(argv[i]);
    c.argv[n] = nullptr;
    pid_t program;
    int exec_error;
    pid_t pid = start_watched(exec_redirected, &c, &program, &exec_error);
    reset_slots();
    if (pid < 0)
        errno = exec_error;
    return pid;
}

int run_command(int timeout_seconds, const char *path, ...)
{
    Command c;
    c.path = path;
    c.env = marked_environment();
    int n = 0;
    c.argv[n++] = const_cast<char *>(path);
    va_list ap;
    va_start(ap, path);
    while (n < MAX_ARGS - 1) {
        char *arg = va_arg(ap, char *);
        if (!arg)
            break;
        c.argv[n++] = arg;
    }
    va_end(ap);
    c.argv[n] = nullptr;
    pid_t program;
    int exec_error;
    pid_t pid = start_watched(exec_redirected, &c, &program, &exec_error);
    reset_slots();
    if (pid < 0) {
        errno = exec_error;
        return -1;
    }
    // Checked every tenth of a second: the client gives no other sign. The
    // main thread waits here, so the watchdog is pinged meanwhile: a caster
    // slow to send its table must not get the daemon killed.
    int ticks = timeout_seconds * 10;
    int why = ETIMEDOUT;
    for (int i = 0; i < ticks; i++) {
        int status;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return status;
        if (r < 0 && errno != EINTR)
            return -1;
        if (stop_requested()) {
            why = EINTR;
            break;
        }
        keep_alive();
        usleep(100 * 1000);
    }
    end_watched(pid, true);
    reap_child(pid);
    errno = why;
    return -1;
}
