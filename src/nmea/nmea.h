// Position sentences for the client: taken from the source device, or
// generated from the configured fixed position.
#pragma once

#include <pthread.h>

struct Config;

enum { SENTENCE_SIZE = 256 };

// Takes the source for one cycle and waits for a valid GGA sentence. A
// source line of its own that goes away meanwhile is reopened after 1 s,
// 2 s, 4 s ... at most 30 s, its lock kept. Either way *source_fd is what
// the cycle relays and releases: the target itself when source equals
// target, a descriptor of its own, or left as it was when nothing was
// opened.
enum NmeaReady {
    NMEA_READY,        // the sentence is ready
    NMEA_FAILED,       // a fatal error (logged) or, when stop_requested() says so, a stop
    NMEA_TARGET_GONE,  // the source is the target line, and it went away
};
NmeaReady prepare_nmea(const Config &cfg, int target_fd, char sentence[SENTENCE_SIZE],
                       int *source_fd);

// What the receiver itself says of the corrections it gets, from the last
// valid GGA (any GNSS talker, checksum present and correct) seen in the
// bytes relayed from the source. Negative (or 0 for last_gga) while unknown.
struct ReceiverView {
    int fix_quality = -1;        // field 6: 4 RTK fixed, 5 RTK float
    int satellites = -1;         // field 7
    double age = -1;             // field 13, seconds since the last corrections
    double last_gga = 0;         // Unix time it was seen
    // The position of the last of those with a fix (quality 1 or better):
    // degrees, and metres above the ellipsoid (altitude plus geoid
    // separation); positions counts them.
    double latitude = 0, longitude = 0, height = 0;
    unsigned long positions = 0;
    char line[128];              // the line being gathered across bursts
    size_t have = 0;
};
// Feeds bytes relayed from the source; keeps its place across bursts.
void watch_receiver(ReceiverView *v, const char *data, size_t n, double now);

// A coordinate as NMEA and the settings write it, ddmm.mmmm or
// dddmm.mmmm (negative is south or west), in degrees; NaN when it is not a
// number.
double ddmm_degrees(const char *text);

// Publishes "/dev/nmea_gen" and starts the generator thread, which writes a
// sentence into it each second until a stop is requested, then removes the
// link. Publishing first means the link is there for the first cycle.
// Returns 0 when the thread runs, else -1.
int start_generator(const Config *cfg, pthread_t *thread);
