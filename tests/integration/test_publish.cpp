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

auto has(const std::string& text) {
  return [text](const std::string& payload) { return payload.find(text) != std::string::npos; };
}
auto any() {
  return [](const std::string&) { return true; };
}

// Sets xActivateConnection and waits for the connected state.
void activate(const VariableServer& server, const Service& service) {
  ASSERT_TRUE(service.waitFor("state: Disconnected", 0, kStartDeadline)) << service.dump();
  server.set(rootMember("xActivateConnection"), "1");
  ASSERT_TRUE(service.waitFor("state: Connected", 0, kStartDeadline)) << service.dump();
}

}  // namespace

class PublishOnEachBroker : public ::testing::TestWithParam<BrokerKind> {};
INSTANTIATE_TEST_SUITE_P(Broker, PublishOnEachBroker, ::testing::ValuesIn(brokerKinds()),
                         [](const ::testing::TestParamInfo<BrokerKind>& info) {
                           return brokerKindName(info.param);
                         });

// Against each broker: connect, publish with QoS 1, publish a changed value.
TEST_P(PublishOnEachBroker, ActivationConnectsAndPublishesJsonWithQos1) {
  Broker broker(GetParam());
  ServiceConfig config = plantConfig(broker.port());
  config.publishes = {{200, {{"plant/line", {"Speed", "Drive", "Status"}}}}};
  VariableServer server(config.treeJson());
  Subscriber subscriber(broker.port());
  Service service(server);
  ASSERT_TRUE(service.waitFor("state: Disconnected", 0, kStartDeadline)) << service.dump();
  EXPECT_EQ(server.get(rootMember("xConnectedToBroker")), "0");
  EXPECT_EQ(subscriber.count("plant/line"), 0u);

  server.set(rootMember("xActivateConnection"), "1");
  ASSERT_TRUE(service.waitFor("IEC connect request detected.")) << service.dump();
  ASSERT_TRUE(service.waitFor("state: Connected")) << service.dump();
  EXPECT_TRUE(server.waitForValue(rootMember("xConnectedToBroker"), "1")) << service.dump();

  const auto message = subscriber.waitFor("plant/line", any());
  ASSERT_TRUE(message) << service.dump();
  EXPECT_EQ(message->payload, "{\"Speed\":12.5,\"Drive\":{\"Gear\":3,\"On\":true},\"Status\":\"Running\"}");
  EXPECT_EQ(message->qos, 1);
  EXPECT_FALSE(message->retain);

  // A changed value is in a later payload.
  server.set("APPL.Plant.Speed", "99.5");
  EXPECT_TRUE(subscriber.waitFor("plant/line", has("\"Speed\":99.5"))) << service.dump();
  // The first publish succeeded: no result line at all.
  EXPECT_EQ(service.log().count("Topic: plant/line"), 0u) << service.dump();
}

TEST(Publish, TwoConfigurationsKeepTheirOwnPeriods) {
  Broker broker;
  ServiceConfig config = plantConfig(broker.port());
  config.publishes = {{100, {{"plant/fast", {"Count"}}}}, {1000, {{"plant/slow", {"Count"}}}}};
  VariableServer server(config.treeJson());
  Subscriber subscriber(broker.port());
  Service service(server);
  activate(server, service);

  const std::vector<Message> slow = subscriber.waitForCount("plant/slow", 5, 60s);
  ASSERT_GE(slow.size(), 5u) << service.dump();
  const std::vector<Message> fast = subscriber.messages("plant/fast");
  const auto slowSpan = slow.back().at - slow.front().at;
  // Four periods of 1000 ms (plus whatever the machine's load adds to each cycle).
  EXPECT_GE(ms(slowSpan), 3500);
  // The fast worker runs every 100 ms meanwhile: far more messages than the slow one.
  size_t fastInSpan = 0;
  for (const Message& m : fast)
    if (m.at >= slow.front().at && m.at <= slow.back().at) ++fastInSpan;
  const double seconds = std::chrono::duration<double>(slowSpan).count();
  EXPECT_GE(fastInSpan / seconds, 5.0);   // at most one cycle in two lost to the load
  EXPECT_LE(fastInSpan / seconds, 11.0);  // never faster than the period
}

