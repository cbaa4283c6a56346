// Connection set-up against real brokers: TLS, PSK, credentials, failures and retries, the
// connection-timeout timer, and the interrupt hand-over.
#include <gtest/gtest.h>

#include "IntegrationHarness.h"

using namespace zaltest;

namespace {

const char* const kPlant = "\"Count\": {\"type\": \"UINT32\", \"value\": 7}";

ServiceConfig plantConfig(int port) {
  ServiceConfig config;
  config.brokerPort = port;
  config.plantMembers = kPlant;
  config.activate = 1;
  config.publishes = {{200, {{"plant/count", {"Count"}}}}};
  return config;
}

// The service connects with config and its first payload reaches a subscriber on the broker's
// plain listener.
void expectConnectsAndPublishes(const Broker& broker, const ServiceConfig& config,
                                const std::string& user = "", const std::string& password = "") {
  VariableServer server(config.treeJson());
  Subscriber subscriber(broker.plainPort(), "#", user, password);
  Service service(server);
  ASSERT_TRUE(service.waitFor("state: Connected", 0, kStartDeadline)) << service.dump();
  EXPECT_TRUE(server.waitForValue(rootMember("xConnectedToBroker"), "1")) << service.dump();
  const auto message =
      subscriber.waitFor("plant/count", [](const std::string& p) { return p == "{\"Count\":7}"; });
  EXPECT_TRUE(message) << service.dump();
}

// The service ends in the error state after the line expected.
void expectErrorAfter(const Service& service, const std::string& line) {
  const auto at = service.waitFor(line, 0, kStartDeadline);
  ASSERT_TRUE(at) << service.dump();
  EXPECT_TRUE(service.waitFor("state: Error", *at)) << service.dump();
  EXPECT_EQ(service.log().count("state: Connected"), 0u) << service.dump();
}

// The end of a connection attempt that the broker never answers: the index of "state: Error"
// (after the refused line) or of "ConnectionLost" (without it); nullopt when neither came, or
// when the two outcomes were mixed (reported as a failure).
std::optional<size_t> attemptOutcome(const Service& service, size_t attempt,
                                     Clock::duration timeout = kDefaultDeadline) {
  const std::string refusedLine = "Error: the broker has refused the connection.";
  const auto outcome = service.log().waitFor(
      [](const std::string& line) {
        return line.find("state: Error") != std::string::npos ||
               line.find("ConnectionLost") != std::string::npos;
      },
      attempt, timeout);
  if (!outcome) return std::nullopt;
  if (service.log().line(*outcome).find("state: Error") != std::string::npos) {
    if (service.log().count(refusedLine, attempt) == 0) {
      ADD_FAILURE() << "error state without the refused line:\n" << service.dump(attempt);
      return std::nullopt;
    }
    return outcome;
  }
  // Lost: the timer of this attempt wakes at about the same time and must stay silent.
  if (service.waitFor(refusedLine, attempt, 3s)) {
    ADD_FAILURE() << "refused line with a lost connection:\n" << service.dump(attempt);
    return std::nullopt;
  }
  return outcome;
}

std::vector<std::string> privateNetworkPrefix() {
  if (std::string(UNSHARE_PATH).empty()) return {};
  for (const char* option : {"-n", "-rn"})
    if (runCommand({UNSHARE_PATH, option, "true"}) == 0) return {UNSHARE_PATH, option};
  return {};
}

}  // namespace

class InterruptOnEachBroker : public ::testing::TestWithParam<BrokerKind> {};
INSTANTIATE_TEST_SUITE_P(Broker, InterruptOnEachBroker, ::testing::ValuesIn(brokerKinds()),
                         [](const ::testing::TestParamInfo<BrokerKind>& info) {
                           return brokerKindName(info.param);
                         });

TEST(Connect, CertificateTlsWithCaFile) {
  TempDir dir;
  TestCertificates certificates(dir.path());
  BrokerOptions options;
  options.tls = &certificates;
  Broker broker(options);
  ServiceConfig config = plantConfig(broker.port());
  config.tls = TlsSpec{1, 0, certificates.caFile, "", "", "", "", ""};
  expectConnectsAndPublishes(broker, config);
}

