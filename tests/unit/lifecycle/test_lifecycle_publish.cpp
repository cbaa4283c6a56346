// The publish worker over the in-process store with a client that has no connection: which
// results and read statuses it traces, and that each is traced once per run, not per period;
// what an on-change set publishes after a change test that failed part way.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "GVPvariable.h"
#include "KalpInproc.h"
#include "OfflineBuffer.h"
#include "Trace.h"
#include "ZAL_MQTT_item.h"
#include "ZAL_MQTT_lifecycle.h"

namespace {

using namespace std::chrono_literals;

// Collects what is written to standard error (the trace) line by line while it lives.
class StderrLines {
 public:
  StderrLines() {
    std::fflush(stderr);
    saved_ = dup(2);
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    dup2(fds[1], 2);
    close(fds[1]);
    readFd_ = fds[0];
    reader_ = std::thread([this] { readLoop(); });
  }
  ~StderrLines() {
    std::fflush(stderr);
    dup2(saved_, 2);  // closes the pipe's last write end: the reader sees the end
    close(saved_);
    reader_.join();
    close(readFd_);
  }
  // Waits until a line containing text has been written at or after line from; its index.
  std::optional<size_t> waitFor(const std::string& text, size_t from = 0,
                                std::chrono::seconds timeout = 30s) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<size_t> found;
    changed_.wait_for(lock, timeout, [&] {
      for (size_t i = from; i < lines_.size(); ++i)
        if (lines_[i].find(text) != std::string::npos) return found = i, true;
      return false;
    });
    return found;
  }
  size_t count(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const std::string& line : lines_) n += line.find(text) != std::string::npos;
    return n;
  }
  std::string all() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text;
    for (const std::string& line : lines_) text += line + "\n";
    return text;
  }

 private:
  void readLoop() {
    std::string partial;
    char buffer[4096];
    ssize_t got;
    while ((got = read(readFd_, buffer, sizeof buffer)) > 0) {
      partial.append(buffer, static_cast<size_t>(got));
      size_t newline;
      std::lock_guard<std::mutex> lock(mutex_);
      while ((newline = partial.find('\n')) != std::string::npos) {
        lines_.push_back(partial.substr(0, newline));
        partial.erase(0, newline + 1);
      }
      changed_.notify_all();
    }
  }
  int saved_ = -1, readFd_ = -1;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::thread reader_;
};

const char* const kRoot = "SYS.CAT.Application.ZAL_Cloud:0.ZAL_MQTT:0";

std::string tree() {
  auto set = [](const std::string& topic, int raw, int onChange, const std::string& variable) {
    return "{\"type\": \"STRUCT\", \"members\": {\"topic\": {\"type\": \"STRING\", \"value\": \"" + topic +
           "\"}, \"xRaw\": {\"type\": \"UINT32\", \"value\": " + std::to_string(raw) +
           "}, \"xSendOnValueChange\": {\"type\": \"UINT32\", \"value\": " + std::to_string(onChange) +
           "}, \"xSendOnlyChanged\": {\"type\": \"UINT32\", \"value\": 0}, \"variable:0\": {\"type\": "
           "\"STRING\", "
           "\"value\": \"" +
           variable + "\"}}}";
  };
  return std::string("{\"deviceState\": 300, \"variables\": {") +
         "\"APPL.Plant\": {\"type\": \"DIRECTORY\", \"members\": {"
         "\"Count\": {\"type\": \"UINT32\", \"value\": 7},"
         "\"Other\": {\"type\": \"UINT32\", \"value\": 1},"
         "\"Status\": {\"type\": \"STRING\", \"value\": \"Running\"}}},"
         "\"" +
         kRoot +
         "\": {\"type\": \"STRUCT\", \"members\": {"
         "\"ApplicationName\": {\"type\": \"STRING\", \"value\": \"Plant\"},"
         "\"strClientID\": {\"type\": \"STRING\", \"value\": \"unit\"},"
         "\"xConnectedToBroker\": {\"type\": \"UINT32\", \"value\": 0},"
         "\"xErrorRetry\": {\"type\": \"UINT32\", \"value\": 0},"
         "\"BrokerURL\": {\"type\": \"STRING\", \"value\": \"127.0.0.1\"},"
         "\"BrokerPort\": {\"type\": \"UINT32\", \"value\": 1883},"
         "\"keepAliveTime\": {\"type\": \"UINT32\", \"value\": 10},"
         "\"xCleanSession\": {\"type\": \"UINT32\", \"value\": 1},"
         "\"xUseUserAuthentication\": {\"type\": \"UINT32\", \"value\": 0},"
         "\"xActivateConnection\": {\"type\": \"UINT32\", \"value\": 0},"
         "\"uiTraceLevel\": {\"type\": \"UINT32\", \"value\": 1},"
         "\"ZAL_MQTT_publish:0\": {\"type\": \"STRUCT\", \"members\": {"
         "\"uiPublishPeriodms\": {\"type\": \"UINT32\", \"value\": 5},"
         "\"VariableTopicSet:0\": " +
         set("t/json", 0, 0, "Count") + "," + "\"VariableTopicSet:1\": " + set("t/raw", 1, 0, "Status") +
         "," + "\"VariableTopicSet:2\": " + set("t/utf8", 0, 0, "Count") + "," +
         "\"VariableTopicSet:3\": " + set("t/change", 0, 1, "Other") + "}}}}}}";
}

