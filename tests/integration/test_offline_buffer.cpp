// Store and forward with sample times, against a real broker that is killed and restarted or
// frozen: what was sampled while the connection was lost arrives after the reconnection, in
// order and once; a buffer too small drops the oldest; a requested disconnect and SIGINT discard.
#include <gtest/gtest.h>

#include <ctime>

#include "OutageSupport.h"

using namespace zaltest;

namespace {

// A counter the variable server advances every 200 ms; the sets sample it every 50 ms and
// publish on change, so that every value is sampled, and published, exactly once.
const char* const kPlant =
    "\"Counter\": {\"type\": \"UINT32\", \"value\": 0, \"simulate\": {\"kind\": \"counter\", \"periodMs\": "
    "200}}";

ServiceConfig counterConfig(int port, const std::vector<std::string>& topics) {
  ServiceConfig config;
  config.brokerPort = port;
  config.plantMembers = kPlant;
  config.activate = 1;
  config.keepAlive = 5;
  for (const std::string& topic : topics) config.publishes.push_back({50, {{topic, {"Counter"}, 0, 1, 0}}});
  return config;
}

// The tree file with extra members (text of JSON members) in publish configuration index.
std::string withPublishMembers(std::string tree, size_t index, const std::string& members) {
  const std::string head =
      "\"ZAL_MQTT_publish:" + std::to_string(index) + "\": {\"type\": \"STRUCT\", \"members\": {";
  const size_t at = tree.find(head);
  if (at == std::string::npos) throw std::runtime_error("no publish configuration " + std::to_string(index));
  return tree.insert(at + head.size(), members + ", ");
}

std::string storeAndForward(uint32_t kb) {
  return "\"strTimestampMember\": {\"type\": \"STRING\", \"value\": \"SampleTime\"}, "
         "\"uiOfflineBufferKB\": {\"type\": \"UINT32\", \"value\": " +
         std::to_string(kb) + "}";
}

// The counter values of payloads, in arrival order.
std::vector<long long> countersOf(const std::vector<std::string>& payloads) {
  std::vector<long long> values;
  for (const std::string& p : payloads) values.push_back(counterOf(p));
  return values;
}

// Where values do not go up by exactly one: "a->b" for each such step.
std::string breaks(const std::vector<long long>& values) {
  std::string out;
  for (size_t i = 1; i < values.size(); ++i)
    if (values[i] != values[i - 1] + 1)
      out += std::to_string(values[i - 1]) + "->" + std::to_string(values[i]) + " ";
  return out;
}

std::string joined(const std::vector<std::string>& payloads) {
  std::string out;
  for (const std::string& p : payloads) out += p + "\n";
  return out;
}

// Every payload carries a sample time, and they never go back; how many fall in [from, to].
size_t checkSampleTimes(const std::vector<std::string>& payloads, std::chrono::system_clock::time_point from,
                        std::chrono::system_clock::time_point to) {
  size_t inside = 0;
  std::chrono::system_clock::time_point previous{};
  for (const std::string& p : payloads) {
    const auto time = sampleTimeOf(p);
    EXPECT_TRUE(time) << p;
    if (!time) continue;
    EXPECT_GE(*time, previous) << p;
    previous = *time;
    if (*time >= from && *time <= to) ++inside;
  }
  return inside;
}

// The payloads without the MQTT library's own retransmissions. A QoS 1 message that the broker
// had received when the connection broke, but whose acknowledgement never came back, is sent
// again by the library after the reconnection (at least once): the subscriber then gets the
// same payload twice, byte for byte, with the same sample time, from before the loss was
// noticed. Any other repeat is a fault.
std::vector<std::string> withoutRetransmissions(const std::vector<std::string>& payloads,
                                                std::chrono::system_clock::time_point lossNoticed) {
  std::map<long long, std::string> seen;
  std::vector<std::string> first;
  for (const std::string& p : payloads) {
    const auto earlier = seen.find(counterOf(p));
    if (earlier == seen.end()) {
      seen.emplace(counterOf(p), p);
      first.push_back(p);
      continue;
    }
    EXPECT_EQ(p, earlier->second) << "a value published twice";
    const auto time = sampleTimeOf(p);
    EXPECT_TRUE(time && *time <= lossNoticed) << "repeated, but sampled after the loss: " << p;
  }
  return first;
}

}  // namespace

