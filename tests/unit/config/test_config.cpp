// Tests of the configuration model: the broker item, publish configurations, variable-topic
// sets (also used as subscribe configurations) and the TLS item, each built over a small tree in
// the in-process variable store.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "GVPvariable.h"
#include "KalpApi.h"
#include "KalpInproc.h"
#include "Trace.h"
#include "TraceLines.h"
#include "ZAL_MQTT_TLS.h"
#include "ZAL_MQTT_VarTopicSet.h"
#include "ZAL_MQTT_item.h"
#include "ZAL_MQTT_publish.h"

namespace {

const std::string kRoot = "SYS.CAT.Application.ZAL_Cloud:0.ZAL_MQTT:0";

std::string R(const std::string& member) { return kRoot + "." + member; }

std::string u32(uint32_t value) { return R"({"type": "UINT32", "value": )" + std::to_string(value) + "}"; }
std::string text(const std::string& value) { return R"({"type": "STRING", "value": ")" + value + "\"}"; }
// A node whose every read fails with "access not permitted".
std::string unreadable(const std::string& node) {
  return node.substr(0, node.size() - 1) + R"(, "fault": {"read": "0x81000504"}})";
}

// A variable tree as an ordered list of full paths and their tree-file nodes; parents that are
// not listed become directories. Order is kept, so members are listed as they are added.
class Tree {
 public:
  Tree& set(const std::string& path, const std::string& node) {
    for (auto& entry : nodes_) {
      if (entry.first == path) {
        entry.second = node;
        return *this;
      }
    }
    nodes_.emplace_back(path, node);
    return *this;
  }
  // Removes path and everything below it.
  Tree& erase(const std::string& path) {
    std::vector<std::pair<std::string, std::string>> kept;
    for (auto& entry : nodes_) {
      if (entry.first != path && entry.first.rfind(path + ".", 0) != 0) kept.push_back(entry);
    }
    nodes_ = kept;
    return *this;
  }
  void load() const {
    std::string json = R"({"deviceState": 300, "variables": {)";
    bool first = true;
    for (const auto& entry : nodes_) {
      json += (first ? "\n" : ",\n") + ("\"" + entry.first + "\": ") + entry.second;
      first = false;
    }
    json += "\n}}";
    kalpinproc::loadTree(json);
  }

 private:
  std::vector<std::pair<std::string, std::string>> nodes_;
};

// The process variables of application "App".
Tree plant() {
  Tree tree;
  tree.set("APPL.App.Counter", u32(7))
      .set("APPL.App.Drive", R"({"type": "STRUCT", "members": {"Speed": {"type": "REAL", "value": 1.5},
                                  "Torque": {"type": "REAL", "value": 2.5}}})")
      .set("APPL.App.A", u32(1))
      .set("APPL.App.B", u32(2));
  return tree;
}

// A valid broker configuration with one publish and one subscribe configuration.
Tree validConfig() {
  Tree tree = plant();
  tree.set(R("ApplicationName"), text("App"))
      .set(R("strClientID"), text("client-1"))
      .set(R("xConnectedToBroker"), u32(0))
      .set(R("xErrorRetry"), u32(0))
      .set(R("BrokerURL"), text("localhost"))
      .set(R("BrokerPort"), u32(1883))
      .set(R("keepAliveTime"), u32(10))
      .set(R("xCleanSession"), u32(1))
      .set(R("xUseUserAuthentication"), u32(0))
      .set(R("xActivateConnection"), u32(1))
      .set(R("uiTraceLevel"), u32(3))
      .set(R("uiSubscribeQueueMemLimitKB"), u32(64))
      .set(R("ZAL_MQTT_publish:0.uiPublishPeriodms"), u32(100))
      .set(R("ZAL_MQTT_publish:0.VariableTopicSet:0.topic"), text("out"))
      .set(R("ZAL_MQTT_publish:0.VariableTopicSet:0.variable:0"), text("Counter"))
      .set(R("ZAL_MQTT_subscribe:0.topic"), text("in"))
      .set(R("ZAL_MQTT_subscribe:0.variable:0"), text("A"));
  return tree;
}

// Runs build at the given trace level, capturing the trace. Returns the exception text, or ""
// when build succeeded.
std::string runTraced(uint32_t level, std::vector<std::string>& lines, const std::function<void()>& build) {
  setTraceLevel(level);
  testing::internal::CaptureStderr();
  std::string error;
  try {
    build();
  } catch (const std::runtime_error& e) {
    error = e.what();
  }
  lines = traceBodies(testing::internal::GetCapturedStderr());
  setTraceLevel(0);
  return error;
}

std::string buildError(const std::function<void()>& build) {
  std::vector<std::string> ignored;
  return runTraced(0, ignored, build);
}

// Index of line in lines, or -1.
long indexOf(const std::vector<std::string>& lines, const std::string& line, size_t from = 0) {
  for (size_t i = from; i < lines.size(); ++i) {
    if (lines[i] == line) return static_cast<long>(i);
  }
  return -1;
}

size_t countOf(const std::vector<std::string>& lines, const std::string& line) {
  size_t n = 0;
  for (const auto& l : lines) n += (l == line);
  return n;
}

// ---------------------------------------------------------------------------------------------
// Broker item

struct BrokenCase {
  const char* what;
  std::function<void(Tree&)> mutate;
  std::string message;
};

void PrintTo(const BrokenCase& c, std::ostream* out) { *out << c.what; }

class BrokenBrokerConfig : public testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenBrokerConfig, FailsWithItsMessage) {
  Tree tree = validConfig();
  GetParam().mutate(tree);
  tree.load();
  EXPECT_EQ(buildError([] { ZAL_MQTT_item item(kRoot); }), GetParam().message);
  // Nothing is left behind: every handle and walk opened on the way is closed again.
  EXPECT_EQ(kalpinproc::openHandleCount(), 0u);
  EXPECT_EQ(kalpinproc::openDirCount(), 0u);
}

const std::string kOpenMissing = " open variable handle result is: 81000501";

