// The offline buffer on disk (strOfflineBufferFile), against a real broker that is stopped and
// started again: what was sampled during an outage survives a SIGKILL of the service and a
// power cut, and arrives once and in order after the next start; a file that cannot be used is
// moved aside; a maximum age drops what is too old; a full disk drops the oldest.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>

#include "OutageSupport.h"

using namespace zaltest;

namespace {

// A counter the variable server advances every 200 ms; the set samples it every 50 ms and
// publishes on change, so that every value is sampled, and published, exactly once.
const char* const kPlant =
    "\"Counter\": {\"type\": \"UINT32\", \"value\": 0, \"simulate\": {\"kind\": \"counter\", \"periodMs\": "
    "200}}";

std::string u32(const char* name, uint32_t value) {
  return std::string("\"") + name + "\": {\"type\": \"UINT32\", \"value\": " + std::to_string(value) + "}";
}
std::string text(const char* name, const std::string& value) {
  return std::string("\"") + name + "\": {\"type\": \"STRING\", \"value\": " + jsonString(value) + "}";
}

// One publish configuration of plant/a with its offline buffer in file (kb KB), sample times,
// and further publish members.
ServiceConfig diskConfig(int port, const std::string& file, uint32_t kb = 256,
                         const std::string& extra = "") {
  ServiceConfig config;
  config.brokerPort = port;
  config.plantMembers = kPlant;
  config.activate = 1;
  config.keepAlive = 5;
  std::string members = text("strTimestampMember", "SampleTime") + ", " + u32("uiOfflineBufferKB", kb) +
                        ", " + text("strOfflineBufferFile", file);
  if (!extra.empty()) members += ", " + extra;
  config.publishes.push_back({50, {{"plant/a", {"Counter"}, 0, 1, 0}}, members});
  return config;
}

std::string joined(const std::vector<long long>& values) {
  std::string out;
  for (const long long v : values) out += std::to_string(v) + " ";
  return out;
}

// The counters of the payloads, without the one repeat QoS 1 allows: a payload the broker had
// received when the connection broke, sent again byte for byte, sampled before lossNoticed.
// Any other repeat is a fault.
std::vector<long long> withoutRetransmissions(const std::vector<std::string>& payloads,
                                              std::chrono::system_clock::time_point lossNoticed) {
  std::map<long long, std::string> seen;
  std::vector<long long> values;
  for (const std::string& p : payloads) {
    const auto earlier = seen.find(counterOf(p));
    if (earlier == seen.end()) {
      seen.emplace(counterOf(p), p);
      values.push_back(counterOf(p));
      continue;
    }
    EXPECT_EQ(p, earlier->second) << "a value published twice";
    const auto time = sampleTimeOf(p);
    EXPECT_TRUE(time && *time <= lossNoticed) << "repeated, but sampled after the loss: " << p;
  }
  return values;
}

// Checks that values go up strictly (once, in order), have no gap from their first value up to
// lastBeforeGap, and at most one gap after it (the time the service did not run); returns the
// gap's text ("a->b") or "".
std::string checkOnceInOrder(const std::vector<long long>& values, long long lastBeforeGap) {
  std::string gaps;
  for (size_t i = 1; i < values.size(); ++i) {
    EXPECT_GT(values[i], values[i - 1]) << joined(values);
    if (values[i] != values[i - 1] + 1) {
      EXPECT_GE(values[i - 1], lastBeforeGap) << "lost before the kill: " << joined(values);
      gaps += std::to_string(values[i - 1]) + "->" + std::to_string(values[i]) + " ";
    }
  }
  EXPECT_GE(values.back(), lastBeforeGap) << joined(values);
  return gaps;
}

void copyFile(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
}

class DiskBufferTest : public ::testing::Test {
 protected:
  TempDir sessions, store;
  const int port = freePort();
  std::unique_ptr<BrokerOnPort> broker = std::make_unique<BrokerOnPort>(port, sessions.path());

  // Takes the broker away and waits until the service samples into its buffer; mark is the
  // service's log position just before the loss.
  ::testing::AssertionResult loseBroker(Service& service, size_t& mark) {
    mark = service.mark();
    broker.reset();
    if (service.waitFor("sampling on while the connection is lost.", mark))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << service.dump(mark);
  }
};

}  // namespace

