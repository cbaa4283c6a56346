// The opt-in members against a real broker: the status topic (birth, will, offline, stats),
// QoS and retain, the full state after a connect, the automatic retry from the error state.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <fstream>
#include <map>
#include <optional>
#include <regex>

#include "OutageSupport.h"

using namespace zaltest;

namespace {

const char* const kPlant =
    "\"Count\": {\"type\": \"UINT32\", \"value\": 7},"
    "\"Command\": {\"type\": \"STRING\", \"value\": \"\"},"
    "\"Drive\": {\"type\": \"STRUCT\", \"members\": {"
    "  \"Gear\": {\"type\": \"UINT8\", \"value\": 3},"
    "  \"On\": {\"type\": \"BOOL\", \"value\": true}}}";

std::string u32Member(const char* name, uint32_t value) {
  return "\"" + std::string(name) + "\": {\"type\": \"UINT32\", \"value\": " + std::to_string(value) + "}";
}
std::string textMember(const char* name, const std::string& value) {
  return "\"" + std::string(name) + "\": {\"type\": \"STRING\", \"value\": " + jsonString(value) + "}";
}

ServiceConfig plantConfig(int port, uint32_t activate) {
  ServiceConfig config;
  config.brokerPort = port;
  config.plantMembers = kPlant;
  config.activate = activate;
  config.keepAlive = 5;
  config.publishes = {{200, {{"plant/count", {"Count"}}}}};
  return config;
}

// The status topic with, optionally, a statistics period.
std::string statusMembers(uint32_t periodS = 0) {
  std::string members = textMember("strStatusTopic", "plant/status");
  if (periodS) members += ",\n" + u32Member("uiStatusPeriodS", periodS);
  return members;
}

auto has(const std::string& text) {
  return [text](const std::string& payload) { return payload.find(text) != std::string::npos; };
}
auto any() {
  return [](const std::string&) { return true; };
}

// The retained message of topic as a subscriber that arrives now sees it.
std::optional<Message> retainedOf(int port, const std::string& topic) {
  Subscriber late(port, topic);
  auto message = late.waitFor(topic, any(), 0, 10s);
  if (message && !message->retain) return std::nullopt;
  return message;
}

// An unsigned counter of a statistics payload; -1 when absent.
long long counter(const std::string& payload, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  const size_t at = payload.find(key);
  return at == std::string::npos ? -1 : std::stoll(payload.substr(at + key.size()));
}

}  // namespace

TEST(StatusTopic, BirthIsRetainedAndOfflineCarriesTheReason) {
  Broker broker;
  ServiceConfig config = plantConfig(broker.port(), 1);
  config.extraRootMembers = statusMembers();
  VariableServer server(config.treeJson());
  Subscriber watcher(broker.port(), "plant/#");
  Service service(server);
  ASSERT_TRUE(service.waitFor("state: Connected", 0, kStartDeadline)) << service.dump();

  // The birth goes before the first payload.
  const auto first = watcher.waitFor("plant/status", any());
  ASSERT_TRUE(first) << service.dump();
  ASSERT_TRUE(watcher.waitFor("plant/count", any()));
  EXPECT_LT(first->at, watcher.messages("plant/count").front().at);

  const auto birth = retainedOf(broker.port(), "plant/status");
  ASSERT_TRUE(birth);
  EXPECT_EQ(birth->qos, 1);
  EXPECT_TRUE(
      has("\"status\":\"online\",\"clientId\":\"zal-it\",\"service\":\"ZAL_CLOUD_MQTT_OOP\","
          "\"version\":\"1.0\",\"connectedAt\":\"20")(birth->payload))
      << birth->payload;
  EXPECT_EQ(birth->payload.back(), '}');
  EXPECT_EQ(birth->payload.substr(birth->payload.size() - 3), "Z\"}") << birth->payload;

  // The flag falls: offline with the reason "requested", and it stays.
  size_t seen = watcher.count("plant/status");
  server.set(rootMember("xActivateConnection"), "0");
  ASSERT_TRUE(service.waitFor("state: Disconnected")) << service.dump();
  EXPECT_TRUE(watcher.waitFor("plant/status", has("\"reason\":\"requested\""), seen));
  auto offline = retainedOf(broker.port(), "plant/status");
  ASSERT_TRUE(offline);
  EXPECT_EQ(offline->payload, "{\"status\":\"offline\",\"clientId\":\"zal-it\",\"reason\":\"requested\"}");

  // Connected again, then SIGINT: offline with "shutdown" before the service ends.
  seen = watcher.count("plant/status");
  server.set(rootMember("xActivateConnection"), "1");
  ASSERT_TRUE(watcher.waitFor("plant/status", has("\"status\":\"online\""), seen)) << service.dump();
  seen = watcher.count("plant/status");
  service.interrupt();
  const std::optional<int> status = service.process().waitExit(kDefaultDeadline);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << service.dump();
  EXPECT_TRUE(watcher.waitFor("plant/status", has("\"reason\":\"shutdown\""), seen));
  offline = retainedOf(broker.port(), "plant/status");
  ASSERT_TRUE(offline);
  EXPECT_EQ(offline->payload, "{\"status\":\"offline\",\"clientId\":\"zal-it\",\"reason\":\"shutdown\"}");
}

