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
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "GVPvariable.h"
#include "KalpApi.h"
#include "PayloadCodec.h"
#include "Trace.h"
#include "ZAL_MQTT_item.h"
#include "ZAL_MQTT_lifecycle.h"

namespace publishbench {

constexpr int kScalars = 100;
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

std::string tree() {
  std::string json =
      R"({"deviceState": 300, "variables": {"APPL.Bench": {"type": "DIRECTORY", "members": {"data": {"type": "STRUCT", "members": {)";
  for (int i = 0; i < kScalars; ++i) {
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

double threadCpuSeconds(pthread_t thread) {
  clockid_t clock;
  pthread_getcpuclockid(thread, &clock);
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The bare loop: the same reads through handles opened once, the same payload with RapidJSON,
// the same publish call, on the same period.
void bareLoop(const std::vector<uint32_t>& handles, std::atomic<bool>& stop) {
  rapidjson::StringBuffer buffer;
  while (!stop.load()) {
    buffer.Clear();
    PayloadWriter writer(buffer);
    writer.StartObject();
    writer.Key("data");
    writer.StartObject();
    for (int i = 0; i < kScalars; ++i) {
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

// Waits until the count of topic has not grown for a while; returns it.
size_t settledCount(const zaltest::Subscriber& subscriber, const std::string& topic) {
  size_t last = subscriber.count(topic);
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const size_t now = subscriber.count(topic);
    if (now == last) return now;
    last = now;
  }
}

// Runs the benchmark; name starts every printed line. transport(treeJson) makes the tree
// readable through the KalpApi calls and returns what has to stay alive while it runs.
template <typename Transport>
int run(const char* name, Transport&& transport) {
  try {
    bench::pin(0);
    const auto broker = bench::startBroker();
    [[maybe_unused]] const auto keep = transport(tree());
    zaltest::Subscriber subscriber(broker->port());

    setTraceLevel(0);
    GVPvariable::setMemberPause(std::chrono::microseconds(0));
    setConfiguration(std::make_shared<ZAL_MQTT_item>(kRoot));
    mosquitto_lib_init();
    mosqClient = mosquitto_new("bench", true, nullptr);
    mosquitto_max_inflight_messages_set(mosqClient, 0);
    if (mosquitto_connect(mosqClient, "127.0.0.1", broker->port(), 60) != MOSQ_ERR_SUCCESS)
      throw std::runtime_error("cannot connect");
    mosquitto_loop_start(mosqClient);

    std::vector<uint32_t> handles(kScalars);
    for (int i = 0; i < kScalars; ++i)
      KalpApiVarOpenHdlA(("APPL.Bench.data.m" + std::to_string(i)).c_str(), &handles[i]);

    std::vector<double> workerCost, bareCost, ratios;
    for (int pair = 0; pair < kPairs; ++pair) {
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
      if (workerMessages == 0 || bareMessages == 0) throw std::runtime_error("no messages arrived");

      const double perWorker = (w1 - w0) / static_cast<double>(workerMessages * kScalars);
      const double perBare = (b1 - b0) / static_cast<double>(bareMessages * kScalars);
      workerCost.push_back(perWorker * 1e9);
      bareCost.push_back(perBare * 1e9);
      ratios.push_back(perWorker / perBare);
    }
    std::printf(
        "%s: publish worker, %d scalars per payload: %.0f ns CPU per published scalar (median of %d "
        "blocks)\n",
        name, kScalars, bench::median(workerCost), kPairs);
    std::printf(
        "%s: bare reads + RapidJSON + mosquitto_publish: %.0f ns CPU per published scalar (median of %d "
        "blocks)\n",
        name, bench::median(bareCost), kPairs);
    std::printf("%s: ratio worker/bare: %s\n", name, bench::ratioSummary(ratios).c_str());
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

}  // namespace publishbench
