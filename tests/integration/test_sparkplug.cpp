// Sparkplug B against a real broker, checked by an independent decoder (the npm package
// sparkplug-payload, run through tests/sparkplug-decoder/codec.js): births, data, rebirth,
// device commands, the death certificate on a killed service, bdSeq across a restart.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <csignal>
#include <map>
#include <optional>
#include <set>

#include "IntegrationHarness.h"

using namespace zaltest;

namespace {

const char* const kPlant =
    "\"Speed\": {\"type\": \"SINT16\", \"value\": -5},"
    "\"Level\": {\"type\": \"REAL\", \"value\": 2.5},"
    "\"On\": {\"type\": \"BOOL\", \"value\": true},"
    "\"Name\": {\"type\": \"STRING\", \"value\": \"P1\"},"
    "\"Motor\": {\"type\": \"STRUCT\", \"members\": {"
    "  \"rpm\": {\"type\": \"UINT32\", \"value\": 1000},"
    "  \"aTemp\": {\"type\": \"ARRAY\", \"elementType\": \"SINT8\", \"values\": [1, -2]}}}";

std::string topic(const std::string& type, const std::string& device = "") {
  return "spBv1.0/Plant1/" + type + "/Edge1" + (device.empty() ? "" : "/" + device);
}

#ifdef SPARKPLUG_CODEC_PATH
std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}
std::string unhex(const std::string& text) {
  std::string out;
  for (size_t k = 0; k + 1 < text.size(); k += 2)
    out.push_back(static_cast<char>(std::stoi(text.substr(k, 2), nullptr, 16)));
  return out;
}

std::string runCodec(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {SPARKPLUG_NODE_PATH, SPARKPLUG_CODEC_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string out;
  if (runCommand(argv, &out) != 0) throw std::runtime_error("codec.js failed: " + out);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}
#endif

// A decoded payload: seq, and its metrics by name (births) or alias (data).
struct Decoded {
  std::optional<uint64_t> seq;
  struct Metric {
    std::string name, type;
    std::optional<uint64_t> alias;
    rapidjson::Document value;
    std::optional<uint64_t> timestamp;
    bool historical = false;
  };
  std::vector<std::shared_ptr<Metric>> metrics;
  std::shared_ptr<Metric> named(const std::string& name) const {
    for (const auto& m : metrics)
      if (m->name == name) return m;
    return nullptr;
  }
};

class SparkplugIT : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef SPARKPLUG_CODEC_PATH
    GTEST_SKIP() << "no Sparkplug decoder: run scripts/install-deps --test and configure again";
#endif
  }

  // Decodes with the independent decoder; data messages take their types from aliasTypes.
  Decoded decode(const std::string& payload) const {
#ifdef SPARKPLUG_CODEC_PATH
    std::string types = "{";
    for (const auto& [alias, type] : aliasTypes)
      types += (types.size() > 1 ? ",\"" : "\"") + std::to_string(alias) + "\":\"" + type + "\"";
    types += "}";
    const std::string json = runCodec({"decode", hex(payload), types});
    rapidjson::Document document;
    document.Parse(json.c_str());
    EXPECT_FALSE(document.HasParseError()) << json;
    Decoded decoded;
    if (document.HasMember("seq")) decoded.seq = document["seq"].GetUint64();
    if (document.HasMember("metrics")) {
      for (const auto& m : document["metrics"].GetArray()) {
        auto metric = std::make_shared<Decoded::Metric>();
        if (m.HasMember("name")) metric->name = m["name"].GetString();
        if (m.HasMember("type")) metric->type = m["type"].GetString();
        if (m.HasMember("alias")) metric->alias = m["alias"].GetUint64();
        if (m.HasMember("timestamp")) metric->timestamp = m["timestamp"].GetUint64();
        if (m.HasMember("value")) metric->value.CopyFrom(m["value"], metric->value.GetAllocator());
        metric->historical =
            m.HasMember("isHistorical") && m["isHistorical"].IsBool() && m["isHistorical"].GetBool();
        decoded.metrics.push_back(metric);
      }
    }
    return decoded;
#else
    (void)payload;
    return {};
#endif
  }
  std::string encode(const std::string& json) const {
#ifdef SPARKPLUG_CODEC_PATH
    return unhex(runCodec({"encode", json}));
#else
    (void)json;
    return {};
#endif
  }
  // Records the aliases and types a birth announces, as a host application does.
  void learnBirth(const Decoded& birth) {
    for (const auto& m : birth.metrics)
      if (m->alias) aliasTypes[*m->alias] = m->type;
  }

  std::map<uint64_t, std::string> aliasTypes;
};

