// The hooks of the Sparkplug B edge node (src/sparkplug/EdgeNode.h) in the life cycle: with the
// root member strSparkplugGroupId set, the connection set-up registers the node's death
// certificate as the last will, the connect callback publishes the node's birth, the publish
// workers publish device births and data instead of JSON payloads, the subscription is the
// node's commands, and a disconnect the service makes itself is preceded by the death
// certificate. Without the member every hook returns at once and changes nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

struct mosquitto;
class ZAL_MQTT_item;

// Connection set-up: builds the edge node for item (once per configuration object) and sets
// the will: NDEATH with the next bdSeq. False (traced) when the library refuses the will.
bool prepareSparkplug(mosquitto* client, const ZAL_MQTT_item& item);
// True while the current configuration runs as a Sparkplug edge node.
bool sparkplugActive();
// Connect callback: the node's birth (first message of the connection).
void sparkplugBirth(mosquitto* client);
// Disconnect callback: no message of the node until the next birth. After a loss (result not
// 0), when the same client dials again, its will carries the next bdSeq; after a disconnect the
// service asked for, the next connection set-up registers it.
void sparkplugConnectionEnded(mosquitto* client, int result);
// Before a disconnect the service makes itself: the death certificate with the current bdSeq
// (the broker drops the will on a clean disconnect).
void sparkplugDeath(mosquitto* client);
// Connected entry: subscribes to the node's commands (and the primary host's STATE, QoS 1, when
// one is configured). True when it did (Sparkplug active): the
// subscribe configurations' own topics are then not subscribed.
bool sparkplugSubscribe(mosquitto* client);
// Subscribe worker: true when topic is one of the node's commands or its primary host's STATE
// (handled here).
bool sparkplugCommand(mosquitto* client, const std::string& topic, const std::string& payload);
// The publish worker of publish configuration index as a Sparkplug edge node: device births and
// data until stop is set.
void sparkplugPublishWorker(size_t index, const std::atomic<uint8_t>& stop);