// Payloads the MQTT library still holds from before a loss are resent after the reconnection;
// the birth message goes before them. The broker is frozen while the service publishes every
// 10 ms (the payloads reach its socket but are never acknowledged), then killed.
TEST(StatusTopic, BirthComesBeforeWhatTheLibraryKeptFromBeforeALoss) {
  const int port = freePort();
  auto broker = std::make_unique<BrokerOnPort>(port);
  ServiceConfig config = plantConfig(port, 1);
  config.extraRootMembers = statusMembers();
  config.publishes = {{10, {{"plant/count", {"Count"}}}}};
  VariableServer server(config.treeJson());
  Service service(server);
  ASSERT_TRUE(service.waitFor("state: Connected", 0, kStartDeadline)) << service.dump();

  const size_t mark = service.mark();
  broker->process().signal(SIGSTOP);
  std::this_thread::sleep_for(1s);  // about 100 payloads handed to the library meanwhile
  broker->process().signal(SIGKILL);
  broker.reset();
  ASSERT_TRUE(service.waitFor("ConnectionLost", mark)) << service.dump(mark);
  broker = std::make_unique<BrokerOnPort>(port);
  Subscriber watcher(port, "plant/#");
  ASSERT_TRUE(service.waitFor("state: Connected", mark, 60s)) << service.dump(mark);
  ASSERT_TRUE(watcher.waitFor("plant/count", any())) << service.dump(mark);
  const std::vector<Message> received = watcher.messages();
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(received.front().topic, "plant/status") << received.front().payload;
  EXPECT_TRUE(has("\"status\":\"online\"")(received.front().payload)) << received.front().payload;
}

TEST(StatusTopic, WillIsDeliveredWhenTheServiceIsKilled) {
  Broker broker;
  ServiceConfig config = plantConfig(broker.port(), 1);
  config.extraRootMembers = statusMembers();
  VariableServer server(config.treeJson());
  Subscriber watcher(broker.port(), "plant/status");
  Service service(server);
  ASSERT_TRUE(watcher.waitFor("plant/status", has("\"status\":\"online\""))) << service.dump();
  service.process().signal(SIGKILL);
  const auto will = watcher.waitFor("plant/status", has("\"status\":\"offline\""), 1);
  ASSERT_TRUE(will);
  EXPECT_EQ(will->payload, "{\"status\":\"offline\",\"clientId\":\"zal-it\",\"reason\":\"lost\"}");
  const auto retained = retainedOf(broker.port(), "plant/status");
  ASSERT_TRUE(retained);
  EXPECT_EQ(retained->payload, will->payload);
}

