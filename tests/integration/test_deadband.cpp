// Deadband and heartbeat of on-change sets (rDeadband, uiMaxSilenceS), end to end: a jittering
// REAL is published only beyond the band around the value last published, a slow drift still
// is, and an on-change set that stays silent publishes everything after uiMaxSilenceS.
#include <gtest/gtest.h>

#include "IntegrationHarness.h"

using namespace zaltest;

namespace {

ServiceConfig deadbandTree(int port) {
  ServiceConfig config;
  config.brokerPort = port;
  config.activate = 1;
  config.plantMembers =
      "\"Temp\": {\"type\": \"REAL\", \"value\": 20},"
      "\"Level\": {\"type\": \"LREAL\", \"value\": 1},"
      "\"Count\": {\"type\": \"UINT32\", \"value\": 1}";
  return config;
}

auto any() {
  return [](const std::string&) { return true; };
}

}  // namespace

TEST(Deadband, JitterStaysInsideTheBandDriftAndJumpsArePublished) {
  Broker broker;
  ServiceConfig config = deadbandTree(broker.port());
  // Only the changed members, a band of 0.5 (a REAL member) around the value last published;
  // the periodic set of the same worker is the test's clock.
  config.publishes = {{100,
                       {{"plant/temp", {"Temp", "Level", "Count"}, 0, 1, 1,
                         "\"rDeadband\": {\"type\": \"REAL\", \"value\": 0.5}"},
                        {"plant/clock", {"Count"}}}}};
  VariableServer server(config.treeJson());
  Subscriber subscriber(broker.port());
  Service service(server);

  auto first = subscriber.waitFor("plant/temp", any(), 0, kStartDeadline);
  ASSERT_TRUE(first) << service.dump();
  EXPECT_EQ(first->payload, "{\"Temp\":20.0,\"Level\":1.0,\"Count\":1}");

  // Sets a value, lets two cycles run, and gives the payloads of plant/temp that came meanwhile.
  size_t seen = 1;
  auto step = [&](const std::string& variable, const std::string& value) {
    server.set("APPL.Plant." + variable, value);
    const size_t clock = subscriber.count("plant/clock");
    EXPECT_GE(subscriber.waitForCount("plant/clock", clock + 3).size(), clock + 3) << service.dump();
    std::vector<std::string> payloads;
    const std::vector<Message> all = subscriber.messages("plant/temp");
    for (size_t i = seen; i < all.size(); ++i) payloads.push_back(all[i].payload);
    seen = all.size();
    return payloads;
  };
  using Payloads = std::vector<std::string>;
  // Jitter around 20 within the band: nothing. Exactly the band away is not beyond it.
  EXPECT_EQ(step("Temp", "20.25"), Payloads{});
  EXPECT_EQ(step("Temp", "19.75"), Payloads{});
  EXPECT_EQ(step("Temp", "20.5"), Payloads{});
  // Beyond the band: published, and the new reference.
  EXPECT_EQ(step("Temp", "20.75"), Payloads{"{\"Temp\":20.75}"});
  // A slow drift of steps smaller than the band is published once it adds up beyond it.
  EXPECT_EQ(step("Temp", "21.0"), Payloads{});
  EXPECT_EQ(step("Temp", "21.25"), Payloads{});
  EXPECT_EQ(step("Temp", "21.5"), Payloads{"{\"Temp\":21.5}"});
  // LREAL members take the same band; other types keep the exact comparison.
  EXPECT_EQ(step("Level", "1.25"), Payloads{});
  EXPECT_EQ(step("Count", "2"), Payloads{"{\"Count\":2}"});
  EXPECT_EQ(step("Level", "0.25"), Payloads{"{\"Level\":0.25}"});
  // NaN against a number is a change; NaN against NaN is not.
  EXPECT_EQ(step("Temp", "nan"), Payloads{"{\"Temp\":null}"});
  EXPECT_EQ(step("Temp", "nan"), Payloads{});
  EXPECT_EQ(step("Temp", "21.5"), Payloads{"{\"Temp\":21.5}"});
}

TEST(Deadband, SilentOnChangeSetPublishesEverythingAfterMaxSilence) {
  Broker broker;
  ServiceConfig config = deadbandTree(broker.port());
  config.publishes = {{100,
                       {{"plant/quiet", {"Temp", "Count"}, 0, 1, 1,
                         "\"rDeadband\": {\"type\": \"LREAL\", \"value\": 1}"}},
                       "\"uiMaxSilenceS\": {\"type\": \"UINT32\", \"value\": 2}"}};
  VariableServer server(config.treeJson());
  Subscriber subscriber(broker.port());
  Service service(server);

  ASSERT_TRUE(subscriber.waitFor("plant/quiet", any(), 0, kStartDeadline)) << service.dump();
  // Nothing changes (a jitter inside the band is no change): the heartbeat carries every member.
  server.set("APPL.Plant.Temp", "20.5");
  const std::vector<Message> beats = subscriber.waitForCount("plant/quiet", 3, kStartDeadline);
  ASSERT_EQ(beats.size(), 3u) << service.dump();
  for (size_t i = 1; i < beats.size(); ++i) {
    EXPECT_EQ(beats[i].payload, "{\"Temp\":20.5,\"Count\":1}");
    // Never before the silence has lasted its time (a loaded machine only makes it later).
    EXPECT_GE(beats[i].at - beats[i - 1].at, std::chrono::milliseconds(1900));
  }
  // A change restarts the silence: the change is published at once, not at the next beat.
  server.set("APPL.Plant.Count", "5");
  auto change = subscriber.waitFor("plant/quiet", [](const std::string& p) { return p == "{\"Count\":5}"; }, 3);
  ASSERT_TRUE(change) << service.dump();
}
