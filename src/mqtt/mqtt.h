// The telemetry publisher, rtkfeedd-mqtt: a program of its own beside the
// daemon, which never waits on a network. It publishes the daemon's report
// to an MQTT broker, from the vehicle outwards through the carrier's NAT.
// What it decides is here, pure; the connection and the loop are in
// publisher.cpp, start-up in main.cpp.
#pragma once

#include <cstdio>
#include <map>
#include <string>

struct MqttSettings {
    std::string host;                // empty: telemetry is off
    unsigned port = 1883;            // 8883 by default with a CA file
    std::string username, password;
    std::string cafile;              // set: TLS 1.2 or later, the broker verified
    std::string prefix;              // topics PREFIX/state and PREFIX/up
    unsigned interval = 60;          // s between reports in which only counters changed
};

// The publisher's keys of the settings file (f may be null); hostname
// makes the default prefix "rtkfeedd/HOSTNAME". A value that cannot be used
// is logged and its default taken.
void load_mqtt_settings(FILE *f, const std::string &hostname, MqttSettings *s);

// The client id of a persistent session: "rtkfeedd-" and the prefix with
// each "/" made "-".
std::string mqtt_client_id(const std::string &prefix);

// A report as parse_report reads it (flat keys).
typedef std::map<std::string, std::string> ReportKeys;
// Whether b differs from a in what a fleet watches: the status, whether
// the client runs, the receiver's fix quality or the base's mountpoint.
bool state_changed(const ReportKeys &a, const ReportKeys &b);
// Whether b differs from a in anything but the time it was written.
bool report_changed(const ReportKeys &a, const ReportKeys &b);
