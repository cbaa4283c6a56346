// Connections as plants run them: a broker behind a TCP port-forward that restarts, an error
// reached while connected or while connecting, a disconnect whose reconnect hangs. The real
// service against real mosquitto brokers, the stand-in variable server and the harness's
// forwarder.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "OutageSupport.h"

using namespace zaltest;

namespace {

// A counter the variable server advances every 200 ms; the set samples it every 50 ms and
// publishes on change, so that each value is published once. Count takes received commands.
const char* const kPlant =
    "\"Counter\": {\"type\": \"UINT32\", \"value\": 0, \"simulate\": {\"kind\": \"counter\", \"periodMs\": "
    "200}}, \"Count\": {\"type\": \"UINT32\", \"value\": 7}";

std::string textMember(const char* name, const std::string& value) {
  return std::string("\"") + name + "\": {\"type\": \"STRING\", \"value\": " + jsonString(value) + "}";
}

ServiceConfig plantConfig(int port) {
  ServiceConfig config;
  config.brokerPort = port;
  config.plantMembers = kPlant;
  config.activate = 1;
  config.keepAlive = 5;
  config.publishes = {{50,
                       {{"plant/counter", {"Counter"}, 0, 1, 0}},
                       "\"uiOfflineBufferKB\": {\"type\": "
                       "\"UINT32\", \"value\": 64}"}};
  return config;
}

std::function<bool(const std::string&)> has(const std::string& text) {
  return [text](const std::string& payload) { return payload.find(text) != std::string::npos; };
}

}  // namespace

// The broker restarts behind a port-forward: for 5 s (and, in the plain build, 60 s) every
// connection the service makes is accepted by the forwarder and closed at once. That is an
// outage like any other: the service keeps reconnecting, traces the cause once and the
// outage's end once, keeps its offline buffer and sends it after the reconnection, so that the
// subscribers see every value.
class BrokerRestart : public testing::TestWithParam<int> {};

std::vector<int> outageSeconds() {
#if defined(ZAL_PLAIN_BUILD)
  return {5, 60};
#else
  return {5};
#endif
}

INSTANTIATE_TEST_SUITE_P(PlantNetwork, BrokerRestart, testing::ValuesIn(outageSeconds()),
                         [](const testing::TestParamInfo<int>& info) {
                           return std::to_string(info.param) + "s";
                         });

TEST_P(BrokerRestart, BehindAForwarderIsTransient) {
  const auto outage = std::chrono::seconds(GetParam());
  auto broker = std::make_unique<Broker>();
  TcpForwarder forwarder(broker->port());
  ServiceConfig config = plantConfig(forwarder.port());
  VariableServer server(config.treeJson());
  auto before = std::make_unique<Subscriber>(broker->port(), "plant/counter");
  Service service(server);
  ASSERT_TRUE(service.waitFor("state: Connected", 0, kStartDeadline)) << service.dump();
  ASSERT_FALSE(before->waitForCount("plant/counter", 3).size() < 3) << service.dump();

  const size_t mark = service.mark();
  const int restartPort = freePort();
  broker.reset();  // the forwarder's target is gone: it accepts and closes
  const auto brokerGone = Clock::now();
  ASSERT_TRUE(service.waitFor("ConnectionLost", mark)) << service.dump(mark);
  const auto lastBefore = before->messages("plant/counter");
  ASSERT_FALSE(lastBefore.empty());
  const long long lastSeen = counterOf(lastBefore.back().payload);
  before.reset();
  // The outage's length, with several connections accepted and closed before the broker is back.
  const auto deadline = brokerGone + outage + 30s;
  while ((forwarder.closedAtOnce() < 4 || Clock::now() < brokerGone + outage) && Clock::now() < deadline)
    std::this_thread::sleep_for(100ms);
  ASSERT_GE(forwarder.closedAtOnce(), 4u) << service.dump(mark);
  EXPECT_EQ(service.log().count("state: Error", mark), 0u) << service.dump(mark);

  // The broker is back (on a port of its own; the forwarder is pointed at it once a subscriber
  // listens there, so that nothing the service sends can go past it).
  BrokerOptions options;
  options.port = restartPort;
  broker = std::make_unique<Broker>(options);
  Subscriber after(restartPort, "plant/counter");
  forwarder.retarget(restartPort);
  const auto back = waitForSequence(
      service, {"connection to the broker re-established after ", "state: Connected"}, mark, 60s);
  ASSERT_TRUE(back) << service.dump(mark);

  // The cause once for the whole outage; no error state; nothing discarded.
  EXPECT_EQ(service.log().count("connection to the broker lost: ", mark), 1u) << service.dump(mark);
  EXPECT_EQ(service.log().count("state: Error", mark), 0u) << service.dump(mark);
  EXPECT_EQ(service.log().count("discarded", mark), 0u) << service.dump(mark);
  const std::string ended =
      Service::body(service.log().line(*service.waitFor("re-established after ", mark)));
  EXPECT_NE(ended.find(" failed attempts in "), std::string::npos) << ended;

  // Everything sampled during the outage arrives: the values go on from the last one seen.
  const long long now = std::stoll(server.get("APPL.Plant.Counter").value());
  const auto got =
      after.waitFor("plant/counter", [now](const std::string& p) { return counterOf(p) >= now; });
  ASSERT_TRUE(got) << service.dump(mark);
  std::set<long long> values;
  for (const Message& m : after.messages("plant/counter")) values.insert(counterOf(m.payload));
  for (long long v = lastSeen + 1; v <= now; ++v) EXPECT_TRUE(values.count(v)) << "missing value " << v;
}

