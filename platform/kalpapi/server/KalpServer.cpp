#include "KalpServer.h"

#include <KalpApi.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "KalpWire.h"

namespace kalpserver {

namespace {

void logLine(const std::string& text) { std::fprintf(stderr, "kalpapi-server: %s\n", text.c_str()); }

bool makeAddress(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// How long the server waits for a registered client's callback to answer.
constexpr int kCallbackTimeoutSeconds = 10;

}  // namespace

Server::EventConnection::~EventConnection() {
  if (fd >= 0) ::close(fd);
}

Server::~Server() {
  stop();
  if (wakeFd_[0] >= 0) ::close(wakeFd_[0]);
  if (wakeFd_[1] >= 0) ::close(wakeFd_[1]);
  if (listenFd_ >= 0) ::close(listenFd_);
}

void Server::listen(const std::string& path) {
  sockaddr_un address;
  if (!makeAddress(path, address))
    throw std::runtime_error("socket path '" + path + "' is empty or longer than " +
                             std::to_string(sizeof address.sun_path - 1) + " bytes");
  struct stat info;
  if (::lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) throw std::runtime_error("'" + path + "' exists and is not a socket");
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool alive = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (probe >= 0) ::close(probe);
    if (alive) throw std::runtime_error("another server is already listening on '" + path + "'");
    ::unlink(path.c_str());  // a stale socket of an ended server
  }
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    throw std::runtime_error("cannot bind '" + path + "': " + std::strerror(errno));
  if (::listen(listenFd_, 128) != 0) throw std::runtime_error(std::string("listen: ") + std::strerror(errno));
  path_ = path;
  if (::pipe2(wakeFd_, O_CLOEXEC) != 0)
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
}

void Server::stop() {
  if (stopping_.exchange(true)) return;
  if (wakeFd_[1] >= 0) {
    char c = 1;
    ssize_t ignored = ::write(wakeFd_[1], &c, 1);
    (void)ignored;
  }
  std::lock_guard<std::mutex> lock(simulatorMutex_);
  simulatorWake_.notify_all();
}

void Server::run(int stopSignalFd) {
  if (store_.tick(std::chrono::steady_clock::now())) simulator_ = std::thread([this] { simulate(); });
  while (!stopping_) {
    pollfd fds[3] = {{listenFd_, POLLIN, 0}, {wakeFd_[0], POLLIN, 0}, {stopSignalFd, POLLIN, 0}};
    int n = ::poll(fds, stopSignalFd >= 0 ? 3 : 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      logLine(std::string("poll: ") + std::strerror(errno));
      break;
    }
    if (fds[1].revents || (stopSignalFd >= 0 && fds[2].revents)) break;
    if (fds[0].revents & POLLIN) {
      int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> lock(connectionsMutex_);
      reapFinished();
      auto connection = std::make_unique<Connection>();
      connection->fd = fd;
      Connection* raw = connection.get();
      connections_.push_back(std::move(connection));
      raw->thread = std::thread([this, raw] { serve(*raw); });
    }
  }
  // Orderly end: no new connections, wake every connection thread, wait for them.
  stop();
  ::close(listenFd_);
  listenFd_ = -1;
  ::unlink(path_.c_str());
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    for (auto& c : connections_) {
      if (!c->handedOver) ::shutdown(c->fd, SHUT_RDWR);
    }
  }
  {
    std::lock_guard<std::mutex> lock(registryMutex_);
    for (auto* registry : {&components_, &providers_}) {
      for (auto& entry : *registry) ::shutdown(entry.second->fd, SHUT_RDWR);
    }
  }
  std::vector<std::unique_ptr<Connection>> all;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    all.swap(connections_);
  }
  for (auto& c : all) {
    if (c->thread.joinable()) c->thread.join();
    if (!c->handedOver) ::close(c->fd);
  }
  {
    std::lock_guard<std::mutex> lock(registryMutex_);
    components_.clear();
    providers_.clear();
  }
  if (simulator_.joinable()) simulator_.join();
}