// clang-format off
// Each row: a valid configuration, one change, the exact message of the failed construction.
INSTANTIATE_TEST_SUITE_P(Table, BrokenBrokerConfig, testing::Values(
  BrokenCase{"root node missing",         [](Tree& t) { t.erase(kRoot); }, "Error: open variable handle result is: 0x81000501 for node " + std::string(kRoot) + "\n"},
  BrokenCase{"app name missing",          [](Tree& t) { t.erase(R("ApplicationName")); }, "Bad broker configuration: cannot read application name."},
  BrokenCase{"app name unreadable",       [](Tree& t) { t.set(R("ApplicationName"), unreadable(text("App"))); }, "Bad broker configuration: cannot read application name."},
  BrokenCase{"app name empty",            [](Tree& t) { t.set(R("ApplicationName"), text("")); }, "Bad broker configuration: application name is empty."},
  BrokenCase{"client ID missing",         [](Tree& t) { t.erase(R("strClientID")); }, "Bad broker configuration: cannot read MQTT client ID."},
  BrokenCase{"connected flag missing",    [](Tree& t) { t.erase(R("xConnectedToBroker")); }, R("xConnectedToBroker") + kOpenMissing},
  BrokenCase{"error retry missing",       [](Tree& t) { t.erase(R("xErrorRetry")); }, R("xErrorRetry") + kOpenMissing},
  BrokenCase{"broker URL missing",        [](Tree& t) { t.erase(R("BrokerURL")); }, "Bad broker configuration: cannot read broker URL."},
  BrokenCase{"broker URL empty",          [](Tree& t) { t.set(R("BrokerURL"), text("")); }, "Bad broker configuration: broker URL is empty."},
  BrokenCase{"broker port missing",       [](Tree& t) { t.erase(R("BrokerPort")); }, "Bad broker configuration: cannot read broker port."},
  BrokenCase{"broker port unreadable",    [](Tree& t) { t.set(R("BrokerPort"), unreadable(u32(1883))); }, "Bad broker configuration: cannot read broker port."},
  BrokenCase{"keep-alive missing",        [](Tree& t) { t.erase(R("keepAliveTime")); }, "Bad broker configuration: cannot read keep-alive time."},
  BrokenCase{"keep-alive zero",           [](Tree& t) { t.set(R("keepAliveTime"), u32(0)); }, "Bad broker configuration: keep-alive time is zero."},
  BrokenCase{"clean session missing",     [](Tree& t) { t.erase(R("xCleanSession")); }, "Bad broker configuration: cannot read clean session flag."},
  BrokenCase{"user auth flag missing",    [](Tree& t) { t.erase(R("xUseUserAuthentication")); }, "Bad broker configuration: cannot read user authentication flag."},
  BrokenCase{"user name missing",         [](Tree& t) { t.set(R("xUseUserAuthentication"), u32(1)).set(R("strPassword"), text("pw")); }, "Bad broker configuration: cannot read user name."},
  BrokenCase{"password missing",          [](Tree& t) { t.set(R("xUseUserAuthentication"), u32(1)).set(R("strUsername"), text("u")); }, "Bad broker configuration: cannot read password."},
  BrokenCase{"user name empty",           [](Tree& t) { t.set(R("xUseUserAuthentication"), u32(1)).set(R("strUsername"), text("")).set(R("strPassword"), text("pw")); }, "Bad broker configuration: user name is empty in user authentication."},
  BrokenCase{"activate flag missing",     [](Tree& t) { t.erase(R("xActivateConnection")); }, R("xActivateConnection") + kOpenMissing},
  BrokenCase{"trace level unreadable",    [](Tree& t) { t.set(R("uiTraceLevel"), unreadable(u32(1))); }, "Bad broker configuration: access to uiTraceLevel failed."},
  BrokenCase{"queue limit unreadable",    [](Tree& t) { t.set(R("uiSubscribeQueueMemLimitKB"), unreadable(u32(1))); }, "Bad broker configuration: access to uiSubscribeQueueMemLimitKB failed."},
  // A 4-byte member must be a 4-byte integer: a text's bytes or a REAL's bits are no number.
  BrokenCase{"broker port as text",       [](Tree& t) { t.set(R("BrokerPort"), text("1883")); }, "Bad broker configuration: cannot read broker port."},
  BrokenCase{"keep-alive as REAL",        [](Tree& t) { t.set(R("keepAliveTime"), R"({"type": "REAL", "value": 10.0})"); }, "Bad broker configuration: cannot read keep-alive time."},
  BrokenCase{"clean session as LWORD",    [](Tree& t) { t.set(R("xCleanSession"), R"({"type": "LWORD", "value": 1})"); }, "Bad broker configuration: cannot read clean session flag."},
  BrokenCase{"trace level as text",       [](Tree& t) { t.set(R("uiTraceLevel"), text("3")); }, "Bad broker configuration: access to uiTraceLevel failed."},
  BrokenCase{"string encoding as text",   [](Tree& t) { t.set(R("uiStringEncoding"), text("1")); }, "Bad broker configuration: access to uiStringEncoding failed."},
  BrokenCase{"string encoding unreadable",[](Tree& t) { t.set(R("uiStringEncoding"), unreadable(u32(1))); }, "Bad broker configuration: access to uiStringEncoding failed."},
  BrokenCase{"string encoding 2",         [](Tree& t) { t.set(R("uiStringEncoding"), u32(2)); }, "Bad broker configuration: uiStringEncoding is neither 0 (UTF-8) nor 1 (Latin-1)."},
  BrokenCase{"browse pause unreadable",   [](Tree& t) { t.set(R("uiBrowsePauseMs"), unreadable(u32(0))); }, "Bad broker configuration: access to uiBrowsePauseMs failed."},
  BrokenCase{"browse pause above 1000",   [](Tree& t) { t.set(R("uiBrowsePauseMs"), u32(1001)); }, "Bad broker configuration: uiBrowsePauseMs is above 1000 ms."},
  BrokenCase{"status topic unreadable",    [](Tree& t) { t.set(R("strStatusTopic"), unreadable(text("s"))); }, "Bad broker configuration: access to strStatusTopic failed."},
  BrokenCase{"status topic wildcard +",   [](Tree& t) { t.set(R("strStatusTopic"), text("plant/+/status")); }, "Bad broker configuration: strStatusTopic must not contain the wildcards + or #."},
  BrokenCase{"status topic wildcard #",   [](Tree& t) { t.set(R("strStatusTopic"), text("plant/#")); }, "Bad broker configuration: strStatusTopic must not contain the wildcards + or #."},
  BrokenCase{"status period unreadable",  [](Tree& t) { t.set(R("uiStatusPeriodS"), unreadable(u32(1))); }, "Bad broker configuration: access to uiStatusPeriodS failed."},
  BrokenCase{"error retry unreadable",    [](Tree& t) { t.set(R("uiErrorRetryS"), unreadable(u32(1))); }, "Bad broker configuration: access to uiErrorRetryS failed."},
  BrokenCase{"reconnect max unreadable",  [](Tree& t) { t.set(R("uiReconnectMaxS"), unreadable(u32(60))); }, "Bad broker configuration: access to uiReconnectMaxS failed."},
  BrokenCase{"reconnect max as text",     [](Tree& t) { t.set(R("uiReconnectMaxS"), text("60")); }, "Bad broker configuration: access to uiReconnectMaxS failed."},
  BrokenCase{"reconnect max above 3600",  [](Tree& t) { t.set(R("uiReconnectMaxS"), u32(3601)); }, "Bad broker configuration: uiReconnectMaxS is above 3600 s."},
  BrokenCase{"failover after unreadable", [](Tree& t) { t.set(R("ZAL_MQTT_broker:0.BrokerURL"), text("b")).set(R("ZAL_MQTT_broker:0.BrokerPort"), u32(1883)).set(R("uiFailoverAfterS"), unreadable(u32(5))); }, "Bad broker configuration: access to uiFailoverAfterS failed."},
  BrokenCase{"failover after above 3600", [](Tree& t) { t.set(R("ZAL_MQTT_broker:0.BrokerURL"), text("b")).set(R("ZAL_MQTT_broker:0.BrokerPort"), u32(1883)).set(R("uiFailoverAfterS"), u32(3601)); }, "Bad broker configuration: uiFailoverAfterS is above 3600 s."},
  BrokenCase{"in-flight unreadable",      [](Tree& t) { t.set(R("uiMaxInflightMessages"), unreadable(u32(1))); }, "Bad broker configuration: access to uiMaxInflightMessages failed."},
  BrokenCase{"in-flight above 65535",     [](Tree& t) { t.set(R("uiMaxInflightMessages"), u32(65536)); }, "Bad broker configuration: uiMaxInflightMessages is above 65535."},
  BrokenCase{"Sparkplug group unreadable", [](Tree& t) { t.set(R("strSparkplugGroupId"), unreadable(text("G"))); }, "Bad broker configuration: access to strSparkplugGroupId failed."},
  BrokenCase{"Sparkplug group with /",    [](Tree& t) { t.set(R("strSparkplugGroupId"), text("a/b")); }, "Bad broker configuration: strSparkplugGroupId must not contain /, + or #."},
  BrokenCase{"Sparkplug node with +",     [](Tree& t) { t.set(R("strSparkplugGroupId"), text("G")).set(R("strSparkplugEdgeNodeId"), text("n+")); }, "Bad broker configuration: the Sparkplug edge node id (strSparkplugEdgeNodeId, else strClientID) must not contain /, + or #."},
  BrokenCase{"Sparkplug client ID with #", [](Tree& t) { t.set(R("strSparkplugGroupId"), text("G")).set(R("strClientID"), text("c#")); }, "Bad broker configuration: the Sparkplug edge node id (strSparkplugEdgeNodeId, else strClientID) must not contain /, + or #."},
  BrokenCase{"Sparkplug host with /",     [](Tree& t) { t.set(R("strSparkplugGroupId"), text("G")).set(R("strSparkplugPrimaryHostId"), text("h/1")); }, "Bad broker configuration: strSparkplugPrimaryHostId must not contain /, + or #."},
  BrokenCase{"Sparkplug with status",     [](Tree& t) { t.set(R("strSparkplugGroupId"), text("G")).set(R("strStatusTopic"), text("s")); }, "Bad broker configuration: strSparkplugGroupId and strStatusTopic cannot be combined (each needs the last will)."},
  BrokenCase{"protocol unreadable",       [](Tree& t) { t.set(R("uiProtocolVersion"), unreadable(u32(5))); }, "Bad broker configuration: access to uiProtocolVersion failed."},
  BrokenCase{"protocol 3",                [](Tree& t) { t.set(R("uiProtocolVersion"), u32(3)); }, "Bad broker configuration: uiProtocolVersion is neither 4 (MQTT 3.1.1) nor 5 (MQTT 5)."},
  BrokenCase{"protocol 6",                [](Tree& t) { t.set(R("uiProtocolVersion"), u32(6)); }, "Bad broker configuration: uiProtocolVersion is neither 4 (MQTT 3.1.1) nor 5 (MQTT 5)."},
  BrokenCase{"session expiry as text",    [](Tree& t) { t.set(R("uiSessionExpiryS"), text("60")); }, "Bad broker configuration: access to uiSessionExpiryS failed."},
  BrokenCase{"no children",               [](Tree& t) { t.erase(R("ZAL_MQTT_publish:0")).erase(R("ZAL_MQTT_subscribe:0")); }, "Bad ZAL_MQTT configuration: neither publish- nor subscribe configuration found."},
  // Reading stops at the first member that fails; validation follows its own order.
  BrokenCase{"first failed read wins",    [](Tree& t) { t.erase(R("strClientID")).erase(R("BrokerURL")); }, "Bad broker configuration: cannot read MQTT client ID."},
  BrokenCase{"app name before URL",       [](Tree& t) { t.set(R("ApplicationName"), text("")).set(R("BrokerURL"), text("")); }, "Bad broker configuration: application name is empty."},
  BrokenCase{"URL before keep-alive",     [](Tree& t) { t.set(R("BrokerURL"), text("")).set(R("keepAliveTime"), u32(0)); }, "Bad broker configuration: broker URL is empty."},
  BrokenCase{"keep-alive before user",    [](Tree& t) { t.set(R("keepAliveTime"), u32(0)).set(R("xUseUserAuthentication"), u32(1)).set(R("strUsername"), text("")).set(R("strPassword"), text("")); }, "Bad broker configuration: keep-alive time is zero."},
  BrokenCase{"user before children",      [](Tree& t) { t.set(R("xUseUserAuthentication"), u32(1)).set(R("strUsername"), text("")).set(R("strPassword"), text("")).erase(R("ZAL_MQTT_publish:0")).erase(R("ZAL_MQTT_subscribe:0")); }, "Bad broker configuration: user name is empty in user authentication."}
));
// clang-format on

TEST(BrokerItem, ValidConfigurationGivesEveryMember) {
  validConfig().load();
  auto item = std::make_shared<ZAL_MQTT_item>(kRoot);
  EXPECT_EQ(item->getClientID(), "client-1");
  EXPECT_EQ(item->getBrokerURL(), "localhost");
  EXPECT_EQ(item->getBrokerPort(), 1883u);
  EXPECT_EQ(item->getKeepAliveTime(), 10u);
  EXPECT_EQ(item->getCleanSession(), 1u);
  EXPECT_EQ(item->getUseUserAuthentication(), 0u);
  EXPECT_EQ(item->getUsername(), "");
  EXPECT_EQ(item->getPassword(), "");
  EXPECT_EQ(item->getTraceLevel(), 3u);
  EXPECT_EQ(item->getSubscribeQueueMemLimitKB(), 64u);
  EXPECT_EQ(item->getTLS(), nullptr);
  ASSERT_EQ(item->getPublishConfigurations().size(), 1u);
  ASSERT_EQ(item->getSubscribeConfigurations().size(), 1u);
  EXPECT_EQ(item->getPublishConfigurations()[0]->getPublishPeriodms(), 100u);
  EXPECT_EQ(item->getSubscribeConfigurations()[0]->getTopic(), "in");

  // The control flags are live views of the variable server.
  EXPECT_EQ(item->readActivateConnection(), 1u);
  kalpinproc::setText(R("xActivateConnection"), "0");
  EXPECT_EQ(item->readActivateConnection(), 0u);
  item->writeConnectedToBroker(1);
  EXPECT_EQ(kalpinproc::getText(R("xConnectedToBroker")), "1");

  // A child outlives the root while someone holds it.
  auto publish = item->getPublishConfigurations()[0];
  item.reset();
  EXPECT_EQ(publish->getVariableTopicSets()[0]->getVariables()[0]->readUint32(), 7u);
  publish.reset();
  EXPECT_EQ(kalpinproc::openHandleCount(), 0u);
}

