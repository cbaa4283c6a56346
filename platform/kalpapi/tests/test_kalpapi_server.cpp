// kalpapi-server, libKalpApi.so.2 and kalpvar as real processes; the service's variable-server
// helpers through the real client. Every test starts its own server on the one socket of this
// test program (KALPAPI_SOCKET is set once, before any thread runs) and stops it by PID.
#include <KalpApi.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KalpAdmin.h"
#include "KalpServerProcess.h"
#include "VariableServer.h"

using kalptest::KalpServerProcess;
using kalptest::runProgram;

namespace {

// The socket every server of this program listens on.
kalptest::TempDir* socketDir = nullptr;
std::string socketPath() { return socketDir->path() + "/kalpapi.sock"; }

class SocketEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    socketDir = new kalptest::TempDir;
    ::setenv("KALPAPI_SOCKET", socketPath().c_str(), 1);
  }
  void TearDown() override {
    delete socketDir;
    socketDir = nullptr;
  }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new SocketEnvironment);

const std::string kLongText(300, 'L');

const std::string kTree = R"({"deviceState": 300, "variables": {
  "APPL.P.U32": {"type": "UINT32", "value": 123456},
  "APPL.P.U8": {"type": "UINT8", "value": 7},
  "APPL.P.Name": {"type": "STRING", "value": ")" +
                          kLongText + R"("},
  "APPL.P.Arr": {"type": "ARRAY", "lowerBound": 1, "elementType": "SINT16", "values": [-1, -2, -3]},
  "APPL.P.S": {"type": "STRUCT", "members": {"ok": {"type": "BOOL", "value": true},
                                             "hidden": {"type": "UINT8", "valid": false}}},
  "APPL.P.Empty": {"type": "STRUCT"},
  "APPL.P.Locked": {"type": "UINT32", "fault": {"read": "0x81000504"}},
  "APPL.T": {"type": "STRUCT", "members": {)" +
                          [] {
                            std::string members;
                            for (int i = 0; i < 16; ++i)
                              members += std::string(i ? "," : "") + "\"V" + std::to_string(i) +
                                         "\": {\"type\": \"UINT32\", \"value\": " + std::to_string(i * 1000) +
                                         "}";
                            return members;
                          }() +
                          R"(}}}})";

std::unique_ptr<KalpServerProcess> startServer(const std::string& tree = kTree) {
  return std::make_unique<KalpServerProcess>(KALPAPI_SERVER_PATH, tree, socketPath());
}

kalptest::ProgramResult kalpvar(std::vector<std::string> args) {
  args.insert(args.begin(), KALPVAR_PATH);
  return runProgram(args);
}

template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
  auto until = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

uint32_t readU32(const char* path, uint32_t& value) { return readVariableByName(path, &value, 4); }

}  // namespace

