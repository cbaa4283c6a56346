// MQTT 5 against a real mosquitto: the broker's reasons in the trace (a refused login, a publish
// refused by the broker's ACL), the
// session kept for uiSessionExpiryS, and retained commands skipped with xIgnoreRetained under
// both protocol versions; and, against a scripted peer, the broker's DISCONNECT that mosquitto
// never sends (normal disconnection, server shutting down).
#include <gtest/gtest.h>
#include <mqtt_protocol.h>

#include <algorithm>

#include "OutageSupport.h"

using namespace zaltest;

namespace {

const char* const kPlant =
    "\"Count\": {\"type\": \"UINT32\", \"value\": 7},"
    "\"Command\": {\"type\": \"UINT32\", \"value\": 0},"
    "\"Probe\": {\"type\": \"UINT32\", \"value\": 0}";

std::string u32Member(const std::string& name, uint32_t value) {
  return "\"" + name + "\": {\"type\": \"UINT32\", \"value\": " + std::to_string(value) + "}";
}

// A plant that subscribes plant/cmd (QoS 1) into Command and plant/probe into Probe.
ServiceConfig plantConfig(int port, uint32_t protocol) {
  ServiceConfig config;
  config.brokerPort = port;
  config.plantMembers = kPlant;
  config.activate = 1;
  config.keepAlive = 5;
  config.subscribes = {{"plant/cmd", {"Command"}, 1, 0, 0, u32Member("uiQoS", 1)},
                       {"plant/probe", {"Probe"}, 1}};
  if (protocol != 0) config.extraRootMembers = u32Member("uiProtocolVersion", protocol);
  return config;
}

// mosquitto on a free port with extra configuration lines (an ACL file, ...).
class ConfiguredBroker {
 public:
  explicit ConfiguredBroker(const std::string& aclText = "", const std::string& extraConf = "")
      : port_(freePort()) {
    std::ostringstream conf;
    conf << "per_listener_settings false\nlog_dest stderr\nlog_type all\nallow_anonymous true\npersistence "
            "false\n";
    if (const passwd* self = getpwuid(geteuid())) conf << "user " << self->pw_name << "\n";
    if (!aclText.empty()) {
      writeFile(dir_.file("acl"), aclText);
      conf << "acl_file " << dir_.file("acl") << "\n";
    }
    conf << "listener " << port_ << " 127.0.0.1\n" << extraConf;
    writeFile(dir_.file("mosquitto.conf"), conf.str());
    process_ = startListening({MOSQUITTO_PATH, "-c", dir_.file("mosquitto.conf")}, {port_}, "broker");
  }
  int port() const { return port_; }

 private:
  TempDir dir_;
  int port_;
  std::unique_ptr<Process> process_;
};

// An MQTT 5 subscriber that keeps each message's properties.
struct V5Message {
  std::string topic, payload, contentType;
  int formatIndicator = -1;  // -1: absent
  int64_t expiryS = -1;      // -1: absent
  std::vector<std::pair<std::string, std::string>> userProperties;
};

class V5Subscriber {
 public:
  V5Subscriber(int port, const std::string& filter) {
    mosquitto_lib_init();
    client_ = mosquitto_new(nullptr, true, this);
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_message_v5_callback_set(
        client_, [](mosquitto*, void* self, const mosquitto_message* m, const mosquitto_property* props) {
          V5Message message;
          message.topic = m->topic;
          message.payload.assign(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen));
          uint8_t indicator = 0;
          if (mosquitto_property_read_byte(props, MQTT_PROP_PAYLOAD_FORMAT_INDICATOR, &indicator, false))
            message.formatIndicator = indicator;
          uint32_t expiry = 0;
          if (mosquitto_property_read_int32(props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, &expiry, false))
            message.expiryS = expiry;
          char* type = nullptr;
          if (mosquitto_property_read_string(props, MQTT_PROP_CONTENT_TYPE, &type, false))
            message.contentType = type;
          free(type);
          for (const mosquitto_property* p = props; p != nullptr; p = mosquitto_property_next(p)) {
            char* name = nullptr;
            char* value = nullptr;
            if (mosquitto_property_identifier(p) == MQTT_PROP_USER_PROPERTY &&
                mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &name, &value, false))
              message.userProperties.emplace_back(name, value);
            free(name);
            free(value);
          }
          auto* s = static_cast<V5Subscriber*>(self);
          std::lock_guard<std::mutex> lock(s->mutex_);
          s->messages_.push_back(std::move(message));
          s->changed_.notify_all();
        });
    if (mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS)
      throw std::runtime_error("v5 subscriber: connect failed");
    mosquitto_subscribe(client_, nullptr, filter.c_str(), 1);
    mosquitto_loop_start(client_);
  }
  ~V5Subscriber() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  std::optional<V5Message> waitFor(const std::string& topic) const {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<V5Message> found;
    changed_.wait_for(lock, kDefaultDeadline, [&] {
      for (const V5Message& m : messages_)
        if (m.topic == topic) found = m;
      return found.has_value();
    });
    return found;
  }

 private:
  mosquitto* client_ = nullptr;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<V5Message> messages_;
};

