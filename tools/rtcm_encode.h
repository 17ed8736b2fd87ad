// RTCM 3 messages from RINEX data, for rinexcast: the station (1005/1006),
// GPS and GLONASS observations as MSM4 (1074, 1084) and GPS ephemerides
// (1019).
#pragma once

#include "rinex.h"

#include <cstdint>
#include <map>
#include <string>

// 1005 (height 0) or 1006 (with the antenna height), ECEF metres; glonass
// says that the station sends GLONASS observations too.
std::string encode_station(unsigned station, const double xyz[3], double antenna_height,
                           bool glonass);

// The phase of each satellite's arc is moved by whole cycles next to its
// pseudorange (MSM's fine phase range spans only about 1 km around it), and
// its lock time counts from the arc's start; both kept from epoch to epoch.
struct MsmArcs {
    struct Arc {
        double cycles = 0;     // subtracted from the RINEX phase
        double start = -1;     // GPS seconds of the arc's first epoch
        double last = -1;      // of its latest
    };
    std::map<int, Arc> arcs;   // by (prn, 100 + prn for GLONASS) * 2 + frequency
};

// The MSM4 of one epoch's observations of one system, 'G' (1074) or 'R'
// (1084): L1 C/A and L2 P, signals 2 and 9. A GLONASS satellite's phase
// goes out only when its frequency channel is known. multiple says that
// another MSM of the same epoch follows.
std::string encode_msm4(unsigned station, const ObsEpoch &epoch, char system, MsmArcs *arcs,
                        bool multiple);

// 1019 of an ephemeris, its week field set to week (modulo 1024).
std::string encode_1019(const GpsEph &e, int week);

// The MSM lock time indicator (DF402) for a lock of ms milliseconds.
unsigned lock_indicator(double ms);

// The GPS week in which a time of week lies nearest to now (GPS seconds
// since the start of GPS time): the week a decoder that takes the week
// from its clock gives it.
int week_nearest(double tow, double now_gps);
// GPS seconds since the start of GPS time from Unix time (18 leap seconds).
double gps_seconds(double unix_time);