TEST(KalpApiClient, StatusPathsOfEveryCall) {
  auto server = startServer();
  uint32_t h = 0, type = 0, value = 0, d = 0, state = 0, word = 1;
  KalpApiDirEntry* entry = nullptr;

  EXPECT_EQ(KalpApiVarOpenHdlA("APPL.P.Nope", &h), KALPAPI_E_NOT_FOUND);
  ASSERT_EQ(KalpApiVarOpenHdlA("APPL.P.U32", &h), KALPAPI_OK);
  EXPECT_NE(h, 0u);
  EXPECT_EQ(KalpApiVarGetType(h, &type), KALPAPI_OK);
  EXPECT_EQ(type, KALPAPI_TYPE_UINT32);
  EXPECT_EQ(KalpApiVarRead(&value, h, 4), KALPAPI_OK);
  EXPECT_EQ(value, 123456u);
  uint64_t wide = 0;
  EXPECT_EQ(KalpApiVarRead(&wide, h, 8), KALPAPI_E_INVALID_PARAMETER);  // more than the value
  EXPECT_EQ(KalpApiVarWrite(h, &wide, 8), KALPAPI_E_INVALID_PARAMETER);
  value = 99;
  EXPECT_EQ(KalpApiVarWrite(h, &value, 4), KALPAPI_OK);
  // The handle is the server's: another thread (its own connection) uses it too.
  std::thread([h] {
    uint32_t v = 0;
    EXPECT_EQ(KalpApiVarRead(&v, h, 4), KALPAPI_OK);
    EXPECT_EQ(v, 99u);
  }).join();
  uint32_t closed = h;
  EXPECT_EQ(KalpApiVarCloseHdl(&h), KALPAPI_OK);
  EXPECT_EQ(h, 0u);
  EXPECT_EQ(KalpApiVarRead(&value, closed, 4), KALPAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(KalpApiVarCloseHdl(&closed), KALPAPI_E_INVALID_PARAMETER);

  // Access not permitted, by a fault from the tree file and one set through kalpvar.
  EXPECT_EQ(readU32("APPL.P.Locked", value), KALPAPI_E_ACCESS_DENIED);
  auto r = kalpvar({"fault", "APPL.P.U8", "open", "0x81000504"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(KalpApiVarOpenHdlA("APPL.P.U8", &h), KALPAPI_E_ACCESS_DENIED);
  ASSERT_EQ(kalpvar({"fault", "APPL.P.U8", "open", "clear"}).exitCode, 0);
  ASSERT_EQ(KalpApiVarOpenHdlA("APPL.P.U8", &h), KALPAPI_OK);
  EXPECT_EQ(KalpApiVarCloseHdl(&h), KALPAPI_OK);

  // Walks: names, separators, validity word, end, empty.
  ASSERT_EQ(KalpApiVarOpenDir("APPL.P.Arr", &d), KALPAPI_OK);
  std::vector<std::string> names;
  while (KalpApiVarReadDir(&d, &entry) == KALPAPI_OK)
    names.push_back(std::string(entry->separator) + entry->memberName);
  EXPECT_EQ(names, (std::vector<std::string>{"[1]", "[2]", "[3]"}));
  EXPECT_EQ(KalpApiVarReadDir(&d, &entry), KALPAPI_E_NO_MORE_ENTRIES);
  EXPECT_EQ(KalpApiVarCloseDir(&d), KALPAPI_OK);
  EXPECT_EQ(d, 0u);
  char text[64];
  ASSERT_EQ(KalpApiVarTxtRead("APPL.P.Arr[2]", text, sizeof text), KALPAPI_OK);
  EXPECT_STREQ(text, "-2");
  ASSERT_EQ(KalpApiVarOpenDir("APPL.P.S", &d), KALPAPI_OK);
  ASSERT_EQ(KalpApiVarReadDir(&d, &entry), KALPAPI_OK);
  EXPECT_EQ(entry->valid, 1u);
  EXPECT_STREQ(entry->memberName, "ok");
  EXPECT_STREQ(entry->separator, ".");
  ASSERT_EQ(KalpApiVarReadDir(&d, &entry), KALPAPI_OK);
  EXPECT_EQ(entry->valid, 0u);
  EXPECT_STREQ(entry->memberName, "hidden");
  EXPECT_EQ(KalpApiVarReadDir(&d, &entry), KALPAPI_E_NO_MORE_ENTRIES);
  EXPECT_EQ(KalpApiVarCloseDir(&d), KALPAPI_OK);
  EXPECT_EQ(KalpApiVarReadDir(&d, &entry), KALPAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(KalpApiVarOpenDir("APPL.P.Empty", &d), KALPAPI_E_NO_MORE_ENTRIES);
  EXPECT_EQ(KalpApiVarOpenDir("APPL.P.U8", &d), KALPAPI_E_INVALID_PARAMETER);

  // Text and device state.
  EXPECT_EQ(KalpApiVarTxtWrite("APPL.P.U8", "256"), KALPAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(KalpApiVarTxtWrite("APPL.P.U8", "255"), KALPAPI_OK);
  EXPECT_EQ(KalpApiVarTxtRead("APPL.P.U8", text, sizeof text), KALPAPI_OK);
  EXPECT_STREQ(text, "255");
  EXPECT_EQ(KalpApiVarTxtRead("APPL.P.U8", text, 0), KALPAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(KalpApiDeviceGetStateA(&state, &word, 0, 0, 0, 0, 0, 0, 0, 0), KALPAPI_OK);
  EXPECT_EQ(state, 300u);
  EXPECT_EQ(word, 0u);
  EXPECT_EQ(KalpApiDeviceGetStateA(&state, &word, 0, 0, 0, 0, 0, 0, 0, 1), KALPAPI_E_INVALID_PARAMETER);
  EXPECT_EQ(server->stop(), 0);
}

TEST(KalpApiClient, StringsLongerThan256Bytes) {
  auto server = startServer();
  char buffer[256];
  std::memset(buffer, 0, sizeof buffer);
  ASSERT_EQ(readVariableByName("APPL.P.Name", buffer, sizeof buffer), KALPAPI_OK);
  EXPECT_EQ(std::string(buffer, sizeof buffer), kLongText.substr(0, 256));  // cut, no room for a NUL
  std::vector<char> big(1024);
  ASSERT_EQ(KalpApiVarTxtRead("APPL.P.Name", big.data(), 1024), KALPAPI_OK);
  EXPECT_EQ(std::string(big.data()), kLongText);
  ASSERT_EQ(KalpApiVarTxtRead("APPL.P.Name", big.data(), 10), KALPAPI_OK);
  EXPECT_EQ(std::string(big.data()), kLongText.substr(0, 9));

  const std::string longer(1000, 'w');
  uint32_t h = 0;
  ASSERT_EQ(KalpApiVarOpenHdlA("APPL.P.Name", &h), KALPAPI_OK);
  ASSERT_EQ(KalpApiVarWrite(h, longer.c_str(), static_cast<uint16_t>(longer.size() + 1)), KALPAPI_OK);
  KalpApiVarCloseHdl(&h);
  auto r = kalpvar({"get", "APPL.P.Name"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, longer + "\n");
}

TEST(KalpApiClient, ValuesAndDumpsOfMegabytesPassWhole) {
  const std::string big(3 << 20, 'b');
  auto server = startServer(R"({"variables": {"Big": {"type": "STRING", "value": ")" + big + R"("}}})");
  std::vector<char> buffer(4 << 20);
  ASSERT_EQ(KalpApiVarTxtRead("Big", buffer.data(), static_cast<uint32_t>(buffer.size())), KALPAPI_OK);
  EXPECT_EQ(std::strlen(buffer.data()), big.size());
  ASSERT_EQ(KalpApiVarTxtRead("Big", buffer.data(), 5), KALPAPI_OK);  // the server cuts it to fit
  EXPECT_STREQ(buffer.data(), "bbbb");
  auto dump = kalpvar({"dump"});
  EXPECT_EQ(dump.exitCode, 0) << dump.err;
  EXPECT_NE(dump.out.find(big), std::string::npos);
  auto get = kalpvar({"get", "Big"});
  EXPECT_EQ(get.exitCode, 0);
  EXPECT_EQ(get.out, big.substr(0, 1 << 20) + "\n");
}

TEST(KalpApiClient, ServerStoppedThenRestartedAndTheClientRecovers) {
  auto server = startServer();
  uint32_t value = 0, h = 0;
  ASSERT_EQ(readU32("APPL.P.U32", value), KALPAPI_OK);
  ASSERT_EQ(KalpApiVarOpenHdlA("APPL.P.U32", &h), KALPAPI_OK);
  ASSERT_EQ(server->stop(), 0);
  EXPECT_FALSE(kalptest::socketAccepts(socketPath()));

  EXPECT_EQ(readU32("APPL.P.U32", value), KALPAPI_E_NO_COMMUNICATION);  // this thread's old connection
  EXPECT_EQ(readU32("APPL.P.U32", value), KALPAPI_E_NO_COMMUNICATION);
  std::thread([] {  // a thread that never had a connection
    uint32_t v;
    EXPECT_EQ(readU32("APPL.P.U32", v), KALPAPI_E_NO_COMMUNICATION);
  })
      .join();
  char text[16];
  EXPECT_EQ(KalpApiVarTxtRead("APPL.P.U8", text, sizeof text), KALPAPI_E_NO_COMMUNICATION);
  auto r = kalpvar({"get", "APPL.P.U8"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("no communication with the variable server (0x81000003)"), std::string::npos) << r.err;

  server->start();
  EXPECT_EQ(readU32("APPL.P.U32", value), KALPAPI_OK);  // next call reconnects by itself
  EXPECT_EQ(value, 123456u);
  EXPECT_EQ(KalpApiVarRead(&value, h, 4), KALPAPI_E_INVALID_PARAMETER);  // handles end with the server
  // A connection kept across the restart is replaced within the call that finds it dead.
  server->stop();
  server->start();
  EXPECT_EQ(readU32("APPL.P.U32", value), KALPAPI_OK);
}

TEST(KalpApiClient, ManyThreadsReadAndWriteAtOnce) {
  auto server = startServer();
  constexpr int kThreads = 16, kRounds = 300;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      const std::string path = "APPL.T.V" + std::to_string(t);
      uint32_t h = 0;
      if (KalpApiVarOpenHdlA(path.c_str(), &h) != KALPAPI_OK) ++failures;
      for (int i = 0; i < kRounds; ++i) {
        uint32_t value = 0;
        if (readVariableByName(path, &value, 4) != KALPAPI_OK ||
            value != static_cast<uint32_t>(t * 1000 + (i ? i - 1 : 0)))
          ++failures;
        value = t * 1000 + i;
        if (KalpApiVarWrite(h, &value, 4) != KALPAPI_OK) ++failures;
      }
      KalpApiVarCloseHdl(&h);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(server->stop(), 0) << server->log();  // a clean end (also: no sanitizer report)
}

TEST(KalpApiServer, MalformedOrOversizedRequestClosesOnlyThatConnection) {
  auto server = startServer();
  auto rawConnection = [] {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socketPath().c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
  };
  const std::vector<std::string> bad = {
      std::string("\x01\x00\x00\x00\xee", 5),                  // unknown operation
      std::string("\x05\x00\x00\x00\x01\xff\xff\x00\x00", 9),  // open with a path longer than the frame
      std::string("\xff\xff\xff\x7f", 4),                      // frame of 2 GiB
  };
  for (const auto& request : bad) {
    int fd = rawConnection();
    ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    char c;
    EXPECT_EQ(::recv(fd, &c, 1, 0), 0) << "the server must close the connection";
    ::close(fd);
    uint32_t value = 0;
    EXPECT_EQ(readU32("APPL.P.U32", value), KALPAPI_OK);  // and keep serving
  }
  EXPECT_NE(server->log().find("malformed request"), std::string::npos);
}

namespace {
// Written by the client library's registration threads, read by the test.
std::mutex callbackMutex;  // guards reportDirectory and lockOperations
std::atomic<int> reportCalls{0};
std::string reportDirectory;
std::atomic<int32_t> reportResult{0};
int32_t testReportCallback(const char* directory) {
  {
    std::lock_guard<std::mutex> lock(callbackMutex);
    reportDirectory = directory;
  }
  ++reportCalls;
  std::ofstream(std::string(directory) + "/report.txt") << "called\n";
  return reportResult;
}
std::vector<int> lockOperations;
int32_t testLockCallback(int operation) {
  std::lock_guard<std::mutex> lock(callbackMutex);
  lockOperations.push_back(operation);
  return 0;
}
std::string lastReportDirectory() {
  std::lock_guard<std::mutex> lock(callbackMutex);
  return reportDirectory;
}
std::vector<int> lockCalls() {
  std::lock_guard<std::mutex> lock(callbackMutex);
  return lockOperations;
}
}  // namespace

TEST(KalpApiStatusReport, KalpvarReportCallsTheRegisteredCallbackAndPrintsItsStatus) {
  auto server = startServer();
  ASSERT_EQ(KalpApiStaRepAddComponentA("TESTCOMP", testReportCallback, 0), KALPAPI_OK);
  EXPECT_EQ(KalpApiStaRepAddComponentA("TESTCOMP", testReportCallback, 1), KALPAPI_E_INVALID_PARAMETER);
  kalptest::TempDir dir;
  auto r = kalpvar({"report", "TESTCOMP", dir.path()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "0x00000000\n");
  EXPECT_EQ(lastReportDirectory(), dir.path());
  EXPECT_EQ(kalptest::readWholeFile(dir.path() + "/report.txt"), "called\n");

  reportResult = static_cast<int32_t>(KALPAPI_STAREP_E_OPEN);
  r = kalpvar({"report", "TESTCOMP", dir.path()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "0x80000003\n");
  reportResult = 0;

  r = kalpvar({"report", "NOBODY", dir.path()});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("component 'NOBODY' is not registered"), std::string::npos) << r.err;

  // The registration survives a restart of the server: the library registers again.
  server->stop();
  server->start();
  int before = reportCalls;
  EXPECT_TRUE(eventually([&] { return kalpvar({"report", "TESTCOMP", dir.path()}).exitCode == 0; }));
  EXPECT_GT(reportCalls.load(), before);
  EXPECT_EQ(server->stop(), 0) << server->log();
}

TEST(KalpApiStatusReport, RegistrationMadeWhileTheServerIsDownTakesEffectWhenItComes) {
  EXPECT_FALSE(kalptest::socketAccepts(socketPath()));
  EXPECT_EQ(KalpApiStaRepAddComponentA("LATECOMP", testReportCallback, 0), KALPAPI_E_NO_COMMUNICATION);
  auto server = startServer();
  kalptest::TempDir dir;
  EXPECT_TRUE(eventually([&] { return kalpvar({"report", "LATECOMP", dir.path()}).exitCode == 0; }));
  EXPECT_EQ(lastReportDirectory(), dir.path());
}

TEST(KalpApiStatusReport, RegistrationRefusedForAHeldNameTakesEffectOnceTheNameIsFree) {
  auto server = startServer();
  // Another connection holds the name when the client registers.
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, socketPath().c_str());
  int squatter = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::connect(squatter, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string frame = std::string("\x09\0\0\0\x0c\x04\0\0\0", 9) + "HELD";
  ASSERT_EQ(::send(squatter, frame.data(), frame.size(), MSG_NOSIGNAL), static_cast<ssize_t>(frame.size()));
  char reply[8];
  ASSERT_EQ(::recv(squatter, reply, sizeof reply, MSG_WAITALL), 8);
  ASSERT_EQ(std::string(reply + 4, 4), std::string(4, '\0'));

  EXPECT_EQ(KalpApiStaRepAddComponentA("HELD", testReportCallback, 0), KALPAPI_E_ACCESS_DENIED);
  EXPECT_EQ(KalpApiStaRepAddComponentA("HELD", testReportCallback, 0), KALPAPI_E_ACCESS_DENIED)
      << "asking again tells the kept registration's state";
  ::close(squatter);
  EXPECT_TRUE(eventually([] {
    return KalpApiStaRepAddComponentA("HELD", testReportCallback, 0) == KALPAPI_OK;
  })) << server->log();
  kalptest::TempDir dir;
  auto r = kalpvar({"report", "HELD", dir.path()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(lastReportDirectory(), dir.path());
}

TEST(KalpApiStatusReport, ProviderLockCallbackIsCalledWithOneThenZero) {
  auto server = startServer();
  uint32_t handle = 0;
  ASSERT_EQ(KalpApiProviderCreateA(0, "TESTCOMP.clf", testLockCallback, &handle), KALPAPI_OK);
  EXPECT_NE(handle, 0u);
  auto r = kalpvar({"provider", "TESTCOMP.clf"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "lock 0\nunlock 0\n");
  EXPECT_EQ(lockCalls(), (std::vector<int>{1, 0}));
}

namespace {
// A lock like the service's state-report lock: 1 takes it (waiting a bounded time), any other
// value gives it back; the state report needs it free.
std::mutex reportLockMutex;  // guards reportLockHeld and reportLockCalls
std::condition_variable reportLockFree;
bool reportLockHeld = false;
std::vector<int> reportLockCalls;
int32_t serviceLikeLock(int operation) {
  std::unique_lock<std::mutex> lock(reportLockMutex);
  reportLockCalls.push_back(operation);
  if (operation != 1) {
    reportLockHeld = false;
    reportLockFree.notify_all();
    return 0;
  }
  if (!reportLockFree.wait_for(lock, std::chrono::seconds(3), [] { return !reportLockHeld; })) return -1;
  reportLockHeld = true;
  return 0;
}
int32_t reportUnderLock(const char*) {
  std::unique_lock<std::mutex> lock(reportLockMutex);
  bool free = reportLockFree.wait_for(lock, std::chrono::seconds(3), [] { return !reportLockHeld; });
  return free ? 0 : static_cast<int32_t>(KALPAPI_STAREP_E_WRITE);
}
}  // namespace

TEST(KalpApiStatusReport, ConcurrentProviderLocksEachGetTheirUnlockAndTheReportStillWorks) {
  auto server = startServer();
  uint32_t handle = 0;
  ASSERT_EQ(KalpApiProviderCreateA(0, "LOCKED.clf", serviceLikeLock, &handle), KALPAPI_OK);
  ASSERT_EQ(KalpApiStaRepAddComponentA("LOCKED", reportUnderLock, 0), KALPAPI_OK);
  kalptest::TempDir dir;
  std::vector<pid_t> requesters;
  for (int i = 0; i < 4; ++i) {
    requesters.push_back(kalptest::spawnProgram({KALPVAR_PATH, "provider", "LOCKED.clf"},
                                                dir.path() + "/out" + std::to_string(i), ""));
  }
  for (size_t i = 0; i < requesters.size(); ++i) {
    EXPECT_EQ(kalptest::waitProgram(requesters[i], std::chrono::seconds(60)), 0);
    EXPECT_EQ(kalptest::readWholeFile(dir.path() + "/out" + std::to_string(i)), "lock 0\nunlock 0\n");
  }
  {
    std::lock_guard<std::mutex> lock(reportLockMutex);
    EXPECT_EQ(reportLockCalls, (std::vector<int>{1, 0, 1, 0, 1, 0, 1, 0}));
  }
  auto r = kalpvar({"report", "LOCKED", dir.path()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "0x00000000\n");
}

TEST(KalpApiStatusReport, ARegisteredNameBelongsToItsConnectionUntilThatCloses) {
  auto server = startServer();
  auto registerRaw = [](uint8_t op, const std::string& name, int& fd) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socketPath().c_str());
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    std::string frame(4, '\0');
    frame += static_cast<char>(op);
    uint32_t n = static_cast<uint32_t>(name.size());
    frame.append(reinterpret_cast<const char*>(&n), 4).append(name);
    n = static_cast<uint32_t>(frame.size() - 4);
    std::memcpy(&frame[0], &n, 4);
    EXPECT_EQ(::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL), static_cast<ssize_t>(frame.size()));
    char reply[8];
    EXPECT_EQ(::recv(fd, reply, sizeof reply, MSG_WAITALL), 8);
    uint32_t status;
    std::memcpy(&status, reply + 4, 4);
    return status;
  };
  for (uint8_t op : {uint8_t{12}, uint8_t{13}}) {  // component, provider
    SCOPED_TRACE(static_cast<int>(op));
    int owner = -1, intruder = -1, later = -1;
    ASSERT_EQ(registerRaw(op, "ZAL_CLOUD_MQTT_OOP", owner), KALPAPI_OK);
    EXPECT_EQ(registerRaw(op, "ZAL_CLOUD_MQTT_OOP", intruder), KALPAPI_E_ACCESS_DENIED);
    ::close(intruder);
    ::close(owner);  // released with its owner's connection
    EXPECT_TRUE(eventually([&] {
      uint32_t status = registerRaw(op, "ZAL_CLOUD_MQTT_OOP", later);
      if (status != KALPAPI_OK) ::close(later);
      return status == KALPAPI_OK;
    }));
    ::close(later);
  }
  // Through the client library: the second process's registration is refused, the first
  // one's callback still answers the report.
  ASSERT_EQ(KalpApiStaRepAddComponentA("OWNED", testReportCallback, 0), KALPAPI_OK);
  int intruder = -1;
  EXPECT_EQ(registerRaw(12, "OWNED", intruder), KALPAPI_E_ACCESS_DENIED);
  ::close(intruder);
  kalptest::TempDir dir;
  auto r = kalpvar({"report", "OWNED", dir.path()});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(lastReportDirectory(), dir.path());
  EXPECT_NE(server->log().find("registration of component 'OWNED' refused"), std::string::npos)
      << server->log();
}

TEST(Kalpvar, DumpOfNonFiniteRealsLoadsBackBitForBit) {
  auto server = startServer(R"({"variables": {
    "R": {"type": "ARRAY", "elementType": "REAL", "values": [0, 0, 0, 0, 0, 0]},
    "L": {"type": "ARRAY", "elementType": "LREAL", "values": [0, 0, 0, 0, 0, 0]}}})");
  const uint32_t reals[] = {0x7fc00000, 0x7f800000, 0xff800000, 0xffc00000, 0x7fa00001, 0x3dcccccd};
  const uint64_t lreals[] = {0x7ff8000000000000, 0x7ff0000000000000, 0xfff0000000000000,
                             0x7ff4000000000001, 0x8000000000000000, 0x3fd5555555555555};
  auto writeRaw = [](const std::string& path, const void* bytes, uint16_t n) {
    uint32_t h = 0;
    ASSERT_EQ(KalpApiVarOpenHdlA(path.c_str(), &h), KALPAPI_OK);
    EXPECT_EQ(KalpApiVarWrite(h, bytes, n), KALPAPI_OK);
    KalpApiVarCloseHdl(&h);
  };
  for (int i = 0; i < 6; ++i) {
    writeRaw("R[" + std::to_string(i) + "]", &reals[i], 4);
    writeRaw("L[" + std::to_string(i) + "]", &lreals[i], 8);
  }
  auto dump = kalpvar({"dump"});
  ASSERT_EQ(dump.exitCode, 0) << dump.err;
  EXPECT_NE(dump.out.find("\"value\": \"-Infinity\""), std::string::npos) << dump.out;
  server->stop();
  auto again = startServer(dump.out);
  for (int i = 0; i < 6; ++i) {
    uint32_t real = 0;
    uint64_t lreal = 0;
    EXPECT_EQ(readVariableByName("R[" + std::to_string(i) + "]", &real, 4), KALPAPI_OK);
    EXPECT_EQ(readVariableByName("L[" + std::to_string(i) + "]", &lreal, 8), KALPAPI_OK);
    EXPECT_EQ(real, reals[i]) << i;
    EXPECT_EQ(lreal, lreals[i]) << i;
  }
}

TEST(Kalpvar, VerbsOutputsAndExitCodes) {
  auto server = startServer();
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string out;  // exact stdout ("*" for any)
    std::string err;  // part of stderr
  };
  // clang-format off
  const Case cases[] = {
    {{"get", "APPL.P.U8"},                         0, "7\n", ""},
    {{"set", "APPL.P.U8", "300"},                  1, "",    "'300' does not fit UINT8 (0x81000002)"},
    {{"get", "APPL.P.U8"},                         0, "7\n", ""},
    {{"set", "APPL.P.U8", "12"},                   0, "",    ""},
    {{"get", "APPL.P.U8"},                         0, "12\n", ""},
    {{"set", "APPL.P.S.ok", "FALSE"},              0, "",    ""},
    {{"get", "APPL.P.S.ok"},                       0, "FALSE\n", ""},
    {{"get", "APPL.P.Nope"},                       1, "",    "variable not found (0x81000501)"},
    {{"get", "APPL.P.Locked"},                     1, "",    "access not permitted (0x81000504)"},
    {{"ls", "APPL.P.Arr"},                         0, "APPL.P.Arr[1]\tSINT16\t-1\nAPPL.P.Arr[2]\tSINT16\t-2\nAPPL.P.Arr[3]\tSINT16\t-3\n", ""},
    {{"ls", "APPL.P.S"},                           0, "APPL.P.S.ok\tBOOL\tFALSE\nAPPL.P.S.hidden\tUINT8\t0\tinvalid\n", ""},
    {{"ls", "APPL.P.Empty"},                       0, "",    ""},
    {{"ls", "APPL.P.U8"},                          1, "",    "invalid parameter"},
    {{"dump", "APPL.P.Arr"},                       0, "*",   ""},
    {{"state"},                                    0, "300\n", ""},
    {{"state", "200"},                             0, "",    ""},
    {{"state"},                                    0, "200\n", ""},
    {{"state", "x"},                               2, "",    "N must be a 32-bit unsigned number"},
    {{"fault", "APPL.P.U8", "bogus", "1"},         1, "",    "unknown operation 'bogus'"},
    {{"fault", "APPL.P.U8", "read", "nope"},       2, "",    "STATUS must be a number"},
    {{"frobnicate"},                               2, "",    "unknown verb 'frobnicate'"},
    {{"get"},                                      2, "",    "wrong number of arguments for 'get'"},
    {{"--help"},                                   0, "*",   ""},
  };
  // clang-format on
  for (const auto& c : cases) {
    std::string command;
    for (const auto& a : c.args) command += a + " ";
    SCOPED_TRACE(command);
    auto r = kalpvar(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    if (c.out != "*") {
      EXPECT_EQ(r.out, c.out);
    }
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
  auto dump = kalpvar({"dump"});
  ASSERT_EQ(dump.exitCode, 0);
  // The dump is a tree file: a server started on it serves the same values.
  server->stop();
  auto again = startServer(dump.out);
  EXPECT_EQ(kalpvar({"get", "APPL.P.U8"}).out, "12\n");
  EXPECT_EQ(kalpvar({"state"}).out, "200\n");
  EXPECT_EQ(kalpvar({"get", "APPL.P.Name"}).out, kLongText + "\n");
}

TEST(KalpApiServerProcess, EndsCleanlyRefusesASecondServerAndReportsBadTrees) {
  auto server = startServer();
  kalptest::TempDir dir;
  std::ofstream(dir.path() + "/tree.json") << kTree;
  auto second =
      runProgram({KALPAPI_SERVER_PATH, "--tree", dir.path() + "/tree.json", "--socket", socketPath()});
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_NE(second.err.find("another server is already listening"), std::string::npos) << second.err;
  EXPECT_TRUE(kalptest::socketAccepts(socketPath()));  // the first one is untouched

  EXPECT_EQ(server->stop(), 0);  // SIGTERM: clean end, socket removed
  struct stat info;
  EXPECT_NE(::stat(socketPath().c_str(), &info), 0);
  EXPECT_NE(server->log().find("stopped"), std::string::npos);

  std::ofstream(dir.path() + "/bad.json") << R"({"variables": {"A": {"type": "UINT8", "value": 256}}})";
  auto bad = runProgram({KALPAPI_SERVER_PATH, "--tree", dir.path() + "/bad.json", "--socket", socketPath()});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.err.find(dir.path() + "/bad.json: variables.\"A\".value: value 256 does not fit UINT8"),
            std::string::npos)
      << bad.err;
  auto noTree = runProgram({KALPAPI_SERVER_PATH});
  EXPECT_EQ(noTree.exitCode, 2);
  EXPECT_NE(noTree.err.find("--tree FILE is required"), std::string::npos);
}

TEST(VariableServerHelpers, ReadVariableByNameThroughTheRealClient) {
  auto server = startServer();
  uint32_t value = 0;
  EXPECT_EQ(readU32("APPL.P.U32", value), KALPAPI_OK);
  EXPECT_EQ(value, 123456u);
  EXPECT_EQ(readU32("APPL.P.Nope", value), KALPAPI_E_NOT_FOUND);
  EXPECT_EQ(readU32("APPL.P.Locked", value), KALPAPI_E_ACCESS_DENIED);
}

TEST(VariableServerHelpers, WaitForVariableServerFollowsServerAndDeviceState) {
  // No server at first; it starts after the third pause, with the device stopped; the device
  // runs from the fifth pause on.
  std::unique_ptr<KalpServerProcess> server;
  int pauses = 0;
  setVariableServerPause([&] {
    ++pauses;
    if (pauses == 3) server = startServer(R"({"deviceState": 200, "variables": {}})");
    if (pauses == 5) kalpadmin::setDeviceState(300);
  });
  EXPECT_EQ(waitForVariableServer(), KALPAPI_OK);
  EXPECT_EQ(pauses, 5);  // 3 while unreachable, then polls after pauses 4 and 5
  server.reset();

  pauses = 0;  // never reachable: 10 attempts, 60 polls, "no communication"
  setVariableServerPause([&] { ++pauses; });
  EXPECT_EQ(waitForVariableServer(), KALPAPI_E_NO_COMMUNICATION);
  EXPECT_EQ(pauses, 70);
  setVariableServerPause(nullptr);
}

// The operator's live view: every scalar below the watched paths once, then a time-stamped line
// for each change, also across a restart of the server, until SIGTERM.
TEST(Kalpvar, WatchPrintsValuesThenEachChange) {
  auto server = startServer();
  kalptest::TempDir dir;
  const std::string out = dir.path() + "/out", err = dir.path() + "/err";
  const pid_t watch =
      kalptest::spawnProgram({KALPVAR_PATH, "watch", "APPL.P.S", "APPL.P.U8", "--interval", "50"}, out, err);
  auto lines = [&] {
    std::vector<std::string> result;
    std::istringstream text(kalptest::readWholeFile(out));
    for (std::string line; std::getline(text, line);) result.push_back(line);
    return result;
  };
  auto count = [&](const std::string& text) {
    size_t n = 0;
    for (const auto& line : lines()) n += line.find(text) != std::string::npos;
    return n;
  };
  ASSERT_TRUE(eventually([&] { return lines().size() >= 2; })) << kalptest::readWholeFile(err);
  // The struct's valid member (its invalid one is left out) and the scalar, in order.
  const auto initial = lines();
  ASSERT_EQ(initial.size(), 2u);
  EXPECT_NE(initial[0].find(" APPL.P.S.ok = TRUE"), std::string::npos) << initial[0];
  EXPECT_NE(initial[1].find(" APPL.P.U8 = 7"), std::string::npos) << initial[1];
  // "YYYY-MM-DD HH:MM:SS.mmm " in front.
  ASSERT_GE(initial[0].size(), 24u);
  for (size_t i : {4u, 7u}) EXPECT_EQ(initial[0][i], '-');
  for (size_t i : {13u, 16u}) EXPECT_EQ(initial[0][i], ':');
  EXPECT_EQ(initial[0][19], '.');
  EXPECT_EQ(initial[0][23], ' ');

  ASSERT_EQ(kalpvar({"set", "APPL.P.S.ok", "FALSE"}).exitCode, 0);
  ASSERT_TRUE(eventually([&] { return count("APPL.P.S.ok = FALSE") == 1; })) << kalptest::readWholeFile(out);
  ASSERT_EQ(kalpvar({"set", "APPL.P.U8", "9"}).exitCode, 0);
  ASSERT_TRUE(eventually([&] { return count("APPL.P.U8 = 9") == 1; })) << kalptest::readWholeFile(out);
  EXPECT_EQ(lines().size(), 4u) << kalptest::readWholeFile(out);

  // The server goes away and comes back with its tree file's values.
  server->stop();
  ASSERT_TRUE(eventually([&] {
    return count("APPL.P.U8 = ? no communication with the variable server") == 1;
  })) << kalptest::readWholeFile(out);
  server = startServer();
  ASSERT_TRUE(eventually([&] { return count("APPL.P.U8 = 7") == 2; })) << kalptest::readWholeFile(out);
  EXPECT_TRUE(eventually([&] { return count("APPL.P.S.ok = TRUE") == 2; })) << kalptest::readWholeFile(out);

  EXPECT_EQ(kalptest::stopProgram(watch), 0);
}

TEST(Kalpvar, WatchRefusesBadArguments) {
  auto server = startServer();
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string err;
  };
  const Case cases[] = {
      {{"watch"}, 2, "watch: no PATH given"},
      {{"watch", "APPL.P.U8", "--interval"}, 2, "--interval needs"},
      {{"watch", "APPL.P.U8", "--interval", "0"}, 2, "--interval MS must be"},
      {{"watch", "APPL.P.U8", "--interval", "5x"}, 2, "--interval MS must be"},
      {{"watch", "APPL.P.U8", "APPL.P.Nope"}, 1, "watch APPL.P.Nope: variable not found (0x81000501)"},
  };
  for (const auto& c : cases) {
    auto r = kalpvar(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.args.size() << " " << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}