TEST(StatusTopic, StatisticsCountTrafficAndQueueDrops) {
  Broker broker;
  ServiceConfig config = plantConfig(broker.port(), 1);
  config.extraRootMembers = statusMembers(1);
  config.queueLimitKB = 1;
  config.traceLevel = 1;  // drops are traced at level 3 only: the counter shows them
  config.subscribes = {{"plant/command", {"Command"}, 1}};
  VariableServer server(config.treeJson());
  Subscriber watcher(broker.port(), "plant/status/stats");
  Service service(server);
  const auto early = watcher.waitFor("plant/status/stats", any(), 0, kStartDeadline);
  ASSERT_TRUE(early) << service.dump();
  EXPECT_FALSE(early->retain);
  EXPECT_EQ(counter(early->payload, "connectionsMade"), 1) << early->payload;

  // One message that lands, then a flood far beyond the 1 kB queue.
  Publisher publisher(broker.port());
  for (int probe = 0; !server.waitForValue("APPL.Plant.Command", "probe", 1s); ++probe) {
    publisher.publish("plant/command", "probe");
    ASSERT_LT(probe, 20) << service.dump();
  }
  const std::string big(900, 'x');
  for (int i = 0; i < 300; ++i) publisher.publish("plant/command", big, 0);
  ASSERT_TRUE(publisher.waitAllSent());

  const auto later = watcher.waitFor(
      "plant/status/stats", [](const std::string& p) { return counter(p, "queueDrops") > 0; }, 0, 60s);
  ASSERT_TRUE(later) << service.dump();
  EXPECT_GT(counter(later->payload, "published"), counter(early->payload, "published"));
  EXPECT_GE(counter(later->payload, "received"), 2);
  EXPECT_GE(counter(later->payload, "applied"), 1);
  EXPECT_EQ(counter(later->payload, "publishFailures"), 0);
  EXPECT_EQ(counter(later->payload, "connectionsLost"), 0);
  EXPECT_GE(counter(later->payload, "uptimeS"), counter(early->payload, "uptimeS"));
  EXPECT_EQ(service.log().count("Dropped message."), 0u);
}

TEST(QosAndRetain, PublishSetAtQos2Retained) {
  Broker broker;
  ServiceConfig config = plantConfig(broker.port(), 1);
  config.publishes[0].extraMembers = u32Member("uiQoS", 2) + ", " + u32Member("xRetain", 1);
  VariableServer server(config.treeJson());
  Subscriber live(broker.port(), "plant/count", "", "", 2);
  Service service(server);
  const auto message = live.waitFor("plant/count", any(), 0, kStartDeadline);
  ASSERT_TRUE(message) << service.dump();
  EXPECT_EQ(message->qos, 2);
  EXPECT_EQ(message->payload, "{\"Count\":7}");
  // A subscriber that comes later gets the last value at once, retained.
  Subscriber late(broker.port(), "plant/count", "", "", 2);
  const auto retained = late.waitFor("plant/count", any(), 0, 10s);
  ASSERT_TRUE(retained);
  EXPECT_TRUE(retained->retain);
  EXPECT_EQ(retained->qos, 2);
}

TEST(QosAndRetain, CommandSentWhileOfflineIsWrittenOnceBack) {
  Broker broker;
  ServiceConfig config = plantConfig(broker.port(), 1);
  config.cleanSession = 0;
  config.clientId = "zal-it-persistent";
  config.subscribes = {{"plant/command", {"Command"}, 1, 0, 0, u32Member("uiQoS", 1)}};
  VariableServer server(config.treeJson());
  Service service(server);
  ASSERT_TRUE(service.waitFor("subscribed to topic 'plant/command'.", 0, kStartDeadline)) << service.dump();
  Publisher publisher(broker.port());
  for (int probe = 0; !server.waitForValue("APPL.Plant.Command", "probe", 1s); ++probe) {
    publisher.publish("plant/command", "probe");
    ASSERT_LT(probe, 20) << service.dump();
  }

  size_t mark = service.mark();
  server.set(rootMember("xActivateConnection"), "0");
  ASSERT_TRUE(service.waitFor("state: Disconnected", mark)) << service.dump(mark);
  publisher.publish("plant/command", "start", 1);
  ASSERT_TRUE(publisher.waitAllSent());
  EXPECT_EQ(server.get("APPL.Plant.Command"), "probe");

  mark = service.mark();
  server.set(rootMember("xActivateConnection"), "1");
  ASSERT_TRUE(service.waitFor("state: Connected", mark)) << service.dump(mark);
  EXPECT_TRUE(server.waitForValue("APPL.Plant.Command", "start")) << service.dump(mark);
}

