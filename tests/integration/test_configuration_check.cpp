// The configuration check (ZAL_CLOUD_MQTT_OOP --check [--json]) against the real variable
// server: every problem of a broken tree with its node's path, the resolved view of a good one,
// the exit status, and the service started afterwards on the same tree doing what the check said.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "IntegrationHarness.h"

using namespace zaltest;

namespace {

const std::string kPublish0 = rootMember("ZAL_MQTT_publish:0");
const std::string kPublish1 = rootMember("ZAL_MQTT_publish:1");
const std::string kSubscribe0 = rootMember("ZAL_MQTT_subscribe:0");

ServiceConfig plantTree() {
  ServiceConfig config;
  config.plantMembers =
      "\"Speed\": {\"type\": \"REAL\", \"value\": 1.5},"
      "\"Count\": {\"type\": \"UINT32\", \"value\": 7},"
      "\"Drive\": {\"type\": \"STRUCT\", \"members\": {\"Torque\": {\"type\": \"LREAL\", \"value\": 2},"
      "  \"On\": {\"type\": \"BOOL\", \"value\": true}}},"
      "\"Temps\": {\"type\": \"ARRAY\", \"elementType\": \"REAL\", \"values\": [1, 2, 3]},"
      "\"Setpoint\": {\"type\": \"REAL\", \"value\": 0}";
  config.publishes = {{500, {{"plant/values", {"Speed", "Drive", "Temps"}}, {"plant/count", {"Count"}, 0, 1, 1}}}};
  config.subscribes = {{"plant/setpoint", {"Setpoint"}}};
  return config;
}

struct CheckResult {
  int status = -1;
  std::string output;
};

CheckResult runCheck(const std::string& socket, std::vector<std::string> arguments = {"--check"}) {
  arguments.insert(arguments.begin(), ZAL_SERVICE_PATH);
  CheckResult result;
  result.status = runCommand(arguments, &result.output, {{"KALPAPI_SOCKET", socket}});
  return result;
}

struct BrokenTree {
  const char* name;
  std::function<void(ServiceConfig&)> breakIt;
  int status;
  std::vector<std::string> problems;  // "<path>: <message>", in this order, and no others
};

void PrintTo(const BrokenTree& tree, std::ostream* out) { *out << tree.name; }

class CheckOfBrokenTree : public ::testing::TestWithParam<BrokenTree> {};

std::vector<BrokenTree> brokenTrees() {
  return {
      {"BadChildrenAreSkippedAndOneGoodRemains",
       [](ServiceConfig& c) {
         c.publishes.push_back({0, {{"plant/zero", {"Speed"}}}});             // publish:1, period 0
         c.publishes.push_back({500, {{"plant/gone", {"Missing.Member"}}}});  // publish:2, no set left
         c.subscribes[0].topic = "";
         c.publishes[0].sets[1].extraMembers = "\"rDeadband\": {\"type\": \"REAL\", \"value\": -1}";
       },
       0,
       {kPublish0 + ".VariableTopicSet:1: Bad variable-topic set: rDeadband must be a finite number, 0 or above.",
        kPublish1 + ": publish configuration has invalid 0 ms period time.",
        rootMember("ZAL_MQTT_publish:2.VariableTopicSet:0") +
            ": APPL.Plant.Missing open variable handle result is: 81000501",
        rootMember("ZAL_MQTT_publish:2") + ": publish configuration has no variable-topic-sets.",
        kSubscribe0 + ": Bad variable-topic set: empty topic string."}},
      {"NothingSurvives",
       [](ServiceConfig& c) {
         c.publishes[0].periodMs = 0;
         c.subscribes[0].raw = 1;
         c.subscribes[0].variables = {"Speed", "Count"};
       },
       1,
       {kPublish0 + ": publish configuration has invalid 0 ms period time.",
        kSubscribe0 + ": Bad variable-topic-set: It uses RAW format and has more than one variables.",
        std::string(kRoot) + ": Bad ZAL_MQTT configuration: neither publish- nor subscribe configuration found."}},
      {"RootStopsEarlyAndTheChildrenAreStillChecked",
       [](ServiceConfig& c) {
         c.tls = TlsSpec{1, 1, "", "", "", "", "", ""};
         c.publishes[0].sets[1].variables = {"..."};
       },
       1,
       {rootMember("ZAL_MQTT_TLS:0") +
            ": Bad TLS configuration: Cannot have PSK- AND certificate based TLS at the same time.",
        kPublish0 + ".VariableTopicSet:1: Bad variable-topic set: " + kPublish0 +
            ".VariableTopicSet:1.variable:0 names no variable (text is \"...\")."}},
      {"RootMembersAfterTheChildren",
       [](ServiceConfig& c) {
         c.keepAlive = 0;
         c.publishes[0].sets[0].variables.push_back("Speed.Deeper");
       },
       1,
       {kPublish0 + ".VariableTopicSet:0: APPL.Plant.Speed.Deeper open variable handle result is: 81000501",
        std::string(kRoot) + ": Bad broker configuration: keep-alive time is zero."}},
  };
}

INSTANTIATE_TEST_SUITE_P(Tree, CheckOfBrokenTree, ::testing::ValuesIn(brokenTrees()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(CheckOfBrokenTree, ListsEveryProblemAndTheServiceDoesWhatItSaid) {
  const BrokenTree& row = GetParam();
  ServiceConfig config = plantTree();
  row.breakIt(config);
  VariableServer server(config.treeJson());
  std::string before, after;
  ASSERT_EQ(server.kalpvar({"dump"}, &before), 0);

  const CheckResult check = runCheck(server.socket());
  EXPECT_EQ(check.status, row.status) << check.output;
  std::vector<std::string> listed;
  std::istringstream lines(check.output);
  bool inProblems = false;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Problems (", 0) == 0) {
      EXPECT_EQ(line, "Problems (" + std::to_string(row.problems.size()) + "):");
      inProblems = true;
    } else if (inProblems && line.rfind("  ", 0) == 0) {
      listed.push_back(line.substr(2));
    } else {
      inProblems = false;
    }
  }
  ASSERT_EQ(listed.size(), row.problems.size()) << check.output;
  for (size_t i = 0; i < listed.size(); ++i)
    EXPECT_EQ(listed[i].rfind(row.problems[i], 0), 0u) << "problem " << i << ":\n" << check.output;
  EXPECT_NE(check.output.find(row.status == 0 ? "Result: the service would start with this configuration."
                                              : "Result: the service would not start with this configuration."),
            std::string::npos)
      << check.output;
  ASSERT_EQ(server.kalpvar({"dump"}, &after), 0);
  EXPECT_EQ(before, after) << "the check changed the tree";

  // The service on the same tree traces each problem and starts or fails as the check said.
  Service service(server);
  const auto outcome = service.log().waitFor(
      [](const std::string& l) {
        return l.find("entering check loop.") != std::string::npos || l.find("state: Error") != std::string::npos;
      },
      0, kStartDeadline);
  ASSERT_TRUE(outcome) << service.dump();
  EXPECT_EQ(service.log().line(*outcome).find("state: Error") == std::string::npos, row.status == 0)
      << service.dump();
  for (const std::string& problem : row.problems) {
    // The service's trace has the message; the path is the check's addition. A child the root
    // never reached (it stopped early) is not traced by the service.
    const std::string message = problem.substr(problem.find(": ") + 2);
    if (row.name == std::string("RootStopsEarlyAndTheChildrenAreStillChecked") &&
        problem.rfind(kPublish0, 0) == 0)
      continue;
    EXPECT_FALSE(service.log().find(message).empty()) << message << "\n" << service.dump();
  }
}

TEST(ConfigurationCheck, GoodTreeResolvedAsJsonAndTheServicePublishesWhatItListed) {
  Broker broker;
  ServiceConfig config = plantTree();
  config.brokerPort = broker.port();
  config.activate = 1;
  VariableServer server(config.treeJson());

  const CheckResult check = runCheck(server.socket(), {"--check", "--json"});
  ASSERT_EQ(check.status, 0) << check.output;
  rapidjson::Document d;
  ASSERT_FALSE(d.Parse(check.output.c_str()).HasParseError()) << check.output;
  ASSERT_TRUE(d.IsObject());
  EXPECT_TRUE(d["wouldStart"].GetBool());
  EXPECT_EQ(d["problems"].Size(), 0u);
  const rapidjson::Value& c = d["configuration"];
  EXPECT_STREQ(c["broker"]["host"].GetString(), "127.0.0.1");
  EXPECT_EQ(c["broker"]["port"].GetInt(), broker.port());
  EXPECT_STREQ(c["tls"]["kind"].GetString(), "none");
  ASSERT_EQ(c["publish"].Size(), 1u);
  const rapidjson::Value& p = c["publish"][0];
  EXPECT_EQ(p["periodMs"].GetUint(), 500u);
  ASSERT_EQ(p["sets"].Size(), 2u);
  const rapidjson::Value& values = p["sets"][0];
  EXPECT_STREQ(values["topic"].GetString(), "plant/values");
  EXPECT_FALSE(values["onChange"].GetBool());
  const rapidjson::Value& vars = values["variables"];
  ASSERT_EQ(vars.Size(), 3u);
  EXPECT_STREQ(vars[0]["type"].GetString(), "REAL");
  EXPECT_STREQ(vars[1]["type"].GetString(), "STRUCT");
  EXPECT_STREQ(vars[1]["members"][0]["name"].GetString(), "Torque");
  EXPECT_STREQ(vars[1]["members"][0]["type"].GetString(), "LREAL");
  EXPECT_STREQ(vars[1]["members"][1]["type"].GetString(), "BOOL");
  EXPECT_STREQ(vars[2]["type"].GetString(), "ARRAY");
  EXPECT_EQ(vars[2]["elements"].GetUint(), 3u);
  EXPECT_STREQ(vars[2]["element"]["type"].GetString(), "REAL");
  EXPECT_TRUE(p["sets"][1]["onChange"].GetBool());
  EXPECT_TRUE(p["sets"][1]["onlyChanged"].GetBool());
  ASSERT_EQ(c["subscribe"].Size(), 1u);
  EXPECT_STREQ(c["subscribe"][0]["topic"].GetString(), "plant/setpoint");
  EXPECT_STREQ(c["subscribe"][0]["variables"][0]["type"].GetString(), "REAL");

  // The text form says the same.
  const CheckResult text = runCheck(server.socket());
  EXPECT_EQ(text.status, 0);
  for (const std::string& line :
       {"Broker: 127.0.0.1:" + std::to_string(broker.port()) +
            ", client ID \"zal-it\", keep-alive 10 s, clean session on, user authentication off",
        std::string("TLS: none"), "Publish " + kPublish0 + ": period 500 ms, QoS 1, retain off",
        "  Set " + kPublish0 + ".VariableTopicSet:1: topic \"plant/count\", JSON, on change, changed members only",
        std::string("      Torque: LREAL"), std::string("    Temps: ARRAY[3] of REAL"),
        "Subscribe " + kSubscribe0 + ": topic \"plant/setpoint\", JSON"})
    EXPECT_NE(text.output.find(line + "\n"), std::string::npos) << line << "\n" << text.output;

  // No broker connection was made by the check: the service is the first to connect and publish.
  Subscriber subscriber(broker.port(), "plant/#");
  Service service(server);
  auto any = [](const std::string&) { return true; };
  EXPECT_TRUE(subscriber.waitFor("plant/values", any, 0, kStartDeadline)) << service.dump();
  EXPECT_TRUE(subscriber.waitFor("plant/count", any, 0, kStartDeadline)) << service.dump();
}

TEST(ConfigurationCheck, TlsFilesFoundOrNotAreReportedWithoutStoppingTheStart) {
  TempDir dir;
  writeFile(dir.file("ca.crt"), "x");
  ServiceConfig config = plantTree();
  config.tls = TlsSpec{1, 0, dir.file("ca.crt"), "", dir.file("client.crt"), dir.file("client.key"), "", ""};
  writeFile(dir.file("client.crt"), "x");
  VariableServer server(config.treeJson());
  const CheckResult check = runCheck(server.socket());
  EXPECT_EQ(check.status, 0) << check.output;
  EXPECT_NE(check.output.find("TLS: certificate; CA file " + dir.file("ca.crt") + " (found); certificate " +
                              dir.file("client.crt") + " (found); key " + dir.file("client.key") + " (not found)\n"),
            std::string::npos)
      << check.output;
  EXPECT_NE(check.output.find("Warnings (1):\n  " + rootMember("ZAL_MQTT_TLS:0") + ": key file " +
                              dir.file("client.key") + " not found: the connection would fail.\n"),
            std::string::npos)
      << check.output;
}

TEST(ConfigurationCheck, UsageErrorsAndNoVariableServer) {
  TempDir dir;
  const std::string nowhere = dir.file("none.sock");
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"--check", "--verbose"}, {"--json", "--check", "--json"}, {"--check", "--check"}}) {
    const CheckResult usage = runCheck(nowhere, arguments);
    EXPECT_EQ(usage.status, 2) << usage.output;
    EXPECT_NE(usage.output.find("usage: ZAL_CLOUD_MQTT_OOP [--check [--json]]"), std::string::npos);
  }
  const CheckResult unreachable = runCheck(nowhere, {"--json", "--check"});
  EXPECT_EQ(unreachable.status, 1) << unreachable.output;
  rapidjson::Document d;
  ASSERT_FALSE(d.Parse(unreachable.output.c_str()).HasParseError()) << unreachable.output;
  EXPECT_FALSE(d["wouldStart"].GetBool());
  EXPECT_TRUE(d["configuration"].IsNull());
  ASSERT_EQ(d["problems"].Size(), 1u);
  EXPECT_STREQ(d["problems"][0]["message"].GetString(), "no communication with the variable server.");
}

TEST(ConfigurationCheck, OtherArgumentsAreIgnoredWithoutCheck) {
  ServiceConfig config = plantTree();
  VariableServer server(config.treeJson());
  Process service({ZAL_SERVICE_PATH, "--json", "--verbose", "x"}, {{"KALPAPI_SOCKET", server.socket()}});
  EXPECT_TRUE(service.log().waitFor(contains("entering check loop."), 0, kStartDeadline)) << service.log().dump();
}

}  // namespace
