#include "settings/settings_internal.h"
#include "common/log.h"

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

// The value of a key without the blanks around it.
static std::string trimmed_value(FILE *f, const char *key)
{
    std::string v = settings_get_str(f, key);
    size_t from = v.find_first_not_of(" \t");
    if (from == std::string::npos)
        return "";
    return v.substr(from, v.find_last_not_of(" \t") - from + 1);
}

// A value the daemon cannot use is said once, at start-up, with what it
// uses instead: a typo must not quietly turn a limit off.
static void cannot_use(const char *key, const std::string &value, double fallback)
{
    log_warning("%s: cannot use \"%s\", using %g", key, value.c_str(), fallback);
}

unsigned settings_get_uint_or(FILE *f, const char *key, unsigned fallback, unsigned low,
                              unsigned high)
{
    std::string v = trimmed_value(f, key);
    if (v.empty())
        return fallback;
    unsigned long long n = 0;
    bool plain = v.size() <= 10 && v.find_first_not_of("0123456789") == std::string::npos;
    if (plain)
        n = strtoull(v.c_str(), nullptr, 10);
    if (!plain || n < low || n > high) {
        cannot_use(key, v, fallback);
        return fallback;
    }
    return static_cast<unsigned>(n);
}

double settings_get_double_or(FILE *f, const char *key, double fallback, double high)
{
    std::string v = trimmed_value(f, key);
    if (v.empty())
        return fallback;
    // Digits with at most one decimal point among or after them: no sign,
    // exponent, comma, unit or "nan".
    size_t digits = 0, points = 0;
    for (char c : v) {
        if (c >= '0' && c <= '9')
            digits++;
        else if (c == '.')
            points++;
        else
            points = 2;
    }
    double d = digits > 0 && digits <= 30 && points <= 1 && v[0] != '.' ? strtod(v.c_str(), nullptr)
                                                                          : -1;
    if (!(d >= 0 && d <= high)) {
        cannot_use(key, v, fallback);
        return fallback;
    }
    return d;
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
    // The keys added since: a day is the longest time, half the earth's
    // circumference the longest distance.
    cfg->stall_timeout = settings_get_uint_or(f, "MOD_NTRIP_STALL_TIMEOUT", 60, 0, 86400);
    cfg->nearest = settings_get_uint_or(f, "MOD_NTRIP_NEAREST", 0, 0, 4294967295u);
    cfg->max_baseline_km = settings_get_double_or(f, "MOD_NTRIP_MAX_BASELINE", 0, 20040);
    cfg->switch_margin_km = settings_get_double_or(f, "MOD_NTRIP_SWITCH_MARGIN", 2, 20040);
    cfg->fallback = settings_get_str(f, "MOD_NTRIP_FALLBACK");
    cfg->failover_after = settings_get_uint_or(f, "MOD_NTRIP_FAILOVER_AFTER", 3, 1, 1000);
    cfg->nofix_timeout = settings_get_uint_or(f, "MOD_NTRIP_NOFIX_TIMEOUT", 0, 0, 86400);
    cfg->metrics_file = settings_get_str(f, "MOD_NTRIP_METRICS_FILE");
    if (f)
        fclose(f);
}

void load_settings(Config *cfg)
{
    load_settings_from(cfg, "/opt/casterLink/etc/settings");
}
