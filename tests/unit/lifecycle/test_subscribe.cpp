// Tests of the subscribe path: the message callback's bounded queue and the subscribe worker,
// over a configuration in the in-process variable store. Messages are handed to the callback as
// the MQTT library would hand them; the worker runs on its own thread as in the service.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "FaultProbe.h"
#include "GVPvariable.h"
#include "KalpApi.h"
#include "KalpInproc.h"
#include "MainThreadPost.h"
#include "SubscribePath.h"
#include "Trace.h"
#include "TraceLines.h"
#include "ZAL_MQTT_item.h"
#include "ZAL_MQTT_lifecycle.h"
#include "ZAL_MQTT_stateMachine.h"

namespace {

const std::string kRoot = "SYS.CAT.Application.ZAL_Cloud:0.ZAL_MQTT:0";

std::string u32(uint32_t value) { return R"({"type": "UINT32", "value": )" + std::to_string(value) + "}"; }
std::string text(const std::string& value) { return R"({"type": "STRING", "value": ")" + value + "\"}"; }

// One subscribe configuration: topic filter, raw flag, configured variable names.
struct Subscription {
  std::string topic;
  bool raw;
  std::vector<std::string> variables;
};

// Loads a tree with the process variables U1..U3 (UINT32), S1 (STRING) and Drive (struct), and a
// broker configuration with the given subscribe configurations and queue limit; builds the
// configuration object from it.
std::shared_ptr<ZAL_MQTT_item> loadConfiguration(const std::vector<Subscription>& subscriptions,
                                                 uint32_t limitKB = 1024) {
  std::ostringstream json;
  auto member = [&](const std::string& path, const std::string& node) {
    json << ",\n\"" << path << "\": " << node;
  };
  json << R"({"deviceState": 300, "variables": {"APPL.App.U1": )" << u32(0);
  member("APPL.App.U2", u32(0));
  member("APPL.App.U3", u32(0));
  member("APPL.App.S1", text(""));
  member("APPL.App.Drive", R"({"type": "STRUCT", "members": {"Speed": {"type": "REAL", "value": 0},
                               "Mode": {"type": "UINT32", "value": 0}}})");
  const std::string r = kRoot + ".";
  member(r + "ApplicationName", text("App"));
  member(r + "strClientID", text("client-1"));
  member(r + "xConnectedToBroker", u32(0));
  member(r + "xErrorRetry", u32(0));
  member(r + "BrokerURL", text("localhost"));
  member(r + "BrokerPort", u32(1883));
  member(r + "keepAliveTime", u32(10));
  member(r + "xCleanSession", u32(1));
  member(r + "xUseUserAuthentication", u32(0));
  member(r + "xActivateConnection", u32(1));
  member(r + "uiTraceLevel", u32(3));
  member(r + "uiSubscribeQueueMemLimitKB", u32(limitKB));
  for (size_t i = 0; i < subscriptions.size(); ++i) {
    const std::string s = r + "ZAL_MQTT_subscribe:" + std::to_string(i) + ".";
    member(s + "topic", text(subscriptions[i].topic));
    member(s + "xRaw", u32(subscriptions[i].raw ? 1 : 0));
    for (size_t v = 0; v < subscriptions[i].variables.size(); ++v) {
      member(s + "variable:" + std::to_string(v), text(subscriptions[i].variables[v]));
    }
  }
  json << "\n}}";
  kalpinproc::loadTree(json.str());
  return std::make_shared<ZAL_MQTT_item>(kRoot);
}

// Hands a message to the callback as the network thread does.
void deliver(const std::string& topic, const std::string& payload) {
  mosquitto_message message{};
  message.mid = 1;
  message.topic = const_cast<char*>(topic.c_str());
  message.payload = payload.empty() ? nullptr : const_cast<char*>(payload.data());
  message.payloadlen = static_cast<int>(payload.size());
  callback_on_message(nullptr, nullptr, &message);
}