TEST(BrokerItem, FourByteMembersTakeEveryFourByteIntegerType) {
  Tree tree = validConfig();
  tree.set(R("BrokerPort"), R"({"type": "SINT32", "value": 8883})")
      .set(R("keepAliveTime"), R"({"type": "DWORD", "value": 30})")
      .set(R("uiStringEncoding"), u32(1));
  tree.load();
  ZAL_MQTT_item item(kRoot);
  EXPECT_EQ(item.getBrokerPort(), 8883u);
  EXPECT_EQ(item.getKeepAliveTime(), 30u);
  EXPECT_EQ(item.getStringEncoding(), 1u);
}

TEST(BrokerItem, LiveFlagFailuresThrow) {
  validConfig().load();
  ZAL_MQTT_item item(kRoot);
  kalpinproc::setFault(R("xActivateConnection"), "read", KALPAPI_E_NO_COMMUNICATION);
  EXPECT_THROW(item.readActivateConnection(), std::runtime_error);
  kalpinproc::setFault(R("xConnectedToBroker"), "write", KALPAPI_E_ACCESS_DENIED);
  EXPECT_THROW(item.writeConnectedToBroker(1), std::runtime_error);
}

TEST(BrokerItem, ControlFlagsDeclaredAsBoolWork) {
  Tree tree = validConfig();
  tree.set(R("xActivateConnection"), R"({"type": "BOOL", "value": true})")
      .set(R("xConnectedToBroker"), R"({"type": "BOOL", "value": false})");
  tree.load();
  ZAL_MQTT_item item(kRoot);
  EXPECT_EQ(item.readActivateConnection(), 1u);
  item.writeConnectedToBroker(1);
  EXPECT_EQ(kalpinproc::getRaw(R("xConnectedToBroker")), std::vector<uint8_t>{1});
}

TEST(BrokerItem, OptionalMembersDefaultWithTheirTraceLines) {
  Tree tree = validConfig();
  tree.erase(R("uiTraceLevel")).erase(R("uiSubscribeQueueMemLimitKB"));
  tree.load();
  std::vector<std::string> lines;
  std::shared_ptr<ZAL_MQTT_item> item;
  ASSERT_EQ(runTraced(1, lines, [&] { item = std::make_shared<ZAL_MQTT_item>(kRoot); }), "");
  EXPECT_EQ(item->getTraceLevel(), 0u);
  EXPECT_EQ(item->getSubscribeQueueMemLimitKB(), 1024u);
  EXPECT_EQ(item->getStringEncoding(), 0u);  // absent, and silent about it
  for (const auto& line : lines) EXPECT_EQ(line.find("uiStringEncoding"), std::string::npos) << line;
  EXPECT_EQ(item->getTLS(), nullptr);
  const long tlsLine = indexOf(lines, "No TLS configuration or TLS configuration is invalid.");
  const long traceLine = indexOf(lines, "Broker configuration: No uiTraceLevel defined. Defaulting to zero.");
  const long queueLine =
      indexOf(lines, "Broker configuration: No uiSubscribeQueueMemLimitKB defined. Defaulting to 1024.");
  ASSERT_GE(tlsLine, 0);
  EXPECT_GT(traceLine, tlsLine);
  EXPECT_GT(queueLine, traceLine);

  // The lines are level 1: they are there at level 1 and gone at level 0.
  ASSERT_EQ(runTraced(0, lines, [&] { ZAL_MQTT_item again(kRoot); }), "");
  EXPECT_TRUE(lines.empty());
}

TEST(BrokerItem, OptInMembersAreOffWhenAbsentWithoutATraceLine) {
  std::vector<std::string> absentLines;
  std::shared_ptr<ZAL_MQTT_item> item;
  validConfig().load();
  ASSERT_EQ(runTraced(4, absentLines, [&] { item = std::make_shared<ZAL_MQTT_item>(kRoot); }), "");
  EXPECT_EQ(item->getStatusTopic(), "");
  EXPECT_EQ(item->getStatusPeriodS(), 0u);
  EXPECT_EQ(item->getErrorRetryS(), 0u);
  EXPECT_EQ(item->getReconnectMaxS(), 0u);
  EXPECT_EQ(item->getProtocolVersion(), 4u);
  EXPECT_EQ(item->getSessionExpiryS(), 3600u);
  EXPECT_EQ(item->getSubscribeConfigurations()[0]->getIgnoreRetained(), 0u);
  EXPECT_EQ(item->getPublishConfigurations()[0]->getQoS(), 1u);
  EXPECT_EQ(item->getPublishConfigurations()[0]->getRetain(), 0u);
  EXPECT_EQ(item->getPublishConfigurations()[0]->getFullOnConnect(), 0u);
  EXPECT_FALSE(item->getSubscribeConfigurations()[0]->getQoS());
  EXPECT_FALSE(item->getPublishConfigurations()[0]->getVariableTopicSets()[0]->getRetain());
  item.reset();

  Tree tree = validConfig();
  tree.set(R("strStatusTopic"), text("plant/status"))
      .set(R("uiStatusPeriodS"), u32(30))
      .set(R("uiErrorRetryS"), u32(5))
      .set(R("uiReconnectMaxS"), u32(3600))
      .set(R("ZAL_MQTT_publish:0.uiQoS"), u32(2))
      .set(R("ZAL_MQTT_publish:0.xRetain"), u32(1))
      .set(R("ZAL_MQTT_publish:0.xFullOnConnect"), u32(1))
      .set(R("ZAL_MQTT_publish:0.VariableTopicSet:0.uiQoS"), u32(0))
      .set(R("ZAL_MQTT_publish:0.VariableTopicSet:0.xRetain"), u32(0))
      .set(R("ZAL_MQTT_subscribe:0.uiQoS"), u32(1))
      .set(R("uiProtocolVersion"), u32(5))
      .set(R("uiSessionExpiryS"), u32(0))
      .set(R("ZAL_MQTT_subscribe:0.xIgnoreRetained"), u32(1));
  tree.load();
  std::vector<std::string> presentLines;
  ASSERT_EQ(runTraced(4, presentLines, [&] { item = std::make_shared<ZAL_MQTT_item>(kRoot); }), "");
  EXPECT_EQ(item->getStatusTopic(), "plant/status");
  EXPECT_EQ(item->getStatusPeriodS(), 30u);
  EXPECT_EQ(item->getErrorRetryS(), 5u);
  EXPECT_EQ(item->getReconnectMaxS(), 3600u);
  const auto publish = item->getPublishConfigurations()[0];
  EXPECT_EQ(publish->getQoS(), 2u);
  EXPECT_EQ(publish->getRetain(), 1u);
  EXPECT_EQ(publish->getFullOnConnect(), 1u);
  EXPECT_EQ(publish->getVariableTopicSets()[0]->getQoS(), std::optional<uint32_t>(0));
  EXPECT_EQ(publish->getVariableTopicSets()[0]->getRetain(), std::optional<uint32_t>(0));
  EXPECT_EQ(item->getSubscribeConfigurations()[0]->getQoS(), std::optional<uint32_t>(1));
  EXPECT_EQ(item->getProtocolVersion(), 5u);
  EXPECT_EQ(item->getSessionExpiryS(), 0u);
  EXPECT_EQ(item->getSubscribeConfigurations()[0]->getIgnoreRetained(), 1u);
  // Present or absent, the new members write no trace line of their own.
  EXPECT_EQ(presentLines, absentLines);
}

// The failover list: the root's broker, then the children by index (not by listed order); a
// child that cannot be used is skipped; uiFailoverAfterS is read only with children.
TEST(BrokerItem, FailoverListInIndexOrder) {
  Tree tree = validConfig();
  tree.set(R("uiFailoverAfterS"), u32(4000));  // no children: not read, so not refused
  tree.load();
  EXPECT_EQ(ZAL_MQTT_item(kRoot).getBrokers().size(), 1u);

  tree.set(R("uiFailoverAfterS"), u32(3))
      .set(R("ZAL_MQTT_broker:10.BrokerURL"), text("c"))
      .set(R("ZAL_MQTT_broker:10.BrokerPort"), u32(3))
      .set(R("ZAL_MQTT_broker:2.BrokerURL"), text("b"))
      .set(R("ZAL_MQTT_broker:2.BrokerPort"), u32(2))
      .set(R("ZAL_MQTT_broker:5.BrokerURL"), text(""))
      .set(R("ZAL_MQTT_broker:5.BrokerPort"), u32(5))
      .set(R("ZAL_MQTT_broker:6.BrokerURL"), text("x"));
  tree.load();
  std::vector<std::string> lines;
  std::shared_ptr<ZAL_MQTT_item> item;
  ASSERT_EQ(runTraced(1, lines, [&] { item = std::make_shared<ZAL_MQTT_item>(kRoot); }), "");
  std::string order;
  for (const BrokerAddress& broker : item->getBrokers()) order += broker.text() + " ";
  EXPECT_EQ(order, "localhost:" + std::to_string(item->getBrokerPort()) + " b:2 c:3 ");
  EXPECT_EQ(item->getFailoverAfterS(), 3u);
  EXPECT_GE(indexOf(lines, "Bad failover broker: broker URL is empty."), 0);
  EXPECT_GE(indexOf(lines, "Bad failover broker: cannot read broker port."), 0);
  EXPECT_GE(indexOf(lines, "Skipped configuration node: " + R("ZAL_MQTT_broker:6")), 0);
}

