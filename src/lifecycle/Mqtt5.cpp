// MQTT 5: protocol set-up, reason codes, session expiry, subscription options; retained
// messages skipped (both protocol versions).
#include "Mqtt5.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

#include "StatusTopic.h"
#include "Trace.h"
#include "ZAL_MQTT_item.h"
#include "ZAL_MQTT_lifecycle.h"
#include "ZAL_MQTT_publish.h"

namespace {

// Set by the connection set-up (main thread) before the network thread starts; read by the
// callbacks and the workers.
std::atomic<bool> protocol5{false};

// The client ID of the connection set-up, for the session-taken-over line. Written by the
// connection set-up before the network thread starts, read by the network thread.
std::string setUpClientId;

// Retain Available of the last CONNACK (true when the broker did not say); the library sends a
// retained message to a broker that has none, so the service holds it back itself. Written by
// the connect callback, read by the publish workers.
std::atomic<bool> retainAvailable{true};

// The text of the last CONNACK refusal; the network thread's only (written by the MQTT 5
// connect callback just before the shared connect callback reads it).
std::string connackRefusal;

// Message ids of the subscriptions not yet answered, with their topics. Guarded by
// subscriptionsMutex (held for a look-up or an insert only, nothing else held): written by the
// connected state's entry (main thread), read by the subscribe callback (network thread).
std::mutex subscriptionsMutex;
std::map<int, std::string> pendingSubscriptions;

// The reason code of the last rejected publish that was traced; 0 after an accepted one, so that
// a run of rejections is traced once and the next run again. Network thread only.
int lastRejection = 0;

// Topics whose skipped retained message was traced; guarded by retainedMutex (subscribe worker,
// one at a time, held for the look-up only).
std::mutex retainedMutex;
std::set<std::string> retainedTraced;
std::atomic<uint64_t> retainedIgnored{0};

// Kept payloads dropped for their expiry: in all, and per publish worker since its last report.
std::atomic<uint64_t> expiredPayloads{0};
thread_local uint64_t expiredSinceReport = 0;

constexpr const char* kJsonContentType = "application/json";

// Frees a property list when it goes out of scope.
struct PropertyList {
  mosquitto_property* list = nullptr;
  ~PropertyList() { mosquitto_property_free_all(&list); }
};

std::string orNone(bool present, uint64_t value) { return present ? std::to_string(value) : "none"; }

// Network thread: the broker's answer to CONNECT. Traces the broker's limits (level 2) and keeps
// a refusal's reason for the shared connect callback, which judges the answer.
void callbackOnConnect5(mosquitto* client, void* machine, int result, int flags,
                        const mosquitto_property* props) {
  CancellationDisabled guard;
  if (result != 0) {
    connackRefusal = reasonText(result, props);
  } else {
    uint8_t maximumQoS = 0;
    uint8_t retainByte = 0;
    uint32_t maximumPacket = 0;
    uint16_t receiveMaximum = 0;
    const bool hasQoS =
        mosquitto_property_read_byte(props, MQTT_PROP_MAXIMUM_QOS, &maximumQoS, false) != nullptr;
    const bool hasRetain =
        mosquitto_property_read_byte(props, MQTT_PROP_RETAIN_AVAILABLE, &retainByte, false) != nullptr;
    const bool hasPacket =
        mosquitto_property_read_int32(props, MQTT_PROP_MAXIMUM_PACKET_SIZE, &maximumPacket, false) != nullptr;
    const bool hasReceive =
        mosquitto_property_read_int16(props, MQTT_PROP_RECEIVE_MAXIMUM, &receiveMaximum, false) != nullptr;
    retainAvailable = !hasRetain || retainByte != 0;
    TRACE(2, "MQTT 5 connection accepted, session present ", (flags & 1) != 0 ? 1 : 0,
          ". Broker limits: maximum QoS ", hasQoS ? std::to_string(maximumQoS) : std::string("2"),
          ", retain available ", hasRetain ? std::to_string(retainByte) : std::string("1"),
          ", maximum packet size ", orNone(hasPacket, maximumPacket), ", receive maximum ",
          hasReceive ? std::to_string(receiveMaximum) : std::string("65535"), ".");
  }
  callback_on_connect(client, machine, result);
}

// Network thread: the connection ended. A code of 0x80 or above is the reason of the broker's
// DISCONNECT; anything else is the library's own code, judged as under MQTT 3.1.1, except 0
// when the service did not ask to disconnect: that is the broker's DISCONNECT with reason 0
// (normal disconnection), a lost connection like any other, which the attempts mend. Its text
// is the protocol's name for the reason, in the library's style ("Server shutting down"); the
// library's own text for code 0 is "Success".
void callbackOnDisconnect5(mosquitto* client, void* machine, int result, const mosquitto_property* props) {
  CancellationDisabled guard;
  const int error = errno;
  if (result == 0 && !disconnectAsked.load()) {
    handleDisconnect(client, machine, MOSQ_ERR_CONN_LOST, error,
                     "the broker closed the connection: Normal disconnection" + brokerReason(props), false);
    return;
  }
  if (result >= 0x80) {
    handleDisconnect(client, machine, result, error, disconnectCause(result, props, setUpClientId),
                     disconnectReasonIsPermanent(result));
    return;
  }
  handleDisconnect(client, machine, result, error, std::string(), false);
}

// Network thread: the broker's PUBACK, a PUBREC that refuses, or the PUBCOMP of a QoS 2 flow.
// The message is settled either way (the status topic and the disk buffers stop waiting for it;
// the library has dropped it). A reason of 0x80 or above means the broker refused it: it is
// counted as a publish failure and not sent again, and the first of a run of refusals with the
// same reason is traced.
void callbackOnPublish5(mosquitto*, void*, int mid, int reason, const mosquitto_property* props) {
  CancellationDisabled guard;
  publishSettled(mid);
  if (reason < 0x80) {
    lastRejection = 0;
    return;
  }
  ++serviceCounters.publishFailures;
  if (reason == lastRejection) return;
  lastRejection = reason;
  TRACE(1, "Error: the broker refused a published message (message id ", mid,
        "): ", reasonText(reason, props), ". It is not sent again.");
}

// Network thread: the broker's SUBACK; a refused subscription is traced with its topic.
void callbackOnSubscribe5(mosquitto*, void*, int mid, int count, const int* granted,
                          const mosquitto_property* props) {
  CancellationDisabled guard;
  std::string topic;
  {
    std::lock_guard<std::mutex> lock(subscriptionsMutex);
    const auto found = pendingSubscriptions.find(mid);
    if (found != pendingSubscriptions.end()) {
      topic = found->second;
      pendingSubscriptions.erase(found);
    }
  }
  for (int i = 0; i < count; ++i) {
    if (granted[i] < 0x80) continue;
    TRACE(1, "Error: the broker refused the subscription to topic '", topic,
          "': ", reasonText(granted[i], props), ".");
  }
}

}  // namespace

