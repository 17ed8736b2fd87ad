// rinexcast: plays RINEX observations as RTCM 3, as a receiver or a
// reference station sends them. The base's stream goes to standard output:
// its station (1005, or 1006 with an antenna height), MSM4 observations
// (1074, and 1084 for GLONASS) and GPS ephemerides (1019); a rover's, when given, to one TCP client on
// a loopback port: the same observations and its own ephemerides.
//   rinexcast --nav NAV --base OBS [--position X,Y,Z] [--station N]
//             [--speed N] [--rover OBS --rover-port PORT [--echo PORT]]
// --speed N: epochs a second (0: as fast as they are read; default 1).
// --echo PORT: a loopback TCP server that echoes what the rover's engine
// has read of the base stream (rtkrcv's log stream): an engine pairs each
// rover epoch with the latest base epoch it has, so rover epoch k goes out
// once base epoch k has been read there, waiting at most 2 s. Until the
// first base epoch is read (the corrections do not flow yet), the first
// epochs are sent again every second and the clock does not start.
// Dates are moved by whole GPS weeks so that a decoder that takes the week
// from its clock, as receivers do, dates them right: only the ephemerides'
// week field changes.
#include "rinex.h"
#include "rtcm.h"
#include "rtcm_encode.h"
#include "support.h"

#include <arpa/inet.h>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Stream {
    int fd = -1;
    unsigned station = 0;
    ObsFile obs;
    MsmArcs arcs;
    std::map<int, double> sent_iode;  // by prn
};

// The ephemeris of a satellite nearest to time t (GPS seconds), or null.
const GpsEph *ephemeris_at(const std::vector<GpsEph> &nav, int prn, double t)
{
    const GpsEph *best = nullptr;
    double best_gap = 7200 + 1;
    for (const GpsEph &e : nav) {
        double gap = std::fabs(e.week * 604800 + e.toe - t);
        if (e.prn == prn && gap < best_gap) {
            best = &e;
            best_gap = gap;
        }
    }
    return best;
}

std::string epoch_stream(Stream *s, size_t k, const std::vector<GpsEph> &nav, int week_shift,
                         bool with_station, const double position[3], double height)
{
    const ObsEpoch &e = s->obs.epochs[k];
    std::string out;
    if (with_station)
        out += encode_station(s->station, position, height, s->obs.glonass);
    out += encode_msm4(s->station, e, 'G', &s->arcs, s->obs.glonass);
    if (s->obs.glonass)
        out += encode_msm4(s->station, e, 'R', &s->arcs, false);
    // Observations before ephemerides; an ephemeris when it is new.
    double t = e.time.week * 604800.0 + e.time.tow;
    for (const SatObs &o : e.sats) {
        const GpsEph *eph = o.system == 'G' ? ephemeris_at(nav, o.prn, t) : nullptr;
        if (!eph)
            continue;
        auto sent = s->sent_iode.find(o.prn);
        if (sent != s->sent_iode.end() && sent->second == eph->iode)
            continue;
        s->sent_iode[o.prn] = eph->iode;
        out += encode_1019(*eph, static_cast<int>(eph->week) + week_shift);
    }
    return out;
}

int load_obs(const char *path, ObsFile *obs)
{
    std::string text, error;
    if (read_text(path, &text, &error) != 0 || parse_obs(text, path, obs, &error) != 0) {
        fprintf(stderr, "rinexcast: %s\n", error.c_str());
        return -1;
    }
    for (const ObsEpoch &e : obs->epochs)
        for (const SatObs &s : e.sats)
            if (s.system == 'R' && s.channel == no_channel) {
                fprintf(stderr, "rinexcast: %s: no frequency channel of GLONASS R%02d in the "
                                "header (GLONASS SLOT / FRQ #): its phases are left out\n",
                        path, s.prn);
                return 0;
            }
    return 0;
}

// What the engine has read of the base stream: the time of week of the
// last MSM it got, from whole frames with a correct CRC.
struct Echo {
    int fd = -1;
    std::string pending;
    double tow = -1;
    void take(const char *data, size_t n)
    {
        pending.append(data, n);
        for (;;) {
            size_t at = pending.find('\xD3');
            if (at == std::string::npos) {
                pending.clear();
                return;
            }
            pending.erase(0, at);
            if (pending.size() < 6)
                return;
            size_t len = (static_cast<uint8_t>(pending[1]) & 3) << 8 | static_cast<uint8_t>(pending[2]);
            if (pending.size() < len + 6)
                return;
            const uint8_t *f = reinterpret_cast<const uint8_t *>(pending.data());
            uint32_t crc = static_cast<uint32_t>(f[3 + len]) << 16 | f[4 + len] << 8 | f[5 + len];
            if (crc24q(f, 3 + len) != crc) {
                pending.erase(0, 1);
                continue;
            }
            unsigned type = len >= 2 ? (f[3] << 4 | f[4] >> 4) : 0;
            if (type == 1074 && len >= 7) {
                uint64_t ms = 0;
                for (unsigned i = 24; i < 54; i++)
                    ms = ms << 1 | ((f[3 + i / 8] >> (7 - i % 8)) & 1);
                tow = static_cast<double>(ms) / 1000;
            }
            pending.erase(0, len + 6);
        }
    }
    // Reads what has come, waiting up to ms for something.
    void poll_for(int ms)
    {
        pollfd p = {fd, POLLIN, 0};
        if (fd < 0 || poll(&p, 1, ms) <= 0)
            return;
        char buf[8192];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            take(buf, static_cast<size_t>(n));
        else if (n == 0) {
            close(fd);
            fd = -1;
        }
    }
};

