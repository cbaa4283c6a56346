// Integration test harness: real processes on loopback.
//
//   TempDir            a private temporary directory, removed with its contents
//   Process            a child process started with posix_spawn, its stderr read line by line
//                      (LineLog), stopped by its PID (SIGTERM, then SIGKILL) at the latest in
//                      the destructor
//   Broker             mosquitto on a free 127.0.0.1 port with a temporary config: plain, TLS
//                      with a test CA, PSK, password file; or aedes (a second broker, plain
//                      only; brokerKinds() lists the kinds this build runs); or a
//                      SilentListener that accepts TCP and never answers
//   TestCertificates   CA and server certificate made by openssl at test time (and a CA dir)
//   VariableServer     kalpapi-server on a temporary tree file and socket; get/set through kalpvar
//   Service            the service binary with KALPAPI_SOCKET set; waitFor(...) on its trace
//   Subscriber         a libmosquitto subscriber collecting messages
//   ServiceConfig      builds the tree file: configuration root plus the plant's variables
//
// Every wait has a deadline; nothing relies on a fixed sleep. Paths of the binaries come from
// compile definitions (see tests/integration/CMakeLists.txt).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace zaltest {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Deadlines are generous: the test machines are shared and often loaded.
inline constexpr auto kStartDeadline = 60s;
inline constexpr auto kDefaultDeadline = 30s;

// Looks at condition every step until it holds (true) or the timeout has passed (false). For
// states that nothing signals (a process's exit, a value in the variable server, a count kept
// by another thread); a trace line is waited for on the log's own notification instead.
inline bool pollUntil(const std::function<bool()>& condition, Clock::duration timeout, Clock::duration step) {
  const auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

// ---- files -------------------------------------------------------------------------------

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zal-it-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path);
}

// ---- line log ------------------------------------------------------------------------------

// Lines read from a pipe by a thread of its own; waits with deadlines on what has arrived.
class LineLog {
 public:
  explicit LineLog(int fd) : fd_(fd), reader_([this] { readLoop(); }) {}
  ~LineLog() {
    reader_.join();  // ends at EOF, i.e. when the writing process is gone
    close(fd_);
  }
  LineLog(const LineLog&) = delete;
  LineLog& operator=(const LineLog&) = delete;

  size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.size();
  }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::string line(size_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index < lines_.size() ? lines_[index] : std::string();
  }
  // When line index arrived here (the trace's own time stamps have whole seconds only).
  Clock::time_point arrival(size_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index < arrivals_.size() ? arrivals_[index] : Clock::time_point{};
  }
  // Indexes of the lines from from on that contain text.
  std::vector<size_t> find(const std::string& text, size_t from = 0) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<size_t> found;
    for (size_t i = from; i < lines_.size(); ++i)
      if (lines_[i].find(text) != std::string::npos) found.push_back(i);
    return found;
  }
  // Index of the first line at or after from that satisfies match, waiting until deadline;
  // nullopt when none arrived in time (or the stream ended without one).
  std::optional<size_t> waitFor(const std::function<bool(const std::string&)>& match, size_t from,
                                Clock::duration timeout) const {
    const auto deadline = Clock::now() + timeout;
    std::unique_lock<std::mutex> lock(mutex_);
    size_t next = from;
    for (;;) {
      for (; next < lines_.size(); ++next)
        if (match(lines_[next])) return next;
      if (ended_) return std::nullopt;
      if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
        for (; next < lines_.size(); ++next)
          if (match(lines_[next])) return next;
        return std::nullopt;
      }
    }
  }
  // Lines from from on that contain text.
  size_t count(const std::string& text, size_t from = 0) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (size_t i = from; i < lines_.size(); ++i)
      if (lines_[i].find(text) != std::string::npos) ++n;
    return n;
  }
  std::string dump(size_t from = 0) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (size_t i = from; i < lines_.size(); ++i) all += lines_[i] + "\n";
    return all;
  }

 private:
  void readLoop() {
    std::string partial;
    char buffer[4096];
    for (;;) {
      const ssize_t got = read(fd_, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      partial.append(buffer, static_cast<size_t>(got));
      size_t newline;
      while ((newline = partial.find('\n')) != std::string::npos) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          lines_.push_back(partial.substr(0, newline));
          arrivals_.push_back(Clock::now());
        }
        partial.erase(0, newline + 1);
        changed_.notify_all();
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!partial.empty()) {
      lines_.push_back(partial);
      arrivals_.push_back(Clock::now());
    }
    ended_ = true;
    changed_.notify_all();
  }

  int fd_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::vector<Clock::time_point> arrivals_;
  bool ended_ = false;
  std::thread reader_;
};

inline std::function<bool(const std::string&)> contains(const std::string& text) {
  return [text](const std::string& line) { return line.find(text) != std::string::npos; };
}

