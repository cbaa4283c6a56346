// The service shell: main-thread job queue, state report, provider lock, banner.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "KalpApi.h"
#include "MainThreadJobQueue.h"
#include "ServiceShell.h"
#include "Trace.h"

namespace {

namespace fs = std::filesystem;

// A target whose jobs record their order; job a blocks until released.
struct Recorder {
  std::vector<char> order;
  std::atomic<bool> aRunning{false};
  std::atomic<bool> releaseA{false};
  void a() {
    aRunning = true;
    while (!releaseA) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    order.push_back('a');
  }
  void b() { order.push_back('b'); }
  void c() { order.push_back('c'); }
};

TEST(MainThreadJobQueue, JobPostedWhileAnotherRunsRunsAfterItInPostingOrder) {
  MainThreadJobQueue<Recorder> queue;
  Recorder target;
  queue.post(&Recorder::a);
  std::thread mainThread([&] {
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(queue.runNext(target, std::chrono::seconds(10)));
  });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!target.aRunning && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  ASSERT_TRUE(target.aRunning);
  // Posting does not wait for the running job.
  queue.post(&Recorder::c);
  queue.post(&Recorder::b);
  EXPECT_TRUE(target.order.empty());
  target.releaseA = true;
  mainThread.join();
  EXPECT_EQ(target.order, (std::vector<char>{'a', 'c', 'b'}));
}

TEST(MainThreadJobQueue, NothingIsLostUnderManyPosters) {
  struct Counter {
    int count = 0;
    void add() { ++count; }
  } target;
  MainThreadJobQueue<Counter> queue;
  constexpr int kThreads = 8, kPosts = 2000;
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t)
    posters.emplace_back([&] {
      for (int i = 0; i < kPosts; ++i) queue.post(&Counter::add);
    });
  int ran = 0;
  while (ran < kThreads * kPosts && queue.runNext(target, std::chrono::seconds(10))) ++ran;
  for (auto& p : posters) p.join();
  EXPECT_FALSE(queue.runNext(target, std::chrono::milliseconds(0)));
  EXPECT_EQ(target.count, kThreads * kPosts);
}

