// RINEX 2.10 and 3.x observation files and GPS navigation files, read for
// rinexcast: the GPS and GLONASS observations on L1 and L2 and the GPS
// broadcast ephemerides. A file that does not parse gives a message naming the file
// and the line.
#pragma once

#include <string>
#include <vector>

// GPS time: week and seconds of the week.
struct GpsTime {
    int week = 0;
    double tow = 0;
};
GpsTime gps_time(int year, int month, int day, int hour, int minute, double second);

// One satellite's observations in an epoch: pseudorange (m) and phase
// (cycles) on L1 (0) and L2 (1); 0 where there is none. lli: the loss of
// lock indicator of each phase.
const int no_channel = 99;
struct SatObs {
    char system = 'G';         // 'G' GPS, 'R' GLONASS
    int prn = 0;
    int channel = no_channel;  // GLONASS frequency channel (-7 to 6), when known
    double code[2] = {0, 0};
    double phase[2] = {0, 0};
    int lli[2] = {0, 0};
};

struct ObsEpoch {
    GpsTime time;
    std::vector<SatObs> sats;  // GPS and GLONASS, in file order
};

struct ObsFile {
    double version = 0;
    std::string marker;
    double position[3] = {0, 0, 0};  // APPROX POSITION XYZ
    double antenna_height = 0;       // ANTENNA: DELTA H/E/N
    std::vector<ObsEpoch> epochs;    // those with flag 0 or 1
    bool glonass = false;            // GLONASS observations in some epoch
};

// Parses an observation file's text; 0, or -1 with *error "NAME:LINE: why".
int parse_obs(const std::string &text, const std::string &name, ObsFile *out, std::string *error);

// A GPS broadcast ephemeris, in the units of the navigation file (radians,
// seconds, metres).
struct GpsEph {
    int prn = 0;
    GpsTime toc;
    double af0 = 0, af1 = 0, af2 = 0;
    double iode = 0, crs = 0, delta_n = 0, m0 = 0;
    double cuc = 0, e = 0, cus = 0, sqrt_a = 0;
    double toe = 0, cic = 0, omega0 = 0, cis = 0;
    double i0 = 0, crc = 0, omega = 0, omega_dot = 0;
    double idot = 0, codes_l2 = 0, week = 0, l2p_flag = 0;
    double accuracy = 0, health = 0, tgd = 0, iodc = 0;
    double fit = 0;
};

// Parses a GPS navigation file's text (RINEX 2.x or 3.x, GPS records);
// 0, or -1 with *error "NAME:LINE: why".
int parse_nav(const std::string &text, const std::string &name, std::vector<GpsEph> *out,
              std::string *error);

// Reads a whole file; 0 or -1 with *error.
int read_text(const std::string &path, std::string *text, std::string *error);
