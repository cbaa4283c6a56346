// Sparkplug B: the type table both ways, the metrics of a variable tree, command writes and the
// edge node's session numbers, over the in-process variable store.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "EdgeNode.h"
#include "GVPvariable.h"
#include "KalpApi.h"
#include "KalpInproc.h"
#include "SparkplugMetrics.h"
#include "SparkplugTypes.h"
#include "Trace.h"

namespace {

using namespace sparkplug;
using Node = std::shared_ptr<GVPvariable>;

const char* kTree = R"({"variables": {
  "APPL.S.i8":    {"type": "SINT8", "value": -3},
  "APPL.S.u8":    {"type": "UINT8", "value": 7},
  "APPL.S.dw":    {"type": "DWORD", "value": 4000000000},
  "APPL.S.i64":   {"type": "SINT64", "value": -2},
  "APPL.S.r":     {"type": "REAL", "value": 1.5},
  "APPL.S.x":     {"type": "BOOL", "value": 1},
  "APPL.S.s":     {"type": "STRING", "value": "abc"},
  "APPL.S.t20":   {"type": 20},
  "APPL.S.Motor": {"type": "STRUCT", "members": {
                    "lr": {"type": "LREAL", "value": 2.25},
                    "aTemp": {"type": "ARRAY", "elementType": "SINT16", "values": [20, -1]}}}
}})";

class SparkplugTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GVPvariable::setMemberPause(std::chrono::microseconds(0));
    kalpinproc::loadTree(kTree);
  }
  void TearDown() override { GVPvariable::setMemberPause(std::chrono::milliseconds(10)); }
  static Node var(const std::string& name) { return std::make_shared<GVPvariable>("APPL.S.", name, false); }
};

TEST(SparkplugTypes, EveryIecTypeMapsOrIsRefusedAndMapsBack) {
  // clang-format off
  const std::vector<std::pair<uint32_t, DataType>> table = {
    {KALPAPI_TYPE_BOOL, kBoolean}, {KALPAPI_TYPE_SINT8, kInt8}, {KALPAPI_TYPE_SINT16, kInt16},
    {KALPAPI_TYPE_SINT32, kInt32}, {KALPAPI_TYPE_SINT64, kInt64}, {KALPAPI_TYPE_UINT8, kUInt8},
    {KALPAPI_TYPE_UINT16, kUInt16}, {KALPAPI_TYPE_UINT32, kUInt32}, {KALPAPI_TYPE_UINT64, kUInt64},
    {KALPAPI_TYPE_REAL, kFloat}, {KALPAPI_TYPE_LREAL, kDouble}, {KALPAPI_TYPE_BYTE, kUInt8},
    {KALPAPI_TYPE_WORD, kUInt16}, {KALPAPI_TYPE_DWORD, kUInt32}, {KALPAPI_TYPE_LWORD, kUInt64},
    {KALPAPI_TYPE_TIME, kUInt32}, {KALPAPI_TYPE_DATE, kUInt32}, {KALPAPI_TYPE_TIME_OF_DAY, kUInt32},
    {KALPAPI_TYPE_DATE_AND_TIME, kUInt32}, {KALPAPI_TYPE_STRING, kString},
    {54, kUInt64}, {57, kUInt64},
    // Refused: no value, structured (expanded into names instead), unknown codes.
    {20, kNoDataType}, {23, kNoDataType}, {KALPAPI_TYPE_ARRAY, kNoDataType},
    {KALPAPI_TYPE_STRUCT, kNoDataType}, {KALPAPI_TYPE_DIRECTORY, kNoDataType}, {0, kNoDataType},
    {21, kNoDataType}, {58, kNoDataType},
  };
  // clang-format on
  for (const auto& [iec, dataType] : table) {
    EXPECT_EQ(sparkplugDataType(iec), dataType) << "IEC type " << iec;
    // Back: the IEC type a metric of that data type stands for has the same data type again.
    if (dataType != kNoDataType) {
      EXPECT_EQ(sparkplugDataType(iecTypeFor(dataType)), dataType) << "IEC type " << iec;
    }
  }
  // Sparkplug to IEC: every scalar type has its IEC type; the rest are not written.
  for (uint32_t dataType = kInt8; dataType <= kString; ++dataType)
    EXPECT_NE(iecTypeFor(dataType), 0u) << dataTypeName(dataType);
  EXPECT_EQ(iecTypeFor(kText), KALPAPI_TYPE_STRING);
  EXPECT_EQ(iecTypeFor(kDateTime), KALPAPI_TYPE_UINT64);
  for (uint32_t dataType : {uint32_t{kNoDataType}, uint32_t{kUUID}, uint32_t{kDataSet}, uint32_t{kBytes},
                            uint32_t{kFile}, uint32_t{kTemplate}, 99u})
    EXPECT_EQ(iecTypeFor(dataType), 0u) << dataTypeName(dataType);
}

