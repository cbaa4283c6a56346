// Initialisation and the activation watcher, with the real variable server.
#include <gtest/gtest.h>

#include "IntegrationHarness.h"

using namespace zaltest;

namespace {

ServiceConfig plantConfig(int port) {
  ServiceConfig config;
  config.brokerPort = port;
  config.plantMembers = "\"Count\": {\"type\": \"UINT32\", \"value\": 7}";
  config.publishes = {{500, {{"plant/count", {"Count"}}}}};
  return config;
}

}  // namespace

TEST(Initialise, TraceLevelZeroSilencesEverythingAfterItsOwnLine) {
  Broker broker;
  ServiceConfig config = plantConfig(broker.port());
  config.traceLevel = 0;
  config.activate = 1;
  VariableServer server(config.treeJson());
  Service service(server);
  const auto levelLine = service.waitFor("Setting Trace level to 0.", 0, kStartDeadline);
  ASSERT_TRUE(levelLine) << service.dump();
  // The service goes on working without a word: it connects.
  ASSERT_TRUE(server.waitForValue(rootMember("xConnectedToBroker"), "1", kStartDeadline)) << service.dump();
  EXPECT_EQ(service.log().size(), *levelLine + 1) << service.dump(*levelLine);
}

TEST(Initialise, ClientIdTheLibraryRefusesGoesToError) {
  ServiceConfig config = plantConfig(1883);
  config.clientId = "";
  config.cleanSession = 0;  // an empty client ID needs a clean session
  VariableServer server(config.treeJson());
  Service service(server);
  const auto refused =
      service.waitFor("Initialization error: cannot create mosquitto instance.", 0, kStartDeadline);
  ASSERT_TRUE(refused) << service.dump();
  EXPECT_TRUE(service.waitFor("state: Error", *refused)) << service.dump();
  // The handler is installed on every way out of the state.
  EXPECT_TRUE(service.waitFor("state action: Exit initialize", *refused)) << service.dump();
}

TEST(Initialise, UnreadableActivationFlagStopsTheWatcherWithError) {
  ServiceConfig config = plantConfig(1883);
  VariableServer server(config.treeJson());
  Service service(server);
  ASSERT_TRUE(service.waitFor("worker thread xActivate connection: entering check loop.", 0, kStartDeadline))
      << service.dump();
  ASSERT_EQ(server.kalpvar({"fault", rootMember("xActivateConnection"), "read", "0x81000003"}), 0);
  const auto failed = service.waitFor("Exception: cannot read xActivateConnection: ");
  ASSERT_TRUE(failed) << service.dump();
  // The error's message follows as a line of its own: wait for it to arrive before reading it.
  const auto message =
      service.log().waitFor([](const std::string&) { return true; }, *failed + 1, kDefaultDeadline);
  ASSERT_TRUE(message) << service.dump();
  EXPECT_FALSE(Service::body(service.log().line(*message)).empty());
  EXPECT_TRUE(service.waitFor("state: Error", *failed)) << service.dump();
  EXPECT_TRUE(service.waitFor("worker thread xActivate connection: thread stopped.", *failed))
      << service.dump();
}

// A bind that takes longer than the progress interval (5 s) traces how far it got and, at the
// end, the total and the time taken; a quick bind traces neither (the other tests' traces).
TEST(Initialise, LongBindTracesItsProgressAndItsEnd) {
  ServiceConfig config = plantConfig(1883);
  config.browsePauseMs = 25;  // 300 elements: about 7.5 s
  std::string values;
  for (int i = 0; i < 300; ++i) values += (i == 0 ? "" : ",") + std::to_string(i);
  config.plantMembers = "\"Big\": {\"type\": \"ARRAY\", \"elementType\": \"UINT16\", \"values\": [" + values + "]}";
  config.publishes = {{500, {{"plant/big", {"Big"}}}}};
  VariableServer server(config.treeJson());
  Service service(server);
  const auto done = service.waitFor("Binding variables: ", 0, 2 * kStartDeadline);
  ASSERT_TRUE(done) << service.dump();
  const std::string publish = rootMember("ZAL_MQTT_publish:0");
  EXPECT_NE(Service::body(service.log().line(*done)).find(" bound so far, now binding " + publish + "."),
            std::string::npos)
      << service.dump();
  // The end line: the three control flags, the array and its 300 elements.
  const auto end = service.waitFor("Binding variables: 304 bound in ", *done, 2 * kStartDeadline);
  ASSERT_TRUE(end) << service.dump();
  EXPECT_TRUE(service.waitFor(" ..done.", *end)) << service.dump();
}