TEST(OfflineBuffer, BrokerKilledAndRestartedNothingIsLostTwiceOrOutOfOrder) {
  TempDir sessions;
  const int port = freePort();
  auto broker = std::make_unique<BrokerOnPort>(port, sessions.path());
  // plant/a: store and forward; plant/b: neither member (as today); plant/c: a buffer of 1 KB,
  // too small for the outage (about 60 bytes a payload).
  ServiceConfig config = counterConfig(port, {"plant/a", "plant/b", "plant/c"});
  std::string tree = withPublishMembers(config.treeJson(), 0, storeAndForward(64));
  tree = withPublishMembers(tree, 2, storeAndForward(1));
  VariableServer server(tree);
  SessionSubscriber subscriber(port);
  Service service(server);
  ASSERT_TRUE(service.waitFor("state: Connected", 0, kStartDeadline)) << service.dump();
  const long long first = counterNow(server);
  for (const char* topic : {"plant/a", "plant/b", "plant/c"})
    ASSERT_TRUE(subscriber.waitFor(topic, counterAtLeast(first + 2))) << topic << service.dump();

  const size_t mark = service.mark();
  const auto lostAt = std::chrono::system_clock::now();
  broker.reset();  // stopped; it keeps the subscriber's session
  ASSERT_TRUE(service.waitFor("EntryConnectionLost", mark)) << service.dump(mark);
  const auto noticedAt = std::chrono::system_clock::now();
  const long long atLoss = counterNow(server);
  ASSERT_TRUE(waitForCounter(server, atLoss + 30)) << service.dump(mark);  // about 6 s without a broker
  broker = std::make_unique<BrokerOnPort>(port, sessions.path());
  const auto backAt = std::chrono::system_clock::now();
  ASSERT_TRUE(service.waitFor("state: Connected", mark, 60s)) << service.dump(mark);
  const long long atReconnect = counterNow(server);
  for (const char* topic : {"plant/a", "plant/b", "plant/c"})
    ASSERT_TRUE(subscriber.waitFor(topic, counterAtLeast(atReconnect + 3), 60s))
        << topic << service.dump(mark);

  // Every value once and in order, each with the time it was read; those of the outage were read
  // during it.
  const std::vector<std::string> a = withoutRetransmissions(subscriber.payloads("plant/a"), noticedAt);
  EXPECT_EQ(breaks(countersOf(a)), "") << joined(a) << service.dump(mark);
  EXPECT_GE(checkSampleTimes(a, lostAt, backAt), 25u) << joined(a);
  EXPECT_TRUE(service.waitFor(
      "Offline buffer of ZAL_MQTT_publish:0: sampling on while the connection is lost.", mark));

  // Without the members: today's payloads, and what changed during the outage is not published.
  const std::vector<std::string> b = subscriber.payloads("plant/b");
  for (const std::string& p : b) {
    EXPECT_EQ(p, "{\"Counter\":" + std::to_string(counterOf(p)) + "}");
    EXPECT_FALSE(counterOf(p) >= atLoss + 2 && counterOf(p) <= atReconnect - 2) << joined(b);
  }
  EXPECT_EQ(service.log().count("Offline buffer of ZAL_MQTT_publish:1"), 0u);

  // Too small: the oldest dropped, as many as the trace says, the newest kept in order.
  const std::string prefix = "Offline buffer of ZAL_MQTT_publish:2: ";
  const auto dropLine = service.log().waitFor(
      [&](const std::string& l) {
        return l.find(prefix) != std::string::npos &&
               l.find(" oldest payloads dropped during the outage (1 KB full).") != std::string::npos;
      },
      mark, kDefaultDeadline);
  ASSERT_TRUE(dropLine) << service.dump(mark);
  EXPECT_EQ(service.log().count(" oldest payloads dropped during the outage", mark), 1u);  // once
  const std::string line = Service::body(service.log().line(*dropLine));
  const long long dropped = std::stoll(line.substr(prefix.size()));
  EXPECT_GT(dropped, 0);
  const std::vector<long long> c =
      countersOf(withoutRetransmissions(subscriber.payloads("plant/c"), noticedAt));
  long long missing = 0;
  size_t gaps = 0;
  for (size_t i = 1; i < c.size(); ++i) {
    EXPECT_GT(c[i], c[i - 1]) << breaks(c);
    if (c[i] > c[i - 1] + 1) missing += c[i] - c[i - 1] - 1, ++gaps;
  }
  EXPECT_EQ(gaps, 1u) << breaks(c);
  EXPECT_EQ(missing, dropped) << breaks(c);
}

TEST(OfflineBuffer, BrokerFrozenPastTheKeepAliveNothingIsLostTwiceOrOutOfOrder) {
  Broker broker;
  ServiceConfig config = counterConfig(broker.port(), {"plant/a"});
  VariableServer server(withPublishMembers(config.treeJson(), 0, storeAndForward(64)));
  Subscriber subscriber(broker.port(), "plant/#");
  Service service(server);
  ASSERT_TRUE(service.waitFor("state: Connected", 0, kStartDeadline)) << service.dump();
  const long long first = counterNow(server);
  ASSERT_TRUE(subscriber.waitFor("plant/a", counterAtLeast(first + 2))) << service.dump();

  const size_t mark = service.mark();
  const auto frozenAt = std::chrono::system_clock::now();
  broker.process().signal(SIGSTOP);
  ASSERT_TRUE(service.waitFor("EntryConnectionLost", mark, 60s)) << service.dump(mark);
  const auto noticedAt = std::chrono::system_clock::now();
  ASSERT_TRUE(waitForCounter(server, counterNow(server) + 10)) << service.dump(mark);
  broker.process().signal(SIGCONT);
  const auto thawedAt = std::chrono::system_clock::now();
  ASSERT_TRUE(service.waitFor("state: Connected", mark, 60s)) << service.dump(mark);
  ASSERT_TRUE(subscriber.waitFor("plant/a", counterAtLeast(counterNow(server) + 3), 0, 60s))
      << service.dump(mark);

  std::vector<std::string> received;
  for (const Message& m : subscriber.messages("plant/a")) received.push_back(m.payload);
  const std::vector<std::string> a = withoutRetransmissions(received, noticedAt);
  EXPECT_EQ(breaks(countersOf(a)), "") << joined(a) << service.dump(mark);
  EXPECT_GE(checkSampleTimes(a, frozenAt, thawedAt), 15u) << joined(a);
}