TEST(Publish, OnChangeSetIsPublishedOnceAfterConnectingThenOnlyOnChange) {
  Broker broker;
  ServiceConfig config = plantConfig(broker.port());
  // The periodic set of the same worker serves as the clock of the test.
  config.publishes = {{100, {{"plant/changes", {"Count", "Drive"}, 0, 1, 0}, {"plant/clock", {"Other"}}}}};
  VariableServer server(config.treeJson());
  Subscriber subscriber(broker.port());
  Service service(server);
  activate(server, service);

  auto first = subscriber.waitFor("plant/changes", any());
  ASSERT_TRUE(first) << service.dump();
  EXPECT_EQ(first->payload, "{\"Count\":7,\"Drive\":{\"Gear\":3,\"On\":true}}");
  // Ten more cycles without a change: nothing more on the on-change topic.
  const size_t clock = subscriber.count("plant/clock");
  ASSERT_GE(subscriber.waitForCount("plant/clock", clock + 10).size(), clock + 10);
  EXPECT_EQ(subscriber.count("plant/changes"), 1u);

  // A change of a member publishes the whole set once more, and then nothing again.
  server.set("APPL.Plant.Drive.Gear", "4");
  auto second = subscriber.waitFor("plant/changes", any(), 1);
  ASSERT_TRUE(second) << service.dump();
  EXPECT_EQ(second->payload, "{\"Count\":7,\"Drive\":{\"Gear\":4,\"On\":true}}");
  const size_t clock2 = subscriber.count("plant/clock");
  ASSERT_GE(subscriber.waitForCount("plant/clock", clock2 + 10).size(), clock2 + 10);
  EXPECT_EQ(subscriber.count("plant/changes"), 2u);
}

TEST(Publish, OnlyChangedSetCarriesOnlyWhatChanged) {
  Broker broker;
  ServiceConfig config = plantConfig(broker.port());
  config.publishes = {{100, {{"plant/delta", {"Speed", "Count", "Drive"}, 0, 1, 1}}}};
  VariableServer server(config.treeJson());
  Subscriber subscriber(broker.port());
  Service service(server);
  activate(server, service);

  auto first = subscriber.waitFor("plant/delta", any());
  ASSERT_TRUE(first) << service.dump();
  EXPECT_EQ(first->payload, "{\"Speed\":12.5,\"Count\":7,\"Drive\":{\"Gear\":3,\"On\":true}}");

  server.set("APPL.Plant.Count", "8");
  auto second = subscriber.waitFor("plant/delta", any(), 1);
  ASSERT_TRUE(second) << service.dump();
  EXPECT_EQ(second->payload, "{\"Count\":8}");

  // A struct appears reduced to its changed members.
  server.set("APPL.Plant.Drive.On", "FALSE");
  auto third = subscriber.waitFor("plant/delta", any(), 2);
  ASSERT_TRUE(third) << service.dump();
  EXPECT_EQ(third->payload, "{\"Drive\":{\"On\":false}}");
}

TEST(Publish, RawSetPublishesTextAndFailurePayloadWhileUnreadable) {
  Broker broker;
  ServiceConfig config = plantConfig(broker.port());
  config.publishes = {{100, {{"plant/status", {"Status"}, 1}}}};
  VariableServer server(config.treeJson());
  Subscriber subscriber(broker.port());
  Service service(server);
  activate(server, service);

  ASSERT_TRUE(subscriber.waitFor("plant/status", [](const std::string& p) { return p == "Running"; }))
      << service.dump();

  // The variable disappears (as the text read sees it): the failure payload every period, one
  // trace line for the whole run of failures.
  const std::string failure = "************** Error Occurred **************";
  ASSERT_EQ(failure.size(), 44u);
  const size_t mark = service.mark();
  ASSERT_EQ(server.kalpvar({"fault", "APPL.Plant.Status", "read", "0x81000501"}), 0);
  const size_t before = subscriber.count("plant/status");
  auto firstFailure = subscriber.waitFor(
      "plant/status", [&](const std::string& p) { return p == failure; }, before);
  ASSERT_TRUE(firstFailure) << service.dump();
  const size_t failures = subscriber.count("plant/status");
  ASSERT_GE(subscriber.waitForCount("plant/status", failures + 5).size(), failures + 5);
  EXPECT_EQ(service.log().count(
                "Variable: APPL.Plant.Status - was not found, while publishing topic: plant/status", mark),
            1u)
      << service.dump(mark);

  // It comes back: one line, and the value again.
  const size_t mark2 = service.mark();
  ASSERT_EQ(server.kalpvar({"fault", "APPL.Plant.Status", "read", "clear"}), 0);
  server.set("APPL.Plant.Status", "Stopped");
  ASSERT_TRUE(subscriber.waitFor(
      "plant/status", [](const std::string& p) { return p == "Stopped"; }, failures))
      << service.dump(mark2);
  const size_t ok = subscriber.count("plant/status");
  ASSERT_GE(subscriber.waitForCount("plant/status", ok + 3).size(), ok + 3);
  EXPECT_EQ(service.log().count(
                "Variable: APPL.Plant.Status - was read again, while publishing topic: plant/status", mark2),
            1u)
      << service.dump(mark2);
  for (const Message& m : subscriber.messages("plant/status"))
    EXPECT_TRUE(m.payload == "Running" || m.payload == "Stopped" || m.payload == failure) << m.payload;
}

