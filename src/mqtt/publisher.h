// Within the publisher: its loop.
#pragma once

#include "mqtt/mqtt.h"

// Publishes until a stop is requested; the exit status.
int run_publisher(const MqttSettings &s);