// An error reached while connected leaves the broker: the retained status says "error", the
// broker sees the client disconnect, and no connection is made while the error state lasts, so
// a command sent meanwhile is never written. The retry starts a new session.
TEST(PlantNetwork, ErrorWhileConnectedLeavesTheBroker) {
  Broker broker;
  ServiceConfig config = plantConfig(broker.port());
  config.subscribes = {{"plant/cmd", {"Count"}, 1}};
  config.extraRootMembers = textMember("strStatusTopic", "plant/status");
  VariableServer server(config.treeJson());
  Subscriber status(broker.port(), "plant/status");
  Service service(server);
  ASSERT_TRUE(service.waitFor("subscribed to topic 'plant/cmd'.", 0, kStartDeadline)) << service.dump();
  ASSERT_TRUE(status.waitFor("plant/status", has("\"status\":\"online\""))) << service.dump();

  const size_t mark = service.mark();
  const size_t brokerMark = broker.log().size();
  ASSERT_EQ(server.kalpvar({"fault", rootMember("xActivateConnection"), "read", "0x81000504"}), 0);
  ASSERT_TRUE(waitForSequence(
      service,
      {"Exception: cannot read xActivateConnection", "state action: Entry error",
       "MQTT client stopped: no connection to the broker while in state 'error'.", "state: Error"},
      mark))
      << service.dump(mark);
  EXPECT_TRUE(status.waitFor("plant/status", has("\"reason\":\"error\""))) << service.dump(mark);
  ASSERT_TRUE(broker.log().waitFor(contains("Client zal-it disconnected"), brokerMark, kDefaultDeadline))
      << broker.log().dump(brokerMark);

  // A command during the error state: nobody takes it, and no connection is tried.
  Publisher publisher(broker.port());
  publisher.publish("plant/cmd", "41");
  ASSERT_TRUE(publisher.waitAllSent());
  EXPECT_FALSE(broker.log().waitFor(contains(" as zal-it ("), brokerMark, 4s))
      << broker.log().dump(brokerMark);
  EXPECT_EQ(server.get("APPL.Plant.Count"), "7");
  // The retained status stayed "error": the broker dropped the last will on the clean leave.
  EXPECT_EQ(status.messages("plant/status").back().payload,
            "{\"status\":\"offline\",\"clientId\":\"zal-it\",\"reason\":\"error\"}");

  // Retry: a new session, without the command sent during the error.
  const size_t retryMark = service.mark();
  ASSERT_EQ(server.kalpvar({"fault", rootMember("xActivateConnection"), "read", "clear"}), 0);
  server.set(rootMember("xErrorRetry"), "1");
  ASSERT_TRUE(service.waitFor("subscribed to topic 'plant/cmd'.", retryMark, kStartDeadline))
      << service.dump(retryMark);
  EXPECT_FALSE(server.waitForValue("APPL.Plant.Count", "41", 3s)) << service.dump(retryMark);
  publisher.publish("plant/cmd", "42");
  EXPECT_TRUE(server.waitForValue("APPL.Plant.Count", "42")) << service.dump(retryMark);
}

// The connection timer's way to the error state stops the library as well: a broker that
// appears on that port afterwards sees no login while the state lasts. (A handshake that is
// never answered: the library itself notices nothing before the timer.)
TEST(PlantNetwork, ConnectTimeoutThenABrokerSeesNoLogin) {
  const int port = freePort();
  auto silent = std::make_unique<UnansweredListener>(port);
  ServiceConfig config = plantConfig(port);
  VariableServer server(config.treeJson());
  Service service(server);
  // The timer and the library's own keep-alive check both end the attempt after the keep-alive
  // time; whichever the service sees first decides (the library's report is a transient loss).
  const auto first = service.log().waitFor(
      [](const std::string& line) {
        return line.find("Error: the broker has refused the connection.") != std::string::npos ||
               line.find("connection to the broker lost: ") != std::string::npos;
      },
      0, kStartDeadline);
  ASSERT_TRUE(first) << service.dump();
  if (service.log().line(*first).find("refused") == std::string::npos)
    GTEST_SKIP() << "the library reported the unanswered attempt before the connection timer";
  ASSERT_TRUE(waitForSequence(
      service,
      {"state action: Entry error",
       "MQTT client stopped: no connection to the broker while in state 'error'.", "state: Error"},
      *first))
      << service.dump();
  silent.reset();
  BrokerOptions options;
  options.port = port;
  Broker broker(options);
  const size_t brokerMark = broker.log().size();  // after the broker's own start-up check
  EXPECT_FALSE(broker.log().waitFor(contains(" as zal-it ("), brokerMark, 5s))
      << broker.log().dump(brokerMark);
  EXPECT_EQ(server.get(rootMember("xConnectedToBroker")), "0");
}

