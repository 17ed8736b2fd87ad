// Runs the real daemon as root in a private mount namespace: tmpfs stands
// in for "/dev", "/run", "/opt" and "/var/tmp", ptys for serial lines, and
// a datagram socket at "/dev/log" collects what the daemon logs.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <sys/types.h>
#include <vector>

struct LogEntry {
    int priority;  // LOG_ERR, LOG_NOTICE, ...
    std::string text;
};

class DaemonTest : public ::testing::Test {
public:
    // Files in the private tree.
    static void write_file(const std::string &path, const std::string &content);
    static std::string read_file(const std::string &path);
    static bool exists(const std::string &path);

    // The daemon's process, as /proc shows it: open descriptors, children
    // that ended and were not reaped, and whether the stop handler is in
    // place (SigCgt holds SIGTERM).
    static int fd_count(pid_t pid);
    static int zombies_of(pid_t pid);
    static bool handler_installed(pid_t pid);
    // A network of this test's own: only loopback, so that nothing listens
    // beyond it and its ports are its own.
    static bool private_loopback();
    // Runs a shell command; its exit status (-1 when it did not exit), and
    // what it printed on standard output in *out when out is given.
    static int shell(const std::string &cmd, std::string *out = nullptr);
    // The health report as flat keys ("client.pid"); empty while there is
    // none. report_when waits (100 ms steps) until key's value satisfies ok
    // and returns the report of that moment, or the last one read.
    static std::map<std::string, std::string> report();
    static std::map<std::string, std::string> report_when(
        const std::string &key, const std::function<bool(const std::string &)> &ok,
        int timeout_ms = 10000);

protected:
    void SetUp() override;
    void TearDown() override;

    // What a lock file of pid holds.
    static std::string lock_content(pid_t pid);

    void write_settings(const std::string &content);
    // A pty whose slave is published at path (for instance "/dev/ttyS0");
    // returns the master, which the test reads and writes.
    int make_serial(const std::string &path);

    // Starts build/rtkfeedd (or another program of the build, the publisher);
    // its client is the stand-in.
    pid_t start_daemon(const char *binary = RTKFEEDD_BINARY);
    // Waits for the daemon to exit; returns its exit status, or -1 on timeout.
    int wait_exit(int timeout_ms);
    int stop_daemon(int sig = 15, int timeout_ms = 10000);

    // The log of the latest daemon run: all it sent so far, once the
    // collector has read it.
    std::vector<LogEntry> log();
    // Waits until an entry contains text; returns whether one did.
    bool wait_log(const std::string &text, int timeout_ms = 5000);
    int count_log(const std::string &text);
    bool has_log(int priority, const std::string &text);
    // Waits until path holds content.
    bool wait_file(const std::string &path, const std::string &content, int timeout_ms = 5000);
    // Reads from fd until n bytes arrived or the time ran out.
    static std::string read_n(int fd, size_t n, int timeout_ms);
    // The log daemon stops reading (its socket stays, and fills up), or
    // comes back with a new socket at "/dev/log".
    void stall_log();
    void restart_log();
    // CPU seconds (user + system) the daemon has used so far.
    double daemon_cpu_seconds();
    // Times the daemon's threads have gone to sleep so far.
    long daemon_sleeps();

    pid_t daemon_pid = -1;
    int exit_status = -1;

private:
    // Reads the log socket all the time, as a syslog daemon does: its queue
    // is short, and a full one would hold the daemon up in syslog().
    void collect_log();
    void open_log();
    // Waits until the collector has read everything sent to the log before
    // now: a marker of its own, behind whatever a program that just ended
    // sent, so that a check right after a daemon's exit sees all it logged.
    void sync_log();
    std::atomic<unsigned> log_synced{0};
    unsigned log_sync_sent = 0;
    bool collecting = false;
    int log_fd = -1;
    int log_stop[2] = {-1, -1};
    std::thread collector;
    std::mutex entries_lock;
    std::vector<LogEntry> entries;
    std::vector<int> masters;
};
