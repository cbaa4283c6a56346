// The offline buffer on disk (strOfflineBufferFile), over the in-process store:
//   1. keeping one payload (one cycle's batch, one transaction, synced): the disk buffer against
//      a bare SQLite insert of the same bytes in its own transaction with the same sync policy
//      (write-ahead log, synchronous=FULL), and against the buffer in memory; pairs of blocks,
//      ratios disk / bare and disk / memory; bytes written per kept payload (write calls,
//      /proc/self/io wchar) by each of the two on disk;
//   2. the drain of 10,000 kept payloads by the publish worker until the broker acknowledged the
//      last, against a bare libmosquitto publisher of the same payloads on the same client (the
//      same in-flight window, 20); pairs, ratio drain / bare.
// The files are in a new folder under BENCH_DIR (default /var/tmp): put it on the medium the
// controller would use. The broker (tcp_nodelay) runs on CPU 1, the rest on CPU 0.
#include <sqlite3.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "DiskBuffer.h"
#include "GVPvariable.h"
#include "KalpInproc.h"
#include "OfflineBuffer.h"
#include "Trace.h"
#include "ZAL_MQTT_item.h"
#include "ZAL_MQTT_lifecycle.h"

namespace {

constexpr int kPairs = 10;
constexpr int kKeptPerBlock = 200;
constexpr size_t kDrainPayloads = 10000;
constexpr uint32_t kPeriodMs = 1000;
const char* const kRoot = "SYS.CAT.Application.ZAL_Cloud:0.ZAL_MQTT:0";

std::string tree(const std::string& file) {
  return std::string(
             R"({"deviceState": 300, "variables": {"APPL.Bench": {"type": "DIRECTORY", "members": {"v": {"type": "UINT32", "value": 1}}}, ")") +
         kRoot + R"(": {"type": "STRUCT", "members": {
    "ApplicationName": {"type": "STRING", "value": "Bench"},
    "strClientID": {"type": "STRING", "value": "bench"},
    "xConnectedToBroker": {"type": "UINT32", "value": 0}, "xErrorRetry": {"type": "UINT32", "value": 0},
    "BrokerURL": {"type": "STRING", "value": "127.0.0.1"}, "BrokerPort": {"type": "UINT32", "value": 1883},
    "keepAliveTime": {"type": "UINT32", "value": 60}, "xCleanSession": {"type": "UINT32", "value": 1},
    "xUseUserAuthentication": {"type": "UINT32", "value": 0}, "xActivateConnection": {"type": "UINT32", "value": 0},
    "uiTraceLevel": {"type": "UINT32", "value": 0},
    "ZAL_MQTT_publish:0": {"type": "STRUCT", "members": {
      "uiPublishPeriodms": {"type": "UINT32", "value": )" +
         std::to_string(kPeriodMs) + R"(},
      "uiOfflineBufferKB": {"type": "UINT32", "value": 65536},
      "strOfflineBufferFile": {"type": "STRING", "value": ")" +
         file + R"("},
      "VariableTopicSet:0": {"type": "STRUCT", "members": {
        "topic": {"type": "STRING", "value": "bench/worker"}, "xSendOnValueChange": {"type": "UINT32", "value": 1},
        "variable:0": {"type": "STRING", "value": "v"}}}}}}}}})";
}

// A payload of 10 scalars with a sample time, as the offline buffer bench keeps it.
const std::string kPayload =
    R"({"data":{"m0":0,"m1":1.0,"m2":2,"m3":3.0,"m4":4,"m5":5.0,"m6":6,"m7":7.0,"m8":8,"m9":9.0},"SampleTime":"2026-12-11T04:15:00.000Z"})";
const std::string kTopic = "bench/worker";

uint64_t bytesWritten() {
  std::ifstream io("/proc/self/io");
  std::string key;
  uint64_t value = 0;
  while (io >> key >> value)
    if (key == "wchar:") return value;
  return 0;
}

std::atomic<uint64_t> acknowledged{0};