// ---- processes -----------------------------------------------------------------------------

// A child process. Its stderr (and stdout, unless separated) goes to a LineLog.
class Process {
 public:
  Process(std::vector<std::string> argv, std::map<std::string, std::string> extraEnv = {})
      : argv_(std::move(argv)) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // The child starts with default signal handling and an empty mask, whatever the test has.
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      const size_t eq = entry.find('=');
      if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [key, value] : extraEnv) env[key] = value;
#if defined(ZAL_TSAN_BUILD)
    // The MQTT library's own lock reports after a forced stop (see the file).
    const std::string suppressions = ZAL_SOURCE_DIR "/tests/integration/tsan-suppressions.txt";
    std::string& tsanOptions = env["TSAN_OPTIONS"];
    tsanOptions += (tsanOptions.empty() ? "suppressions=" : " suppressions=") + suppressions;
#endif
    std::vector<std::string> envStrings;
    for (const auto& [key, value] : env) envStrings.push_back(key + "=" + value);
    std::vector<char*> envp, args;
    for (std::string& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    for (std::string& s : argv_) args.push_back(s.data());
    args.push_back(nullptr);

    const int rc = posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pipeFds[1]);
    if (rc != 0) {
      close(pipeFds[0]);
      throw std::runtime_error("cannot start " + argv_[0] + ": " + std::strerror(rc));
    }
    log_ = std::make_unique<LineLog>(pipeFds[0]);
  }
  ~Process() {
    stop();
    log_.reset();
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  const LineLog& log() const { return *log_; }
  bool running() {
    reap(false);
    return !status_.has_value();
  }
  void signal(int signalNumber) {
    if (running()) kill(pid_, signalNumber);
  }
  // Waits for the process to end; its wait status, or nullopt at the deadline.
  std::optional<int> waitExit(Clock::duration timeout) {
    if (!pollUntil([this] { return reap(false); }, timeout, 20ms)) return std::nullopt;
    return status_;
  }
  // SIGTERM, then SIGKILL after grace; returns the wait status.
  int stop(Clock::duration grace = 10s) {
    if (!running()) return *status_;
    kill(pid_, SIGTERM);
    if (!waitExit(grace)) {
      kill(pid_, SIGKILL);
      reap(true);
    }
    return *status_;
  }

 private:
  bool reap(bool block) {
    if (status_) return true;
    int status = 0;
    const pid_t got = waitpid(pid_, &status, block ? 0 : WNOHANG);
    if (got == pid_) status_ = status;
    return status_.has_value();
  }

  std::vector<std::string> argv_;
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::unique_ptr<LineLog> log_;
};

// Runs a command to its end; its exit status (-1 when it did not exit normally) and output.
inline int runCommand(const std::vector<std::string>& argv, std::string* output = nullptr,
                      const std::map<std::string, std::string>& env = {}) {
  Process process(argv, env);
  const std::optional<int> status = process.waitExit(120s);
  if (!status) process.stop();
  process.stop();
  if (output) {
    // The reader has finished once the pipe is closed; give it its deadline.
    process.log().waitFor([](const std::string&) { return false; }, process.log().size(), 5s);
    *output = process.log().dump();
  }
  return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

// ---- network -------------------------------------------------------------------------------

// A loopback TCP port that was free a moment ago.
inline int freePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    throw std::runtime_error("bind failed");
  }
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

inline bool portAccepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

// Accepts TCP connections on a loopback port (the kernel completes the handshake) and never
// sends a byte.
// Starts a server process and waits until it accepts connections on each of ports; throws with
// the process's output when it ends first or does not listen within the default deadline.
inline std::unique_ptr<Process> startListening(const std::vector<std::string>& argv,
                                               const std::vector<int>& ports, const std::string& what) {
  auto process = std::make_unique<Process>(argv);
  const auto deadline = Clock::now() + kDefaultDeadline;
  for (;;) {
    bool all = true;
    for (const int port : ports) all = all && portAccepts(port);
    if (all) return process;
    if (!process->running() || Clock::now() >= deadline)
      throw std::runtime_error(what + " did not start:\n" + process->log().dump());
    std::this_thread::sleep_for(20ms);
  }
}

// A TCP socket listening on loopback at port (0: a free one, given back in *boundPort), with
// SO_REUSEADDR so that a port a stopped broker used a moment ago can be taken again.
inline int listenOnLoopback(int port, int backlog, int* boundPort, const std::string& who) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, backlog) != 0) {
    close(fd);
    throw std::runtime_error(who + ": bind/listen failed");
  }
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *boundPort = ntohs(address.sin_port);
  return fd;
}

