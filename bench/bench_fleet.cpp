// A fleet on one broker: N service instances (default 50, BENCH_FLEET_N), each with its own
// kalpapi-server, publish a counter with store and forward to one mosquitto; the broker is
// stopped for BENCH_FLEET_OUTAGE_S seconds (default 10) and started again on its port. Reported,
// once without uiReconnectMaxS and once with it (BENCH_FLEET_RECONNECT_MAX_S, default 8):
//   - the connections the broker accepts per second from its restart until all N are back
//     (CONNECTs accepted, from its log: peak and median of the one-second buckets),
//   - the time from the restart until every instance traced "state: Connected" again,
//   - every instance's RSS (min, median, max) once the fleet is back,
//   - values lost or repeated on the store-and-forward sets (a subscriber whose session the
//     broker keeps across the restart receives every instance's topic).
// The reference of the reconnection figures is the mode without the member, measured in the
// same run. Not a test: it prints its figures and stops everything it started.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>

// BenchSupport.h first: it gives the harness the program paths a benchmark does without.
#include "BenchSupport.h"
// clang-format off
#include "../tests/integration/OutageSupport.h"
// clang-format on

namespace {

using namespace std::chrono_literals;
using zaltest::Service;
using zaltest::ServiceConfig;
using zaltest::VariableServer;

size_t envNumber(const char* name, size_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && std::atol(text) > 0 ? static_cast<size_t>(std::atol(text)) : fallback;
}

std::string treeOf(size_t instance, int port, uint32_t reconnectMaxS) {
  ServiceConfig config;
  config.clientId = "zal-fleet-" + std::to_string(instance);
  config.brokerPort = port;
  config.activate = 1;
  config.keepAlive = 10;
  config.traceLevel = 1;
  config.plantMembers =
      "\"Counter\": {\"type\": \"UINT32\", \"value\": 0, \"simulate\": {\"kind\": \"counter\", \"periodMs\": "
      "500}}";
  config.publishes.push_back({100,
                              {{"plant/" + std::to_string(instance) + "/a", {"Counter"}, 0, 1, 0}},
                              "\"strTimestampMember\": {\"type\": \"STRING\", \"value\": \"SampleTime\"}, "
                              "\"uiOfflineBufferKB\": {\"type\": \"UINT32\", \"value\": 64}"});
  if (reconnectMaxS != 0)
    config.extraRootMembers =
        "\"uiReconnectMaxS\": {\"type\": \"UINT32\", \"value\": " + std::to_string(reconnectMaxS) + "}";
  return config.treeJson();
}

long rssKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// Index of the first line at or after from that contains text, or nullopt.
std::optional<size_t> firstLine(const zaltest::LineLog& log, const std::string& text, size_t from) {
  const std::vector<size_t> found = log.find(text, from);
  if (found.empty()) return std::nullopt;
  return found.front();
}

// mosquitto on a port of our choosing with its sessions kept in dir across a restart, and no
// limit on the messages it queues for a client or has in flight to it: after the restart the
// whole fleet sends its kept payloads within a second or two, while the subscriber may still be
// reconnecting, and the default limit (1,000 queued) would drop them in the broker.
class FleetBroker {
 public:
  FleetBroker(int port, const std::string& persistenceDir) {
    std::ostringstream conf;
    conf << "per_listener_settings false\nlog_dest stderr\nallow_anonymous true\n"
         << "persistence true\npersistence_location " << persistenceDir << "/\n"
         << "max_queued_messages 0\nmax_inflight_messages 0\n";
    if (const passwd* self = getpwuid(geteuid())) conf << "user " << self->pw_name << "\n";
    conf << "listener " << port << " 127.0.0.1\n";
    zaltest::writeFile(dir_.file("mosquitto.conf"), conf.str());
    process_ = std::make_unique<zaltest::Process>(
        std::vector<std::string>{MOSQUITTO_PATH, "-c", dir_.file("mosquitto.conf")});
    const auto deadline = bench::Clock::now() + 30s;
    while (!zaltest::portAccepts(port)) {
      if (!process_->running() || bench::Clock::now() >= deadline)
        throw std::runtime_error("broker did not start:\n" + process_->log().dump());
      std::this_thread::sleep_for(20ms);
    }
  }
  zaltest::Process& process() { return *process_; }