// The outage, a SIGKILL of the service during it, the broker back, the service started again:
// every value sampled before the kill arrives once and in order, then the new ones.
TEST_F(DiskBufferTest, KilledDuringAnOutageLosesNothingOnceRunAgain) {
  const std::string file = store.file("buffer.db");
  VariableServer server(diskConfig(port, file).treeJson());
  SessionSubscriber subscriber(port);
  auto service = std::make_unique<Service>(server);
  ASSERT_TRUE(service->waitFor("state: Connected", 0, kStartDeadline)) << service->dump();
  ASSERT_TRUE(subscriber.waitFor("plant/a", counterAtLeast(counterNow(server) + 2))) << service->dump();

  size_t mark = 0;
  ASSERT_TRUE(loseBroker(*service, mark));
  const auto noticedAt = std::chrono::system_clock::now();
  ASSERT_TRUE(waitForCounter(server, counterNow(server) + 15)) << service->dump(mark);
  service->process().signal(SIGKILL);
  ASSERT_TRUE(service->process().waitExit(kDefaultDeadline));
  const long long atKill = counterNow(server);
  const std::string before = service->dump(mark);
  service.reset();

  broker = std::make_unique<BrokerOnPort>(port, sessions.path());
  service = std::make_unique<Service>(server);
  ASSERT_TRUE(service->waitFor("kept payloads found in '" + file + "'.", 0, kStartDeadline))
      << service->dump();
  ASSERT_TRUE(service->waitFor("state: Connected", 0, kStartDeadline)) << service->dump();
  const long long atRestart = counterNow(server);
  ASSERT_TRUE(subscriber.waitFor("plant/a", counterAtLeast(atRestart + 3), 60s)) << service->dump();
  ASSERT_TRUE(service->waitFor(" buffered payloads sent.")) << service->dump();

  // All but the value sampled in the last moment before the kill, and the new ones.
  const std::vector<long long> values = withoutRetransmissions(subscriber.payloads("plant/a"), noticedAt);
  const std::string gaps = checkOnceInOrder(values, atKill - 1);
  EXPECT_LE(std::count(gaps.begin(), gaps.end(), '>'), 1) << gaps << before << service->dump();
}

// A power cut in the middle of writing: the files as they were on the medium at some instant
// (the log copied before the database, while the sampler writes) open as a consistent queue
// holding every batch committed before that instant.
TEST_F(DiskBufferTest, PowerCutMidWriteKeepsEveryCommittedBatch) {
  const std::string file = store.file("buffer.db");
  VariableServer server(diskConfig(port, file).treeJson());
  SessionSubscriber subscriber(port);
  auto service = std::make_unique<Service>(server);
  ASSERT_TRUE(service->waitFor("state: Connected", 0, kStartDeadline)) << service->dump();
  ASSERT_TRUE(subscriber.waitFor("plant/a", counterAtLeast(counterNow(server) + 2))) << service->dump();

  size_t mark = 0;
  ASSERT_TRUE(loseBroker(*service, mark));
  const auto noticedAt = std::chrono::system_clock::now();
  ASSERT_TRUE(waitForCounter(server, counterNow(server) + 10)) << service->dump(mark);
  // The copy, taken while the sampler goes on writing.
  const long long atCopy = counterNow(server);
  copyFile(file + "-wal", store.file("cut.db-wal"));
  copyFile(file, store.file("cut.db"));
  ASSERT_TRUE(waitForCounter(server, atCopy + 5)) << service->dump(mark);
  service->process().signal(SIGKILL);
  ASSERT_TRUE(service->process().waitExit(kDefaultDeadline));
  service.reset();
  // The machine comes back with the files of the instant of the cut.
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((file + suffix).c_str());
  ASSERT_EQ(std::rename(store.file("cut.db").c_str(), file.c_str()), 0);
  ASSERT_EQ(std::rename(store.file("cut.db-wal").c_str(), (file + "-wal").c_str()), 0);

  broker = std::make_unique<BrokerOnPort>(port, sessions.path());
  service = std::make_unique<Service>(server);
  ASSERT_TRUE(service->waitFor("state: Connected", 0, kStartDeadline)) << service->dump();
  ASSERT_TRUE(subscriber.waitFor("plant/a", counterAtLeast(counterNow(server) + 3), 60s)) << service->dump();
  EXPECT_EQ(service->log().count("cannot be used"), 0u) << service->dump();

  const std::vector<long long> values = withoutRetransmissions(subscriber.payloads("plant/a"), noticedAt);
  const std::string gaps = checkOnceInOrder(values, atCopy - 1);
  EXPECT_LE(std::count(gaps.begin(), gaps.end(), '>'), 1) << gaps << service->dump();
}

