// kalpapi-server under clients that misbehave or take too much, and its socket's place and
// mode: connection limit, descriptor and address-space limits of the server process (prlimit),
// stalled requests, folders other users can write. Each test starts its own server.
#include <KalpApi.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "KalpServerProcess.h"
#include "KalpWire.h"

using kalptest::KalpServerProcess;
using kalptest::runProgram;
using namespace std::chrono_literals;

namespace {

const std::string kTree = R"({"variables": {"APPL.U32": {"type": "UINT32", "value": 123456}}})";

std::unique_ptr<KalpServerProcess> startServer(std::vector<std::string> options = {}) {
  auto server =
      std::make_unique<KalpServerProcess>(KALPAPI_SERVER_PATH, kTree, std::string(), std::move(options));
  server->exportSocket();  // before any thread of the client library runs
  return server;
}

template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds deadline = 10s) {
  auto until = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// A connection of the test's own, outside the client library.
class RawConnection {
 public:
  explicit RawConnection(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    timeval timeout{20, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~RawConnection() { ::close(fd_); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool connected() const { return connected_; }
  bool send(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // The status of the device-state request's answer; -1 without an answer.
  long long deviceStateStatus() {
    kalpwire::Out out;
    out.u8(kalpwire::kDeviceState);
    std::string reply;
    send(out.finish());  // a refusing server may have closed already: its answer is there all the same
    if (!kalpwire::recvFrame(fd_, reply)) return -1;
    uint32_t status = 0;
    kalpwire::In in(reply.data(), reply.size());
    return in.u32(status) ? status : -1;
  }
  // Sends one request and returns the reply's body ("" without one).
  std::string call(kalpwire::Out& request) {
    std::string reply;
    if (!send(request.finish()) || !kalpwire::recvFrame(fd_, reply)) return std::string();
    return reply;
  }
  // A request whose reply is a status and a 32-bit number (open, get type); the status, or -1.
  long long statusAndNumber(kalpwire::Out& request, uint32_t& number) {
    std::string reply = call(request);
    kalpwire::In in(reply.data(), reply.size());
    uint32_t status = 0;
    if (!in.u32(status) || !in.u32(number)) return -1;
    return status;
  }
  long long open(const std::string& path, uint32_t& handle) {
    kalpwire::Out out;
    out.u8(kalpwire::kOpen).text(path);
    return statusAndNumber(out, handle);
  }
  long long typeOf(uint32_t handle) {
    kalpwire::Out out;
    out.u8(kalpwire::kGetType).u32(handle);
    uint32_t type = 0;
    return statusAndNumber(out, type);
  }
  long long close(uint32_t handle) {
    kalpwire::Out out;
    out.u8(kalpwire::kClose).u32(handle);
    std::string reply = call(out);
    kalpwire::In in(reply.data(), reply.size());
    uint32_t status = 0;
    return in.u32(status) ? status : -1;
  }
  // Registers a component on this connection; the status, or -1.
  long long registerComponent(const std::string& name) {
    kalpwire::Out out;
    out.u8(kalpwire::kRegisterComponent).text(name);
    std::string reply = call(out);
    kalpwire::In in(reply.data(), reply.size());
    uint32_t status = 0;
    return in.u32(status) ? status : -1;
  }
  // Whether the server closed the connection (within the receive timeout). A reset counts: the
  // server closed it with bytes of ours unread.
  bool closedByServer() {
    char c;
    ssize_t n = ::recv(fd_, &c, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

std::string procStatus(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key + ":", 0) == 0) return line.substr(key.size() + 1);
  }
  return std::string();
}
long long procKiB(pid_t pid, const std::string& key) { return std::stoll(procStatus(pid, key)); }

// CPU time (user and system, clock ticks) the process used so far.
long long cpuTicks(pid_t pid) {
  std::string stat = kalptest::readWholeFile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoll(field);
    if (i == 15) stime = std::stoll(field);
  }
  return utime + stime;
}

// Share of one CPU the process uses over a short window.
double cpuShare(pid_t pid, std::chrono::milliseconds window = 1s) {
  long long before = cpuTicks(pid);
  std::this_thread::sleep_for(window);  // a measuring window, not a wait for a condition
  return static_cast<double>(cpuTicks(pid) - before) / ::sysconf(_SC_CLK_TCK) /
         std::chrono::duration<double>(window).count();
}

bool alive(pid_t pid) { return kalptest::waitProgram(pid, 0ms) == -1; }

uint32_t readU32(uint32_t& value) {
  uint32_t h = 0;
  uint32_t status = KalpApiVarOpenHdlA("APPL.U32", &h);
  if (status != KALPAPI_OK) return status;
  status = KalpApiVarRead(&value, h, 4);
  KalpApiVarCloseHdl(&h);
  return status;
}

void setLimit(pid_t pid, __rlimit_resource resource, rlim_t value) {
  rlimit limit{value, value};
  ASSERT_EQ(::prlimit(pid, resource, &limit, nullptr), 0) << std::strerror(errno);
}

constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    true;
#else
    false;
#endif

}  // namespace

TEST(KalpServerLimits, ConnectionsPastTheLimitAreRefusedWithAReasonUntilOneCloses) {
  auto server = startServer({"--max-connections", "3"});
  std::vector<std::unique_ptr<RawConnection>> held;
  // The server's own readiness probe may still count until the server has seen it close: a
  // connection refused for that reason is tried again.
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(eventually([&] {
      auto connection = std::make_unique<RawConnection>(server->socketPath());
      if (connection->deviceStateStatus() != KALPAPI_OK) return false;
      held.push_back(std::move(connection));
      return true;
    }));
  }
  RawConnection extra(server->socketPath());
  EXPECT_EQ(extra.deviceStateStatus(), kalpwire::kRefusedStatus);
  EXPECT_TRUE(extra.closedByServer());
  uint32_t value = 0;
  EXPECT_EQ(readU32(value), KALPAPI_E_NO_COMMUNICATION);  // the client library's view
  auto r = runProgram({KALPVAR_PATH, "get", "APPL.U32"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("refused: the server has 3 connections open, its limit (--max-connections)"),
            std::string::npos)
      << r.err;

  held.pop_back();
  EXPECT_TRUE(eventually([&] { return readU32(value) == KALPAPI_OK; }));
  EXPECT_EQ(value, 123456u);
  EXPECT_NE(server->log().find("connection limit of 3 reached"), std::string::npos);
  EXPECT_EQ(server->stop(), 0) << server->log();
}

TEST(KalpServerLimits, OutOfDescriptorsBacksOffAndRecoversOnceClientsLeave) {
  auto server = startServer();
  setLimit(server->pid(), RLIMIT_NOFILE, 24);
  std::vector<std::unique_ptr<RawConnection>> burst;
  for (int i = 0; i < 60; ++i) burst.push_back(std::make_unique<RawConnection>(server->socketPath()));
  ASSERT_TRUE(eventually([&] { return server->log().find("pausing new connections") != std::string::npos; }))
      << server->log();
  EXPECT_LT(cpuShare(server->pid()), 0.3) << "the accept loop spins";
  // A client that comes now is told why at once, not left waiting.
  {
    RawConnection late(server->socketPath());
    EXPECT_EQ(late.deviceStateStatus(), kalpwire::kRefusedStatus);
  }
  auto r = runProgram({KALPVAR_PATH, "get", "APPL.U32"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("refused: the server is out of file descriptors"), std::string::npos) << r.err;
  burst.clear();

  uint32_t value = 0;
  EXPECT_TRUE(eventually([&] { return readU32(value) == KALPAPI_OK; }, 5s)) << server->log();
  EXPECT_NE(server->log().find("accepting connections again"), std::string::npos);
  EXPECT_LT(cpuShare(server->pid()), 0.3) << "the server does not rest once the clients left";
  EXPECT_EQ(server->stop(), 0) << server->log();
}

TEST(KalpServerLimits, LowAddressSpaceAndManyConnectionsRefuseSomeAndKeepServing) {
  if (kSanitized) GTEST_SKIP() << "sanitizers reserve more address space than any such limit";
  // Room for some dozens of connection threads, not for 200.
  auto server = startServer({"--max-connections", "1000"});
  const long long size = procKiB(server->pid(), "VmSize");
  setLimit(server->pid(), RLIMIT_AS, static_cast<rlim_t>(size + 32 * 1024) * 1024);
  std::vector<std::unique_ptr<RawConnection>> many;
  int served = 0, refused = 0;
  for (int i = 0; i < 200; ++i) {
    many.push_back(std::make_unique<RawConnection>(server->socketPath()));
    long long status = many.back()->deviceStateStatus();
    served += status == KALPAPI_OK;
    refused += status == kalpwire::kRefusedStatus;
  }
  EXPECT_EQ(served + refused, 200) << server->log();
  EXPECT_GT(served, 0);
  EXPECT_GT(refused, 0) << "the limit was never reached: the test proves nothing";
  EXPECT_NE(server->log().find("cannot start a thread for a new connection"), std::string::npos)
      << server->log();
  ASSERT_TRUE(alive(server->pid()));
  many.clear();
  uint32_t value = 0;
  EXPECT_TRUE(eventually([&] { return readU32(value) == KALPAPI_OK; }, 5s)) << server->log();
  EXPECT_EQ(server->stop(), 0) << server->log();
}

TEST(KalpServerLimits, StalledLongFramesHoldNoMemoryAndAreDroppedAfterTheTimeout) {
  auto server = startServer({"--request-timeout", "1000"});
  RawConnection idle(server->socketPath());  // between requests: never dropped
  ASSERT_EQ(idle.deviceStateStatus(), KALPAPI_OK);
  const long long peakBefore = procKiB(server->pid(), "VmHWM");
  std::vector<std::unique_ptr<RawConnection>> stalled;
  for (int i = 0; i < 20; ++i) {
    stalled.push_back(std::make_unique<RawConnection>(server->socketPath()));
    uint32_t length = kalpwire::kMaxFrame;  // announced; only a few bytes follow
    std::string start(reinterpret_cast<const char*>(&length), 4);
    start += std::string("\x01") + std::string(1000, 'x');
    ASSERT_TRUE(stalled.back()->send(start));
  }
  for (auto& c : stalled) EXPECT_TRUE(c->closedByServer());
  EXPECT_LT(procKiB(server->pid(), "VmHWM") - peakBefore, 32 * 1024) << "KiB held for announced frames";
  EXPECT_NE(server->log().find("its request made no progress for 1000 ms"), std::string::npos)
      << server->log();
  EXPECT_EQ(idle.deviceStateStatus(), KALPAPI_OK);  // waited longer than the timeout, still served
  EXPECT_EQ(server->stop(), 0) << server->log();
}

TEST(KalpServerSocket, FolderOthersCanWriteIsRefusedUnlessAllowedAndTheSocketIsMode0660) {
  kalptest::TempDir dir;
  std::ofstream(dir.path() + "/tree.json") << kTree;
  const std::string tree = dir.path() + "/tree.json";
  struct Case {
    mode_t folderMode;
    bool allow;
    std::string refusal;  // part of the error, "" when the server must start
  };
  const Case cases[] = {
      {0700, false, ""},
      {0755, false, ""},
      {0777, false, "other users can write its folder"},
      {01777, false, "(mode 1777); use a folder that only you can write, or --allow-shared-folder"},
      {0770, false, "other users can write its folder"},
      {01777, true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.folderMode) + (c.allow ? " allowed" : ""));
    const std::string folder = dir.path() + "/run";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(folder.c_str(), c.folderMode), 0);
    const std::string socket = folder + "/kalpapi.sock";
    // umask 000: the socket's mode must not depend on it.
    std::vector<std::string> argv = {
        "/bin/sh",  "-c",  "umask 000 && exec \"$@\"", "sh", KALPAPI_SERVER_PATH, "--tree", tree,
        "--socket", socket};
    if (c.allow) argv.push_back("--allow-shared-folder");
    if (c.refusal.empty()) {
      pid_t pid = kalptest::spawnProgram(argv, "", dir.path() + "/log");
      EXPECT_TRUE(eventually([&] { return kalptest::socketAccepts(socket); }))
          << kalptest::readWholeFile(dir.path() + "/log");
      struct stat info {};
      EXPECT_EQ(::stat(socket.c_str(), &info), 0);
      EXPECT_EQ(info.st_mode & 07777, 0660u);
      EXPECT_EQ(kalptest::stopProgram(pid), 0);
    } else {
      auto r = runProgram(argv);
      EXPECT_EQ(r.exitCode, 1);
      EXPECT_NE(r.err.find("refusing to serve on '" + socket + "'"), std::string::npos) << r.err;
      EXPECT_NE(r.err.find(c.refusal), std::string::npos) << r.err;
      EXPECT_FALSE(kalptest::socketAccepts(socket));
    }
    std::filesystem::remove_all(folder);
  }
}

TEST(KalpServerSocket, DefaultPathIsInAFolderOnlyItsOwnerCanWrite) {
  struct Case {
    uid_t euid;
    const char* runtimeDir;
    std::string expected;
  };
  const Case cases[] = {
      {0, nullptr, "/run/kalpapi/kalpapi.sock"},
      {0, "/run/user/0", "/run/kalpapi/kalpapi.sock"},
      {1000, "/run/user/1000", "/run/user/1000/kalpapi.sock"},
      {1000, "", "/tmp/kalpapi-1000/kalpapi.sock"},
      {1000, nullptr, "/tmp/kalpapi-1000/kalpapi.sock"},
      {1000, "relative", "/tmp/kalpapi-1000/kalpapi.sock"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(kalpwire::defaultSocketPath(c.euid, c.runtimeDir), c.expected)
        << c.euid << " " << (c.runtimeDir ? c.runtimeDir : "(unset)");
}

TEST(KalpServerLimits, HandlesBelongToTheProcessThatOpenedThemUpToItsLimit) {
  auto server = startServer({"--max-handles", "4"});
  auto firstConnection = std::make_unique<RawConnection>(server->socketPath());
  auto secondConnection = std::make_unique<RawConnection>(server->socketPath());
  RawConnection& first = *firstConnection;
  RawConnection& second = *secondConnection;
  uint32_t mine = 0;
  ASSERT_EQ(first.open("APPL.U32", mine), KALPAPI_OK);
  EXPECT_EQ(second.typeOf(mine), KALPAPI_OK) << "any connection of the process may use its handles";

  // Another process: the handle is an invalid one, closing it included; its own handles count
  // toward its own limit.
  int results[2];
  ASSERT_EQ(::pipe(results), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    RawConnection other(server->socketPath());
    long long answers[7] = {other.typeOf(mine), other.close(mine)};
    uint32_t h = 0;
    for (int i = 0; i < 5; ++i) answers[2 + i] = other.open("APPL.U32", h);
    ssize_t ignored = ::write(results[1], answers, sizeof answers);
    (void)ignored;
    ::_exit(0);
  }
  ::close(results[1]);
  long long answers[7] = {};
  EXPECT_EQ(::read(results[0], answers, sizeof answers), static_cast<ssize_t>(sizeof answers));
  ::close(results[0]);
  EXPECT_EQ(kalptest::waitProgram(child, 10s), 0);
  EXPECT_EQ(answers[0], KALPAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(answers[1], KALPAPI_E_INVALID_PARAMETER);
  for (int i = 2; i < 6; ++i) EXPECT_EQ(answers[i], KALPAPI_OK) << i;
  EXPECT_EQ(answers[6], KALPAPI_E_TOO_MANY_HANDLES);
  EXPECT_EQ(first.typeOf(mine), KALPAPI_OK) << "another process closed it";

  uint32_t h = 0;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(second.open("APPL.U32", h), KALPAPI_OK);
  EXPECT_EQ(first.open("APPL.U32", h), KALPAPI_E_TOO_MANY_HANDLES);
  EXPECT_NE(server->log().find("holds 4 handles and walks, its limit (--max-handles): refusing more"),
            std::string::npos)
      << server->log();
  // The process's last connection gone, its handles are freed: a new connection has the room.
  firstConnection.reset();
  secondConnection.reset();
  EXPECT_TRUE(eventually([&] {
    RawConnection again(server->socketPath());
    uint32_t fresh = 0;
    for (int i = 0; i < 4; ++i) {
      if (again.open("APPL.U32", fresh) != KALPAPI_OK) return false;
    }
    return again.typeOf(mine) == KALPAPI_E_INVALID_PARAMETER;
  })) << server->log();
  EXPECT_EQ(server->stop(), 0) << server->log();
}

TEST(KalpServerLimits, RepeatedLogLinesAreCountedPerEpisodeAndNamesCut) {
  auto server = startServer();
  for (int i = 0; i < 50; ++i) {
    RawConnection bad(server->socketPath());
    kalpwire::Out out;
    out.u8(99);  // no such operation
    bad.send(out.finish());
    EXPECT_TRUE(bad.closedByServer());
  }
  const std::string name(100000, 'N');
  RawConnection holder(server->socketPath()), squatter(server->socketPath());
  ASSERT_EQ(holder.registerComponent(name), KALPAPI_OK);
  EXPECT_EQ(squatter.registerComponent(name), KALPAPI_E_ACCESS_DENIED);
  ASSERT_TRUE(eventually([&] {
    return server->log().find("closed connections after malformed requests: ") != std::string::npos;
  })) << server->log();
  const std::string log = server->log();
  size_t whole = 0, longest = 0;
  for (size_t at = 0; (at = log.find("after a malformed request (operation 99)", at)) != std::string::npos;
       ++at)
    ++whole;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) longest = std::max(longest, line.size());
  EXPECT_GE(whole, 1u);
  EXPECT_LT(whole, 10u) << log;  // one per episode: a few at most on a slow machine
  EXPECT_LT(longest, 300u);
  EXPECT_NE(log.find("component 'NNNN"), std::string::npos);
  EXPECT_NE(log.find("...(100000 bytes)' registered"), std::string::npos) << log.substr(0, 2000);
  EXPECT_EQ(server->stop(), 0);
}

TEST(KalpServerLimits, AComponentThatDoesNotAnswerHasItsOwnStatusAndReason) {
  auto server = startServer({"--callback-timeout", "300"});
  RawConnection mute(server->socketPath());
  ASSERT_EQ(mute.registerComponent("MUTE"), KALPAPI_OK);  // and never answers a call
  kalptest::TempDir dir;
  auto r = runProgram({KALPVAR_PATH, "report", "MUTE", dir.path()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("component 'MUTE' did not answer (0x81000006)"), std::string::npos) << r.err;
  EXPECT_EQ(server->stop(), 0) << server->log();
}

// The default socket of another user's login: the client library and kalpvar take a server there
// only in a folder that no other user can write and only when it runs as the user or root.
TEST(KalpServerSocket, ClientRefusesADefaultSocketAnotherUserCouldHavePlaced) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as two other users";
  if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs setpriv (util-linux)";
  const uid_t victim = 64201, attacker = 64202;
  kalptest::TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  // Binaries and tree where both users can read them, whoever owns the build folder.
  for (const char* file : {KALPAPI_SERVER_PATH, KALPVAR_PATH, KALPAPI_LIBRARY_PATH}) {
    std::filesystem::copy_file(file, dir.path() + "/" + std::filesystem::path(file).filename().string());
  }
  std::filesystem::create_symlink(std::filesystem::path(KALPAPI_LIBRARY_PATH).filename(),
                                  dir.path() + "/libKalpApi.so.2");
  std::ofstream(dir.path() + "/tree.json") << kTree;
  auto folder = [&](const std::string& name, uid_t owner, mode_t mode) {
    const std::string path = dir.path() + "/" + name;
    EXPECT_EQ(::mkdir(path.c_str(), 0700), 0);
    EXPECT_EQ(::chown(path.c_str(), owner, owner), 0);
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    return path;
  };
  auto as = [&](uid_t uid, std::vector<std::string> argv) {
    std::vector<std::string> all = {"/usr/bin/setpriv",
                                    "--reuid=" + std::to_string(uid),
                                    "--regid=" + std::to_string(uid),
                                    "--clear-groups",
                                    "/usr/bin/env",
                                    "-u",
                                    "KALPAPI_SOCKET",
                                    "LD_LIBRARY_PATH=" + dir.path()};
    all.insert(all.end(), argv.begin(), argv.end());
    return all;
  };
  auto serve = [&](uid_t uid, const std::string& socket, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {dir.path() + "/kalpapi-server", "--tree", dir.path() + "/tree.json",
                                     "--socket", socket};
    argv.insert(argv.end(), extra.begin(), extra.end());
    pid_t pid = kalptest::spawnProgram(as(uid, argv), "", "");
    EXPECT_TRUE(eventually([&] { return kalptest::socketAccepts(socket); }));
    return pid;
  };
  // What the victim's kalpvar makes of the default socket in runtime folder runtime.
  auto victimGets = [&](const std::string& runtime) {
    return runProgram(as(victim, {"XDG_RUNTIME_DIR=" + runtime, dir.path() + "/kalpvar", "get", "APPL.U32"}));
  };

  // The attacker's own folder, and a socket anybody may connect to.
  const std::string theirs = folder("theirs", attacker, 0755);
  pid_t attackerServer = serve(attacker, theirs + "/kalpapi.sock");
  ASSERT_EQ(::chmod((theirs + "/kalpapi.sock").c_str(), 0666), 0);
  auto r = victimGets(theirs);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("the socket folder '" + theirs + "' belongs to another user (uid 64202)"),
            std::string::npos)
      << r.err;
  // KALPAPI_SOCKET named explicitly is taken as given.
  r = runProgram(
      as(victim, {"KALPAPI_SOCKET=" + theirs + "/kalpapi.sock", dir.path() + "/kalpvar", "get", "APPL.U32"}));
  EXPECT_EQ(r.exitCode, 0) << r.err;

  // The attacker's server, moved into the victim's own folder: refused by the server's uid.
  const std::string own = folder("own", victim, 0700);
  ASSERT_EQ(::rename((theirs + "/kalpapi.sock").c_str(), (own + "/kalpapi.sock").c_str()), 0);
  r = victimGets(own);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("the server there runs as another user (uid 64202)"), std::string::npos) << r.err;
  EXPECT_EQ(kalptest::stopProgram(attackerServer), 0);

  // A folder the group can write, even the victim's own.
  const std::string shared = folder("shared", victim, 0770);
  pid_t sharedServer = serve(victim, shared + "/kalpapi.sock", {"--allow-shared-folder"});
  r = victimGets(shared);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("other users can write the socket folder '" + shared + "' (mode 0770)"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(kalptest::stopProgram(sharedServer), 0);

  // The victim's own server in its own folder serves as ever.
  const std::string fine = folder("fine", victim, 0700);
  pid_t victimServer = serve(victim, fine + "/kalpapi.sock");
  r = victimGets(fine);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "123456\n");
  EXPECT_EQ(kalptest::stopProgram(victimServer), 0);
}

TEST(KalpServerLimits, ATreeAsDeepAsAllowedDumpsAndADeeperOneIsRefused) {
  // 100 dotted levels and 100 nested arrays: the deepest tree that loads, dumped on a
  // connection thread's stack.
  std::string path = "L0", node = R"({"type": "UINT8", "value": 9})";
  for (int i = 1; i < 100; ++i) path += ".L" + std::to_string(i);
  for (int i = 0; i < 100; ++i) node = R"({"type": "ARRAY", "elements": [)" + node + "]}";
  KalpServerProcess server(KALPAPI_SERVER_PATH, "{\"variables\": {\"" + path + "\": " + node + "}}");
  auto r = runProgram({KALPVAR_PATH, "--socket", server.socketPath(), "dump"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("\"value\": 9"), std::string::npos);
  EXPECT_TRUE(alive(server.pid())) << server.log();

  kalptest::TempDir dir;
  std::string deep = "a";
  for (int i = 1; i < 2500; ++i) deep += ".a";
  std::ofstream(dir.path() + "/deep.json") << "{\"variables\": {\"" + deep + "\": {\"type\": 1}}}";
  r = runProgram(
      {KALPAPI_SERVER_PATH, "--tree", dir.path() + "/deep.json", "--socket", dir.path() + "/k.sock"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find(dir.path() + "/deep.json: variables.\"a.a.a"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("the path has 2500 levels, more than the 200 a tree may be deep"), std::string::npos);
}

TEST(KalpServerLimits, HandlesOutliveTheClientThreadThatOpenedThem) {
  auto server = startServer();
  // Sockets the server holds: its listener and one per open connection.
  auto sockets = [&] {
    int n = 0;
    const std::string folder = "/proc/" + std::to_string(server->pid()) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      std::error_code error;
      n += std::filesystem::read_symlink(entry.path(), error).string().rfind("socket:", 0) == 0;
    }
    return n;
  };
  ASSERT_TRUE(eventually([&] { return sockets() == 1; }));  // the start-up probe is gone
  uint32_t handle = 0, status = 0;
  std::thread([&] { status = KalpApiVarOpenHdlA("APPL.U32", &handle); }).join();
  ASSERT_EQ(status, KALPAPI_OK);
  // The opening thread's connection has closed; the one the library keeps for the process stays,
  // and with it the process's handles.
  ASSERT_TRUE(eventually([&] { return sockets() == 2; })) << sockets();
  uint32_t value = 0;
  EXPECT_EQ(KalpApiVarRead(&value, handle, 4), KALPAPI_OK);
  EXPECT_EQ(value, 123456u);
  EXPECT_EQ(server->stop(), 0) << server->log();
}
