// The health report: "/run/rtkfeedd.json", which the router shows, and the
// summary that `rtkfeedd --status` prints from it.
#pragma once

#include "nmea/nmea.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// What a passive RTCM 3 framer sees in the relayed stream. It never changes
// or delays a byte, and keeps its place across bursts.
struct RtcmCounts {
    uint64_t frames = 0;
    uint64_t crc_failures = 0;
    std::map<unsigned, uint64_t> types;
    double last_frame = 0;  // Unix time, 0 while none
    int station = -1;       // of the last 1005/1006, -1 while none
    // Its antenna reference point, ECEF metres.
    bool have_arp = false;
    double arp[3] = {0, 0, 0};
    // The frame being gathered: preamble, two length bytes, at most 1023
    // bytes of message and three of CRC.
    uint8_t frame[3 + 1023 + 3];
    size_t have = 0;
    // Bytes ahead of a frame that failed its CRC; it counts as a failure
    // once they have all gone by without a whole frame among them.
    size_t failed_left = 0;
};
void rtcm_feed(RtcmCounts *c, const uint8_t *data, size_t n, double now);
// Whether buf holds one or more whole RTCM 3 frames with good CRCs and
// nothing else.
bool rtcm_frames_whole(const char *buf, size_t n);
// Whether a burst of n bytes, coming where the relayed stream stands as
// the framer c has followed it (c: the RtcmCounts), ends exactly where a
// whole frame with a good CRC ends, all of the burst whole frames: then it
// can go to the receiver at once, however the epoch was cut into bursts
// (one that filled the relay's buffer leaves the next in mid-frame).
bool rtcm_burst_ends_whole(const char *buf, size_t n, const void *c);

struct Health {
    int status = 1;
    int pid = 0;
    double started = 0;
    long long proc_start = -1;  // the daemon's start in clock ticks after boot
    // The client. Times are Unix seconds, 0 while unknown.
    bool running = false;
    int client_pid = 0;
    uint64_t starts = 0;
    double last_start = 0, last_end = 0;
    std::string last_exit;  // empty while unknown
    unsigned failures_in_a_row = 0;
    double next_start = 0;
    uint64_t stalls = 0;
    // The last line the client wrote to its standard error, and when.
    std::string said;
    double said_at = 0;
    // The target line.
    std::string device;
    bool target_open = false;
    uint64_t target_bytes = 0, dropped_bytes = 0;
    RtcmCounts corrections;
    // The position: the source device (empty when none) and the last
    // sentence handed to the client.
    std::string source, sentence;
    uint64_t bytes_to_client = 0;
    ReceiverView receiver;
    uint64_t log_dropped = 0;
    // The base in use: its mountpoint and caster ("host:port"), how it was
    // chosen, its distance by the table (negative while unknown), and the
    // switches by distance.
    struct {
        std::string mountpoint, caster, chosen;
        double distance_km = -1;
        uint64_t switches = 0;
        double last_switch = 0;
        std::string last_switch_reason;
    } base;
    // The receiver's position as the daemon knows it (its GGA, or the
    // generator's fixed position): degrees, metres above the ellipsoid.
    bool have_position = false;
    double latitude = 0, longitude = 0, height = 0;
};

// Unix time in seconds, to the microsecond.
double unix_now();

// The report as one JSON object.
std::string health_json(const Health &h, double now);

// Writes the report, as health_json made it, whole (0644); 0 or -1.
int write_health(const std::string &json);
// Writes the metrics of that same report whole at path (0644; a link there
// is replaced, not written through); up: whether the daemon goes on
// running. 0 or -1.
int write_metrics(const char *path, const std::string &json, bool up);

// The daemon that wrote a report, as the report names it.
struct ReportedDaemon {
    int pid = 0;
    long long proc_start = -1;  // -1 when the report does not say
    int status = -1;
};
// 0 when read; -1 with errno when there is no report to read: ENOENT when
// nothing is there, EINVAL when it is not a regular file, EBADMSG when it
// is not a report.
int read_report_daemon(const char *path, ReportedDaemon *d);

// A status code in words ("position sent, client running").
const char *status_words(int status);

// `rtkfeedd --metrics`: prints the report at path as Prometheus metrics;
// returns as print_status does.
int print_metrics(const char *path);

// `rtkfeedd --status`: prints a summary of the report at path; returns 0
// when the daemon named in it is alive (the same process: its pid and its
// start time), else 1.
int print_status(const char *path);