int connect_loopback(int port)
{
    for (int i = 0; i < 100; i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
            return fd;
        close(fd);
        usleep(100 * 1000);
    }
    return -1;
}

double monotonic_now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int accept_one(int port)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(listener, 1) != 0) {
        perror("rinexcast: rover port");
        return -1;
    }
    // The engine connects within a minute, or it is not coming.
    pollfd p = {listener, POLLIN, 0};
    int fd = poll(&p, 1, 60000) == 1 ? accept(listener, nullptr, nullptr) : -1;
    if (fd < 0)
        fprintf(stderr, "rinexcast: nobody connected to the rover port %d\n", port);
    close(listener);
    return fd;
}

}  // namespace

int main(int argc, char **argv)
{
    const char *nav_path = nullptr, *base_path = nullptr, *rover_path = nullptr;
    double speed = 1, position[3] = {0, 0, 0};
    bool have_position = false;
    unsigned station = 0;
    int rover_port = 0, echo_port = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string opt = argv[i];
        const char *v = argv[i + 1];
        if (opt == "--nav")
            nav_path = v;
        else if (opt == "--base")
            base_path = v;
        else if (opt == "--rover")
            rover_path = v;
        else if (opt == "--rover-port")
            rover_port = atoi(v);
        else if (opt == "--echo")
            echo_port = atoi(v);
        else if (opt == "--speed")
            speed = atof(v);
        else if (opt == "--station")
            station = static_cast<unsigned>(atoi(v)) & 0xFFF;
        else if (opt == "--position")
            have_position = sscanf(v, "%lf,%lf,%lf", &position[0], &position[1], &position[2]) == 3;
        else {
            fprintf(stderr, "rinexcast: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    if (!nav_path || !base_path || (rover_path && rover_port <= 0) || speed < 0) {
        fprintf(stderr, "usage: rinexcast --nav NAV --base OBS [--position X,Y,Z] [--station N] "
                        "[--speed N] [--rover OBS --rover-port PORT]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    std::string text, error;
    std::vector<GpsEph> nav;
    if (read_text(nav_path, &text, &error) != 0 || parse_nav(text, nav_path, &nav, &error) != 0) {
        fprintf(stderr, "rinexcast: %s\n", error.c_str());
        return 1;
    }
    Stream base, rover;
    base.fd = 1;
    base.station = station;
    if (load_obs(base_path, &base.obs) != 0 || (rover_path && load_obs(rover_path, &rover.obs) != 0))
        return 1;
    if (!have_position)
        memcpy(position, base.obs.position, sizeof position);
    if (rover_path && (rover.fd = accept_one(rover_port)) < 0)
        return 1;
    Echo echo;
    if (rover.fd >= 0 && echo_port > 0 && (echo.fd = connect_loopback(echo_port)) < 0) {
        fprintf(stderr, "rinexcast: no echo on port %d\n", echo_port);
        return 1;
    }
    const ObsEpoch &first = base.obs.epochs[0];
    int week_shift = week_nearest(first.time.tow, gps_seconds(static_cast<double>(time(nullptr)))) -
                     first.time.week;
    size_t r = 0;
    auto send_rover_until = [&](double t) {
        for (; rover.fd >= 0 && r < rover.obs.epochs.size(); r++) {
            const GpsTime &rt = rover.obs.epochs[r].time;
            if (rt.week * 604800.0 + rt.tow > t + 0.5)
                break;
            std::string ro = epoch_stream(&rover, r, nav, week_shift, false, position, 0);
            if (!write_all(rover.fd, ro.data(), ro.size()))
                return false;
        }
        return true;
    };
    // Until the engine reads the base, the first epochs again every second.
    for (int i = 0; echo.fd >= 0 && echo.tow < 0 && i < 120; i++) {
        Stream again_base = base, again_rover = rover;
        std::string out = epoch_stream(&again_base, 0, nav, week_shift, true, position,
                                       base.obs.antenna_height);
        if (!write_all(base.fd, out.data(), out.size()))
            return 0;
        std::string ro = epoch_stream(&again_rover, 0, nav, week_shift, false, position, 0);
        if (!write_all(rover.fd, ro.data(), ro.size()))
            return 0;
        for (double until = monotonic_now() + 1; echo.tow < 0 && monotonic_now() < until;)
            echo.poll_for(100);
    }
    double start = monotonic_now();
    for (size_t k = 0; k < base.obs.epochs.size(); k++) {
        if (speed > 0) {
            double wait = start + static_cast<double>(k) / speed - monotonic_now();
            if (wait > 0)
                usleep(static_cast<useconds_t>(wait * 1e6));
        }
        std::string out = epoch_stream(&base, k, nav, week_shift, true, position,
                                       base.obs.antenna_height);
        if (!write_all(base.fd, out.data(), out.size()))
            return 0;  // the reader has gone
        // The rover's epochs of this time, once the engine has read this
        // base epoch, or 2 s later.
        const ObsEpoch &e = base.obs.epochs[k];
        double t = e.time.week * 604800.0 + e.time.tow;
        for (double until = monotonic_now() + 2; echo.fd >= 0 && echo.tow < e.time.tow - 0.5 &&
                                                 monotonic_now() < until;)
            echo.poll_for(20);
        if (!send_rover_until(t))
            return 0;
    }
    return 0;
}
