// The service against a real broker: messages published by a real client are written into the
// controller's variables; a flood beyond the queue limit is dropped without harm.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>

#include "IntegrationHarness.h"

using namespace zaltest;

namespace {

// The plant: a nested struct, an array with lower bound 1, strings and a counter.
const char* const kPlant =
    "\"Setpoints\": {\"type\": \"STRUCT\", \"members\": {"
    "  \"Speed\": {\"type\": \"REAL\", \"value\": 1500},"
    "  \"Mode\": {\"type\": \"UINT16\", \"value\": 1},"
    "  \"Limits\": {\"type\": \"STRUCT\", \"members\": {"
    "    \"Max\": {\"type\": \"SINT32\", \"value\": 100},"
    "    \"Min\": {\"type\": \"SINT32\", \"value\": 0}}}}},"
    "\"Temps\": {\"type\": \"ARRAY\", \"lowerBound\": 1, \"elementType\": \"REAL\", \"values\": [20.5, 21, "
    "22.25, 19.75]},"
    "\"Samples\": {\"type\": \"ARRAY\", \"elementType\": \"UINT32\", \"values\": ["
    "  0,0,0,0,0,0,0,0,0,0, 0,0,0,0,0,0,0,0,0,0, 0,0,0,0,0,0,0,0,0,0, 0,0,0,0,0,0,0,0,0,0,"
    "  0,0,0,0,0,0,0,0,0,0, 0,0,0,0,0,0,0,0,0,0, 0,0,0,0,0,0,0,0,0,0, 0,0,0,0,0,0,0,0,0,0]},"
    "\"Recipe\": {\"type\": \"STRING\", \"value\": \"default\"},"
    "\"Command\": {\"type\": \"STRING\", \"value\": \"\"},"
    "\"Count\": {\"type\": \"UINT32\", \"value\": 0}";

// Starts service and variable server, activates the connection and waits until the service has
// subscribed its last topic and a message on it arrives (the broker then knows every filter).
struct Running {
  Broker broker;
  ServiceConfig config;
  std::unique_ptr<VariableServer> server;
  std::unique_ptr<Service> service;
  std::unique_ptr<Publisher> publisher;

