// rtkfeedd-mqtt: publishes rtkfeedd's report to an MQTT broker.
#include "mqtt/mqtt.h"
#include "mqtt/publisher.h"
#include "common/log.h"
#include "common/service.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <cstdio>
#include <cstring>
#include <mosquitto.h>
#include <unistd.h>

static const char settings_path[] = "/opt/casterLink/etc/settings";

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "--version") == 0) {
        printf("rtkfeedd-mqtt %s\n", RTKFEEDD_VERSION);
        return 0;
    }
    if (argc > 1) {
        printf("usage: rtkfeedd-mqtt [--version | --help]\n"
               "Publishes rtkfeedd's report to the MQTT broker that %s names\n"
               "(MOD_NTRIP_MQTT_HOST and the other MOD_NTRIP_MQTT_ keys); see rtkfeedd-mqtt(8).\n",
               settings_path);
        return strcmp(argv[1], "--help") == 0 ? 0 : 2;
    }
    install_stop_handler();
    // A connection that hangs (a broker behind a black hole) ends at a stop,
    // not when the kernel gives up on it.
    for (int sig : {SIGINT, SIGTERM, SIGQUIT}) {
        struct sigaction sa;
        sigaction(sig, nullptr, &sa);
        sa.sa_flags &= ~SA_RESTART;
        sigaction(sig, &sa, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);
    log_open("rtkfeedd-mqtt");
    char hostname[256] = "";
    gethostname(hostname, sizeof hostname - 1);
    MqttSettings s;
    // Under systemd the settings come as a credential, readable by the
    // unprivileged user it runs as.
    const char *credentials = getenv("CREDENTIALS_DIRECTORY");
    std::string path = credentials ? std::string(credentials) + "/settings" : settings_path;
    FILE *f = fopen(path.c_str(), "re");
    if (!f && errno != ENOENT)
        log_err("cannot read %s: %s", path.c_str(), strerror(errno));
    load_mqtt_settings(f, hostname, &s);
    if (f)
        fclose(f);
    if (s.host.empty()) {
        log_notice("MQTT telemetry is off: no MOD_NTRIP_MQTT_HOST in %s", settings_path);
        return 0;
    }
    std::string refusal = mqtt_refusal(s);
    if (!refusal.empty()) {
        log_err("%s", refusal.c_str());
        return 2;  // the unit does not restart it: only new settings help
    }
    mosquitto_lib_init();
    log_notice("publishing to %s:%u as %s/state and %s/up", s.host.c_str(), s.port,
               s.prefix.c_str(), s.prefix.c_str());
    int rc = run_publisher(s);
    mosquitto_lib_cleanup();
    log_notice("terminated");
    return rc;
}