bool mqtt5Active() { return protocol5.load(); }

std::string brokerReason(const mosquitto_property* properties) {
  std::string text;
  char* brokerText = nullptr;
  if (mosquitto_property_read_string(properties, MQTT_PROP_REASON_STRING, &brokerText, false) != nullptr &&
      brokerText != nullptr) {
    text = std::string(" (") + brokerText + ")";
  }
  std::free(brokerText);
  return text;
}

std::string reasonText(int code, const mosquitto_property* properties) {
  return mosquitto_reason_string(code) + brokerReason(properties);
}

bool disconnectReasonIsPermanent(int code) {
  switch (code) {
    case MQTT_RC_MALFORMED_PACKET:
    case MQTT_RC_PROTOCOL_ERROR:
    case MQTT_RC_IMPLEMENTATION_SPECIFIC:
    case MQTT_RC_NOT_AUTHORIZED:
    case MQTT_RC_SESSION_TAKEN_OVER:
    case MQTT_RC_TOPIC_FILTER_INVALID:
    case MQTT_RC_TOPIC_NAME_INVALID:
    case MQTT_RC_RECEIVE_MAXIMUM_EXCEEDED:
    case MQTT_RC_TOPIC_ALIAS_INVALID:
    case MQTT_RC_PACKET_TOO_LARGE:
    case MQTT_RC_ADMINISTRATIVE_ACTION:
    case MQTT_RC_PAYLOAD_FORMAT_INVALID:
    case MQTT_RC_RETAIN_NOT_SUPPORTED:
    case MQTT_RC_QOS_NOT_SUPPORTED:
    case MQTT_RC_USE_ANOTHER_SERVER:
    case MQTT_RC_SERVER_MOVED:
    case MQTT_RC_SHARED_SUBS_NOT_SUPPORTED:
    case MQTT_RC_SUBSCRIPTION_IDS_NOT_SUPPORTED:
    case MQTT_RC_WILDCARD_SUBS_NOT_SUPPORTED:
      return true;
    default:
      return false;
  }
}

