#include "harness.h"
#include "health/health_internal.h"
#include "private_tree.h"
#include "support.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef RTKFEEDD_BINARY
#error "RTKFEEDD_BINARY must name the daemon under test"
#endif

void DaemonTest::SetUp()
{
    make_private_tree(FAKE_CLIENT_BINARY);
    open_log();
}

void DaemonTest::open_log()
{
    log_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    must(bind(log_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0, "bind /dev/log");
    must(pipe2(log_stop, O_CLOEXEC) == 0, "pipe");
    collector = std::thread([this] { collect_log(); });
    collecting = true;
}

void DaemonTest::stall_log()
{
    collecting = false;
    if (collector.joinable()) {
        close(log_stop[1]);
        collector.join();
        close(log_stop[0]);
    }
}

void DaemonTest::restart_log()
{
    stall_log();
    close(log_fd);
    unlink("/dev/log");
    open_log();
}

void DaemonTest::TearDown()
{
    if (daemon_pid > 0) {
        kill(daemon_pid, SIGKILL);
        waitpid(daemon_pid, nullptr, 0);
        daemon_pid = -1;
    }
    for (int fd : masters)
        close(fd);
    masters.clear();
    stall_log();
    if (log_fd >= 0)
        close(log_fd);
    log_fd = -1;
}

void DaemonTest::write_file(const std::string &path, const std::string &content)
{
    FILE *f = fopen(path.c_str(), "wb");
    must(f != nullptr, path.c_str());
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
}

std::string DaemonTest::read_file(const std::string &path)
{
    std::string out;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

bool DaemonTest::exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void DaemonTest::write_settings(const std::string &content)
{
    write_file("/opt/casterLink/etc/settings", content);
}

int DaemonTest::make_serial(const std::string &path)
{
    // Close-on-exec: the daemon must not hold the receiver's end of its line.
    int master = publish_pty(path.c_str(), nullptr);
    must(master >= 0, path.c_str());
    masters.push_back(master);
    return master;
}

std::string DaemonTest::lock_content(pid_t pid)
{
    char text[12];
    snprintf(text, sizeof text, "%10d\n", pid);
    return text;
}

pid_t DaemonTest::start_daemon(const char *binary)
{
    // Each run is judged on its own log.
    {
        std::lock_guard<std::mutex> hold(entries_lock);
        entries.clear();
    }
    pid_t pid = fork();
    must(pid >= 0, "fork");
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        execl(binary, binary, nullptr);
        _exit(127);
    }
    daemon_pid = pid;
    return pid;
}

int DaemonTest::wait_exit(int timeout_ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        int status;
        pid_t r = waitpid(daemon_pid, &status, WNOHANG);
        if (r == daemon_pid) {
            daemon_pid = -1;
            exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return exit_status;
        }
        usleep(20 * 1000);
    }
    return -1;
}

int DaemonTest::stop_daemon(int sig, int timeout_ms)
{
    kill(daemon_pid, sig);
    return wait_exit(timeout_ms);
}

static const char sync_marker[] = "<15>harness sync ";

void DaemonTest::sync_log()
{
    if (!collecting)
        return;
    std::string marker = sync_marker + std::to_string(++log_sync_sent);
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    bool sent = s >= 0 && sendto(s, marker.data(), marker.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr *>(&addr), sizeof addr) >= 0;
    if (s >= 0)
        close(s);
    for (int i = 0; sent && i < 200 && log_synced.load() < log_sync_sent; i++)
        usleep(10 * 1000);
}