// Publishes one message with the retain flag (QoS 1) and waits for the acknowledgement.
void publishRetained(int port, const std::string& topic, const std::string& payload) {
  mosquitto_lib_init();
  mosquitto* client = mosquitto_new(nullptr, true, nullptr);
  ASSERT_NE(client, nullptr);
  static std::atomic<int> acknowledged{0};
  acknowledged = 0;
  mosquitto_publish_callback_set(client, [](mosquitto*, void*, int) { ++acknowledged; });
  ASSERT_EQ(mosquitto_connect(client, "127.0.0.1", port, 30), MOSQ_ERR_SUCCESS);
  mosquitto_loop_start(client);
  ASSERT_EQ(mosquitto_publish(client, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                              payload.data(), 1, true),
            MOSQ_ERR_SUCCESS);
  pollUntil([&] { return acknowledged.load() != 0; }, kDefaultDeadline, 10ms);
  EXPECT_EQ(acknowledged.load(), 1);
  mosquitto_disconnect(client);
  mosquitto_loop_stop(client, false);
  mosquitto_destroy(client);
}

// Publishes probes on plant/probe until one is written into Probe: the broker then holds every
// subscription of the service. Returns the last probe's value.
int probeUntilWritten(const VariableServer& server, Publisher& publisher, const Service& service) {
  const auto deadline = Clock::now() + kDefaultDeadline;
  for (int probe = 1;; ++probe) {
    publisher.publish("plant/probe", std::to_string(probe));
    if (server.waitForValue("APPL.Plant.Probe", std::to_string(probe), 2s)) return probe;
    if (Clock::now() >= deadline) throw std::runtime_error("no probe arrived:\n" + service.dump());
  }
}

// A broker stand-in for what mosquitto never does: it answers each CONNECT with an accepting
// MQTT 5 CONNACK and ignores what the client sends next; disconnect(reason) sends the oldest
// open connection a DISCONNECT with that reason code and closes it.
class ScriptedBroker5 {
 public:
  ScriptedBroker5() {
    listener_ = listenOnLoopback(0, 4, &port_, "scripted broker");
    thread_ = std::thread([this] { run(); });
  }
  ~ScriptedBroker5() {
    stop_ = true;
    thread_.join();
    close(listener_);
  }
  int port() const { return port_; }
  void disconnect(unsigned char reason) {
    reason_ = reason;
    disconnect_ = true;
  }
  // Waits until count CONNECTs have been answered.
  bool waitForConnects(int count, Clock::duration timeout) const {
    return pollUntil([&] { return connects_.load() >= count; }, timeout, 20ms);
  }

