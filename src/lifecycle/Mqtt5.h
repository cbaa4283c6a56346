// MQTT 5 (uiProtocolVersion 5): the protocol's set-up on the client, the broker's reason codes
// traced and judged, the session's expiry, and the subscription options. Also the skipping of
// retained messages (xIgnoreRetained), which holds under both protocol versions.
//
// With uiProtocolVersion absent or 4 nothing here touches the MQTT client but the subscribe call
// (a plain subscribe, as before) and the retained-message test of the subscribe worker.
#pragma once

#include <cstdint>
#include <string>

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;
typedef struct mqtt5__property mosquitto_property;
class ZAL_MQTT_item;
class ZAL_MQTT_publish;
class ZAL_MQTT_VarTopicSet;

// True while the connection set-up in force speaks MQTT 5 (set by prepareProtocol).
bool mqtt5Active();

// Connection set-up (main thread, before the network thread starts). Under MQTT 5: sets the
// protocol version, replaces the connect and disconnect callbacks by their MQTT 5 forms, adds the
// publish and subscribe callbacks that read the reason codes, and hands the library the CONNECT
// properties (the Session Expiry Interval of a kept session). False, traced, when the library
// refuses one of them. Under MQTT 3.1.1 it does nothing and returns true.
//
// The library takes CONNECT properties only in its blocking connect call, and keeps them on the
// client for every later connect and reconnect (connect_async, reconnect_async and its own
// re-dial). So that the main thread never waits on the network, the properties are handed over
// by a call of the blocking connect with a port out of range: the library stores the properties,
// then refuses the port before it resolves or dials anything. The connect itself stays
// mosquitto_connect_async, as under MQTT 3.1.1.
bool prepareProtocol(mosquitto* client, const ZAL_MQTT_item& item);

// "<the library's text of code>" and, when the broker sent a Reason String, " (<it>)".
std::string reasonText(int code, const mosquitto_property* properties);
// " (<the broker's Reason String>)" when the broker sent one; empty otherwise.
std::string brokerReason(const mosquitto_property* properties);

// A DISCONNECT reason code of the broker (0x80 and above) after which reconnecting cannot help
// until someone changes something (session taken over, not authorised, a packet the broker
// refuses, another server to use): the connection set-up ends in the error state. The others
// (server busy or shutting down, keep-alive timeout, quota, rate, unspecified) are an outage.
bool disconnectReasonIsPermanent(int code);
// The cause line's text for a broker's DISCONNECT reason; session taken over (0x8E) names the
// duplicate client ID.
std::string disconnectCause(int code, const mosquitto_property* properties, const std::string& clientId);

// Text of a CONNACK refusal under MQTT 5 (set by the MQTT 5 connect callback before the shared
// connect callback runs; network thread only).
std::string mqtt5RefusalReason(int result);

// Subscribes to subscription's topic with its QoS; under MQTT 5 with xIgnoreRetained also with
// Retain Handling 2 (the broker sends no retained message on subscribing), and remembers the
// message id so that a refusal in the SUBACK names the topic. Returns the library's result.
int subscribeTopic(mosquitto* client, const ZAL_MQTT_VarTopicSet& subscription);

// Subscribe worker, for the subscription whose filter matched message: true when the message
// carries the retain flag and the subscription has xIgnoreRetained; it is then counted and, the
// first time for its topic, traced. False otherwise.
bool skipRetainedMessage(const ZAL_MQTT_VarTopicSet& subscription, const mosquitto_message& message);
// Retained messages skipped since the service started.
uint64_t retainedIgnoredCount();
// True when a subscribe configuration in force has xIgnoreRetained (the statistics message then
// carries the count).
bool anyIgnoreRetained();

// ---- payloads -------------------------------------------------------------------------------

// publishPayload's answer for a kept payload whose Message Expiry Interval has run out: it was
// not published (not a result of the MQTT library).
constexpr int kPayloadExpired = -100;

// Publishes a payload of publish (json: a JSON payload, else raw text); ageMs is how long it was
// kept in an offline buffer (0 for a fresh one). Under MQTT 3.1.1 this is mosquitto_publish.
// Under MQTT 5 the payload carries: a JSON payload Payload Format Indicator 1 and Content Type
// "application/json" (a raw one neither), the publish configuration's user properties, and with
// uiMessageExpiryS the Message Expiry Interval it has left (uiMessageExpiryS less its age,
// rounded up to whole seconds); a kept payload with no time left is not published but counted:
// kPayloadExpired. Returns the library's result otherwise.
int publishPayload(mosquitto* client, int* mid, const ZAL_MQTT_publish& publish, bool json,
                   const std::string& topic, const std::string& payload, int qos, bool retain, int64_t ageMs);
// Traces, once, the kept payloads of the calling thread that expired since its last report:
// "<label>: N kept payloads expired (uiMessageExpiryS) and were dropped."
void reportExpiredPayloads(const std::string& label);
// Kept payloads dropped for their Message Expiry Interval since the service started.
uint64_t expiredPayloadCount();
// True under MQTT 5 when a publish configuration in force has uiMessageExpiryS (the statistics
// message then carries the count).
bool anyMessageExpiry();