TEST_F(SparkplugTest, BirthNamesTypesAliasesAndValuesOfATree) {
  const std::vector<Node> variables = {var("i8"), var("dw"), var("i64"), var("r"),
                                       var("x"),  var("s"),  var("t20"), var("Motor")};
  const uint32_t level = traceLevel.load();
  setTraceLevel(1);
  testing::internal::CaptureStderr();
  const MetricSet metrics(variables, 5, "dev");
  const std::string trace = testing::internal::GetCapturedStderr();
  setTraceLevel(level);
  EXPECT_NE(trace.find("t20 of type 20 has no Sparkplug data type"), std::string::npos) << trace;
  for (const Node& variable : variables) variable->readSnapshot();

  Payload payload;
  metrics.addBirthMetrics(payload, 1234);
  ASSERT_EQ(payload.metrics_size(), 9);  // t20 left out; Motor gives lr and two elements
  const auto& m = payload.metrics();
  std::vector<std::string> names;
  for (int k = 0; k < m.size(); ++k) {
    names.push_back(m[k].name());
    EXPECT_EQ(m[k].alias(), 5u + static_cast<uint64_t>(k));
    EXPECT_EQ(m[k].timestamp(), 1234u);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"i8", "dw", "i64", "r", "x", "s", "Motor/lr", "Motor/aTemp[0]",
                                             "Motor/aTemp[1]"}));
  EXPECT_EQ(m[0].datatype(), kInt8);
  EXPECT_EQ(static_cast<int32_t>(m[0].int_value()), -3);  // two's complement in 32 bits
  EXPECT_EQ(m[1].long_value(), 4000000000u);              // UInt32 in long_value
  EXPECT_EQ(static_cast<int64_t>(m[2].long_value()), -2);
  EXPECT_EQ(m[3].float_value(), 1.5f);
  EXPECT_TRUE(m[4].boolean_value());
  EXPECT_EQ(m[5].string_value(), "abc");
  EXPECT_EQ(m[6].double_value(), 2.25);
  EXPECT_EQ(static_cast<int32_t>(m[8].int_value()), -1);
  EXPECT_EQ(metrics.nextAlias(), 14u);

  // Data: only the scalars found in the roots given, by alias, without name or type.
  Payload data;
  metrics.addDataMetrics(data, {variables[7]->getChildren()[1]}, 99);
  ASSERT_EQ(data.metrics_size(), 2);
  EXPECT_EQ(data.metrics(0).alias(), 12u);
  EXPECT_FALSE(data.metrics(0).has_name());
  EXPECT_FALSE(data.metrics(0).has_datatype());
}

TEST_F(SparkplugTest, CommandValuesFollowTheWriteBackRules) {
  struct Case {
    std::string variable;
    std::function<void(Metric&)> set;
    bool written;
  };
  // clang-format off
  const std::vector<Case> cases = {
    {"i8",  [](Metric& m) { m.set_datatype(kInt8); m.set_int_value(static_cast<uint32_t>(-5)); }, true},
    {"i8",  [](Metric& m) { m.set_datatype(kInt16); m.set_int_value(200); },                       false},
    {"u8",  [](Metric& m) { m.set_datatype(kUInt8); m.set_int_value(300); },                       false},
    {"u8",  [](Metric& m) { m.set_int_value(9); },                                                 true},
    {"i64", [](Metric& m) { m.set_datatype(kInt64); m.set_long_value(static_cast<uint64_t>(-7)); }, true},
    {"x",   [](Metric& m) { m.set_boolean_value(false); },                                         true},
    {"x",   [](Metric& m) { m.set_int_value(1); },                                                 false},
    {"r",   [](Metric& m) { m.set_double_value(0.25); },                                           true},
    {"s",   [](Metric& m) { m.set_string_value("xyz"); },                                          true},
    {"s",   [](Metric& m) { m.set_bytes_value("xyz"); },                                           false},
    {"dw",  [](Metric& m) { m.set_datatype(kUInt32); m.set_long_value(4000000001u); },             true},
  };
  // clang-format on
  for (const Case& c : cases) {
    const Node node = var(c.variable);
    Metric metric;
    c.set(metric);
    const std::string before = [&] {
      node->readSnapshot();
      return node->getType() == KALPAPI_TYPE_STRING ? *node->getSnapshotText()
                                                    : std::to_string(node->getSnapshotBits());
    }();
    const std::string refused = writeMetricValue(metric, node);
    EXPECT_EQ(refused.empty(), c.written) << c.variable << ": " << refused;
    node->readSnapshot();
    const std::string after = node->getType() == KALPAPI_TYPE_STRING
                                  ? *node->getSnapshotText()
                                  : std::to_string(node->getSnapshotBits());
    if (!c.written) {
      EXPECT_EQ(after, before) << c.variable;
    }
  }
  // The values written read back as sent.
  EXPECT_EQ(static_cast<int8_t>(var("i8")->readInt8()), -5);
  EXPECT_EQ(var("i64")->readInt64(), -7);
  EXPECT_EQ(var("dw")->readUint32(), 4000000001u);
  EXPECT_EQ(var("s")->readString(), "xyz");
}

