// Initialisation and the activation watcher, with the real variable server.
#include <gtest/gtest.h>
#include <sys/un.h>

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

// Another client holds the service's status-report name when the service starts: the service
// says so, its library keeps trying, and once the name is free the report works.
TEST(Initialise, StatusReportNameHeldAtStartIsRegisteredOnceFree) {
  ServiceConfig config = plantConfig(1883);
  VariableServer server(config.treeJson());
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, server.socket().c_str());
  int squatter = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::connect(squatter, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  // A component registration of the stand-in's protocol: length, operation 12, the name.
  const std::string name = "ZAL_CLOUD_MQTT_OOP";
  std::string frame(1, '\x0c');
  const uint32_t nameLength = static_cast<uint32_t>(name.size());
  frame.append(reinterpret_cast<const char*>(&nameLength), 4).append(name);
  const uint32_t frameLength = static_cast<uint32_t>(frame.size());
  frame.insert(0, reinterpret_cast<const char*>(&frameLength), 4);
  ASSERT_EQ(::send(squatter, frame.data(), frame.size(), MSG_NOSIGNAL), static_cast<ssize_t>(frame.size()));
  char reply[8];
  ASSERT_EQ(::recv(squatter, reply, sizeof reply, MSG_WAITALL), 8);

  Service service(server);
  const auto refused = service.waitFor(
      "Status report registration refused: another client holds the name; retrying in the background", 0,
      kStartDeadline);
  ASSERT_TRUE(refused) << service.dump();
  ::close(squatter);
  ASSERT_TRUE(service.waitFor("Status report registration succeeded", *refused)) << service.dump();
  TempDir reports;
  std::string out;
  EXPECT_EQ(server.kalpvar({"report", name, reports.path()}, &out), 0) << out;
  EXPECT_TRUE(std::filesystem::exists(reports.path() + "/ZAL_CLOUD_MQTT_OOP/state.txt"));
}
