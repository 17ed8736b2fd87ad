#include "mqtt/mqtt.h"
#include "common/log.h"
#include "health/health_internal.h"
#include "settings/settings_internal.h"

#include <algorithm>
#include <cstring>
#include <strings.h>
#include <vector>

std::string mqtt_client_id(const std::string &prefix)
{
    std::string id = "rtkfeedd-" + prefix;
    for (char &c : id)
        if (c == '/')
            c = '-';
    return id;
}

static bool valid_utf8(const std::string &s)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s.data());
    for (size_t i = 0; i < s.size();) {
        size_t len = utf8_length(p + i, s.size() - i);
        if (len == 0 || p[i] == 0)
            return false;
        i += len;
    }
    return true;
}

static std::string trimmed(const std::string &v)
{
    size_t from = v.find_first_not_of(" \t");
    if (from == std::string::npos)
        return "";
    return v.substr(from, v.find_last_not_of(" \t") - from + 1);
}

static const char *const known_keys[] = {
    "MOD_NTRIP_MQTT_HOST",     "MOD_NTRIP_MQTT_PORT",  "MOD_NTRIP_MQTT_USERNAME",
    "MOD_NTRIP_MQTT_PASSWORD", "MOD_NTRIP_MQTT_CAFILE", "MOD_NTRIP_MQTT_TOPIC",
    "MOD_NTRIP_MQTT_INTERVAL", "MOD_NTRIP_MQTT_INSECURE",
};

// Every key of the publisher's prefix that it does not know, once.
static void say_unknown_keys(FILE *f)
{
    if (!f)
        return;
    rewind(f);
    char line[4096];
    std::vector<std::string> said;
    while (fgets(line, sizeof line, f)) {
        size_t len = strcspn(line, "=\r\n");
        std::string key(line, len);
        if (line[len] != '=' || strncasecmp(key.c_str(), "MOD_NTRIP_MQTT_", 15) != 0)
            continue;
        bool known = false;
        for (const char *k : known_keys)
            known = known || strcasecmp(k, key.c_str()) == 0;
        if (!known && std::find(said.begin(), said.end(), key) == said.end()) {
            said.push_back(key);
            log_warning("%s: not a setting of rtkfeedd-mqtt, ignored", key.c_str());
        }
    }
}

void load_mqtt_settings(FILE *f, const std::string &hostname, MqttSettings *s)
{
    *s = MqttSettings();
    say_unknown_keys(f);
    s->host = trimmed(settings_get_str(f, "MOD_NTRIP_MQTT_HOST"));
    s->username = settings_get_str(f, "MOD_NTRIP_MQTT_USERNAME");
    s->password = settings_get_str(f, "MOD_NTRIP_MQTT_PASSWORD");
    s->cafile = settings_get_str(f, "MOD_NTRIP_MQTT_CAFILE");
    s->port = settings_get_uint_or(f, "MOD_NTRIP_MQTT_PORT", s->cafile.empty() ? 1883 : 8883, 1,
                                   65535);
    s->prefix = settings_get_str(f, "MOD_NTRIP_MQTT_TOPIC");
    // A topic one publishes to holds no wildcard, is UTF-8, and does not
    // start with "$", which brokers keep for themselves.
    if (s->prefix.find_first_of("+#") != std::string::npos || !valid_utf8(s->prefix) ||
        (!s->prefix.empty() && s->prefix[0] == '$')) {
        log_warning("MOD_NTRIP_MQTT_TOPIC: cannot use \"%s\", using rtkfeedd/%s",
                    s->prefix.c_str(), hostname.c_str());
        s->prefix.clear();
    }
    if (s->prefix.empty())
        s->prefix = "rtkfeedd/" + hostname;
    while (s->prefix.size() > 1 && s->prefix.back() == '/')
        s->prefix.pop_back();
    s->interval = settings_get_uint_or(f, "MOD_NTRIP_MQTT_INTERVAL", 60, 1, 86400);
    s->insecure = settings_get_uint_or(f, "MOD_NTRIP_MQTT_INSECURE", 0, 0, 1) == 1;
}

std::string mqtt_refusal(const MqttSettings &s)
{
    if (s.username.empty() || !s.cafile.empty() || s.insecure)
        return "";
    return "not starting: MOD_NTRIP_MQTT_USERNAME is set without MOD_NTRIP_MQTT_CAFILE, so the " +
           std::string(s.password.empty() ? "account" : "password") + " would go to " + s.host +
           ":" + std::to_string(s.port) +
           " in clear; set MOD_NTRIP_MQTT_CAFILE for TLS, or MOD_NTRIP_MQTT_INSECURE=1 to send it "
           "in clear";
}

long long publish_time(const PublishPace &p, bool state_change, long long now, unsigned interval_s)
{
    if (state_change)
        return p.state_at < 0 ? now : std::max(now, p.state_at + STATE_EVERY_MS);
    return p.any_at < 0 ? now : std::max(now, p.any_at + interval_s * 1000LL);
}

void note_published(PublishPace *p, bool state_change, long long now)
{
    p->any_at = now;
    if (state_change)
        p->state_at = now;
}

static std::string value(const ReportKeys &r, const char *key)
{
    auto it = r.find(key);
    return it == r.end() ? "null" : it->second;
}

bool state_changed(const ReportKeys &a, const ReportKeys &b)
{
    for (const char *key : {"status", "client.running", "receiver.fix_quality", "base.mountpoint"})
        if (value(a, key) != value(b, key))
            return true;
    return false;
}

bool report_changed(const ReportKeys &a, const ReportKeys &b)
{
    ReportKeys x = a, y = b;
    x.erase("updated");
    y.erase("updated");
    return x != y;
}
