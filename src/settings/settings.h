// The settings file and the configuration record.
#pragma once

#include <string>

struct Config {
    unsigned enabled;
    std::string ipaddr;
    unsigned port;
    std::string username;
    std::string password;
    std::string mountpoint;
    unsigned reconnint;
    unsigned send_nmea;
    unsigned nmea_int;
    unsigned source;
    unsigned source_baudrate;
    unsigned source_databits;
    std::string source_parity;
    unsigned source_stopbits;
    unsigned target;
    unsigned target_baudrate;
    unsigned target_databits;
    std::string target_parity;
    unsigned target_stopbits;
    std::string latitude;
    std::string longitude;
    std::string height;
    // Seconds without a byte from the client before it is restarted; 0 off.
    unsigned stall_timeout;
    // The choice of base: the nearest mountpoint of the caster, the
    // longest baseline chosen by distance (km, 0 no limit), the margin a
    // nearer base must win by (km), alternates, failed runs before the next
    // candidate, and seconds without a differential fix while corrections
    // arrive before the next (0 off).
    unsigned nearest;
    double max_baseline_km;
    double switch_margin_km;
    std::string fallback;
    unsigned failover_after;
    unsigned nofix_timeout;
    // Where the metrics go for a textfile collector; empty: nowhere.
    std::string metrics_file;
};

// Fills every field from "/opt/casterLink/etc/settings"; a missing file
// gives empty strings and zeros.
void load_settings(Config *cfg);

// The device path for a TARGET or SOURCE index, or null outside the table.
const char *interface_path(unsigned index);