// A file that is not a buffer is moved aside with a timestamped name, never fatal: a fresh one
// keeps what the next outage brings.
TEST_F(DiskBufferTest, UnusableFileIsMovedAsideAndAFreshOneKeepsTheOutage) {
  const std::string file = store.file("buffer.db");
  writeFile(file, "not a database, just some text that happens to be there\n");
  VariableServer server(diskConfig(port, file).treeJson());
  SessionSubscriber subscriber(port);
  Service service(server);
  const auto aside =
      service.waitFor("offline buffer file '" + file + "' cannot be used (", 0, kStartDeadline);
  ASSERT_TRUE(aside) << service.dump();
  const std::string line = Service::body(service.log().line(*aside));
  const std::string moved = "moved aside to '" + file + ".unusable-";
  ASSERT_NE(line.find(moved), std::string::npos) << line;
  const std::string asideName =
      line.substr(line.find(moved) + 16, line.find("', starting") - line.find(moved) - 16);
  std::ifstream kept(asideName);
  std::string first;
  std::getline(kept, first);
  EXPECT_EQ(first, "not a database, just some text that happens to be there");
  ASSERT_TRUE(service.waitFor("state: Connected", 0, kStartDeadline)) << service.dump();

  size_t mark = 0;
  ASSERT_TRUE(loseBroker(service, mark));
  const auto noticedAt = std::chrono::system_clock::now();
  const long long atLoss = counterNow(server);
  ASSERT_TRUE(waitForCounter(server, atLoss + 8)) << service.dump(mark);
  broker = std::make_unique<BrokerOnPort>(port, sessions.path());
  ASSERT_TRUE(service.waitFor("state: Connected", mark, 60s)) << service.dump(mark);
  ASSERT_TRUE(subscriber.waitFor("plant/a", counterAtLeast(counterNow(server) + 3), 60s))
      << service.dump(mark);
  const std::vector<long long> values = withoutRetransmissions(subscriber.payloads("plant/a"), noticedAt);
  EXPECT_EQ(checkOnceInOrder(values, values.back()), "") << service.dump(mark);
}

// With uiOfflineMaxAgeS, what is older than that when the drain comes to it is dropped,
// traced and counted in the statistics message; the rest arrives in order.
TEST_F(DiskBufferTest, MaximumAgeDropsOlderPayloadsAtTheDrainAndCountsThem) {
  const std::string file = store.file("buffer.db");
  ServiceConfig config = diskConfig(port, file, 256, u32("uiOfflineMaxAgeS", 2));
  config.extraRootMembers = text("strStatusTopic", "plant/status") + ",\n" + u32("uiStatusPeriodS", 1);
  VariableServer server(config.treeJson());
  SessionSubscriber subscriber(port);
  Service service(server);
  ASSERT_TRUE(service.waitFor("state: Connected", 0, kStartDeadline)) << service.dump();

  size_t mark = 0;
  ASSERT_TRUE(loseBroker(service, mark));
  const auto noticedAt = std::chrono::system_clock::now();
  ASSERT_TRUE(waitForCounter(server, counterNow(server) + 25)) << service.dump(mark);  // about 5 s
  broker = std::make_unique<BrokerOnPort>(port, sessions.path());
  const auto backAt = std::chrono::system_clock::now();
  const auto expired = service.waitFor(" kept payloads older than 2 s dropped.", mark, 60s);
  ASSERT_TRUE(expired) << service.dump(mark);
  const std::string line = Service::body(service.log().line(*expired));
  const long long dropped = std::stoll(line.substr(line.find(": ") + 2));
  EXPECT_GE(dropped, 5) << line;

  ASSERT_TRUE(subscriber.waitFor(
      "plant/status/stats",
      [&](const std::string& p) {
        return p.find("\"expiredFromBuffer\":" + std::to_string(dropped)) != std::string::npos;
      },
      60s))
      << service.dump(mark);
  // What arrived from the outage was at most 2 s old (and some slack) when the broker came back.
  ASSERT_TRUE(subscriber.waitFor("plant/a", counterAtLeast(counterNow(server) + 2), 60s))
      << service.dump(mark);
  for (const std::string& p : subscriber.payloads("plant/a")) {
    const auto time = sampleTimeOf(p);
    ASSERT_TRUE(time) << p;
    // Before the loss was noticed: published then, or the MQTT library's own repeat of it.
    if (*time < noticedAt) continue;
    EXPECT_GE(*time, backAt - 2s - 3s) << p;
  }
}

