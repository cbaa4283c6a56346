// The service against a real broker: activation, connection, publishing.
#include <gtest/gtest.h>

#include "IntegrationHarness.h"

using namespace zaltest;

namespace {

// A small plant: scalars, a struct, a string.
const char* const kPlant =
    "\"Speed\": {\"type\": \"REAL\", \"value\": 12.5},"
    "\"Count\": {\"type\": \"UINT32\", \"value\": 7},"
    "\"Other\": {\"type\": \"SINT16\", \"value\": -3},"
    "\"Status\": {\"type\": \"STRING\", \"value\": \"Running\"},"
    "\"Drive\": {\"type\": \"STRUCT\", \"members\": {"
    "  \"Gear\": {\"type\": \"UINT8\", \"value\": 3},"
    "  \"On\": {\"type\": \"BOOL\", \"value\": true}}}";

ServiceConfig plantConfig(int port) {
  ServiceConfig config;
  config.brokerPort = port;
  config.plantMembers = kPlant;
  return config;
}

// Starts the service and waits until it rests in the disconnected state.
void waitIdle(const Service& service) {
  ASSERT_TRUE(service.waitFor("state: Disconnected", 0, kStartDeadline)) << service.dump();
}

}  // namespace

TEST(Publish, ActivationConnectsAndPublishesJsonWithQos1) {
  Broker broker;
  ServiceConfig config = plantConfig(broker.port());
  config.publishes = {{200, {{"plant/line", {"Speed", "Drive", "Status"}}}}};
  VariableServer server(config.treeJson());
  Subscriber subscriber(broker.port());
  Service service(server);
  waitIdle(service);
  EXPECT_EQ(server.get(rootMember("xConnectedToBroker")), "0");
  EXPECT_EQ(subscriber.count("plant/line"), 0u);

  server.set(rootMember("xActivateConnection"), "1");
  ASSERT_TRUE(service.waitFor("IEC connect request detected.")) << service.dump();
  ASSERT_TRUE(service.waitFor("state: Connected")) << service.dump();
  EXPECT_TRUE(server.waitForValue(rootMember("xConnectedToBroker"), "1")) << service.dump();

  const auto message = subscriber.waitFor("plant/line", [](const std::string&) { return true; });
  ASSERT_TRUE(message) << service.dump();
  EXPECT_EQ(message->payload, "{\"Speed\":12.5,\"Drive\":{\"Gear\":3,\"On\":true},\"Status\":\"Running\"}");
  EXPECT_EQ(message->qos, 1);
  EXPECT_FALSE(message->retain);

  // A changed value is in a later payload.
  server.set("APPL.Plant.Speed", "99.5");
  EXPECT_TRUE(subscriber.waitFor("plant/line", [](const std::string& p) { return p.find("\"Speed\":99.5") != std::string::npos; }))
      << service.dump();
}
