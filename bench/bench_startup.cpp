// Start-up of the service with a publish set bound to one structure of 10,000 scalars, through
// the socket stand-in, with uiBrowsePauseMs 0, against the bare client-library calls that
// binding them needs: the directory walk of the structure and, per member, open, type, one read
// of its value and close.
//
// Pairs of blocks (the side that goes first alternating): one block starts the service and
// waits for "state: Connected"; the other runs the bare calls once in this process. Both run on
// CPU 0, the variable server and the broker on CPU 1. Printed: the service's time from start to
// connected and the part of it between reaching the variable server and the configuration built
// (" ..done."), the bare time, then with the member absent (the default pause of 10 ms after
// each member and structured node) one start-up apart, and last the two pair ratios, the
// configuration built / bare and start to connected / bare.
#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "KalpApi.h"

namespace {

using namespace zaltest;

constexpr int kScalars = 10000;
constexpr int kPairs = 10;
const char* const kTypes[] = {"UINT32", "REAL", "BOOL", "UINT16", "LREAL"};

std::string plant() {
  std::string members = "\"Big\": {\"type\": \"STRUCT\", \"members\": {";
  for (int i = 0; i < kScalars; ++i) {
    if (i > 0) members += ",";
    members += "\"m" + std::to_string(i) + "\": {\"type\": \"" + kTypes[i % 5] +
               "\", \"value\": " + std::to_string(i % 2) + "}";
  }
  return members + "}}";
}

ServiceConfig config(int brokerPort, std::optional<uint32_t> browsePauseMs) {
  ServiceConfig c;
  c.brokerPort = brokerPort;
  c.activate = 1;
  c.traceLevel = 1;
  c.browsePauseMs = browsePauseMs;
  c.plantMembers = plant();
  c.publishes = {PublishSpec{60000, {SetSpec{"bench/big", {"Big"}}}}};
  return c;
}

struct Startup {
  double configured = 0;  // from the variable server reached to the configuration built
  double connected = 0;   // from start to "state: Connected"
};

Startup startService(const VariableServer& server, Clock::duration deadline) {
  const auto start = Clock::now();
  Service service(server, {"/usr/bin/taskset", "-c", "0"});
  const auto reached = service.waitFor("..connected.", 0, deadline);
  if (!reached) throw std::runtime_error("service did not reach the variable server");
  const auto reachedAt = Clock::now();
  const auto built = service.waitFor(" ..done.", *reached, deadline);
  if (!built) throw std::runtime_error("configuration not built:\n" + service.dump());
  const auto builtAt = Clock::now();
  if (!service.waitFor("state: Connected", *built, deadline))
    throw std::runtime_error("service did not connect:\n" + service.dump());
  const auto connectedAt = Clock::now();
  return {std::chrono::duration<double>(builtAt - reachedAt).count(),
          std::chrono::duration<double>(connectedAt - start).count()};
}

uint16_t valueBytes(uint32_t type) {
  switch (type) {
    case KALPAPI_TYPE_BOOL:
      return 1;
    case KALPAPI_TYPE_UINT16:
      return 2;
    case KALPAPI_TYPE_LREAL:
      return 8;
    default:
      return 4;
  }
}

// The bare calls: walk the structure; open, type, read and close each member. Seconds.
double bareBind() {
  const auto start = Clock::now();
  uint32_t directory = 0;
  if (KalpApiVarOpenDir("APPL.Plant.Big", &directory) != KALPAPI_OK) throw std::runtime_error("open dir");
  int members = 0;
  for (;;) {
    KalpApiDirEntry* entry = nullptr;
    const uint32_t status = KalpApiVarReadDir(&directory, &entry);
    if (status == KALPAPI_E_NO_MORE_ENTRIES) break;
    if (status != KALPAPI_OK || entry == nullptr) throw std::runtime_error("read dir");
    const std::string path = std::string("APPL.Plant.Big") + entry->separator + entry->memberName;
    uint32_t handle = 0, type = 0;
    uint8_t value[8];
    if (KalpApiVarOpenHdlA(path.c_str(), &handle) != KALPAPI_OK ||
        KalpApiVarGetType(handle, &type) != KALPAPI_OK ||
        KalpApiVarRead(value, handle, valueBytes(type)) != KALPAPI_OK ||
        KalpApiVarCloseHdl(&handle) != KALPAPI_OK)
      throw std::runtime_error("bare calls on " + path);
    ++members;
  }
  KalpApiVarCloseDir(&directory);
  if (members != kScalars) throw std::runtime_error("walk found " + std::to_string(members) + " members");
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
  try {
    bench::requireService();
    bench::pin(0);
    const auto broker = bench::startBroker();
    const auto server = bench::startServer(config(broker->port(), 0).treeJson());

    bareBind();  // warm up the server's tree and this process's connection
    std::vector<double> configured, connected, bare, builtRatios, connectedRatios;
    for (int pair = 0; pair < kPairs; ++pair) {
      Startup service;
      const auto [serviceSeconds, bareSeconds] = bench::inTurn(
          pair,
          [&] {
            service = startService(*server, std::chrono::minutes(5));
            return service.connected;
          },
          [&] { return bareBind(); });
      configured.push_back(service.configured);
      connected.push_back(serviceSeconds);
      bare.push_back(bareSeconds);
      builtRatios.push_back(service.configured / bareSeconds);
      connectedRatios.push_back(serviceSeconds / bareSeconds);
      std::fprintf(stderr, "startup: pair %d: service %.3f s (configuration %.3f s), bare %.3f s\n", pair,
                   serviceSeconds, service.configured, bareSeconds);
    }
    std::printf(
        "startup: %d bound scalars, uiBrowsePauseMs 0: %.3f s from start to connected, of which %.3f s "
        "configuration built (medians of %d)\n",
        kScalars, bench::median(connected), bench::median(configured), kPairs);
    std::printf("startup: bare walk + open/type/read/close of the same scalars: %.3f s (median of %d)\n",
                bench::median(bare), kPairs);

    // The default pause, on its own server so that the tree is the one without the member.
    {
      const auto defaultServer = bench::startServer(config(broker->port(), std::nullopt).treeJson());
      const Startup service = startService(*defaultServer, std::chrono::minutes(10));
      std::printf(
          "startup: %d bound scalars, uiBrowsePauseMs absent (10 ms): %.1f s from start to connected, "
          "%.1f s configuration built (one run)\n",
          kScalars, service.connected, service.configured);
    }
    std::printf("startup: ratio configuration built/bare: %s\n", bench::ratioSummary(builtRatios).c_str());
    std::printf("startup: ratio start to connected/bare: %s\n", bench::ratioSummary(connectedRatios).c_str());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_startup: %s\n", error.what());
    return 1;
  }
  return 0;
}