 private:
  void run() {
    std::deque<int> clients;
    while (!stop_) {
      std::vector<pollfd> waiting{{listener_, POLLIN, 0}};
      for (int client : clients) waiting.push_back({client, POLLIN, 0});
      if (poll(waiting.data(), waiting.size(), 100) > 0) {
        for (size_t i = 1; i < waiting.size(); ++i) {
          if (waiting[i].revents == 0) continue;
          unsigned char buffer[4096];
          const ssize_t got = read(waiting[i].fd, buffer, sizeof buffer);
          if (got <= 0) {
            close(waiting[i].fd);
            clients.erase(std::find(clients.begin(), clients.end(), waiting[i].fd));
          } else if (buffer[0] == 0x10) {  // CONNECT, sent in one piece by the client
            const unsigned char connack[] = {0x20, 0x03, 0x00, 0x00, 0x00};
            if (write(waiting[i].fd, connack, sizeof connack) == static_cast<ssize_t>(sizeof connack))
              ++connects_;
          }
        }
        if (waiting[0].revents != 0) {
          const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
          if (client >= 0) clients.push_back(client);
        }
      }
      if (disconnect_.exchange(false) && !clients.empty()) {
        const unsigned char disconnect[] = {0xE0, 0x02, reason_.load(), 0x00};
        ssize_t ignored = write(clients.front(), disconnect, sizeof disconnect);
        (void)ignored;
        close(clients.front());
        clients.pop_front();
      }
    }
    for (int client : clients) close(client);
  }

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false}, disconnect_{false};
  std::atomic<unsigned char> reason_{0};
  std::atomic<int> connects_{0};
  std::thread thread_;
};

size_t linesContaining(const Service& service, const std::string& text) {
  size_t n = 0;
  for (size_t i = 0; i < service.log().size(); ++i)
    if (service.log().line(i).find(text) != std::string::npos) ++n;
  return n;
}

}  // namespace

// A DISCONNECT from the broker with a reason a retry can mend, normal disconnection (0, which
// the service did not ask for) included, is a lost connection: traced with the broker's reason,
// and the service connects again (by itself: the library does not re-dial after it).
struct BrokerDisconnect {
  const char* name;
  unsigned char reason;
  const char* text;
};

void PrintTo(const BrokerDisconnect& disconnect, std::ostream* out) { *out << disconnect.name; }

class TransientDisconnect : public testing::TestWithParam<BrokerDisconnect> {};

INSTANTIATE_TEST_SUITE_P(Mqtt5, TransientDisconnect,
                         testing::Values(BrokerDisconnect{"Normal", 0x00, "Normal disconnection"},
                                         BrokerDisconnect{"ShuttingDown", 0x8B, "Server shutting down"}),
                         [](const testing::TestParamInfo<BrokerDisconnect>& info) {
                           return info.param.name;
                         });

TEST_P(TransientDisconnect, IsALostConnection) {
  ScriptedBroker5 broker;
  ServiceConfig config;
  config.brokerPort = broker.port();
  config.plantMembers = kPlant;
  config.activate = 1;
  config.keepAlive = 30;  // the stand-in answers no PINGREQ
  config.publishes = {{200, {{"plant/count", {"Count"}}}}};
  config.extraRootMembers = u32Member("uiProtocolVersion", 5);
  VariableServer server(config.treeJson());
  Service service(server);
  ASSERT_TRUE(service.waitFor("state: Connected", 0, kStartDeadline)) << service.dump();
  ASSERT_TRUE(server.waitForValue(rootMember("xConnectedToBroker"), "1"));
  const size_t mark = service.mark();
  broker.disconnect(GetParam().reason);
  EXPECT_TRUE(service.waitFor(
      std::string("connection to the broker lost: the broker closed the connection: ") + GetParam().text,
      mark))
      << service.dump(mark);
  ASSERT_TRUE(broker.waitForConnects(2, kDefaultDeadline)) << service.dump(mark);
  const auto again = service.waitFor("state: Connected", mark);
  EXPECT_TRUE(again) << service.dump(mark);
  EXPECT_TRUE(service.waitFor("connection to the broker re-established", mark)) << service.dump(mark);
}

// A wrong password: the broker's reason for the refusal is traced, and the service fails for good.
TEST(Mqtt5, RefusedLoginTracesTheBrokersReason) {
  BrokerOptions options;
  options.user = "plant";
  options.password = "right";
  Broker broker(options);
  ServiceConfig config = plantConfig(broker.port(), 5);
  config.useAuthentication = 1;
  config.username = "plant";
  config.password = "wrong";
  VariableServer server(config.treeJson());
  Service service(server);
  const std::string reason = mosquitto_reason_string(MQTT_RC_NOT_AUTHORIZED);
  ASSERT_TRUE(waitForSequence(
      service, {"MQTT protocol version 5.", "Error: the broker refused the connection: ", "state: Error"}, 0))
      << service.dump();
  const auto refused = service.waitFor("Error: the broker refused the connection: ");
  ASSERT_TRUE(refused);
  // mosquitto answers a wrong password of an MQTT 5 client with "not authorised" (0x87) or "bad
  // user name or password" (0x86): either is the broker's own reason, not the 3.1.1 text.
  const std::string line = service.log().line(*refused);
  EXPECT_TRUE(line.find(reason) != std::string::npos ||
              line.find(mosquitto_reason_string(MQTT_RC_BAD_USERNAME_OR_PASSWORD)) != std::string::npos)
      << line;
  EXPECT_EQ(server.get(rootMember("xConnectedToBroker")), "0");
}

