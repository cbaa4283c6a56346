// One 4-byte KalpApiVarRead through libKalpApi.so.2 and kalpapi-server, against a bare unix-socket
// request/reply of the same sizes (11-byte request, 16-byte reply) to a forked echo process, in
// the same run. Alternating pairs of blocks; the client is pinned to one CPU, both servers to
// another. Prints both round-trip times and the median pair ratio with its middle half.
#include <KalpApi.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../tests/support/KalpServerProcess.h"

namespace {

constexpr size_t kRequestBytes = 11;  // frame of a read request: length, operation, handle, count
constexpr size_t kReplyBytes = 16;    // frame of its reply: length, status, value length, value
constexpr int kPairs = 20;
constexpr int kCallsPerBlock = 2000;

void pin(pid_t pid, int cpu) {
  if (cpu >= CPU_SETSIZE) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  sched_setaffinity(pid, sizeof set, &set);
}

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
}

bool readExactly(int fd, char* data, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::recv(fd, data + got, n - got, 0);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

// The bare reference server: answers every kRequestBytes with kReplyBytes, one connection.
pid_t startEchoServer(const std::string& path) {
  int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = addressOf(path);
  ::unlink(path.c_str());
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 4) != 0) {
    std::perror("echo server");
    std::exit(1);
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    int fd = ::accept(listener, nullptr, nullptr);
    char request[kRequestBytes];
    char reply[kReplyBytes] = {12, 0, 0, 0};
    while (readExactly(fd, request, sizeof request)) {
      if (::send(fd, reply, sizeof reply, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof reply)) break;
    }
    ::_exit(0);
  }
  ::close(listener);
  return pid;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double quantile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(q * (v.size() - 1) + 0.5)];
}

template <typename F>
double nsPerCall(F call) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCallsPerBlock; ++i) call();
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / kCallsPerBlock;
}

}  // namespace

int main() {
  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  const int clientCpu = 0, serverCpu = cpus > 1 ? 1 : 0;
  kalptest::TempDir dir;
  const std::string echoPath = dir.path() + "/echo.sock";
  pid_t echo = startEchoServer(echoPath);  // before any thread of this process
  pin(echo, serverCpu);
  pin(0, clientCpu);

  kalptest::KalpServerProcess server(KALPAPI_SERVER_PATH,
                                     R"({"variables": {"APPL.Bench.Value": {"type": "UINT32", "value": 42}}})",
                                     dir.path() + "/kalpapi.sock");
  pin(server.pid(), serverCpu);
  server.exportSocket();

  uint32_t handle = 0, value = 0;
  if (KalpApiVarOpenHdlA("APPL.Bench.Value", &handle) != KALPAPI_OK) {
    std::fprintf(stderr, "bench_kalpapi: cannot open the variable\n");
    return 1;
  }
  int bare = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = addressOf(echoPath);
  if (::connect(bare, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("bench_kalpapi: connect to the echo server");
    return 1;
  }
  char request[kRequestBytes] = {7, 0, 0, 0, 3};
  char reply[kReplyBytes];
  bool failed = false;
  auto kalpRead = [&] { failed |= KalpApiVarRead(&value, handle, 4) != KALPAPI_OK || value != 42; };
  auto bareRoundTrip = [&] {
    failed |= ::send(bare, request, sizeof request, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request) ||
              !readExactly(bare, reply, sizeof reply);
  };
  nsPerCall(kalpRead);  // warm-up
  nsPerCall(bareRoundTrip);

  std::vector<double> kalpNs, bareNs, ratios;
  for (int pair = 0; pair < kPairs; ++pair) {
    double k, b;
    if (pair % 2) {
      b = nsPerCall(bareRoundTrip);
      k = nsPerCall(kalpRead);
    } else {
      k = nsPerCall(kalpRead);
      b = nsPerCall(bareRoundTrip);
    }
    kalpNs.push_back(k);
    bareNs.push_back(b);
    ratios.push_back(k / b);
  }
  KalpApiVarCloseHdl(&handle);
  ::close(bare);
  ::kill(echo, SIGTERM);
  ::waitpid(echo, nullptr, 0);
  server.stop();
  if (failed) {
    std::fprintf(stderr, "bench_kalpapi: a call failed\n");
    return 1;
  }
  std::printf("kalpapi_read_4byte_ns %.0f\n", median(kalpNs));
  std::printf("bare_socket_roundtrip_ns %.0f\n", median(bareNs));
  std::printf("kalpapi_read_vs_bare_ratio %.2f (middle half %.2f..%.2f, %d pairs of %d calls)\n", median(ratios),
              quantile(ratios, 0.25), quantile(ratios, 0.75), kPairs, kCallsPerBlock);
  return 0;
}
