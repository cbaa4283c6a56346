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

// A client's name as log lines show it: cut, with its length, so that a name of 100,000
// characters does not make a line of that size.
std::string shortName(const std::string& name) {
  constexpr size_t kShown = 80;
  if (name.size() <= kShown) return name;
  return name.substr(0, kShown) + "...(" + std::to_string(name.size()) + " bytes)";
}

// An episode ends after this long without a line of its kind; while it lasts, its count is
// written this often.
constexpr auto kEpisodeQuiet = std::chrono::seconds(1);
constexpr auto kEpisodeReport = std::chrono::seconds(10);
// Episodes open at once, each with its own count; lines of further kinds share one count.
constexpr size_t kEpisodeKinds = 32;
const char* const kOtherKinds = "repeated lines of other kinds";

bool makeAddress(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

std::string folderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string octal(unsigned mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%04o", mode & 07777);
  return text;
}

// The socket's folder must be one that no other user can change: whoever can write it can put a
// server of their own in the socket's place before this one starts, and feed its clients.
void checkFolder(const std::string& path, const Options& options) {
  const std::string folder = folderOf(path);
  struct stat info;
  if (::stat(folder.c_str(), &info) != 0 && errno == ENOENT && options.createFolder) {
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
      throw std::runtime_error("cannot create the socket folder '" + folder + "': " + std::strerror(errno));
  }
  if (::stat(folder.c_str(), &info) != 0)
    throw std::runtime_error("socket folder '" + folder + "': " + std::strerror(errno));
  if (!S_ISDIR(info.st_mode)) throw std::runtime_error("socket folder '" + folder + "' is not a folder");
  if (options.allowSharedFolder) return;
  const std::string advice = "; use a folder that only you can write, or --allow-shared-folder";
  if (info.st_mode & (S_IWGRP | S_IWOTH))
    throw std::runtime_error("refusing to serve on '" + path + "': other users can write its folder '" +
                             folder + "' (mode " + octal(info.st_mode) + ")" + advice);
  if (info.st_uid != ::geteuid() && info.st_uid != 0)
    throw std::runtime_error("refusing to serve on '" + path + "': its folder '" + folder +
                             "' belongs to another user (uid " + std::to_string(info.st_uid) + ")" + advice);
}

void setTimeouts(int fd, std::chrono::milliseconds timeout) {
  timeval t{static_cast<time_t>(timeout.count() / 1000),
            static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
  if (t.tv_sec == 0 && t.tv_usec == 0) t.tv_usec = 1000;  // 0 would mean "wait for ever"
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
}

// Whether the peer of a connection that only answers the server's calls has closed it.
bool peerClosed(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL));
}

// Stack of a connection thread: ample for the deepest tree dump, and small enough that the
// connection limit costs little address space.
constexpr size_t kConnectionStack = 512u << 10;
// How long the server stops accepting after running out of file descriptors.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
// Buffers that grew past this for one long request are given back after it.
constexpr size_t kKeptBuffer = 64u << 10;

}  // namespace

void EpisodeLog::line(const std::string& kind, const std::string& text, Clock::time_point now) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto it = episodes_.find(kind);
  // Kinds may carry a client's name: past a few open episodes, the rest are counted together.
  if (it == episodes_.end() && episodes_.size() >= kEpisodeKinds) it = episodes_.find(kOtherKinds);
  if (it == episodes_.end() && episodes_.size() >= kEpisodeKinds) {
    episodes_[kOtherKinds] = Episode{now, now, 1};
    lock.unlock();
    if (wake_) wake_();
    return;
  }
  if (it != episodes_.end()) {
    ++it->second.suppressed;
    it->second.lastSeen = now;
    return;
  }
  episodes_[kind] = Episode{now, now, 0};
  logLine(text);
  lock.unlock();
  if (wake_) wake_();
}

bool EpisodeLog::flush(Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = episodes_.begin(); it != episodes_.end();) {
    Episode& e = it->second;
    const bool ended = now - e.lastSeen >= kEpisodeQuiet;
    if (e.suppressed > 0 && (ended || now - e.started >= kEpisodeReport)) {
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(e.lastSeen - e.started).count();
      logLine(it->first + ": " + std::to_string(e.suppressed) + " more in " + std::to_string(seconds + 1) +
              " s");
      e.suppressed = 0;
      e.started = now;
    }
    it = ended ? episodes_.erase(it) : std::next(it);
  }
  return !episodes_.empty();
}

