// The telemetry publisher against a real broker: a mosquitto of the test's
// own on a loopback of its own, never the system's service.
#include "harness.h"
#include "common/io.h"
#include "common/service.h"
#include "health/health.h"

#include <csignal>
#include <functional>
#include <cstdio>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

class MqttTest : public DaemonTest {
protected:
    void SetUp() override
    {
        DaemonTest::SetUp();
        if (std::string(MQTT_BINARY).empty())
            GTEST_SKIP() << "built without the publisher (-DRTKFEEDD_MQTT=OFF)";
        if (shell("command -v mosquitto && command -v mosquitto_sub && command -v openssl") != 0)
            GTEST_SKIP() << "mosquitto, mosquitto-clients, openssl (Debian) are not installed";
        ASSERT_TRUE(private_loopback());
        mkdir("/run/mqtt", 0755);
        report(11, 100);
    }
    void TearDown() override
    {
        if (daemon_pid > 0)
            stop_daemon();
        stop_broker();
        DaemonTest::TearDown();
    }
    // The daemon's report, as this test process's own (so its daemon is
    // alive), with a status and a counter.
    static void report(int status, uint64_t bytes)
    {
        Health h;
        h.status = status;
        h.pid = getpid();
        h.proc_start = process_start_ticks(getpid());
        h.device = "/dev/ttyS0";
        h.target_bytes = bytes;
        write_file("/run/rtkfeedd.json", health_json(h, unix_now()));
    }
    // On the publisher's default ports, in this test's own network: 1883,
    // or 8883 with TLS.
    void broker(const std::string &extra = "")
    {
        bool tls = extra.find("certfile") != std::string::npos;
        write_file("/run/mqtt/mosquitto.conf", std::string("user root\npersistence false\n"
                                                           "log_dest none\nlistener ") +
                                                   (tls ? "8883" : "1883") + " 127.0.0.1\n" + extra +
                                                   (extra.find("password_file") == std::string::npos
                                                        ? "allow_anonymous true\n"
                                                        : "allow_anonymous false\n"));
        broker_pid = fork();
        if (broker_pid == 0) {
            execlp("mosquitto", "mosquitto", "-c", "/run/mqtt/mosquitto.conf", nullptr);
            _exit(127);
        }
        usleep(400 * 1000);
    }
    void stop_broker()
    {
        if (broker_pid > 0) {
            kill(broker_pid, SIGTERM);
            waitpid(broker_pid, nullptr, 0);
        }
        broker_pid = -1;
    }
    void publisher(const std::string &settings)
    {
        write_settings("MOD_NTRIP_MQTT_HOST=127.0.0.1\nMOD_NTRIP_MQTT_TOPIC=fleet/t1\n" + settings);
        start_daemon(MQTT_BINARY);
    }
    // What a subscriber that connects now sees in wait_s: count messages of
    // fleet/t1/TOPIC (# for both), "topic payload" a line each; fresh: not
    // the retained ones.
    static std::string subscribe(const std::string &topic, int count, int wait_s, bool fresh = false,
                                 const std::string &options = "")
    {
        std::string out;
        shell("mosquitto_sub -h 127.0.0.1 -v " + options + (fresh ? " -R" : "") + " -C " +
                  std::to_string(count) + " -W " + std::to_string(wait_s) + " -t 'fleet/t1/" +
                  topic + "' 2>/dev/null",
              &out);
        return out;
    }
    // The next message on fleet/t1/TOPIC after action, as a subscriber that
    // came just before it sees it: "topic payload", its first line.
    static std::string next_after(const std::string &topic, const std::function<void()> &action)
    {
        FILE *sub = popen(("mosquitto_sub -h 127.0.0.1 -v -R -C 1 -W 5 -t fleet/t1/" + topic).c_str(),
                          "r");
        usleep(300 * 1000);
        action();
        char line[4096] = "";
        if (!fgets(line, sizeof line, sub))
            line[0] = '\0';
        pclose(sub);
        return line;
    }
    static std::string file_json()
    {
        std::string json = read_file("/run/rtkfeedd.json");
        return json.substr(0, json.find_last_not_of('\n') + 1);
    }
    pid_t broker_pid = -1;
};

