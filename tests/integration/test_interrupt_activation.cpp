// Shut-down on SIGINT in every state the service can rest in, also when the broker never answers
// the TCP handshake, and the activation flag's level winning over an edge the machine could not
// take (cleared while connecting, set while disconnecting).
#include <gtest/gtest.h>

#include "IntegrationHarness.h"

using namespace zaltest;

namespace {

const char* const kPlant = "\"Count\": {\"type\": \"UINT32\", \"value\": 7}";
constexpr uint32_t kKeepAlive = 5;  // the smallest keep-alive the MQTT library accepts
// SIGINT must end the service within the keep-alive time and two seconds; the sanitizer builds
// run the same work several times slower and get two seconds more.
#if defined(ZAL_PLAIN_BUILD)
constexpr auto kShutdownSlack = std::chrono::seconds(2);
#else
constexpr auto kShutdownSlack = std::chrono::seconds(4);
#endif

ServiceConfig plantConfig(int port, uint32_t activate) {
  ServiceConfig config;
  config.brokerPort = port;
  config.plantMembers = kPlant;
  config.activate = activate;
  config.keepAlive = kKeepAlive;
  config.publishes = {{200, {{"plant/count", {"Count"}}}}};
  return config;
}

// Waits for each text in order, each after the previous one; the index of the last.
std::optional<size_t> expectSequence(const Service& service, const std::vector<std::string>& texts,
                                     size_t from, Clock::duration timeout = kDefaultDeadline) {
  std::optional<size_t> at = from;
  for (const std::string& text : texts) {
    at = service.waitFor(text, *at, timeout);
    if (!at) {
      ADD_FAILURE() << "missing \"" << text << "\" in:\n" << service.dump(from);
      return std::nullopt;
    }
  }
  return at;
}

// The lines traced after "Leaving MQTT service. Good bye!", once the process has ended and its
// stream is closed; nullopt when that line is missing. Only the activation watcher, a detached
// thread that may be between its last sample and its end, can still trace after it.
std::optional<std::vector<std::string>> linesAfterGoodBye(const Service& service, size_t from) {
  service.log().waitFor([](const std::string&) { return false; }, service.log().size(), 5s);
  const std::vector<size_t> found = service.log().find("Leaving MQTT service. Good bye!", from);
  if (found.empty()) return std::nullopt;
  std::vector<std::string> after;
  for (size_t i = found.front() + 1; i < service.log().size(); ++i) {
    const std::string body = Service::body(service.log().line(i));
    if (body.rfind("worker thread xActivate connection: ", 0) != 0) after.push_back(body);
  }
  return after;
}

std::vector<std::string> privateNetworkPrefix() {
  if (std::string(UNSHARE_PATH).empty()) return {};
  for (const char* option : {"-n", "-rn"})
    if (runCommand({UNSHARE_PATH, option, "true"}) == 0) return {UNSHARE_PATH, option};
  return {};
}

// A broker stand-in for one client at a time: it reads whatever the client sends and answers
// its CONNECT with an accepting CONNACK only once answer() was called, so a test can hold the
// service in its connecting state for as long as it needs.
class HeldBroker {
 public:
  HeldBroker() {
    fd_ = listenOnLoopback(0, 4, &port_, "held broker");
    thread_ = std::thread([this] { run(); });
  }
  ~HeldBroker() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
    close(fd_);
  }
  int port() const { return port_; }
  // Waits until a client has sent its first bytes (the CONNECT).
  bool waitForConnect(Clock::duration timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return connectSeen_; });
  }
  void answer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      answer_ = true;
    }
    changed_.notify_all();
  }

 private:
  bool stopping() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_;
  }
  // Waits up to 100 ms for fd to become readable.
  static bool readable(int fd) {
    pollfd waiting{fd, POLLIN, 0};
    return poll(&waiting, 1, 100) > 0;
  }
  void run() {
    while (!stopping()) {
      if (!readable(fd_)) continue;
      const int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      serve(client);
      close(client);
    }
  }
  void serve(int client) {
    bool answered = false;
    char buffer[4096];
    while (!stopping()) {
      if (!answered) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (answer_ && connectSeen_) {
          const unsigned char connack[] = {0x20, 0x02, 0x00, 0x00};
          if (write(client, connack, sizeof connack) != static_cast<ssize_t>(sizeof connack)) return;
          answered = true;
        }
      }
      if (!readable(client)) continue;
      const ssize_t got = read(client, buffer, sizeof buffer);
      if (got <= 0) return;  // the client closed
      {
        std::lock_guard<std::mutex> lock(mutex_);
        connectSeen_ = true;
      }
      changed_.notify_all();
    }
  }

  int fd_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false, answer_ = false, connectSeen_ = false;
  std::thread thread_;
};

// ---- SIGINT in every state -------------------------------------------------------------------