TEST(FullOnConnect, FirstPayloadAfterABrokerRestartHoldsTheWholeSet) {
  const int port = freePort();
  auto broker = std::make_unique<BrokerOnPort>(port);
  ServiceConfig config = plantConfig(port, 1);
  // Retained, so that a subscriber that comes after the reconnect still sees its first payload.
  config.publishes = {{100,
                       {{"plant/drive", {"Count", "Drive"}, 0, 1, 1}},
                       u32Member("xFullOnConnect", 1) + ", " + u32Member("xRetain", 1)}};
  VariableServer server(config.treeJson());
  Subscriber before(port, "plant/drive");
  Service service(server);
  const auto first = before.waitFor("plant/drive", any(), 0, kStartDeadline);
  ASSERT_TRUE(first) << service.dump();
  EXPECT_EQ(first->payload, "{\"Count\":7,\"Drive\":{\"Gear\":3,\"On\":true}}");
  server.set("APPL.Plant.Drive.Gear", "4");
  const auto changed = before.waitFor("plant/drive", any(), 1);
  ASSERT_TRUE(changed) << service.dump();
  EXPECT_EQ(changed->payload, "{\"Drive\":{\"Gear\":4}}");  // only what changed

  size_t mark = service.mark();
  broker.reset();
  ASSERT_TRUE(service.waitFor("ConnectionLost", mark)) << service.dump(mark);
  broker = std::make_unique<BrokerOnPort>(port);
  ASSERT_TRUE(service.waitFor("state: Connected", mark, 60s)) << service.dump(mark);
  Subscriber watcher(port, "plant/drive");
  const auto full = watcher.waitFor("plant/drive", any());
  ASSERT_TRUE(full) << service.dump(mark);
  EXPECT_EQ(full->payload, "{\"Count\":7,\"Drive\":{\"Gear\":4,\"On\":true}}");
}

TEST(AutomaticRetry, StartsOverByItselfWithDoublingWaits) {
  Broker broker;
  ServiceConfig config = plantConfig(broker.port(), 1);
  config.keepAlive = 3;  // refused by the library: every start ends in the error state
  config.extraRootMembers = u32Member("uiErrorRetryS", 1);
  VariableServer server(config.treeJson());
  Service service(server);
  std::optional<size_t> at = 0;
  std::vector<size_t> waits;
  for (const char* wait : {"Automatic retry in 1 s.", "Automatic retry in 2 s.", "Automatic retry in 4 s."}) {
    at = service.waitFor(wait, *at, kStartDeadline);
    ASSERT_TRUE(at) << wait << "\n" << service.dump();
    waits.push_back(*at);
  }
  // Between two waits, the service started over: the retry event, a new configuration.
  for (size_t i = 0; i + 1 < waits.size(); ++i) {
    const auto retry = service.waitFor("Automatic retry: retry start of MQTT service..", waits[i], 1s);
    ASSERT_TRUE(retry && *retry < waits[i + 1]) << service.dump();
    const auto init = service.waitFor("state action: Entry initialize", *retry, 1s);
    ASSERT_TRUE(init && *init < waits[i + 1]) << service.dump();
    const auto waited = service.log().arrival(*retry) - service.log().arrival(waits[i]);
    EXPECT_GE(ms(waited), 1000 * (1 << i) - 100) << i;
  }
  // A connection that works: the next start connects.
  server.set(rootMember("keepAliveTime"), "10");
  ASSERT_TRUE(service.waitFor("state: Connected", *at, kStartDeadline)) << service.dump(*at);
}