// A publish the broker's ACL refuses: traced once with the reason, counted in publishFailures,
// and the service goes on publishing its next cycles (no resend of the refused message).
class RefusedPublish : public ::testing::TestWithParam<uint32_t> {};
INSTANTIATE_TEST_SUITE_P(QoS, RefusedPublish, ::testing::Values(1u, 2u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                           return "qos" + std::to_string(info.param);
                         });

// Refused in the PUBACK (QoS 1) or the PUBREC (QoS 2).
TEST_P(RefusedPublish, IsCountedAndNotSentAgain) {
  ConfiguredBroker broker(
      "topic readwrite plant/status/#\ntopic readwrite plant/status\ntopic read plant/#\n");
  ServiceConfig config = plantConfig(broker.port(), 5);
  config.publishes = {{200, {{"plant/denied", {"Count"}}}, u32Member("uiQoS", GetParam())}};
  config.extraRootMembers += ",\n\"strStatusTopic\": {\"type\": \"STRING\", \"value\": \"plant/status\"},\n" +
                             u32Member("uiStatusPeriodS", 1);
  VariableServer server(config.treeJson());
  Subscriber stats(broker.port(), "plant/status/stats");
  Service service(server);
  ASSERT_TRUE(service.waitFor("state: Connected", 0, kStartDeadline)) << service.dump();

  const auto failuresAtLeast = [](long long n) {
    return [n](const std::string& payload) {
      const size_t at = payload.find("\"publishFailures\":");
      return at != std::string::npos && std::stoll(payload.substr(at + 18)) >= n;
    };
  };
  ASSERT_TRUE(stats.waitFor("plant/status/stats", failuresAtLeast(5))) << service.dump();
  const std::string refused = std::string("Error: the broker refused a published message (message id ");
  EXPECT_EQ(linesContaining(service, refused), 1u) << service.dump();
  const auto line = service.waitFor(refused);
  ASSERT_TRUE(line);
  EXPECT_NE(service.log().line(*line).find(mosquitto_reason_string(MQTT_RC_NOT_AUTHORIZED)),
            std::string::npos)
      << service.log().line(*line);
  // Still connected: a refused publish is the message's failure, not the connection's.
  EXPECT_EQ(linesContaining(service, "state: Error"), 0u) << service.dump();
}

struct SessionCase {
  const char* name;
  uint32_t expiryS;
  bool kept;
};

class Mqtt5Session : public ::testing::TestWithParam<SessionCase> {};
INSTANTIATE_TEST_SUITE_P(Expiry, Mqtt5Session,
                         ::testing::Values(SessionCase{"kept", 300, true},
                                           SessionCase{"expiresAtOnce", 0, false}),
                         [](const ::testing::TestParamInfo<SessionCase>& info) { return info.param.name; });

// xCleanSession 0: a command sent while the service is away arrives after its restart when the
// session outlives the connection (uiSessionExpiryS), and is gone when its expiry is 0.
TEST_P(Mqtt5Session, CommandSentWhileAwayFollowsTheExpiry) {
  Broker broker;
  ServiceConfig config = plantConfig(broker.port(), 5);
  config.cleanSession = 0;
  config.extraRootMembers += ",\n" + u32Member("uiSessionExpiryS", GetParam().expiryS);
  VariableServer server(config.treeJson());
  Publisher publisher(broker.port());
  {
    Service first(server);
    ASSERT_TRUE(first.waitFor("state: Connected", 0, kStartDeadline)) << first.dump();
    probeUntilWritten(server, publisher, first);
  }  // ended with SIGINT: a clean DISCONNECT
  publisher.publish("plant/cmd", "42");
  ASSERT_TRUE(publisher.waitAllSent());

  Service second(server);
  ASSERT_TRUE(second.waitFor("state: Connected", 0, kStartDeadline)) << second.dump();
  ASSERT_TRUE(second.waitFor(std::string("MQTT 5 connection accepted, session present ") +
                             (GetParam().kept ? "1" : "0")))
      << second.dump();
  if (GetParam().kept) {
    EXPECT_TRUE(server.waitForValue("APPL.Plant.Command", "42")) << second.dump();
  } else {
    // Kept messages come before anything published after the reconnect: once a later probe is
    // written, the command would have been.
    probeUntilWritten(server, publisher, second);
    EXPECT_EQ(server.get("APPL.Plant.Command"), "0");
  }
}