class SilentListener {
 public:
  // port 0 picks a free one; a given port may be one a stopped broker used a moment ago.
  explicit SilentListener(int port = 0) { fd_ = listenOnLoopback(port, 16, &port_, "silent listener"); }
  ~SilentListener() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Sockets in SYN_SENT towards 127.0.0.1:port in this network namespace (from /proc/net/tcp):
// connection attempts whose handshake has not been answered yet.
inline size_t pendingHandshakes(int port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // header
  char remote[32];
  std::snprintf(remote, sizeof remote, "0100007F:%04X", static_cast<unsigned>(port));
  size_t count = 0;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, rem, state;
    fields >> slot >> local >> rem >> state;
    if (rem == remote && state == "02") ++count;
  }
  return count;
}

// A loopback port on which the TCP handshake is never answered: a listener with a backlog of 0
// whose accept queue is kept full by connections it never accepts, so the kernel drops every
// further SYN and a client's connect stays pending (as with a host that is down).
class UnansweredListener {
 public:
  // port 0 picks a free one; a given port may be one a stopped broker used a moment ago.
  explicit UnansweredListener(int port = 0) {
    fd_ = listenOnLoopback(port, 0, &port_, "unanswered listener");
    for (int i = 0; i < 2; ++i) fillers_.push_back(startConnect());
    // The queue is full once a further attempt stays unanswered.
    const int probe = startConnect();
    pollfd waiting{probe, POLLOUT, 0};
    const int ready = poll(&waiting, 1, 300);
    close(probe);
    if (ready != 0) {
      close(fd_);
      for (int filler : fillers_) close(filler);
      throw std::runtime_error("unanswered listener: the handshake was answered");
    }
    baseline_ = pendingHandshakes(port_);
  }
  ~UnansweredListener() {
    for (int filler : fillers_) close(filler);
    close(fd_);
  }
  UnansweredListener(const UnansweredListener&) = delete;
  UnansweredListener& operator=(const UnansweredListener&) = delete;
  int port() const { return port_; }
  // Waits until a client other than our own fillers has a handshake pending here.
  bool waitForPendingClient(Clock::duration timeout) const {
    return pollUntil([this] { return pendingHandshakes(port_) > baseline_; }, timeout, 50ms);
  }

 private:
  int startConnect() const {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port_));
    connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);  // EINPROGRESS
    return fd;
  }

  int fd_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
  size_t baseline_ = 0;
};

// A TCP port-forward on loopback, as a load balancer or reverse proxy in front of a broker: each
// accepted connection is joined to a new connection to the target port, byte for byte, both
// ways. When the target cannot be reached (the broker restarts), the accepted connection is
// closed at once, before any byte: the client sees a peer that accepts TCP and closes.
class TcpForwarder {
 public:
  explicit TcpForwarder(int targetPort) : target_(targetPort) {
    listen_ = listenOnLoopback(0, 16, &port_, "forwarder");
    if (pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("forwarder: pipe failed");
    thread_ = std::thread([this] { run(); });
  }
  ~TcpForwarder() {
    stop_ = true;
    const char byte = 0;
    ssize_t ignored = write(wake_[1], &byte, 1);
    (void)ignored;
    thread_.join();
    for (const auto& [a, b] : pairs_) {
      close(a);
      close(b);
    }
    close(listen_);
    close(wake_[0]);
    close(wake_[1]);
  }
  TcpForwarder(const TcpForwarder&) = delete;
  TcpForwarder& operator=(const TcpForwarder&) = delete;

  int port() const { return port_; }
  // Joins the connections accepted from now on to another target port.
  void retarget(int targetPort) { target_ = targetPort; }
  // Connections accepted so far, and those of them closed at once because the target refused.
  size_t accepted() const { return accepted_.load(); }
  size_t closedAtOnce() const { return closedAtOnce_.load(); }
  // Times at which connections were accepted, oldest first.
  std::vector<Clock::time_point> acceptTimes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return acceptTimes_;
  }

