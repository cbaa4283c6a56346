// Store and forward over the in-process store (no transport):
//   1. the publish worker's CPU time per payload kept in the offline buffer (the connection is
//      lost) against its CPU time per payload published directly (connected), the same sampling
//      and encoding of 10 scalars with a sample time; pairs of blocks, ratio buffered / direct;
//   2. the time to send a full buffer of N payloads after reconnecting (the publish worker's
//      drain) until the broker has acknowledged the last, against a bare libmosquitto publisher
//      sending the same N payloads on the same client; pairs, ratio drain / bare.
// The broker (tcp_nodelay) runs on CPU 1, the rest on CPU 0 (when the machine has two).
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "GVPvariable.h"
#include "KalpInproc.h"
#include "OfflineBuffer.h"
#include "Trace.h"
#include "ZAL_MQTT_item.h"
#include "ZAL_MQTT_lifecycle.h"

namespace {

constexpr int kScalars = 10;
constexpr int kPairs = 12;
constexpr size_t kDrainPayloads = 1000;
constexpr uint32_t kPeriodMs = 2;
constexpr auto kBlock = std::chrono::milliseconds(400);
const char* const kRoot = "SYS.CAT.Application.ZAL_Cloud:0.ZAL_MQTT:0";

std::string tree() {
  std::string json =
      R"({"deviceState": 300, "variables": {"APPL.Bench": {"type": "DIRECTORY", "members": {"data": {"type": "STRUCT", "members": {)";
  for (int i = 0; i < kScalars; ++i) {
    if (i > 0) json += ",";
    json += "\"m" + std::to_string(i) + "\": {\"type\": \"" + (i % 2 ? "REAL" : "UINT32") +
            "\", \"value\": " + std::to_string(i) + "}";
  }
  json += std::string("}}}}, \"") + kRoot + R"(": {"type": "STRUCT", "members": {
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
      "strTimestampMember": {"type": "STRING", "value": "SampleTime"},
      "uiOfflineBufferKB": {"type": "UINT32", "value": 65536},
      "VariableTopicSet:0": {"type": "STRUCT", "members": {
        "topic": {"type": "STRING", "value": "bench/worker"}, "variable:0": {"type": "STRING", "value": "data"}}}}}}}}})";
  return json;
}

double threadCpuSeconds(pthread_t thread) {
  clockid_t clock;
  pthread_getcpuclockid(thread, &clock);
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// PUBACKs received on the client (network thread).
std::atomic<uint64_t> acknowledged{0};

// Waits until the acknowledgements stop growing; their count.
uint64_t settledAcks() {
  uint64_t last = acknowledged.load();
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const uint64_t now = acknowledged.load();
    if (now == last) return now;
    last = now;
  }
}