TEST(BrokerItem, UserAuthenticationRules) {
  // Off: name and password are not read at all.
  Tree tree = validConfig();
  tree.load();
  EXPECT_EQ(ZAL_MQTT_item(kRoot).getUsername(), "");

  // On: both are read, an empty password is accepted.
  tree.set(R("xUseUserAuthentication"), u32(1))
      .set(R("strUsername"), text("user"))
      .set(R("strPassword"), text(""));
  tree.load();
  {
    ZAL_MQTT_item item(kRoot);
    EXPECT_EQ(item.getUsername(), "user");
    EXPECT_EQ(item.getPassword(), "");
  }

  // A value other than 0 and 1: both are read, and an empty user name is accepted.
  tree.set(R("xUseUserAuthentication"), u32(2))
      .set(R("strUsername"), text(""))
      .set(R("strPassword"), text("secret"));
  tree.load();
  {
    ZAL_MQTT_item item(kRoot);
    EXPECT_EQ(item.getUseUserAuthentication(), 2u);
    EXPECT_EQ(item.getPassword(), "secret");
  }
  tree.erase(R("strPassword")).load();
  EXPECT_EQ(buildError([] { ZAL_MQTT_item item(kRoot); }), "Bad broker configuration: cannot read password.");
}

TEST(BrokerItem, PortZeroIsAccepted) {
  Tree tree = validConfig();
  tree.set(R("BrokerPort"), u32(0)).load();
  EXPECT_EQ(ZAL_MQTT_item(kRoot).getBrokerPort(), 0u);
}

// A structure of n UINT32 members, for the pauses of the member walk.
std::string bigStruct(int n) {
  std::string json = R"({"type": "STRUCT", "members": {)";
  for (int i = 0; i < n; ++i) json += (i ? ",\"m" : "\"m") + std::to_string(i) + "\": " + u32(i);
  return json + "}}";
}