bool waitForAcks(uint64_t target) {
  const auto deadline = bench::Clock::now() + std::chrono::seconds(120);
  while (acknowledged.load() < target) {
    if (bench::Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

uint64_t settledAcks() {
  uint64_t last = acknowledged.load();
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const uint64_t now = acknowledged.load();
    if (now == last) return now;
    last = now;
  }
}

// The bare reference: the same row, one transaction each, the same pragmas.
class BareInsert {
 public:
  explicit BareInsert(const std::string& path) {
    sqlite3_open(path.c_str(), &db_);
    sqlite3_exec(db_,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; CREATE TABLE IF NOT EXISTS t(id INTEGER "
                 "PRIMARY KEY AUTOINCREMENT, sampled_ms INTEGER, tag INTEGER, qos INTEGER, retain INTEGER, "
                 "topic BLOB, "
                 "payload BLOB);",
                 nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db_,
                       "INSERT INTO t(sampled_ms, tag, qos, retain, topic, payload) VALUES(1, 0, 1, 0, ?, ?)",
                       -1, &insert_, nullptr);
  }
  ~BareInsert() {
    sqlite3_finalize(insert_);
    sqlite3_close(db_);
  }
  void insert() {
    sqlite3_bind_blob(insert_, 1, kTopic.data(), static_cast<int>(kTopic.size()), SQLITE_STATIC);
    sqlite3_bind_blob(insert_, 2, kPayload.data(), static_cast<int>(kPayload.size()), SQLITE_STATIC);
    if (sqlite3_step(insert_) != SQLITE_DONE) throw std::runtime_error("bare insert failed");
    sqlite3_reset(insert_);
  }
  void clear() { sqlite3_exec(db_, "DELETE FROM t", nullptr, nullptr, nullptr); }

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
};

}  // namespace

int main() {
  const char* name = "disk_buffer_inproc";
  try {
    bench::pin(0);
    const char* base = std::getenv("BENCH_DIR");
    std::string folder = std::string(base ? base : "/var/tmp") + "/zal-bench-disk-XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) throw std::runtime_error("cannot make a folder in " + folder);
    const std::string file = folder + "/buffer.db";

    const auto broker = bench::startBroker(true);
    kalpinproc::loadTree(tree(file));
    setTraceLevel(0);
    GVPvariable::setMemberPause(std::chrono::microseconds(0));
    setConfiguration(std::make_shared<ZAL_MQTT_item>(kRoot));
    const auto publish = getConfiguration()->getPublishConfigurations().at(0);
    const std::shared_ptr<DiskBuffer> disk = diskBufferFor(0, *publish);
    if (!disk) throw std::runtime_error("no disk buffer");
    OfflineBuffer memory("memory", uint64_t{64} << 20);
    BareInsert bare(folder + "/bare.db");

    // 1. One kept payload: disk buffer, bare insert, memory.
    std::vector<double> diskUs, bareUs, memoryUs, bareRatios, memoryRatios, diskBytes, bareBytes;
    const auto perPayloadUs = [](auto&& keepOne) {
      const auto start = bench::Clock::now();
      for (int n = 0; n < kKeptPerBlock; ++n) keepOne();
      return std::chrono::duration<double, std::micro>(bench::Clock::now() - start).count() / kKeptPerBlock;
    };
    for (int pair = 0; pair < kPairs; ++pair) {
      const auto [d, b] = bench::inTurn(
          pair,
          [&] {
            const uint64_t w0 = bytesWritten();
            const double us = perPayloadUs([&] {
              std::vector<StoredRecord> batch{DiskBuffer::record(0, kTopic, kPayload, 1, false)};
              disk->append(batch);
            });
            diskBytes.push_back(static_cast<double>(bytesWritten() - w0) / kKeptPerBlock);
            return us;
          },
          [&] {
            const uint64_t w0 = bytesWritten();
            const double us = perPayloadUs([&] { bare.insert(); });
            bareBytes.push_back(static_cast<double>(bytesWritten() - w0) / kKeptPerBlock);
            return us;
          });
      const double m = perPayloadUs([&] { memory.append({0, kTopic, kPayload, 1, false}); });
      memory.discard();
      diskUs.push_back(d);
      bareUs.push_back(b);
      memoryUs.push_back(m);
      bareRatios.push_back(d / b);
      memoryRatios.push_back(d / m);
    }
    bare.clear();

    // 2. Draining 10,000 kept payloads against a bare publisher of 10,000.
    mosquitto_lib_init();
    mosqClient = mosquitto_new("bench", true, nullptr);
    mosquitto_publish_callback_set(mosqClient, [](mosquitto*, void*, int mid) {
      ++acknowledged;
      diskBufferAcknowledged(mid);
    });
    if (mosquitto_connect(mosqClient, "127.0.0.1", broker->port(), 60) != MOSQ_ERR_SUCCESS)
      throw std::runtime_error("cannot connect");
    mosquitto_loop_start(mosqClient);
    std::vector<double> drainMs, barePublishMs, drainRatios;
    for (int pair = 0; pair < kPairs / 2; ++pair) {
      const auto [drain, barePublish] = bench::inTurn(
          pair,
          [&] {
            // Whatever the first block kept is sent first: the file holds exactly N.
            publishStop = 0;
            {
              std::thread emptying(publishWorker, 0);
              while (disk->queue().count() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
              publishStop = 1;
              emptying.join();
            }
            std::vector<StoredRecord> batch(kDrainPayloads,
                                            DiskBuffer::record(0, kTopic, kPayload, 1, false));
            disk->append(batch);
            const uint64_t before = settledAcks();
            const auto start = bench::Clock::now();
            publishStop = 0;
            std::thread worker(publishWorker, 0);
            const bool done = waitForAcks(before + kDrainPayloads);
            const auto end = bench::Clock::now();
            publishStop = 1;
            worker.join();
            if (!done) throw std::runtime_error("drain not acknowledged");
            return std::chrono::duration<double, std::milli>(end - start).count();
          },
          [&] {
            const uint64_t before = settledAcks();
            const auto start = bench::Clock::now();
            for (size_t n = 0; n < kDrainPayloads; ++n)
              mosquitto_publish(mosqClient, nullptr, "bench/bare", static_cast<int>(kPayload.size()),
                                kPayload.data(), 1, false);
            const bool done = waitForAcks(before + kDrainPayloads);
            const auto end = bench::Clock::now();
            if (!done) throw std::runtime_error("bare publishes not acknowledged");
            return std::chrono::duration<double, std::milli>(end - start).count();
          });
      drainMs.push_back(drain);
      barePublishMs.push_back(barePublish);
      drainRatios.push_back(drain / barePublish);
    }

    std::printf("%s: payload %zu bytes, topic %zu bytes, files in %s\n", name, kPayload.size(), kTopic.size(),
                folder.c_str());
    std::printf("%s: keep one payload on disk (one transaction, synced): %.1f us (median of %d blocks)\n",
                name, bench::median(diskUs), kPairs);
    std::printf("%s: bare SQLite insert of the same bytes (one transaction, synced): %.1f us\n", name,
                bench::median(bareUs));
    std::printf("%s: keep one payload in memory: %.3f us\n", name, bench::median(memoryUs));
    std::printf("%s: ratio disk/bare insert: %s\n", name, bench::ratioSummary(bareRatios).c_str());
    std::printf("%s: ratio disk/memory: %s\n", name, bench::ratioSummary(memoryRatios).c_str());
    std::printf("%s: bytes written per kept payload: disk buffer %.0f, bare insert %.0f (median)\n", name,
                bench::median(diskBytes), bench::median(bareBytes));
    std::printf("%s: drain of %zu kept payloads until acknowledged: %.1f ms (median of %d)\n", name,
                kDrainPayloads, bench::median(drainMs), kPairs / 2);
    std::printf("%s: bare publisher of %zu payloads until acknowledged: %.1f ms\n", name, kDrainPayloads,
                bench::median(barePublishMs));
    std::printf("%s: ratio drain/bare: %s\n", name, bench::ratioSummary(drainRatios).c_str());

    mosquitto_disconnect(mosqClient);
    mosquitto_loop_stop(mosqClient, false);
    mosquitto_destroy(mosqClient);
    mosqClient = nullptr;
    releaseDiskBuffers("end of benchmark");
    setConfiguration(nullptr);
    std::system(("rm -rf '" + folder + "'").c_str());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_%s: %s\n", name, error.what());
    return 1;
  }
  return 0;
}