// Everything one case needs to live until the service has ended.
struct Scene {
  int port = 0;                     // the broker's port, where one was started on a port of its own
  uint32_t keepAlive = kKeepAlive;  // the service's, which bounds its shut-down
  std::unique_ptr<Broker> broker;
  std::unique_ptr<UnansweredListener> unanswered;
  std::unique_ptr<VariableServer> server;
  std::unique_ptr<Service> service;
};

// Starts the service against config and waits for text.
void start(Scene& scene, const ServiceConfig& config, const std::string& text,
           std::vector<std::string> prefix = {}) {
  scene.keepAlive = config.keepAlive;
  scene.server = std::make_unique<VariableServer>(config.treeJson());
  scene.service = std::make_unique<Service>(*scene.server, std::move(prefix));
  ASSERT_TRUE(scene.service->waitFor(text, 0, kStartDeadline)) << scene.service->dump();
}

// Connected to a broker on a port of its own (so the broker can be replaced on the same port),
// then the broker is stopped and the connection is lost.
void connectThenLoseTheBroker(Scene& scene) {
  BrokerOptions options;
  options.port = scene.port = freePort();
  scene.broker = std::make_unique<Broker>(options);
  ASSERT_NO_FATAL_FAILURE(start(scene, plantConfig(options.port, 1), "state: Connected"));
  const size_t mark = scene.service->mark();
  scene.broker.reset();
  ASSERT_TRUE(scene.service->waitFor("ConnectionLost", mark)) << scene.service->dump(mark);
}

struct InterruptCase {
  const char* name;
  std::function<void(Scene&)> reach;  // brings the service into the state
  bool defaultAction;                 // SIGINT keeps the system's default action there
};

const InterruptCase kInterruptCases[] = {
    {"Disconnected",
     [](Scene& scene) {
       scene.broker = std::make_unique<Broker>();
       start(scene, plantConfig(scene.broker->port(), 0), "state: Disconnected");
     },
     false},
    {"Connected",
     [](Scene& scene) {
       scene.broker = std::make_unique<Broker>();
       start(scene, plantConfig(scene.broker->port(), 1), "state: Connected");
     },
     false},
    {"ConnectingWithTheHandshakeUnanswered",
     [](Scene& scene) {
       scene.unanswered = std::make_unique<UnansweredListener>();
       // The connection timer (the keep-alive time) must not run out before the signal comes,
       // or the service is in its error state, where SIGINT keeps its default action: a
       // keep-alive well beyond the harness's own delays on a loaded machine.
       ServiceConfig config = plantConfig(scene.unanswered->port(), 1);
       config.keepAlive = 10;
       start(scene, config, "detach thread with connection timeout timer..");
       ASSERT_TRUE(scene.unanswered->waitForPendingClient(kDefaultDeadline));
     },
     false},
    {"WaitForNetwork",
     [](Scene& scene) {
       const std::vector<std::string> prefix = privateNetworkPrefix();
       if (prefix.empty()) GTEST_SKIP() << "no private network namespace available (unshare)";
       ServiceConfig config = plantConfig(1883, 1);
       config.brokerUrl = "zal-broker.invalid";
       start(scene, config, "state: WaitForNetwork", prefix);
     },
     false},
    {"ConnectionLost", [](Scene& scene) { connectThenLoseTheBroker(scene); }, false},
    {"ConnectionLostWithTheReconnectHandshakeUnanswered",
     [](Scene& scene) {
       ASSERT_NO_FATAL_FAILURE(connectThenLoseTheBroker(scene));
       // The MQTT library's reconnect now waits for a handshake that never comes.
       scene.unanswered = std::make_unique<UnansweredListener>(scene.port);
       ASSERT_TRUE(scene.unanswered->waitForPendingClient(kDefaultDeadline)) << scene.service->dump();
     },
     false},
    {"Disconnecting",
     [](Scene& scene) {
       ASSERT_NO_FATAL_FAILURE(connectThenLoseTheBroker(scene));
       const size_t mark = scene.service->mark();
       scene.server->set(rootMember("xActivateConnection"), "0");
       ASSERT_TRUE(scene.service->waitFor("state: Disconnecting", mark)) << scene.service->dump(mark);
     },
     false},
    {"Error",
     [](Scene& scene) {
       scene.broker = std::make_unique<Broker>();
       ServiceConfig config = plantConfig(scene.broker->port(), 1);
       config.keepAlive = 3;  // refused by the library: the set-up ends in the error state
       start(scene, config, "variable server is available. Waiting for rising edge of xErrorReset..");
     },
     true},
};

void PrintTo(const InterruptCase& interruptCase, std::ostream* out) { *out << interruptCase.name; }

class Interrupt : public testing::TestWithParam<InterruptCase> {};