TEST(Publish, RawSetsPublishTheVariableTheirConfigurationNames) {
  // A raw set reads the variable its configuration names, at any depth: a top-level variable, a
  // structure member, a nested member and an array element, each published as the text that
  // kalpvar reads from the same path.
  Broker broker;
  ServiceConfig config;
  config.brokerPort = broker.port();
  config.plantMembers =
      "\"Status\": {\"type\": \"STRING\", \"value\": \"Running\"},"
      "\"Drive\": {\"type\": \"STRUCT\", \"members\": {"
      "  \"Speed\": {\"type\": \"REAL\", \"value\": 99.99999},"
      "  \"Axis\": {\"type\": \"STRUCT\", \"members\": {\"sName\": {\"type\": \"STRING\", \"value\": \"X1\"}}}}},"
      "\"aTemp\": {\"type\": \"ARRAY\", \"elementType\": \"SINT16\", \"values\": [20, 21, -3]}";
  struct Case {
    const char* topic;
    const char* variable;  // as configured
    const char* path;      // what the set reads
  };
  const std::vector<Case> cases = {
      {"raw/top", "Status", "APPL.Plant.Status"},
      {"raw/member", "Drive.Speed", "APPL.Plant.Drive.Speed"},
      {"raw/nested", "Drive.Axis.sName", "APPL.Plant.Drive.Axis.sName"},
      {"raw/element", "aTemp[2]", "APPL.Plant.aTemp[2]"},
  };
  PublishSpec publish{100, {}};
  for (const Case& c : cases) publish.sets.push_back({c.topic, {c.variable}, 1});
  config.publishes = {publish};
  VariableServer server(config.treeJson());
  Subscriber subscriber(broker.port());
  Service service(server);
  activate(server, service);

  for (const Case& c : cases) {
    SCOPED_TRACE(c.variable);
    const std::optional<std::string> expected = server.get(c.path);
    ASSERT_TRUE(expected);
    EXPECT_TRUE(subscriber.waitFor(c.topic, [&](const std::string& p) { return p == *expected; }))
        << service.dump();
  }
  // A change of the member is what comes next; a failing read names the member's path.
  const size_t mark = service.mark();
  server.set("APPL.Plant.Drive.Speed", "12.5");
  EXPECT_TRUE(subscriber.waitFor("raw/member", [](const std::string& p) { return p == "12.5"; }))
      << service.dump(mark);
  ASSERT_EQ(server.kalpvar({"fault", "APPL.Plant.Drive.Axis.sName", "read", "0x81000501"}), 0);
  EXPECT_TRUE(service.waitFor(
      "Variable: APPL.Plant.Drive.Axis.sName - was not found, while publishing topic: raw/nested", mark))
      << service.dump(mark);
  EXPECT_EQ(service.log().count("Error Occurred", mark), 0u);
  EXPECT_EQ(service.log().count("had an invalid parameter", mark), 0u) << service.dump(mark);
}

TEST(ConnectedState, UnwritableConnectedFlagLeadsToError) {
  Broker broker;
  ServiceConfig config = plantConfig(broker.port());
  config.publishes = {{200, {{"plant/count", {"Count"}}}}};
  VariableServer server(config.treeJson());
  ASSERT_EQ(server.kalpvar({"fault", rootMember("xConnectedToBroker"), "write", "0x81000504"}), 0);
  Service service(server);
  activate(server, service);
  const auto failed = service.waitFor("Exception: cannot set xConnectedToBroker:");
  ASSERT_TRUE(failed) << service.dump();
  EXPECT_TRUE(service.waitFor("state: Error", *failed)) << service.dump();
  // Leaving the connected state stopped the workers.
  EXPECT_TRUE(service.waitFor("All publish threads are joint and deleted", *failed)) << service.dump();
}

TEST(ConnectedState, RejectedSubscriptionLeavesTheOthersAndTheState) {
  Broker broker;
  ServiceConfig config = plantConfig(broker.port());
  config.publishes = {{100, {{"plant/count", {"Count"}}}}};
  config.subscribes = {{"plant/#/bad", {"Other"}}, {"plant/good", {"Count"}}};
  VariableServer server(config.treeJson());
  Subscriber subscriber(broker.port());
  Service service(server);
  activate(server, service);
  EXPECT_TRUE(service.waitFor("Error: could not subscribe to topic 'plant/#/bad'.")) << service.dump();
  EXPECT_TRUE(service.waitFor("subscribed to topic 'plant/good'.")) << service.dump();
  // Still connected and publishing.
  const size_t seen = subscriber.count("plant/count");
  EXPECT_GE(subscriber.waitForCount("plant/count", seen + 5).size(), seen + 5);
  EXPECT_EQ(service.log().count("state: Error"), 0u) << service.dump();
  EXPECT_TRUE(server.waitForValue(rootMember("xConnectedToBroker"), "1"));
}
