// The body of bench_headline (the service binary over the socket stand-in) and
// bench_headline_inproc (the same service over the in-process store, in a child process): the
// figure an integrator compares, tags per second per CPU core of the service's own time, and its
// resident set, at 100,000 bound scalars.
//
// Two cases, each 100,000 scalars (structures of UINT32 and REAL members) bound by one publish
// configuration:
//   100 sets of 1,000 scalars at a 1 s period
//   10 sets of 10,000 scalars at a 100 ms period
// The service runs on CPU 0; this process (a subscriber that counts what arrives), the broker
// and the variable server on CPU 1. Once every set has been delivered once, the window runs from
// one message arrival to another, over a few whole cycles or at most about 4 s; the service's
// time in it is its threads' on-CPU time (user + system) from /proc/<pid>/task/*/schedstat, the
// clock-tick figure of /proc/<pid>/stat printed beside it. tags/s per core = scalars delivered /
// CPU seconds of the service. RSS is VmRSS of the service process at the end of the window; over the
// in-process store the store's own values live in that process too, so the RSS after loading the
// store (before the service starts) is printed and taken off as well.
//
// The field's reference (printed with every figure): about 100,000 tags/s at 21 % of a 4-core
// server with about 500 MB RSS, i.e. about 119,000 tags/s per core, by an edge gateway whose
// Modbus driver is included in that figure: not like for like. Goals: at least 10x that per core,
// RSS below 64 MB at 100,000 tags.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "BenchSupport.h"
#include "PublishBenchBody.h"

namespace headline {

using namespace zaltest;
using Clock = std::chrono::steady_clock;

struct Case {
  int sets;
  int perSet;
  int periodMs;
  int cycles;  // whole cycles in the window
};
constexpr Case kCases[] = {{100, 1000, 1000, 3}, {10, 10000, 100, 20}};

// The field's figure: 100,000 tags/s at 21 % of 4 cores.
constexpr double kFieldPerCore = 100000.0 / (0.21 * 4);
constexpr double kRssGoalBytes = 64.0 * 1024 * 1024;
constexpr auto kLongestWindow = std::chrono::seconds(4);

// What a platform's start gives back: the service's process and what keeps it running.
struct Started {
  pid_t pid = 0;
  double baselineRss = 0;      // RSS of the platform's own part in the service's process
  std::shared_ptr<void> keep;  // stops the service (and its server) when released
};
using Start = std::function<Started(const std::string& treeJson)>;

inline std::string plant(const Case& c) {
  std::string members;
  members.reserve(static_cast<size_t>(c.sets) * c.perSet * 50);
  for (int s = 0; s < c.sets; ++s) {
    if (s > 0) members += ",";
    members += "\"S" + std::to_string(s) + "\": {\"type\": \"STRUCT\", \"members\": {";
    for (int m = 0; m < c.perSet; ++m) {
      if (m > 0) members += ",";
      members += "\"m" + std::to_string(m) + "\": {\"type\": \"" + (m % 2 ? "REAL" : "UINT32") +
                 "\", \"value\": " + std::to_string(m % 100) + "}";
    }
    members += "}}";
  }
  return members;
}

inline std::string treeJson(const Case& c, int brokerPort) {
  ServiceConfig config;
  config.brokerPort = brokerPort;
  config.activate = 1;
  config.traceLevel = 0;
  config.browsePauseMs = 0;
  config.plantMembers = plant(c);
  PublishSpec publish{static_cast<uint32_t>(c.periodMs), {}};
  for (int s = 0; s < c.sets; ++s)
    publish.sets.push_back({"bench/h" + std::to_string(s), {"S" + std::to_string(s)}});
  config.publishes = {publish};
  return config.treeJson();
}

// User + system time of process pid in seconds.
inline double cpuSeconds(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) throw std::runtime_error("cannot read /proc/<pid>/stat");
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // After the command: state is field 3, utime field 14, stime field 15.
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) utime = std::stoull(field);
    if (index == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

inline double residentBytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) * 1024.0;
  throw std::runtime_error("no VmRSS");
}