// A full disk: traced once, payloads dropped and counted, sampling goes on; what is kept
// arrives in order.
TEST_F(DiskBufferTest, FullDiskIsTracedOnceDropsAreCountedAndKeepingGoesOn) {
  const std::string small = store.file("small");
  ASSERT_EQ(mkdir(small.c_str(), 0700), 0);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=160k") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs root with CAP_SYS_ADMIN): "
                 << std::strerror(errno);
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{small};
  const std::string file = small + "/buffer.db";
  // A counter that moves every 200 ms, each payload with a 3000-byte filler: the small disk is
  // full within seconds, far below the buffer's bound.
  ServiceConfig config = diskConfig(port, file, 4096);
  config.plantMembers =
      "\"Counter\": {\"type\": \"UINT32\", \"value\": 0, \"simulate\": {\"kind\": \"counter\", "
      "\"periodMs\": 200}}, \"Filler\": {\"type\": \"STRING\", \"value\": \"" +
      std::string(3000, 'f') + "\"}";
  config.publishes[0].periodMs = 50;
  config.publishes[0].sets[0].variables.push_back("Filler");
  VariableServer server(config.treeJson());
  SessionSubscriber subscriber(port);
  Service service(server);
  ASSERT_TRUE(service.waitFor("state: Connected", 0, kStartDeadline)) << service.dump();

  size_t mark = 0;
  ASSERT_TRUE(loseBroker(service, mark));
  const auto noticedAt = std::chrono::system_clock::now();
  ASSERT_TRUE(service.waitFor("': dropping the oldest kept payloads to make room.", mark, 120s))
      << service.dump(mark);
  ASSERT_TRUE(waitForCounter(server, counterNow(server) + 50)) << service.dump(mark);  // about 10 s more
  broker = std::make_unique<BrokerOnPort>(port, sessions.path());
  ASSERT_TRUE(service.waitFor("state: Connected", mark, 60s)) << service.dump(mark);
  const long long atBack = counterNow(server);
  ASSERT_TRUE(subscriber.waitFor("plant/a", counterAtLeast(atBack + 10), 60s)) << service.dump(mark);

  EXPECT_EQ(service.log().count("disk full at '", mark), 1u) << service.dump(mark);
  const auto dropLine = service.waitFor(" oldest payloads dropped during the outage (4096 KB full).", mark);
  ASSERT_TRUE(dropLine) << service.dump(mark);
  const std::string line = Service::body(service.log().line(*dropLine));
  const long long dropped = std::stoll(line.substr(line.find(": ") + 2));
  // Once and in order, what was dropped counted in the trace (the oldest first while SQLite
  // finds room in its log to delete them; the newest batch when the disk is so full that not
  // even a deletion can be written), and the service went on keeping what came later.
  const std::vector<long long> values = withoutRetransmissions(subscriber.payloads("plant/a"), noticedAt);
  long long missing = 0;
  for (size_t i = 1; i < values.size(); ++i) {
    EXPECT_GT(values[i], values[i - 1]) << joined(values);
    missing += std::max(0LL, values[i] - values[i - 1] - 1);
  }
  EXPECT_LE(dropped, missing) << joined(values);
  EXPECT_GT(values.size(), 20u) << joined(values);
}
