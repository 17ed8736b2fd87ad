// rinexcast: plays RINEX observations as RTCM 3, as a receiver or a
// reference station sends them. The base's stream goes to standard output:
// its station (1005, or 1006 with an antenna height), MSM4 observations
// and GPS ephemerides (1019); a rover's, when given, to one TCP client on
// a loopback port: the same observations and its own ephemerides.
//   rinexcast --nav NAV --base OBS [--position X,Y,Z] [--station N]
//             [--speed N] [--rover OBS --rover-port PORT]
// --speed N: epochs a second (0: as fast as they are read; default 1).
// Dates are moved by whole GPS weeks so that a decoder that takes the week
// from its clock, as receivers do, dates them right: only the ephemerides'
// week field changes.
#include "rinex.h"
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
        out += encode_station(s->station, position, height);
    out += encode_msm4(s->station, e, &s->arcs, false);
    // Observations before ephemerides; an ephemeris when it is new.
    double t = e.time.week * 604800.0 + e.time.tow;
    for (const SatObs &o : e.sats) {
        const GpsEph *eph = ephemeris_at(nav, o.prn, t);
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
    return 0;
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
    int fd = accept(listener, nullptr, nullptr);
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
    int rover_port = 0;
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
    const ObsEpoch &first = base.obs.epochs[0];
    int week_shift = week_nearest(first.time.tow, gps_seconds(static_cast<double>(time(nullptr)))) -
                     first.time.week;
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    size_t r = 0;
    for (size_t k = 0; k < base.obs.epochs.size(); k++) {
        if (speed > 0) {
            double at = static_cast<double>(k) / speed;
            timespec due = start;
            due.tv_sec += static_cast<time_t>(at);
            due.tv_nsec += static_cast<long>((at - std::floor(at)) * 1e9);
            if (due.tv_nsec >= 1000000000) {
                due.tv_sec++;
                due.tv_nsec -= 1000000000;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
        }
        std::string out = epoch_stream(&base, k, nav, week_shift, true, position,
                                       base.obs.antenna_height);
        if (!write_all(base.fd, out.data(), out.size()))
            return 0;  // the reader has gone
        // The rover's epochs up to this one's time.
        double t = base.obs.epochs[k].time.week * 604800.0 + base.obs.epochs[k].time.tow;
        for (; rover.fd >= 0 && r < rover.obs.epochs.size(); r++) {
            const GpsTime &rt = rover.obs.epochs[r].time;
            if (rt.week * 604800.0 + rt.tow > t + 0.5)
                break;
            std::string ro = epoch_stream(&rover, r, nav, week_shift, false, position, 0);
            if (!write_all(rover.fd, ro.data(), ro.size()))
                return 0;
        }
    }
    return 0;
}
