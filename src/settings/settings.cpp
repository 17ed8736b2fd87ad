#include "settings/settings_internal.h"

#include <cmath>
#include <cstring>
#include <strings.h>

static const char *const interfaces[] = {
    "/dev/ttyS0", "/dev/ttyS1", "/dev/nmea", "/dev/nmea_gen", "/dev/ntrip",
};

// Lines are read into one buffer; a value points into it until the next
// lookup, which is why the getters copy it at once.
static char line_buf[16384];

const char *interface_path(unsigned index)
{
    if (index >= sizeof interfaces / sizeof interfaces[0])
        return nullptr;
    return interfaces[index];
}

const char *settings_match_line(char *line, const char *key)
{
    line[strcspn(line, "\r")] = '\0';
    line[strcspn(line, "\n")] = '\0';
    char *quote = strrchr(line, '"');
    if (quote)
        *quote = '\0';
    char *eq = strchr(line, '=');
    if (!eq)
        return nullptr;
    *eq = '\0';
    if (strcasecmp(line, key) != 0)
        return nullptr;
    const char *value = eq + 1;
    if (*value == '"')
        value++;
    return value;
}

const char *settings_find(FILE *f, const char *key)
{
    while (fgets(line_buf, sizeof line_buf, f)) {
        const char *value = settings_match_line(line_buf, key);
        if (value)
            return value;
    }
    return nullptr;
}

std::string settings_get_str(FILE *f, const char *key)
{
    if (!f)
        return std::string();
    rewind(f);
    const char *value = settings_find(f, key);
    return value ? std::string(value) : std::string();
}

unsigned settings_get_uint(FILE *f, const char *key)
{
    if (!f)
        return 0;
    rewind(f);
    const char *value = settings_find(f, key);
    unsigned n = 0;
    if (!value || sscanf(value, "%u", &n) != 1)
        return 0;
    return n;
}

unsigned settings_get_uint_or(FILE *f, const char *key, unsigned fallback)
{
    if (settings_get_str(f, key).empty())
        return fallback;
    return settings_get_uint(f, key);
}

double settings_get_double_or(FILE *f, const char *key, double fallback)
{
    std::string value = settings_get_str(f, key);
    char *end = nullptr;
    double v = strtod(value.c_str(), &end);
    if (value.empty() || end == value.c_str() || *end != '\0' || !std::isfinite(v) || v < 0)
        return fallback;
    return v;
}

void load_settings_from(Config *cfg, const char *path)
{
    FILE *f = fopen(path, "re");
    cfg->enabled = settings_get_uint(f, "MOD_NTRIP_ENABLED");
    cfg->ipaddr = settings_get_str(f, "MOD_NTRIP_IPADDR");
    cfg->port = settings_get_uint(f, "MOD_NTRIP_PORT");
    cfg->username = settings_get_str(f, "MOD_NTRIP_USERNAME");
    cfg->password = settings_get_str(f, "MOD_NTRIP_PASSWORD");
    cfg->mountpoint = settings_get_str(f, "MOD_NTRIP_MOUNTPOINT");
    cfg->reconnint = settings_get_uint(f, "MOD_NTRIP_RECONNINT");
    cfg->target = settings_get_uint(f, "MOD_NTRIP_TARGET");
    cfg->target_baudrate = settings_get_uint(f, "MOD_NTRIP_TARGET_BAUDRATE");
    cfg->target_databits = settings_get_uint(f, "MOD_NTRIP_TARGET_DATABITS");
    cfg->target_parity = settings_get_str(f, "MOD_NTRIP_TARGET_PARITY");
    cfg->target_stopbits = settings_get_uint(f, "MOD_NTRIP_TARGET_STOPBITS");
    cfg->send_nmea = settings_get_uint(f, "MOD_NTRIP_SEND_NMEA");
    cfg->nmea_int = settings_get_uint(f, "MOD_NTRIP_NMEA_INT");
    cfg->source = settings_get_uint(f, "MOD_NTRIP_SOURCE");
    cfg->source_baudrate = settings_get_uint(f, "MOD_NTRIP_SOURCE_BAUDRATE");
    cfg->source_databits = settings_get_uint(f, "MOD_NTRIP_SOURCE_DATABITS");
    cfg->source_parity = settings_get_str(f, "MOD_NTRIP_SOURCE_PARITY");
    cfg->source_stopbits = settings_get_uint(f, "MOD_NTRIP_SOURCE_STOPBITS");
    cfg->latitude = settings_get_str(f, "MOD_NTRIP_LATITUDE");
    cfg->longitude = settings_get_str(f, "MOD_NTRIP_LONGTITUDE");
    cfg->height = settings_get_str(f, "MOD_NTRIP_HEIGHT");
    // Routers whose web interface does not know the key are protected too.
    cfg->stall_timeout = settings_get_uint_or(f, "MOD_NTRIP_STALL_TIMEOUT", 60);
    cfg->nearest = settings_get_uint(f, "MOD_NTRIP_NEAREST");
    cfg->max_baseline_km = settings_get_double_or(f, "MOD_NTRIP_MAX_BASELINE", 0);
    cfg->switch_margin_km = settings_get_double_or(f, "MOD_NTRIP_SWITCH_MARGIN", 2);
    cfg->fallback = settings_get_str(f, "MOD_NTRIP_FALLBACK");
    cfg->failover_after = settings_get_uint_or(f, "MOD_NTRIP_FAILOVER_AFTER", 3);
    cfg->nofix_timeout = settings_get_uint(f, "MOD_NTRIP_NOFIX_TIMEOUT");
    cfg->metrics_file = settings_get_str(f, "MOD_NTRIP_METRICS_FILE");
    if (f)
        fclose(f);
}

void load_settings(Config *cfg)
{
    load_settings_from(cfg, "/opt/casterLink/etc/settings");
}
