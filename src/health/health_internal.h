// Within the health subsystem, its tests and its fuzz target.
#pragma once

#include <map>
#include <string>

// Reads the report's JSON into flat keys ("client.pid", "corrections.types.1005");
// 0, or -1 when it is not such a report.
int parse_report(const std::string &json, std::map<std::string, std::string> *out);

// The summary `--status` prints, as of now, for a daemon alive or not.
std::string status_summary(const std::map<std::string, std::string> &report, double now,
                           bool alive);

// WGS-84: ECEF metres and geodetic degrees and metres above the ellipsoid.
void ecef_to_geodetic(const double xyz[3], double *latitude, double *longitude, double *height);
void geodetic_to_ecef(double latitude, double longitude, double height, double xyz[3]);
