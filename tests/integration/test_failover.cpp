// The failover list against two real brokers on loopback: the service moves to the second broker
// when the first is gone for uiFailoverAfterS, carries its offline buffer across, subscribes
// again there, names the broker in its birth message, stays on the broker it reached when the
// first comes back, and returns to the first by round robin when the second goes.
#include <gtest/gtest.h>

#include "FailoverSupport.h"

using namespace zaltest;

namespace {

const std::string kTrying = "trying broker 127.0.0.1:";
const std::string kConnectedTo = "connected to broker 127.0.0.1:";

}  // namespace

TEST(Failover, MovesOnCarriesTheBufferAcrossAndReturnsByRoundRobin) {
  const int portA = freePort();
  const int portB = freePort();
  auto brokerA = std::make_unique<BrokerOnPort>(portA);
  BrokerOnPort brokerB(portB);
  VariableServer server(failoverPlantTree("127.0.0.1", portA, failoverMembers({portB}, 2)));
  auto onA = std::make_unique<Subscriber>(portA, "plant/#");
  Subscriber onB(portB, "plant/#");
  Service service(server);

  const std::string a = std::to_string(portA), b = std::to_string(portB);
  ASSERT_TRUE(waitForSequence(
      service, {kTrying + a + " (1 of 2).", kConnectedTo + a + ".", "state: Connected"}, 0, kStartDeadline))
      << service.dump();
  const auto birthA = onA->waitFor("plant/status", [](const std::string& p) {
    return p.find("\"status\":\"online\"") != std::string::npos;
  });
  ASSERT_TRUE(birthA) << service.dump();
  EXPECT_NE(birthA->payload.find(",\"broker\":\"127.0.0.1:" + a + "\"}"), std::string::npos)
      << birthA->payload;
  ASSERT_TRUE(onA->waitFor("plant/a", counterAtLeast(counterNow(server) + 2))) << service.dump();

  // A goes: after about 2 s of failed attempts on A the service is on B.
  size_t mark = service.mark();
  brokerA.reset();
  const auto noticed = service.waitFor("EntryConnectionLost", mark);
  ASSERT_TRUE(noticed) << service.dump(mark);
  const auto movedAt =
      waitForSequence(service, {kTrying + b + " (2 of 2).", kConnectedTo + b + "."}, mark, 60s);
  ASSERT_TRUE(movedAt) << service.dump(mark);
  EXPECT_EQ(service.log().count("state: Error", mark), 0u) << service.dump(mark);
  const auto birthB = onB.waitFor("plant/status", [&](const std::string& p) {
    return p.find("\"broker\":\"127.0.0.1:" + b + "\"") != std::string::npos;
  });
  EXPECT_TRUE(birthB) << service.dump(mark);

  // Subscribed again on B: a command published there reaches the variable.
  ASSERT_TRUE(service.waitFor("subscribed to topic 'plant/cmd'.", *movedAt)) << service.dump(mark);
  EXPECT_TRUE(commandReaches(portB, server, "17")) << service.dump(mark);

  // What was sampled while no broker was in use arrives on B, once and in order across A and B.
  ASSERT_TRUE(onB.waitFor("plant/a", counterAtLeast(counterNow(server) + 3), 0, 60s)) << service.dump(mark);
  std::string faults;
  const std::vector<long long> values =
      valuesOnceInOrder({payloadsOf(*onA, "plant/a"), payloadsOf(onB, "plant/a")}, &faults);
  EXPECT_EQ(faults, "") << service.dump(mark);
  for (const Message& m : onB.messages("plant/a")) EXPECT_TRUE(sampleTimeOf(m.payload)) << m.payload;
  EXPECT_GE(onB.count("plant/a"), 10u);  // about 2 s of the outage, five values a second

  // A is back: the service stays on B while B holds (no move back, no flapping), checked over
  // the next ten values published on B.
  mark = service.mark();
  brokerA = std::make_unique<BrokerOnPort>(portA);
  onA = std::make_unique<Subscriber>(portA, "plant/#");
  ASSERT_TRUE(onB.waitFor("plant/a", counterAtLeast(counterNow(server) + 10), 0, 60s)) << service.dump(mark);
  EXPECT_EQ(service.log().count(kTrying, mark), 0u) << service.dump(mark);
  EXPECT_EQ(onA->count("plant/a"), 0u);

  // B goes: round robin brings the service back to A.
  brokerB.process().stop();
  ASSERT_TRUE(waitForSequence(service, {kTrying + a + " (1 of 2).", kConnectedTo + a + "."}, mark, 60s))
      << service.dump(mark);
  EXPECT_TRUE(onA->waitFor("plant/a", counterAtLeast(counterNow(server) + 3), 0, 60s)) << service.dump(mark);
  EXPECT_EQ(service.log().count("state: Error"), 0u) << service.dump();
}

// A first broker that refuses at the set-up: the service starts the round at once and reaches
// the next one instead of going to the error state; the list follows the children's indexes,
// and a child that cannot be used is skipped.
TEST(Failover, FirstBrokerRefusesAtTheStart) {
  const int deadPort = freePort();
  const int portB = freePort();
  BrokerOnPort brokerB(portB);
  auto child = [](int index, int port) {
    return ", \"ZAL_MQTT_broker:" + std::to_string(index) +
           "\": {\"type\": \"STRUCT\", \"members\": {\"BrokerURL\": {\"type\": \"STRING\", \"value\": "
           "\"127.0.0.1\"}, \"BrokerPort\": {\"type\": \"UINT32\", \"value\": " +
           std::to_string(port) + "}}}";
  };
  const std::string members =
      "\"uiFailoverAfterS\": {\"type\": \"UINT32\", \"value\": 0}" + child(12, portB) + child(3, 0);
  VariableServer server(failoverPlantTree("127.0.0.1", deadPort, members));
  Subscriber onB(portB, "plant/#");
  Service service(server);

  const std::string dead = std::to_string(deadPort), b = std::to_string(portB);
  EXPECT_TRUE(service.waitFor("Bad failover broker: broker port is not in 1..65535.", 0, kStartDeadline));
  EXPECT_TRUE(service.waitFor("Skipped configuration node: " + rootMember("ZAL_MQTT_broker:3")));
  ASSERT_TRUE(waitForSequence(
      service,
      {kTrying + dead + " (1 of 2).", kTrying + b + " (2 of 2).", kConnectedTo + b + ".", "state: Connected"},
      0, kStartDeadline))
      << service.dump();
  EXPECT_TRUE(onB.waitFor("plant/a", counterAtLeast(counterNow(server) + 2))) << service.dump();
  EXPECT_EQ(service.log().count("state: Error"), 0u) << service.dump();
}
