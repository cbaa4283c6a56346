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

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "BenchSupport.h"

namespace {

constexpr size_t kRequestBytes = 11;  // frame of a read request: length, operation, handle, count
constexpr size_t kReplyBytes = 16;    // frame of its reply: length, status, value length, value
constexpr int kPairs = 20;
constexpr int kCallsPerBlock = 2000;

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
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 4) != 0) {
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

template <typename F>
double nsPerCall(F call) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCallsPerBlock; ++i) call();
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
         kCallsPerBlock;
}

}  // namespace

int main() {
  zaltest::TempDir dir;
  const std::string echoPath = dir.file("echo.sock");
  const pid_t echo = startEchoServer(echoPath);  // before any thread of this process
  struct StopEcho {
    pid_t pid;
    ~StopEcho() {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
  } stopEcho{echo};
  bench::pin(bench::serverCpu(), echo);
  bench::pin(0);
  const auto server =
      bench::startServer(R"({"variables": {"APPL.Bench.Value": {"type": "UINT32", "value": 42}}})");

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
    const auto [k, b] = bench::inTurn(
        pair, [&] { return nsPerCall(kalpRead); }, [&] { return nsPerCall(bareRoundTrip); });
    kalpNs.push_back(k);
    bareNs.push_back(b);
    ratios.push_back(k / b);
  }
  KalpApiVarCloseHdl(&handle);
  ::close(bare);
  if (failed) {
    std::fprintf(stderr, "bench_kalpapi: a call failed\n");
    return 1;
  }
  std::printf("kalpapi: KalpApiVarRead of 4 bytes: %.0f ns per call (median of %d blocks of %d calls)\n",
              bench::median(kalpNs), kPairs, kCallsPerBlock);
  std::printf(
      "kalpapi: bare unix-socket round trip, %zu-byte request, %zu-byte reply: %.0f ns (median of %d "
      "blocks)\n",
      kRequestBytes, kReplyBytes, bench::median(bareNs), kPairs);
  std::printf("kalpapi: ratio KalpApiVarRead/bare: %s\n", bench::ratioSummary(ratios).c_str());
  return 0;
}
