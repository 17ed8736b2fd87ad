// Relay benchmark: the daemon against socat, both relaying one pty to
// another, measured the same way in the same run. Run as root; everything
// happens in a private mount namespace.
//   relay_bench [--runs N] [--mib N] [--seconds N] [--stream FILE] [--daemon BIN]
// --daemon BIN: another build of the daemon (an earlier one, to compare).
// The daemon writes its health report and its metrics file, as a router
// that is watched does.
// --stream FILE: also a real RTCM 3 stream (rinexcast's output, say) at its
// real rate: an epoch a second, each epoch beginning with its 1005/1006.
#include "private_tree.h"
#include "rtcm.h"
#include "support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

static double seconds_since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// A relay under test: bytes written to feed reach the relay's input pty
// through the bench client; what the relay delivers is read from out.
struct Relay {
    std::string name;
    pid_t pid = -1;     // the process measured
    pid_t other = -1;   // a helper to stop with it (socat's client)
    int feed = -1;
    int out = -1;
};

// CPU seconds (schedstat, in ns) and context switches of all the process's threads.
static void usage_of(pid_t pid, double *cpu, long *switches)
{
    *cpu = 0;
    *switches = 0;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = opendir(dir.c_str());
    if (!d)
        return;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::string task = dir + "/" + e->d_name;
        FILE *f = fopen((task + "/schedstat").c_str(), "r");
        unsigned long long ns = 0;
        if (f) {
            if (fscanf(f, "%llu", &ns) != 1)
                ns = 0;
            fclose(f);
        }
        *cpu += static_cast<double>(ns) / 1e9;
        f = fopen((task + "/status").c_str(), "r");
        char line[256];
        while (f && fgets(line, sizeof line, f)) {
            long n;
            if (sscanf(line, "voluntary_ctxt_switches: %ld", &n) == 1 ||
                sscanf(line, "nonvoluntary_ctxt_switches: %ld", &n) == 1)
                *switches += n;
        }
        if (f)
            fclose(f);
    }
    closedir(d);
}

// A "Name: N kB" line of /proc/PID/status.
static long status_kib(pid_t pid, const char *name)
{
    FILE *f = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    char line[256];
    long kib = -1;
    size_t len = strlen(name);
    while (f && fgets(line, sizeof line, f))
        if (strncmp(line, name, len) == 0 && line[len] == ':')
            kib = atol(line + len + 1);
    if (f)
        fclose(f);
    return kib;
}

static bool wait_path(const char *path, double timeout)
{
    auto start = Clock::now();
    struct stat st;
    while (stat(path, &st) != 0) {
        if (seconds_since(start) > timeout)
            return false;
        usleep(10 * 1000);
    }
    return true;
}

// Starts argv with the null device as its standard descriptors and nothing
// else open.
static pid_t spawn(const std::vector<const char *> &argv)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        for (int fd = 3; fd < 1024; fd++)
            close(fd);
        std::vector<char *> args;
        for (const char *a : argv)
            args.push_back(const_cast<char *>(a));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

static const char *daemon_binary = RTKFEEDD_BINARY;

static Relay start_daemon()
{
    make_private_tree(BENCH_CLIENT_BINARY);
    FILE *f = fopen("/opt/casterLink/etc/settings", "w");
    fputs("MOD_NTRIP_TARGET=0\nMOD_NTRIP_TARGET_BAUDRATE=4000000\n"
          "MOD_NTRIP_METRICS_FILE=/run/rtkfeedd.prom\n", f);
    fclose(f);
    Relay r;
    r.name = "rtkfeedd";
    r.out = publish_pty("/dev/ttyS0", nullptr);
    must(r.out >= 0, "target pty");
    must(mkfifo("/run/bench_feed", 0600) == 0, "mkfifo /run/bench_feed");
    r.pid = spawn({daemon_binary});
    must(wait_path("/run/bench_client", 10), "the daemon's client did not start");
    r.feed = open("/run/bench_feed", O_WRONLY | O_CLOEXEC);
    must(r.feed >= 0, "open /run/bench_feed");
    return r;
}

static Relay start_socat()
{
    make_private_tree(BENCH_CLIENT_BINARY);
    Relay r;
    r.name = "socat";
    // socat writes into a pty's slave, as the daemon writes into its
    // target's: a relay that wrote into a master would pay for the line
    // discipline of the reader's side as well.
    r.out = publish_pty("/run/out", nullptr);
    must(r.out >= 0, "socat's output pty");
    r.pid = spawn({"socat", "-u", "PTY,link=/run/in,raw,echo=0,wait-slave",
                   "FILE:/run/out,raw,echo=0"});
    must(wait_path("/run/in", 5), "socat's input pty");
    must(mkfifo("/run/bench_feed", 0600) == 0, "mkfifo /run/bench_feed");
    r.other = spawn({BENCH_CLIENT_BINARY, "-D", "/run/in"});
    must(wait_path("/run/bench_client", 5), "socat's client");
    r.feed = open("/run/bench_feed", O_WRONLY | O_CLOEXEC);
    must(r.feed >= 0, "open /run/bench_feed");
    return r;
}

