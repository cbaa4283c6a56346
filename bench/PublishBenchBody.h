// The body of bench_publish (over the socket stand-in) and bench_publish_inproc (over the
// in-process store): the publish worker's cost per published scalar, next to a bare loop in the
// same run that makes the same reads, the same RapidJSON encoding and the same QoS 1
// mosquitto_publish calls for the same payloads.
//
// Starts its own mosquitto on a loopback port and a subscriber that counts what arrives. Blocks
// of the real publish worker (publishWorker, on its own thread) alternate with blocks of the bare
// loop (on its own thread); each block measures the thread's CPU time and the messages delivered
// to the subscriber. Each pair gives one ratio (CPU time per published scalar, worker / bare);
// the median and the middle half of the pair ratios are printed. The broker (and the variable
// server) run on CPU 1, the rest on CPU 0 (when the machine has two).
#pragma once

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "BenchSupport.h"
#include "GVPvariable.h"
#include "KalpApi.h"
#include "PayloadCodec.h"
#include "Trace.h"
#include "ZAL_MQTT_item.h"
#include "ZAL_MQTT_lifecycle.h"

namespace publishbench {

constexpr int kScalars = 100;  // per payload, unless the caller says otherwise
constexpr int kPairs = 12;
constexpr uint32_t kPeriodMs = 2;
constexpr auto kBlock = std::chrono::milliseconds(400);
const char* const kRoot = "SYS.CAT.Application.ZAL_Cloud:0.ZAL_MQTT:0";

struct Kind {
  const char* typeName;
  uint32_t code;
};
const Kind kKinds[] = {{"UINT32", 8}, {"REAL", 10}, {"BOOL", 1}, {"UINT16", 7}, {"LREAL", 11}};
constexpr size_t kKindCount = sizeof kKinds / sizeof kKinds[0];

inline std::string tree(int scalars) {
  std::string json =
      R"({"deviceState": 300, "variables": {"APPL.Bench": {"type": "DIRECTORY", "members": {"data": {"type": "STRUCT", "members": {)";
  for (int i = 0; i < scalars; ++i) {
    if (i > 0) json += ",";
    json += "\"m" + std::to_string(i) + "\": {\"type\": \"" + kKinds[i % kKindCount].typeName +
            "\", \"value\": " + std::to_string(i % 2) + "}";
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
      "VariableTopicSet:0": {"type": "STRUCT", "members": {
        "topic": {"type": "STRING", "value": "bench/worker"}, "xRaw": {"type": "UINT32", "value": 0},
        "variable:0": {"type": "STRING", "value": "data"}}}}}}}}})";
  return json;
}

inline double threadCpuSeconds(pthread_t thread) {
  clockid_t clock;
  pthread_getcpuclockid(thread, &clock);
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The bare loop: the same reads through handles opened once, the same payload with RapidJSON,
// the same publish call, on the same period.
inline void bareLoop(const std::vector<uint32_t>& handles, std::atomic<bool>& stop) {
  const int scalars = static_cast<int>(handles.size());
  rapidjson::StringBuffer buffer;
  while (!stop.load()) {
    buffer.Clear();
    PayloadWriter writer(buffer);
    writer.StartObject();
    writer.Key("data");
    writer.StartObject();
    for (int i = 0; i < scalars; ++i) {
      const std::string name = "m" + std::to_string(i);
      writer.Key(name.c_str(), static_cast<rapidjson::SizeType>(name.size()));
      uint8_t bytes[8] = {};
      switch (kKinds[i % kKindCount].code) {
        case 8: {
          uint32_t v = 0;
          KalpApiVarRead(&v, handles[i], 4);
          writer.Uint(v);
        } break;
        case 10: {
          float v = 0;
          KalpApiVarRead(&v, handles[i], 4);
          writer.Double(v);
        } break;
        case 1:
          KalpApiVarRead(bytes, handles[i], 1);
          writer.Bool(bytes[0] != 0);
          break;
        case 7: {
          uint16_t v = 0;
          KalpApiVarRead(&v, handles[i], 2);
          writer.Uint(v);
        } break;
        default: {
          double v = 0;
          KalpApiVarRead(&v, handles[i], 8);
          writer.Double(v);
        } break;
      }
    }
    writer.EndObject();
    writer.EndObject();
    mosquitto_publish(mosqClient, nullptr, "bench/bare", static_cast<int>(buffer.GetSize()),
                      buffer.GetString(), 1, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(kPeriodMs));
  }
}

// Counts the messages per topic at the broker without keeping them (payloads of 100,000 scalars
// are megabytes each).
class CountingSubscriber {
 public:
  explicit CountingSubscriber(int port) {
    mosquitto_lib_init();
    client_ = mosquitto_new(nullptr, true, this);
    mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* m) {
      auto* me = static_cast<CountingSubscriber*>(self);
      std::lock_guard<std::mutex> lock(me->mutex_);
      ++me->counts_[m->topic];
    });
    if (mosquitto_connect(client_, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS ||
        mosquitto_subscribe(client_, nullptr, "bench/#", 1) != MOSQ_ERR_SUCCESS)
      throw std::runtime_error("subscriber cannot connect");
    mosquitto_loop_start(client_);
  }
  ~CountingSubscriber() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  size_t count(const std::string& topic) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = counts_.find(topic);
    return it == counts_.end() ? 0 : it->second;
  }
  // Messages on every topic that starts with prefix.
  size_t countPrefix(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& [topic, count] : counts_)
      if (topic.rfind(prefix, 0) == 0) n += count;
    return n;
  }

 private:
  mosquitto* client_ = nullptr;
  mutable std::mutex mutex_;
  std::map<std::string, size_t> counts_;
};