// What a trace line says about the machine it ran on rather than about the service, replaced by
// a placeholder, so that a reference recorded on one machine holds on any other: the OpenSSL
// versions of the banner (headers and library), the library's build metadata line (dropped: only
// some builds have one), and wherever they appear, calendar dates and times, the broker's port,
// the service's PID, the host name and the temporary folder. The OpenSSL lines are masked only
// when the rest of the line is exactly as before; any other change in any line stays visible.
// Literal values (port, PID, host name, folder) are replaced as whole words, and only from 4
// characters on: a shorter one could stand for an ordinary word or number of the trace. A line
// that is dropped gives nullopt.
namespace {
std::optional<std::string> machineNeutral(std::string line,
                                          const std::map<std::string, std::string>& literals) {
  static const std::regex kBuiltAgainst(
      R"(^Service was built against OpenSSL version \d+\.\d+\.\d+"[^"]*"$)");
  static const std::regex kFound(R"(^Service has found OpenSSL version \d+\.\d+\.\d+\S*$)");
  static const std::regex kMetadata(R"(^OpenSSL meta data: )");
  static const std::regex kDateTime(R"(\b\d{4}-\d{2}-\d{2}([T ]\d{2}:\d{2}:\d{2}(\.\d+)?Z?)?\b)");
  static const std::regex kTime(R"(\b\d{2}:\d{2}:\d{2}(\.\d+)?\b)");
  if (std::regex_match(line, kBuiltAgainst))
    return "Service was built against OpenSSL version <version>\"<tag>\"";
  if (std::regex_match(line, kFound)) return "Service has found OpenSSL version <version>";
  if (std::regex_search(line, kMetadata)) return std::nullopt;
  for (const auto& [value, placeholder] : literals) {
    if (value.size() < 4) continue;
    const auto isWordChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
    for (size_t at = line.find(value); at != std::string::npos; at = line.find(value, at)) {
      const size_t end = at + value.size();
      if ((at > 0 && isWordChar(line[at - 1])) || (end < line.size() && isWordChar(line[end]))) {
        at = end;
        continue;
      }
      line.replace(at, value.size(), placeholder);
      at += placeholder.size();
    }
  }
  line = std::regex_replace(line, kDateTime, "<date>");
  return std::regex_replace(line, kTime, "<time>");
}
}  // namespace

TEST(Unchanged, MachineNeutralMasksOnlyWhatDiffersByMachine) {
  const std::map<std::string, std::string> literals = {
      {"41883", "<port>"}, {"4711", "<pid>"}, {"ctl-7", "<host>"}, {"7", "<pid>"}};
  const std::pair<const char*, const char*> cases[] = {
      {"Service was built against OpenSSL version 3.0.22\"\"",
       "Service was built against OpenSSL version <version>\"<tag>\""},
      {"Service was built against OpenSSL version 3.2.0\"-alpha1\"",
       "Service was built against OpenSSL version <version>\"<tag>\""},
      {"Service has found OpenSSL version 3.0.19", "Service has found OpenSSL version <version>"},
      {"Service has found OpenSSL version 3.1.0-beta1", "Service has found OpenSSL version <version>"},
      // Any other change of the banner's words stays visible.
      {"Service was built against OpenSSL 3.0.22\"\"", "Service was built against OpenSSL 3.0.22\"\""},
      {"Service has found OpenSSL version 3.0.19 (patched)",
       "Service has found OpenSSL version 3.0.19 (patched)"},
      {"connected to 127.0.0.1:41883 from ctl-7, pid 4711",
       "connected to 127.0.0.1:<port> from <host>, pid <pid>"},
      {"port 418830 and 141883 stay", "port 418830 and 141883 stay"},
      {"at 2026-12-10T16:30:05Z and 2026-12-10 16:30:05.123", "at <date> and <date>"},
      {"keepAliveTime 7, period 500 ms", "keepAliveTime 7, period 500 ms"},
  };
  for (const auto& [line, want] : cases) EXPECT_EQ(machineNeutral(line, literals), std::string(want)) << line;
  EXPECT_EQ(machineNeutral("OpenSSL meta data: built on: today", literals), std::nullopt);
}

// A tree without any of the new members traces and publishes exactly as the service did before
// they existed. The reference trace was recorded from the service as it was then, and is kept
// machine-neutral (see machineNeutral): run this test with ZAL_IT_RECORD_SERVICE=<that binary>
// to write it again. One run: start, connect, one payload, disconnect on the flag, SIGINT.
TEST(Unchanged, TreeWithoutNewMembersTracesAndPublishesAsBefore) {
  const std::string reference =
      std::string(ZAL_SOURCE_DIR) + "/tests/integration/data/trace_without_new_members.txt";
  const char* recordWith = std::getenv("ZAL_IT_RECORD_SERVICE");
  Broker broker;
  ServiceConfig config = plantConfig(broker.port(), 0);
  config.subscribes = {{"plant/command", {"Command"}, 1}};
  VariableServer server(config.treeJson());
  Subscriber watcher(broker.port(), "#");
  std::vector<std::string> prefix;
  if (recordWith) prefix = {"/bin/sh", "-c", std::string("exec '") + recordWith + "'"};
  Service service(server, prefix);

  ASSERT_TRUE(service.waitFor("state: Disconnected", 0, kStartDeadline)) << service.dump();
  server.set(rootMember("xActivateConnection"), "1");
  ASSERT_TRUE(service.waitFor("state: Connected")) << service.dump();
  const auto payload = watcher.waitFor("plant/count", any());
  ASSERT_TRUE(payload) << service.dump();
  server.set(rootMember("xActivateConnection"), "0");
  const auto disconnected = service.waitFor("state: Disconnected", *service.waitFor("state: Connected"));
  ASSERT_TRUE(disconnected) << service.dump();
  service.interrupt();
  ASSERT_TRUE(service.process().waitExit(kDefaultDeadline)) << service.dump();
  ASSERT_TRUE(service.waitFor("Leaving MQTT service. Good bye!"));

  // Trace lines without their time stamps and machine-neutral, then the first payload and
  // anything unexpected.
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::map<std::string, std::string> literals = {{std::to_string(broker.port()), "<port>"},
                                                       {std::to_string(service.process().pid()), "<pid>"},
                                                       {host, "<host>"},
                                                       {server.socket(), "<socket>"}};
  std::vector<std::string> lines;
  for (const std::string& line : service.log().lines())
    if (auto neutral = machineNeutral(Service::body(line), literals)) lines.push_back(*neutral);
  std::string actual;
  for (const std::string& line : lines) actual += line + "\n";
  actual += "payload " + payload->payload + " qos " + std::to_string(payload->qos) + " retain " +
            std::to_string(payload->retain) + "\n";
  for (const Message& m : watcher.messages())
    if (m.topic != "plant/count") actual += "unexpected message on " + m.topic + "\n";

  if (recordWith) {
    writeFile(reference, actual);
    GTEST_SKIP() << "reference written to " << reference;
  }
  std::ifstream in(reference);
  ASSERT_TRUE(in) << "missing " << reference;
  std::vector<std::string> expected;
  for (std::string line; std::getline(in, line);) expected.push_back(line);
  std::vector<std::string> got;
  {
    std::istringstream out(actual);
    for (std::string line; std::getline(out, line);) got.push_back(line);
  }
  // The activation watcher and the subscribe worker write their lines while the main thread
  // writes its own: each side is compared in its own order, the main thread's lines first. The
  // watcher's last line comes only when it wakes before the process has ended: left out.
  const auto settle = [](const std::vector<std::string>& all) {
    const auto otherThread = [](const std::string& line) {
      return line.rfind("worker thread xActivate connection:", 0) == 0 || line.rfind("IEC ", 0) == 0 ||
             line == "subscribe thread started.." || line == "Processing last subscribe message in queue." ||
             line == "end subscribe thread.";
    };
    std::vector<std::string> main, other;
    for (const std::string& line : all) {
      if (line == "worker thread xActivate connection: thread stopped.") continue;
      (otherThread(line) ? other : main).push_back(line);
    }
    main.insert(main.end(), other.begin(), other.end());
    return main;
  };
  const std::vector<std::string> want = settle(expected);
  const std::vector<std::string> have = settle(got);
  for (size_t i = 0; i < std::max(want.size(), have.size()); ++i) {
    const std::string w = i < want.size() ? want[i] : "<none>";
    const std::string h = i < have.size() ? have[i] : "<none>";
    ASSERT_EQ(h, w) << "line " << i << "\n" << actual;
  }
}