std::string disconnectCause(int code, const mosquitto_property* properties, const std::string& clientId) {
  std::string text = "the broker closed the connection: " + reasonText(code, properties);
  if (code == MQTT_RC_SESSION_TAKEN_OVER)
    text += ": duplicate client ID: another client connected with the client ID '" + clientId +
            "'; give every client its own strClientID";
  return text;
}

std::string mqtt5RefusalReason(int) { return connackRefusal; }

bool prepareProtocol(mosquitto* client, const ZAL_MQTT_item& item) {
  protocol5 = item.getProtocolVersion() == kProtocolVersion5;
  {
    std::lock_guard<std::mutex> lock(subscriptionsMutex);
    pendingSubscriptions.clear();
  }
  if (!protocol5.load()) return true;
  setUpClientId = item.getClientID();
  lastRejection = 0;
  retainAvailable = true;
  TRACE(1, "MQTT protocol version 5.");
  if (mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5) != MOSQ_ERR_SUCCESS) {
    TRACE(1, "Error: the MQTT library refused protocol version 5.");
    return false;
  }
  mosquitto_connect_callback_set(client, nullptr);
  mosquitto_disconnect_callback_set(client, nullptr);
  mosquitto_connect_v5_callback_set(client, callbackOnConnect5);
  mosquitto_disconnect_v5_callback_set(client, callbackOnDisconnect5);
  // The library calls the plain form for a refused PUBREC no more: the MQTT 5 form settles every
  // message itself.
  mosquitto_publish_callback_set(client, nullptr);
  mosquitto_publish_v5_callback_set(client, callbackOnPublish5);
  mosquitto_subscribe_v5_callback_set(client, callbackOnSubscribe5);

  // A kept session (xCleanSession 0) lasts uiSessionExpiryS after a connection ends; a clean
  // start sends no expiry, which is 0: the session ends with the connection.
  PropertyList properties;
  if (item.getCleanSession() == 0 && item.getSessionExpiryS() != 0 &&
      mosquitto_property_add_int32(&properties.list, MQTT_PROP_SESSION_EXPIRY_INTERVAL,
                                   item.getSessionExpiryS()) != MOSQ_ERR_SUCCESS) {
    TRACE(1, "Error: cannot build the MQTT 5 CONNECT properties.");
    return false;
  }
  if (properties.list != nullptr) {
    // Port -1: the call stores the properties, then refuses the port without touching the network.
    const int stored = mosquitto_connect_bind_v5(client, "localhost", -1, 60, nullptr, properties.list);
    if (stored != MOSQ_ERR_INVAL) {
      TRACE(1, "Error: the MQTT library did not take the CONNECT properties: ", mosquitto_strerror(stored));
      return false;
    }
    TRACE(2, "MQTT 5 session expiry interval: ", item.getSessionExpiryS(), " s.");
  }
  return true;
}

int subscribeTopic(mosquitto* client, const ZAL_MQTT_VarTopicSet& subscription) {
  const std::string topic = subscription.getTopic();
  const int qos = static_cast<int>(subscription.getQoS().value_or(0));
  if (!protocol5.load()) return mosquitto_subscribe(client, nullptr, topic.c_str(), qos);
  const int options = subscription.getIgnoreRetained() != 0 ? MQTT_SUB_OPT_SEND_RETAIN_NEVER : 0;
  int mid = 0;
  // The id is recorded under the lock before the SUBACK can be handled on the network thread.
  std::lock_guard<std::mutex> lock(subscriptionsMutex);
  const int result = mosquitto_subscribe_v5(client, &mid, topic.c_str(), qos, options, nullptr);
  if (result == MOSQ_ERR_SUCCESS) pendingSubscriptions[mid] = topic;
  return result;
}