// Messages an edge node hands to the MQTT library, decoded again.
struct Sent {
  std::string topic;
  Payload payload;
};

class EdgeNodeTest : public SparkplugTest {
 protected:
  Publisher recorder() {
    return [this](const std::string& topic, const std::string& bytes) {
      Sent sent{topic, {}};
      EXPECT_TRUE(sent.payload.ParseFromString(bytes));
      messages.push_back(std::move(sent));
      return 0;
    };
  }
  std::vector<Sent> messages;
};

uint64_t bdSeqOf(const std::string& death) {
  Payload payload;
  EXPECT_TRUE(payload.ParseFromString(death));
  EXPECT_EQ(payload.metrics(0).name(), kBdSeqMetric);
  EXPECT_FALSE(payload.has_seq());
  return payload.metrics(0).long_value();
}

TEST_F(EdgeNodeTest, BdSeqAdvancesPerConnectionSurvivesARestartAndWraps) {
  const std::string file = ::testing::TempDir() + "bdseq-" + std::to_string(::getpid());
  std::remove(file.c_str());
  {
    EdgeNode node("G", "N", {}, {}, file, std::nullopt);
    EXPECT_EQ(bdSeqOf(node.nextDeathCertificate()), 0u);
    EXPECT_EQ(bdSeqOf(node.nextDeathCertificate()), 1u);
    EXPECT_EQ(bdSeqOf(node.currentDeathCertificate()), 1u);
  }
  EdgeNode restarted("G", "N", {}, {}, file, std::nullopt);
  EXPECT_EQ(bdSeqOf(restarted.nextDeathCertificate()), 2u);
  EdgeNode wrapped("G", "N", {}, {}, "", 255);
  EXPECT_EQ(bdSeqOf(wrapped.nextDeathCertificate()), 0u);
  std::remove(file.c_str());
}

TEST_F(EdgeNodeTest, BirthsComeFirstSeqCountsAndRebirthStartsOver) {
  const std::vector<Node> pump = {var("u8"), var("x")};
  const std::vector<Node> motor = {var("Motor")};
  EdgeNode node("Plant", "Node1", {{"Pump", pump}, {"bad/id", {var("i8")}}, {"Motor", motor}}, {}, "",
                std::nullopt);
  EXPECT_FALSE(node.deviceActive(1));
  const uint64_t bdSeq = bdSeqOf(node.nextDeathCertificate());
  int result = -1;

  // No device message before the node's birth.
  for (const Node& v : pump) v->readSnapshot();
  EXPECT_FALSE(node.publishDeviceBirth(0, 1, recorder(), result));
  EXPECT_EQ(node.publishNodeBirth(recorder()), 0);
  EXPECT_EQ(node.publishDeviceData(0, pump, 1, recorder(), result), EdgeNode::DataResult::BirthDue);
  EXPECT_TRUE(node.publishDeviceBirth(0, 1, recorder(), result));
  EXPECT_EQ(node.publishDeviceData(0, {pump[0]}, 2, recorder(), result), EdgeNode::DataResult::Sent);
  for (const Node& v : motor) v->readSnapshot();
  EXPECT_TRUE(node.publishDeviceBirth(2, 3, recorder(), result));

  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[0].topic, "spBv1.0/Plant/NBIRTH/Node1");
  EXPECT_EQ(messages[1].topic, "spBv1.0/Plant/DBIRTH/Node1/Pump");
  EXPECT_EQ(messages[2].topic, "spBv1.0/Plant/DDATA/Node1/Pump");
  EXPECT_EQ(messages[3].topic, "spBv1.0/Plant/DBIRTH/Node1/Motor");
  for (uint64_t k = 0; k < messages.size(); ++k) EXPECT_EQ(messages[k].payload.seq(), k);
  const Payload& birth = messages[0].payload;
  ASSERT_EQ(birth.metrics_size(), 2);
  EXPECT_EQ(birth.metrics(0).name(), "bdSeq");
  EXPECT_EQ(birth.metrics(0).long_value(), bdSeq);
  EXPECT_EQ(birth.metrics(1).name(), "Node Control/Rebirth");
  // Aliases are unique across the node: Motor's continue after Pump's.
  EXPECT_EQ(messages[1].payload.metrics(1).alias(), 2u);
  EXPECT_EQ(messages[3].payload.metrics(0).alias(), 3u);
  EXPECT_EQ(messages[2].payload.metrics(0).alias(), 1u);

  // Rebirth on a node command: seq 0 again, the devices' births due again.
  Payload command;
  Metric* rebirth = command.add_metrics();
  rebirth->set_name(kRebirthMetric);
  rebirth->set_boolean_value(true);
  node.handleCommand("spBv1.0/Plant/NCMD/Node1", command.SerializeAsString(), recorder());
  ASSERT_EQ(messages.size(), 5u);
  EXPECT_EQ(messages[4].topic, "spBv1.0/Plant/NBIRTH/Node1");
  EXPECT_EQ(messages[4].payload.seq(), 0u);
  EXPECT_TRUE(node.deviceBirthDue(0));
  EXPECT_TRUE(node.deviceBirthDue(2));

  // A device command by alias and by name; an unknown metric is skipped, the rest written.
  Payload write;
  Metric* byAlias = write.add_metrics();
  byAlias->set_alias(1);
  byAlias->set_int_value(42);
  Metric* unknown = write.add_metrics();
  unknown->set_name("nope");
  unknown->set_int_value(1);
  Metric* byName = write.add_metrics();
  byName->set_name("x");
  byName->set_boolean_value(false);
  node.handleCommand("spBv1.0/Plant/DCMD/Node1/Pump", write.SerializeAsString(), recorder());
  EXPECT_EQ(var("u8")->readUint8(), 42);
  EXPECT_EQ(var("x")->readBool(), 0);

  // Lost connection: nothing until the next birth; the seq counts on from that birth.
  node.connectionLost();
  EXPECT_EQ(node.publishDeviceData(0, pump, 4, recorder(), result), EdgeNode::DataResult::NotBorn);
  EXPECT_EQ(messages.size(), 5u);
}

