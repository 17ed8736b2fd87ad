#include "mqtt/mqtt.h"

#include <gtest/gtest.h>

static MqttSettings settings(const std::string &text)
{
    FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    MqttSettings s;
    load_mqtt_settings(f, "truck7", &s);
    if (f)
        fclose(f);
    return s;
}

TEST(MqttSettings, DefaultsAndTheKeysAsTheSettingsFileQuotesThem)
{
    MqttSettings s = settings("");
    EXPECT_EQ(s.host, "");  // off
    EXPECT_EQ(s.port, 1883u);
    EXPECT_EQ(s.prefix, "rtkfeedd/truck7");
    EXPECT_EQ(s.interval, 60u);
    s = settings("MOD_NTRIP_MQTT_HOST=\"broker.example\"\nMOD_NTRIP_MQTT_CAFILE=/etc/ca.pem\n"
                 "MOD_NTRIP_MQTT_TOPIC=fleet/north/\nMOD_NTRIP_MQTT_INTERVAL=300\n"
                 "MOD_NTRIP_MQTT_USERNAME=truck7\nMOD_NTRIP_MQTT_PASSWORD=\"s3 cret\"\n");
    EXPECT_EQ(s.host, "broker.example");
    EXPECT_EQ(s.port, 8883u);  // TLS
    EXPECT_EQ(s.prefix, "fleet/north");
    EXPECT_EQ(s.interval, 300u);
    EXPECT_EQ(s.password, "s3 cret");
    EXPECT_EQ(mqtt_client_id(s.prefix), "rtkfeedd-fleet-north");
    s = settings("MOD_NTRIP_MQTT_PORT=1884\nMOD_NTRIP_MQTT_CAFILE=/ca\nMOD_NTRIP_MQTT_INTERVAL=x\n");
    EXPECT_EQ(s.port, 1884u);
    EXPECT_EQ(s.interval, 60u);
    EXPECT_EQ(settings("MOD_NTRIP_MQTT_PORT=70000\n").port, 1883u);
    EXPECT_EQ(settings("MOD_NTRIP_MQTT_TOPIC=a/#\n").prefix, "rtkfeedd/truck7");
    // Topics a broker would refuse, and blanks around the host.
    EXPECT_EQ(settings("MOD_NTRIP_MQTT_TOPIC=\"fleet/\xff\"\n").prefix, "rtkfeedd/truck7");
    EXPECT_EQ(settings("MOD_NTRIP_MQTT_TOPIC=$SYS/x\n").prefix, "rtkfeedd/truck7");
    EXPECT_EQ(settings("MOD_NTRIP_MQTT_TOPIC=fleet/M\xc3\xbcnchen\n").prefix, "fleet/M\xc3\xbcnchen");
    EXPECT_EQ(settings("MOD_NTRIP_MQTT_HOST=\" broker.example \"\n").host, "broker.example");
}

// An account goes over the air only with TLS, unless the settings say it
// may go in clear.
TEST(MqttSettings, AnAccountWithoutTlsIsRefusedUnlessAskedFor)
{
    MqttSettings s = settings("MOD_NTRIP_MQTT_HOST=b\nMOD_NTRIP_MQTT_USERNAME=truck7\n"
                              "MOD_NTRIP_MQTT_PASSWORD=pw\nMOD_NTRIP_MQTT_CA_FILE=/ca.pem\n");
    std::string why = mqtt_refusal(s);
    EXPECT_NE(why.find("password would go to b:1883 in clear"), std::string::npos) << why;
    EXPECT_EQ(why.find("pw"), std::string::npos);
    s.insecure = true;
    EXPECT_EQ(mqtt_refusal(s), "");
    EXPECT_EQ(mqtt_refusal(settings("MOD_NTRIP_MQTT_HOST=b\nMOD_NTRIP_MQTT_USERNAME=t\n"
                                    "MOD_NTRIP_MQTT_CAFILE=/ca.pem\n")),
              "");
    EXPECT_EQ(mqtt_refusal(settings("MOD_NTRIP_MQTT_HOST=b\n")), "");
    EXPECT_TRUE(settings("MOD_NTRIP_MQTT_INSECURE=1\n").insecure);
}

// A fix that flips each second: the first change at once, then at most
// one every 10 s, the latest; counters alone at the interval.
TEST(MqttPace, AFlappingStateCostsNoMoreThanOneReportInTenSeconds)
{
    PublishPace p;
    int sent = 0;
    for (long long t = 0; t < 60000; t += 1000) {
        if (publish_time(p, true, t, 60) <= t) {
            note_published(&p, true, t);
            sent++;
        }
    }
    EXPECT_EQ(sent, 6);  // at 0, 10, 20 ... 50 s
    EXPECT_EQ(publish_time(p, true, 51000, 60), 60000);
    EXPECT_EQ(publish_time(p, false, 51000, 60), 110000);
    PublishPace fresh;
    EXPECT_EQ(publish_time(fresh, true, 5, 60), 5);
}

TEST(MqttReport, AChangeOfStateIsWhatAFleetWatchesAndTheTimeIsNoChange)
{
    ReportKeys a = {{"updated", "1.0"}, {"status", "11"}, {"client.running", "true"},
                    {"receiver.fix_quality", "4"}, {"base.mountpoint", "EAST"},
                    {"target.bytes", "100"}};
    ReportKeys b = a;
    b["updated"] = "2.0";
    EXPECT_FALSE(report_changed(a, b));
    EXPECT_FALSE(state_changed(a, b));
    b["target.bytes"] = "200";
    EXPECT_TRUE(report_changed(a, b));
    EXPECT_FALSE(state_changed(a, b));
    for (const char *key : {"status", "client.running", "receiver.fix_quality", "base.mountpoint"}) {
        ReportKeys c = a;
        c[key] = "other";
        EXPECT_TRUE(state_changed(a, c)) << key;
        c.erase(key);
        EXPECT_TRUE(state_changed(a, c)) << key;
    }
}