void EpisodeLog::flushAll() { flush(Clock::now() + kEpisodeQuiet); }

Server::EventConnection::~EventConnection() {
  if (fd < 0) return;
  ::close(fd);
  if (openCount) --*openCount;
  if (server) server->dropOwner(owner);
}

bool Server::EventConnection::takeTurn(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(turnMutex);
  if (!turnFree.wait_for(lock, wait, [this] { return !busy; })) return false;
  busy = true;
  return true;
}

void Server::EventConnection::endTurn() {
  {
    std::lock_guard<std::mutex> lock(turnMutex);
    busy = false;
  }
  turnFree.notify_one();
}

Server::~Server() {
  stop();
  if (spareFd_ >= 0) ::close(spareFd_);
  if (wakeFd_[0] >= 0) ::close(wakeFd_[0]);
  if (wakeFd_[1] >= 0) ::close(wakeFd_[1]);
  if (listenFd_ >= 0) ::close(listenFd_);
}

void Server::listen(const std::string& path) {
  sockaddr_un address;
  if (!makeAddress(path, address))
    throw std::runtime_error("socket path '" + path + "' is empty or longer than " +
                             std::to_string(sizeof address.sun_path - 1) + " bytes");
  checkFolder(path, options_);
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
  // Owner and group may connect, nobody else; the socket never exists with a wider mode.
  mode_t oldMask = ::umask(0117);
  int bound = ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int bindError = errno;
  ::umask(oldMask);
  if (bound != 0) throw std::runtime_error("cannot bind '" + path + "': " + std::strerror(bindError));
  path_ = path;
  if (::chmod(path.c_str(), 0660) != 0)
    throw std::runtime_error("chmod '" + path + "': " + std::strerror(errno));
  if (::listen(listenFd_, 128) != 0) throw std::runtime_error(std::string("listen: ") + std::strerror(errno));
  if (::pipe2(wakeFd_, O_CLOEXEC | O_NONBLOCK) != 0)
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void Server::addOwner(pid_t owner) {
  std::lock_guard<std::mutex> lock(ownersMutex_);
  ++owners_[owner];
}

void Server::dropOwner(pid_t owner) {
  {
    std::lock_guard<std::mutex> lock(ownersMutex_);
    auto it = owners_.find(owner);
    if (it == owners_.end() || --it->second > 0) return;
    owners_.erase(it);
  }
  // The process's last connection is gone: nobody can use its handles any more. (A new
  // connection of the same process in between only finds its handles closed.)
  store_.release(static_cast<kalpstore::Store::Owner>(owner));
}

void Server::wake() {
  if (wakeFd_[1] < 0) return;
  char c = 1;
  ssize_t ignored = ::write(wakeFd_[1], &c, 1);  // a full pipe wakes run() just as well
  (void)ignored;
}

void Server::stop() {
  if (stopping_.exchange(true)) return;
  wake();
  std::lock_guard<std::mutex> lock(simulatorMutex_);
  simulatorWake_.notify_all();
}

void Server::run(int stopSignalFd) {
  if (store_.tick(std::chrono::steady_clock::now())) simulator_ = std::thread([this] { simulate(); });
  struct Watched {
    Registry* registry;
    std::string name;
    std::shared_ptr<EventConnection> event;
  };
  std::vector<pollfd> fds;
  std::vector<Watched> watched;
  auto pausedUntil = std::chrono::steady_clock::time_point::min();
  while (!stopping_) {
    const auto now = std::chrono::steady_clock::now();
    const bool listening = now >= pausedUntil;
    fds.assign({{wakeFd_[0], POLLIN, 0}, {stopSignalFd, POLLIN, 0}, {listening ? listenFd_ : -1, POLLIN, 0}});
    watched.clear();
    {
      // Registered connections are watched for their client closing them, which frees the name.
      std::lock_guard<std::mutex> lock(registryMutex_);
      for (Registry* registry : {&components_, &providers_}) {
        for (auto& entry : *registry) {
          watched.push_back({registry, entry.first, entry.second});
          fds.push_back({entry.second->fd, POLLRDHUP, 0});
        }
      }
    }
    int timeout = log_.flush(now) ? 250 : -1;  // counts of repeated lines are written on time
    if (!listening) {
      const int pause =
          static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(pausedUntil - now).count()) +
          1;
      timeout = timeout < 0 ? pause : std::min(timeout, pause);
    }
    int n = ::poll(fds.data(), fds.size(), timeout);
    if (n < 0) {
      if (errno == EINTR) continue;
      logLine(std::string("poll: ") + std::strerror(errno));
      break;
    }
    if (fds[1].revents) break;
    if (fds[0].revents) {
      char drain[64];
      while (::read(wakeFd_[0], drain, sizeof drain) > 0) {
      }
      std::lock_guard<std::mutex> lock(connectionsMutex_);
      reapFinished();
    }
    for (size_t i = 0; i < watched.size(); ++i) {
      if (fds[3 + i].revents)
        dropRegistration(*watched[i].registry, watched[i].name, watched[i].event,
                         "its client closed the connection");
    }
    if (fds[2].revents & POLLIN) acceptOne(pausedUntil);
  }
  // Orderly end: no new connections, wake every connection thread, wait for them.
  watched.clear();
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
    if (c->started) pthread_join(c->thread, nullptr);
    if (!c->handedOver) {
      ::close(c->fd);
      dropOwner(c->owner);
    }
  }
  {
    std::lock_guard<std::mutex> lock(registryMutex_);
    components_.clear();
    providers_.clear();
  }
  if (simulator_.joinable()) simulator_.join();
  log_.flushAll();
}