class PublishWorker : public ::testing::Test {
 protected:
  void SetUp() override {
    GVPvariable::setMemberPause(std::chrono::microseconds(0));
    kalpinproc::loadTree(tree());
    // A topic that is not valid UTF-8 (0xC3 followed by '(').
    kalpinproc::setRaw(std::string(kRoot) + ".ZAL_MQTT_publish:0.VariableTopicSet:2.topic",
                       {'t', '/', 0xC3, '('});
    setTraceLevel(1);
    setConfiguration(std::make_shared<ZAL_MQTT_item>(kRoot));
    ASSERT_EQ(getConfiguration()->getPublishConfigurations().at(0)->getVariableTopicSets().size(), 4u);
    mosquitto_lib_init();
    mosqClient = mosquitto_new("unit", true, nullptr);  // never connected
    ASSERT_NE(mosqClient, nullptr);
  }
  void TearDown() override {
    publishStop = 1;
    if (worker.joinable()) worker.join();
    mosquitto_destroy(mosqClient);
    mosqClient = nullptr;
    setConfiguration(nullptr);
  }
  void start() {
    publishStop = 0;
    worker = std::thread(publishWorker, 0);
  }
  std::thread worker;
};

}  // namespace

TEST_F(PublishWorker, TracesEachResultAndReadStatusOncePerRun) {
  StderrLines trace;
  const std::string statusPath = "APPL.Plant.Status";
  kalpinproc::setFault("APPL.Plant.Other", "read", 0x81000005);  // the change test throws
  start();

  // Several runs of read failures of the raw set; each toggle is seen within a cycle or two, so
  // many cycles pass while the other sets keep failing the same way.
  size_t from = 0;
  for (int round = 0; round < 5; ++round) {
    kalpinproc::setFault(statusPath, "read", 0x81000501);
    auto lost =
        trace.waitFor("Variable: APPL.Plant.Status - was not found, while publishing topic: t/raw", from);
    ASSERT_TRUE(lost) << trace.all();
    kalpinproc::setFault(statusPath, "read", 0);
    auto back =
        trace.waitFor("Variable: APPL.Plant.Status - was read again, while publishing topic: t/raw", *lost);
    ASSERT_TRUE(back) << trace.all();
    from = *back + 1;
  }
  kalpinproc::setFault(statusPath, "read", 0x81000504);
  ASSERT_TRUE(trace.waitFor(
      "Variable: APPL.Plant.Status - was not permitted to be accessed, while publishing topic: t/raw", from));
  publishStop = 1;
  worker.join();

  EXPECT_EQ(trace.count("- was not found, while publishing topic: t/raw"), 5u);
  EXPECT_EQ(trace.count("- was read again, while publishing topic: t/raw"), 5u);
  EXPECT_EQ(trace.count("Topic: t/\xC3( - the topic is not valid UTF-8 formated"), 1u) << trace.all();
  EXPECT_EQ(trace.count("Exception occurred during send-on-change change test: <<"), 1u) << trace.all();
  // Without a connection every publish of a valid topic fails alike: one line per set.
  EXPECT_EQ(trace.count("Topic: t/json - connection to broker lost during publishing"), 1u) << trace.all();
  EXPECT_EQ(trace.count("Topic: t/raw - connection to broker lost during publishing"), 1u) << trace.all();
  EXPECT_EQ(trace.count("Topic: t/json"), 1u) << trace.all();
}