double secondsToBuild(const std::function<void()>& build) {
  const auto start = std::chrono::steady_clock::now();
  build();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(BrokerItem, BrowsePauseSpacesOutTheMemberWalks) {
  // A structure of k members takes at least (k + 2) pauses to walk.
  Tree tree = validConfig();
  tree.set("APPL.App.Small", bigStruct(3))
      .set(R("ZAL_MQTT_publish:0.VariableTopicSet:0.variable:1"), text("Small"));
  tree.load();

  // Absent: the default pause of 10 ms, and no trace line of its own.
  std::vector<std::string> lines;
  std::shared_ptr<ZAL_MQTT_item> item;
  double seconds = secondsToBuild(
      [&] { ASSERT_EQ(runTraced(4, lines, [&] { item = std::make_shared<ZAL_MQTT_item>(kRoot); }), ""); });
  EXPECT_EQ(item->getBrowsePauseMs(), 10u);
  EXPECT_GE(seconds, 0.050);
  for (const auto& line : lines) EXPECT_EQ(line.find("uiBrowsePauseMs"), std::string::npos) << line;
  item.reset();

  // 0: no pause. 2,000 members with the default pause would take at least 20 s.
  tree.set("APPL.App.Big", bigStruct(2000))
      .set(R("ZAL_MQTT_subscribe:0.variable:1"), text("Big"))
      .set(R("uiBrowsePauseMs"), u32(0));
  tree.load();
  seconds = secondsToBuild([&] { item = std::make_shared<ZAL_MQTT_item>(kRoot); });
  EXPECT_EQ(item->getBrowsePauseMs(), 0u);
  EXPECT_LT(seconds, 10.0);
  ASSERT_EQ(item->getSubscribeConfigurations().size(), 1u);
  EXPECT_EQ(item->getSubscribeConfigurations()[0]->getVariables()[1]->getChildren().size(), 2000u);
  item.reset();

  // The configuration's pause ends with its construction: other walks keep the default.
  seconds = secondsToBuild([] { std::make_shared<GVPvariable>("APPL.App.", "Small", false); });
  EXPECT_GE(seconds, 0.050);

  // The largest pause allowed is 1000 ms.
  tree.set(R("uiBrowsePauseMs"), u32(1000)).erase("APPL.App.Big").erase("APPL.App.Small");
  tree.set(R("ZAL_MQTT_publish:0.VariableTopicSet:0.variable:1"), text("A"))
      .set(R("ZAL_MQTT_subscribe:0.variable:1"), text("B"));
  tree.load();
  EXPECT_EQ(ZAL_MQTT_item(kRoot).getBrowsePauseMs(), 1000u);
}

TEST(BrokerItem, BadChildrenAreTracedAndSkipped) {
  Tree tree = validConfig();
  tree.set(R("ZAL_MQTT_publish:1.uiPublishPeriodms"), u32(0))
      .set(R("ZAL_MQTT_publish:1.VariableTopicSet:0.topic"), text("t"))
      .set(R("ZAL_MQTT_subscribe:1.topic"), text("in2"))
      .set(R("ZAL_MQTT_subscribe:1.variable:0"), text("Missing"))
      .set(R("ZAL_MQTT_publish:2.uiPublishPeriodms"), u32(50))
      .set(R("ZAL_MQTT_publish:2.VariableTopicSet:0.topic"), text("out2"))
      // Names that only start like a child's are no children.
      .set(R("ZAL_MQTT_publish:1a.uiPublishPeriodms"), u32(0))
      .set(R("ZAL_MQTT_publish:.uiPublishPeriodms"), u32(0));
  tree.load();
  std::vector<std::string> lines;
  std::shared_ptr<ZAL_MQTT_item> item;
  ASSERT_EQ(runTraced(1, lines, [&] { item = std::make_shared<ZAL_MQTT_item>(kRoot); }), "");

  auto publish = item->getPublishConfigurations();
  ASSERT_EQ(publish.size(), 2u);
  EXPECT_EQ(publish[0]->getName(), R("ZAL_MQTT_publish:0"));
  EXPECT_EQ(publish[1]->getName(), R("ZAL_MQTT_publish:2"));
  auto subscribe = item->getSubscribeConfigurations();
  ASSERT_EQ(subscribe.size(), 1u);
  EXPECT_EQ(subscribe[0]->getName(), R("ZAL_MQTT_subscribe:0"));

  // Two lines per rejected child, in the order the server lists them.
  EXPECT_EQ(countOf(lines, "ZAL_MQTT child item exception: "), 2u);
  const long first = indexOf(lines, "ZAL_MQTT child item exception: ");
  ASSERT_GE(first, 0);
  EXPECT_EQ(lines.at(first + 1), "publish configuration has invalid 0 ms period time.");
  EXPECT_EQ(lines.at(first + 2), "Skipped configuration node: " + R("ZAL_MQTT_publish:1"));
  const long second = indexOf(lines, "ZAL_MQTT child item exception: ", first + 1);
  ASSERT_GE(second, 0);
  EXPECT_EQ(lines.at(second + 1), "APPL.App.Missing" + kOpenMissing);
  EXPECT_EQ(lines.at(second + 2), "Skipped configuration node: " + R("ZAL_MQTT_subscribe:1"));
}

// A TLS node that exists but cannot be opened fails the configuration with the node's name.
TEST(BrokerItem, UnreadableTlsNodeIsNamed) {
  Tree tree = validConfig();
  tree.set(R("ZAL_MQTT_TLS:0.xUseCertificateBasedTLS"), u32(1))
      .set(R("ZAL_MQTT_TLS:0.strCAfilepath"), text("/etc/ssl/certs"));
  tree.load();
  kalpinproc::setFault(R("ZAL_MQTT_TLS:0"), "open", KALPAPI_E_ACCESS_DENIED);
  EXPECT_EQ(buildError([] { ZAL_MQTT_item item(kRoot); }),
            "Error: open variable handle result is: 0x81000504 for node " + R("ZAL_MQTT_TLS:0") + "\n");
}

TEST(BrokerItem, OnlyBadChildrenFailAfterTracingEach) {
  Tree tree = validConfig();
  tree.set(R("ZAL_MQTT_publish:0.uiPublishPeriodms"), u32(0)).set(R("ZAL_MQTT_subscribe:0.topic"), text(""));
  tree.load();
  std::vector<std::string> lines;
  EXPECT_EQ(runTraced(1, lines, [] { ZAL_MQTT_item item(kRoot); }),
            "Bad ZAL_MQTT configuration: neither publish- nor subscribe configuration found.");
  EXPECT_EQ(countOf(lines, "ZAL_MQTT child item exception: "), 2u);
  EXPECT_GE(indexOf(lines, "publish configuration has invalid 0 ms period time."), 0);
  EXPECT_GE(indexOf(lines, "Bad variable-topic set: empty topic string."), 0);
}

TEST(BrokerItem, EmptyApplicationNameRejectsChildrenFirst) {
  Tree tree = validConfig();
  tree.set(R("ApplicationName"), text("")).load();
  std::vector<std::string> lines;
  EXPECT_EQ(runTraced(1, lines, [] { ZAL_MQTT_item item(kRoot); }),
            "Bad broker configuration: application name is empty.");
  EXPECT_GE(indexOf(lines, "Call to ZAL_MQTT_publish::ZAL_MQTT_publish() failed: application name is empty."),
            0);
  EXPECT_EQ(countOf(lines, "ZAL_MQTT child item exception: "), 2u);
}

TEST(BrokerItem, OnlySubscribeConfigurationsAreEnough) {
  Tree tree = validConfig();
  tree.erase(R("ZAL_MQTT_publish:0")).load();
  ZAL_MQTT_item item(kRoot);
  EXPECT_TRUE(item.getPublishConfigurations().empty());
  EXPECT_EQ(item.getSubscribeConfigurations().size(), 1u);
}

TEST(BrokerItem, TlsSelection) {
  Tree tree = validConfig();
  tree.set(R("ZAL_MQTT_TLS:0.xUsePSKBasedTLS"), u32(1))
      .set(R("ZAL_MQTT_TLS:0.strPSK"), text("a1b2"))
      .set(R("ZAL_MQTT_TLS:0.strIdentity"), text("dev"));
  tree.load();
  std::vector<std::string> lines;
  std::shared_ptr<ZAL_MQTT_item> item;
  ASSERT_EQ(runTraced(1, lines, [&] { item = std::make_shared<ZAL_MQTT_item>(kRoot); }), "");
  ASSERT_NE(item->getTLS(), nullptr);
  EXPECT_EQ(item->getTLS()->getPSK(), "a1b2");
  EXPECT_EQ(indexOf(lines, "No TLS configuration or TLS configuration is invalid."), -1);

  // A node that selects a kind of TLS but is invalid fails the whole configuration with its
  // own message: no fallback to cleartext.
  item.reset();
  tree.erase(R("ZAL_MQTT_TLS:0.strIdentity")).load();
  EXPECT_EQ(runTraced(1, lines, [&] { item = std::make_shared<ZAL_MQTT_item>(kRoot); }),
            "Bad PSK-TLS configuration: identity string is empty.");
  EXPECT_EQ(item, nullptr);
  tree.set(R("ZAL_MQTT_TLS:0.xUsePSKBasedTLS"), u32(0))
      .set(R("ZAL_MQTT_TLS:0.xUseCertificateBasedTLS"), u32(1))
      .load();
  EXPECT_EQ(runTraced(1, lines, [&] { item = std::make_shared<ZAL_MQTT_item>(kRoot); }),
            "Bad TLS configuration: no CA file name or -path.");
  // A flag that cannot be read leaves the selection unknown: also no fallback.
  tree.set(R("ZAL_MQTT_TLS:0.xUsePSKBasedTLS"), unreadable(u32(0))).load();
  EXPECT_EQ(runTraced(1, lines, [&] { item = std::make_shared<ZAL_MQTT_item>(kRoot); }),
            "Bad TLS configuration: cannot read xUsePSKBasedTLS flag.");
  tree.set(R("ZAL_MQTT_TLS:0.xUseCertificateBasedTLS"), u32(0));

  // Present with neither kind selected: the same.
  item.reset();
  tree.set(R("ZAL_MQTT_TLS:0.xUsePSKBasedTLS"), u32(0)).load();
  ASSERT_EQ(runTraced(1, lines, [&] { item = std::make_shared<ZAL_MQTT_item>(kRoot); }), "");
  EXPECT_EQ(item->getTLS(), nullptr);
  EXPECT_EQ(countOf(lines, "No TLS configuration or TLS configuration is invalid."), 1u);
}

// ---------------------------------------------------------------------------------------------
// TLS item

struct TlsCase {
  const char* what;
  std::vector<std::pair<std::string, std::string>> members;  // member name, node
  std::string message;                                       // "" = valid
};

void PrintTo(const TlsCase& c, std::ostream* out) { *out << c.what; }

class TlsConfig : public testing::TestWithParam<TlsCase> {};

TEST_P(TlsConfig, SelectsAndValidates) {
  Tree tree;
  tree.set(R("ZAL_MQTT_TLS:0"), R"({"type": "STRUCT", "members": {}})");
  for (const auto& m : GetParam().members) tree.set(R("ZAL_MQTT_TLS:0." + m.first), m.second);
  tree.load();
  EXPECT_EQ(buildError([] { ZAL_MQTT_TLS tls(R("ZAL_MQTT_TLS:0")); }), GetParam().message);
}

const auto kCert = std::make_pair(std::string("xUseCertificateBasedTLS"), u32(1));
const auto kPsk = std::make_pair(std::string("xUsePSKBasedTLS"), u32(1));
std::pair<std::string, std::string> M(const std::string& name, const std::string& value) {
  return {name, text(value)};
}
std::pair<std::string, std::string> Bad(const std::string& name) { return {name, unreadable(text("x"))}; }

// clang-format off
// Each row: the members of the TLS node and the exact message (or "" for a valid node).
INSTANTIATE_TEST_SUITE_P(Table, TlsConfig, testing::Values(
  TlsCase{"no flags",                 {}, "Bad TLS configuration: Neither PSK- nor certificate based TLS selected."},
  TlsCase{"both flags",               {kCert, kPsk, M("strCAfilename", "ca")}, "Bad TLS configuration: Cannot have PSK- AND certificate based TLS at the same time."},
  TlsCase{"cert flag unreadable",     {{"xUseCertificateBasedTLS", unreadable(u32(1))}}, "Bad TLS configuration: cannot read xUseCertificateBasedTLS."},
  TlsCase{"psk flag unreadable",      {kCert, {"xUsePSKBasedTLS", unreadable(u32(0))}}, "Bad TLS configuration: cannot read xUsePSKBasedTLS flag."},
  TlsCase{"cert: CA path only",       {kCert, M("strCAfilepath", "/etc/ssl/certs")}, ""},
  TlsCase{"cert: CA file, client pair", {kCert, M("strCAfilename", "ca"), M("strCertfileName", "c"), M("strKeyfileName", "k")}, ""},
  TlsCase{"cert: no CA",              {kCert, M("strCertfileName", "c"), M("strKeyfileName", "k")}, "Bad TLS configuration: no CA file name or -path."},
  TlsCase{"cert: key without cert",   {kCert, M("strCAfilename", "ca"), M("strKeyfileName", "k")}, "Bad TLS configuration: certificate file name is empty but key file name is not empty."},
  TlsCase{"cert: cert without key",   {kCert, M("strCAfilename", "ca"), M("strCertfileName", "c")}, "Bad TLS configuration: key file name is empty but certificate file name is not empty."},
  TlsCase{"cert: PSK text ignored",   {kCert, M("strCAfilename", "ca"), M("strPSK", "abcd")}, ""},
  TlsCase{"psk: valid, no cert members", {kPsk, M("strPSK", "abcd"), M("strIdentity", "id")}, ""},
  TlsCase{"psk: no key",              {kPsk, M("strIdentity", "id")}, "Bad PSK-TLS configuration: pre-shared key string is empty."},
  TlsCase{"psk: no identity",         {kPsk, M("strPSK", "abcd")}, "Bad PSK-TLS configuration: identity string is empty."},
  // Flags compare exactly with 1 (both, mode) and 0 (neither).
  TlsCase{"cert 2 psk 1 is PSK mode", {{"xUseCertificateBasedTLS", u32(2)}, kPsk, M("strPSK", "k"), M("strIdentity", "i")}, ""},
  TlsCase{"cert 2 alone is PSK mode", {{"xUseCertificateBasedTLS", u32(2)}, M("strCAfilename", "ca")}, "Bad PSK-TLS configuration: pre-shared key string is empty."},
  TlsCase{"cert 1 psk 2 is cert mode", {kCert, {"xUsePSKBasedTLS", u32(2)}, M("strCAfilename", "ca")}, ""},
  // Every text is read in either mode; a read error other than absence fails.
  TlsCase{"CA file unreadable in PSK mode", {kPsk, M("strPSK", "k"), M("strIdentity", "i"), Bad("strCAfilename")}, "Bad TLS configuration: cannot read existing CA file name."},
  TlsCase{"CA path unreadable",       {kPsk, Bad("strCAfilepath")}, "Bad TLS configuration: cannot read existing CA file path."},
  TlsCase{"cert file unreadable",     {kCert, Bad("strCertfileName")}, "Bad TLS configuration: cannot read existing certificate file name."},
  TlsCase{"key file unreadable",      {kCert, Bad("strKeyfileName")}, "Bad TLS configuration: cannot read existing key file name."},
  TlsCase{"PSK unreadable",           {kCert, Bad("strPSK")}, "Bad TLS configuration: cannot read existing pre-shared key."},
  TlsCase{"identity unreadable",      {kCert, Bad("strIdentity")}, "Bad TLS configuration: cannot read existing identity."}
));
// clang-format on

TEST(TlsItem, GivesItsSettings) {
  Tree tree;
  tree.set(R("ZAL_MQTT_TLS:0.xUseCertificateBasedTLS"), u32(1))
      .set(R("ZAL_MQTT_TLS:0.strCAfilepath"), text("/etc/ssl/certs"));
  tree.load();
  ZAL_MQTT_TLS tls(R("ZAL_MQTT_TLS:0"));
  EXPECT_EQ(tls.getUseCertificateBasedTLS(), 1u);
  EXPECT_EQ(tls.getUsePSKBasedTLS(), 0u);
  EXPECT_EQ(tls.getCAfilepath(), "/etc/ssl/certs");
  EXPECT_EQ(
      tls.getCAfilename() + tls.getCertfileName() + tls.getKeyfileName() + tls.getPSK() + tls.getIdentity(),
      "");
}

TEST(TlsItem, MissingNodeFailsInTheBase) {
  plant().load();
  EXPECT_EQ(buildError([] { ZAL_MQTT_TLS tls(R("ZAL_MQTT_TLS:0")); }),
            "Error: open variable handle result is: 0x81000501 for node " + R("ZAL_MQTT_TLS:0") + "\n");
}

// ---------------------------------------------------------------------------------------------
// Variable-topic sets

const std::string kSet = R("ZAL_MQTT_subscribe:0");

// A set node with topic "t" and the given members (name, node) in this order.
Tree setTree(const std::vector<std::pair<std::string, std::string>>& members) {
  Tree tree = plant();
  tree.set(kSet + ".topic", text("t"));
  for (const auto& m : members) tree.set(kSet + "." + m.first, m.second);
  return tree;
}

std::vector<std::string> names(const std::vector<std::shared_ptr<GVPvariable>>& list) {
  std::vector<std::string> out;
  for (const auto& v : list) out.push_back(v->getPath() + v->getName());
  return out;
}

TEST(VarTopicSet, SplitVariableName) {
  using V = std::vector<std::string>;
  EXPECT_EQ(ZAL_MQTT_VarTopicSet::splitVariableName("Counter"), V{"Counter"});
  EXPECT_EQ(ZAL_MQTT_VarTopicSet::splitVariableName("Drive.Speed"), (V{"Drive", "Speed"}));
  EXPECT_EQ(ZAL_MQTT_VarTopicSet::splitVariableName("Drive.Speed."), (V{"Drive", "Speed"}));
  EXPECT_EQ(ZAL_MQTT_VarTopicSet::splitVariableName(".Drive"), (V{"", "Drive"}));
  EXPECT_EQ(ZAL_MQTT_VarTopicSet::splitVariableName("A..B"), (V{"A", "", "B"}));
  EXPECT_EQ(ZAL_MQTT_VarTopicSet::splitVariableName(""), V{});
}

TEST(VarTopicSet, SharedPrefixesMergeIntoOneTree) {
  setTree({{"variable:0", text("Drive.Speed")},
           {"variable:1", text("Drive.Torque")},
           {"variable:2", text("Counter")}})
      .load();
  std::vector<std::string> lines;
  std::shared_ptr<ZAL_MQTT_VarTopicSet> set;
  ASSERT_EQ(runTraced(1, lines, [&] { set = std::make_shared<ZAL_MQTT_VarTopicSet>(kSet, "App"); }), "");
  auto roots = set->getVariables();
  ASSERT_EQ(names(roots), (std::vector<std::string>{"APPL.App.Drive", "APPL.App.Counter"}));
  EXPECT_EQ(names(roots[0]->getChildren()),
            (std::vector<std::string>{"APPL.App.Drive.Speed", "APPL.App.Drive.Torque"}));
  EXPECT_EQ(roots[1]->readUint32(), 7u);

  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "3 variable:<n> entries found for topic t.");
  EXPECT_EQ(lines[1], "Created 2 root members in variables vector.");
  EXPECT_EQ(lines[2],
            "created " + std::to_string(GVPvariable::getObjectCount()) + " variable objects, altogether.");
}