class StateReport : public testing::Test {
 protected:
  fs::path dir;
  void SetUp() override {
    char pattern[] = "/tmp/zal-report-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override { fs::remove_all(dir); }
  static std::string read(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
};

TEST_F(StateReport, WritesTheFileAndGivesTheSecondsSinceStart) {
  serviceStartTime = std::time(nullptr) - 42;
  ASSERT_EQ(stateReportCallback(dir.c_str()), 0);
  std::string text = read(dir / "ZAL_CLOUD_MQTT_OOP" / "state.txt");
  std::smatch m;
  ASSERT_TRUE(
      std::regex_match(text, m, std::regex("ZAL_CLOUD_MQTT_OOP 1\\.0\nStarted: (\\d+) seconds ago\n")))
      << text;
  int seconds = std::stoi(m[1]);
  EXPECT_GE(seconds, 42);
  EXPECT_LE(seconds, 44);

  // Again, with the directory already there: written anew.
  EXPECT_EQ(stateReportCallback(dir.c_str()), 0);
  EXPECT_EQ(read(dir / "ZAL_CLOUD_MQTT_OOP" / "state.txt").rfind("ZAL_CLOUD_MQTT_OOP 1.0\n", 0), 0u);
}

TEST_F(StateReport, UnwritableDirectoryGivesOpenErrorAndNoFile) {
  // A regular file in place of the directory: nothing can be created below it (even as root).
  std::ofstream(dir / "plain") << "x";
  const fs::path target = dir / "plain";
  EXPECT_EQ(static_cast<uint32_t>(stateReportCallback(target.c_str())), KALPAPI_STAREP_E_OPEN);
  EXPECT_FALSE(fs::exists(dir / "plain" / "ZAL_CLOUD_MQTT_OOP"));
}

TEST_F(StateReport, PathThatDoesNotFitIsRefusedAndNothingIsWritten) {
  // 490 characters of directory: "<dir>/ZAL_CLOUD_MQTT_OOP/state.txt" needs more than 512 bytes,
  // while "<dir>/ZAL_CLOUD_MQTT_OOP" alone would still fit.
  fs::path deep = dir;
  while (deep.string().size() + 11 < 490) deep /= "0123456789";
  deep /= std::string(490 - deep.string().size() - 1, 'd');
  ASSERT_EQ(deep.string().size(), 490u);
  fs::create_directories(deep);
  EXPECT_EQ(static_cast<uint32_t>(stateReportCallback(deep.c_str())), KALPAPI_STAREP_E_OPEN);
  EXPECT_TRUE(fs::is_empty(deep)) << "something was written below the directory";
}

// The provider facility's lock, as the facility uses it: lock and unlock in two calls, possibly
// from different threads, possibly two providers at once.
class ProviderLock : public StateReport {
 protected:
  void SetUp() override {
    StateReport::SetUp();
    stateReportMutex.setWaitLimit(std::chrono::milliseconds(300));
  }
  void TearDown() override {
    stateReportMutex.setWaitLimit(std::chrono::seconds(2));
    StateReport::TearDown();
  }
};

TEST_F(ProviderLock, UnlockFromAnotherThreadReleasesItForTheReport) {
  EXPECT_EQ(providerLockCallback(1), 0);
  std::atomic<bool> reportDone{false};
  std::atomic<int32_t> reportResult{-1};
  stateReportMutex.setWaitLimit(std::chrono::seconds(30));
  std::thread report([&] {
    reportResult = stateReportCallback(dir.c_str());
    reportDone = true;
  });
  // The report waits for the provider's lock; released from another thread than the locker.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(reportDone);
  std::thread([] { EXPECT_EQ(providerLockCallback(0), 0); }).join();
  report.join();
  EXPECT_EQ(reportResult, 0);
  EXPECT_NE(providerLockCallback(0), 0);  // not held: reported, not undefined
}

TEST_F(ProviderLock, TwoConcurrentPairsBothGetTheLockAndTheReportWorksAfterwards) {
  stateReportMutex.setWaitLimit(std::chrono::seconds(30));
  std::atomic<int> inside{0}, overlaps{0};
  auto pair = [&](std::vector<int32_t>& results) {
    for (int i = 0; i < 50; ++i) {
      results.push_back(providerLockCallback(1));
      if (++inside > 1) ++overlaps;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      --inside;
      results.push_back(providerLockCallback(0));
    }
  };
  std::vector<int32_t> first, second;
  std::thread a(pair, std::ref(first)), b(pair, std::ref(second));
  a.join();
  b.join();
  EXPECT_EQ(overlaps, 0);
  for (const auto* results : {&first, &second})
    EXPECT_EQ(std::count(results->begin(), results->end(), 0), 100);
  EXPECT_EQ(stateReportCallback(dir.c_str()), 0);
}

// Both providers' calls delivered one after the other on one thread, the second lock before the
// first unlock: the second lock is refused after its wait instead of blocking the thread that
// must deliver the unlock; the lock is free again afterwards and the report works.
TEST_F(ProviderLock, SecondLockOnTheDeliveringThreadIsRefusedNotBlockedForGood) {
  EXPECT_EQ(providerLockCallback(1), 0);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_NE(providerLockCallback(1), 0);
  const auto waited = std::chrono::steady_clock::now() - before;
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  // Held meanwhile: the report is refused too, and leaves no file.
  EXPECT_EQ(static_cast<uint32_t>(stateReportCallback(dir.c_str())), KALPAPI_STAREP_E_WRITE);
  EXPECT_FALSE(fs::exists(dir / "ZAL_CLOUD_MQTT_OOP" / "state.txt"));
  EXPECT_EQ(providerLockCallback(0), 0);
  EXPECT_NE(providerLockCallback(0), 0);  // the refused request's unlock finds it free
  EXPECT_EQ(stateReportCallback(dir.c_str()), 0);
  EXPECT_TRUE(fs::exists(dir / "ZAL_CLOUD_MQTT_OOP" / "state.txt"));
}

TEST(Banner, NamesTheRevisionAndBothOpenSslVersions) {
  setTraceLevel(1);
  testing::internal::CaptureStderr();
  writeBanner();
  std::string out = testing::internal::GetCapturedStderr();
  setTraceLevel(0);
  EXPECT_NE(out.find("| Service has started. (rev. no.: 1110)\n"), std::string::npos);
  EXPECT_TRUE(std::regex_search(
      out, std::regex(R"(\| Service was built against OpenSSL version \d+\.\d+\.\d+"[^"]*"\n)")));
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(\| Service has found OpenSSL version \d+\.\d+\.\d+)")));
  // Debian's OpenSSL carries no build metadata: no line for it.
  EXPECT_EQ(out.find("OpenSSL meta data: "), std::string::npos);
}

}  // namespace
