// The service's status topic and its counters.
//
// With the configuration's strStatusTopic set, the service keeps a retained status message on
// that topic: a last will ("offline", reason "lost") registered before each connect, the birth
// message ("online") after every accepted connection, and "offline" with the reason
// "requested" or "shutdown" before a disconnect it makes itself (the broker drops the will on
// a clean disconnect). With uiStatusPeriodS as well, a statistics message goes to
// "<strStatusTopic>/stats" every period while connected. Without a status topic nothing here
// touches the MQTT client; the counters are kept in any case.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>

struct mosquitto;
class ZAL_MQTT_item;

// Counters since the service started; incremented where the event happens, from any thread.
struct ServiceCounters {
  std::atomic<uint64_t> published{0};        // payloads handed to the library by publish workers
  std::atomic<uint64_t> publishFailures{0};  // publish calls of the workers that failed
  std::atomic<uint64_t> received{0};         // messages the library delivered to the service
  std::atomic<uint64_t> applied{0};          // received messages written into variables
  std::atomic<uint64_t> queueDrops{0};       // received messages dropped by the subscribe queue
  std::atomic<uint64_t> connectionsMade{0};  // accepted connections
  std::atomic<uint64_t> connectionsLost{0};  // connections lost without being asked to close
};
extern ServiceCounters serviceCounters;

// Payloads (JSON objects). time is the connection time of the birth message.
std::string statusOfflinePayload(const std::string& clientId, const char* reason);
// broker: "host:port" of the broker in use, added as "broker" when not empty (a failover list).
std::string statusOnlinePayload(const std::string& clientId, std::time_t connectedAt,
                                const std::string& broker = std::string());
// The statistics message: the counters in a fixed order, then the seconds since start.
std::string statisticsPayload();

// Start-up, once the configuration is built: a level-1 warning for each subscribe filter of the
// configuration that matches the status topic (or its statistics topic), naming both: the
// service would write its own status messages into that configuration's variables.
void warnStatusTopicSubscribed(const ZAL_MQTT_item& item);
// Connection set-up: registers the last will and the delivery callback when a status topic is
// configured, and lifts the library's window of unacknowledged QoS 1/2 messages (20 by
// default), so that the birth message never waits behind messages the library kept from
// before a loss. False (traced) when the library refuses the will.
bool prepareStatusTopic(mosquitto* client, const ZAL_MQTT_item& item);
// Connect callback (network thread), once the broker has accepted the connection: publishes the
// birth message when a status topic is configured. The library resends what it kept from before
// a loss only after this callback returns, so the birth is the first message after the CONNACK.
void statusTopicBirth(mosquitto* client);
// Connected entry, before the workers start: counts the connection and starts the statistics
// thread when configured.
void statusTopicConnected(mosquitto* client, const ZAL_MQTT_item& item);
// Connected exit: stops and joins the statistics thread.
void statusTopicLeftConnected();
// Connection lost: counts it; no offline message can be sent any more (the will covers it).
void statusTopicConnectionLost();
// Network thread: the broker has settled the QoS 1 or 2 message mid (acknowledged it, or under
// MQTT 5 refused it): the status topic and the disk buffers stop waiting for it.
void publishSettled(int mid);
// Before a disconnect the service asks for: the retained "offline" with reason, and a wait of
// at most a few seconds for the broker's acknowledgement. Nothing without a status topic or a
// connection.
void publishOfflineStatus(mosquitto* client, const char* reason);