TEST_F(EdgeNodeTest, DataWaitForThePrimaryHostAndGoOutAsHistorical) {
  const std::vector<Node> pump = {var("u8")};
  EdgeNode node("G", "N", {{"P", pump}}, {}, "", std::nullopt);
  node.setPrimaryHost("Scada", 64);  // room for a few small payloads only
  EXPECT_EQ(node.primaryHostStateTopic(), "spBv1.0/STATE/Scada");
  int result = 0;
  node.publishNodeBirth(recorder());
  pump[0]->readSnapshot();
  node.publishDeviceBirth(0, 1, recorder(), result);  // births are never held
  for (int k = 0; k < 10; ++k) node.publishDeviceData(0, pump, 100 + k, recorder(), result);
  EXPECT_EQ(messages.size(), 2u);
  const size_t held = node.heldMessages();
  EXPECT_GT(held, 0u);
  EXPECT_LT(held, 10u);  // the oldest went when the hold was full

  node.handleHostState("{\"online\": false, \"timestamp\": 1}", recorder());  // no change
  node.handleHostState("not a state", recorder());
  EXPECT_EQ(messages.size(), 2u);
  node.handleHostState("{\"online\": true, \"timestamp\": 2}", recorder());
  ASSERT_EQ(messages.size(), 2u + held);
  for (size_t k = 2; k < messages.size(); ++k) {
    EXPECT_EQ(messages[k].topic, "spBv1.0/G/DDATA/N/P");
    EXPECT_EQ(messages[k].payload.seq(), k);
    EXPECT_TRUE(messages[k].payload.metrics(0).is_historical());
  }
  EXPECT_EQ(messages.back().payload.metrics(0).timestamp(), 109u);  // the newest were kept
  // Online: live again.
  node.publishDeviceData(0, pump, 200, recorder(), result);
  EXPECT_FALSE(messages.back().payload.metrics(0).is_historical());
  // A lost connection makes the host's state unknown: held until its STATE comes again.
  node.connectionLost();
  EXPECT_FALSE(node.hostOnline());
}

TEST_F(EdgeNodeTest, SeqWrapsAfter255) {
  const std::vector<Node> pump = {var("u8")};
  EdgeNode node("G", "N", {{"P", pump}}, {}, "", std::nullopt);
  node.publishNodeBirth(recorder());
  pump[0]->readSnapshot();
  int result = 0;
  node.publishDeviceBirth(0, 1, recorder(), result);
  for (int k = 0; k < 256; ++k) node.publishDeviceData(0, pump, 1, recorder(), result);
  ASSERT_EQ(messages.size(), 258u);
  EXPECT_EQ(messages[255].payload.seq(), 255u);
  EXPECT_EQ(messages[256].payload.seq(), 0u);
  EXPECT_EQ(messages[257].payload.seq(), 1u);
}

}  // namespace
