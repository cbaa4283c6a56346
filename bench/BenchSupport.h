// What the benchmarks share:
//
//   pin, serverCpu     CPU pinning: the measuring process on CPU 0, the broker and the variable
//                      server on CPU 1 (all on CPU 0 when the machine has one)
//   quantile           linear interpolation between the two nearest ranks (q = 0.5 is the median)
//   ratioSummary       one pair-ratio figure: "median 1.234, middle half 1.100 .. 1.300 (12 pairs)"
//   inTurn             one pair of blocks, the side that goes first alternating from pair to pair
//   ratePerSecond      runs a round repeatedly for one block; units per second
//   requireService     the service binary is there (ZAL_SERVICE_PATH)
//   startBroker        mosquitto on a free loopback port with a temporary config, pinned
//   startServer        kalpapi-server on a temporary tree file and socket, pinned, its socket
//                      exported in KALPAPI_SOCKET for the client library
//
// The processes, temporary directories and free ports are the integration tests' harness
// (zaltest::Broker, zaltest::VariableServer, zaltest::TempDir, zaltest::freePort): each child is
// stopped by its PID (SIGTERM, then SIGKILL) when its object goes.
#pragma once

#include <dirent.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#ifndef MOSQUITTO_PATH
#define MOSQUITTO_PATH "/usr/sbin/mosquitto"
#endif
#ifndef MOSQUITTO_PASSWD_PATH
#define MOSQUITTO_PASSWD_PATH ""  // no benchmark uses a password file
#endif
#ifndef OPENSSL_PATH
#define OPENSSL_PATH ""  // nor TLS
#endif
#include "../tests/integration/IntegrationHarness.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline bool twoCpus() { return sysconf(_SC_NPROCESSORS_ONLN) > 1; }

// The CPU of the broker and the variable server.
inline int serverCpu() { return twoCpus() ? 1 : 0; }

// Pins every thread of process pid (0: this process) to cpu; threads started later inherit it.
// Best effort, and nothing on a machine with one CPU.
inline void pin(int cpu, pid_t pid = 0) {
  if (!twoCpus()) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  const std::string tasks = "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/task";
  if (DIR* dir = opendir(tasks.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') sched_setaffinity(std::atoi(entry->d_name), sizeof set, &set);
    }
    closedir(dir);
  } else {
    sched_setaffinity(pid, sizeof set, &set);
  }
}

inline double quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const double position = q * static_cast<double>(values.size() - 1);
  const size_t low = static_cast<size_t>(position);
  const size_t high = std::min(low + 1, values.size() - 1);
  return values[low] + (values[high] - values[low]) * (position - static_cast<double>(low));
}

inline double median(const std::vector<double>& values) { return quantile(values, 0.5); }

// The median pair ratio with its middle half (quartiles) and the number of pairs.
inline std::string ratioSummary(const std::vector<double>& ratios) {
  char text[160];
  std::snprintf(text, sizeof text, "median %.3f, middle half %.3f .. %.3f (%zu pairs)", quantile(ratios, 0.5),
                quantile(ratios, 0.25), quantile(ratios, 0.75), ratios.size());
  return text;
}

// One pair of blocks: {a(), b()}, a first in even pairs and b first in odd ones, so that
// neither side always gets the warmer half.
template <typename A, typename B>
std::pair<double, double> inTurn(int pair, A&& a, B&& b) {
  if (pair % 2 == 0) {
    const double first = a();
    return {first, b()};
  }
  const double second = b();
  return {a(), second};
}

// Runs round() repeatedly for at least one block; returns unitsPerRound x rounds per second.
template <typename Round>
double ratePerSecond(Round&& round, Clock::duration block, double unitsPerRound) {
  const auto start = Clock::now();
  long rounds = 0;
  auto now = start;
  do {
    round();
    ++rounds;
    now = Clock::now();
  } while (now - start < block);
  return static_cast<double>(rounds) * unitsPerRound / std::chrono::duration<double>(now - start).count();
}

// The service binary's benchmarks need it built first.
inline void requireService() {
  struct stat info {};
  if (stat(ZAL_SERVICE_PATH, &info) != 0)
    throw std::runtime_error("build the service first: " ZAL_SERVICE_PATH);
}

// mosquitto on a free loopback port, pinned to serverCpu().
inline std::unique_ptr<zaltest::Broker> startBroker(bool tcpNoDelay = false) {
  zaltest::BrokerOptions options;
  options.tcpNoDelay = tcpNoDelay;
  auto broker = std::make_unique<zaltest::Broker>(options);
  pin(serverCpu(), broker->process().pid());
  return broker;
}

// kalpapi-server over treeJson on a temporary socket, pinned to serverCpu(); this process's
// client library is pointed at it.
inline std::unique_ptr<zaltest::VariableServer> startServer(const std::string& treeJson) {
  auto server = std::make_unique<zaltest::VariableServer>(treeJson);
  pin(serverCpu(), server->process().pid());
  setenv("KALPAPI_SOCKET", server->socket().c_str(), 1);
  return server;
}

}  // namespace bench