void Server::acceptOne(std::chrono::steady_clock::time_point& pausedUntil) {
  // The spare goes missing when a refusal pass below cannot open it again. Take it back
  // before accepting: a connection accepted first could hold the last free slot for its whole
  // life, and the clients that come after it would wait unanswered instead of being told why.
  if (spareFd_ < 0) spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      // The pending connection stays in the backlog: free what finished connections hold and
      // look again a little later, instead of finding the listener readable at once for ever.
      const int error = errno;
      if (!outOfDescriptors_)
        logLine(std::string("cannot accept a connection (") + std::strerror(error) +
                "): pausing new connections");
      outOfDescriptors_ = true;
      pausedUntil = std::chrono::steady_clock::now() + kAcceptPause;
      {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        reapFinished();
      }
      // The descriptor held back takes the waiting clients one at a time, to tell each why
      // instead of leaving it waiting for its timeout.
      for (int refused = 0; refused < 128 && spareFd_ >= 0; ++refused) {
        ::close(spareFd_);
        int waiting = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (waiting >= 0)
          refuse(waiting,
                 std::string("the server is out of file descriptors (") + std::strerror(error) + ")");
        spareFd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (waiting < 0) break;
      }
    }
    return;
  }
  if (outOfDescriptors_) logLine("accepting connections again");
  outOfDescriptors_ = false;
  if (open_ >= options_.maxConnections) {
    if (!atLimit_)
      logLine("connection limit of " + std::to_string(options_.maxConnections) +
              " reached: refusing new connections until some close");
    atLimit_ = true;
    refuse(fd, "the server has " + std::to_string(options_.maxConnections) +
                   " connections open, its limit (--max-connections)");
    return;
  }
  atLimit_ = false;
  std::lock_guard<std::mutex> lock(connectionsMutex_);
  reapFinished();
  std::unique_ptr<Connection> connection;
  try {
    connection = std::make_unique<Connection>();
    connections_.reserve(connections_.size() + 1);
  } catch (const std::bad_alloc&) {
    logLine("out of memory: refusing a new connection");
    refuse(fd, "the server is out of memory");
    return;
  }
  ucred peer{};
  socklen_t peerSize = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0) {
    refuse(fd, "the server cannot tell the client's process");
    return;
  }
  ++open_;
  connection->server = this;
  connection->fd = fd;
  connection->owner = peer.pid;
  addOwner(peer.pid);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, kConnectionStack);
  int error = pthread_create(&connection->thread, &attributes, &Server::connectionThread, connection.get());
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    --open_;
    dropOwner(peer.pid);
    if (!outOfThreads_)
      logLine(std::string("cannot start a thread for a new connection (") + std::strerror(error) +
              "): refusing new connections until one can start");
    outOfThreads_ = true;
    refuse(fd, std::string("the server cannot serve another connection now (") + std::strerror(error) + ")");
    return;
  }
  if (outOfThreads_) logLine("starting connection threads again");
  outOfThreads_ = false;
  connection->started = true;
  connections_.push_back(std::move(connection));
}