 private:
  static sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
  }

  void run() {
    std::vector<char> buffer(16384);
    while (!stop_) {
      std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
      for (const auto& [a, b] : pairs_) {
        fds.push_back({a, POLLIN, 0});
        fds.push_back({b, POLLIN, 0});
      }
      if (poll(fds.data(), fds.size(), 200) <= 0) continue;
      // Copy what arrived on the pairs polled; a pair ends when either side ends.
      const size_t polled = pairs_.size();
      std::vector<size_t> ended;
      for (size_t i = 0; i < polled; ++i) {
        for (int side = 0; side < 2; ++side) {
          const pollfd& p = fds[2 + 2 * i + side];
          if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
          const int from = side == 0 ? pairs_[i].first : pairs_[i].second;
          const int to = side == 0 ? pairs_[i].second : pairs_[i].first;
          const ssize_t got = read(from, buffer.data(), buffer.size());
          if (got <= 0 || !writeAll(to, buffer.data(), static_cast<size_t>(got))) {
            ended.push_back(i);
            break;
          }
        }
      }
      for (auto it = ended.rbegin(); it != ended.rend(); ++it) {
        close(pairs_[*it].first);
        close(pairs_[*it].second);
        pairs_.erase(pairs_.begin() + static_cast<long>(*it));
      }
      if (fds[1].revents & POLLIN) acceptOne();
    }
  }

  void acceptOne() {
    const int client = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    ++accepted_;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      acceptTimes_.push_back(Clock::now());
    }
    const int upstream = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(target_.load());
    if (connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(upstream);
      close(client);
      ++closedAtOnce_;
      return;
    }
    pairs_.emplace_back(client, upstream);
  }

  static bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
      const ssize_t put = send(fd, data, size, MSG_NOSIGNAL);
      if (put <= 0) return false;
      data += put;
      size -= static_cast<size_t>(put);
    }
    return true;
  }

  std::atomic<int> target_;
  int listen_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::atomic<size_t> accepted_{0}, closedAtOnce_{0};
  mutable std::mutex mutex_;  // guards acceptTimes_
  std::vector<Clock::time_point> acceptTimes_;
  std::vector<std::pair<int, int>> pairs_;  // client, upstream; the forwarder's thread only
  std::thread thread_;
};

// ---- certificates --------------------------------------------------------------------------

// A CA and a server certificate for localhost / 127.0.0.1, made with openssl in dir.
struct TestCertificates {
  std::string caFile, caDir, serverCert, serverKey;

  explicit TestCertificates(const std::string& dir) {
    caFile = dir + "/ca.crt";
    caDir = dir + "/cadir";
    serverCert = dir + "/server.crt";
    serverKey = dir + "/server.key";
    const std::string caKey = dir + "/ca.key", csr = dir + "/server.csr", ext = dir + "/server.ext";
    writeFile(ext, "subjectAltName=DNS:localhost,IP:127.0.0.1\n");
    auto run = [](const std::vector<std::string>& argv) {
      std::string out;
      if (runCommand(argv, &out) != 0) throw std::runtime_error("openssl failed: " + out);
    };
    run({OPENSSL_PATH, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
         "-keyout", caKey, "-out", caFile, "-days", "2", "-subj", "/CN=zal-test-ca"});
    run({OPENSSL_PATH, "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
         "-keyout", serverKey, "-out", csr, "-subj", "/CN=localhost"});
    run({OPENSSL_PATH, "x509", "-req", "-in", csr, "-CA", caFile, "-CAkey", caKey, "-CAcreateserial", "-out",
         serverCert, "-days", "2", "-extfile", ext});
    std::filesystem::create_directory(caDir);
    std::filesystem::copy_file(caFile, caDir + "/ca.crt");
    run({OPENSSL_PATH, "rehash", caDir});
  }
};

// ---- broker --------------------------------------------------------------------------------

// The brokers the service is tested against: mosquitto, and aedes (an MQTT broker on Node.js,
// written independently of mosquitto) where the build found it (AEDES_START_PATH).
enum class BrokerKind { Mosquitto, Aedes };

inline std::vector<BrokerKind> brokerKinds() {
#ifdef AEDES_START_PATH
  return {BrokerKind::Mosquitto, BrokerKind::Aedes};
#else
  return {BrokerKind::Mosquitto};
#endif
}
inline std::string brokerKindName(BrokerKind kind) {
  return kind == BrokerKind::Aedes ? "aedes" : "mosquitto";
}
// How test names and messages show a kind (found by GoogleTest through argument lookup).
inline void PrintTo(BrokerKind kind, std::ostream* out) { *out << brokerKindName(kind); }

struct BrokerOptions {
  BrokerKind kind = BrokerKind::Mosquitto;
  int port = 0;                           // 0: a free one; else this one (a restart on the same port)
  const TestCertificates* tls = nullptr;  // certificate-based TLS listener
  std::string pskIdentity, pskHexKey;     // PSK listener when pskIdentity is not empty
  std::string user, password;             // password file, no anonymous access, when user is set
  bool tcpNoDelay = false;
  bool requireClientCertificate = false;  // the TLS listener asks for a certificate of tls's CA
};

inline BrokerOptions brokerOn(BrokerKind kind, int port = 0) {
  BrokerOptions options;
  options.kind = kind;
  options.port = port;
  return options;
}