TEST_F(MqttTest, ALaterSubscriberSeesTheRetainedUpAndStateAsTheReportSays)
{
    broker();
    publisher("");
    ASSERT_TRUE(wait_log("connected to 127.0.0.1:1883"));
    std::string seen = subscribe("#", 2, 5);
    EXPECT_NE(seen.find("fleet/t1/up 1\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("fleet/t1/state " + file_json() + "\n"), std::string::npos) << seen;
}

TEST_F(MqttTest, AChangeOfStatusIsPublishedWithinTwoSecondsAndCountersAtTheInterval)
{
    broker();
    publisher("MOD_NTRIP_MQTT_INTERVAL=3\n");
    ASSERT_TRUE(wait_log("connected to"));
    long long start = 0;
    std::string line = next_after("state", [&] {
        start = monotonic_ms();
        report(10, 100);
    });
    EXPECT_LT(monotonic_ms() - start, 2000);
    EXPECT_NE(line.find("\"status\":10"), std::string::npos) << line;
    // Counters every half second for 7 s: at most one report in 3 s.
    FILE *sub = popen("mosquitto_sub -h 127.0.0.1 -R -W 7 -F %t -t fleet/t1/state 2>/dev/null", "r");
    for (int i = 1; i <= 14; i++) {
        report(10, 100 + i);
        usleep(500 * 1000);
    }
    int states = 0;
    char topic[256];
    while (fgets(topic, sizeof topic, sub))
        states++;
    pclose(sub);
    EXPECT_GE(states, 2);
    EXPECT_LE(states, 3);
}

TEST_F(MqttTest, TheWillSaysDownWhenThePublisherIsKilled)
{
    broker();
    publisher("");
    ASSERT_TRUE(wait_log("connected to"));
    EXPECT_EQ(next_after("up", [&] {
                  kill(daemon_pid, SIGKILL);
                  wait_exit(2000);
              }),
              "fleet/t1/up 0\n");
}

TEST_F(MqttTest, ABrokerThatComesBackGetsUpAndStateAgainWithoutSpinningMeanwhile)
{
    broker();
    publisher("");
    ASSERT_TRUE(wait_log("connected to"));
    stop_broker();
    ASSERT_TRUE(wait_log("lost 127.0.0.1:1883"));
    double cpu = daemon_cpu_seconds();
    sleep(4);
    EXPECT_LT(daemon_cpu_seconds() - cpu, 0.1);
    broker();  // nothing retained: it kept nothing
    std::string seen = subscribe("#", 2, 15);
    EXPECT_NE(seen.find("fleet/t1/up 1\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("fleet/t1/state {"), std::string::npos) << seen;
    EXPECT_EQ(count_log("lost 127.0.0.1"), 1);
}

TEST_F(MqttTest, ARefusedPasswordIsLoggedOnceAndNothingIsPublished)
{
    ASSERT_EQ(shell("mosquitto_passwd -c -b /run/mqtt/passwd truck7 right >/dev/null 2>&1"), 0);
    chmod("/run/mqtt/passwd", 0644);
    broker("password_file /run/mqtt/passwd\n");
    publisher("MOD_NTRIP_MQTT_USERNAME=truck7\nMOD_NTRIP_MQTT_PASSWORD=wrong\nMOD_NTRIP_MQTT_INSECURE=1\n");
    ASSERT_TRUE(wait_log("refused by 127.0.0.1:1883: Connection Refused: not authorised"));
    sleep(4);  // attempts after 1, 2 s: said once
    EXPECT_EQ(count_log("refused by"), 1);
    EXPECT_EQ(subscribe("#", 1, 2, false, "-u truck7 -P right"), "");
}

TEST_F(MqttTest, TlsWithTheBrokersNameVerifiedAndAnotherHostsCertificateRefused)
{
    // A CA, and a broker certificate for another host, then for 127.0.0.1.
    auto make_cert = [&](const char *san) {
        return shell(std::string("cd /run/mqtt && openssl req -x509 -newkey rsa:2048 -nodes "
                                 "-keyout ca.key -out ca.pem -subj /CN=fleet-ca -days 2 2>/dev/null "
                                 "&& openssl req -newkey rsa:2048 -nodes -keyout broker.key "
                                 "-out broker.csr -subj /CN=broker 2>/dev/null && printf "
                                 "'subjectAltName=") +
                     san +
                     "\\n' > ext && openssl x509 -req -in broker.csr -CA ca.pem -CAkey ca.key "
                     "-CAcreateserial -out broker.pem -days 2 -extfile ext 2>/dev/null && "
                     "chmod 644 *.key");
    };
    const std::string tls = "cafile /run/mqtt/ca.pem\ncertfile /run/mqtt/broker.pem\n"
                            "keyfile /run/mqtt/broker.key\n";
    ASSERT_EQ(make_cert("DNS:other.example"), 0);
    broker(tls);
    publisher("MOD_NTRIP_MQTT_CAFILE=/run/mqtt/ca.pem\n");
    // Why, in words.
    ASSERT_TRUE(wait_log("TLS failure with 127.0.0.1:8883: certificate not accepted: it is not "
                         "one of 127.0.0.1"));
    EXPECT_EQ(count_log("connected to"), 0);
    EXPECT_EQ(subscribe("#", 1, 2, false, "-p 8883 --cafile /run/mqtt/ca.pem --insecure"), "");
    stop_daemon();
    stop_broker();
    // A CA file that is not there is named as such.
    publisher("MOD_NTRIP_MQTT_CAFILE=/run/mqtt/none.pem\n");
    EXPECT_EQ(wait_exit(3000), 1);
    EXPECT_TRUE(wait_log("cannot read the CA file /run/mqtt/none.pem: No such file or directory"));
    daemon_pid = -1;
    ASSERT_EQ(make_cert("IP:127.0.0.1"), 0);
    broker(tls);
    publisher("MOD_NTRIP_MQTT_CAFILE=/run/mqtt/ca.pem\n");
    ASSERT_TRUE(wait_log("connected to 127.0.0.1:8883"));
    EXPECT_EQ(subscribe("up", 1, 5, false, "-p 8883 --cafile /run/mqtt/ca.pem"), "fleet/t1/up 1\n");
}

// A broker that ends each connection right after it was made (its packet
// limit is below the report): the back-off grows, the loop is said once.
TEST_F(MqttTest, ABrokerThatEndsEachConnectionAtOnceIsNotHammered)
{
    broker("max_packet_size 300\n");
    publisher("");
    ASSERT_TRUE(wait_log("end within 60 s of being made"));
    // Each connection says up 1 (and its will 0 as the broker drops it):
    // attempts after 1, 2, 4, 8 s, at most five in 20 s, not twenty.
    FILE *sub = popen("mosquitto_sub -h 127.0.0.1 -R -W 20 -F %p -t fleet/t1/up 2>/dev/null", "r");
    int ups = 0;
    char line[64];
    while (fgets(line, sizeof line, sub))
        ups += std::string(line) == "1\n";
    pclose(sub);
    EXPECT_LE(ups, 5);
    EXPECT_GE(ups, 2);
    EXPECT_EQ(count_log("end within 60 s of being made"), 1);
    EXPECT_LE(count_log("connected to"), 1);
}

// The state is retained with QoS 0 (nothing superseded is kept to be sent
// again), up and the will with QoS 1.
TEST_F(MqttTest, OnlyUpGoesWithQos1)
{
    broker();
    publisher("");
    ASSERT_TRUE(wait_log("connected to"));
    std::string seen;
    shell("mosquitto_sub -h 127.0.0.1 -q 1 -C 2 -W 5 -F '%t %q' -t 'fleet/t1/#' 2>/dev/null", &seen);
    EXPECT_NE(seen.find("fleet/t1/up 1\n"), std::string::npos) << seen;
    EXPECT_NE(seen.find("fleet/t1/state 0\n"), std::string::npos) << seen;
}

// A resolver that never answers: the stop still ends the publisher within
// 3 s, and nothing is said of the broker after it.
TEST_F(MqttTest, AStopDuringALookupThatHangsTakesAtMostThreeSeconds)
{
    // A name server of this test's own that never answers.
    int dns = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(53);
    a.sin_addr.s_addr = htonl(0x7f000035);  // 127.0.0.53
    ASSERT_EQ(bind(dns, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    write_file("/run/mqtt/resolv.conf", "nameserver 127.0.0.53\noptions timeout:5 attempts:3\n");
    write_file("/run/mqtt/hosts", "127.0.0.1 localhost\n");
    ASSERT_EQ(mount("/run/mqtt/resolv.conf", "/etc/resolv.conf", nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(mount("/run/mqtt/hosts", "/etc/hosts", nullptr, MS_BIND, nullptr), 0);
    write_settings("MOD_NTRIP_MQTT_HOST=broker.invalid.test\nMOD_NTRIP_MQTT_TOPIC=fleet/t1\n");
    start_daemon(MQTT_BINARY);
    ASSERT_TRUE(wait_log("publishing to broker.invalid.test"));
    sleep(1);
    long long start = monotonic_ms();
    EXPECT_EQ(stop_daemon(SIGTERM, 5000), 0);
    EXPECT_LT(monotonic_ms() - start, 3000);
    EXPECT_EQ(count_log("cannot reach"), 0);
    EXPECT_TRUE(has_log(LOG_NOTICE, "terminated"));
    close(dns);
}

// An account without TLS: refused at start, nothing sent, and a key the
// publisher does not know (a misspelt CA file) is named.
TEST_F(MqttTest, AnAccountWithoutTlsIsRefusedAndNothingIsSent)
{
    broker("log_type all\nconnection_messages true\n");
    publisher("MOD_NTRIP_MQTT_USERNAME=truck7\nMOD_NTRIP_MQTT_PASSWORD=secret\n"
              "MOD_NTRIP_MQTT_CA_FILE=/run/mqtt/ca.pem\n");
    EXPECT_EQ(wait_exit(5000), 2);
    EXPECT_TRUE(wait_log("MOD_NTRIP_MQTT_CA_FILE: not a setting of rtkfeedd-mqtt"));
    EXPECT_TRUE(wait_log("the password would go to 127.0.0.1:1883 in clear"));
    EXPECT_EQ(count_log("secret"), 0);
    EXPECT_EQ(count_log("connected to"), 0);
}