static void stop(Relay &r)
{
    close(r.feed);
    kill(r.pid, SIGTERM);
    waitpid(r.pid, nullptr, 0);
    if (r.other > 0) {
        kill(r.other, SIGKILL);
        waitpid(r.other, nullptr, 0);
    }
    close(r.out);
}

// Reads out into sink until want bytes came or nothing came for quiet seconds.
static size_t drain(int out, std::string *sink, size_t want, double quiet)
{
    auto last = Clock::now();
    char buf[65536];
    while (sink->size() < want && seconds_since(last) < quiet) {
        pollfd p = {out, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = read(out, buf, sizeof buf);
        if (n > 0) {
            sink->append(buf, static_cast<size_t>(n));
            last = Clock::now();
        }
    }
    return sink->size();
}

struct Figures {
    double lost = 0, first_bad = -1;
    double cpu_unlimited = 0, cpu_paced = 0;
    double idle_cpu = 0, idle_wakeups = 0;
    double between_cpu = -1, between_wakeups = -1;
    double latency_median = 0, latency_max = 0;
    double hwm = 0, anon = 0;
    double stream_cpu = -1, stream_wakeups = -1;
    double epoch_big_ms = -1, epoch_small_ms = -1, epochs_big = -1;
};

static std::string stream_file;

// Whether a whole frame with a good CRC starts at data[at].
static bool frame_at(const std::string &data, size_t at, size_t *len)
{
    if (at + 6 > data.size() || static_cast<uint8_t>(data[at]) != 0xD3)
        return false;
    *len = (static_cast<uint8_t>(data[at + 1]) & 3) << 8 | static_cast<uint8_t>(data[at + 2]);
    if (at + 6 + *len > data.size())
        return false;
    const uint8_t *p = reinterpret_cast<const uint8_t *>(data.data() + at);
    uint32_t crc = static_cast<uint32_t>(p[3 + *len]) << 16 | p[4 + *len] << 8 | p[5 + *len];
    return crc24q(p, 3 + *len) == crc;
}

// The stream's epochs. An MSM stream's epoch ends with the MSM message
// whose multiple-message bit (bit 54) is clear, what comes before its first
// MSM (station, ephemerides) belonging to it; a stream without MSM is split
// before each station message (1005/1006). A recording that begins or ends
// mid-frame loses those bytes.
static std::vector<std::string> epochs_of(const std::string &data)
{
    std::vector<std::string> out(1);
    bool msm_seen = false;
    size_t at = 0, len = 0;
    while (at < data.size() && !frame_at(data, at, &len))
        at++;
    for (; frame_at(data, at, &len); at += len + 6) {
        const uint8_t *m = reinterpret_cast<const uint8_t *>(data.data() + at + 3);
        unsigned type = len >= 2 ? m[0] << 4 | m[1] >> 4 : 0;
        bool msm = type >= 1071 && type <= 1137 && len >= 7;
        if (!msm_seen && !msm && (type == 1005 || type == 1006) && !out.back().empty())
            out.emplace_back();
        out.back() += data.substr(at, len + 6);
        if (msm) {
            msm_seen = true;
            if (!((m[6] >> 1) & 1))  // bit 54: more of this epoch follows
                out.emplace_back();
        }
    }
    if (out.back().empty())
        out.pop_back();
    return out;
}

static void measure_stream(Relay &r, int seconds, Figures *f)
{
    std::string data;
    FILE *in = fopen(stream_file.c_str(), "rb");
    char buf[65536];
    size_t n;
    while (in && (n = fread(buf, 1, sizeof buf, in)) > 0)
        data.append(buf, n);
    if (in)
        fclose(in);
    std::vector<std::string> epochs = epochs_of(data);
    if (epochs.empty())
        return;
    std::atomic<bool> done{false};
    std::string got;
    // When each amount of the stream had arrived, for each epoch's delay.
    std::vector<std::pair<double, size_t>> arrived;
    auto start = Clock::now();
    std::thread reader([&] {
        while (!done) {
            size_t before = got.size();
            drain(r.out, &got, got.size() + 1, 0.2);
            if (got.size() != before)
                arrived.push_back({seconds_since(start), got.size()});
        }
    });
    double cpu0, cpu1;
    long sw0, sw1;
    usage_of(r.pid, &cpu0, &sw0);
    std::vector<std::pair<double, size_t>> sent;  // when, and the stream's size after it
    size_t total = 0;
    for (int i = 0; i < seconds; i++) {
        const std::string &e = epochs[static_cast<size_t>(i) % epochs.size()];
        double t = seconds_since(start);
        write_all(r.feed, e.data(), e.size());
        total += e.size();
        sent.push_back({t, total});
        std::this_thread::sleep_until(start + std::chrono::seconds(i + 1));
    }
    usage_of(r.pid, &cpu1, &sw1);
    done = true;
    reader.join();
    // An epoch's delay: from its write to the arrival of its last byte.
    std::vector<double> big, small;
    for (size_t i = 0; i < sent.size(); i++) {
        size_t size = sent[i].second - (i > 0 ? sent[i - 1].second : 0);
        for (const auto &a : arrived)
            if (a.second >= sent[i].second) {
                (size > 1024 ? big : small).push_back((a.first - sent[i].first) * 1000);
                break;
            }
    }
    for (auto *v : {&big, &small})
        std::sort(v->begin(), v->end());
    f->epoch_big_ms = big.empty() ? -1 : big[big.size() / 2];
    f->epoch_small_ms = small.empty() ? -1 : small[small.size() / 2];
    f->epochs_big = static_cast<double>(big.size());
    f->stream_cpu = (cpu1 - cpu0) / seconds;
    f->stream_wakeups = static_cast<double>(sw1 - sw0) / seconds;
}

static void measure_latency(Relay &r, Figures *f)
{
    std::vector<double> ms;
    char packet[100];
    memset(packet, 'L', sizeof packet);
    for (int i = 0; i < 15; i++) {
        std::string got;
        auto start = Clock::now();
        write_all(r.feed, packet, sizeof packet);
        drain(r.out, &got, sizeof packet, 3);
        ms.push_back(seconds_since(start) * 1000);
        usleep(300 * 1000);
    }
    std::sort(ms.begin(), ms.end());
    f->latency_median = ms[ms.size() / 2];
    f->latency_max = ms.back();
}

static void measure_paced(Relay &r, int seconds, Figures *f)
{
    double cpu0, cpu1;
    long sw;
    std::atomic<bool> done{false};
    std::string got;
    std::thread reader([&] {
        while (!done)
            drain(r.out, &got, SIZE_MAX, 0.2);
    });
    usage_of(r.pid, &cpu0, &sw);
    char piece[256];
    memset(piece, 'P', sizeof piece);
    auto start = Clock::now();
    size_t sent = 0;
    for (int i = 0; i < seconds * 8; i++) {
        write_all(r.feed, piece, sizeof piece);
        sent += sizeof piece;
        std::this_thread::sleep_until(start + std::chrono::milliseconds(125 * (i + 1)));
    }
    usage_of(r.pid, &cpu1, &sw);
    done = true;
    reader.join();
    f->cpu_paced = (cpu1 - cpu0) / (static_cast<double>(sent) / (1 << 20));
}

static void measure_idle(Relay &r, int seconds, double *cpu, double *wakeups)
{
    double cpu0, cpu1;
    long sw0, sw1;
    usage_of(r.pid, &cpu0, &sw0);
    sleep(static_cast<unsigned>(seconds));
    usage_of(r.pid, &cpu1, &sw1);
    *cpu = (cpu1 - cpu0) / seconds;
    *wakeups = static_cast<double>(sw1 - sw0) / seconds;
}

static void measure_integrity(Relay &r, size_t bytes, Figures *f)
{
    std::string data(bytes, '\0');
    std::mt19937 gen(static_cast<unsigned>(bytes));
    for (char &c : data)
        c = static_cast<char>(gen());
    double cpu0, cpu1;
    long sw;
    usage_of(r.pid, &cpu0, &sw);
    std::thread writer([&] { write_all(r.feed, data.data(), data.size()); });
    std::string got;
    got.reserve(bytes);
    drain(r.out, &got, bytes, 5);
    writer.join();
    usage_of(r.pid, &cpu1, &sw);
    f->lost = static_cast<double>(bytes - std::min(bytes, got.size()));
    auto bad = std::mismatch(got.begin(), got.end(), data.begin());
    f->first_bad = bad.first == got.end() && got.size() == bytes ? -1 : bad.first - got.begin();
    f->cpu_unlimited = (cpu1 - cpu0) / (static_cast<double>(bytes) / (1 << 20));
}

static Figures run(bool daemon, size_t bytes, int seconds)
{
    Figures f;
    Relay r = daemon ? start_daemon() : start_socat();
    usleep(500 * 1000);
    measure_latency(r, &f);
    measure_paced(r, seconds, &f);
    if (!stream_file.empty())
        measure_stream(r, seconds, &f);
    measure_idle(r, seconds, &f.idle_cpu, &f.idle_wakeups);
    measure_integrity(r, bytes, &f);
    f.hwm = static_cast<double>(status_kib(r.pid, "VmHWM"));
    f.anon = static_cast<double>(status_kib(r.pid, "RssAnon"));
    if (daemon) {
        // Between clients: the client ends and cannot be started again, so the
        // daemon tries again after pauses of 1, 2, 4 ... s.
        unlink("/opt/casterLink/bin/casterlink");
        close(r.feed);
        r.feed = open("/dev/null", O_WRONLY);
        sleep(2);
        measure_idle(r, seconds, &f.between_cpu, &f.between_wakeups);
    }
    stop(r);
    return f;
}

static std::string spread(std::vector<Figures> &runs, double Figures::*field, const char *fmt)
{
    std::vector<double> v;
    for (const Figures &f : runs)
        v.push_back(f.*field);
    std::sort(v.begin(), v.end());
    if (v.front() < 0 && v.back() < 0)
        return "-";
    char out[96];
    char a[24], b[24], c[24];
    snprintf(a, sizeof a, fmt, v.front());
    snprintf(b, sizeof b, fmt, v[v.size() / 2]);
    snprintf(c, sizeof c, fmt, v.back());
    snprintf(out, sizeof out, "%s / %s / %s", a, b, c);
    return out;
}

static double median(std::vector<Figures> &runs, double Figures::*field)
{
    std::vector<double> v;
    for (const Figures &f : runs)
        v.push_back(f.*field);
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int main(int argc, char **argv)
{
    int runs = 3, mib = 16, seconds = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--runs") == 0)
            runs = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--mib") == 0)
            mib = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--seconds") == 0)
            seconds = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--stream") == 0)
            stream_file = argv[i + 1];
        else if (strcmp(argv[i], "--daemon") == 0)
            daemon_binary = argv[i + 1];
    }
    if (geteuid() != 0 || system("command -v socat >/dev/null") != 0) {
        fprintf(stderr, "relay_bench: run as root, with socat installed\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    std::vector<Figures> d, s;
    for (int i = 0; i < runs; i++) {
        fprintf(stderr, "run %d of %d ...\n", i + 1, runs);
        d.push_back(run(true, static_cast<size_t>(mib) << 20, seconds));
        s.push_back(run(false, static_cast<size_t>(mib) << 20, seconds));
    }
    printf("relay pty -> pty, %d runs, min / median / max\n", runs);
    printf("%-34s %-30s %-30s %s\n", "", "rtkfeedd", "socat", "ratio");
    struct Row {
        const char *label;
        double Figures::*field;
        const char *fmt;
    } rows[] = {
        {"bytes lost of the integrity push", &Figures::lost, "%.0f"},
        {"first bad offset (-1: none)", &Figures::first_bad, "%.0f"},
        {"CPU s/MiB, unlimited", &Figures::cpu_unlimited, "%.3f"},
        {"CPU s/MiB, paced 2 KiB/s", &Figures::cpu_paced, "%.3f"},
        {"CPU s/s, real stream, an epoch a s", &Figures::stream_cpu, "%.5f"},
        {"wake-ups/s, real stream", &Figures::stream_wakeups, "%.1f"},
        {"real stream: epochs over 1 KiB played", &Figures::epochs_big, "%.0f"},
        {"real stream: last byte of an epoch over 1 KiB, median ms", &Figures::epoch_big_ms, "%.1f"},
        {"real stream: last byte of an epoch up to 1 KiB, median ms", &Figures::epoch_small_ms, "%.1f"},
        {"idle CPU s/s, client silent", &Figures::idle_cpu, "%.5f"},
        {"idle wake-ups/s, client silent", &Figures::idle_wakeups, "%.1f"},
        {"CPU s/s, client cannot start", &Figures::between_cpu, "%.5f"},
        {"wake-ups/s, client cannot start", &Figures::between_wakeups, "%.1f"},
        {"latency of 100 B, median ms", &Figures::latency_median, "%.1f"},
        {"latency of 100 B, max ms", &Figures::latency_max, "%.1f"},
        {"VmHWM KiB", &Figures::hwm, "%.0f"},
        {"RssAnon KiB (not shared)", &Figures::anon, "%.0f"},
    };
    for (const Row &row : rows) {
        double a = median(d, row.field), b = median(s, row.field);
        char ratio[32] = "-";
        if (b > 0 && a >= 0)
            snprintf(ratio, sizeof ratio, "%.2f", a / b);
        printf("%-34s %-30s %-30s %s\n", row.label, spread(d, row.field, row.fmt).c_str(),
               spread(s, row.field, row.fmt).c_str(), ratio);
    }
    printf("integrity push: %d MiB of random bytes; paced and idle: %d s each\n", mib, seconds);
    return 0;
}
