// Within the health subsystem, its tests and its fuzz target.
#pragma once

#include "health/health.h"

#include <map>
#include <string>

// Reads the report's JSON into flat keys ("client.pid", "corrections.types.1005");
// 0, or -1 when it is not such a report. A string's bytes beyond ASCII,
// which the daemon writes escaped one by one, come back as those bytes with
// raw_bytes, else as '?' like control characters.
int parse_report(const std::string &json, std::map<std::string, std::string> *out,
                 bool raw_bytes = false);

// The daemon that a parsed report names.
ReportedDaemon reported_daemon(const std::map<std::string, std::string> &report);
// Whether it still runs: the same pid with the same start time.
bool reported_daemon_alive(const std::map<std::string, std::string> &report);
// Reads and parses the report at path for `--status` and `--metrics`; 0, or
// -1 after saying why not on standard error.
int load_report(const char *path, std::map<std::string, std::string> *report, bool raw_bytes);

// The metrics of a parsed report; up: whether its daemon runs. Unknown
// values are left out.
std::string metrics_text(const std::map<std::string, std::string> &report, bool up);
// The length of the whole UTF-8 sequence at p (n > 0 bytes there), 1 for
// ASCII; 0 when the byte there does not begin one.
size_t utf8_length(const unsigned char *p, size_t n);
// A label's value as the exposition format takes it: valid UTF-8 (a bad
// byte becomes U+FFFD) with backslash, double quote and newline escaped.
std::string label_value(const std::string &s);

// The summary `--status` prints, as of now, for a daemon alive or not.
std::string status_summary(const std::map<std::string, std::string> &report, double now,
                           bool alive);

// WGS-84: ECEF metres and geodetic degrees and metres above the ellipsoid.
void ecef_to_geodetic(const double xyz[3], double *latitude, double *longitude, double *height);
void geodetic_to_ecef(double latitude, double longitude, double height, double xyz[3]);