// Waits until the count of topic has not grown for a while; returns it.
inline size_t settledCount(const CountingSubscriber& subscriber, const std::string& topic) {
  size_t last = subscriber.count(topic);
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const size_t now = subscriber.count(topic);
    if (now == last) return now;
    last = now;
  }
}

// CPU time per published scalar of the worker and of the bare loop, in ns, and their pair ratios.
struct Figures {
  std::vector<double> workerNs, bareNs, ratios;
};

// Measures pairs of blocks with payloads of scalars scalars. transport(treeJson) makes the tree
// readable through the KalpApi calls and returns what has to stay alive while it runs.
template <typename Transport>
Figures measure(int scalars, int pairs, Transport&& transport) {
  bench::pin(0);
  const auto broker = bench::startBroker();
  [[maybe_unused]] const auto keep = transport(tree(scalars));
  CountingSubscriber subscriber(broker->port());
  // The subscription takes effect once the broker has answered; wait until the worker's first
  // messages arrive below rather than here.

  setTraceLevel(0);
  GVPvariable::setMemberPause(std::chrono::microseconds(0));
  setConfiguration(std::make_shared<ZAL_MQTT_item>(kRoot));
  mosquitto_lib_init();
  mosqClient = mosquitto_new("bench", true, nullptr);
  mosquitto_max_inflight_messages_set(mosqClient, 0);
  if (mosquitto_connect(mosqClient, "127.0.0.1", broker->port(), 60) != MOSQ_ERR_SUCCESS)
    throw std::runtime_error("cannot connect");
  mosquitto_loop_start(mosqClient);

  std::vector<uint32_t> handles(static_cast<size_t>(scalars));
  for (int i = 0; i < scalars; ++i)
    KalpApiVarOpenHdlA(("APPL.Bench.data.m" + std::to_string(i)).c_str(), &handles[static_cast<size_t>(i)]);

  Figures figures;
  for (int pair = -1; pair < pairs; ++pair) {  // pair -1 warms up and is not counted
    // The real worker.
    size_t before = settledCount(subscriber, "bench/worker");
    publishStop = 0;
    std::thread worker(publishWorker, 0);
    const double w0 = threadCpuSeconds(worker.native_handle());
    std::this_thread::sleep_for(kBlock);
    const double w1 = threadCpuSeconds(worker.native_handle());
    publishStop = 1;
    worker.join();
    const size_t workerMessages = settledCount(subscriber, "bench/worker") - before;

    // The bare loop.
    before = settledCount(subscriber, "bench/bare");
    std::atomic<bool> stop{false};
    std::thread bare(bareLoop, std::cref(handles), std::ref(stop));
    const double b0 = threadCpuSeconds(bare.native_handle());
    std::this_thread::sleep_for(kBlock);
    const double b1 = threadCpuSeconds(bare.native_handle());
    stop = true;
    bare.join();
    const size_t bareMessages = settledCount(subscriber, "bench/bare") - before;
    if (pair < 0) continue;
    if (workerMessages == 0 || bareMessages == 0) throw std::runtime_error("no messages arrived");

    const double perWorker = (w1 - w0) / static_cast<double>(workerMessages) / scalars;
    const double perBare = (b1 - b0) / static_cast<double>(bareMessages) / scalars;
    figures.workerNs.push_back(perWorker * 1e9);
    figures.bareNs.push_back(perBare * 1e9);
    figures.ratios.push_back(perWorker / perBare);
  }
  for (uint32_t& handle : handles) KalpApiVarCloseHdl(&handle);
  mosquitto_disconnect(mosqClient);
  mosquitto_loop_stop(mosqClient, false);
  mosquitto_destroy(mosqClient);
  mosqClient = nullptr;
  setConfiguration(nullptr);
  return figures;
}

// Runs the benchmark with payloads of kScalars scalars; name starts every printed line.
template <typename Transport>
int run(const char* name, Transport&& transport) {
  try {
    const Figures f = measure(kScalars, kPairs, std::forward<Transport>(transport));
    std::printf(
        "%s: publish worker, %d scalars per payload: %.0f ns CPU per published scalar (median of %d "
        "blocks)\n",
        name, kScalars, bench::median(f.workerNs), kPairs);
    std::printf(
        "%s: bare reads + RapidJSON + mosquitto_publish: %.0f ns CPU per published scalar (median of %d "
        "blocks)\n",
        name, bench::median(f.bareNs), kPairs);
    std::printf("%s: ratio worker/bare: %s\n", name, bench::ratioSummary(f.ratios).c_str());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_%s: %s\n", name, error.what());
    return 1;
  }
  return 0;
}

}  // namespace publishbench
