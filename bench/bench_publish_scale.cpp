// Scale of one publish configuration: K = 1, 10, 100 variable-topic sets, each a struct of 10
// scalars, at a period of 10 ms, through the service and the socket stand-in. For each K: the
// cycles per second the service achieves (messages at a subscriber / K), next to what the period
// and the read cost allow, 1 / (period + K x the time of 10 bare client-library reads), with the
// read cost measured in the same run over the same server.
//
// Starts its own mosquitto, kalpapi-server and the service (build the ZAL_CLOUD_MQTT_OOP target
// first) for each K and stops them afterwards.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "KalpApi.h"

namespace {

using namespace zaltest;

constexpr int kPeriodMs = 10;
constexpr int kMembers = 10;
constexpr auto kWindow = std::chrono::seconds(3);

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

// Seconds per read of one scalar through the client library (handles opened beforehand).
double bareReadSeconds(int sets) {
  std::vector<uint32_t> handles;
  for (int s = 0; s < sets; ++s)
    for (int m = 0; m < kMembers; ++m) {
      uint32_t h = 0;
      KalpApiVarOpenHdlA(("APPL.Plant.S" + std::to_string(s) + ".m" + std::to_string(m)).c_str(), &h);
      handles.push_back(h);
    }
  uint32_t value = 0;
  size_t reads = 0;
  const auto start = Clock::now();
  while (Clock::now() - start < std::chrono::milliseconds(500))
    for (uint32_t h : handles) {
      KalpApiVarRead(&value, h, 4);
      ++reads;
    }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (uint32_t& h : handles) KalpApiVarCloseHdl(&h);
  return seconds / static_cast<double>(reads);
}

}  // namespace

int main() {
  try {
    bench::requireService();
    for (int sets : {1, 10, 100}) {
      Broker broker;
      ServiceConfig config;
      config.brokerPort = broker.port();
      config.activate = 1;
      config.traceLevel = 1;
      config.plantMembers = plant(sets);
      PublishSpec publish{kPeriodMs, {}};
      for (int s = 0; s < sets; ++s)
        publish.sets.push_back({"bench/s" + std::to_string(s), {"S" + std::to_string(s)}});
      config.publishes = {publish};
      VariableServer server(config.treeJson());
      Subscriber subscriber(broker.port());
      Service service(server);
      if (!service.waitFor("state: Connected", 0, kStartDeadline))
        throw std::runtime_error("service did not connect");
      std::this_thread::sleep_for(std::chrono::milliseconds(500));  // past the first cycles

      const size_t before = subscriber.messages().size();
      std::this_thread::sleep_for(kWindow);
      const size_t messages = subscriber.messages().size() - before;
      const double achieved =
          static_cast<double>(messages) / sets / std::chrono::duration<double>(kWindow).count();

      setenv("KALPAPI_SOCKET", server.socket().c_str(), 1);
      const double readSeconds = bareReadSeconds(sets);
      const double allowed = 1.0 / (kPeriodMs / 1000.0 + sets * kMembers * readSeconds);
      std::printf(
          "publish_scale: K=%d sets of %d scalars, period %d ms: %.1f cycles/s achieved, %.1f allowed by "
          "period + reads (%.1f us per read); ratio %.3f\n",
          sets, kMembers, kPeriodMs, achieved, allowed, readSeconds * 1e6, achieved / allowed);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_publish_scale: %s\n", error.what());
    return 1;
  }
  return 0;
}
