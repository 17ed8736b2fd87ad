#include "mqtt/mqtt.h"
#include "common/log.h"
#include "settings/settings_internal.h"

std::string mqtt_client_id(const std::string &prefix)
{
    std::string id = "rtkfeedd-" + prefix;
    for (char &c : id)
        if (c == '/')
            c = '-';
    return id;
}

void load_mqtt_settings(FILE *f, const std::string &hostname, MqttSettings *s)
{
    *s = MqttSettings();
    s->host = settings_get_str(f, "MOD_NTRIP_MQTT_HOST");
    s->username = settings_get_str(f, "MOD_NTRIP_MQTT_USERNAME");
    s->password = settings_get_str(f, "MOD_NTRIP_MQTT_PASSWORD");
    s->cafile = settings_get_str(f, "MOD_NTRIP_MQTT_CAFILE");
    s->port = settings_get_uint_or(f, "MOD_NTRIP_MQTT_PORT", s->cafile.empty() ? 1883 : 8883, 1,
                                   65535);
    s->prefix = settings_get_str(f, "MOD_NTRIP_MQTT_TOPIC");
    // A topic one publishes to holds no wildcard.
    if (s->prefix.find_first_of("+#") != std::string::npos) {
        log_warning("MOD_NTRIP_MQTT_TOPIC: cannot use \"%s\", using rtkfeedd/%s",
                    s->prefix.c_str(), hostname.c_str());
        s->prefix.clear();
    }
    if (s->prefix.empty())
        s->prefix = "rtkfeedd/" + hostname;
    while (s->prefix.size() > 1 && s->prefix.back() == '/')
        s->prefix.pop_back();
    s->interval = settings_get_uint_or(f, "MOD_NTRIP_MQTT_INTERVAL", 60, 1, 86400);
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
