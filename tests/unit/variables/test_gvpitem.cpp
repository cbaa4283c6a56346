// GVPitem: node checks of the constructor, handles kept or closed by type, and the member scan
// that hands matching members to the subclass.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "GVPitem.h"
#include "KalpApi.h"
#include "KalpInproc.h"

namespace {

// A configuration item that records every createChild call.
class RecordingItem : public GVPitem {
 public:
  explicit RecordingItem(std::string fullPath) : GVPitem(std::move(fullPath)) {}
  void createChild(std::string fullPath, unsigned int uiIndex) override {
    if (fullPath == failOn) {
      throw std::runtime_error("child failed");
    }
    calls.emplace_back(std::move(fullPath), uiIndex);
  }
  virtual ~RecordingItem() {}

  uint32_t openHandle() const { return handle; }

  std::vector<std::pair<std::string, unsigned int>> calls;
  std::string failOn;
};

using Calls = std::vector<std::pair<std::string, unsigned int>>;

std::string constructionError(const std::string& path) {
  try {
    RecordingItem item(path);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "(no error)";
}

const char* kTree = R"({"variables": {
  "SYS.Broker": {"type": "STRUCT", "members": {
    "xActivateConnection": {"type": "BOOL", "value": 0},
    "ZAL_MQTT_subscribe:0": {"type": "STRUCT", "members": {}},
    "ZAL_MQTT_publish:12": {"type": "STRUCT", "members": {}},
    "ZAL_MQTT_publish:1a": {"type": "STRUCT", "members": {}},
    "ZAL_MQTT_publish:": {"type": "STRUCT", "members": {}},
    "ZAL_MQTT_publish:3": {"type": "STRUCT", "members": {}, "valid": false},
    "ZAL_MQTT_publish:4": {"type": "STRUCT", "members": {}}
  }},
  "SYS.Empty": {"type": "STRUCT", "members": {}},
  "SYS.Values": {"type": "ARRAY", "elementType": "UINT16", "values": [1, 2]},
  "SYS.Word": {"type": "UINT16", "value": 7},
  "SYS.Long": {"type": 55, "value": 5},
  "SYS.T20": {"type": 20},
  "SYS.T23": {"type": 23},
  "SYS.Str": {"type": "STRING", "value": "x"},
  "SYS.Bad0": {"type": 0},
  "SYS.Bad21": {"type": 21},
  "SYS.Bad26": {"type": 26},
  "SYS.Bad58": {"type": 58},
  "SYS.Bad991": {"type": 991}
}})";

class GVPitemTest : public ::testing::Test {
 protected:
  void SetUp() override { kalpinproc::loadTree(kTree); }
};

TEST_F(GVPitemTest, ConstructorErrorTexts) {
  kalpinproc::setFault("SYS.Word", "open", 0x81000504);
  kalpinproc::setFault("SYS.Str", "type", 0x81000005);
  // clang-format off
  const std::vector<std::pair<std::string, std::string>> cases = {
    // path            expected text (line feed where the item's texts carry one)
    {"",               "GVPitem name is empty!"},
    {"SYS.Missing",    "Error: open variable handle result is: 0x81000501 for node SYS.Missing\n"},
    {"SYS.Word",       "Error: open variable handle result is: 0x81000504 for node SYS.Word\n"},
    {"SYS.Str",        "Error: get element type result is: 0x81000005 for node SYS.Str\n"},
    {"SYS.Bad0",       "GVPitem constructor error: invalid or unknown GVP element type 0x0 of node SYS.Bad0.\n"},
    {"SYS.Bad21",      "GVPitem constructor error: invalid or unknown GVP element type 0x15 of node SYS.Bad21.\n"},
    {"SYS.Bad26",      "GVPitem constructor error: invalid or unknown GVP element type 0x1a of node SYS.Bad26.\n"},
    {"SYS.Bad58",      "GVPitem constructor error: invalid or unknown GVP element type 0x3a of node SYS.Bad58.\n"},
    {"SYS.Bad991",     "GVPitem constructor error: invalid or unknown GVP element type 0x3df of node SYS.Bad991.\n"},
  };
  // clang-format on
  for (const auto& [path, expected] : cases) {
    EXPECT_EQ(constructionError(path), expected) << path;
  }
}

TEST_F(GVPitemTest, FailedConstructionLeavesNoHandleOpen) {
  const size_t before = kalpinproc::openHandleCount();
  kalpinproc::setFault("SYS.Str", "type", 0x81000005);
  EXPECT_NE(constructionError("SYS.Str"), "(no error)");
  EXPECT_NE(constructionError("SYS.Bad21"), "(no error)");
  EXPECT_EQ(kalpinproc::openHandleCount(), before);
}