void DaemonTest::collect_log()
{
    char buf[4096];
    for (;;) {
        pollfd p[2] = {{log_fd, POLLIN, 0}, {log_stop[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR)
            return;
        if (p[1].revents)
            return;
        ssize_t n = recv(log_fd, buf, sizeof buf - 1, 0);
        if (n <= 0)
            continue;
        buf[n] = '\0';
        if (strncmp(buf, sync_marker, sizeof sync_marker - 1) == 0) {
            log_synced.store(static_cast<unsigned>(atoi(buf + sizeof sync_marker - 1)));
            continue;
        }
        // "<PRI>Mmm dd hh:mm:ss rtkfeedd[pid]: text"
        LogEntry e = {-1, std::string(buf, static_cast<size_t>(n))};
        if (buf[0] == '<')
            e.priority = atoi(buf + 1) & 7;
        size_t at = e.text.find("]: ");
        if (at != std::string::npos)
            e.text = e.text.substr(at + 3);
        std::lock_guard<std::mutex> hold(entries_lock);
        entries.push_back(e);
    }
}

std::vector<LogEntry> DaemonTest::log()
{
    sync_log();
    std::lock_guard<std::mutex> hold(entries_lock);
    return entries;
}

int DaemonTest::count_log(const std::string &text)
{
    int n = 0;
    for (const LogEntry &e : log())
        if (e.text.find(text) != std::string::npos)
            n++;
    return n;
}

bool DaemonTest::has_log(int priority, const std::string &text)
{
    for (const LogEntry &e : log())
        if (e.priority == priority && e.text == text)
            return true;
    return false;
}

bool DaemonTest::wait_log(const std::string &text, int timeout_ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        if (count_log(text) > 0)
            return true;
        usleep(20 * 1000);
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

bool DaemonTest::wait_file(const std::string &path, const std::string &content, int timeout_ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        if (read_file(path) == content)
            return true;
        usleep(20 * 1000);
    } while (std::chrono::steady_clock::now() < end);
    return false;
}

std::string DaemonTest::read_n(int fd, size_t n, int timeout_ms)
{
    std::string out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.size() < n && std::chrono::steady_clock::now() < end) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        char buf[8192];
        ssize_t r = read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r > 0)
            out.append(buf, static_cast<size_t>(r));
        else
            usleep(10 * 1000);
    }
    return out;
}

double DaemonTest::daemon_cpu_seconds()
{
    // Fields 14 and 15 of /proc/PID/stat, after the parenthesised name.
    std::string stat = read_file("/proc/" + std::to_string(daemon_pid) + "/stat");
    size_t at = stat.rfind(')');
    if (at == std::string::npos)
        return -1;
    unsigned long utime = 0, stime = 0;
    sscanf(stat.c_str() + at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
           &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long DaemonTest::daemon_sleeps()
{
    std::string tasks = "/proc/" + std::to_string(daemon_pid) + "/task";
    long n = 0;
    DIR *d = opendir(tasks.c_str());
    while (dirent *e = d ? readdir(d) : nullptr) {
        std::string status = read_file(tasks + "/" + e->d_name + "/status");
        size_t at = status.find("\nvoluntary_ctxt_switches:");
        if (at != std::string::npos)
            n += atol(status.c_str() + at + 25);
    }
    if (d)
        closedir(d);
    return n;
}

int DaemonTest::fd_count(pid_t pid)
{
    int n = 0;
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    while (d && readdir(d))
        n++;
    if (d)
        closedir(d);
    return n - 2;
}

// Children of pid that have ended and not been reaped.
int DaemonTest::zombies_of(pid_t pid)
{
    int n = 0;
    DIR *d = opendir("/proc");
    while (dirent *e = d ? readdir(d) : nullptr) {
        std::string stat = read_file(std::string("/proc/") + e->d_name + "/stat");
        size_t at = stat.rfind(')');
        char state;
        int ppid;
        if (at != std::string::npos &&
            sscanf(stat.c_str() + at + 2, "%c %d", &state, &ppid) == 2 && ppid == pid &&
            state == 'Z')
            n++;
    }
    if (d)
        closedir(d);
    return n;
}

// The daemon has its stop handler in place (SigCgt holds SIGTERM).
bool DaemonTest::handler_installed(pid_t pid)
{
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("SigCgt:");
    if (at == std::string::npos)
        return false;
    unsigned long long mask = strtoull(status.c_str() + at + 7, nullptr, 16);
    return mask & (1ULL << (SIGTERM - 1));
}

bool DaemonTest::private_loopback()
{
    if (unshare(CLONE_NEWNET) != 0)
        return false;
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr = {};
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "lo");
    bool ok = s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP;
    ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    close(s);
    return ok;
}

int DaemonTest::shell(const std::string &cmd, std::string *out)
{
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        if (out)
            out->append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::map<std::string, std::string> DaemonTest::report()
{
    std::map<std::string, std::string> r;
    if (parse_report(read_file("/run/rtkfeedd.json"), &r) != 0)
        r.clear();
    return r;
}

std::map<std::string, std::string> DaemonTest::report_when(
    const std::string &key, const std::function<bool(const std::string &)> &ok, int timeout_ms)
{
    std::map<std::string, std::string> r;
    for (int waited = 0; waited < timeout_ms; waited += 100) {
        r = report();
        if (ok(r[key]))
            break;
        usleep(100 * 1000);
    }
    return r;
}