ServiceConfig sparkplugConfig(int port, const std::string& bufferFile) {
  ServiceConfig config;
  config.brokerPort = port;
  config.plantMembers = kPlant;
  config.activate = 1;
  config.keepAlive = 5;
  config.traceLevel = 2;
  config.publishes = {
      {200,
       {{"Pump", {"Speed", "Level", "On", "Name", "Motor"}, 0, 1, 0}},
       "\"uiOfflineBufferKB\": {\"type\": \"UINT32\", \"value\": 64}, \"strOfflineBufferFile\": "
       "{\"type\": \"STRING\", \"value\": " +
           jsonString(bufferFile) + "}"}};
  config.extraRootMembers =
      "\"strSparkplugGroupId\": {\"type\": \"STRING\", \"value\": \"Plant1\"},"
      "\"strSparkplugEdgeNodeId\": {\"type\": \"STRING\", \"value\": \"Edge1\"}";
  return config;
}

TEST_F(SparkplugIT, AnIndependentDecoderSeesAWellFormedEdgeNode) {
  Broker broker;
  TempDir dir;
  const std::string bufferFile = dir.file("buffer.db");
  VariableServer server(sparkplugConfig(broker.port(), bufferFile).treeJson());
  Subscriber host(broker.plainPort(), "spBv1.0/#");
  auto service = std::make_unique<Service>(server);

  // Node birth: seq 0, bdSeq, Rebirth false.
  const auto nbirths = host.waitForCount(topic("NBIRTH"), 1);
  ASSERT_EQ(nbirths.size(), 1u) << service->dump();
  const Decoded nbirth = decode(nbirths[0].payload);
  EXPECT_EQ(nbirth.seq, 0u);
  ASSERT_TRUE(nbirth.named("bdSeq"));
  EXPECT_EQ(nbirth.named("bdSeq")->type, "UInt64");
  const uint64_t bdSeq = nbirth.named("bdSeq")->value.GetUint64();
  EXPECT_EQ(bdSeq, 0u);  // no bdSeq file yet
  ASSERT_TRUE(nbirth.named("Node Control/Rebirth"));
  EXPECT_EQ(nbirth.named("Node Control/Rebirth")->type, "Boolean");
  EXPECT_FALSE(nbirth.named("Node Control/Rebirth")->value.GetBool());

  // Device birth: every metric with name, type, alias, value and timestamp.
  const auto dbirths = host.waitForCount(topic("DBIRTH", "Pump"), 1);
  ASSERT_EQ(dbirths.size(), 1u) << service->dump();
  const Decoded dbirth = decode(dbirths[0].payload);
  EXPECT_EQ(dbirth.seq, 1u);
  learnBirth(dbirth);
  struct Expected {
    const char* name;
    const char* type;
    std::function<bool(const rapidjson::Value&)> value;
  };
  // clang-format off
  const std::vector<Expected> expected = {
    {"Speed",          "Int16",   [](const rapidjson::Value& v) { return v.IsInt() && v.GetInt() == -5; }},
    {"Level",          "Float",   [](const rapidjson::Value& v) { return v.IsNumber() && v.GetDouble() == 2.5; }},
    {"On",             "Boolean", [](const rapidjson::Value& v) { return v.IsBool() && v.GetBool(); }},
    {"Name",           "String",  [](const rapidjson::Value& v) { return v.IsString() && std::string(v.GetString()) == "P1"; }},
    {"Motor/rpm",      "UInt32",  [](const rapidjson::Value& v) { return v.IsUint() && v.GetUint() == 1000; }},
    {"Motor/aTemp[0]", "Int8",    [](const rapidjson::Value& v) { return v.IsInt() && v.GetInt() == 1; }},
    {"Motor/aTemp[1]", "Int8",    [](const rapidjson::Value& v) { return v.IsInt() && v.GetInt() == -2; }},
  };
  // clang-format on
  ASSERT_EQ(dbirth.metrics.size(), expected.size());
  std::set<uint64_t> aliases;
  for (const Expected& e : expected) {
    const auto m = dbirth.named(e.name);
    ASSERT_TRUE(m) << e.name;
    EXPECT_EQ(m->type, e.type) << e.name;
    EXPECT_TRUE(e.value(m->value)) << e.name;
    ASSERT_TRUE(m->alias) << e.name;
    aliases.insert(*m->alias);
    EXPECT_TRUE(m->timestamp) << e.name;
  }
  EXPECT_EQ(aliases.size(), expected.size());  // unique

  // Data: only the changed metric, by alias.
  server.set("APPL.Plant.Speed", "7");
  const auto data = host.waitForCount(topic("DDATA", "Pump"), 1);
  ASSERT_EQ(data.size(), 1u) << service->dump();
  const Decoded ddata = decode(data[0].payload);
  EXPECT_EQ(ddata.seq, 2u);
  ASSERT_EQ(ddata.metrics.size(), 1u);
  EXPECT_EQ(ddata.metrics[0]->alias, dbirth.named("Speed")->alias);
  EXPECT_TRUE(ddata.metrics[0]->name.empty());
  EXPECT_EQ(ddata.metrics[0]->value.GetInt(), 7);

  // Rebirth: a new node birth (seq 0, the same bdSeq), then the device's birth.
  Publisher application(broker.plainPort());
  application.publish(
      topic("NCMD"),
      encode(
          R"({"timestamp": 1, "metrics": [{"name": "Node Control/Rebirth", "type": "Boolean", "value": true}]})"));
  const auto rebirths = host.waitForCount(topic("NBIRTH"), 2);
  ASSERT_EQ(rebirths.size(), 2u) << service->dump();
  const Decoded rebirth = decode(rebirths[1].payload);
  EXPECT_EQ(rebirth.seq, 0u);
  EXPECT_EQ(rebirth.named("bdSeq")->value.GetUint64(), bdSeq);
  const auto redbirths = host.waitForCount(topic("DBIRTH", "Pump"), 2);
  ASSERT_EQ(redbirths.size(), 2u);
  EXPECT_EQ(decode(redbirths[1].payload).seq, 1u);
  EXPECT_EQ(decode(redbirths[1].payload).named("Speed")->value.GetInt(), 7);

  // A device command: by name and by alias written; an unknown metric and a value out of range
  // are refused, each with its line.
  const size_t mark = service->mark();
  const uint64_t rpmAlias = *dbirth.named("Motor/rpm")->alias;
  application.publish(topic("DCMD", "Pump"),
                      encode(R"({"timestamp": 1, "metrics": [)"
                             R"({"name": "Speed", "type": "Int16", "value": -9},)"
                             R"({"alias": )" +
                             std::to_string(rpmAlias) +
                             R"(, "type": "UInt32", "value": 1234},)"
                             R"({"name": "Nope", "type": "Int8", "value": 1},)"
                             R"({"name": "Motor/aTemp[0]", "type": "Int16", "value": 300}]})"));
  EXPECT_TRUE(server.waitForValue("APPL.Plant.Speed", "-9"));
  EXPECT_TRUE(server.waitForValue("APPL.Plant.Motor.rpm", "1234"));
  EXPECT_TRUE(service->waitFor("metric Nope is not known, not written.", mark)) << service->dump(mark);
  EXPECT_TRUE(service->waitFor("metric Motor/aTemp[0] not written: value refused", mark))
      << service->dump(mark);
  EXPECT_EQ(server.get("APPL.Plant.Motor.aTemp[0]"), "1");

  // seq runs 0..255 over every message of the node between births.
  {
    std::optional<uint64_t> previous;
    for (const Message& m : host.messages()) {
      // The death certificate has no seq; commands are the host's.
      if (m.topic.find("/NDEATH/") != std::string::npos || m.topic.find("CMD/") != std::string::npos)
        continue;
      const Decoded d = decode(m.payload);
      ASSERT_TRUE(d.seq) << m.topic;
      if (m.topic == topic("NBIRTH")) {
        EXPECT_EQ(*d.seq, 0u);
      } else if (previous) {
        EXPECT_EQ(*d.seq, (*previous + 1) % 256) << m.topic;
      }
      previous = d.seq;
    }
  }

  // Killed: the broker delivers the death certificate with the birth's bdSeq.
  service->process().signal(SIGKILL);
  const auto deaths = host.waitForCount(topic("NDEATH"), 1);
  ASSERT_EQ(deaths.size(), 1u);
  const Decoded death = decode(deaths[0].payload);
  ASSERT_TRUE(death.named("bdSeq"));
  EXPECT_EQ(death.named("bdSeq")->value.GetUint64(), bdSeq);
  EXPECT_FALSE(death.seq);
  service.reset();

  // Restarted: bdSeq goes on from the file beside the disk buffer.
  service = std::make_unique<Service>(server);
  const auto births = host.waitForCount(topic("NBIRTH"), 3);
  ASSERT_EQ(births.size(), 3u) << service->dump();
  EXPECT_EQ(decode(births[2].payload).named("bdSeq")->value.GetUint64(), (bdSeq + 1) % 256);
}

