// The service frame below every subsystem: the stop flag and the status
// file, shared by every thread.
#pragma once

#include <atomic>
#include <string>

// The number of the stop signal received, 0 until then. Written by the
// signal handler, read by every thread.
extern std::atomic<int> stop_flag;
static_assert(std::atomic<int>::is_always_lock_free, "stop flag must be lock-free");

inline bool stop_requested()
{
    return stop_flag.load(std::memory_order_relaxed) != 0;
}

// Installs the handler for SIGINT, SIGTERM and SIGQUIT.
void install_stop_handler();

// Reads as ready from the moment a stop is requested, for good, whichever
// thread the signal reached: a wait that includes it sees the stop at once,
// so a loop needs no short time-out to notice one. -1 before
// install_stop_handler.
int stop_fd();

// Writes the status code to "/run/status.ntrip"; failures are logged only.
// Called from the main thread only.
void write_status(int code);

// Called with every code that write_status writes, in the main thread:
// how the supervisor follows the status without every subsystem knowing it.
void set_status_observer(void (*observer)(int code));

// Whether a process of that pid exists (one of another user's counts).
bool pid_alive(int pid);

// What /proc/PID/stat says of a process.
struct ProcStat {
    char state;       // 'R', 'S', ... 'Z' for a zombie
    int ppid;
    int session;
    long long start;  // clock ticks after boot
};
// 0, or -1 when there is no such process. Safe in a fork of a threaded
// process: no allocation.
int read_proc_stat(int pid, ProcStat *st);

// When a process started: clock ticks after boot, as /proc/PID/stat gives
// them; -1 when there is no such process. With its pid it names a process
// for good: a pid that went to another program has another start time.
long long process_start_ticks(int pid);
// Whether the process of that pid is the one that started at start.
bool process_is(int pid, long long start);

// Sleeps up to timeout_ms, less when a stop is requested (up to a second
// at a time when there is no stop latch: the caller's loop looks again).
void sleep_unless_stopped(int timeout_ms);

// One turn of a reader that serves a single descriptor: waits up to wait_ms
// (-1: until fd or a stop request), then gathers a burst with a shared
// allowance of allowance_ms. Returns the count of bytes read; 0 when none
// came (the wait timed out, a stop was requested or the wait interrupted,
// or fd read as ready yet empty: hung up, after which it
// sits out a second so that the caller does not spin); -1 when the wait
// failed (errno).
long next_burst(int fd, char *buf, size_t cap, int wait_ms, int allowance_ms);

// Pauses whole seconds, waking only for the watchdog's pings and the tick
// observer (keep_alive); 0 after the full pause, -1 when a stop request cut
// it short.
int pause_seconds(int seconds);

// The service manager (systemd, Type=notify), when NOTIFY_SOCKET names one.
// notify_open reads the environment once, before any thread starts, and
// takes the variables out of it; notify sends one message ("READY=1",
// "STATUS=...", "STOPPING=1"); without a manager both do nothing.
void notify_open();
void notify(const std::string &state);
// Called by every loop that waits, at each turn, in the main thread: sends
// the watchdog's ping when it is due, so that a loop that hangs is
// restarted, then calls the tick observer (the supervisor's periodic
// report), which returns when it wants its next turn (monotonic ms, 0: no
// wish).
void keep_alive();
void set_tick_observer(long long (*observer)());
// A wait of wait_ms (-1: no limit), shortened so that neither the next
// ping nor the observer's next turn is late.
int keep_alive_wait_ms(int wait_ms);