class IgnoreRetained : public ::testing::TestWithParam<uint32_t> {};
INSTANTIATE_TEST_SUITE_P(Protocol, IgnoreRetained, ::testing::Values(4u, 5u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                           return info.param == 4 ? "mqtt311" : "mqtt5";
                         });

// A retained command waiting on the broker is never written with xIgnoreRetained: under 3.1.1
// the service skips it (traced once), under MQTT 5 the broker does not even send it. A live
// command on the same topic is written.
TEST_P(IgnoreRetained, RetainedCommandIsNotWritten) {
  Broker broker;
  publishRetained(broker.port(), "plant/cmd", "77");
  ServiceConfig config = plantConfig(broker.port(), GetParam());
  config.subscribes[0].extraMembers += ", " + u32Member("xIgnoreRetained", 1);
  VariableServer server(config.treeJson());
  Service service(server);
  ASSERT_TRUE(service.waitFor("subscribed to topic 'plant/probe'.", 0, kStartDeadline)) << service.dump();
  Publisher publisher(broker.port());
  probeUntilWritten(server, publisher, service);
  publisher.publish("plant/cmd", "5");
  ASSERT_TRUE(server.waitForValue("APPL.Plant.Command", "5")) << service.dump();

  const size_t skipped =
      linesContaining(service, "Retained message on topic 'plant/cmd' ignored (xIgnoreRetained of ");
  EXPECT_EQ(skipped, GetParam() == 4 ? 1u : 0u) << service.dump();
}

// Without the member a retained command is written as before.
TEST(IgnoreRetained, AbsentWritesTheRetainedCommand) {
  Broker broker;
  publishRetained(broker.port(), "plant/cmd", "77");
  ServiceConfig config = plantConfig(broker.port(), 0);
  VariableServer server(config.treeJson());
  Service service(server);
  EXPECT_TRUE(server.waitForValue("APPL.Plant.Command", "77", kStartDeadline)) << service.dump();
}

// What a payload says about itself under MQTT 5: JSON carries Payload Format Indicator 1 and
// Content Type application/json, raw text neither; both carry the configuration's user
// properties and its Message Expiry Interval.
TEST(Mqtt5Payloads, CarryFormatContentTypeUserPropertiesAndExpiry) {
  Broker broker;
  ServiceConfig config = plantConfig(broker.port(), 5);
  config.publishes = {{200,
                       {{"plant/json", {"Count"}}, {"plant/raw", {"Count"}, 1}},
                       u32Member("uiMessageExpiryS", 60) +
                           ", \"strUserProperty:0\": {\"type\": \"STRING\", \"value\": \"site=line 1\"}"
                           ", \"strUserProperty:1\": {\"type\": \"STRING\", \"value\": \"unit=\"}"}};
  VariableServer server(config.treeJson());
  V5Subscriber subscriber(broker.port(), "plant/#");
  Service service(server);
  const std::vector<std::pair<std::string, std::string>> user{{"site", "line 1"}, {"unit", ""}};

  const auto json = subscriber.waitFor("plant/json");
  ASSERT_TRUE(json) << service.dump();
  EXPECT_EQ(json->payload, "{\"Count\":7}");
  EXPECT_EQ(json->formatIndicator, 1);
  EXPECT_EQ(json->contentType, "application/json");
  EXPECT_EQ(json->userProperties, user);
  EXPECT_GT(json->expiryS, 0);
  EXPECT_LE(json->expiryS, 60);

  const auto raw = subscriber.waitFor("plant/raw");
  ASSERT_TRUE(raw) << service.dump();
  EXPECT_EQ(raw->payload, "7");
  EXPECT_EQ(raw->formatIndicator, -1);
  EXPECT_EQ(raw->contentType, "");
  EXPECT_EQ(raw->userProperties, user);
  EXPECT_GT(raw->expiryS, 0);
}