// port() is the listener the service uses (TLS or PSK when asked for); plainPort() is a plain
// listener on the same broker for test subscribers (the same as port() without TLS/PSK).
class Broker {
 public:
  explicit Broker(BrokerKind kind) : Broker(brokerOn(kind)) {}
  explicit Broker(const BrokerOptions& options = {}) {
    if (options.kind == BrokerKind::Aedes) {
      startAedes(options);
      return;
    }
    port_ = options.port != 0 ? options.port : freePort();
    const bool secure = options.tls != nullptr || !options.pskIdentity.empty();
    plainPort_ = secure ? freePort() : port_;
    std::ostringstream conf;
    conf << "per_listener_settings false\n"
         << "log_dest stderr\n"
         << "log_type error\nlog_type warning\nlog_type notice\nlog_type information\n"
         << "persistence false\n";
    // Started as root, mosquitto drops to its own user and could not read our 0700 temp files.
    if (const passwd* self = getpwuid(geteuid())) conf << "user " << self->pw_name << "\n";
    if (!options.user.empty()) {
      const std::string passwords = dir_.file("passwords");
      writeFile(passwords, "");
      std::string out;
      if (runCommand({MOSQUITTO_PASSWD_PATH, "-b", passwords, options.user, options.password}, &out) != 0)
        throw std::runtime_error("mosquitto_passwd failed: " + out);
      conf << "allow_anonymous false\npassword_file " << passwords << "\n";
    } else {
      conf << "allow_anonymous true\n";
    }
    if (!options.pskIdentity.empty()) {
      writeFile(dir_.file("psk"), options.pskIdentity + ":" + options.pskHexKey + "\n");
      conf << "psk_file " << dir_.file("psk") << "\n";
    }
    conf << "listener " << port_ << " 127.0.0.1\n";
    if (options.tcpNoDelay) conf << "set_tcp_nodelay true\n";
    if (options.tls) {
      conf << "cafile " << options.tls->caFile << "\n"
           << "certfile " << options.tls->serverCert << "\n"
           << "keyfile " << options.tls->serverKey << "\n";
      if (options.requireClientCertificate) conf << "require_certificate true\n";
    }
    if (!options.pskIdentity.empty()) conf << "psk_hint zal-test\n";
    if (secure) conf << "listener " << plainPort_ << " 127.0.0.1\n";
    writeFile(dir_.file("mosquitto.conf"), conf.str());
    process_ =
        startListening({MOSQUITTO_PATH, "-c", dir_.file("mosquitto.conf")}, {port_, plainPort_}, "broker");
  }
  int port() const { return port_; }
  int plainPort() const { return plainPort_; }
  Process& process() { return *process_; }
  const LineLog& log() const { return process_->log(); }

 private:
  void startAedes(const BrokerOptions& options) {
#ifdef AEDES_START_PATH
    if (options.tls != nullptr || !options.pskIdentity.empty() || !options.user.empty() || options.tcpNoDelay)
      throw std::logic_error("the aedes test broker is plain TCP with anonymous access only");
    port_ = options.port != 0 ? options.port : freePort();
    plainPort_ = port_;
    process_ = std::make_unique<Process>(
        std::vector<std::string>{NODE_PATH, AEDES_START_PATH, std::to_string(port_)});
    const auto deadline = Clock::now() + kDefaultDeadline;
    while (!log().waitFor(contains("listening on"), 0, 20ms)) {
      if (!process_->running() || Clock::now() >= deadline)
        throw std::runtime_error("aedes did not start:\n" + process_->log().dump());
    }
#else
    (void)options;
    throw std::logic_error("this build has no aedes test broker");
#endif
  }

  TempDir dir_;
  int port_ = 0;
  int plainPort_ = 0;
  std::unique_ptr<Process> process_;
};

// ---- tree file -----------------------------------------------------------------------------

// A duration in whole milliseconds, for readable test messages.
inline long long ms(Clock::duration d) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

inline std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

struct SetSpec {
  std::string topic;
  std::vector<std::string> variables;  // dotted names below the application
  uint32_t raw = 0, onChange = 0, onlyChanged = 0;
  std::string extraMembers = {};  // further members as JSON object members, e.g. "\"uiQoS\": {...}"
};
struct PublishSpec {
  uint32_t periodMs = 1000;
  std::vector<SetSpec> sets;
  std::string extraMembers = {};  // further members of the publish configuration, as for SetSpec
};
struct TlsSpec {
  uint32_t certificate = 0, psk = 0;
  std::string caFile, caPath, certFile, keyFile, pskKey, identity;
};

// Everything of one tree file: the configuration root and the plant's variables.
struct ServiceConfig {
  std::string applicationName = "Plant";
  std::string clientId = "zal-it";
  std::string brokerUrl = "127.0.0.1";
  int brokerPort = 1883;
  uint32_t keepAlive = 10;
  uint32_t cleanSession = 1;
  uint32_t useAuthentication = 0;
  std::string username, password;
  uint32_t activate = 0;
  uint32_t traceLevel = 3;
  uint32_t queueLimitKB = 1024;
  std::optional<uint32_t> browsePauseMs;  // uiBrowsePauseMs; absent when not set
  std::vector<PublishSpec> publishes;
  std::vector<SetSpec> subscribes;  // topic, variables, raw
  std::optional<TlsSpec> tls;
  // Members of the application's directory "APPL.<applicationName>", as the text of a JSON
  // object's members (without braces), e.g. "\"Speed\": {\"type\": \"REAL\", \"value\": 1.5}".
  std::string plantMembers;
  // Further members of the configuration root, as JSON object members.
  std::string extraRootMembers;

