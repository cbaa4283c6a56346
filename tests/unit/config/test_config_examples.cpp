// The demo plant tree files of examples/ load into the variable store and give a valid
// configuration: the plain one and its TLS variant.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "GVPvariable.h"
#include "KalpInproc.h"
#include "Trace.h"
#include "ZAL_MQTT_item.h"

namespace {

const std::string kRoot = "SYS.CAT.Application.ZAL_Cloud:0.ZAL_MQTT:0";

std::string exampleFile(const std::string& name) {
  std::string here = __FILE__;  // .../tests/unit/config/test_config_examples.cpp
  const std::string top = here.substr(0, here.rfind("/tests/unit/"));
  std::ifstream in(top + "/examples/" + name);
  EXPECT_TRUE(in) << "cannot open examples/" << name;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void collectTypes(const std::shared_ptr<GVPvariable>& variable, std::set<uint32_t>& types) {
  types.insert(variable->getType());
  for (const auto& child : variable->getChildren()) collectTypes(child, types);
}

// What both variants share: the control flags, two publish configurations (periodic JSON sets
// with a raw set; on change with only-changed) and two subscribe configurations (JSON, raw).
void expectDemoConfiguration(const ZAL_MQTT_item& item) {
  EXPECT_EQ(item.getBrokerURL(), "localhost");
  EXPECT_EQ(item.getKeepAliveTime(), 10u);
  EXPECT_EQ(item.getTraceLevel(), 3u);
  EXPECT_EQ(item.readActivateConnection(), 1u);
  item.writeConnectedToBroker(1);
  EXPECT_EQ(kalpinproc::getText(kRoot + ".xConnectedToBroker"), "1");
  item.writeConnectedToBroker(0);

  const auto publish = item.getPublishConfigurations();
  ASSERT_EQ(publish.size(), 2u);
  EXPECT_EQ(publish[0]->getPublishPeriodms(), 1000u);
  const auto periodic = publish[0]->getVariableTopicSets();
  ASSERT_EQ(periodic.size(), 3u);
  EXPECT_EQ(periodic[0]->getRaw(), 0u);
  EXPECT_EQ(periodic[0]->getSendOnValueChange(), 0u);
  EXPECT_EQ(periodic[2]->getRaw(), 1u);
  EXPECT_EQ(periodic[2]->getVariables().size(), 1u);

  const auto onChange = publish[1]->getVariableTopicSets();
  ASSERT_EQ(onChange.size(), 1u);
  EXPECT_EQ(onChange[0]->getSendOnValueChange(), 1u);
  EXPECT_EQ(onChange[0]->getSendOnlyChanged(), 1u);
  EXPECT_EQ(onChange[0]->getVariables().size(), 2u);  // Counters and Drive, each partly

  const auto subscribe = item.getSubscribeConfigurations();
  ASSERT_EQ(subscribe.size(), 2u);
  EXPECT_EQ(subscribe[0]->getRaw(), 0u);
  EXPECT_EQ(subscribe[1]->getRaw(), 1u);

  // The periodic sets carry every scalar kind, a string, an array and structs.
  std::set<uint32_t> types;
  for (const auto& set : periodic) {
    for (const auto& variable : set->getVariables()) collectTypes(variable, types);
  }
  for (uint32_t type : {1u,  2u,  3u,  4u,  5u,  6u,  7u,  8u,  9u,  10u, 11u,
                        12u, 13u, 14u, 15u, 16u, 17u, 18u, 19u, 22u, 24u, 25u}) {
    EXPECT_EQ(types.count(type), 1u) << "type " << type;
  }
}

TEST(DemoPlant, PlainTreeBuildsAValidConfiguration) {
  kalpinproc::loadTree(exampleFile("demo-plant.json"));
  ZAL_MQTT_item item(kRoot);
  EXPECT_EQ(item.getBrokerPort(), 1883u);
  EXPECT_EQ(item.getTLS(), nullptr);
  expectDemoConfiguration(item);
}

TEST(DemoPlant, TlsTreeBuildsAValidConfiguration) {
  kalpinproc::loadTree(exampleFile("demo-plant-tls.json"));
  ZAL_MQTT_item item(kRoot);
  EXPECT_EQ(item.getBrokerPort(), 8883u);
  const auto tls = item.getTLS();
  ASSERT_NE(tls, nullptr);
  EXPECT_EQ(tls->getUseCertificateBasedTLS(), 1u);
  EXPECT_EQ(tls->getUsePSKBasedTLS(), 0u);
  EXPECT_FALSE(tls->getCAfilename().empty());
  EXPECT_FALSE(tls->getCertfileName().empty());
  EXPECT_FALSE(tls->getKeyfileName().empty());
  expectDemoConfiguration(item);
}

// The broker port is a plain member that an operator (or the demo script) sets before start.
TEST(DemoPlant, BrokerPortCanBeSetInTheTree) {
  kalpinproc::loadTree(exampleFile("demo-plant.json"));
  kalpinproc::setText(kRoot + ".BrokerPort", "18830");
  kalpinproc::setText(kRoot + ".BrokerURL", "127.0.0.1");
  ZAL_MQTT_item item(kRoot);
  EXPECT_EQ(item.getBrokerPort(), 18830u);
  EXPECT_EQ(item.getBrokerURL(), "127.0.0.1");
}

}  // namespace