// Drive with only Speed configured stays a node holding only Speed, whatever comes after it.
TEST(VarTopicSet, OrderOfStructureAndMember) {
  setTree({{"variable:0", text("Drive.Speed")}, {"variable:1", text("Drive")}}).load();
  {
    ZAL_MQTT_VarTopicSet set(kSet, "App");
    ASSERT_EQ(set.getVariables().size(), 1u);
    EXPECT_EQ(names(set.getVariables()[0]->getChildren()), std::vector<std::string>{"APPL.App.Drive.Speed"});
  }
  setTree({{"variable:0", text("Drive")}, {"variable:1", text("Drive.Speed")}}).load();
  {
    ZAL_MQTT_VarTopicSet set(kSet, "App");
    ASSERT_EQ(set.getVariables().size(), 1u);
    EXPECT_EQ(names(set.getVariables()[0]->getChildren()),
              (std::vector<std::string>{"APPL.App.Drive.Speed", "APPL.App.Drive.Torque"}));
  }
}

TEST(VarTopicSet, GapsAndDuplicates) {
  std::vector<std::string> lines;
  setTree({{"variable:0", text("A")}, {"variable:2", text("B")}}).load();
  std::shared_ptr<ZAL_MQTT_VarTopicSet> set;
  ASSERT_EQ(runTraced(1, lines, [&] { set = std::make_shared<ZAL_MQTT_VarTopicSet>(kSet, "App"); }), "");
  EXPECT_EQ(names(set->getVariables()), std::vector<std::string>{"APPL.App.A"});
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "1 variable:<n> entries found for topic t.");

  set.reset();
  setTree({{"variable:0", text("A")}, {"variable:1", text("A")}}).load();
  ASSERT_EQ(runTraced(1, lines, [&] { set = std::make_shared<ZAL_MQTT_VarTopicSet>(kSet, "App"); }), "");
  EXPECT_EQ(set->getVariables().size(), 1u);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "2 variable:<n> entries found for topic t.");
  EXPECT_EQ(lines[1], "Created 1 root members in variables vector.");

  // No entries at all is a valid, empty set; the object-count line is still written.
  set.reset();
  setTree({}).load();
  ASSERT_EQ(runTraced(1, lines, [&] { set = std::make_shared<ZAL_MQTT_VarTopicSet>(kSet, "App"); }), "");
  EXPECT_TRUE(set->getVariables().empty());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "0 variable:<n> entries found for topic t.");
  EXPECT_EQ(lines[1], "Created 0 root members in variables vector.");
}

TEST(VarTopicSet, RawRuleCountsRootMembers) {
  setTree({{"xRaw", u32(1)}, {"variable:0", text("Drive.Speed")}, {"variable:1", text("Drive.Torque")}})
      .load();
  EXPECT_EQ(ZAL_MQTT_VarTopicSet(kSet, "App").getRaw(), 1u);
  // A raw set reads and writes the variable variable:0 names, not the root of its tree.
  EXPECT_EQ(ZAL_MQTT_VarTopicSet(kSet, "App").getRawPath(), "APPL.App.Drive.Speed");
  setTree({{"xRaw", u32(1)}, {"variable:0", text("Drive")}}).load();
  EXPECT_EQ(ZAL_MQTT_VarTopicSet(kSet, "App").getRawPath(), "APPL.App.Drive");

  setTree({{"xRaw", u32(1)}, {"variable:0", text("A")}, {"variable:1", text("B")}}).load();
  EXPECT_EQ(buildError([] { ZAL_MQTT_VarTopicSet set(kSet, "App"); }),
            "Bad variable-topic-set: It uses RAW format and has more than one variables.");

  // JSON sets may hold any number of roots, also under a topic filter with wildcards.
  setTree({{"variable:0", text("A")}, {"variable:1", text("B")}}).set(kSet + ".topic", text("a/+/c")).load();
  ZAL_MQTT_VarTopicSet set(kSet, "App");
  EXPECT_EQ(set.getTopic(), "a/+/c");
  EXPECT_EQ(set.getVariables().size(), 2u);
}

TEST(VarTopicSet, ChangeFlags) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> members;
    uint32_t onChange, onlyChanged;
  };
  // clang-format off
  const Case cases[] = {
    {{},                                                         0, 0},
    {{{"xSendOnlyChanged", u32(1)}},                             0, 0},  // only read with on-change
    {{{"xSendOnValueChange", u32(0)}, {"xSendOnlyChanged", unreadable(u32(1))}}, 0, 0},  // not read
    {{{"xSendOnValueChange", u32(1)}},                           1, 0},
    {{{"xSendOnValueChange", u32(1)}, {"xSendOnlyChanged", u32(1)}}, 1, 1},
  };
  // clang-format on
  for (const auto& c : cases) {
    setTree(c.members).load();
    ZAL_MQTT_VarTopicSet set(kSet, "App");
    EXPECT_EQ(set.getSendOnValueChange(), c.onChange);
    EXPECT_EQ(set.getSendOnlyChanged(), c.onlyChanged);
    EXPECT_EQ(set.getRaw(), 0u);
  }
}

TEST(VarTopicSet, ConfiguredTextsCannotSplitTraceLines) {
  setTree({{"topic", text("in\\nZAL_MQTT  x| forged")}, {"variable:0", text("A")}}).load();
  std::vector<std::string> lines;
  ASSERT_EQ(runTraced(1, lines, [] { ZAL_MQTT_VarTopicSet set(kSet, "App"); }), "");
  EXPECT_EQ(lines.at(0), "1 variable:<n> entries found for topic in\\x0aZAL_MQTT  x| forged.");
  EXPECT_EQ(lines.size(), 3u);
}

struct BrokenSetCase {
  const char* what;
  std::vector<std::pair<std::string, std::string>> members;
  std::string message;
};

void PrintTo(const BrokenSetCase& c, std::ostream* out) { *out << c.what; }

class BrokenSet : public testing::TestWithParam<BrokenSetCase> {};

TEST_P(BrokenSet, FailsWithItsMessage) {
  Tree tree = setTree(GetParam().members);
  if (std::string(GetParam().what) == "topic missing") tree.erase(kSet + ".topic");
  tree.load();
  EXPECT_EQ(buildError([] { ZAL_MQTT_VarTopicSet set(kSet, "App"); }), GetParam().message);
  EXPECT_EQ(kalpinproc::openHandleCount(), 0u);
  EXPECT_EQ(kalpinproc::openDirCount(), 0u);
}

// clang-format off
// Each row: the members of a set with topic "t" (unless changed) and the exact message.
INSTANTIATE_TEST_SUITE_P(Table, BrokenSet, testing::Values(
  BrokenSetCase{"topic missing",           {{"xRaw", u32(0)}}, "Bad variable-topic set: cannot read topic."},
  BrokenSetCase{"topic unreadable",        {{"topic", unreadable(text("t"))}}, "Bad variable-topic set: cannot read topic."},
  BrokenSetCase{"topic empty",             {{"topic", text("")}, {"variable:0", text("A")}}, "Bad variable-topic set: empty topic string."},
  BrokenSetCase{"raw unreadable",          {{"xRaw", unreadable(u32(0))}}, "Bad variable-topic set: cannot read existing xRaw flag."},
  BrokenSetCase{"raw as text",             {{"xRaw", text("1")}}, "Bad variable-topic set: cannot read existing xRaw flag."},
  BrokenSetCase{"on-change unreadable",    {{"xSendOnValueChange", unreadable(u32(0))}}, "Bad variable-topic set: cannot read existing xSendOnValueChange flag."},
  BrokenSetCase{"only-changed unreadable", {{"xSendOnValueChange", u32(1)}, {"xSendOnlyChanged", unreadable(u32(0))}}, "Bad variable-topic set: cannot read existing xSendOnlyChanged flag."},
  BrokenSetCase{"QoS unreadable",          {{"uiQoS", unreadable(u32(1))}}, "Bad variable-topic set: cannot read existing uiQoS."},
  BrokenSetCase{"QoS out of range",        {{"uiQoS", u32(3)}}, "Bad variable-topic set: uiQoS must be 0, 1 or 2."},
  BrokenSetCase{"retain unreadable",       {{"xRetain", unreadable(u32(1))}}, "Bad variable-topic set: cannot read existing xRetain flag."},
  BrokenSetCase{"ignore retained as text", {{"xIgnoreRetained", text("1")}}, "Bad variable-topic set: cannot read existing xIgnoreRetained flag."},
  BrokenSetCase{"entry unreadable",        {{"variable:0", text("A")}, {"variable:1", unreadable(text("B"))}}, "Bad variable-topic set: cannot read existing variable name."},
  BrokenSetCase{"variable missing",        {{"variable:0", text("Nope")}}, "APPL.App.Nope open variable handle result is: 81000501"},
  BrokenSetCase{"member missing",          {{"variable:0", text("Drive.Nope")}}, "APPL.App.Drive.Nope open variable handle result is: 81000501"},
  BrokenSetCase{"empty component",         {{"variable:0", text("Drive..Speed")}}, "GVPvariable::GVPvariable() called with empty name."},
  BrokenSetCase{"leading dot",             {{"variable:0", text(".A")}}, "GVPvariable::GVPvariable() called with empty name."},
  BrokenSetCase{"empty entry",             {{"variable:0", text("")}}, "Bad variable-topic set: " + kSet + ".variable:0 names no variable (text is \"\")."},
  BrokenSetCase{"dots-only entry",         {{"variable:0", text("A")}, {"variable:1", text("..")}}, "Bad variable-topic set: " + kSet + ".variable:1 names no variable (text is \"..\")."},
  // Variables are bound before the topic is checked.
  BrokenSetCase{"variable before topic",   {{"topic", text("")}, {"variable:0", text("Nope")}}, "APPL.App.Nope open variable handle result is: 81000501"}
));
// clang-format on