size_t queueLength() {
  std::lock_guard<std::mutex> lock(subscribeQueueMutex);
  return subscribeQueue.size();
}
uint32_t queueBytes() {
  std::lock_guard<std::mutex> lock(subscribeQueueMutex);
  return subscribeQueueBytes;
}
// Releases every queued message and zeroes the count (between tests).
void clearQueue() {
  std::lock_guard<std::mutex> lock(subscribeQueueMutex);
  for (mosquitto_message* message : subscribeQueue) releaseSubscribeMessage(message);
  subscribeQueue.clear();
  subscribeQueueBytes = 0;
}

template <class Condition>
bool waitFor(Condition condition, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A subscribe worker on its own thread, started and stopped as the connected state does.
class Worker {
 public:
  void start() {
    subscribeRunning = 1;
    thread_ = std::thread(subscribeWorker);
  }
  void stop() {
    subscribeRunning = 0;
    wakeSubscribeWorker();
    if (thread_.joinable()) thread_.join();
  }
  // Lets a worker take every queued message, then stops it: when the queue is empty the last
  // message has been taken, and the worker checks the flag only after processing it.
  void runUntilQueueEmpty() {
    start();
    ASSERT_TRUE(waitFor([] { return queueLength() == 0; }));
    stop();
  }
  ~Worker() {
    if (thread_.joinable()) stop();
  }

 private:
  std::thread thread_;
};

size_t countLine(const std::vector<std::string>& lines, const std::string& line) {
  size_t n = 0;
  for (const auto& l : lines) n += (l == line);
  return n;
}

class SubscribeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GVPvariable::setMemberPause(std::chrono::microseconds(0));
    setTraceLevel(0);
    clearQueue();
  }
  void TearDown() override {
    setConfiguration(nullptr);
    clearQueue();
  }
  void use(const std::vector<Subscription>& subscriptions, uint32_t limitKB = 1024) {
    setTraceLevel(0);
    setConfiguration(loadConfiguration(subscriptions, limitKB));
  }
  // Runs body with the trace at level 4 and returns the lines it wrote.
  template <class Body>
  std::vector<std::string> traced(Body body) {
    setTraceLevel(4);
    testing::internal::CaptureStderr();
    body();
    setTraceLevel(0);
    return traceBodies(testing::internal::GetCapturedStderr());
  }
};

TEST_F(SubscribeTest, QueueLimitAllowsEqualityDropsBeyondAndIsReadForEveryMessage) {
  use({{"in", false, {"U1"}}}, 1);
  const auto lines = traced([] {
    deliver("in", std::string(1024, 'x'));
    deliver("in", "y");
  });
  EXPECT_EQ(
      lines,
      (std::vector<std::string>{
          "Enqueueing subscribe message. 1 subscribe messages in queue currently occupy 1024 bytes of RAM.",
          "size of subscribe message queue will exceed 1 kB RAM. Dropped message."}));
  EXPECT_EQ(queueLength(), 1u);
  EXPECT_EQ(queueBytes(), 1024u);

  // A new configuration with a larger limit applies to the very next message.
  use({{"in", false, {"U1"}}}, 2);
  deliver("in", "y");
  EXPECT_EQ(queueLength(), 2u);
  EXPECT_EQ(queueBytes(), 1025u);

  // Without a configuration object the default limit of 1024 kB holds.
  setConfiguration(nullptr);
  deliver("in", std::string(1024 * 1024 - 1025, 'z'));
  deliver("in", "!");
  EXPECT_EQ(queueLength(), 3u);
  EXPECT_EQ(queueBytes(), 1024u * 1024u);

  // The callback leaves the thread's cancellation state as it found it.
  int state = -1;
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &state);
  EXPECT_EQ(state, PTHREAD_CANCEL_ENABLE);
}