TEST(OfflineBuffer, RequestedDisconnectAndInterruptDiscardWithTheirCount) {
  const int port = freePort();
  auto broker = std::make_unique<BrokerOnPort>(port);
  ServiceConfig config = counterConfig(port, {"plant/a"});
  VariableServer server(withPublishMembers(config.treeJson(), 0, storeAndForward(64)));
  Service service(server);
  ASSERT_TRUE(service.waitFor("state: Connected", 0, kStartDeadline)) << service.dump();

  // An outage ended by a disconnect request: what was kept is discarded, with one line.
  size_t mark = service.mark();
  broker.reset();
  ASSERT_TRUE(service.waitFor("sampling on while the connection is lost.", mark)) << service.dump(mark);
  ASSERT_TRUE(waitForCounter(server, counterNow(server) + 5)) << service.dump(mark);
  server.set(rootMember("xActivateConnection"), "0");
  auto discarded = service.waitFor("buffered payloads discarded (disconnect requested).", mark);
  ASSERT_TRUE(discarded) << service.dump(mark);
  EXPECT_GE(
      std::stoll(
          Service::body(service.log().line(*discarded)).substr(std::string("Offline buffers: ").size())),
      4);
  ASSERT_TRUE(service.waitFor("state: Disconnected", *discarded)) << service.dump(mark);

  // Connected again: only new samples, nothing of the discarded outage.
  broker = std::make_unique<BrokerOnPort>(port);
  Subscriber subscriber(port, "plant/#");
  mark = service.mark();
  const long long atActivation = counterNow(server);
  server.set(rootMember("xActivateConnection"), "1");
  ASSERT_TRUE(service.waitFor("state: Connected", mark, 60s)) << service.dump(mark);
  ASSERT_TRUE(subscriber.waitFor("plant/a", counterAtLeast(atActivation + 3))) << service.dump(mark);
  for (const Message& m : subscriber.messages("plant/a"))
    EXPECT_GE(counterOf(m.payload), atActivation) << m.payload;
  EXPECT_EQ(service.log().count("buffered payloads sent", mark), 0u);

  // An outage ended by SIGINT: discarded with its line, then the orderly end.
  mark = service.mark();
  broker.reset();
  ASSERT_TRUE(service.waitFor("sampling on while the connection is lost.", mark)) << service.dump(mark);
  ASSERT_TRUE(waitForCounter(server, counterNow(server) + 5)) << service.dump(mark);
  service.interrupt();
  ASSERT_TRUE(service.waitFor("buffered payloads discarded (SIGINT).", mark)) << service.dump(mark);
  ASSERT_TRUE(service.waitFor("Leaving MQTT service. Good bye!", mark)) << service.dump(mark);
  const auto status = service.process().waitExit(kDefaultDeadline);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
}

TEST(OfflineBuffer, ErrorDuringAnOutageDiscardsWithItsCount) {
  const int port = freePort();
  auto broker = std::make_unique<BrokerOnPort>(port);
  ServiceConfig config = counterConfig(port, {"plant/a"});
  VariableServer server(withPublishMembers(config.treeJson(), 0, storeAndForward(64)));
  Service service(server);
  ASSERT_TRUE(service.waitFor("state: Connected", 0, kStartDeadline)) << service.dump();

  const size_t mark = service.mark();
  broker.reset();
  ASSERT_TRUE(service.waitFor("sampling on while the connection is lost.", mark)) << service.dump(mark);
  ASSERT_TRUE(waitForCounter(server, counterNow(server) + 5)) << service.dump(mark);
  // The activation watcher cannot read its flag: error.
  ASSERT_EQ(server.kalpvar({"fault", rootMember("xActivateConnection"), "read", "0x81000003"}), 0);
  const auto discarded = service.waitFor("buffered payloads discarded (error).", mark);
  ASSERT_TRUE(discarded) << service.dump(mark);
  EXPECT_GE(
      std::stoll(
          Service::body(service.log().line(*discarded)).substr(std::string("Offline buffers: ").size())),
      4);
  EXPECT_TRUE(service.waitFor("state: Error", *discarded)) << service.dump(mark);
  EXPECT_EQ(service.log().count("buffered payloads discarded", mark), 1u);
}
