// Change test over a struct of 1,000 scalars through the socket client, against bare client
// library reads of the same 1,000 scalars.
//
// Starts its own kalpapi-server on a temporary socket with a generated tree file, builds one
// GVPvariable tree over the struct, and then alternates blocks of GVPvariable::hasChanged on the
// struct with blocks of plain KalpApiVarRead calls over handles opened beforehand. Each pair of
// blocks gives one ratio (change-test rate / bare read rate); the median and the middle half of
// the pair ratios are printed. The benchmark runs on CPU 0, the server on CPU 1 (when the
// machine has two).
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "GVPvariable.h"
#include "KalpApi.h"

namespace {

constexpr int kScalars = 1000;
constexpr int kPairs = 15;
constexpr auto kBlock = std::chrono::milliseconds(300);

// Scalar kinds of the struct, in turn: the four widths of the change test.
struct Kind {
  const char* typeName;
  uint16_t bytes;
};
const Kind kKinds[] = {{"UINT32", 4}, {"REAL", 4}, {"BOOL", 1}, {"UINT16", 2}, {"LREAL", 8}};

void pinTo(int cpu) {
  if (std::thread::hardware_concurrency() < 2) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(0, sizeof set, &set);  // best effort
}

std::string writeTreeFile(const std::string& dir) {
  std::string json = R"({"deviceState": 300, "variables": {"APPL.Bench.data": {"type": "STRUCT", "members": {)";
  for (int i = 0; i < kScalars; ++i) {
    const Kind& kind = kKinds[i % (sizeof kKinds / sizeof kKinds[0])];
    if (i > 0) json += ",";
    json += "\"m" + std::to_string(i) + "\": {\"type\": \"" + kind.typeName + "\", \"value\": " +
            std::to_string(i % 2) + "}";
  }
  json += "}}}}";
  const std::string file = dir + "/tree.json";
  std::ofstream(file) << json;
  return file;
}

pid_t startServer(const std::string& treeFile, const std::string& socketPath) {
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    pinTo(1);
    execl(KALPAPI_SERVER_PATH, KALPAPI_SERVER_PATH, "--tree", treeFile.c_str(), "--socket",
          socketPath.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Ready once the client library gets an answer.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    uint32_t state = 0, word = 0;
    if (KalpApiDeviceGetStateA(&state, &word, 0, 0, 0, 0, 0, 0, 0, 0) == KALPAPI_OK) return pid;
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) throw std::runtime_error("kalpapi-server ended at start");
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGTERM);
      waitpid(pid, &status, 0);
      throw std::runtime_error("kalpapi-server did not answer within 10 s");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void stopServer(pid_t pid) {
  int status = 0;
  kill(pid, SIGTERM);
  waitpid(pid, &status, 0);
}

// Runs round() repeatedly for about one block; returns scalars per second.
template <typename Round>
double rate(Round&& round) {
  const auto start = std::chrono::steady_clock::now();
  long rounds = 0;
  auto now = start;
  do {
    round();
    ++rounds;
    now = std::chrono::steady_clock::now();
  } while (now - start < kBlock);
  const double seconds = std::chrono::duration<double>(now - start).count();
  return rounds * static_cast<double>(kScalars) / seconds;
}

double quantile(std::vector<double> values, double q) {
  std::sort(values.begin(), values.end());
  const double position = q * (values.size() - 1);
  const size_t low = static_cast<size_t>(position);
  const size_t high = std::min(low + 1, values.size() - 1);
  return values[low] + (values[high] - values[low]) * (position - low);
}

int run(const std::string& dir) {
  const std::string socketPath = dir + "/kalpapi.sock";
  setenv("KALPAPI_SOCKET", socketPath.c_str(), 1);
  const std::string treeFile = writeTreeFile(dir);
  pinTo(0);
  const pid_t server = startServer(treeFile, socketPath);

  int result = 0;
  try {
    // The pause of the member walk only spaces out the build; the test measures the reads.
    GVPvariable::setMemberPause(std::chrono::microseconds(0));
    auto tree = std::make_shared<GVPvariable>("APPL.Bench.", "data", false);
    if (tree->getChildren().size() != kScalars) throw std::runtime_error("tree has the wrong size");

    // The bare reference: the same scalars through handles opened beforehand.
    std::vector<uint32_t> handles(kScalars);
    std::vector<uint16_t> sizes(kScalars);
    for (int i = 0; i < kScalars; ++i) {
      const std::string path = "APPL.Bench.data.m" + std::to_string(i);
      if (KalpApiVarOpenHdlA(path.c_str(), &handles[i]) != KALPAPI_OK) throw std::runtime_error("open " + path);
      sizes[i] = kKinds[i % (sizeof kKinds / sizeof kKinds[0])].bytes;
    }
    uint8_t buffer[8];
    auto bareRound = [&] {
      for (int i = 0; i < kScalars; ++i) {
        if (KalpApiVarRead(buffer, handles[i], sizes[i]) != KALPAPI_OK) throw std::runtime_error("read");
      }
    };
    auto changedRound = [&] { tree->hasChanged(); };

    bareRound();  // warm up both paths
    changedRound();
    std::vector<double> changedRates, bareRates, ratios;
    for (int pair = 0; pair < kPairs; ++pair) {
      // Alternate which side goes first, so that neither always gets the warmer half.
      double changed, bare;
      if (pair % 2 == 0) {
        changed = rate(changedRound);
        bare = rate(bareRound);
      } else {
        bare = rate(bareRound);
        changed = rate(changedRound);
      }
      changedRates.push_back(changed);
      bareRates.push_back(bare);
      ratios.push_back(changed / bare);
    }
    for (uint32_t& handle : handles) KalpApiVarCloseHdl(&handle);

    std::printf("gvp_changed_socket: hasChanged over %d scalars: %.0f scalars/s (median of %d blocks)\n",
                kScalars, quantile(changedRates, 0.5), kPairs);
    std::printf("gvp_changed_socket: bare KalpApiVarRead of the same scalars: %.0f scalars/s (median of %d blocks)\n",
                quantile(bareRates, 0.5), kPairs);
    std::printf("gvp_changed_socket: ratio hasChanged/bare: median %.3f, middle half %.3f .. %.3f (%d pairs)\n",
                quantile(ratios, 0.5), quantile(ratios, 0.25), quantile(ratios, 0.75), kPairs);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_gvp_changed: %s\n", error.what());
    result = 1;
  }
  stopServer(server);
  return result;
}

}  // namespace

int main() {
  char dirTemplate[] = "/tmp/bench_gvp_changed.XXXXXX";
  const char* dir = mkdtemp(dirTemplate);
  if (dir == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  int result = 1;
  try {
    result = run(dir);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_gvp_changed: %s\n", error.what());
  }
  std::remove((std::string(dir) + "/tree.json").c_str());
  std::remove((std::string(dir) + "/kalpapi.sock").c_str());
  rmdir(dir);
  return result;
}