TEST_F(SubscribeTest, ByteCountStaysExactWhenResetWhileMessagesWait) {
  use({{"in", true, {"U1"}}}, 1);
  deliver("in", std::string(10, '1'));
  deliver("in", std::string(20, '2'));
  deliver("in", std::string(970, '3'));
  ASSERT_EQ(queueBytes(), 1000u);

  // The connection set-up's reset counts the waiting payloads instead of forgetting them, so
  // the limit still holds and a later dequeue cannot wrap the count around.
  resetSubscribeQueueBytes();
  EXPECT_EQ(queueBytes(), 1000u);
  deliver("in", std::string(100, '4'));
  EXPECT_EQ(queueLength(), 3u);

  Worker worker;
  const auto lines = traced([&] { worker.runUntilQueueEmpty(); });
  std::vector<std::string> dequeues;
  for (const auto& line : lines) {
    if (line.rfind("Dequeuing", 0) == 0 || line.rfind("Processing last", 0) == 0) dequeues.push_back(line);
  }
  // (A last line for the wake-up message may follow.)
  ASSERT_GE(dequeues.size(), 3u);
  dequeues.resize(3);
  EXPECT_EQ(
      dequeues,
      (std::vector<std::string>{
          "Dequeuing subscribe message. 2 subscribe messages in queue currently occupy 990 bytes of RAM.",
          "Dequeuing subscribe message. 1 subscribe messages in queue currently occupy 970 bytes of RAM.",
          "Processing last subscribe message in queue."}));
  // The wake-up message may be left queued; it carries no bytes.
  EXPECT_EQ(queueBytes(), 0u);

  clearQueue();
  resetSubscribeQueueBytes();
  EXPECT_EQ(queueBytes(), 0u);
}

TEST_F(SubscribeTest, MessageGoesToTheFirstMatchingConfigurationOnly) {
  use({{"plant/+/speed", true, {"U1"}},
       {"plant/line1/speed", true, {"U2"}},
       {"plant/#", true, {"U3"}},
       {"json/in", false, {"U1", "Drive"}}});
  struct Case {
    std::string topic, payload;
    uint32_t u1, u2, u3;
  };
  // clang-format off
  const std::vector<Case> cases = {
      // topic                payload   U1  U2  U3   (after the message)
      {"plant/line1/speed",   "11",     11,  0,  0},  // first of three matching filters
      {"plant/line2/speed",   "12",     12,  0,  0},  // + matches one level
      {"plant/line1/temp",    "13",     12,  0, 13},  // only the # filter matches
      {"plant/a/b/speed",     "14",     12,  0, 14},  // + does not match two levels
      {"other/line1/speed",   "15",     12,  0, 14},  // matches nothing: discarded
  };
  // clang-format on
  Worker worker;
  for (const auto& c : cases) {
    const auto lines = traced([&] {
      deliver(c.topic, c.payload);
      worker.runUntilQueueEmpty();
    });
    EXPECT_EQ(kalpinproc::getText("APPL.App.U1"), std::to_string(c.u1)) << c.topic;
    EXPECT_EQ(kalpinproc::getText("APPL.App.U2"), std::to_string(c.u2)) << c.topic;
    EXPECT_EQ(kalpinproc::getText("APPL.App.U3"), std::to_string(c.u3)) << c.topic;
    EXPECT_EQ(countLine(lines, "Error: could not parse and/or transfer subscribe message payload."), 0u)
        << c.topic;
  }

  // JSON goes through the payload decoder into the configuration's variable trees.
  deliver("json/in", R"({"U1": 99, "Drive": {"Speed": 2.5, "Mode": 3}})");
  worker.runUntilQueueEmpty();
  EXPECT_EQ(kalpinproc::getText("APPL.App.U1"), "99");
  EXPECT_EQ(kalpinproc::getText("APPL.App.Drive.Speed"), "2.5");
  EXPECT_EQ(kalpinproc::getText("APPL.App.Drive.Mode"), "3");
}

