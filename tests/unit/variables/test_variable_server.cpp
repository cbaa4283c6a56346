// readVariableByName and waitForVariableServer over the in-process store.
#include <KalpApi.h>
#include <KalpInproc.h>
#include <gtest/gtest.h>

#include "VariableServer.h"

namespace {

class VariableServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kalpinproc::loadTree(R"({"deviceState": 300, "variables": {
      "APPL.P.U32": {"type": "UINT32", "value": 4000000000},
      "APPL.P.U8": {"type": "UINT8", "value": 9},
      "stronzo": {"type": "UINT8"}}})");
    setVariableServerPause([this] {
      ++pauses;
      if (onPause) onPause(pauses);
    });
  }
  void TearDown() override { setVariableServerPause(nullptr); }

  int pauses = 0;
  std::function<void(int)> onPause;
};

}  // namespace

TEST_F(VariableServerTest, ReadVariableByNameReturnsTheFirstFailureAndAlwaysCloses) {
  struct Case {
    const char* path;
    const char* faultOp;
    uint32_t fault;
    uint16_t size;
    uint32_t expected;
  };
  // clang-format off
  const Case cases[] = {
    {"APPL.P.U32",  nullptr, 0,                           4, KALPAPI_OK},
    {"APPL.P.Nope", nullptr, 0,                           4, KALPAPI_E_NOT_FOUND},
    {"APPL.P.U32",  "open",  KALPAPI_E_ACCESS_DENIED,     4, KALPAPI_E_ACCESS_DENIED},
    {"APPL.P.U32",  "read",  KALPAPI_E_NO_COMMUNICATION,  4, KALPAPI_E_NO_COMMUNICATION},
    {"APPL.P.U8",   nullptr, 0,                           4, KALPAPI_E_INVALID_PARAMETER},  // 4 bytes from a UINT8
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.path) + (c.faultOp ? std::string(" fault ") + c.faultOp : ""));
    if (c.faultOp) kalpinproc::setFault(c.path, c.faultOp, c.fault);
    uint32_t value = 0;
    EXPECT_EQ(readVariableByName(c.path, &value, c.size), c.expected);
    if (c.expected == KALPAPI_OK) {
      EXPECT_EQ(value, 4000000000u);
    }
    EXPECT_EQ(kalpinproc::openHandleCount(), 0u);
    if (c.faultOp) kalpinproc::setFault(c.path, c.faultOp, 0);
  }
}

TEST_F(VariableServerTest, WaitReturnsAtOnceWhenServerAndDeviceAreReady) {
  EXPECT_EQ(waitForVariableServer(), KALPAPI_OK);
  EXPECT_EQ(pauses, 1);                          // the pause before the first poll
  EXPECT_EQ(kalpinproc::openHandleCount(), 0u);  // the probe's handle is not kept
}

TEST_F(VariableServerTest, WaitRetriesWhileUnreachableThenPollsUntilRunning) {
  kalpinproc::setFault("stronzo", "open", KALPAPI_E_NO_COMMUNICATION);
  kalpinproc::setDeviceState(200);
  onPause = [](int n) {
    if (n == 4) kalpinproc::setFault("stronzo", "open", 0);  // reachable from the fifth attempt
    if (n == 9) kalpinproc::setDeviceState(300);             // running at the fifth poll
  };
  EXPECT_EQ(waitForVariableServer(), KALPAPI_OK);
  EXPECT_EQ(pauses, 9);  // 4 after unreachable attempts, 5 before polls
}

TEST_F(VariableServerTest, WaitGivesUpAfterTenAttemptsAndSixtyPolls) {
  kalpinproc::setFault("stronzo", "open", KALPAPI_E_NO_COMMUNICATION);
  kalpinproc::setDeviceState(0);
  EXPECT_EQ(waitForVariableServer(), KALPAPI_E_NO_COMMUNICATION);
  EXPECT_EQ(pauses, 70);

  // Any answer but "no communication" ends the first phase at once.
  kalpinproc::setFault("stronzo", "open", KALPAPI_E_ACCESS_DENIED);
  pauses = 0;
  EXPECT_EQ(waitForVariableServer(), KALPAPI_E_NO_COMMUNICATION);
  EXPECT_EQ(pauses, 60);
}

TEST_F(VariableServerTest, DeviceRunningAtTheLastPollIsReady) {
  kalpinproc::setDeviceState(200);
  onPause = [](int n) {
    if (n == 60) kalpinproc::setDeviceState(300);
  };
  EXPECT_EQ(waitForVariableServer(), KALPAPI_OK);
  EXPECT_EQ(pauses, 60);
}