 private:
  zaltest::TempDir dir_;
  std::unique_ptr<zaltest::Process> process_;
};

void runRound(size_t n, size_t outageS, uint32_t reconnectMaxS) {
  const std::string mode =
      reconnectMaxS == 0 ? "without uiReconnectMaxS" : "uiReconnectMaxS " + std::to_string(reconnectMaxS);
  zaltest::TempDir sessions;
  const int port = zaltest::freePort();
  auto broker = std::make_unique<FleetBroker>(port, sessions.path());
  zaltest::SessionSubscriber subscriber(port, "zal-fleet-subscriber");

  std::vector<std::unique_ptr<VariableServer>> servers;
  std::vector<std::unique_ptr<Service>> services;
  const auto startAt = bench::Clock::now();
  for (size_t i = 0; i < n; ++i) {
    servers.push_back(std::make_unique<VariableServer>(treeOf(i, port, reconnectMaxS)));
    services.push_back(std::make_unique<Service>(*servers.back()));
  }
  for (size_t i = 0; i < n; ++i)
    if (!services[i]->waitFor("state: Connected", 0, 300s))
      throw std::runtime_error("instance " + std::to_string(i) + " did not connect:\n" + services[i]->dump());
  std::printf("fleet %s: %zu instances started and connected in %.1f s\n", mode.c_str(), n,
              std::chrono::duration<double>(bench::Clock::now() - startAt).count());
  std::fflush(stdout);
  // Values flow before the outage.
  for (size_t i = 0; i < n; ++i)
    subscriber.waitFor("plant/" + std::to_string(i) + "/a", zaltest::counterAtLeast(1), 60s);

  std::vector<size_t> marks;
  for (const auto& service : services) marks.push_back(service->mark());
  broker.reset();  // SIGTERM: mosquitto saves the subscriber's session
  std::this_thread::sleep_for(std::chrono::seconds(outageS));
  const auto restartAt = bench::Clock::now();
  broker = std::make_unique<FleetBroker>(port, sessions.path());
  const zaltest::LineLog& brokerLog = broker->process().log();

  // Every instance back: the time of its "state: Connected" line after the outage.
  std::vector<double> backAfterS(n, -1);
  size_t back = 0;
  const auto deadline = restartAt + 300s;
  while (back < n && bench::Clock::now() < deadline) {
    for (size_t i = 0; i < n; ++i) {
      if (backAfterS[i] >= 0) continue;
      const zaltest::LineLog& log = services[i]->log();
      const auto lost = firstLine(log, "EntryConnectionLost", marks[i]);
      if (!lost) continue;
      const auto connected = firstLine(log, "state: Connected", *lost);
      if (!connected) continue;
      backAfterS[i] = std::chrono::duration<double>(log.arrival(*connected) - restartAt).count();
      ++back;
    }
    std::this_thread::sleep_for(50ms);
  }
  const double allBackS = *std::max_element(backAfterS.begin(), backAfterS.end());

  // The broker's accepted connections per second since its restart, until all were back.
  std::map<long, size_t> perSecond;
  for (const size_t line : brokerLog.find("New client connected from")) {
    if (brokerLog.line(line).find(" as zal-fleet-") == std::string::npos ||
        brokerLog.line(line).find("zal-fleet-subscriber") != std::string::npos)
      continue;
    const double at = std::chrono::duration<double>(brokerLog.arrival(line) - restartAt).count();
    ++perSecond[static_cast<long>(at)];
  }
  std::vector<double> buckets;
  const long seconds = static_cast<long>(allBackS) + 1;
  for (long s = 0; s < seconds; ++s) buckets.push_back(static_cast<double>(perSecond[s]));
  const double peak = buckets.empty() ? 0 : *std::max_element(buckets.begin(), buckets.end());
  std::printf(
      "fleet %s: %zu/%zu back, all after %.1f s; broker connections/s peak %.0f, median %.1f "
      "(over %ld s)\n",
      mode.c_str(), back, n, allBackS, peak, bench::median(buckets), seconds);

  std::vector<double> rss;
  for (const auto& service : services) rss.push_back(static_cast<double>(rssKb(service->process().pid())));
  std::sort(rss.begin(), rss.end());
  std::printf("fleet %s: RSS per instance min %.1f MB, median %.1f MB, max %.1f MB\n", mode.c_str(),
              rss.front() / 1024, bench::median(rss) / 1024, rss.back() / 1024);

  // Nothing lost on the store-and-forward sets: every value once and in order (the same payload
  // again at the cut is the MQTT library's QoS 1 resend).
  size_t lost = 0, repeatedDifferent = 0, values = 0;
  for (size_t i = 0; i < n; ++i) {
    const std::string topic = "plant/" + std::to_string(i) + "/a";
    const long long target = zaltest::counterNow(*servers[i]) + 2;
    subscriber.waitFor(topic, zaltest::counterAtLeast(target), 60s);
    std::map<long long, std::string> seen;
    long long previous = -1;
    for (const std::string& p : subscriber.payloads(topic)) {
      const long long value = zaltest::counterOf(p);
      const auto earlier = seen.find(value);
      if (earlier != seen.end()) {
        if (earlier->second != p) ++repeatedDifferent;
        continue;
      }
      seen.emplace(value, p);
      if (previous >= 0 && value > previous + 1) {
        lost += static_cast<size_t>(value - previous - 1);
        std::fprintf(stderr, "%s: %lld -> %lld\n", topic.c_str(), previous, value);
      }
      previous = std::max(previous, value);
    }
    values += seen.size();
  }
  std::printf(
      "fleet %s: %zu values received over %zu instances, %zu lost, %zu repeated with another "
      "payload\n",
      mode.c_str(), values, n, lost, repeatedDifferent);
  std::fflush(stdout);
}

}  // namespace

int main() {
  try {
    bench::requireService();
    const size_t n = envNumber("BENCH_FLEET_N", 50);
    const size_t outageS = envNumber("BENCH_FLEET_OUTAGE_S", 10);
    const uint32_t reconnectMaxS = static_cast<uint32_t>(envNumber("BENCH_FLEET_RECONNECT_MAX_S", 8));
    std::printf("fleet: %zu instances, broker away %zu s\n", n, outageS);
    runRound(n, outageS, 0);
    runRound(n, outageS, reconnectMaxS);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_fleet: %s\n", e.what());
    return 1;
  }
}
