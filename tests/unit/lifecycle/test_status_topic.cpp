// Tests of the status topic's payloads and the automatic retry's waits.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <string>
#include <vector>

#include "AutomaticRetry.h"
#include "KalpInproc.h"
#include "OfflineBuffer.h"
#include "StatusTopic.h"
#include "Trace.h"
#include "TraceLines.h"
#include "ZAL_MQTT_item.h"

namespace {

rapidjson::Document parse(const std::string& text) {
  rapidjson::Document document;
  document.Parse(text.c_str());
  EXPECT_FALSE(document.HasParseError()) << text;
  return document;
}

const std::string kRoot = "SYS.CAT.Application.ZAL_Cloud:0.ZAL_MQTT:0";

// A valid configuration with the given status topic and period and one subscribe configuration
// per filter (the variable APPL.App.A each).
std::string configTree(const std::string& statusTopic, uint32_t periodS, const std::vector<std::string>& filters) {
  auto u32 = [](uint32_t v) { return R"({"type": "UINT32", "value": )" + std::to_string(v) + "}"; };
  auto text = [](const std::string& v) { return R"({"type": "STRING", "value": ")" + v + "\"}"; };
  std::string members = "\"ApplicationName\": " + text("App") + ", \"strClientID\": " + text("c") +
                        ", \"xConnectedToBroker\": " + u32(0) + ", \"xErrorRetry\": " + u32(0) +
                        ", \"BrokerURL\": " + text("localhost") + ", \"BrokerPort\": " + u32(1883) +
                        ", \"keepAliveTime\": " + u32(10) + ", \"xCleanSession\": " + u32(1) +
                        ", \"xUseUserAuthentication\": " + u32(0) + ", \"xActivateConnection\": " + u32(0) +
                        ", \"uiBrowsePauseMs\": " + u32(0) + ", \"strStatusTopic\": " + text(statusTopic) +
                        ", \"uiStatusPeriodS\": " + u32(periodS);
  for (size_t i = 0; i < filters.size(); ++i)
    members += ", \"ZAL_MQTT_subscribe:" + std::to_string(i) + R"(": {"type": "STRUCT", "members": {"topic": )" +
               text(filters[i]) + R"(, "variable:0": )" + text("A") + "}}";
  return R"({"deviceState": 300, "variables": {"APPL.App.A": {"type": "UINT32", "value": 1}, ")" + kRoot +
         R"(": {"type": "STRUCT", "members": {)" + members + "}}}}";
}

std::vector<std::string> warningsFor(const std::string& tree) {
  kalpinproc::loadTree(tree);
  const ZAL_MQTT_item item(kRoot);
  setTraceLevel(1);
  testing::internal::CaptureStderr();
  warnStatusTopicSubscribed(item);
  const std::vector<std::string> lines = traceBodies(testing::internal::GetCapturedStderr());
  setTraceLevel(0);
  return lines;
}

}  // namespace

// The service's own subscription would write its status messages into variables: said at start,
// once for each filter and status topic that meet.
TEST(StatusTopic, SubscribeFiltersThatMatchTheStatusTopicAreWarnedOf) {
  const std::string sub = kRoot + ".ZAL_MQTT_subscribe:";
  const std::string tail = ": the service's own status messages would be written into its variables.";
  EXPECT_EQ(warningsFor(configTree("plant/status", 5, {"plant/#", "cmd/+", "+/status"})),
            (std::vector<std::string>{
                "Warning: the status topic 'plant/status' matches the subscribe filter 'plant/#' of " + sub + "0" + tail,
                "Warning: the status topic 'plant/status/stats' matches the subscribe filter 'plant/#' of " + sub + "0" +
                    tail,
                "Warning: the status topic 'plant/status' matches the subscribe filter '+/status' of " + sub + "2" + tail}));
  // Without statistics their topic is not published; without a status topic nothing is.
  EXPECT_EQ(warningsFor(configTree("plant/status", 0, {"plant/status/#"})).size(), 1u);
  EXPECT_TRUE(warningsFor(configTree("plant/status", 0, {"cmd/#", "plant/status/+"})).empty());
  EXPECT_TRUE(warningsFor(configTree("", 5, {"#"})).empty());
}

