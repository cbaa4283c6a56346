// libKalpApi.so.2: the KalpApi calls over the stand-in variable server's unix socket.
//
// Each calling thread has its own connection, opened on its first call and again after the
// server went away: a call that cannot reach the server answers 0x81000003, and the next call
// tries again, so a restarted server is picked up without help. A connection found dead on its
// first use after a pause (the server restarted in between) is reopened once within that call.
// Registrations (status reporting, provider) each get a connection and a thread of their own that
// answers the server's requests and registers again whenever the server comes back.
#include <KalpApi.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "KalpAdmin.h"
#include "KalpWire.h"

namespace {

// How long a call waits for the server's answer before it gives up (0x81000003).
constexpr int kReplyTimeoutSeconds = 30;

struct Connection {
  int fd = -1;
  kalpwire::Out out;
  std::string reply;
  void drop() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  ~Connection() { drop(); }
};

// This thread's connection.
thread_local Connection tls;
// Why the server refused this thread's last connection (empty when it did not).
thread_local std::string refusal;

// Whether a reply is the server's refusal of the connection; keeps its reason in refusal.
bool isRefusal(const std::string& reply) {
  kalpwire::In in(reply.data(), reply.size());
  uint32_t status;
  if (!in.u32(status) || status != kalpwire::kRefusedStatus) return false;
  if (!in.text(refusal)) refusal = "the server refused the connection";
  return true;
}

// Connects to the server. At the default socket (KALPAPI_SOCKET unset) only a server in a folder
// that no other user can write, and running as this user or root, is taken: anybody else's
// server there would feed the caller its own values. Refused with the reason in refusal.
int connectServer(int timeoutSeconds) {
  const bool byDefault = !kalpwire::socketFromEnvironment();
  std::string path = kalpwire::socketPath();
  if (byDefault) {
    std::string why = kalpwire::untrustedFolder(path, ::geteuid());
    if (!why.empty()) {
      refusal = "not using '" + path + "': " + why;
      return -1;
    }
  }
  sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  ucred peer{};
  socklen_t peerSize = sizeof peer;
  if (byDefault && (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0 ||
                    (peer.uid != ::geteuid() && peer.uid != 0))) {
    refusal = "not using '" + path + "': the server there runs as another user (uid " +
              std::to_string(peer.uid) + ")";
    ::close(fd);
    return -1;
  }
  timeval timeout{timeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  return fd;
}

kalpwire::Out& request(uint8_t op) {
  tls.out.reset();
  return tls.out.u8(op);
}

// The server frees a process's handles when the process's last connection goes. The threads of
// a process come and go (the one that opened a handle may end before another reads it), so the
// library keeps one idle connection of its own for the life of the process: handles then live
// until closed, until the process ends or until the server restarts. Opened after a thread's
// own connection was served, so that it never takes that connection's place under the
// server's connection limit; opened again after the server went away.
std::mutex& processConnectionMutex = *new std::mutex;
int processConnection = -1;  // guarded by processConnectionMutex

void keepProcessConnection() {
  std::lock_guard<std::mutex> lock(processConnectionMutex);
  if (processConnection >= 0) {
    pollfd p{processConnection, POLLRDHUP, 0};
    if (::poll(&p, 1, 0) == 0) return;  // open and idle: nothing arrives on it
    ::close(processConnection);
  }
  const std::string kept = refusal;  // a refusal of this connection is not the call's
  processConnection = connectServer(kReplyTimeoutSeconds);
  if (processConnection >= 0) {
    // Once answered, the server has taken the connection and counts it for the process, before
    // the calling thread's own connection can go.
    kalpwire::Out out;
    out.u8(kalpwire::kDeviceState);
    std::string reply;
    if (!kalpwire::sendAll(processConnection, out.finish()) ||
        !kalpwire::recvFrame(processConnection, reply) || isRefusal(reply)) {
      ::close(processConnection);
      processConnection = -1;
    }
  }
  refusal = kept;
}

// Sends the request built in tls.out and receives the answer into tls.reply. False when the
// server cannot be reached or refused the connection (the caller answers 0x81000003).
bool roundTrip() {
  const std::string& frame = tls.out.finish();
  for (int attempt = 0; attempt < 2; ++attempt) {
    const bool reused = tls.fd >= 0;
    if (!reused) {
      refusal.clear();
      tls.fd = connectServer(kReplyTimeoutSeconds);
      if (tls.fd < 0) return false;
    }
    bool sent = kalpwire::sendAll(tls.fd, frame);
    // A refusing server closes at once; its answer may be waiting even when the send failed.
    bool answered = (sent || !reused) && kalpwire::recvFrame(tls.fd, tls.reply, kalpwire::kMaxReply);
    if (answered && !isRefusal(tls.reply)) {
      if (!reused) keepProcessConnection();
      return true;
    }
    tls.drop();
    if (!reused || answered) return false;
  }
  return false;
}

// A reply that does not parse means client and server disagree: drop the connection.
uint32_t badReply() {
  tls.drop();
  return KALPAPI_E_UNKNOWN;
}

// Directory entries handed out by KalpApiVarReadDir: one per open walk, valid until the next
// ReadDir or CloseDir on that directory handle (from any thread). Guarded by entriesMutex; the
// objects are never destroyed so that threads still running at process exit stay safe.
std::mutex& entriesMutex = *new std::mutex;
auto& entries = *new std::unordered_map<uint32_t, std::unique_ptr<KalpApiDirEntry>>;

void copyText(char* destination, size_t capacity, const std::string& text) {
  size_t n = std::min(text.size(), capacity - 1);
  std::memcpy(destination, text.data(), n);
  destination[n] = '\0';
}

// One registration with the status reporting or the provider facility.
struct Registration {
  uint8_t op;  // kRegisterComponent or kRegisterProvider
  std::string name;
  // The last attempt's status: 0 while registered, 0x81000504 while another connection holds
  // the name, 0x81000003 while the server cannot be reached.
  std::atomic<uint32_t> status{KALPAPI_E_NO_COMMUNICATION};
  std::atomic<KalpApiStaRepCallback> report{nullptr};
  std::atomic<KalpApiProviderLockCallback> lock{nullptr};
};

// Registrations by operation and name, so that registering a name again replaces the callback
// instead of starting a second connection that would displace the first.
std::mutex& registrationsMutex = *new std::mutex;
auto& registrations = *new std::map<std::pair<uint8_t, std::string>, std::shared_ptr<Registration>>;

// Opens a connection and registers; the connection (>= 0) on success, else -1 with status set.
int registerOnce(const Registration& r, uint32_t& status) {
  int fd = connectServer(kReplyTimeoutSeconds);
  if (fd < 0) {
    status = KALPAPI_E_NO_COMMUNICATION;
    return -1;
  }
  kalpwire::Out out;
  out.u8(r.op).text(r.name);
  std::string answer;
  status = KALPAPI_E_NO_COMMUNICATION;
  bool sent = kalpwire::sendAll(fd, out.finish());
  if (kalpwire::recvFrame(fd, answer)) {
    kalpwire::In in(answer.data(), answer.size());
    if (isRefusal(answer))
      status = KALPAPI_E_NO_COMMUNICATION;  // kept: the registration thread tries again
    else if (!sent || !in.u32(status) || !in.done())
      status = KALPAPI_E_UNKNOWN;
  }
  if (status != KALPAPI_OK) {
    ::close(fd);
    return -1;
  }
  timeval none{0, 0};  // from now on the connection waits for the server's requests
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
  return fd;
}

// Answers the server's requests on a registration's connection, forever; registers again after
// the server went away, or while another connection holds the name, until it is free.
void serveRegistration(std::shared_ptr<Registration> r, int fd) {
  std::string request;
  for (;;) {
    if (fd < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      uint32_t status;
      fd = registerOnce(*r, status);
      // A status other than these (a malformed answer) counts as not reaching the server.
      r->status =
          status == KALPAPI_OK || status == KALPAPI_E_ACCESS_DENIED ? status : KALPAPI_E_NO_COMMUNICATION;
      continue;
    }
    if (!kalpwire::recvFrame(fd, request)) {
      ::close(fd);
      fd = -1;
      r->status = KALPAPI_E_NO_COMMUNICATION;
      continue;
    }
    kalpwire::In in(request.data(), request.size());
    uint8_t op = 0;
    int32_t result = static_cast<int32_t>(KALPAPI_E_INVALID_PARAMETER);
    bool ok = in.u8(op);
    if (ok && op == kalpwire::kDisplaced) {
      ::close(fd);
      return;  // a newer registration of this name (another process) took over
    }
    if (ok && op == kalpwire::kCallReport) {
      std::string directory;
      ok = in.text(directory) && in.done();
      KalpApiStaRepCallback callback = r->report.load();
      if (ok && callback) result = callback(directory.c_str());
    } else if (ok && op == kalpwire::kCallLock) {
      int32_t operation = 0;
      ok = in.i32(operation) && in.done();
      KalpApiProviderLockCallback callback = r->lock.load();
      if (ok && callback) result = callback(operation);
    } else {
      ok = false;
    }
    kalpwire::Out out;
    out.u32(ok ? KALPAPI_OK : KALPAPI_E_INVALID_PARAMETER).i32(result);
    if (!ok || !kalpwire::sendAll(fd, out.finish())) {
      ::close(fd);
      fd = -1;
    }
  }
}

uint32_t addRegistration(uint8_t op, const std::string& name, KalpApiStaRepCallback report,
                         KalpApiProviderLockCallback lock) {
  std::lock_guard<std::mutex> guard(registrationsMutex);
  auto& slot = registrations[{op, name}];
  if (slot) {  // already kept: its thread goes on serving (or trying), with the new callback
    slot->report = report;
    slot->lock = lock;
    return slot->status;
  }
  auto r = std::make_shared<Registration>();
  r->op = op;
  r->name = name;
  r->report = report;
  r->lock = lock;
  uint32_t status;
  int fd = registerOnce(*r, status);
  if (fd < 0 && status != KALPAPI_E_NO_COMMUNICATION && status != KALPAPI_E_ACCESS_DENIED) {
    registrations.erase({op, name});
    return status;
  }
  // Kept also while the server cannot be reached or another connection holds the name: the
  // thread registers once the server is there and the name is free.
  r->status = status;
  slot = r;
  std::thread(serveRegistration, r, fd).detach();
  return status;
}

}  // namespace

extern "C" {

uint32_t KalpApiVarOpenHdlA(const char* path, uint32_t* handle) {
  if (!path || !handle) return KALPAPI_E_INVALID_PARAMETER;
  request(kalpwire::kOpen).text(path);
  if (!roundTrip()) return KALPAPI_E_NO_COMMUNICATION;
  kalpwire::In in(tls.reply.data(), tls.reply.size());
  uint32_t status, h;
  if (!in.u32(status) || !in.u32(h) || !in.done()) return badReply();
  if (status == KALPAPI_OK) *handle = h;
  return status;
}

uint32_t KalpApiVarGetType(uint32_t handle, uint32_t* type) {
  if (!type) return KALPAPI_E_INVALID_PARAMETER;
  request(kalpwire::kGetType).u32(handle);
  if (!roundTrip()) return KALPAPI_E_NO_COMMUNICATION;
  kalpwire::In in(tls.reply.data(), tls.reply.size());
  uint32_t status, t;
  if (!in.u32(status) || !in.u32(t) || !in.done()) return badReply();
  if (status == KALPAPI_OK) *type = t;
  return status;
}

uint32_t KalpApiVarRead(void* destination, uint32_t handle, uint16_t byteCount) {
  if (!destination) return KALPAPI_E_INVALID_PARAMETER;
  request(kalpwire::kRead).u32(handle).u16(byteCount);
  if (!roundTrip()) return KALPAPI_E_NO_COMMUNICATION;
  kalpwire::In in(tls.reply.data(), tls.reply.size());
  uint32_t status;
  if (!in.u32(status)) return badReply();
  if (status != KALPAPI_OK) return in.done() ? status : badReply();
  std::string value;
  if (!in.text(value) || !in.done() || value.size() != byteCount) return badReply();
  std::memcpy(destination, value.data(), byteCount);
  return KALPAPI_OK;
}

uint32_t KalpApiVarWrite(uint32_t handle, const void* source, uint16_t byteCount) {
  if (!source && byteCount != 0) return KALPAPI_E_INVALID_PARAMETER;
  request(kalpwire::kWrite).u32(handle).bytes(source, byteCount);
  if (!roundTrip()) return KALPAPI_E_NO_COMMUNICATION;
  kalpwire::In in(tls.reply.data(), tls.reply.size());
  uint32_t status;
  if (!in.u32(status) || !in.done()) return badReply();
  return status;
}

uint32_t KalpApiVarCloseHdl(uint32_t* handle) {
  if (!handle) return KALPAPI_E_INVALID_PARAMETER;
  request(kalpwire::kClose).u32(*handle);
  if (!roundTrip()) return KALPAPI_E_NO_COMMUNICATION;
  kalpwire::In in(tls.reply.data(), tls.reply.size());
  uint32_t status;
  if (!in.u32(status) || !in.done()) return badReply();
  if (status == KALPAPI_OK) *handle = 0;
  return status;
}

uint32_t KalpApiVarTxtRead(const char* path, char* buffer, uint32_t capacity) {
  if (!path || !buffer || capacity == 0) return KALPAPI_E_INVALID_PARAMETER;
  request(kalpwire::kTxtRead).text(path).u32(capacity);
  if (!roundTrip()) return KALPAPI_E_NO_COMMUNICATION;
  kalpwire::In in(tls.reply.data(), tls.reply.size());
  uint32_t status;
  std::string text;
  if (!in.u32(status) || !in.text(text) || !in.done()) return badReply();
  if (status == KALPAPI_OK) copyText(buffer, capacity, text);
  return status;
}

uint32_t KalpApiVarTxtWrite(const char* path, const char* text) {
  if (!path || !text) return KALPAPI_E_INVALID_PARAMETER;
  std::string why;
  return kalpadmin::writeText(path, text, why);
}

uint32_t KalpApiVarOpenDir(const char* path, uint32_t* directoryHandle) {
  if (!path || !directoryHandle) return KALPAPI_E_INVALID_PARAMETER;
  request(kalpwire::kOpenDir).text(path);
  if (!roundTrip()) return KALPAPI_E_NO_COMMUNICATION;
  kalpwire::In in(tls.reply.data(), tls.reply.size());
  uint32_t status, h;
  if (!in.u32(status) || !in.u32(h) || !in.done()) return badReply();
  if (status == KALPAPI_OK) *directoryHandle = h;
  return status;
}

uint32_t KalpApiVarReadDir(uint32_t* directoryHandle, KalpApiDirEntry** entry) {
  if (!directoryHandle || !entry) return KALPAPI_E_INVALID_PARAMETER;
  request(kalpwire::kReadDir).u32(*directoryHandle);
  if (!roundTrip()) return KALPAPI_E_NO_COMMUNICATION;
  kalpwire::In in(tls.reply.data(), tls.reply.size());
  uint32_t status, valid;
  std::string name, separator;
  if (!in.u32(status) || !in.u32(valid) || !in.text(name) || !in.text(separator) || !in.done())
    return badReply();
  if (status != KALPAPI_OK) return status;
  std::lock_guard<std::mutex> lock(entriesMutex);
  auto& slot = entries[*directoryHandle];
  if (!slot) slot = std::make_unique<KalpApiDirEntry>();
  slot->valid = valid;
  copyText(slot->memberName, sizeof slot->memberName, name);
  copyText(slot->separator, sizeof slot->separator, separator);
  *entry = slot.get();
  return KALPAPI_OK;
}

uint32_t KalpApiVarCloseDir(uint32_t* directoryHandle) {
  if (!directoryHandle) return KALPAPI_E_INVALID_PARAMETER;
  request(kalpwire::kCloseDir).u32(*directoryHandle);
  if (!roundTrip()) return KALPAPI_E_NO_COMMUNICATION;
  kalpwire::In in(tls.reply.data(), tls.reply.size());
  uint32_t status;
  if (!in.u32(status) || !in.done()) return badReply();
  if (status == KALPAPI_OK) {
    std::lock_guard<std::mutex> lock(entriesMutex);
    entries.erase(*directoryHandle);
    *directoryHandle = 0;
  }
  return status;
}

uint32_t KalpApiDeviceGetStateA(uint32_t* state, uint32_t* word, uint32_t r1, uint32_t r2, uint32_t r3,
                                uint32_t r4, uint32_t r5, uint32_t r6, uint32_t r7, uint32_t r8) {
  if (!state || (r1 | r2 | r3 | r4 | r5 | r6 | r7 | r8) != 0) return KALPAPI_E_INVALID_PARAMETER;
  request(kalpwire::kDeviceState);
  if (!roundTrip()) return KALPAPI_E_NO_COMMUNICATION;
  kalpwire::In in(tls.reply.data(), tls.reply.size());
  uint32_t status, s;
  if (!in.u32(status) || !in.u32(s) || !in.done()) return badReply();
  if (status == KALPAPI_OK) {
    *state = s;
    if (word) *word = 0;
  }
  return status;
}

uint32_t KalpApiStaRepAddComponentA(const char* component, KalpApiStaRepCallback callback, uint32_t flags) {
  if (!component || !*component || !callback || flags != 0) return KALPAPI_E_INVALID_PARAMETER;
  return addRegistration(kalpwire::kRegisterComponent, component, callback, nullptr);
}

uint32_t KalpApiProviderCreateA(uint32_t flags, const char* name, KalpApiProviderLockCallback lockCallback,
                                uint32_t* handle) {
  if (flags != 0 || !name || !*name || !lockCallback || !handle) return KALPAPI_E_INVALID_PARAMETER;
  static std::atomic<uint32_t> nextHandle{1};
  uint32_t status = addRegistration(kalpwire::kRegisterProvider, name, nullptr, lockCallback);
  if (status == KALPAPI_OK || status == KALPAPI_E_NO_COMMUNICATION || status == KALPAPI_E_ACCESS_DENIED)
    *handle = nextHandle++;
  return status;
}

}  // extern "C"

namespace kalpadmin {

namespace {
// Status and a trailing reason text.
uint32_t statusWithReason(std::string& why) {
  kalpwire::In in(tls.reply.data(), tls.reply.size());
  uint32_t status;
  if (!in.u32(status) || !in.text(why) || !in.done()) return badReply();
  return status;
}
}  // namespace

uint32_t writeText(const std::string& path, const std::string& text, std::string& why) {
  request(kalpwire::kTxtWrite).text(path).text(text);
  if (!roundTrip()) return KALPAPI_E_NO_COMMUNICATION;
  return statusWithReason(why);
}

uint32_t setDeviceState(uint32_t state) {
  request(kalpwire::kSetDeviceState).u32(state);
  if (!roundTrip()) return KALPAPI_E_NO_COMMUNICATION;
  kalpwire::In in(tls.reply.data(), tls.reply.size());
  uint32_t status;
  if (!in.u32(status) || !in.done()) return badReply();
  return status;
}

uint32_t setFault(const std::string& path, const std::string& op, uint32_t status, std::string& why) {
  request(kalpwire::kSetFault).text(path).text(op).u32(status);
  if (!roundTrip()) return KALPAPI_E_NO_COMMUNICATION;
  return statusWithReason(why);
}

uint32_t dump(const std::string& path, std::string& json) {
  request(kalpwire::kDump).text(path);
  if (!roundTrip()) return KALPAPI_E_NO_COMMUNICATION;
  return statusWithReason(json);
}

uint32_t stateReport(const std::string& component, const std::string& directory, int32_t& result,
                     std::string& why) {
  request(kalpwire::kReport).text(component).text(directory);
  if (!roundTrip()) return KALPAPI_E_NO_COMMUNICATION;
  kalpwire::In in(tls.reply.data(), tls.reply.size());
  uint32_t status;
  if (!in.u32(status) || !in.i32(result) || !in.text(why) || !in.done()) return badReply();
  return status;
}

std::string lastRefusal() { return refusal; }

uint32_t providerLock(const std::string& name, int32_t& lockResult, int32_t& unlockResult, std::string& why) {
  request(kalpwire::kProviderLock).text(name);
  if (!roundTrip()) return KALPAPI_E_NO_COMMUNICATION;
  kalpwire::In in(tls.reply.data(), tls.reply.size());
  uint32_t status;
  if (!in.u32(status) || !in.i32(lockResult) || !in.i32(unlockResult) || !in.text(why) || !in.done())
    return badReply();
  return status;
}

}  // namespace kalpadmin