TEST(Connect, CertificateTlsWithCaPathOnly) {
  TempDir dir;
  TestCertificates certificates(dir.path());
  BrokerOptions options;
  options.tls = &certificates;
  Broker broker(options);
  ServiceConfig config = plantConfig(broker.port());
  config.tls = TlsSpec{1, 0, "", certificates.caDir, "", "", "", ""};
  expectConnectsAndPublishes(broker, config);
}

TEST(Connect, CertificateTlsWithMissingCaFileGoesToError) {
  TempDir dir;
  Broker broker;
  ServiceConfig config = plantConfig(broker.port());
  config.tls = TlsSpec{1, 0, dir.file("no-such-ca.crt"), "", "", "", "", ""};
  VariableServer server(config.treeJson());
  Service service(server);
  expectErrorAfter(service,
                   "Error: TLS certificate configuration is invalid or not enough memory available.");
}

TEST(Connect, PreSharedKey) {
  BrokerOptions options;
  options.pskIdentity = "zal-device";
  options.pskHexKey = "00112233445566778899aabbccddeeff";
  Broker broker(options);
  ServiceConfig config = plantConfig(broker.port());
  config.tls = TlsSpec{0, 1, "", "", "", "", options.pskHexKey, options.pskIdentity};
  expectConnectsAndPublishes(broker, config);
}

TEST(Connect, UserAndPassword) {
  BrokerOptions options;
  options.user = "plant";
  options.password = "s3cret pass";
  Broker broker(options);
  ServiceConfig config = plantConfig(broker.port());
  config.useAuthentication = 1;
  config.username = options.user;
  config.password = options.password;
  expectConnectsAndPublishes(broker, config, options.user, options.password);
}

TEST(Connect, KeepAliveBelowTheLibraryMinimumGoesToError) {
  Broker broker;
  ServiceConfig config = plantConfig(broker.port());
  config.keepAlive = 3;
  VariableServer server(config.treeJson());
  Service service(server);
  expectErrorAfter(
      service, "cannot connect to broker. Mosquitto error string is: Invalid function arguments provided.");
  EXPECT_TRUE(service.waitFor("destroy mosquitto client instance.")) << service.dump();
}

// A broker that accepts TCP and never answers: the connection timer and the MQTT library's own
// keep-alive end the attempt at about the same time. Whichever comes first, the attempt has one
// outcome: the refused line and the error state, or the lost connection without that line.
// Three services at once, so that both orders get their chance.
TEST(Connect, BrokerThatNeverAnswersEndsTheAttemptOneWayOnly) {
  SilentListener listener;
  ServiceConfig config = plantConfig(listener.port());
  config.keepAlive = 5;
  VariableServer server(config.treeJson());
  std::vector<std::unique_ptr<Service>> services;
  for (int i = 0; i < 3; ++i) services.push_back(std::make_unique<Service>(server));
  for (const auto& service : services) {
    const auto connecting = service->waitFor("state: EntryConnecting", 0, kStartDeadline);
    ASSERT_TRUE(connecting) << service->dump();
    const auto outcome = attemptOutcome(*service, *connecting);
    ASSERT_TRUE(outcome) << service->dump();
    EXPECT_GE(ms(service->log().arrival(*outcome) - service->log().arrival(*connecting)), 3500);
  }
}

TEST(Connect, UnresolvableHostIsRetriedEveryFiveSeconds) {
  const std::vector<std::string> prefix = privateNetworkPrefix();
  if (prefix.empty()) GTEST_SKIP() << "no private network namespace available (unshare)";
  ServiceConfig config = plantConfig(1883);
  config.brokerUrl = "zal-broker.invalid";
  VariableServer server(config.treeJson());
  // In a network namespace of its own the lookup fails at once and nothing leaves the machine;
  // the variable server's unix socket is still reachable.
  Service service(server, prefix);
  const std::string lookup = "Lookup error occurred. Retry in 5s.";
  auto first = service.waitFor(lookup, 0, kStartDeadline);
  ASSERT_TRUE(first) << service.dump();
  auto second = service.waitFor(lookup, *first + 1);
  ASSERT_TRUE(second) << service.dump();
  auto third = service.waitFor(lookup, *second + 1);
  ASSERT_TRUE(third) << service.dump();
  for (auto [a, b] : {std::pair{*first, *second}, std::pair{*second, *third}}) {
    const auto gap = service.log().arrival(b) - service.log().arrival(a);
    EXPECT_GE(ms(gap), 4800);
    EXPECT_LE(ms(gap), 15000);
  }
  EXPECT_TRUE(service.waitFor("state: WaitForNetwork", *third)) << service.dump();
  EXPECT_EQ(service.log().count("state: WaitForNetwork"), 3u) << service.dump();
  EXPECT_EQ(service.log().count("state: Error"), 0u) << service.dump();
}