TEST_F(SubscribeTest, ConcurrentDeliveryIsWrittenInArrivalOrder) {
  use({{"in", true, {"U1"}}});
  Worker worker;
  worker.start();
  // The network thread's part, on a thread of its own while the worker takes messages out.
  std::thread network([] {
    for (int i = 1; i <= 2000; ++i) deliver("in", std::to_string(i));
  });
  network.join();
  ASSERT_TRUE(waitFor([] { return kalpinproc::getText("APPL.App.U1") == "2000"; }));
  worker.stop();
  EXPECT_EQ(kalpinproc::getText("APPL.App.U1"), "2000");  // nothing older came after it
  EXPECT_EQ(queueBytes(), 0u);
}

TEST_F(SubscribeTest, PayloadIsCutAtTheFirstNul) {
  use({{"raw", true, {"S1"}}, {"json", false, {"U1"}}});
  deliver("raw", std::string("ab\0cd", 5));
  deliver("json", std::string("{\"U1\": 5}\0{\"U1\": 6}", 19));
  Worker worker;
  const auto lines = traced([&] { worker.runUntilQueueEmpty(); });
  EXPECT_EQ(kalpinproc::getText("APPL.App.S1"), "ab");
  EXPECT_EQ(kalpinproc::getText("APPL.App.U1"), "5");
  EXPECT_EQ(countLine(lines, "Error: could not parse and/or transfer subscribe message payload."), 0u);
}

TEST_F(SubscribeTest, FailedTransfersAreReportedWithTheirTopic) {
  use({{"json/in", false, {"U1", "U2"}}, {"raw/in", true, {"U3"}}});
  kalpinproc::setFault("APPL.App.U2", "write", KALPAPI_E_ACCESS_DENIED);
  struct Case {
    const char* what;
    std::string topic, payload;
  };
  const std::vector<Case> cases = {
      {"empty JSON payload", "json/in", ""},
      {"empty raw payload", "raw/in", ""},
  };
  Worker worker;
  for (const auto& c : cases) {
    const auto lines = traced([&] {
      deliver(c.topic, c.payload);
      worker.runUntilQueueEmpty();
    });
    const std::string error = "Error: could not parse and/or transfer subscribe message payload.";
    const std::string affected = "Affected topic is " + c.topic + ".";
    auto at = std::find(lines.begin(), lines.end(), error);
    ASSERT_NE(at, lines.end()) << c.what;
    ASSERT_NE(at + 1, lines.end()) << c.what;
    EXPECT_EQ(*(at + 1), affected) << c.what;
    EXPECT_EQ(countLine(lines, error), 1u) << c.what;
  }
  // A write the variable server refuses skips only its member, with a line naming it; the payload
  // is no failed transfer. The raw variable saw nothing.
  const auto lines = traced([&] {
    deliver("json/in", R"({"U2": 5, "U1": 4})");
    worker.runUntilQueueEmpty();
  });
  EXPECT_EQ(countLine(lines, "Error: could not parse and/or transfer subscribe message payload."), 0u);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) {
                            return line.rfind("DOMtoGVP(): APPL.App.U2 not written, skipping this JSON member: ", 0) == 0;
                          }),
            1);
  EXPECT_EQ(kalpinproc::getText("APPL.App.U1"), "4");
  EXPECT_EQ(kalpinproc::getText("APPL.App.U3"), "0");
}