void Server::reapFinished() {
  for (auto it = connections_.begin(); it != connections_.end();) {
    Connection& c = **it;
    if (c.done) {
      c.thread.join();
      if (!c.handedOver) ::close(c.fd);
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void Server::simulate() {
  std::unique_lock<std::mutex> lock(simulatorMutex_);
  while (!stopping_) {
    simulatorWake_.wait_for(lock, std::chrono::milliseconds(10));
    store_.tick(std::chrono::steady_clock::now());
  }
}

void Server::serve(Connection& connection) {
  std::string request;
  std::string reply;
  while (!stopping_) {
    if (!kalpwire::recvFrame(connection.fd, request)) break;
    bool keep = handle(connection, request, reply);
    if (connection.handedOver) break;  // the answer is sent; the connection is a registration now
    if (reply.empty()) break;          // malformed request: close without an answer
    if (!kalpwire::sendAll(connection.fd, reply)) break;
    if (!keep) break;
  }
  if (!connection.handedOver) ::shutdown(connection.fd, SHUT_RDWR);
  connection.done = true;
}

bool Server::handle(Connection& connection, const std::string& request, std::string& reply) {
  kalpwire::In in(request.data(), request.size());
  kalpwire::Out out;
  reply.clear();
  uint8_t op = 0;
  if (!in.u8(op)) return false;
  auto malformed = [&]() {
    logLine("closing a connection after a malformed request (operation " + std::to_string(op) + ")");
    return false;
  };
  switch (op) {
    case kalpwire::kOpen: {
      std::string path;
      if (!in.text(path) || !in.done()) return malformed();
      uint32_t handle = 0;
      uint32_t status = store_.open(path, handle);
      out.u32(status).u32(handle);
      break;
    }
    case kalpwire::kGetType: {
      uint32_t handle, type = 0;
      if (!in.u32(handle) || !in.done()) return malformed();
      uint32_t status = store_.getType(handle, type);
      out.u32(status).u32(type);
      break;
    }
    case kalpwire::kRead: {
      uint32_t handle;
      uint16_t count;
      if (!in.u32(handle) || !in.u16(count) || !in.done()) return malformed();
      std::string value(count, '\0');
      uint32_t status = store_.read(handle, value.data(), count);
      out.u32(status);
      if (status == KALPAPI_OK) out.text(value);
      break;
    }
    case kalpwire::kWrite: {
      uint32_t handle;
      std::string value;
      if (!in.u32(handle) || !in.text(value) || !in.done() || value.size() > 0xffff) return malformed();
      out.u32(store_.write(handle, value.data(), static_cast<uint16_t>(value.size())));
      break;
    }
    case kalpwire::kClose: {
      uint32_t handle;
      if (!in.u32(handle) || !in.done()) return malformed();
      out.u32(store_.close(handle));
      break;
    }
    case kalpwire::kTxtRead: {
      std::string path, text;
      uint32_t capacity;
      if (!in.text(path) || !in.u32(capacity) || !in.done() || capacity == 0) return malformed();
      uint32_t status = store_.readText(path, text);
      if (text.size() > capacity - 1) text.resize(capacity - 1);
      out.u32(status).text(status == KALPAPI_OK ? text : std::string());
      break;
    }
    case kalpwire::kTxtWrite: {
      std::string path, text, why;
      if (!in.text(path) || !in.text(text) || !in.done()) return malformed();
      uint32_t status = store_.writeText(path, text, &why);
      out.u32(status).text(why);
      break;
    }
    case kalpwire::kOpenDir: {
      std::string path;
      if (!in.text(path) || !in.done()) return malformed();
      uint32_t handle = 0;
      uint32_t status = store_.openDir(path, handle);
      out.u32(status).u32(handle);
      break;
    }
    case kalpwire::kReadDir: {
      uint32_t handle;
      if (!in.u32(handle) || !in.done()) return malformed();
      kalpstore::DirEntryData entry;
      uint32_t status = store_.readDir(handle, entry);
      out.u32(status).u32(entry.valid).text(entry.memberName).text(entry.separator);
      break;
    }
    case kalpwire::kCloseDir: {
      uint32_t handle;
      if (!in.u32(handle) || !in.done()) return malformed();
      out.u32(store_.closeDir(handle));
      break;
    }
    case kalpwire::kDeviceState: {
      if (!in.done()) return malformed();
      out.u32(KALPAPI_OK).u32(store_.deviceState());
      break;
    }
    case kalpwire::kRegisterComponent:
    case kalpwire::kRegisterProvider: {
      std::string name;
      if (!in.text(name) || !in.done()) return malformed();
      if (name.empty()) {
        out.u32(KALPAPI_E_INVALID_PARAMETER);
        break;
      }
      // Answer first, then hand the connection over: the client's thread must see the answer
      // before any request the server sends it.
      out.u32(KALPAPI_OK);
      reply = out.finish();
      if (!kalpwire::sendAll(connection.fd, reply)) {
        reply.clear();
        return false;
      }
      timeval timeout{kCallbackTimeoutSeconds, 0};
      ::setsockopt(connection.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
      ::setsockopt(connection.fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
      auto event = std::make_shared<EventConnection>();
      event->fd = connection.fd;
      connection.handedOver = true;
      std::shared_ptr<EventConnection> older;
      {
        std::lock_guard<std::mutex> lock(registryMutex_);
        auto& registry = op == kalpwire::kRegisterComponent ? components_ : providers_;
        auto& slot = registry[name];
        older = slot;
        slot = event;
      }
      if (older) {  // an older registration of the same name ends; its client must not register again
        std::lock_guard<std::mutex> lock(older->mutex);
        kalpwire::Out notice;
        notice.u8(kalpwire::kDisplaced);
        kalpwire::sendAll(older->fd, notice.finish());
        ::shutdown(older->fd, SHUT_RDWR);
      }
      logLine(std::string(op == kalpwire::kRegisterComponent ? "component" : "provider") + " '" + name +
              "' registered");
      return false;
    }
    case kalpwire::kSetDeviceState: {
      uint32_t state;
      if (!in.u32(state) || !in.done()) return malformed();
      store_.setDeviceState(state);
      out.u32(KALPAPI_OK);
      break;
    }
    case kalpwire::kSetFault: {
      std::string path, faultOp, why;
      uint32_t status;
      if (!in.text(path) || !in.text(faultOp) || !in.u32(status) || !in.done()) return malformed();
      out.u32(store_.setFault(path, faultOp, status, &why)).text(why);
      break;
    }
    case kalpwire::kDump: {
      std::string path, json;
      if (!in.text(path) || !in.done()) return malformed();
      uint32_t status = store_.dump(path, json);
      out.u32(status).text(json);
      break;
    }
    case kalpwire::kReport: {
      std::string component, directory;
      if (!in.text(component) || !in.text(directory) || !in.done()) return malformed();
      int32_t result = 0;
      uint32_t status = callRegistered(components_, component, kalpwire::kCallReport, directory, 0, result);
      out.u32(status).i32(result).text(status == KALPAPI_E_NOT_FOUND
                                           ? "component '" + component + "' is not registered"
                                       : status != KALPAPI_OK ? "component '" + component + "' did not answer"
                                                              : std::string());
      break;
    }
    case kalpwire::kProviderLock: {
      std::string name;
      if (!in.text(name) || !in.done()) return malformed();
      int32_t locked = 0, unlocked = 0;
      uint32_t status = callRegistered(providers_, name, kalpwire::kCallLock, std::string(), 1, locked);
      if (status == KALPAPI_OK)
        status = callRegistered(providers_, name, kalpwire::kCallLock, std::string(), 0, unlocked);
      out.u32(status).i32(locked).i32(unlocked).text(
          status == KALPAPI_E_NOT_FOUND ? "provider '" + name + "' is not registered"
          : status != KALPAPI_OK        ? "provider '" + name + "' did not answer"
                                        : std::string());
      break;
    }
    default:
      return malformed();
  }
  reply = out.finish();
  return true;
}

uint32_t Server::callRegistered(std::map<std::string, std::shared_ptr<EventConnection>>& registry,
                                const std::string& name, uint8_t op, const std::string& argument,
                                int32_t argumentNumber, int32_t& result) {
  std::shared_ptr<EventConnection> event;
  {
    std::lock_guard<std::mutex> lock(registryMutex_);
    auto it = registry.find(name);
    if (it == registry.end()) return KALPAPI_E_NOT_FOUND;
    event = it->second;
  }
  bool ok = false;
  {
    std::lock_guard<std::mutex> lock(event->mutex);
    kalpwire::Out out;
    out.u8(op);
    if (op == kalpwire::kCallReport)
      out.text(argument);
    else
      out.i32(argumentNumber);
    std::string answer;
    if (kalpwire::sendAll(event->fd, out.finish()) && kalpwire::recvFrame(event->fd, answer)) {
      kalpwire::In in(answer.data(), answer.size());
      uint32_t status;
      ok = in.u32(status) && in.i32(result) && in.done();
    }
  }
  if (ok) return KALPAPI_OK;
  // The client is gone or broke the protocol: forget the registration.
  std::lock_guard<std::mutex> lock(registryMutex_);
  auto it = registry.find(name);
  if (it != registry.end() && it->second == event) {
    ::shutdown(event->fd, SHUT_RDWR);
    registry.erase(it);
    logLine("registration '" + name + "' dropped: its client does not answer");
  }
  return KALPAPI_E_NO_COMMUNICATION;
}

}  // namespace kalpserver
