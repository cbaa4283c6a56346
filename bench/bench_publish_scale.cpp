// Scale of one publish configuration: K = 1, 10, 100 variable-topic sets, each a struct of 10
// scalars, at a period of 10 ms, through the service and the socket stand-in. For each K: the
// cycles per second the service achieves (messages at a subscriber / K), against a reference in
// this process that does the same work per cycle on as many threads as the service uses for it
// (one loop thread and the client library's network thread): per set the same 10 client-library
// reads, the same RapidJSON encoding and one QoS 1 mosquitto_publish, then the same period's
// sleep. The ratio (service / reference) says what the service's own structure costs.
//
// Pairs of blocks, the side that goes first alternating: while one side runs, the other is
// stopped (the service with SIGSTOP, the reference's loop by a flag). The service and this
// process run on CPU 0, the broker and the variable server on CPU 1. Starts its own mosquitto,
// kalpapi-server and the service (build the ZAL_CLOUD_MQTT_OOP target first) for each K and
// stops them afterwards. Prints a line per K; the last line is the ratio at K = 100.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "KalpApi.h"
#include "PublishBenchBody.h"

namespace {

using namespace zaltest;

constexpr int kPeriodMs = 10;
constexpr int kMembers = 10;
constexpr int kPairs = 10;
constexpr auto kSettle = std::chrono::milliseconds(300);
constexpr auto kWindow = std::chrono::milliseconds(1500);

std::string plant(int sets) {
  std::string members;
  for (int s = 0; s < sets; ++s) {
    if (s > 0) members += ",";
    members += "\"S" + std::to_string(s) + "\": {\"type\": \"STRUCT\", \"members\": {";
    for (int m = 0; m < kMembers; ++m) {
      if (m > 0) members += ",";
      members += "\"m" + std::to_string(m) + "\": {\"type\": \"" + (m % 2 ? "REAL" : "UINT32") +
                 "\", \"value\": " + std::to_string(m) + "}";
    }
    members += "}}";
  }
  return members;
}

// The reference: the service's work per cycle without the service around it.
class Reference {
 public:
  Reference(int sets, int brokerPort) : sets_(sets) {
    for (int s = 0; s < sets; ++s)
      for (int m = 0; m < kMembers; ++m) {
        uint32_t h = 0;
        const std::string path = "APPL.Plant.S" + std::to_string(s) + ".m" + std::to_string(m);
        if (KalpApiVarOpenHdlA(path.c_str(), &h) != KALPAPI_OK) throw std::runtime_error("open " + path);
        handles_.push_back(h);
      }
    client_ = mosquitto_new("bench-reference", true, nullptr);
    mosquitto_max_inflight_messages_set(client_, 0);
    if (mosquitto_connect(client_, "127.0.0.1", brokerPort, 60) != MOSQ_ERR_SUCCESS)
      throw std::runtime_error("reference cannot connect");
    mosquitto_loop_start(client_);
  }
  ~Reference() {
    stop();
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
    for (uint32_t& h : handles_) KalpApiVarCloseHdl(&h);
  }
  void start() {
    running_ = true;
    thread_ = std::thread([this] { loop(); });
  }
  void stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }

 private:
  void loop() {
    rapidjson::StringBuffer buffer;
    std::string payload;
    while (running_.load()) {
      for (int s = 0; s < sets_; ++s) {
        const std::string topic = "bench/ref" + std::to_string(s);
        const std::string variable = "S" + std::to_string(s);
        buffer.Clear();
        PayloadWriter writer(buffer);
        writer.StartObject();
        writer.Key(variable.c_str(), static_cast<rapidjson::SizeType>(variable.size()));
        writer.StartObject();
        for (int m = 0; m < kMembers; ++m) {
          const std::string name = "m" + std::to_string(m);
          writer.Key(name.c_str(), static_cast<rapidjson::SizeType>(name.size()));
          const uint32_t handle = handles_[static_cast<size_t>(s * kMembers + m)];
          if (m % 2) {
            float v = 0;
            KalpApiVarRead(&v, handle, 4);
            writer.Double(v);
          } else {
            uint32_t v = 0;
            KalpApiVarRead(&v, handle, 4);
            writer.Uint(v);
          }
        }
        writer.EndObject();
        writer.EndObject();
        payload.assign(buffer.GetString(), buffer.GetSize());
        mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                          1, false);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(kPeriodMs));
    }
  }

  int sets_;
  std::vector<uint32_t> handles_;
  mosquitto* client_ = nullptr;
  std::atomic<bool> running_{false};
  std::thread thread_;
};

// Cycles per second of the side whose messages carry prefix, over one window after a settle.
double cyclesPerSecond(const publishbench::CountingSubscriber& subscriber, const std::string& prefix,
                       int sets) {
  std::this_thread::sleep_for(kSettle);
  const size_t before = subscriber.countPrefix(prefix);
  const auto start = Clock::now();
  std::this_thread::sleep_for(kWindow);
  const size_t messages = subscriber.countPrefix(prefix) - before;
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return static_cast<double>(messages) / sets / seconds;
}

}  // namespace

int main() {
  try {
    bench::requireService();
    bench::pin(0);
    mosquitto_lib_init();
    double lastRatio = 0;
    for (int sets : {1, 10, 100}) {
      const auto broker = bench::startBroker();
      ServiceConfig config;
      config.brokerPort = broker->port();
      config.activate = 1;
      config.traceLevel = 1;
      config.browsePauseMs = 0;
      config.plantMembers = plant(sets);
      PublishSpec publish{kPeriodMs, {}};
      for (int s = 0; s < sets; ++s)
        publish.sets.push_back({"bench/s" + std::to_string(s), {"S" + std::to_string(s)}});
      config.publishes = {publish};
      const auto server = bench::startServer(config.treeJson());
      publishbench::CountingSubscriber subscriber(broker->port());
      Service service(*server, {"/usr/bin/taskset", "-c", "0"});
      if (!service.waitFor("state: Connected", 0, kStartDeadline))
        throw std::runtime_error("service did not connect");
      const pid_t pid = service.process().pid();
      Reference reference(sets, broker->port());

      std::vector<double> achieved, possible, ratios;
      for (int pair = 0; pair < kPairs; ++pair) {
        const auto [serviceRate, referenceRate] = bench::inTurn(
            pair,
            [&] {
              kill(pid, SIGCONT);
              const double rate = cyclesPerSecond(subscriber, "bench/s", sets);
              kill(pid, SIGSTOP);
              return rate;
            },
            [&] {
              reference.start();
              const double rate = cyclesPerSecond(subscriber, "bench/ref", sets);
              reference.stop();
              return rate;
            });
        achieved.push_back(serviceRate);
        possible.push_back(referenceRate);
        ratios.push_back(serviceRate / referenceRate);
      }
      kill(pid, SIGCONT);
      lastRatio = bench::median(ratios);
      std::printf(
          "publish_scale: K=%d sets of %d scalars, period %d ms: service %.1f cycles/s, reference %.1f "
          "cycles/s (medians of %d); ratio service/reference: %s\n",
          sets, kMembers, kPeriodMs, bench::median(achieved), bench::median(possible), kPairs,
          bench::ratioSummary(ratios).c_str());
    }
    std::printf("publish_scale: ratio service/reference at K=100: %.3f\n", lastRatio);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_publish_scale: %s\n", error.what());
    return 1;
  }
  return 0;
}