TEST(VarTopicSet, AddVariableRejectsNoComponents) {
  std::vector<std::shared_ptr<GVPvariable>> list;
  EXPECT_THROW(ZAL_MQTT_VarTopicSet::addVariable(list, {}, "App"), std::runtime_error);
  EXPECT_TRUE(list.empty());
}

// ---------------------------------------------------------------------------------------------
// Publish configurations

const std::string kPub = R("ZAL_MQTT_publish:0");

Tree publishTree(uint32_t period) {
  Tree tree = plant();
  tree.set(kPub + ".uiPublishPeriodms", u32(period))
      .set(kPub + ".VariableTopicSet:0.topic", text("one"))
      .set(kPub + ".VariableTopicSet:0.variable:0", text("A"))
      .set(kPub + ".VariableTopicSet:1.topic", text("two"))
      .set(kPub + ".VariableTopicSet:1.variable:0", text("B"));
  return tree;
}

TEST(PublishConfig, BuildsItsSetsInOrder) {
  publishTree(250).load();
  ZAL_MQTT_publish publish(kPub, "App");
  EXPECT_EQ(publish.getPublishPeriodms(), 250u);
  auto sets = publish.getVariableTopicSets();
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[0]->getTopic(), "one");
  EXPECT_EQ(sets[1]->getTopic(), "two");

  // An index of no registered pattern is traced and ignored.
  std::vector<std::string> lines;
  runTraced(1, lines, [&] { publish.createChild(kPub + ".VariableTopicSet:0", 1); });
  EXPECT_EQ(lines, std::vector<std::string>{
                       "Error in ZAL_MQTT_publish::createChild(): called with invalid uiIndex."});
  EXPECT_EQ(publish.getVariableTopicSets().size(), 2u);
}

TEST(PublishConfig, BadSetIsSkippedAndTracedAtLevelTwo) {
  Tree tree = publishTree(250);
  tree.set(kPub + ".VariableTopicSet:0.variable:0", text("Nope")).load();
  std::vector<std::string> lines;
  std::shared_ptr<ZAL_MQTT_publish> publish;
  ASSERT_EQ(runTraced(2, lines, [&] { publish = std::make_shared<ZAL_MQTT_publish>(kPub, "App"); }), "");
  ASSERT_EQ(publish->getVariableTopicSets().size(), 1u);
  EXPECT_EQ(publish->getVariableTopicSets()[0]->getTopic(), "two");
  const long at = indexOf(lines, "ZAL_MQTT_publish child item exception: ");
  ASSERT_GE(at, 0);
  EXPECT_EQ(lines.at(at + 1), "APPL.App.Nope" + kOpenMissing);

  ASSERT_EQ(runTraced(1, lines, [&] { publish = std::make_shared<ZAL_MQTT_publish>(kPub, "App"); }), "");
  EXPECT_EQ(indexOf(lines, "ZAL_MQTT_publish child item exception: "), -1);
}

TEST(PublishConfig, ZeroPeriodIsReportedAfterTheSetErrors) {
  Tree tree = publishTree(0);
  tree.set(kPub + ".VariableTopicSet:0.topic", text("")).load();
  std::vector<std::string> lines;
  EXPECT_EQ(runTraced(2, lines, [&] { ZAL_MQTT_publish publish(kPub, "App"); }),
            "publish configuration has invalid 0 ms period time.");
  const long at = indexOf(lines, "ZAL_MQTT_publish child item exception: ");
  ASSERT_GE(at, 0);
  EXPECT_EQ(lines.at(at + 1), "Bad variable-topic set: empty topic string.");
}

TEST(PublishConfig, BrokenConfigurations) {
  struct Case {
    const char* what;
    std::function<void(Tree&)> mutate;
    std::string application;
    std::string message;
  };
  // clang-format off
  const Case cases[] = {
    {"node missing",        [](Tree& t) { t.erase(kPub); },                                        "App", "Error: open variable handle result is: 0x81000501 for node " + kPub + "\n"},
    {"empty application",   [](Tree& t) { t.erase(kPub + ".uiPublishPeriodms"); },                 "",    "Call to ZAL_MQTT_publish::ZAL_MQTT_publish() failed: application name is empty."},
    {"period missing",      [](Tree& t) { t.erase(kPub + ".uiPublishPeriodms"); },                 "App", "Bad publish configuration: cannot read publish period."},
    {"period unreadable",   [](Tree& t) { t.set(kPub + ".uiPublishPeriodms", unreadable(u32(5))); }, "App", "Bad publish configuration: cannot read publish period."},
    // As text "100" its bytes would be 3,158,065 ms.
    {"period as text",      [](Tree& t) { t.set(kPub + ".uiPublishPeriodms", text("100")); },     "App", "Bad publish configuration: cannot read publish period."},
    {"period zero",         [](Tree&) {},                                                          "App", "publish configuration has invalid 0 ms period time."},
    {"no sets",             [](Tree& t) { t.set(kPub + ".uiPublishPeriodms", u32(5)).erase(kPub + ".VariableTopicSet:0").erase(kPub + ".VariableTopicSet:1"); }, "App", "publish configuration has no variable-topic-sets."},
    {"QoS unreadable",      [](Tree& t) { t.set(kPub + ".uiPublishPeriodms", u32(5)).set(kPub + ".uiQoS", unreadable(u32(1))); }, "App", "Bad publish configuration: cannot read existing uiQoS."},
    {"QoS out of range",    [](Tree& t) { t.set(kPub + ".uiPublishPeriodms", u32(5)).set(kPub + ".uiQoS", u32(3)); }, "App", "Bad publish configuration: uiQoS must be 0, 1 or 2."},
    {"retain unreadable",   [](Tree& t) { t.set(kPub + ".uiPublishPeriodms", u32(5)).set(kPub + ".xRetain", unreadable(u32(1))); }, "App", "Bad publish configuration: cannot read existing xRetain flag."},
    {"full unreadable",     [](Tree& t) { t.set(kPub + ".uiPublishPeriodms", u32(5)).set(kPub + ".xFullOnConnect", unreadable(u32(1))); }, "App", "Bad publish configuration: cannot read existing xFullOnConnect flag."},
    {"every set fails",     [](Tree& t) { t.set(kPub + ".uiPublishPeriodms", u32(5)).set(kPub + ".VariableTopicSet:0.xRaw", unreadable(u32(0))).erase(kPub + ".VariableTopicSet:1.topic"); }, "App", "publish configuration has no variable-topic-sets."},
  };
  // clang-format on
  for (const auto& c : cases) {
    Tree tree = publishTree(0);
    c.mutate(tree);
    tree.load();
    EXPECT_EQ(buildError([&] { ZAL_MQTT_publish publish(kPub, c.application); }), c.message) << c.what;
  }
}