TEST_F(PublishWorker, EndsSoonAfterStopEvenWithALongPeriod) {
  // A long period: the worker must not sleep it out once asked to stop.
  kalpinproc::setText(std::string(kRoot) + ".ZAL_MQTT_publish:0.uiPublishPeriodms", "600000");
  setConfiguration(std::make_shared<ZAL_MQTT_item>(kRoot));
  StderrLines trace;
  start();
  ASSERT_TRUE(trace.waitFor("Topic: t/\xC3( - the topic is not valid UTF-8 formated")) << trace.all();
  publishStop = 1;
  worker.join();  // would take ten minutes if the worker slept its whole period
}

// A change test that fails part way has refreshed the members before the failure: the change
// of such a member must still be published once the test goes through again, and nothing is
// published from the half-read values meanwhile. Without a connection every payload goes to the
// configuration's offline buffer, in order, which shows what was published.
TEST_F(PublishWorker, ChangeSeenByAFailedTestIsPublishedAtTheNextCleanCycle) {
  std::string json = tree();
  const std::string status = "\"Status\": {\"type\": \"STRING\", \"value\": \"Running\"}";
  json.replace(json.find(status), status.size(),
               status + ", \"Pair\": {\"type\": \"STRUCT\", \"members\": {\"a\": {\"type\": \"UINT32\", "
                        "\"value\": 1}, \"b\": {\"type\": \"UINT32\", \"value\": 2}}}");
  const std::string period = "\"uiPublishPeriodms\": {\"type\": \"UINT32\", \"value\": 5},";
  json.replace(json.find(period), period.size(),
               period + "\"uiOfflineBufferKB\": {\"type\": \"UINT32\", \"value\": 4096},");
  const std::string lastSet = "\"VariableTopicSet:3\": ";
  json.replace(json.find(lastSet), lastSet.size(),
               "\"VariableTopicSet:4\": {\"type\": \"STRUCT\", \"members\": {\"topic\": {\"type\": "
               "\"STRING\", \"value\": \"t/pair\"}, \"xSendOnValueChange\": {\"type\": \"UINT32\", "
               "\"value\": 1}, \"variable:0\": {\"type\": \"STRING\", \"value\": \"Pair\"}}}, " +
                   lastSet);
  kalpinproc::loadTree(json);
  setConfiguration(std::make_shared<ZAL_MQTT_item>(kRoot));
  const auto publish = getConfiguration()->getPublishConfigurations().at(0);
  ASSERT_EQ(publish->getVariableTopicSets().size(), 5u);
  const std::shared_ptr<OfflineBuffer> buffer = offlineBufferFor(0, *publish);
  ASSERT_TRUE(buffer);

  // The payloads of t/pair taken out of the buffer until there are n of them, or a deadline.
  std::vector<std::string> pair;
  auto collect = [&](size_t n, std::chrono::milliseconds within = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    BufferedPayload entry;
    while (pair.size() < n && std::chrono::steady_clock::now() < deadline) {
      if (!buffer->takeFront(entry)) {
        std::this_thread::sleep_for(5ms);
      } else if (entry.topic == "t/pair") {
        pair.push_back(entry.payload);
      }
    }
    return pair.size() >= n;
  };

  StderrLines trace;
  start();
  ASSERT_TRUE(collect(1));
  EXPECT_EQ(pair[0], R"({"Pair":{"a":1,"b":2}})");

  // a changes; b cannot be read: the test refreshes a, then fails.
  kalpinproc::setFault("APPL.Plant.Pair.b", "read", 0x81000005);
  kalpinproc::setText("APPL.Plant.Pair.a", "5");
  ASSERT_TRUE(trace.waitFor("Exception occurred during send-on-change change test: <<")) << trace.all();
  EXPECT_FALSE(collect(2, 200ms)) << pair.back();  // many cycles with the test failing
  kalpinproc::setFault("APPL.Plant.Pair.b", "read", 0);
  ASSERT_TRUE(collect(2));
  EXPECT_EQ(pair[1], R"({"Pair":{"a":5,"b":2}})");
  publishStop = 1;
  worker.join();
  discardOfflineBuffers("test");
}