TEST_F(GVPitemTest, ScalarKeepsItsHandleAndStructuredNodeClosesIt) {
  const size_t before = kalpinproc::openHandleCount();
  for (const char* path : {"SYS.Word", "SYS.Long", "SYS.T20", "SYS.T23", "SYS.Str"}) {
    RecordingItem item(path);
    uint32_t type = 0;
    EXPECT_EQ(KalpApiVarGetType(item.openHandle(), &type), KALPAPI_OK) << path;
    EXPECT_EQ(type, item.getType()) << path;
    EXPECT_EQ(item.getName(), path);
    EXPECT_EQ(kalpinproc::openHandleCount(), before + 1) << path;
  }
  EXPECT_EQ(kalpinproc::openHandleCount(), before) << "destructor closes the handle";

  for (const char* path : {"SYS.Broker", "SYS.Values", "SYS.Empty"}) {
    RecordingItem item(path);
    EXPECT_EQ(item.openHandle(), 0u) << path;
    EXPECT_EQ(kalpinproc::openHandleCount(), before) << path;
  }
}

TEST_F(GVPitemTest, ScanCallsCreateChildForWholeNameMatchesInPatternOrder) {
  RecordingItem broker("SYS.Broker");
  broker.addChildPattern("ZAL_MQTT_subscribe:\\d+");
  broker.addChildPattern("ZAL_MQTT_publish:\\d+");
  broker.addChildPattern("ZAL_MQTT_(publish|subscribe):[04]");
  broker.scanChildren();
  const Calls expected = {
      {"SYS.Broker.ZAL_MQTT_subscribe:0", 0}, {"SYS.Broker.ZAL_MQTT_subscribe:0", 2},
      {"SYS.Broker.ZAL_MQTT_publish:12", 1},  {"SYS.Broker.ZAL_MQTT_publish:4", 1},
      {"SYS.Broker.ZAL_MQTT_publish:4", 2},
  };
  EXPECT_EQ(broker.calls, expected);
  EXPECT_EQ(kalpinproc::openDirCount(), 0u);
}

TEST_F(GVPitemTest, ScanWithoutPatternsOrMembersCallsNothing) {
  RecordingItem noPatterns("SYS.Broker");
  noPatterns.scanChildren();
  EXPECT_TRUE(noPatterns.calls.empty());

  RecordingItem empty("SYS.Empty");
  empty.addChildPattern(".*");
  empty.scanChildren();
  EXPECT_TRUE(empty.calls.empty());
  EXPECT_EQ(kalpinproc::openDirCount(), 0u);
}

TEST_F(GVPitemTest, ScanOfArrayUsesTheElementSeparator) {
  RecordingItem values("SYS.Values");
  values.addChildPattern("\\[\\d+\\]");
  values.scanChildren();
  EXPECT_EQ(values.calls, (Calls{{"SYS.Values[0]", 0}, {"SYS.Values[1]", 0}}));
}

TEST_F(GVPitemTest, ScanErrors) {
  RecordingItem word("SYS.Word");
  word.addChildPattern(".*");
  try {
    word.scanChildren();
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "SYS.Word is not a directory, array or struct.\n");
  }

  kalpinproc::setFault("SYS.Broker", "opendir", 0x81000504);
  RecordingItem broker("SYS.Broker");
  broker.addChildPattern(".*");
  try {
    broker.scanChildren();
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "GVPitem::GVPitem(SYS.Broker) has KalpApi access error 0x81000504.\n");
  }
  EXPECT_TRUE(broker.calls.empty());
}

TEST_F(GVPitemTest, FailedReadOfDirectoryEndsTheScanQuietly) {
  kalpinproc::setFault("SYS.Broker", "readdir", 0x81000003);
  RecordingItem broker("SYS.Broker");
  broker.addChildPattern(".*");
  EXPECT_NO_THROW(broker.scanChildren());
  EXPECT_TRUE(broker.calls.empty());
  EXPECT_EQ(kalpinproc::openDirCount(), 0u);
}

TEST_F(GVPitemTest, ChildFailureLeavesTheScanAndClosesTheDirectory) {
  RecordingItem broker("SYS.Broker");
  broker.addChildPattern("ZAL_MQTT_publish:\\d+");
  broker.failOn = "SYS.Broker.ZAL_MQTT_publish:12";
  EXPECT_THROW(broker.scanChildren(), std::runtime_error);
  EXPECT_TRUE(broker.calls.empty());
  EXPECT_EQ(kalpinproc::openDirCount(), 0u);
}

}  // namespace
