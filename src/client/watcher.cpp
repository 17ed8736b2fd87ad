// Every program the daemon starts (the client of a cycle, the source-table
// query) runs under a watcher: a process forked from the daemon, not a new
// program, that leads a session of its own and adopts every orphan below
// it. When the program ends, or the daemon ends it, or the daemon itself
// dies by any signal, the watcher ends whatever the program started,
// whatever groups or sessions it made, so that nothing stays connected to
// the caster beside the next client. It then ends the way the program
// ended, so that the daemon sees the program's own exit.
#include "client/client_internal.h"
#include "common/service.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

// The watcher's signals: the daemon asks the program to end (SIGTERM, passed
// to its process group), or ends it now (SIGUSR1, also the watcher's signal
// when the daemon dies); anyone else's SIGINT, SIGQUIT or SIGHUP ends it now
// too.
static const int end_now_signal = SIGUSR1;

static sigset_t watched_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGQUIT, SIGHUP, end_now_signal})
        sigaddset(&set, sig);
    return set;
}


// Below the watcher: its session, and the orphans it adopted (those that
// made sessions of their own).
static void kill_if_below(pid_t pid, void *arg)
{
    pid_t watcher = *static_cast<pid_t *>(arg);
    ProcStat st;
    if (pid != watcher && read_proc_stat(pid, &st) == 0 && st.state != 'Z' &&
        (st.session == watcher || st.ppid == watcher))
        kill(pid, SIGKILL);
}

// Ends and reaps everything below the watcher; the program's wait status
// when it was reaped here.
static void end_everything_below(pid_t program, int *status)
{
    pid_t self = getpid();
    for (;;) {
        for_each_process(kill_if_below, &self);
        int st;
        pid_t r = waitpid(-1, &st, 0);
        if (r < 0 && errno == ECHILD)
            return;
        if (r == program)
            *status = st;
    }
}

// Ends as the program ended.
[[noreturn]] static void exit_like(int status)
{
    if (status != -1 && WIFSIGNALED(status)) {
        int sig = WTERMSIG(status);
        rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);
        signal(sig, SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, sig);
        sigprocmask(SIG_UNBLOCK, &one, nullptr);
        kill(getpid(), sig);
        _exit(128 + sig);
    }
    _exit(status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

// The program's side: its own process group (so that the daemon's request
// to end reaches what it starts too), the daemon's signal mask and
// dispositions, and an end with its watcher.
[[noreturn]] static void run_program(pid_t watcher, int (*exec_program)(void *), void *arg,
                                     const sigset_t *mask, int exec_report)
{
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != watcher)
        _exit(1);
    for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGQUIT, SIGHUP, end_now_signal})
        signal(sig, SIG_DFL);
    sigprocmask(SIG_SETMASK, mask, nullptr);
    int e = exec_program(arg);
    ssize_t ignored = write(exec_report, &e, sizeof e);
    (void)ignored;
    _exit(1);
}

// The watcher: starts the program, tells the daemon its pid and whether it
// could be executed, waits, and ends what is left.
[[noreturn]] static void watch(pid_t daemon, int report, int (*exec_program)(void *), void *arg,
                               const sigset_t *mask)
{
    setsid();
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    prctl(PR_SET_PDEATHSIG, end_now_signal);
    if (getppid() != daemon)
        _exit(1);  // the daemon ended before the line above took effect
    prctl(PR_SET_NAME, "rtkfeedd-watch");
    int started[2] = {-1, 0};  // the program's pid, the errno of its start
    int exec_report[2];
    if (pipe2(exec_report, O_CLOEXEC) != 0) {
        started[1] = errno;
        ssize_t ignored = write(report, started, sizeof started);
        (void)ignored;
        _exit(1);
    }
    pid_t self = getpid();
    pid_t program = fork();
    if (program == 0)
        run_program(self, exec_program, arg, mask, exec_report[1]);
    started[0] = program;
    if (program < 0)
        started[1] = errno;
    // The watcher keeps nothing of the daemon's: no line, no pty, no lock.
    close_from(3, report, exec_report[0]);
    if (program > 0) {
        ssize_t n;
        do
            n = read(exec_report[0], &started[1], sizeof started[1]);
        while (n < 0 && errno == EINTR);
        if (n != sizeof started[1])
            started[1] = 0;  // executed: the pipe closed with the exec
    }
    close(exec_report[0]);
    ssize_t ignored = write(report, started, sizeof started);
    (void)ignored;
    close(report);

    sigset_t set = watched_signals();
    int status = -1;
    bool ended = program < 0;
    while (!ended) {
        int sig = sigwaitinfo(&set, nullptr);
        if (sig == SIGCHLD) {
            // The program, or an orphan adopted meanwhile.
            int st;
            pid_t r;
            while ((r = waitpid(-1, &st, WNOHANG)) > 0)
                if (r == program) {
                    status = st;
                    ended = true;
                }
        } else if (sig == SIGTERM) {
            kill(-program, SIGTERM);
            kill(program, SIGTERM);
        } else if (sig > 0) {
            break;
        }
    }
    end_everything_below(program, &status);
    exit_like(status);
}

pid_t start_watched(int (*exec_program)(void *), void *arg, pid_t *program, int *exec_error)
{
    *program = -1;
    *exec_error = 0;
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        *exec_error = errno;
        return -1;
    }
    // The watcher starts with every signal blocked: it takes its signals
    // only in its wait, never in a handler of the daemon's.
    sigset_t all, mask;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &mask);
    pid_t daemon = getpid();
    pid_t watcher = fork();
    if (watcher == 0) {
        close(report[0]);
        watch(daemon, report[1], exec_program, arg, &mask);
    }
    int fork_errno = errno;
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    close(report[1]);
    if (watcher < 0) {
        close(report[0]);
        *exec_error = fork_errno;
        return -1;
    }
    int started[2] = {-1, ECHILD};
    ssize_t n;
    do
        n = read(report[0], started, sizeof started);
    while (n < 0 && errno == EINTR);
    close(report[0]);
    *program = started[0];
    *exec_error = n == sizeof started ? started[1] : ECHILD;
    // A watcher without a program has ended or is about to.
    if (*program <= 0) {
        reap_child(watcher);
        return -1;
    }
    return watcher;
}

void end_watched(pid_t watcher, bool now)
{
    if (watcher > 0)
        kill(watcher, now ? end_now_signal : SIGTERM);
}