bool skipRetainedMessage(const ZAL_MQTT_VarTopicSet& subscription, const mosquitto_message& message) {
  if (!message.retain || subscription.getIgnoreRetained() == 0) return false;
  ++retainedIgnored;
  bool first = false;
  {
    std::lock_guard<std::mutex> lock(retainedMutex);
    first = retainedTraced.insert(message.topic).second;
  }
  if (first)
    TRACE(1, "Retained message on topic '", message.topic, "' ignored (xIgnoreRetained of ",
          subscription.getName(), "): a retained command is not written.");
  return true;
}

uint64_t retainedIgnoredCount() { return retainedIgnored.load(); }

bool anyIgnoreRetained() {
  const std::shared_ptr<ZAL_MQTT_item> item = getConfiguration();
  if (!item) return false;
  for (const std::shared_ptr<ZAL_MQTT_VarTopicSet>& subscription : item->getSubscribeConfigurations())
    if (subscription && subscription->getIgnoreRetained() != 0) return true;
  return false;
}

int publishPayload(mosquitto* client, int* mid, const ZAL_MQTT_publish& publish, bool json,
                   const std::string& topic, const std::string& payload, int qos, bool retain,
                   int64_t ageMs) {
  const int length = static_cast<int>(payload.size());
  if (!protocol5.load())
    return mosquitto_publish(client, mid, topic.c_str(), length, payload.data(), qos, retain);
  // The QoS and the packet size the library checks against the CONNACK's limits itself.
  if (retain && !retainAvailable.load()) return MOSQ_ERR_RETAIN_NOT_SUPPORTED;
  PropertyList properties;
  int added = MOSQ_ERR_SUCCESS;
  const uint32_t expiryS = publish.getMessageExpiryS();
  if (expiryS != 0) {
    const int64_t leftMs = int64_t{expiryS} * 1000 - std::max<int64_t>(ageMs, 0);
    if (leftMs <= 0) {
      ++expiredPayloads;
      ++expiredSinceReport;
      return kPayloadExpired;
    }
    added = mosquitto_property_add_int32(&properties.list, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL,
                                         static_cast<uint32_t>((leftMs + 999) / 1000));
  }
  if (json && added == MOSQ_ERR_SUCCESS)
    added = mosquitto_property_add_byte(&properties.list, MQTT_PROP_PAYLOAD_FORMAT_INDICATOR, 1);
  if (json && added == MOSQ_ERR_SUCCESS)
    added = mosquitto_property_add_string(&properties.list, MQTT_PROP_CONTENT_TYPE, kJsonContentType);
  for (const auto& [name, value] : publish.getUserProperties()) {
    if (added != MOSQ_ERR_SUCCESS) break;
    added = mosquitto_property_add_string_pair(&properties.list, MQTT_PROP_USER_PROPERTY, name.c_str(),
                                               value.c_str());
  }
  if (added != MOSQ_ERR_SUCCESS) return added;
  return mosquitto_publish_v5(client, mid, topic.c_str(), length, payload.data(), qos, retain,
                              properties.list);
}

void reportExpiredPayloads(const std::string& label) {
  if (expiredSinceReport == 0) return;
  TRACE(1, label, ": ", expiredSinceReport, " kept payloads expired (uiMessageExpiryS) and were dropped.");
  expiredSinceReport = 0;
}

uint64_t expiredPayloadCount() { return expiredPayloads.load(); }

bool anyMessageExpiry() {
  if (!protocol5.load()) return false;
  const std::shared_ptr<ZAL_MQTT_item> item = getConfiguration();
  if (!item) return false;
  for (const std::shared_ptr<ZAL_MQTT_publish>& publish : item->getPublishConfigurations())
    if (publish && publish->getMessageExpiryS() != 0) return true;
  return false;
}