TEST(PublishConfig, SampleTimeMemberAndOfflineBuffer) {
  // Absent: both off.
  publishTree(250).load();
  {
    ZAL_MQTT_publish publish(kPub, "App");
    EXPECT_EQ(publish.getTimestampMember(), "");
    EXPECT_EQ(publish.getOfflineBufferKB(), 0u);
  }
  Tree tree = publishTree(250);
  tree.set(kPub + ".strTimestampMember", text("SampleTime"))
      .set(kPub + ".uiOfflineBufferKB", u32(512))
      .load();
  {
    ZAL_MQTT_publish publish(kPub, "App");
    EXPECT_EQ(publish.getTimestampMember(), "SampleTime");
    EXPECT_EQ(publish.getOfflineBufferKB(), 512u);
    EXPECT_EQ(publish.getMessageExpiryS(), 0u);
    EXPECT_TRUE(publish.getUserProperties().empty());
  }
  tree.set(kPub + ".strUserProperty:0", text("site=a=b"))
      .set(kPub + ".strUserProperty:1", text("unit="))
      .set(kPub + ".strUserProperty:3", text("after a gap"))
      .load();
  {
    // The first "=" splits; the list ends at the first missing index.
    ZAL_MQTT_publish publish(kPub, "App");
    const std::vector<std::pair<std::string, std::string>> expected{{"site", "a=b"}, {"unit", ""}};
    EXPECT_EQ(publish.getUserProperties(), expected);
  }

  struct Case {
    const char* what;
    std::function<void(Tree&)> mutate;
    std::string message;  // "" when the configuration is good
  };
  const std::string clash = "Bad publish configuration: strTimestampMember \"";
  // clang-format off
  const Case cases[] = {
    {"member unreadable",     [](Tree& t) { t.set(kPub + ".strTimestampMember", unreadable(text("T"))); }, "Bad publish configuration: cannot read existing strTimestampMember."},
    {"buffer unreadable",     [](Tree& t) { t.set(kPub + ".uiOfflineBufferKB", unreadable(u32(1))); },    "Bad publish configuration: cannot read existing uiOfflineBufferKB."},
    {"clash with a variable", [](Tree& t) { t.set(kPub + ".strTimestampMember", text("B")); },             clash + "B\" is also a member of the payload of topic two."},
    {"clash with array bound", [](Tree& t) { t.set("APPL.App.Arr", R"({"type": "ARRAY", "elementType": "UINT8", "values": [1, 2]})").set(kPub + ".VariableTopicSet:1.variable:1", text("Arr")).set(kPub + ".strTimestampMember", text("UpperBound_Arr")); }, clash + "UpperBound_Arr\" is also a member of the payload of topic two."},
    {"raw sets carry no members", [](Tree& t) { t.set(kPub + ".VariableTopicSet:1.xRaw", u32(1)).set(kPub + ".strTimestampMember", text("B")); }, ""},
    {"empty name is off",     [](Tree& t) { t.set(kPub + ".strTimestampMember", text("")); },              ""},
    {"file unreadable",       [](Tree& t) { t.set(kPub + ".strOfflineBufferFile", unreadable(text("/f"))); }, "Bad publish configuration: cannot read existing strOfflineBufferFile."},
    {"file without a size",   [](Tree& t) { t.set(kPub + ".strOfflineBufferFile", text("/f")); },          "Bad publish configuration: strOfflineBufferFile needs uiOfflineBufferKB."},
    {"file with a size",      [](Tree& t) { t.set(kPub + ".strOfflineBufferFile", text("/f")).set(kPub + ".uiOfflineBufferKB", u32(1)).set(kPub + ".uiOfflineMaxAgeS", u32(60)); }, ""},
    {"maximum age unreadable", [](Tree& t) { t.set(kPub + ".uiOfflineMaxAgeS", unreadable(u32(1))); },     "Bad publish configuration: cannot read existing uiOfflineMaxAgeS."},
    {"message expiry unreadable", [](Tree& t) { t.set(kPub + ".uiMessageExpiryS", unreadable(u32(1))); }, "Bad publish configuration: cannot read existing uiMessageExpiryS."},
    {"user property unreadable", [](Tree& t) { t.set(kPub + ".strUserProperty:0", unreadable(text("a=b"))); }, "Bad publish configuration: cannot read existing strUserProperty."},
    {"user property without =", [](Tree& t) { t.set(kPub + ".strUserProperty:0", text("a=b")).set(kPub + ".strUserProperty:1", text("site")); }, "Bad publish configuration: strUserProperty:1 is not name=value in UTF-8 (text is \"site\")."},
    {"user property without name", [](Tree& t) { t.set(kPub + ".strUserProperty:0", text("=b")); }, "Bad publish configuration: strUserProperty:0 is not name=value in UTF-8 (text is \"=b\")."},
    {"user properties good",  [](Tree& t) { t.set(kPub + ".strUserProperty:0", text("site=a=b")).set(kPub + ".strUserProperty:1", text("unit=")).set(kPub + ".uiMessageExpiryS", u32(60)); }, ""},
  };
  // clang-format on
  for (const auto& c : cases) {
    Tree broken = publishTree(250);
    c.mutate(broken);
    broken.load();
    EXPECT_EQ(buildError([&] { ZAL_MQTT_publish publish(kPub, "App"); }), c.message) << c.what;
  }

  // A name that is not UTF-8 would make every payload invalid JSON.
  publishTree(250).set(kPub + ".strTimestampMember", text("x")).load();
  kalpinproc::setRaw(kPub + ".strTimestampMember", {'t', 0xC3, '('});
  EXPECT_EQ(buildError([&] { ZAL_MQTT_publish publish(kPub, "App"); }),
            "Bad publish configuration: strTimestampMember is not valid UTF-8.");
}

// ---------------------------------------------------------------------------------------------
// Every u32 and flag member is read the one checked way: a member of any type but a 4-byte
// integer is unreadable and gives that member's own message, whatever its bytes would read as
// (a STRING "0" is not 0, an LWORD 4294967296 is not 0 in its low bytes, a REAL 10.0 is not
// 1092616192, a BOOL TRUE is not 1).

TEST(CheckedReads, EveryFourByteMemberRefusesEveryOtherType) {
  enum class Item { Root, Publish, Set, Tls };
  struct Member {
    Item item;
    std::string path;
    std::string message;
  };
  const std::string kTls = R("ZAL_MQTT_TLS:0");
  // clang-format off
  const Member members[] = {
    {Item::Root,    R("BrokerPort"),                  "Bad broker configuration: cannot read broker port."},
    {Item::Root,    R("keepAliveTime"),               "Bad broker configuration: cannot read keep-alive time."},
    {Item::Root,    R("xCleanSession"),               "Bad broker configuration: cannot read clean session flag."},
    {Item::Root,    R("xUseUserAuthentication"),      "Bad broker configuration: cannot read user authentication flag."},
    {Item::Root,    R("uiTraceLevel"),                "Bad broker configuration: access to uiTraceLevel failed."},
    {Item::Root,    R("uiSubscribeQueueMemLimitKB"),  "Bad broker configuration: access to uiSubscribeQueueMemLimitKB failed."},
    {Item::Root,    R("uiStringEncoding"),            "Bad broker configuration: access to uiStringEncoding failed."},
    {Item::Root,    R("uiBrowsePauseMs"),             "Bad broker configuration: access to uiBrowsePauseMs failed."},
    {Item::Root,    R("uiStatusPeriodS"),             "Bad broker configuration: access to uiStatusPeriodS failed."},
    {Item::Root,    R("uiErrorRetryS"),               "Bad broker configuration: access to uiErrorRetryS failed."},
    {Item::Root,    R("uiProtocolVersion"),           "Bad broker configuration: access to uiProtocolVersion failed."},
    {Item::Root,    R("uiSessionExpiryS"),            "Bad broker configuration: access to uiSessionExpiryS failed."},
    {Item::Publish, kPub + ".uiMessageExpiryS",       "Bad publish configuration: cannot read existing uiMessageExpiryS."},
    {Item::Set,     kSet + ".xIgnoreRetained",        "Bad variable-topic set: cannot read existing xIgnoreRetained flag."},
    {Item::Publish, kPub + ".uiPublishPeriodms",      "Bad publish configuration: cannot read publish period."},
    {Item::Publish, kPub + ".uiQoS",                  "Bad publish configuration: cannot read existing uiQoS."},
    {Item::Publish, kPub + ".xRetain",                "Bad publish configuration: cannot read existing xRetain flag."},
    {Item::Publish, kPub + ".xFullOnConnect",         "Bad publish configuration: cannot read existing xFullOnConnect flag."},
    {Item::Publish, kPub + ".uiOfflineBufferKB",      "Bad publish configuration: cannot read existing uiOfflineBufferKB."},
    {Item::Set,     kSet + ".xRaw",                   "Bad variable-topic set: cannot read existing xRaw flag."},
    {Item::Set,     kSet + ".xSendOnValueChange",     "Bad variable-topic set: cannot read existing xSendOnValueChange flag."},
    {Item::Set,     kSet + ".xSendOnlyChanged",       "Bad variable-topic set: cannot read existing xSendOnlyChanged flag."},
    {Item::Set,     kSet + ".uiQoS",                  "Bad variable-topic set: cannot read existing uiQoS."},
    {Item::Set,     kSet + ".xRetain",                "Bad variable-topic set: cannot read existing xRetain flag."},
    {Item::Tls,     kTls + ".xUseCertificateBasedTLS", "Bad TLS configuration: cannot read xUseCertificateBasedTLS."},
    {Item::Tls,     kTls + ".xUsePSKBasedTLS",        "Bad TLS configuration: cannot read xUsePSKBasedTLS flag."},
  };
  const std::string otherTypes[] = {
    text("1"),
    R"({"type": "REAL", "value": 1.0})",
    R"({"type": "LWORD", "value": 4294967297})",
    R"({"type": "BOOL", "value": true})",
  };
  // clang-format on
  for (const Member& m : members) {
    for (const std::string& node : otherTypes) {
      Tree tree = validConfig();
      tree.set(kPub + ".uiPublishPeriodms", u32(100))
          .set(kSet + ".xSendOnValueChange", u32(1));  // so that xSendOnlyChanged is read
      if (m.item == Item::Tls) tree.set(kTls + ".strCAfilename", text("ca.pem"));
      tree.set(m.path, node);
      tree.load();
      const std::string error = buildError([&] {
        switch (m.item) {
          case Item::Root: { ZAL_MQTT_item item(kRoot); break; }
          case Item::Publish: { ZAL_MQTT_publish publish(kPub, "App"); break; }
          case Item::Set: { ZAL_MQTT_VarTopicSet set(kSet, "App"); break; }
          case Item::Tls: { ZAL_MQTT_TLS tls(kTls); break; }
        }
      });
      EXPECT_EQ(error, m.message) << m.path << " as " << node;
    }
  }
  EXPECT_EQ(kalpinproc::openHandleCount(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Items that take no children stop the process when called anyway.

TEST(ConfigItemsDeathTest, UnexpectedCreateChildAborts) {
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  validConfig()
      .set(R("ZAL_MQTT_TLS:0.xUsePSKBasedTLS"), u32(1))
      .set(R("ZAL_MQTT_TLS:0.strPSK"), text("k"))
      .set(R("ZAL_MQTT_TLS:0.strIdentity"), text("i"))
      .load();
  setTraceLevel(1);
  EXPECT_DEATH(
      {
        ZAL_MQTT_TLS tls(R("ZAL_MQTT_TLS:0"));
        tls.createChild("x", 0);
      },
      "Error : unexpected call to ZAL_MQTT_TLS::createChild\\(\\)\\. ");
  EXPECT_DEATH(
      {
        ZAL_MQTT_VarTopicSet set(kSet, "App");
        set.createChild("x", 0);
      },
      "Error : unexpected call to ZAL_MQTT_VarTopicSet::createChild\\(\\)\\. ");
  EXPECT_DEATH(
      {
        ZAL_MQTT_item item(kRoot);
        item.createChild(R("ZAL_MQTT_publish:0"), 3);  // 0 to 2 are the registered patterns
      },
      "Error: ZAL_MQTT_item::createChild\\(\\) called with unexpected uiIndex 3 !");
  setTraceLevel(0);
}

}  // namespace