  explicit Running(const std::function<void(ServiceConfig&)>& configure,
                   BrokerKind kind = BrokerKind::Mosquitto)
      : broker(kind) {
    config.brokerPort = broker.port();
    config.plantMembers = kPlant;
    config.subscribes = {{"plant/count", {"Count"}, 1}};
    configure(config);
    server = std::make_unique<VariableServer>(config.treeJson());
    service = std::make_unique<Service>(*server);
    if (!service->waitFor("state: Disconnected", 0, kStartDeadline))
      throw std::runtime_error(service->dump());
    server->set(rootMember("xActivateConnection"), "1");
    if (!service->waitFor("subscribed to topic '" + config.subscribes.back().topic + "'."))
      throw std::runtime_error(service->dump());
    publisher = std::make_unique<Publisher>(broker.port());
    // The service's SUBSCRIBE and our first PUBLISH race at the broker: publish a probe until one
    // arrives.
    const auto deadline = Clock::now() + kDefaultDeadline;
    for (int probe = 1;; ++probe) {
      publisher->publish("plant/count", std::to_string(probe));
      if (server->waitForValue("APPL.Plant.Count", std::to_string(probe), 2s)) break;
      if (Clock::now() >= deadline) throw std::runtime_error("no probe arrived:\n" + service->dump());
    }
  }
};

// A field of /proc/<pid>/status in kB ("VmRSS", "VmHWM"); -1 when unreadable.
long procStatusKB(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

// Whether the process has a shared library whose name contains name mapped.
bool mapsLibrary(pid_t pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/maps");
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(name) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

class SubscribeOnEachBroker : public ::testing::TestWithParam<BrokerKind> {};
INSTANTIATE_TEST_SUITE_P(Broker, SubscribeOnEachBroker, ::testing::ValuesIn(brokerKinds()),
                         [](const ::testing::TestParamInfo<BrokerKind>& info) {
                           return brokerKindName(info.param);
                         });

TEST(Subscribe, RawSubscriptionsWriteTheVariableTheirConfigurationNames) {
  // A raw subscription writes the variable its configuration names, at any depth: a top-level
  // variable, a structure member, a nested member and an array element.
  Running run([](ServiceConfig& config) {
    config.plantMembers +=
        ",\"Cmd\": {\"type\": \"STRUCT\", \"members\": {"
        "  \"sText\": {\"type\": \"STRING\", \"value\": \"\"},"
        "  \"Sub\": {\"type\": \"STRUCT\", \"members\": {\"uiLevel\": {\"type\": \"UINT16\", \"value\": 0}}}}},"
        "\"aText\": {\"type\": \"ARRAY\", \"elementType\": \"STRING\", \"values\": [\"\", \"\", \"\"]}";
    config.subscribes = {
        {"raw/top", {"Command"}, 1},        {"raw/member", {"Cmd.sText"}, 1},
        {"raw/nested", {"Cmd.Sub.uiLevel"}, 1}, {"raw/element", {"aText[2]"}, 1},
        {"plant/count", {"Count"}, 1},
    };
  });
  VariableServer& server = *run.server;
  const size_t mark = run.service->mark();
  const std::vector<std::tuple<const char*, const char*, const char*>> cases = {
      {"raw/top", "APPL.Plant.Command", "start"},
      {"raw/member", "APPL.Plant.Cmd.sText", "HELLO"},
      {"raw/nested", "APPL.Plant.Cmd.Sub.uiLevel", "42"},
      {"raw/element", "APPL.Plant.aText[2]", "third"},
  };
  for (const auto& [topic, path, text] : cases) run.publisher->publish(topic, text);
  for (const auto& [topic, path, text] : cases) {
    SCOPED_TRACE(path);
    EXPECT_TRUE(server.waitForValue(path, text)) << run.service->log().dump(mark);
  }
  EXPECT_EQ(server.get("APPL.Plant.aText[1]"), "");
  // A refused write names the member's path.
  run.publisher->publish("raw/nested", "not a number");
  EXPECT_TRUE(run.service->waitFor("Warning: last raw write to 'APPL.Plant.Cmd.Sub.uiLevel' failed with state: 0x",
                                   mark))
      << run.service->log().dump(mark);
  EXPECT_EQ(server.get("APPL.Plant.Cmd.Sub.uiLevel"), "42");
}

TEST(Subscribe, EveryMemberOfAPayloadFromARealClientIsJudgedOnItsOwn) {
  // As Python's json writes it: whole-number bounds as 1.0; a 70,000-character text in the
  // middle that no single write can carry is skipped with a line naming it, the rest is written.
  Running run([](ServiceConfig& config) {
    config.subscribes = {{"plant/line1/set", {"Setpoints", "Temps", "Recipe"}}, {"plant/count", {"Count"}, 1}};
  });
  VariableServer& server = *run.server;
  const size_t mark = run.service->mark();
  const std::string longText(70000, 'x');
  run.publisher->publish("plant/line1/set", R"({"Temps": [9.25], "LowerBound_Temps": 1.0, "UpperBound_Temps": 1.0, )"
                                            R"("Recipe": ")" + longText + R"(", "Setpoints": {"Mode": 7}})");
  ASSERT_TRUE(server.waitForValue("APPL.Plant.Setpoints.Mode", "7")) << run.service->log().dump(mark);
  EXPECT_EQ(server.get("APPL.Plant.Temps[1]"), "9.25");
  EXPECT_EQ(server.get("APPL.Plant.Temps[2]"), "21");
  EXPECT_EQ(server.get("APPL.Plant.Recipe"), "default");
  EXPECT_TRUE(run.service->waitFor("DOMtoGVP(): APPL.Plant.Recipe not written, skipping this JSON member: ", mark))
      << run.service->log().dump(mark);
  EXPECT_EQ(run.service->log().count("Error: could not parse", mark), 0u) << run.service->log().dump(mark);
}

// Against each broker.
TEST_P(SubscribeOnEachBroker, JsonAndRawMessagesLandInTheVariables) {
  Running run(
      [](ServiceConfig& config) {
        config.subscribes = {
            {"plant/+/set", {"Setpoints", "Temps", "Recipe"}},
            {"plant/line1/set", {"Count"}},  // also matches, but comes second: never used
            {"plant/cmd", {"Command"}, 1},
            {"plant/count", {"Count"}, 1},
        };
      },
      GetParam());
  VariableServer& server = *run.server;
  const size_t mark = run.service->mark();

  // Nested struct, an array with bounds (only [2] and [3] of [1..4]), a string with escapes.
  run.publisher->publish("plant/line1/set",
                         R"({"Setpoints":{"Speed":1234.5,"Limits":{"Max":250,"Min":-40}},)"
                         R"("Temps":[30.5,31.5],"LowerBound_Temps":2,"UpperBound_Temps":3,)"
                         R"("Recipe":"say \"hi\" \\ tab\there \u00e9 \u20ac"})");
  run.publisher->publish("plant/cmd", "start pump 3");
  run.publisher->publish("plant/count", "4711");
  ASSERT_TRUE(server.waitForValue("APPL.Plant.Count", "4711")) << run.service->log().dump(mark);

  EXPECT_EQ(server.get("APPL.Plant.Setpoints.Speed"), "1234.5");
  EXPECT_EQ(server.get("APPL.Plant.Setpoints.Mode"), "1");  // not in the payload
  EXPECT_EQ(server.get("APPL.Plant.Setpoints.Limits.Max"), "250");
  EXPECT_EQ(server.get("APPL.Plant.Setpoints.Limits.Min"), "-40");
  EXPECT_EQ(server.get("APPL.Plant.Temps[1]"), "20.5");
  EXPECT_EQ(server.get("APPL.Plant.Temps[2]"), "30.5");
  EXPECT_EQ(server.get("APPL.Plant.Temps[3]"), "31.5");
  EXPECT_EQ(server.get("APPL.Plant.Temps[4]"), "19.75");
  EXPECT_EQ(server.get("APPL.Plant.Recipe"), "say \"hi\" \\ tab\there \xc3\xa9 \xe2\x82\xac");
  EXPECT_EQ(server.get("APPL.Plant.Command"), "start pump 3");
  EXPECT_EQ(run.service->log().count("Error: could not parse", mark), 0u) << run.service->log().dump(mark);

  // A JavaScript producer writes the setpoint 1800.0 as 1800: a whole number lands in a REAL.
  run.publisher->publish("plant/line1/set", R"({"Setpoints":{"Speed":1800}})");
  EXPECT_TRUE(server.waitForValue("APPL.Plant.Setpoints.Speed", "1800")) << run.service->log().dump(mark);

  // A raw write the variable refuses is reported once, and its recovery once.
  run.publisher->publish("plant/count", "not a number");
  run.publisher->publish("plant/count", "also not");
  run.publisher->publish("plant/count", "12");
  ASSERT_TRUE(server.waitForValue("APPL.Plant.Count", "12")) << run.service->log().dump(mark);
  EXPECT_EQ(
      run.service->log().count("Warning: last raw write to 'APPL.Plant.Count' failed with state: 0x", mark),
      1u);
  EXPECT_TRUE(run.service->waitFor("Raw write to 'APPL.Plant.Count' is ok, again.", mark))
      << run.service->log().dump(mark);

  // An empty payload on a subscribed topic.
  run.publisher->publish("plant/cmd", "");
  const auto error =
      run.service->waitFor("Error: could not parse and/or transfer subscribe message payload.", mark);
  ASSERT_TRUE(error) << run.service->log().dump(mark);
  const auto affected = run.service->waitFor("Affected topic is plant/cmd.", *error);
  ASSERT_TRUE(affected);
  // The topic line follows its error line; a line of another thread (a publish result, the
  // network thread) may land between the two, but no other parse error.
  EXPECT_GT(*affected, *error);
  for (size_t k = *error + 1; k < *affected; ++k)
    EXPECT_EQ(run.service->log().line(k).find("could not parse"), std::string::npos)
        << run.service->log().dump(mark);

  // Deactivation stops the worker: it wakes on the empty message.
  const size_t stop = run.service->mark();
  server.set(rootMember("xActivateConnection"), "0");
  EXPECT_TRUE(run.service->waitFor("subscribe thread stopped.", stop)) << run.service->log().dump(stop);
  EXPECT_TRUE(run.service->waitFor("end subscribe thread.", stop));
}

TEST(Subscribe, FloodBeyondTheLimitIsDroppedWithBoundedMemory) {
  constexpr uint32_t kLimitKB = 16;
  Running run([](ServiceConfig& config) {
    config.queueLimitKB = kLimitKB;
    config.subscribes = {{"plant/samples", {"Samples"}}, {"plant/count", {"Count"}, 1}};
  });
  const pid_t pid = run.service->process().pid();
  const long before = procStatusKB(pid, "VmHWM");
  ASSERT_GT(before, 0);

  // 4,000 messages of about 10 kB (40 MB) at QoS 0: each one writes 80 array elements through
  // the variable server, far slower than the broker delivers them.
  std::string payload = "{\"Samples\":[";
  for (int i = 0; i < 80; ++i) payload += (i ? "," : "") + std::to_string(1000 + i);
  payload += "],\"Padding\":\"" + std::string(10000, 'p') + "\"}";
  constexpr int kMessages = 4000;
  const size_t mark = run.service->mark();
  for (int i = 0; i < kMessages; ++i) run.publisher->publish("plant/samples", payload, 0);
  ASSERT_TRUE(run.publisher->waitAllSent(120s));

  ASSERT_TRUE(
      run.service->waitFor("size of subscribe message queue will exceed 16 kB RAM. Dropped message.", mark))
      << run.service->log().dump(mark);
  // The service keeps working: after the flood a message still lands (while the worker still
  // works off the flood a message may find the queue full and be dropped: send it again).
  const auto deadline = Clock::now() + 120s;
  for (;;) {
    run.publisher->publish("plant/count", "4242");
    if (run.server->waitForValue("APPL.Plant.Count", "4242", 2s)) break;
    ASSERT_LT(Clock::now(), deadline) << run.service->log().dump(run.service->log().size() - 50);
  }
  EXPECT_TRUE(run.service->process().running());
  EXPECT_EQ(run.server->get("APPL.Plant.Samples[79]"), "1079");

  // Peak memory grew by far less than the 40 MB that were sent (not measurable when the service
  // runs under AddressSanitizer, which keeps freed memory in quarantine).
  const long after = procStatusKB(pid, "VmHWM");
  if (!mapsLibrary(pid, "libasan")) {
    EXPECT_LT(after - before, 16 * 1024) << "VmHWM before " << before << " kB, after " << after << " kB";
  }
  const size_t dropped = run.service->log().count("Dropped message.", mark);
  EXPECT_GT(dropped, 0u);
  std::printf("flood: %d messages sent, %zu dropped by the service; VmHWM %ld kB before, %ld kB after\n",
              kMessages, dropped, before, after);
}
