// MQTT 5 reason codes: which DISCONNECT reasons end the connection set-up, and the cause line of
// a session taken over.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>

#include "Mqtt5.h"

namespace {

struct ReasonCase {
  int code;
  bool permanent;
};

// clang-format off
// Each row: a DISCONNECT reason code and whether reconnecting can help (false) or not (true).
const ReasonCase kReasons[] = {
  {MQTT_RC_SESSION_TAKEN_OVER, true},   {MQTT_RC_NOT_AUTHORIZED, true},     {MQTT_RC_PROTOCOL_ERROR, true},
  {MQTT_RC_PACKET_TOO_LARGE, true},     {MQTT_RC_USE_ANOTHER_SERVER, true}, {MQTT_RC_SERVER_MOVED, true},
  {MQTT_RC_ADMINISTRATIVE_ACTION, true}, {MQTT_RC_TOPIC_NAME_INVALID, true},
  {MQTT_RC_UNSPECIFIED, false},         {MQTT_RC_SERVER_BUSY, false},       {MQTT_RC_SERVER_SHUTTING_DOWN, false},
  {MQTT_RC_KEEP_ALIVE_TIMEOUT, false},  {MQTT_RC_QUOTA_EXCEEDED, false},    {MQTT_RC_CONNECTION_RATE_EXCEEDED, false},
  {MQTT_RC_MESSAGE_RATE_TOO_HIGH, false}, {MQTT_RC_MAXIMUM_CONNECT_TIME, false},
};
// clang-format on

TEST(Mqtt5Reasons, DisconnectReasonsSplitIntoOutageAndFailure) {
  for (const ReasonCase& c : kReasons)
    EXPECT_EQ(disconnectReasonIsPermanent(c.code), c.permanent) << mosquitto_reason_string(c.code);
}

TEST(Mqtt5Reasons, SessionTakenOverNamesTheDuplicateClientId) {
  mosquitto_property* properties = nullptr;
  ASSERT_EQ(mosquitto_property_add_string(&properties, MQTT_PROP_REASON_STRING, "another connection"),
            MOSQ_ERR_SUCCESS);
  EXPECT_EQ(
      disconnectCause(MQTT_RC_SESSION_TAKEN_OVER, properties, "line1"),
      std::string("the broker closed the connection: ") +
          mosquitto_reason_string(MQTT_RC_SESSION_TAKEN_OVER) +
          " (another connection): duplicate client ID: another client connected with the client ID 'line1'; "
          "give every client its own strClientID");
  mosquitto_property_free_all(&properties);
  // Without a Reason String, the library's text alone; other codes name no client ID.
  EXPECT_EQ(disconnectCause(MQTT_RC_SERVER_BUSY, nullptr, "line1"),
            std::string("the broker closed the connection: ") + mosquitto_reason_string(MQTT_RC_SERVER_BUSY));
}

}  // namespace