TEST_F(SparkplugIT, DataWaitForThePrimaryHostAndArriveHistorical) {
  Broker broker;
  TempDir dir;
  ServiceConfig config = sparkplugConfig(broker.port(), dir.file("buffer.db"));
  config.extraRootMembers += ",\"strSparkplugPrimaryHostId\": {\"type\": \"STRING\", \"value\": \"Scada\"}";
  VariableServer server(config.treeJson());
  Subscriber host(broker.plainPort(), "spBv1.0/#");
  Service service(server);
  ASSERT_TRUE(service.waitFor("subscribed to topic 'spBv1.0/STATE/Scada'")) << service.dump();
  const auto births = host.waitForCount(topic("DBIRTH", "Pump"), 1);
  ASSERT_EQ(births.size(), 1u) << service.dump();  // births do not wait for the host
  learnBirth(decode(births[0].payload));

  // The host is not known to be online: the change is held (no data within a few cycles).
  server.set("APPL.Plant.Speed", "7");
  EXPECT_TRUE(host.waitForCount(topic("DDATA", "Pump"), 1, 2s).empty());

  Publisher application(broker.plainPort());
  application.publish("spBv1.0/STATE/Scada", R"({"online": true, "timestamp": 1})");
  const auto held = host.waitForCount(topic("DDATA", "Pump"), 1);
  ASSERT_GE(held.size(), 1u) << service.dump();
  const Decoded first = decode(held[0].payload);
  ASSERT_EQ(first.metrics.size(), 1u);
  EXPECT_EQ(first.metrics[0]->value.GetInt(), 7);
  EXPECT_TRUE(first.metrics[0]->historical);
  EXPECT_EQ(first.seq, 2u);

  // Online: live data, not historical.
  server.set("APPL.Plant.Speed", "9");
  const auto live = host.waitFor(topic("DDATA", "Pump"), [&](const std::string& payload) {
    const Decoded d = decode(payload);
    return !d.metrics.empty() && d.metrics[0]->value.GetInt() == 9;
  });
  ASSERT_TRUE(live) << service.dump();
  EXPECT_FALSE(decode(live->payload).metrics[0]->historical);
}

TEST_F(SparkplugIT, WithoutTheGroupNothingChanges) {
  Broker broker;
  TempDir dir;
  ServiceConfig config = sparkplugConfig(broker.port(), dir.file("buffer.db"));
  config.extraRootMembers.clear();
  VariableServer server(config.treeJson());
  Subscriber host(broker.plainPort(), "#");
  Service service(server);
  const auto json = host.waitForCount("Pump", 1);
  ASSERT_EQ(json.size(), 1u) << service.dump();
  EXPECT_EQ(json[0].payload.front(), '{');
  EXPECT_EQ(host.messages().size(), host.count("Pump"));  // nothing on spBv1.0/...
}

}  // namespace