  std::string treeJson() const {
    std::ostringstream o;
    auto u32 = [&o](const char* name, uint32_t value) {
      o << "\"" << name << "\": {\"type\": \"UINT32\", \"value\": " << value << "}";
    };
    auto str = [&o](const char* name, const std::string& value) {
      o << "\"" << name << "\": {\"type\": \"STRING\", \"value\": " << jsonString(value) << "}";
    };
    auto set = [&](const SetSpec& s) {
      str("topic", s.topic);
      o << ", ";
      u32("xRaw", s.raw);
      o << ", ";
      u32("xSendOnValueChange", s.onChange);
      o << ", ";
      u32("xSendOnlyChanged", s.onlyChanged);
      for (size_t v = 0; v < s.variables.size(); ++v) {
        o << ", ";
        str(("variable:" + std::to_string(v)).c_str(), s.variables[v]);
      }
      if (!s.extraMembers.empty()) o << ", " << s.extraMembers;
    };
    o << "{\"deviceState\": 300, \"variables\": {\n";
    o << "\"APPL." << applicationName << "\": {\"type\": \"DIRECTORY\", \"members\": {" << plantMembers
      << "}},\n";
    o << "\"SYS.CAT.Application.ZAL_Cloud:0.ZAL_MQTT:0\": {\"type\": \"STRUCT\", \"members\": {\n";
    str("ApplicationName", applicationName);
    o << ",\n";
    str("strClientID", clientId);
    o << ",\n";
    u32("xConnectedToBroker", 0);
    o << ",\n";
    u32("xErrorRetry", 0);
    o << ",\n";
    str("BrokerURL", brokerUrl);
    o << ",\n";
    u32("BrokerPort", static_cast<uint32_t>(brokerPort));
    o << ",\n";
    u32("keepAliveTime", keepAlive);
    o << ",\n";
    u32("xCleanSession", cleanSession);
    o << ",\n";
    u32("xUseUserAuthentication", useAuthentication);
    o << ",\n";
    str("strUsername", username);
    o << ",\n";
    str("strPassword", password);
    o << ",\n";
    u32("xActivateConnection", activate);
    o << ",\n";
    u32("uiTraceLevel", traceLevel);
    o << ",\n";
    u32("uiSubscribeQueueMemLimitKB", queueLimitKB);
    if (browsePauseMs) {
      o << ",\n";
      u32("uiBrowsePauseMs", *browsePauseMs);
    }
    if (!extraRootMembers.empty()) o << ",\n" << extraRootMembers;
    if (tls) {
      o << ",\n\"ZAL_MQTT_TLS:0\": {\"type\": \"STRUCT\", \"members\": {";
      u32("xUseCertificateBasedTLS", tls->certificate);
      o << ", ";
      u32("xUsePSKBasedTLS", tls->psk);
      o << ", ";
      str("strCAfilename", tls->caFile);
      o << ", ";
      str("strCAfilepath", tls->caPath);
      o << ", ";
      str("strCertfileName", tls->certFile);
      o << ", ";
      str("strKeyfileName", tls->keyFile);
      o << ", ";
      str("strPSK", tls->pskKey);
      o << ", ";
      str("strIdentity", tls->identity);
      o << "}}";
    }
    for (size_t p = 0; p < publishes.size(); ++p) {
      o << ",\n\"ZAL_MQTT_publish:" << p << "\": {\"type\": \"STRUCT\", \"members\": {";
      u32("uiPublishPeriodms", publishes[p].periodMs);
      if (!publishes[p].extraMembers.empty()) o << ", " << publishes[p].extraMembers;
      for (size_t s = 0; s < publishes[p].sets.size(); ++s) {
        o << ",\n  \"VariableTopicSet:" << s << "\": {\"type\": \"STRUCT\", \"members\": {";
        set(publishes[p].sets[s]);
        o << "}}";
      }
      o << "}}";
    }
    for (size_t s = 0; s < subscribes.size(); ++s) {
      o << ",\n\"ZAL_MQTT_subscribe:" << s << "\": {\"type\": \"STRUCT\", \"members\": {";
      set(subscribes[s]);
      o << "}}";
    }
    o << "\n}}\n}}\n";
    return o.str();
  }
};

inline constexpr const char* kRoot = "SYS.CAT.Application.ZAL_Cloud:0.ZAL_MQTT:0";
inline std::string rootMember(const std::string& name) { return std::string(kRoot) + "." + name; }

