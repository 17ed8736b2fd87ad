// Client benchmark: rtkfeedd-ntrip beside the str2str adapter, each the
// client of the same str2str caster in one run, measured the same way.
// Run as root with rtklib installed; everything happens in private mount
// and network namespaces.
//   client_bench [--mib N] [--seconds N] [--upstream-seconds N]
// Figures: CPU seconds per MiB relayed unlimited and paced at 2 KiB/s,
// VmHWM and anonymous memory of the client's process tree, the median
// delay of a 150-byte frame from the caster's input socket to the pty, and
// the bytes sent upstream while a receiver writes GGA, RMC, GSA and four
// GSV a second.
#include "private_tree.h"
#include "support.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

static double now_s()
{
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// The client's process and everything below it: CPU (schedstat), and a
// "Name: N kB" line of status summed.
static std::vector<pid_t> tree_of(pid_t root)
{
    std::vector<pid_t> tree = {root};
    DIR *d = opendir("/proc");
    std::vector<std::pair<pid_t, pid_t>> parent;
    while (dirent *e = d ? readdir(d) : nullptr) {
        pid_t pid = atoi(e->d_name);
        if (pid <= 0)
            continue;
        FILE *f = fopen(("/proc/" + std::string(e->d_name) + "/stat").c_str(), "r");
        char buf[512] = "";
        if (f && fgets(buf, sizeof buf, f)) {
            const char *close_paren = strrchr(buf, ')');
            int ppid = 0;
            if (close_paren && sscanf(close_paren + 2, "%*c %d", &ppid) == 1)
                parent.push_back({pid, ppid});
        }
        if (f)
            fclose(f);
    }
    if (d)
        closedir(d);
    for (size_t i = 0; i < tree.size(); i++)
        for (auto &p : parent)
            if (p.second == tree[i])
                tree.push_back(p.first);
    return tree;
}

static double tree_cpu(pid_t root)
{
    double cpu = 0;
    for (pid_t pid : tree_of(root)) {
        std::string dir = "/proc/" + std::to_string(pid) + "/task";
        DIR *d = opendir(dir.c_str());
        while (dirent *e = d ? readdir(d) : nullptr) {
            if (e->d_name[0] == '.')
                continue;
            FILE *f = fopen((dir + "/" + e->d_name + "/schedstat").c_str(), "r");
            unsigned long long ns = 0;
            if (f && fscanf(f, "%llu", &ns) == 1)
                cpu += static_cast<double>(ns) / 1e9;
            if (f)
                fclose(f);
        }
        if (d)
            closedir(d);
    }
    return cpu;
}

static long tree_kib(pid_t root, const char *name)
{
    long sum = 0;
    for (pid_t pid : tree_of(root)) {
        FILE *f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
        char line[256];
        size_t len = strlen(name);
        while (f && fgets(line, sizeof line, f))
            if (strncmp(line, name, len) == 0 && line[len] == ':')
                sum += atol(line + len + 1);
        if (f)
            fclose(f);
    }
    return sum;
}

static pid_t spawn(const std::vector<std::string> &argv)
{
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        for (int fd = 3; fd < 1024; fd++)
            close(fd);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

static void stop(pid_t pid)
{
    kill(-pid, SIGTERM);
    usleep(300 * 1000);
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

static int connect_to(int port)
{
    for (int i = 0; i < 100; i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        close(fd);
        usleep(50 * 1000);
    }
    return -1;
}

// Reads what reaches the pty, counting it, until told to stop.
struct Sink {
    int fd = -1;
    std::atomic<size_t> bytes{0};
    std::atomic<double> last{0};
    std::atomic<bool> done{false};
    std::thread t;
    void start(int master)
    {
        fd = master;
        t = std::thread([this] {
            char buf[65536];
            while (!done) {
                pollfd p = {fd, POLLIN, 0};
                if (poll(&p, 1, 100) <= 0)
                    continue;
                ssize_t n = read(fd, buf, sizeof buf);
                if (n > 0) {
                    last = now_s();
                    bytes += static_cast<size_t>(n);
                }
            }
        });
    }
    void finish()
    {
        done = true;
        t.join();
    }
    bool wait_for(size_t n, double timeout)
    {
        double end = now_s() + timeout;
        while (bytes < n && now_s() < end)
            usleep(1000);
        return bytes >= n;
    }
};

struct Figures {
    double unlimited = 0, paced = 0, delay_ms = 0;
    long hwm = 0, anon = 0;
    long upstream = 0, upstream_gga = 0, upstream_other = 0;
};

static const char *ntrip_binary = NTRIP_CLIENT_BINARY;
static const char *adapter = ADAPTER_SCRIPT;

static pid_t start_client(bool ours, int port, bool gga)
{
    std::vector<std::string> argv = {ours ? ntrip_binary : adapter, "-s", "127.0.0.1", "-r",
                                     std::to_string(port), "-m", "BENCH", "-i", "1", "-D",
                                     "/dev/ttyS0", "-B", "115200", "-A", "8", "-T", "1", "-Y", "N"};
    if (gga)
        for (const char *a : {"-n", "$GPGGA,120000.00,5230.0000,N,01324.0000,E,1,08,1.0,34.5,M,0.0,M,,*5C",
                              "-g", "10"})
            argv.push_back(a);
    return spawn(argv);
}

static std::string nmea(const std::string &body)
{
    return nmea_sentence(body) + "\r\n";
}

// Between the client and the caster: forwards both ways, notes when the
// caster's bytes left for the client, and counts what the client sends
// after its request.
struct Proxy {
    int listener = -1;
    std::atomic<size_t> down_bytes{0};
    std::atomic<double> down_last{0};
    std::atomic<long> up_bytes{0}, up_gga{0}, up_other{0};
    std::atomic<bool> counting{false}, done{false};
    std::thread t;
    void start(int port, int caster_port)
    {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(listener, 1);
        t = std::thread([this, caster_port] { run(caster_port); });
    }
    void run(int caster_port)
    {
        int down = accept(listener, nullptr, nullptr);
        int up = connect_to(caster_port);
        int one = 1;
        setsockopt(down, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::string request;
        while (!done) {
            pollfd p[2] = {{down, POLLIN, 0}, {up, POLLIN, 0}};
            if (poll(p, 2, 100) <= 0)
                continue;
            char buf[65536];
            if (p[0].revents) {
                ssize_t n = read(down, buf, sizeof buf);
                if (n <= 0)
                    break;
                write_all(up, buf, static_cast<size_t>(n));
                std::string got(buf, static_cast<size_t>(n));
                if (request.find("\r\n\r\n") == std::string::npos) {
                    request += got;
                    size_t e = request.find("\r\n\r\n");
                    got = e == std::string::npos ? "" : request.substr(e + 4);
                }
                if (!counting)
                    continue;
                up_bytes += static_cast<long>(got.size());
                for (size_t at = got.find('$'); at != std::string::npos; at = got.find('$', at + 1))
                    (got.compare(at + 3, 3, "GGA") == 0 ? up_gga : up_other)++;
            }
            if (p[1].revents) {
                ssize_t n = read(up, buf, sizeof buf);
                if (n <= 0)
                    break;
                write_all(down, buf, static_cast<size_t>(n));
                down_last = now_s();
                down_bytes += static_cast<size_t>(n);
            }
        }
        close(down);
        close(up);
    }
    void finish()
    {
        done = true;
        shutdown(listener, SHUT_RDWR);
        t.join();
        close(listener);
    }
};

static bool wait_count(const std::atomic<size_t> &count, size_t n, double timeout)
{
    double end = now_s() + timeout;
    while (count < n && now_s() < end)
        usleep(100);
    return count >= n;
}

static Figures measure(bool ours, double mib, int seconds, int upstream_seconds)
{
    Figures f;
    int master = publish_pty("/dev/ttyS0", nullptr);
    pid_t caster = spawn({"str2str", "-in", "tcpsvr://:7001", "-out", "ntripc://:7002/BENCH"});
    usleep(500 * 1000);
    int feed = connect_to(7001);
    Proxy proxy;
    proxy.start(7003, 7002);
    pid_t client = start_client(ours, 7003, true);
    Sink sink;
    sink.start(master);
    // Until the stream flows through.
    std::string ping(64, '\x55');
    for (int i = 0; i < 100 && sink.bytes == 0; i++) {
        write_all(feed, ping.data(), ping.size());
        usleep(100 * 1000);
    }
    usleep(500 * 1000);
    const char *name = ours ? "rtkfeedd-ntrip" : "str2str adapter";
    fprintf(stderr, "%s: connected, %zu bytes through\n", name, sink.bytes.load());

    // Unlimited, as far as the caster goes: str2str drops a client whose
    // socket does not take what it relays at once, so 4 KiB every 16 ms
    // (256 KiB/s), far beyond any correction stream (the adapter lost
    // bytes at 1 MiB/s).
    std::string block(4096, '\xAA');
    size_t total = static_cast<size_t>(mib * 1048576), base = sink.bytes;
    double cpu0 = tree_cpu(client);
    for (size_t sent = 0; sent < total; sent += block.size()) {
        write_all(feed, block.data(), block.size());
        usleep(16000);
    }
    wait_count(sink.bytes, base + total, 60);
    f.unlimited = (tree_cpu(client) - cpu0) / mib;
    fprintf(stderr, "%s: unlimited, %zu of %zu bytes through\n", name, sink.bytes - base, total);

    // Paced: 2 KiB/s in 256-byte writes.
    std::string piece(256, '\x5A');
    cpu0 = tree_cpu(client);
    size_t paced = 0;
    for (int i = 0; i < seconds * 8; i++) {
        write_all(feed, piece.data(), piece.size());
        paced += piece.size();
        usleep(125 * 1000);
    }
    f.paced = (tree_cpu(client) - cpu0) / (static_cast<double>(paced) / 1048576);

    // The delay of a 150-byte frame, from the moment the caster's bytes
    // left for the client to the moment the last of them is on the pty.
    std::vector<double> delays;
    std::string frame(150, '\x33');
    for (int i = 0, missed = 0; i < 100 && missed < 3; i++) {
        size_t at_proxy = proxy.down_bytes, at_pty = sink.bytes;
        write_all(feed, frame.data(), frame.size());
        if (wait_count(proxy.down_bytes, at_proxy + frame.size(), 2) &&
            wait_count(sink.bytes, at_pty + frame.size(), 2))
            delays.push_back((sink.last - proxy.down_last) * 1000);
        else
            missed++;
        usleep(100 * 1000);
    }
    std::sort(delays.begin(), delays.end());
    f.delay_ms = delays.empty() ? -1 : delays[delays.size() / 2];
    fprintf(stderr, "%s: %zu delays measured\n", name, delays.size());

    // Upstream, while the receiver writes a second's worth of sentences
    // each second.
    proxy.counting = true;
    double end = now_s() + upstream_seconds;
    while (now_s() < end) {
        std::string second =
            nmea("GNGGA,120000.00,5230.0000,N,01324.0000,E,4,12,0.8,34.5,M,0.0,M,1.0,0001") +
            nmea("GNRMC,120000.00,A,5230.0000,N,01324.0000,E,0.0,0.0,010126,,") +
            nmea("GNGSA,A,3,01,02,03,04,05,06,,,,,,,1.5,0.8,1.2");
        for (int k = 1; k <= 4; k++)
            second += nmea("GPGSV,4," + std::to_string(k) +
                           ",13,01,40,083,46,02,17,308,41,03,12,057,39,04,60,123,48");
        write_all(master, second.data(), second.size());
        usleep(1000 * 1000);
    }
    f.upstream = proxy.up_bytes;
    f.upstream_gga = proxy.up_gga;
    f.upstream_other = proxy.up_other;
    f.hwm = tree_kib(client, "VmHWM");
    f.anon = tree_kib(client, "RssAnon");
    sink.finish();
    stop(client);
    proxy.finish();
    close(feed);
    stop(caster);
    close(master);
    return f;
}

int main(int argc, char **argv)
{
    double mib = 8;
    int seconds = 20, upstream_seconds = 60;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--mib") == 0)
            mib = atof(argv[i + 1]);
        else if (strcmp(argv[i], "--seconds") == 0)
            seconds = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--upstream-seconds") == 0)
            upstream_seconds = atoi(argv[i + 1]);
    }
    if (system("command -v str2str >/dev/null") != 0) {
        fprintf(stderr, "client_bench: needs str2str (Debian package rtklib)\n");
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    make_private_tree(NTRIP_CLIENT_BINARY);
    if (unshare(CLONE_NEWNET) != 0) {
        perror("client_bench: unshare");
        return 1;
    }
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr = {};
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "lo");
    ioctl(s, SIOCGIFFLAGS, &ifr);
    ifr.ifr_flags |= IFF_UP;
    ioctl(s, SIOCSIFFLAGS, &ifr);
    close(s);
    Figures ours = measure(true, mib, seconds, upstream_seconds);
    Figures theirs = measure(false, mib, seconds, upstream_seconds);
    printf("%-52s %14s %14s %7s\n", "", "rtkfeedd-ntrip", "str2str adapt.", "ratio");
    auto row = [](const char *what, double a, double b, const char *fmt) {
        char x[32], y[32];
        snprintf(x, sizeof x, fmt, a);
        snprintf(y, sizeof y, fmt, b);
        printf("%-52s %14s %14s %7.2f\n", what, x, y, b != 0 ? a / b : 0);
    };
    row("CPU s/MiB, 256 KiB/s in 4 KiB writes", ours.unlimited, theirs.unlimited, "%.4f");
    row("CPU s/MiB, paced 2 KiB/s in 256-byte writes", ours.paced, theirs.paced, "%.3f");
    row("VmHWM KiB (process tree)", static_cast<double>(ours.hwm), static_cast<double>(theirs.hwm), "%.0f");
    row("RssAnon KiB (process tree)", static_cast<double>(ours.anon), static_cast<double>(theirs.anon), "%.0f");
    row("delay of a 150-byte frame, median ms", ours.delay_ms, theirs.delay_ms, "%.2f");
    char what[80];
    snprintf(what, sizeof what, "bytes upstream in %d s (GGA+RMC+GSA+4 GSV each s, -g 10)", upstream_seconds);
    row(what, static_cast<double>(ours.upstream), static_cast<double>(theirs.upstream), "%.0f");
    row("  of which GGA sentences", static_cast<double>(ours.upstream_gga),
        static_cast<double>(theirs.upstream_gga), "%.0f");
    row("  of which other sentences", static_cast<double>(ours.upstream_other),
        static_cast<double>(theirs.upstream_other), "%.0f");
    return 0;
}