TEST(StatusTopic, StatusPayloads) {
  EXPECT_EQ(statusOfflinePayload("line \"1\"", "lost"),
            R"({"status":"offline","clientId":"line \"1\"","reason":"lost"})");
  // 2026-12-10 16:30:05 UTC
  EXPECT_EQ(statusOnlinePayload("c1", 1796920205),
            R"({"status":"online","clientId":"c1","service":"ZAL_CLOUD_MQTT_OOP","version":"1.0",)"
            R"("connectedAt":"2026-12-10T16:30:05Z"})");
}

TEST(StatusTopic, StatisticsCarryEveryCounterInOrder) {
  serviceCounters.published = 5;
  serviceCounters.queueDrops = 2;
  offlineBufferTotals.dropped = 7;
  const std::string payload = statisticsPayload();
  const rapidjson::Document document = parse(payload);
  ASSERT_TRUE(document.IsObject());
  std::vector<std::string> keys;
  for (const auto& member : document.GetObject()) {
    keys.emplace_back(member.name.GetString());
    EXPECT_TRUE(member.value.IsUint64()) << keys.back();
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"published", "publishFailures", "received", "applied",
                                            "queueDrops", "connectionsMade", "connectionsLost",
                                            "bufferedOffline", "sentFromBuffer", "droppedFromBuffer",
                                            "discardedFromBuffer", "uptimeS"}));
  EXPECT_EQ(document["published"].GetUint64(), 5u);
  EXPECT_EQ(document["queueDrops"].GetUint64(), 2u);
  EXPECT_EQ(document["droppedFromBuffer"].GetUint64(), 7u);
}

// Without a configuration object the first wait comes from the tree; it doubles up to 32 times
// the first wait and stays there.
TEST(AutomaticRetry, WaitsDoubleUpToThirtyTwoTimesTheFirst) {
  const std::string member = "SYS.CAT.Application.ZAL_Cloud:0.ZAL_MQTT:0.uiErrorRetryS";
  kalpinproc::loadTree(R"({"deviceState": 300, "variables": {")" + member +
                       R"(": {"type": "UINT32", "value": 2}}})");
  setTraceLevel(1);
  testing::internal::CaptureStderr();
  for (int i = 0; i < 8; ++i) {
    const auto due = automaticRetryBegin();
    ASSERT_TRUE(due);
    EXPECT_FALSE(automaticRetryDue(due));
  }
  // A connection that did not hold for a minute does not reset the wait.
  automaticRetryConnected();
  automaticRetryLeftConnected();
  EXPECT_TRUE(automaticRetryBegin());
  const std::vector<std::string> lines = traceBodies(testing::internal::GetCapturedStderr());
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Automatic retry in 2 s.", "Automatic retry in 4 s.", "Automatic retry in 8 s.",
                       "Automatic retry in 16 s.", "Automatic retry in 32 s.", "Automatic retry in 64 s.",
                       "Automatic retry in 64 s.", "Automatic retry in 64 s.", "Automatic retry in 64 s."}));

  // The longest first wait: 32 times it is far in the future, not a wrapped-around past.
  kalpinproc::loadTree(R"({"deviceState": 300, "variables": {")" + member +
                       R"(": {"type": "UINT32", "value": 4294967295}}})");
  testing::internal::CaptureStderr();
  for (int i = 0; i < 7; ++i) EXPECT_FALSE(automaticRetryDue(automaticRetryBegin()));
  EXPECT_EQ(traceBodies(testing::internal::GetCapturedStderr()).back(), "Automatic retry in 137438953440 s.");

  // Absent member: off, and nothing traced.
  kalpinproc::loadTree(R"({"deviceState": 300, "variables": {}})");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(automaticRetryBegin());
  EXPECT_FALSE(automaticRetryDue(std::nullopt));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  // A member of another type is no number of seconds (a REAL 10.0's bits would be 1092616192):
  // off, like an unreadable one.
  kalpinproc::loadTree(R"({"deviceState": 300, "variables": {")" + member +
                       R"(": {"type": "REAL", "value": 10.0}}})");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(automaticRetryBegin());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  setTraceLevel(0);
}
