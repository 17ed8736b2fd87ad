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
    bool insecure = false;           // an account may go in clear: MOD_NTRIP_MQTT_INSECURE=1
};

// The publisher's keys of the settings file (f may be null); hostname
// makes the default prefix "rtkfeedd/HOSTNAME". A value that cannot be used
// is logged and its default taken, and so is a key of the publisher's
// prefix that it does not know (a misspelt CA file must not go unseen).
void load_mqtt_settings(FILE *f, const std::string &hostname, MqttSettings *s);
// Why the publisher must not start with these settings (an account that
// would go in clear), or empty.
std::string mqtt_refusal(const MqttSettings &s);

// The pace of the state on the broker: a change of state goes at once,
// further changes at most one every STATE_EVERY_MS (the latest at the end
// of that time), counters alone at most every interval.
enum { STATE_EVERY_MS = 10000 };
struct PublishPace {
    long long state_at = -1;  // when a change of state last went (monotonic ms)
    long long any_at = -1;    // when anything last went
};
// When the report may go (<= now: now), given whether it differs from the
// one last published in its state.
long long publish_time(const PublishPace &p, bool state_change, long long now, unsigned interval_s);
void note_published(PublishPace *p, bool state_change, long long now);

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