// A disconnect requested while a reconnect's TCP handshake hangs ends in Disconnected within
// the keep-alive time, and the activation flag is followed from there.
TEST(PlantNetwork, DisconnectingWithAHungReconnectEndsInTime) {
  const int port = freePort();
  BrokerOptions options;
  options.port = port;
  auto broker = std::make_unique<Broker>(options);
  ServiceConfig config = plantConfig(port);
  VariableServer server(config.treeJson());
  Service service(server);
  ASSERT_TRUE(service.waitFor("state: Connected", 0, kStartDeadline)) << service.dump();

  size_t mark = service.mark();
  broker.reset();
  auto unanswered = std::make_unique<UnansweredListener>(port);
  ASSERT_TRUE(service.waitFor("ConnectionLost", mark)) << service.dump(mark);
  ASSERT_TRUE(unanswered->waitForPendingClient(kDefaultDeadline)) << service.dump(mark);

  mark = service.mark();
  server.set(rootMember("xActivateConnection"), "0");
  const auto disconnecting = service.waitFor("state: Disconnecting", mark);
  ASSERT_TRUE(disconnecting) << service.dump(mark);
  const auto since = Clock::now();
  server.set(rootMember("xActivateConnection"), "1");  // raised again while disconnecting
  const auto disconnected = service.waitFor("state: Disconnected", *disconnecting, 30s);
  ASSERT_TRUE(disconnected) << service.dump(mark);
  EXPECT_LE(Clock::now() - since, std::chrono::seconds(config.keepAlive) + 2s) << service.dump(mark);
  EXPECT_EQ(service.log().count("MQTT disconnection not confirmed within the keep-alive time.", mark), 1u)
      << service.dump(mark);

  // The flag's level is followed from there: the service connects again.
  EXPECT_TRUE(service.waitFor("state: EntryPrepareToConnect", *disconnected)) << service.dump(mark);
  EXPECT_EQ(service.log().count("state: Error", mark), 0u) << service.dump(mark);
}

// uiReconnectMaxS: while the broker is away (the forwarder accepts and closes), the waits
// between attempts double from about 1 s up to the maximum, and each is spread by jitter.
TEST(PlantNetwork, ReconnectWaitsGrowAndSpread) {
  auto broker = std::make_unique<Broker>();
  TcpForwarder forwarder(broker->port());
  ServiceConfig config = plantConfig(forwarder.port());
  config.extraRootMembers = "\"uiReconnectMaxS\": {\"type\": \"UINT32\", \"value\": 4}";
  VariableServer server(config.treeJson());
  Service service(server);
  ASSERT_TRUE(service.waitFor("state: Connected", 0, kStartDeadline)) << service.dump();

  const size_t mark = service.mark();
  const size_t acceptedBefore = forwarder.accepted();
  broker.reset();
  // Seven attempts after the loss: the first after about 1 s, then nominal waits of 2, 4, 4,
  // 4, 4, 4 s.
  pollUntil([&] { return forwarder.accepted() >= acceptedBefore + 7; }, 90s, 100ms);
  const std::vector<Clock::time_point> times = forwarder.acceptTimes();
  ASSERT_GE(times.size(), acceptedBefore + 7) << service.dump(mark);
  const double nominal[] = {2, 4, 4, 4, 4, 4};
  std::vector<double> ratios;
  std::string gaps;
  for (size_t i = 0; i < 6; ++i) {
    const double gap =
        std::chrono::duration<double>(times[acceptedBefore + i + 1] - times[acceptedBefore + i]).count();
    gaps += std::to_string(gap) + " ";
    ratios.push_back(gap / nominal[i]);
  }
  // Each wait within its jitter band (and a little for a loaded machine): the waits grow.
  for (double ratio : ratios) {
    EXPECT_GE(ratio, 0.7) << gaps;
    EXPECT_LE(ratio, 1.45) << gaps;
  }
  // Spread: the waits are not all the nominal ones times one factor.
  const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
  EXPECT_GE(*high - *low, 0.04) << gaps;
  EXPECT_EQ(service.log().count("state: Error", mark), 0u) << service.dump(mark);
  // The first wait, as the service traces it: 1 s and its jitter.
  const auto first = service.waitFor("next connection attempt in ", mark, 1s);
  ASSERT_TRUE(first) << service.dump(mark);
  const std::string line = Service::body(service.log().line(*first));
  const long firstMs = std::stol(line.substr(std::string("next connection attempt in ").size()));
  EXPECT_GE(firstMs, 750) << line;
  EXPECT_LE(firstMs, 1250) << line;

  // Back: the service connects at its next attempt and traces the outage once.
  BrokerOptions options;
  broker = std::make_unique<Broker>(options);
  forwarder.retarget(broker->port());
  ASSERT_TRUE(waitForSequence(service, {"connection to the broker re-established after ", "state: Connected"},
                              mark, 30s))
      << service.dump(mark);
  EXPECT_EQ(service.log().count("connection to the broker lost: ", mark), 1u) << service.dump(mark);
}