// SIGINT ends the service with status 0 within its keep-alive time and the slack, the good-bye
// line last; where the default action is kept, the signal ends it at once.
TEST_P(Interrupt, EndsTheService) {
  Scene scene;
  ASSERT_NO_FATAL_FAILURE(GetParam().reach(scene));
  if (IsSkipped()) return;
  Service& service = *scene.service;
  const size_t mark = service.mark();
  const auto budget = std::chrono::seconds(scene.keepAlive) + kShutdownSlack;
  service.interrupt();
  const std::optional<int> status = service.process().waitExit(budget);
  ASSERT_TRUE(status) << "still running " << ms(budget) << " ms after SIGINT:\n" << service.dump(mark);
  if (GetParam().defaultAction) {
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGINT) << *status << "\n" << service.dump(mark);
    EXPECT_EQ(service.log().count("Interrupt signal", mark), 0u) << service.dump(mark);
    return;
  }
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status << "\n" << service.dump(mark);
  EXPECT_TRUE(expectSequence(service,
                             {"Interrupt signal (2) received.", "state action: SIGINT entry", "state: SIGINT",
                              "state action: SIGINT exit", "state: EndOfActive"},
                             mark, 1s));
  const auto after = linesAfterGoodBye(service, mark);
  ASSERT_TRUE(after) << service.dump(mark);
  EXPECT_TRUE(after->empty()) << service.dump(mark);
  EXPECT_EQ(scene.server->get(rootMember("xConnectedToBroker")), "0");
}

INSTANTIATE_TEST_SUITE_P(EveryState, Interrupt, testing::ValuesIn(kInterruptCases),
                         [](const testing::TestParamInfo<InterruptCase>& info) { return info.param.name; });

}  // namespace

// ---- the activation flag's level -----------------------------------------------------------

// Cleared while the connection is being set up: the edge comes while connecting and is ignored
// there; once connected, the level asks for the disconnection, once.
TEST(Activation, FlagClearedWhileConnectingEndsDisconnected) {
  HeldBroker broker;
  ServiceConfig config = plantConfig(broker.port(), 1);
  config.keepAlive = 20;  // the connection timer stays out of the way
  VariableServer server(config.treeJson());
  Service service(server);
  const auto connecting = service.waitFor("detach thread with connection timeout timer..", 0, kStartDeadline);
  ASSERT_TRUE(connecting) << service.dump();
  ASSERT_TRUE(broker.waitForConnect(kDefaultDeadline)) << service.dump();

  server.set(rootMember("xActivateConnection"), "0");
  const auto ignored = expectSequence(
      service, {"IEC disconnect request detected.", "     external event: IECsignalsDisconnect"},
      *connecting);
  ASSERT_TRUE(ignored);
  EXPECT_EQ(service.log().count("state action: Entry disconnecting", *connecting), 0u)
      << service.dump(*connecting);

  broker.answer();
  const auto disconnected = expectSequence(
      service,
      {"state: Connected", "IEC disconnect request detected.", "     external event: IECsignalsDisconnect",
       "state action: Entry disconnecting", "state: Disconnected"},
      *ignored);
  ASSERT_TRUE(disconnected);
  EXPECT_TRUE(server.waitForValue(rootMember("xConnectedToBroker"), "0"));
  EXPECT_EQ(server.get(rootMember("xActivateConnection")), "0");
  // Flag and state agree now: nothing more is asked for.
  EXPECT_FALSE(service.waitFor("IEC ", *disconnected, 2500ms)) << service.dump(*connecting);
}

// Set while the service disconnects without a connection (the keep-alive window): the edge is
// ignored there; once disconnected, the level asks for the connection, once.
TEST(Activation, FlagSetWhileDisconnectingEndsConnected) {
  Scene scene;
  ASSERT_NO_FATAL_FAILURE(connectThenLoseTheBroker(scene));
  Service& service = *scene.service;
  const size_t mark = service.mark();
  scene.server->set(rootMember("xActivateConnection"), "0");
  const auto disconnecting = service.waitFor("state: Disconnecting", mark);
  ASSERT_TRUE(disconnecting) << service.dump(mark);

  scene.server->set(rootMember("xActivateConnection"), "1");
  const auto ignored = expectSequence(
      service, {"IEC connect request detected.", "     external event: IECsignalsConnect"}, *disconnecting);
  ASSERT_TRUE(ignored);
  ASSERT_EQ(service.log().count("state: Disconnected", *disconnecting), 0u)
      << "the machine was too slow for this test to show anything:\n"
      << service.dump(mark);

  BrokerOptions options;
  options.port = scene.port;
  Broker broker(options);
  const auto connected = expectSequence(service,
                                        {"state: Disconnected", "IEC connect request detected.",
                                         "     external event: IECsignalsConnect", "state: Connected"},
                                        *ignored);
  ASSERT_TRUE(connected);
  EXPECT_TRUE(scene.server->waitForValue(rootMember("xConnectedToBroker"), "1"));
  EXPECT_FALSE(service.waitFor("IEC ", *connected, 2500ms)) << service.dump(mark);
}
