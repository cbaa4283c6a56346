// The demo plant tree files of examples/ load into the variable store and give a valid
// configuration: the plain one and its TLS variant. The README's configuration reference names
// exactly the members the configuration classes read.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "GVPvariable.h"
#include "KalpInproc.h"
#include "Trace.h"
#include "ZAL_MQTT_item.h"

namespace {

const std::string kRoot = "SYS.CAT.Application.ZAL_Cloud:0.ZAL_MQTT:0";

std::string topFolder() {
  const std::string here = __FILE__;  // .../tests/unit/config/test_config_examples.cpp
  return here.substr(0, here.rfind("/tests/unit/"));
}

std::string fileText(const std::string& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in) << "cannot open " << path;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string exampleFile(const std::string& name) { return fileText(topFolder() + "/examples/" + name); }

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

// Each member name of the configuration reference's tables ("| `<root>.uiQoS` |", "| `.xRaw` |",
// "| `.variable:0` |") against each member the configuration classes read ("+ \"uiQoS\"",
// "getName() + \".xRetain\"", "getName(), \".xErrorRetry\"", "addChildPattern(\"VariableTopicSet:"),
// indexed names without their index. A member added to the code without a row, or a row whose
// member the code does not read, fails here.
TEST(ConfigurationReference, NamesExactlyTheMembersTheCodeReads) {
  std::set<std::string> documented;
  const std::regex row(R"re(^\| `(?:<root>)?\.([A-Za-z][A-Za-z0-9_]*)(?::[^`]*)?`)re");
  std::istringstream readme(fileText(topFolder() + "/README.md"));
  bool inReference = false;
  for (std::string line; std::getline(readme, line);) {
    if (line.rfind("## ", 0) == 0) inReference = line == "## Configuration reference";
    std::smatch match;
    if (inReference && std::regex_search(line, match, row)) documented.insert(match[1]);
  }

  std::set<std::string> read;
  const std::regex member(R"re((?:\+ |getName\(\), )"\.?([A-Za-z][A-Za-z0-9_]*)(?::\d*)?")re");
  const std::regex child(R"re(addChildPattern\("([A-Za-z_]+):)re");
  for (const auto& entry : std::filesystem::directory_iterator(topFolder() + "/src/config")) {
    if (entry.path().extension() != ".cpp") continue;
    const std::string code = fileText(entry.path().string());
    for (const std::regex* pattern : {&member, &child})
      for (std::sregex_iterator it(code.begin(), code.end(), *pattern), end; it != end; ++it)
        read.insert((*it)[1]);
  }
  EXPECT_GT(documented.size(), 30u);
  std::string onlyDocumented, onlyRead;
  for (const std::string& name : documented)
    if (!read.count(name)) onlyDocumented += " " + name;
  for (const std::string& name : read)
    if (!documented.count(name)) onlyRead += " " + name;
  EXPECT_EQ(onlyDocumented, "") << "documented, but not read by src/config";
  EXPECT_EQ(onlyRead, "") << "read by src/config, but not in the configuration reference";
}

}  // namespace