// ---- variable server -----------------------------------------------------------------------

class VariableServer {
 public:
  explicit VariableServer(const std::string& treeJson) {
    writeFile(dir_.file("tree.json"), treeJson);
    socket_ = dir_.file("kalpapi.sock");
    process_ = std::make_unique<Process>(
        std::vector<std::string>{KALPAPI_SERVER_PATH, "--tree", dir_.file("tree.json"), "--socket", socket_});
    const auto deadline = Clock::now() + kDefaultDeadline;
    for (;;) {
      std::string out;
      if (runCommand({KALPVAR_PATH, "--socket", socket_, "state"}, &out) == 0) break;
      if (!process_->running() || Clock::now() >= deadline)
        throw std::runtime_error("variable server did not start:\n" + process_->log().dump());
      std::this_thread::sleep_for(50ms);
    }
  }
  const std::string& socket() const { return socket_; }
  Process& process() { return *process_; }

  // kalpvar with this server's socket; exit status, output in *out.
  int kalpvar(std::vector<std::string> args, std::string* out = nullptr) const {
    args.insert(args.begin(), {KALPVAR_PATH, "--socket", socket_});
    std::string text;
    const int rc = runCommand(args, &text);
    if (out) *out = text;
    return rc;
  }
  void set(const std::string& path, const std::string& value) const {
    std::string out;
    if (kalpvar({"set", path, value}, &out) != 0)
      throw std::runtime_error("kalpvar set " + path + ": " + out);
  }
  // The value as kalpvar prints it (trailing line feed removed); nullopt on error.
  std::optional<std::string> get(const std::string& path) const {
    std::string out;
    if (kalpvar({"get", path}, &out) != 0) return std::nullopt;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
  }
  // Waits until get(path) equals value.
  bool waitForValue(const std::string& path, const std::string& value,
                    Clock::duration timeout = kDefaultDeadline) const {
    return pollUntil([&] { return get(path) == value; }, timeout, 100ms);
  }

 private:
  TempDir dir_;
  std::string socket_;
  std::unique_ptr<Process> process_;
};

// ---- the service ---------------------------------------------------------------------------

class Service {
 public:
  // prefix: a command to run the service under (e.g. {"/usr/bin/unshare", "-n"}).
  explicit Service(const VariableServer& server, std::vector<std::string> prefix = {})
      : Service(server.socket(), std::move(prefix)) {}
  // On a socket path where no variable server may be listening.
  explicit Service(const std::string& socketPath, std::vector<std::string> prefix = {}) {
    std::vector<std::string> argv = std::move(prefix);
    argv.push_back(ZAL_SERVICE_PATH);
    process_ =
        std::make_unique<Process>(argv, std::map<std::string, std::string>{{"KALPAPI_SOCKET", socketPath}});
  }
  // With ZAL_IT_VERBOSE set in the environment, the service's whole trace is printed at the end.
  ~Service() {
    process_->stop();
    if (std::getenv("ZAL_IT_VERBOSE") != nullptr)
      std::fprintf(stderr, "---- service trace ----\n%s", dump().c_str());
  }
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  Process& process() { return *process_; }
  const LineLog& log() const { return process_->log(); }
  size_t mark() const { return log().size(); }

  // Sends SIGINT to the service. Under ThreadSanitizer a signal sent to the process reaches the
  // program's handler only once the thread that took it enters a call the sanitizer intercepts;
  // a thread waiting in a call it does not intercept holds the signal for as long as it waits
  // (seen: more than 5 s while connecting). So there the signal goes again each second until
  // the service traces it or has ended; the service ignores a repeat while it shuts down.
  void interrupt() {
#if defined(ZAL_TSAN_BUILD)
    const size_t from = mark();
    process_->signal(SIGINT);
    for (int again = 0; again < 30 && process_->running(); ++again) {
      if (waitFor("Interrupt signal (", from, 1s)) break;
      process_->signal(SIGINT);
    }
#else
    process_->signal(SIGINT);
#endif
  }

  // Index of the first trace line at or after from containing text; nullopt at the deadline.
  std::optional<size_t> waitFor(const std::string& text, size_t from = 0,
                                Clock::duration timeout = kDefaultDeadline) const {
    return log().waitFor(contains(text), from, timeout);
  }
  // The text of a line without its time-stamp prefix ("ZAL_MQTT  date time.000| ").
  static std::string body(const std::string& line) {
    const size_t bar = line.find("| ");
    return bar == std::string::npos ? line : line.substr(bar + 2);
  }
  std::string dump(size_t from = 0) const { return log().dump(from); }

 private:
  std::unique_ptr<Process> process_;
};

// ---- subscriber ----------------------------------------------------------------------------