// Waits until at least target acknowledgements arrived; false after 30 s.
bool waitForAcks(uint64_t target) {
  const auto deadline = bench::Clock::now() + std::chrono::seconds(30);
  while (acknowledged.load() < target) {
    if (bench::Clock::now() >= deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

}  // namespace

int main() {
  const char* name = "offline_buffer_inproc";
  try {
    bench::pin(0);
    const auto broker = bench::startBroker(true);
    kalpinproc::loadTree(tree());
    setTraceLevel(0);
    GVPvariable::setMemberPause(std::chrono::microseconds(0));
    setConfiguration(std::make_shared<ZAL_MQTT_item>(kRoot));
    const auto publish = getConfiguration()->getPublishConfigurations().at(0);
    const std::shared_ptr<OfflineBuffer> buffer = offlineBufferFor(0, *publish);
    mosquitto_lib_init();
    mosqClient = mosquitto_new("bench", true, nullptr);
    mosquitto_publish_callback_set(mosqClient, [](mosquitto*, void*, int) { ++acknowledged; });
    if (mosquitto_connect(mosqClient, "127.0.0.1", broker->port(), 60) != MOSQ_ERR_SUCCESS)
      throw std::runtime_error("cannot connect");
    mosquitto_loop_start(mosqClient);

    // 1. Cost per payload: buffered against published.
    std::vector<double> bufferedCost, directCost, costRatios;
    std::atomic<uint8_t> samplerStop{0};
    for (int pair = 0; pair < kPairs; ++pair) {
      const auto [perBuffered, perDirect] = bench::inTurn(
          pair,
          [&] {
            buffer->discard();
            const uint64_t before = buffer->bufferedCount();
            samplerStop = 0;
            std::thread sampler(offlineSampler, 0, std::cref(samplerStop));
            const double c0 = threadCpuSeconds(sampler.native_handle());
            std::this_thread::sleep_for(kBlock);
            const double c1 = threadCpuSeconds(sampler.native_handle());
            samplerStop = 1;
            sampler.join();
            const uint64_t kept = buffer->bufferedCount() - before;
            buffer->discard();  // not for the next direct block to send
            if (kept == 0) throw std::runtime_error("nothing buffered");
            return (c1 - c0) / static_cast<double>(kept);
          },
          [&] {
            const uint64_t before = settledAcks();
            publishStop = 0;
            std::thread worker(publishWorker, 0);
            const double c0 = threadCpuSeconds(worker.native_handle());
            std::this_thread::sleep_for(kBlock);
            const double c1 = threadCpuSeconds(worker.native_handle());
            publishStop = 1;
            worker.join();
            const uint64_t sent = settledAcks() - before;
            if (sent == 0) throw std::runtime_error("nothing published");
            return (c1 - c0) / static_cast<double>(sent);
          });
      bufferedCost.push_back(perBuffered * 1e9);
      directCost.push_back(perDirect * 1e9);
      costRatios.push_back(perBuffered / perDirect);
    }

    // A payload as the buffer keeps it, to fill the buffer N times over.
    BufferedPayload sample;
    {
      samplerStop = 0;
      std::thread sampler(offlineSampler, 0, std::cref(samplerStop));
      while (buffer->empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      samplerStop = 1;
      sampler.join();
      buffer->takeFront(sample);
      buffer->discard();
    }

    // 2. Draining N payloads against a bare publisher of N.
    std::vector<double> drainMs, bareMs, drainRatios;
    for (int pair = 0; pair < kPairs; ++pair) {
      const auto [drain, bare] = bench::inTurn(
          pair,
          [&] {
            for (size_t n = 0; n < kDrainPayloads; ++n) buffer->append(sample);
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
            std::vector<std::string> payloads(kDrainPayloads, sample.payload);
            const uint64_t before = settledAcks();
            const auto start = bench::Clock::now();
            for (const std::string& p : payloads)
              mosquitto_publish(mosqClient, nullptr, "bench/bare", static_cast<int>(p.size()), p.data(), 1,
                                false);
            const bool done = waitForAcks(before + kDrainPayloads);
            const auto end = bench::Clock::now();
            if (!done) throw std::runtime_error("bare publishes not acknowledged");
            return std::chrono::duration<double, std::milli>(end - start).count();
          });
      drainMs.push_back(drain);
      bareMs.push_back(bare);
      drainRatios.push_back(drain / bare);
    }

    std::printf("%s: payload of %d scalars with a sample time, %zu bytes\n", name, kScalars,
                sample.payload.size());
    std::printf(
        "%s: publish worker, connection lost: %.0f ns CPU per buffered payload (median of %d blocks)\n", name,
        bench::median(bufferedCost), kPairs);
    std::printf(
        "%s: publish worker, connected: %.0f ns CPU per directly published payload (median of %d blocks)\n",
        name, bench::median(directCost), kPairs);
    std::printf("%s: ratio buffered/direct: %s\n", name, bench::ratioSummary(costRatios).c_str());
    std::printf("%s: drain of %zu buffered payloads until acknowledged: %.2f ms (median of %d)\n", name,
                kDrainPayloads, bench::median(drainMs), kPairs);
    std::printf("%s: bare publisher of %zu payloads until acknowledged: %.2f ms (median of %d)\n", name,
                kDrainPayloads, bench::median(bareMs), kPairs);
    std::printf("%s: ratio drain/bare: %s\n", name, bench::ratioSummary(drainRatios).c_str());

    mosquitto_disconnect(mosqClient);
    mosquitto_loop_stop(mosqClient, false);
    mosquitto_destroy(mosqClient);
    mosqClient = nullptr;
    setConfiguration(nullptr);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_%s: %s\n", name, error.what());
    return 1;
  }
  return 0;
}