TEST_F(SubscribeTest, RawWriteFailureIsReportedOnceUntilASuccess) {
  use({{"r1", true, {"U1"}}, {"r2", true, {"U2"}}});
  const std::string warning = "Warning: last raw write to 'APPL.App.U1' failed with state: 0x" +
                              hexString(KALPAPI_E_INVALID_PARAMETER);
  Worker worker;
  auto lines = traced([&] {
    for (const char* payload : {"not a number", "x", "y"}) deliver("r1", payload);
    deliver("r1", "7");
    deliver("r1", "bad");
    deliver("r2", "8");  // the flag is the thread's, not the variable's
    worker.runUntilQueueEmpty();
  });
  std::vector<std::string> rawLines;
  for (const auto& line : lines) {
    if (line.rfind("Warning: last raw write", 0) == 0 || line.rfind("Raw write to", 0) == 0)
      rawLines.push_back(line);
  }
  EXPECT_EQ(rawLines, (std::vector<std::string>{warning, "Raw write to 'APPL.App.U1' is ok, again.", warning,
                                                "Raw write to 'APPL.App.U2' is ok, again."}));
  EXPECT_EQ(kalpinproc::getText("APPL.App.U1"), "7");
  EXPECT_EQ(kalpinproc::getText("APPL.App.U2"), "8");

  // A failure with the trace off still sets the thread's flag (raw write called directly).
  const auto u1 = std::make_shared<GVPvariable>("APPL.App.", "U1", false);
  EXPECT_NE(subscribeRawWrite(u1, "bad"), 0u);
  lines = traced([&] { EXPECT_EQ(subscribeRawWrite(u1, "10"), 0u); });
  EXPECT_EQ(lines, (std::vector<std::string>{"Raw write to 'APPL.App.U1' is ok, again."}));

  // A new worker thread starts without the flag, whatever the last one ended with.
  deliver("r1", "bad");
  worker.runUntilQueueEmpty();
  lines = traced([&] {
    deliver("r1", "9");
    worker.runUntilQueueEmpty();
  });
  EXPECT_EQ(countLine(lines, "Raw write to 'APPL.App.U1' is ok, again."), 0u);
  EXPECT_EQ(kalpinproc::getText("APPL.App.U1"), "9");
}

TEST_F(SubscribeTest, WorkerWakesOnTheEmptyMessageAndLeavesTheRestQueued) {
  use({{"in", true, {"U1"}}});
  // The worker has written the message and gone back to wait on an empty queue: only the
  // wake-up message can end it, and the join must return.
  Worker worker;
  auto lines = traced([&] {
    worker.start();
    deliver("in", "20");
    ASSERT_TRUE(waitFor([] { return kalpinproc::getText("APPL.App.U1") == "20"; }));
    worker.stop();
  });
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(countLine(lines, "subscribe thread started.."), 1u);
  EXPECT_EQ(lines.back(), "end subscribe thread.");
  EXPECT_LE(queueLength(), 1u);  // at most the wake-up message, if the flag was seen first
  EXPECT_EQ(queueBytes(), 0u);
  clearQueue();

  // A worker whose connected period ended before it looked at the queue leaves the messages
  // for the next one.
  deliver("in", "21");
  subscribeRunning = 0;
  std::thread early(subscribeWorker);
  early.join();
  EXPECT_EQ(queueLength(), 1u);
  EXPECT_EQ(kalpinproc::getText("APPL.App.U1"), "20");
  worker.runUntilQueueEmpty();
  EXPECT_EQ(kalpinproc::getText("APPL.App.U1"), "21");
}

TEST_F(SubscribeTest, MissingConfigurationEndsTheWorkerPostsErrorAndKeepsTheMessage) {
  setTraceLevel(0);
  deliver("in", "abc");
  subscribeRunning = 1;
  const auto lines = traced([] {
    std::thread worker(subscribeWorker);
    worker.join();  // ends by itself, without a wake-up
  });
  subscribeRunning = 0;
  EXPECT_EQ(countLine(lines, "Error: subscribe thread started without valid MQTT configuration object!"), 1u);
  EXPECT_EQ(lines.back(), "end subscribe thread.");
  EXPECT_EQ(queueLength(), 1u);
  EXPECT_EQ(queueBytes(), 3u);

  // The posted job is the error event: run it on a fresh machine in a child process (in the
  // machine's first state the event is a fault, which the probe expects).
  const std::string out = runExpectingFault([] {
    dup2(STDOUT_FILENO, STDERR_FILENO);
    setTraceLevel(1);
    ZAL_MQTT_stateMachine machine;
    mainThreadJobs.runNext(machine, std::chrono::milliseconds(100));
  });
  EXPECT_NE(out.find("     external event: error\n"), std::string::npos) << out;
}

}  // namespace