struct Message {
  std::string topic, payload;
  int qos = 0;
  bool retain = false;
  Clock::time_point at;
};

class Subscriber {
 public:
  explicit Subscriber(int port, const std::string& topicFilter = "#", const std::string& user = "",
                      const std::string& password = "", int qos = 1) {
    static std::once_flag libraryInit;
    std::call_once(libraryInit, [] { mosquitto_lib_init(); });
    client_ = mosquitto_new(nullptr, true, this);
    if (!client_) throw std::runtime_error("mosquitto_new failed");
    mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* m) {
      static_cast<Subscriber*>(self)->onMessage(m);
    });
    mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* self, int, int, const int*) {
      auto* s = static_cast<Subscriber*>(self);
      std::lock_guard<std::mutex> lock(s->mutex_);
      s->subscribed_ = true;
      s->changed_.notify_all();
    });
    if (!user.empty()) mosquitto_username_pw_set(client_, user.c_str(), password.c_str());
    if (mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS)
      throw std::runtime_error("subscriber: connect failed");
    if (mosquitto_subscribe(client_, nullptr, topicFilter.c_str(), qos) != MOSQ_ERR_SUCCESS)
      throw std::runtime_error("subscriber: subscribe failed");
    mosquitto_loop_start(client_);
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, kDefaultDeadline, [this] { return subscribed_; }))
      throw std::runtime_error("subscriber: no SUBACK");
  }
  ~Subscriber() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

  std::vector<Message> messages(const std::string& topic = "") const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Message> out;
    for (const Message& m : messages_)
      if (topic.empty() || m.topic == topic) out.push_back(m);
    return out;
  }
  size_t count(const std::string& topic) const { return messages(topic).size(); }
  // Waits until at least n messages arrived on topic; returns them (fewer at the deadline).
  std::vector<Message> waitForCount(const std::string& topic, size_t n,
                                    Clock::duration timeout = kDefaultDeadline) const {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return countLocked(topic) >= n; });
    std::vector<Message> out;
    for (const Message& m : messages_)
      if (m.topic == topic) out.push_back(m);
    return out;
  }
  // Waits for a message on topic whose payload satisfies match, arriving after the first
  // `after` messages of that topic.
  std::optional<Message> waitFor(const std::string& topic,
                                 const std::function<bool(const std::string&)>& match, size_t after = 0,
                                 Clock::duration timeout = kDefaultDeadline) const {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<Message> found;
    changed_.wait_for(lock, timeout, [&] {
      size_t seen = 0;
      for (const Message& m : messages_) {
        if (m.topic != topic) continue;
        if (seen++ < after) continue;
        if (match(m.payload)) {
          found = m;
          return true;
        }
      }
      return false;
    });
    return found;
  }

 private:
  size_t countLocked(const std::string& topic) const {
    size_t n = 0;
    for (const Message& m : messages_)
      if (m.topic == topic) ++n;
    return n;
  }
  void onMessage(const mosquitto_message* m) {
    Message message;
    message.topic = m->topic;
    if (m->payloadlen > 0)
      message.payload.assign(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen));
    message.qos = m->qos;
    message.retain = m->retain;
    message.at = Clock::now();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      messages_.push_back(std::move(message));
    }
    changed_.notify_all();
  }

  mosquitto* client_ = nullptr;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Message> messages_;
  bool subscribed_ = false;
};

// ---- publisher -----------------------------------------------------------------------------

// A libmosquitto client that publishes and counts what it has handed to the broker.
class Publisher {
 public:
  explicit Publisher(int port) {
    static std::once_flag libraryInit;
    std::call_once(libraryInit, [] { mosquitto_lib_init(); });
    client_ = mosquitto_new(nullptr, true, this);
    if (!client_) throw std::runtime_error("mosquitto_new failed");
    mosquitto_publish_callback_set(
        client_, [](mosquitto*, void* self, int) { ++static_cast<Publisher*>(self)->sent_; });
    if (mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS)
      throw std::runtime_error("publisher: connect failed");
    mosquitto_loop_start(client_);
  }
  ~Publisher() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;

  void publish(const std::string& topic, const std::string& payload, int qos = 1) {
    const int rc = mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), qos, false);
    if (rc != MOSQ_ERR_SUCCESS)
      throw std::runtime_error(std::string("publish failed: ") + mosquitto_strerror(rc));
    ++queued_;
  }
  // Waits until every publish so far has been handed over (QoS 0: written; QoS 1: acknowledged).
  bool waitAllSent(Clock::duration timeout = kDefaultDeadline) const {
    return pollUntil([this] { return sent_.load() >= queued_; }, timeout, 10ms);
  }

 private:
  mosquitto* client_ = nullptr;
  std::atomic<size_t> sent_{0};
  size_t queued_ = 0;
};

}  // namespace zaltest