void Server::refuse(int fd, const std::string& reason) {
  kalpwire::Out out;
  out.u32(kalpwire::kRefusedStatus).text(reason);
  const std::string& frame = out.finish();
  ssize_t ignored =
      ::send(fd, frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL);  // fits an empty buffer
  (void)ignored;
  ::close(fd);
}

bool Server::sendReply(int fd, const std::string& reply) {
  const auto deadline = std::chrono::steady_clock::now() + options_.requestTimeout;
  size_t done = 0;
  while (done < reply.size()) {
    ssize_t n = ::send(fd, reply.data() + done, reply.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || stopping_) return false;
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count() + 1, 100)));
  }
  return true;
}

void* Server::connectionThread(void* connection) {
  auto* c = static_cast<Connection*>(connection);
  try {
    c->server->serve(*c);
  } catch (const std::exception& e) {  // out of memory, for one: that connection ends, not the server
    logLine(std::string("closing a connection: ") + e.what());
    if (!c->handedOver) ::shutdown(c->fd, SHUT_RDWR);
    c->done = true;
    c->server->wake();
  }
  return nullptr;
}

void Server::reapFinished() {
  for (auto it = connections_.begin(); it != connections_.end();) {
    Connection& c = **it;
    if (c.done) {
      pthread_join(c.thread, nullptr);
      if (!c.handedOver) {
        ::close(c.fd);
        --open_;
        dropOwner(c.owner);
      }
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
  setTimeouts(connection.fd, options_.requestTimeout);
  std::string request;
  std::string reply;
  while (!stopping_) {
    kalpwire::Received received = kalpwire::receiveFrame(connection.fd, request);
    if (received == kalpwire::Received::Idle) continue;  // between requests a client may wait
    if (received == kalpwire::Received::Stalled) {
      log_.line("dropped connections whose request made no progress",
                "dropping a connection: its request made no progress for " +
                    std::to_string(options_.requestTimeout.count()) + " ms");
      break;
    }
    if (received == kalpwire::Received::Broken) {
      log_.line("closed connections with overlong or overlapping frames",
                "closing a connection: it sent a frame longer than " + std::to_string(kalpwire::kMaxFrame) +
                    " bytes or more than one request at once");
      break;
    }
    if (received != kalpwire::Received::Frame) break;
    bool keep = handle(connection, request, reply);
    if (connection.handedOver) break;  // the answer is sent; the connection is a registration now
    if (reply.empty()) break;          // malformed request: close without an answer
    if (!sendReply(connection.fd, reply)) {
      log_.line("dropped connections that did not take their reply",
                "dropping a connection: it did not take its reply of " + std::to_string(reply.size()) +
                    " bytes within " + std::to_string(options_.requestTimeout.count()) + " ms");
      break;
    }
    if (!keep) break;
    if (request.capacity() > kKeptBuffer) std::string().swap(request);
    if (reply.capacity() > kKeptBuffer) std::string().swap(reply);
  }
  if (!connection.handedOver) ::shutdown(connection.fd, SHUT_RDWR);
  connection.done = true;
  wake();
}

bool Server::handle(Connection& connection, const std::string& request, std::string& reply) {
  kalpwire::In in(request.data(), request.size());
  kalpwire::Out out;
  reply.clear();
  uint8_t op = 0;
  if (!in.u8(op)) return false;
  auto malformed = [&]() {
    log_.line("closed connections after malformed requests",
              "closing a connection after a malformed request (operation " + std::to_string(op) + ")");
    return false;
  };
  const auto owner = static_cast<kalpstore::Store::Owner>(connection.owner);
  // Refusals of the handle limit, logged once per episode.
  auto counted = [&](uint32_t status) {
    if (status == KALPAPI_E_TOO_MANY_HANDLES)
      log_.line("refused handles past the limit",
                "process " + std::to_string(connection.owner) + " holds " +
                    std::to_string(options_.maxHandles) +
                    " handles and walks, its limit (--max-handles): refusing more");
    return status;
  };
  switch (op) {
    case kalpwire::kOpen: {
      std::string path;
      if (!in.text(path) || !in.done()) return malformed();
      uint32_t handle = 0;
      uint32_t status = counted(store_.open(path, handle, owner));
      out.u32(status).u32(handle);
      break;
    }
    case kalpwire::kGetType: {
      uint32_t handle, type = 0;
      if (!in.u32(handle) || !in.done()) return malformed();
      uint32_t status = store_.getType(handle, type, owner);
      out.u32(status).u32(type);
      break;
    }
    case kalpwire::kRead: {
      uint32_t handle;
      uint16_t count;
      if (!in.u32(handle) || !in.u16(count) || !in.done()) return malformed();
      std::string value(count, '\0');
      uint32_t status = store_.read(handle, value.data(), count, owner);
      out.u32(status);
      if (status == KALPAPI_OK) out.text(value);
      break;
    }
    case kalpwire::kWrite: {
      uint32_t handle;
      std::string value;
      if (!in.u32(handle) || !in.text(value) || !in.done() || value.size() > 0xffff) return malformed();
      out.u32(store_.write(handle, value.data(), static_cast<uint16_t>(value.size()), owner));
      break;
    }
    case kalpwire::kClose: {
      uint32_t handle;
      if (!in.u32(handle) || !in.done()) return malformed();
      out.u32(store_.close(handle, owner));
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
      uint32_t status = counted(store_.openDir(path, handle, owner));
      out.u32(status).u32(handle);
      break;
    }
    case kalpwire::kReadDir: {
      uint32_t handle;
      if (!in.u32(handle) || !in.done()) return malformed();
      kalpstore::DirEntryData entry;
      uint32_t status = store_.readDir(handle, entry, owner);
      out.u32(status).u32(entry.valid).text(entry.memberName).text(entry.separator);
      break;
    }
    case kalpwire::kCloseDir: {
      uint32_t handle;
      if (!in.u32(handle) || !in.done()) return malformed();
      out.u32(store_.closeDir(handle, owner));
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
      return registerName(connection, op, name, reply);
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
      uint32_t status = callRegistered(components_, component, kalpwire::kCallReport, directory, result);
      const std::string shown = shortName(component);
      out.u32(status).i32(result).text(
          status == KALPAPI_E_NOT_FOUND ? "component '" + shown + "' is not registered"
          : status == KALPAPI_E_UNKNOWN ? "component '" + shown + "' is busy with another call"
          : status != KALPAPI_OK        ? "component '" + shown + "' did not answer"
                                        : std::string());
      break;
    }
    case kalpwire::kProviderLock: {
      std::string name, why;
      if (!in.text(name) || !in.done()) return malformed();
      int32_t locked = 0, unlocked = 0;
      uint32_t status = lockProvider(name, locked, unlocked, why);
      out.u32(status).i32(locked).i32(unlocked).text(why);
      break;
    }
    default:
      return malformed();
  }
  reply = out.finish();
  return true;
}

bool Server::registerName(Connection& connection, uint8_t op, const std::string& name, std::string& reply) {
  const char* kind = op == kalpwire::kRegisterComponent ? "component" : "provider";
  Registry& registry = op == kalpwire::kRegisterComponent ? components_ : providers_;
  kalpwire::Out out;
  auto event = registered(registry, name);
  auto refused = [&]() {
    log_.line(std::string("refused registrations of ") + kind + " '" + shortName(name) + "'",
              std::string("registration of ") + kind + " '" + shortName(name) +
                  "' refused: another connection holds it");
  };
  if (event) {
    // The name belongs to the connection that registered it, for as long as that is open.
    refused();
    reply = out.u32(KALPAPI_E_ACCESS_DENIED).finish();
    return true;
  }
  event = std::make_shared<EventConnection>();
  // No call may reach the client before it has read the answer to its registration.
  Turn calls(*event, std::chrono::milliseconds(0));  // a new connection: free
  {
    std::lock_guard<std::mutex> lock(registryMutex_);
    auto& slot = registry[name];
    if (slot) {  // registered by another connection in the meantime
      refused();
      reply = out.u32(KALPAPI_E_ACCESS_DENIED).finish();
      return true;
    }
    event->fd = connection.fd;
    event->openCount = &open_;
    event->server = this;
    event->owner = connection.owner;
    connection.handedOver = true;  // the count of open connections goes with the descriptor
    slot = event;
  }
  setTimeouts(connection.fd, options_.callbackTimeout);
  reply.clear();
  if (!kalpwire::sendAll(connection.fd, out.u32(KALPAPI_OK).finish())) {
    calls.end();
    dropRegistration(registry, name, event, "its client went away while registering");
    return false;
  }
  calls.end();
  logLine(std::string(kind) + " '" + shortName(name) + "' registered");
  wake();  // run() watches the new registration for its client closing it
  return false;
}

std::shared_ptr<Server::EventConnection> Server::registered(Registry& registry, const std::string& name) {
  std::shared_ptr<EventConnection> event;
  {
    std::lock_guard<std::mutex> lock(registryMutex_);
    auto it = registry.find(name);
    if (it == registry.end()) return nullptr;
    event = it->second;
  }
  if (!peerClosed(event->fd)) return event;
  dropRegistration(registry, name, event, "its client closed the connection");
  return nullptr;
}

void Server::dropRegistration(Registry& registry, const std::string& name,
                              const std::shared_ptr<EventConnection>& event, const std::string& why) {
  {
    std::lock_guard<std::mutex> lock(registryMutex_);
    auto it = registry.find(name);
    if (it == registry.end() || it->second != event) return;
    ::shutdown(event->fd, SHUT_RDWR);
    registry.erase(it);
  }
  logLine("registration '" + shortName(name) + "' released: " + why);
  wake();
}

namespace {

// Sends one call; false when the client cannot take it.
bool sendCall(int fd, uint8_t op, const std::string& argument, int32_t number) {
  kalpwire::Out out;
  out.u8(op);
  if (op == kalpwire::kCallReport)
    out.text(argument);
  else
    out.i32(number);
  return kalpwire::sendAll(fd, out.finish());
}

// Receives the answer to one call (the connection's receive timeout bounds the wait).
kalpwire::Received receiveAnswer(int fd, int32_t& result) {
  std::string answer;
  kalpwire::Received received = kalpwire::receiveFrame(fd, answer, 64);
  if (received != kalpwire::Received::Frame) return received;
  kalpwire::In in(answer.data(), answer.size());
  uint32_t status;
  return in.u32(status) && in.i32(result) && in.done() ? received : kalpwire::Received::Broken;
}

}  // namespace

uint32_t Server::callRegistered(Registry& registry, const std::string& name, uint8_t op,
                                const std::string& argument, int32_t& result) {
  auto event = registered(registry, name);
  if (!event) return KALPAPI_E_NOT_FOUND;
  bool ok = false;
  {
    Turn turn(*event, 2 * options_.callbackTimeout + options_.requestTimeout);
    if (!turn.held()) return KALPAPI_E_UNKNOWN;
    ok =
        sendCall(event->fd, op, argument, 0) && receiveAnswer(event->fd, result) == kalpwire::Received::Frame;
  }
  if (ok) return KALPAPI_OK;
  // The client is gone or broke the protocol: forget the registration (its library registers
  // again on a new connection).
  dropRegistration(registry, name, event, "its client does not answer");
  return KALPAPI_E_NO_ANSWER;
}

uint32_t Server::lockProvider(const std::string& name, int32_t& locked, int32_t& unlocked, std::string& why) {
  auto event = registered(providers_, name);
  if (!event) {
    why = "provider '" + shortName(name) + "' is not registered";
    return KALPAPI_E_NOT_FOUND;
  }
  bool ok = false;
  {
    // Lock and unlock are one operation: a second requester waits for the first one's unlock.
    Turn turn(*event, 2 * options_.callbackTimeout + options_.requestTimeout);
    if (!turn.held()) {
      why = "provider '" + shortName(name) + "' is busy";
      return KALPAPI_E_UNKNOWN;
    }
    if (sendCall(event->fd, kalpwire::kCallLock, std::string(), 1)) {
      kalpwire::Received lockAnswer = receiveAnswer(event->fd, locked);
      // The unlock goes out even when the lock's answer is late: the client runs it as soon as
      // its lock callback returns, so the lock is released all the same.
      bool unlockSent = (lockAnswer == kalpwire::Received::Frame || lockAnswer == kalpwire::Received::Idle) &&
                        sendCall(event->fd, kalpwire::kCallLock, std::string(), 0);
      if (unlockSent && lockAnswer == kalpwire::Received::Idle) lockAnswer = receiveAnswer(event->fd, locked);
      ok = unlockSent && lockAnswer == kalpwire::Received::Frame &&
           receiveAnswer(event->fd, unlocked) == kalpwire::Received::Frame;
    }
  }
  if (ok) return KALPAPI_OK;
  dropRegistration(providers_, name, event, "its client does not answer");
  why = "provider '" + shortName(name) + "' did not answer";
  return KALPAPI_E_NO_ANSWER;
}

}  // namespace kalpserver