// A payload kept in the offline buffer during an outage longer than its expiry is dropped at the
// drain (traced); the ones that still have time go out with the time they have left.
TEST(Mqtt5Payloads, KeptPayloadsExpireAtTheDrain) {
  const int port = freePort();
  auto broker = std::make_unique<BrokerOnPort>(port);
  ServiceConfig config = plantConfig(port, 5);
  config.plantMembers +=
      ", \"Counter\": {\"type\": \"UINT32\", \"value\": 0, \"simulate\": {\"kind\": "
      "\"counter\", \"periodMs\": 200}}";
  config.publishes = {{200,
                       {{"plant/json", {"Counter"}}},
                       u32Member("uiMessageExpiryS", 2) + ", " + u32Member("uiOfflineBufferKB", 64)}};
  VariableServer server(config.treeJson());
  Service service(server);
  ASSERT_TRUE(service.waitFor("state: Connected", 0, kStartDeadline)) << service.dump();

  const size_t mark = service.mark();
  broker.reset();
  ASSERT_TRUE(service.waitFor("EntryConnectionLost", mark)) << service.dump(mark);
  // About 4 s of payloads kept, twice their expiry.
  ASSERT_TRUE(waitForCounter(server, counterNow(server) + 20)) << service.dump(mark);
  broker = std::make_unique<BrokerOnPort>(port);
  ASSERT_TRUE(service.waitFor("state: Connected", mark, 60s)) << service.dump(mark);
  EXPECT_TRUE(service.waitFor("Offline buffer of ZAL_MQTT_publish:0: ", mark)) << service.dump(mark);
  const auto dropped = service.waitFor("kept payloads expired (uiMessageExpiryS) and were dropped.", mark);
  ASSERT_TRUE(dropped) << service.dump(mark);
  EXPECT_TRUE(service.waitFor("buffered payloads sent.", mark)) << service.dump(mark);
}

// The broker's limits from the CONNACK are traced and honoured: a payload beyond them gets one
// line per set, each cycle after is counted, nothing is sent that the broker would refuse.
TEST(Mqtt5Limits, PayloadsBeyondTheBrokersLimitsAreTracedOncePerSet) {
  ConfiguredBroker broker("", "max_qos 1\nretain_available false\nmax_packet_size 100\n");
  ServiceConfig config = plantConfig(broker.port(), 5);
  config.plantMembers += ", \"Long\": {\"type\": \"STRING\", \"value\": \"" + std::string(150, 'x') + "\"}";
  config.publishes = {{200,
                       {{"plant/qos2", {"Count"}, 0, 0, 0, u32Member("uiQoS", 2)},
                        {"plant/retained", {"Count"}, 0, 0, 0, u32Member("xRetain", 1)},
                        {"plant/long", {"Long"}, 1},
                        {"plant/fine", {"Count"}}}}};
  VariableServer server(config.treeJson());
  Subscriber fine(broker.port(), "plant/#");
  Service service(server);
  ASSERT_TRUE(service.waitFor("Broker limits: maximum QoS 1, retain available 0, maximum packet size 100,", 0,
                              kStartDeadline))
      << service.dump();
  // Several cycles: each set's line once, and the set within the limits is published.
  ASSERT_EQ(fine.waitForCount("plant/fine", 5).size(), 5u) << service.dump();
  EXPECT_EQ(linesContaining(service, "Topic: plant/qos2 - the QoS is higher than the broker can accept"), 1u)
      << service.dump();
  EXPECT_EQ(linesContaining(service, "Topic: plant/retained - the broker does not keep retained messages"),
            1u)
      << service.dump();
  EXPECT_EQ(linesContaining(service, "Topic: plant/long - the packet is too large for the broker"), 1u)
      << service.dump();
  EXPECT_EQ(fine.count("plant/qos2") + fine.count("plant/retained") + fine.count("plant/long"), 0u);
}
