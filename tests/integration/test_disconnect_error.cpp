// Disconnection, connection loss, the error state with its retry, and shut-down from an idle
// service: the real service against a real broker and the stand-in variable server.
#include <gtest/gtest.h>

#include "OutageSupport.h"

using namespace zaltest;

namespace {

const char* const kPlant = "\"Count\": {\"type\": \"UINT32\", \"value\": 7}";

ServiceConfig plantConfig(int port, uint32_t activate) {
  ServiceConfig config;
  config.brokerPort = port;
  config.plantMembers = kPlant;
  config.activate = activate;
  config.keepAlive = 5;
  config.publishes = {{200, {{"plant/count", {"Count"}}}}};
  return config;
}

}  // namespace

class DisconnectOnEachBroker : public ::testing::TestWithParam<BrokerKind> {};
INSTANTIATE_TEST_SUITE_P(Broker, DisconnectOnEachBroker, ::testing::ValuesIn(brokerKinds()),
                         [](const ::testing::TestParamInfo<BrokerKind>& info) {
                           return brokerKindName(info.param);
                         });

// Against each broker.
TEST_P(DisconnectOnEachBroker, OnRequestThenConnectAgain) {
  Broker broker(GetParam());
  ServiceConfig config = plantConfig(broker.port(), 1);
  VariableServer server(config.treeJson());
  Subscriber subscriber(broker.plainPort(), "plant/#");
  Service service(server);
  ASSERT_TRUE(service.waitFor("state: Connected", 0, kStartDeadline)) << service.dump();
  ASSERT_TRUE(server.waitForValue(rootMember("xConnectedToBroker"), "1")) << service.dump();

  size_t mark = service.mark();
  server.set(rootMember("xActivateConnection"), "0");
  ASSERT_TRUE(waitForSequence(
      service,
      {"IEC disconnect request detected.", "state action: Exit connected",
       "state action: Entry disconnecting", "state: Disconnecting", "external event: disconnectedFromBroker",
       "state action: Exit disconnecting", "state: Disconnected"},
      mark))
      << service.dump(mark);
  EXPECT_EQ(server.get(rootMember("xConnectedToBroker")), "0");

  // Connected again, with the configured identity, and publishing again.
  mark = service.mark();
  const size_t before = subscriber.count("plant/count");
  server.set(rootMember("xActivateConnection"), "1");
  ASSERT_TRUE(waitForSequence(
      service, {"IEC connect request detected.", "registering callbacks..", "state: Connected"}, mark))
      << service.dump(mark);
  EXPECT_TRUE(server.waitForValue(rootMember("xConnectedToBroker"), "1"));
  EXPECT_TRUE(subscriber.waitFor(
      "plant/count", [](const std::string& p) { return p == "{\"Count\":7}"; }, before))
      << service.dump(mark);
}

// Against each broker, stopped and started again on the same port.
TEST_P(DisconnectOnEachBroker, ConnectionLostAndRegainedWhenTheBrokerReturns) {
  const int port = freePort();
  auto broker = std::make_unique<Broker>(brokerOn(GetParam(), port));
  ServiceConfig config = plantConfig(port, 1);
  VariableServer server(config.treeJson());
  Service service(server);
  ASSERT_TRUE(service.waitFor("state: Connected", 0, kStartDeadline)) << service.dump();

  size_t mark = service.mark();
  broker.reset();
  ASSERT_TRUE(waitForSequence(service,
                              {"external event: connectionToBrokerLost", "state action: Exit connected",
                               "EntryConnectionLost", "ConnectionLost"},
                              mark))
      << service.dump(mark);
  EXPECT_TRUE(server.waitForValue(rootMember("xConnectedToBroker"), "0"));

  // The library reconnects by itself once the broker is back on the same port.
  mark = service.mark();
  broker = std::make_unique<Broker>(brokerOn(GetParam(), port));
  ASSERT_TRUE(waitForSequence(service, {"external event: connectedToBroker", "state: Connected"}, mark, 60s))
      << service.dump(mark);
  EXPECT_TRUE(server.waitForValue(rootMember("xConnectedToBroker"), "1"));
}

TEST(ErrorState, WaitsForARisingEdgeOfErrorRetryThenStartsAgain) {
  Broker broker;
  ServiceConfig config = plantConfig(broker.port(), 1);
  config.keepAlive = 3;  // refused by the library: the connection set-up ends in the error state
  VariableServer server(config.treeJson());
  server.set(rootMember("xErrorRetry"), "1");  // already set: it must be seen false first
  Service service(server);
  ASSERT_TRUE(
      waitForSequence(service,
                      {"Invalid function arguments provided.", "state action: Entry error", "state: Error",
                       "variable server is available. Waiting for rising edge of xErrorReset.."},
                      0, kStartDeadline))
      << service.dump();

  // A flag that is already 1 is no rising edge.
  EXPECT_FALSE(service.waitFor("rising edge of xErrorRetry detected.", 0, 3s)) << service.dump();

  server.set(rootMember("keepAliveTime"), "10");
  server.set(rootMember("xErrorRetry"), "0");
  const size_t mark = service.mark();
  // Give the state one sample of the cleared flag before raising it again.
  std::this_thread::sleep_for(1500ms);
  server.set(rootMember("xErrorRetry"), "1");
  ASSERT_TRUE(waitForSequence(
      service,
      {"rising edge of xErrorRetry detected. Retry start of MQTT service..", "detach retry-event thread..",
       "external event: retry", "state action: Exit error",
       "Leaving state 'error' to retry start of service.", "destroying ZAL_MQTT_configuration object..",
       "destroyed ZAL_MQTT_configuration object.", "end of state action: Exit error.",
       "state action: Entry initialize", "state: Connected"},
      mark, kStartDeadline))
      << service.dump(mark);
  EXPECT_TRUE(server.waitForValue(rootMember("xConnectedToBroker"), "1"));
}

TEST(Interrupt, WhileDisconnectedStillEndsWithGoodBye) {
  Broker broker;
  ServiceConfig config = plantConfig(broker.port(), 0);
  VariableServer server(config.treeJson());
  Service service(server);
  ASSERT_TRUE(service.waitFor("state: Disconnected", 0, kStartDeadline)) << service.dump();
  // The handler is installed on leaving the initialisation state, just before this line.
  service.interrupt();
  ASSERT_TRUE(waitForSequence(
      service,
      {"Interrupt signal (2) received.", "external event: SIGINT", "state action: SIGINT entry",
       "state: SIGINT", "MQTT disconnection: we already were disconnected.",
       "external event: disconnectedFromBroker", "state action: SIGINT exit", "state: EndOfActive",
       "Leaving MQTT service. Good bye!"},
      0))
      << service.dump();
  const std::optional<int> status = service.process().waitExit(kDefaultDeadline);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
}