// A connection-timeout timer of an earlier attempt must not fail a later one: connect, disconnect,
// then connect again to a listener that never answers. The later attempt is failed only after
// its own keep-alive time, not when the first attempt's timer wakes.
TEST(Connect, TimerOfAnEarlierAttemptDoesNotFailALaterOne) {
  auto broker = std::make_unique<Broker>();
  const int port = broker->port();
  ServiceConfig config = plantConfig(port);
  config.keepAlive = 12;
  VariableServer server(config.treeJson());
  Service service(server);
  const auto firstAttempt = service.waitFor("state: EntryConnecting", 0, kStartDeadline);
  ASSERT_TRUE(firstAttempt) << service.dump();
  ASSERT_TRUE(service.waitFor("state: Connected", *firstAttempt)) << service.dump();

  server.set(rootMember("xActivateConnection"), "0");
  const auto disconnected = service.waitFor("state: Disconnected", *firstAttempt);
  ASSERT_TRUE(disconnected) << service.dump();
  broker.reset();
  SilentListener listener(port);
  server.set(rootMember("xActivateConnection"), "1");
  const auto secondAttempt = service.waitFor("state: EntryConnecting", *disconnected);
  ASSERT_TRUE(secondAttempt) << service.dump();
  const auto sinceFirst = service.log().arrival(*secondAttempt) - service.log().arrival(*firstAttempt);
  ASSERT_LT(ms(sinceFirst), 9000) << "the machine was too slow for this test to show anything";

  // Ended by its own timer (refused, error state) or by the library's keep-alive (lost), after
  // its own keep-alive time either way.
  const auto outcome = attemptOutcome(service, *secondAttempt, 60s);
  ASSERT_TRUE(outcome) << service.dump();
  EXPECT_GE(ms(service.log().arrival(*outcome) - service.log().arrival(*secondAttempt)), 10500)
      << service.dump();
  EXPECT_LE(service.log().count("Error: the broker has refused the connection."), 1u) << service.dump();
}

// Against each broker: the orderly shut-down disconnects.
TEST_P(InterruptOnEachBroker, HandedOverFromSignalContextAndShutsDown) {
  Broker broker(GetParam());
  ServiceConfig config = plantConfig(broker.port());
  VariableServer server(config.treeJson());
  Service service(server);
  ASSERT_TRUE(service.waitFor("state: Connected", 0, kStartDeadline)) << service.dump();
  ASSERT_TRUE(server.waitForValue(rootMember("xConnectedToBroker"), "1"));

  const size_t mark = service.mark();
  service.interrupt();
  const auto received = service.waitFor("Interrupt signal (2) received.", mark);
  ASSERT_TRUE(received) << service.dump(mark);
  EXPECT_TRUE(service.waitFor("     external event: SIGINT", *received)) << service.dump(mark);
  const auto status = service.process().waitExit(kDefaultDeadline);
  ASSERT_TRUE(status) << service.dump(mark);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << service.dump(mark);
  EXPECT_EQ(server.get(rootMember("xConnectedToBroker")), "0");
}

TEST(Interrupt, KeepsDefaultActionDuringFirstInitialisation) {
  TempDir dir;
  // No variable server on this socket: the service waits in its first initialisation.
  Service service(dir.file("nobody.sock"));
  ASSERT_TRUE(service.waitFor("connecting to variable server.. ", 0, kStartDeadline)) << service.dump();
  service.interrupt();
  const auto status = service.process().waitExit(kDefaultDeadline);
  ASSERT_TRUE(status) << service.dump();
  EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGINT) << service.dump();
  EXPECT_EQ(service.log().count("Interrupt signal"), 0u);
}