// On-CPU time of every thread of process pid in seconds (the first field of each
// /proc/<pid>/task/<tid>/schedstat, in ns: user + system at a finer grain than the clock ticks of
// /proc/<pid>/stat, which at a few per cent of a core count only a handful of ticks per window).
inline double runSeconds(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  double total = 0;
  if (DIR* dir = opendir(tasks.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      std::ifstream file(tasks + "/" + entry->d_name + "/schedstat");
      unsigned long long ns = 0;
      if (file >> ns) total += static_cast<double>(ns) / 1e9;
    }
    closedir(dir);
  }
  return total;
}

// Polls the count of delivered messages until check(count) holds at a moment the count has just
// grown (a message arrival); false at the deadline.
template <typename Check>
bool arrival(const publishbench::CountingSubscriber& subscriber, Clock::duration limit, size_t& count,
             Check&& check) {
  const auto deadline = Clock::now() + limit;
  size_t last = subscriber.countPrefix("bench/h");
  while (Clock::now() < deadline) {
    const size_t now = subscriber.countPrefix("bench/h");
    if (now != last && check(now)) {
      count = now;
      return true;
    }
    last = now;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  return false;
}

inline int run(const char* name, const char* platform, const Start& start) {
  try {
    bench::pin(bench::serverCpu());
    mosquitto_lib_init();
    double largestRss = 0;
    for (const Case& c : kCases) {
      const auto broker = bench::startBroker();
      publishbench::CountingSubscriber subscriber(broker->port());
      Started service = start(treeJson(c, broker->port()));

      // Every set delivered once (binding 100,000 scalars comes first). The window runs from one
      // message arrival to another: over the case's whole cycles, or, when the service is slower
      // than that, to the first arrival after kLongestWindow.
      size_t count = 0;
      if (!arrival(subscriber, std::chrono::seconds(300), count,
                   [&](size_t n) { return n >= static_cast<size_t>(c.sets); }))
        throw std::runtime_error("the service did not publish every set within 300 s");
      const double cpu0 = cpuSeconds(service.pid);
      const double run0 = runSeconds(service.pid);
      const auto t0 = Clock::now();
      const size_t first = count;
      const size_t whole = first + static_cast<size_t>(c.cycles * c.sets);
      if (!arrival(subscriber, std::chrono::seconds(120), count,
                   [&](size_t n) { return n >= whole || Clock::now() - t0 >= kLongestWindow; }))
        throw std::runtime_error("no message in the window");
      const double cpuTicks = cpuSeconds(service.pid) - cpu0;
      const double cpu = runSeconds(service.pid) - run0;
      const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
      const double rss = residentBytes(service.pid);
      service.keep.reset();

      const double tags = static_cast<double>(count - first) * c.perSet;
      const double perCore = cpu > 0 ? tags / cpu : 0;
      const double ownRss = rss - service.baselineRss;
      std::printf(
          "%s: %s platform, %d sets of %d scalars at %d ms: %.0f tags/s delivered (offered %.0f), service "
          "CPU %.1f %% of one core (%.2f s on CPU; %.2f s by /proc/<pid>/stat ticks), %.0f tags/s per core "
          "of service time (%.1fx the field's %.0f per "
          "core, goal >= 10x), RSS %.1f MB",
          name, platform, c.sets, c.perSet, c.periodMs, tags / seconds,
          static_cast<double>(c.sets) * c.perSet * 1000.0 / c.periodMs, 100.0 * cpu / seconds, cpu, cpuTicks,
          perCore, perCore / kFieldPerCore, kFieldPerCore, rss / 1048576.0);
      if (service.baselineRss > 0)
        std::printf(" (%.1f MB without the store's own %.1f MB)", ownRss / 1048576.0,
                    service.baselineRss / 1048576.0);
      std::printf(", goal < 64 MB; window %zu messages, %.2f s\n", count - first, seconds);
      std::fflush(stdout);
      largestRss = std::max(largestRss, ownRss);
    }
    std::printf(
        "%s: field reference about 100,000 tags/s at 21 %% of a 4-core server, about 500 MB RSS (an edge "
        "gateway with its field driver included: not like for like); machine shared and loaded, "
        "figures noisy; RSS goal %s in every case\n",
        name, largestRss < kRssGoalBytes ? "met" : "not met");
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_%s: %s\n", name, error.what());
    return 1;
  }
}

}  // namespace headline
