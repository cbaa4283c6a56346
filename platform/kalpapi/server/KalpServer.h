// kalpapi-server: the variable store behind a unix socket.
#ifndef KALPSERVER_H
#define KALPSERVER_H

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KalpStore.h"

namespace kalpserver {

// Limits that keep the server up under clients that misbehave or take too much.
struct Options {
  // Client connections open at once, registrations included; past it a new connection is
  // answered with a refusal and closed.
  int maxConnections = 64;
  // How long a request that has begun to arrive, or a reply being sent, may make no progress
  // before the connection is dropped. A connection between requests may stay idle.
  std::chrono::milliseconds requestTimeout{5000};
  // How long a registered client has to answer one call (state report, lock, unlock).
  std::chrono::milliseconds callbackTimeout{10000};
  // Handles and directory walks one client process may hold at once.
  int maxHandles = 65536;
  // Serve also when other users can write the socket's folder.
  bool allowSharedFolder = false;
  // Create the socket's folder (one level, mode 0755) when it does not exist.
  bool createFolder = false;
};

// Log lines that can repeat (bad frames, refused registrations, handle limits): the first line of
// an episode is written whole, the ones that follow within it are counted, and the count is
// written when the episode ends (no line of that kind for a second) or every ten seconds while
// it lasts. Safe from any thread.
class EpisodeLog {
 public:
  using Clock = std::chrono::steady_clock;
  // Called when an episode begins, so that its count is written on time (set before use).
  void onEpisode(std::function<void()> wake) { wake_ = std::move(wake); }
  void line(const std::string& kind, const std::string& text, Clock::time_point now = Clock::now());
  // Writes the counts of the episodes that ended or are due; true while an episode is open.
  bool flush(Clock::time_point now = Clock::now());
  // The counts of every open episode (at the end of the server).
  void flushAll();

 private:
  struct Episode {
    Clock::time_point started, lastSeen;
    size_t suppressed = 0;
  };
  std::function<void()> wake_;
  std::mutex mutex_;
  std::map<std::string, Episode> episodes_;
};

class Server {
 public:
  explicit Server(kalpstore::Store& store, Options options = Options()) : store_(store), options_(options) {
    log_.onEpisode([this] { wake(); });
  }
  ~Server();
  // Binds and listens on path (socket mode 0660); throws std::runtime_error when the folder can
  // be written by other users (unless allowed), or another server is already listening there.
  void listen(const std::string& path);
  // Serves until stop() or one of the signals in stopSignalFd arrives (a signalfd, or -1).
  void run(int stopSignalFd);
  void stop();

 private:
  // A connection that registered a component or provider: the server sends it calls.
  struct EventConnection {
    int fd = -1;
    std::atomic<int>* openCount = nullptr;
    Server* server = nullptr;  // whose owner count the connection holds
    pid_t owner = 0;
    // One call at a time on fd (a provider's lock and unlock as one); the next caller waits a
    // bounded time for its turn.
    std::mutex turnMutex;  // guards busy
    std::condition_variable turnFree;
    bool busy = false;
    bool takeTurn(std::chrono::milliseconds wait);
    void endTurn();
    ~EventConnection();
  };
  // Holds the turn on an EventConnection until destroyed or ended.
  class Turn {
   public:
    Turn(EventConnection& event, std::chrono::milliseconds wait)
        : event_(event), held_(event.takeTurn(wait)) {}
    ~Turn() { end(); }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    bool held() const { return held_; }
    void end() {
      if (held_) event_.endTurn();
      held_ = false;
    }

   private:
    EventConnection& event_;
    bool held_;
  };
  using Registry = std::map<std::string, std::shared_ptr<EventConnection>>;
  struct Connection {
    Server* server = nullptr;
    int fd = -1;
    pid_t owner = 0;  // the client's process (peer credentials): its handles are its own
    pthread_t thread{};
    bool started = false;
    std::atomic<bool> done{false};
    std::atomic<bool> handedOver{false};  // fd now belongs to an EventConnection
  };

  static void* connectionThread(void* connection);
  void serve(Connection& connection);
  // Handles one request; false when the connection must end (protocol error or hand-over).
  bool handle(Connection& connection, const std::string& request, std::string& reply);
  bool registerName(Connection& connection, uint8_t op, const std::string& name, std::string& reply);
  // The live registration of name, or null; a registration whose client has gone is dropped.
  std::shared_ptr<EventConnection> registered(Registry& registry, const std::string& name);
  // Sends one call over a registered connection and waits (bounded) for its i32 answer.
  uint32_t callRegistered(Registry& registry, const std::string& name, uint8_t op,
                          const std::string& argument, int32_t& result);
  // Has a provider lock (1) and unlock (0) with no other call in between; an unlock follows
  // every lock that was sent.
  uint32_t lockProvider(const std::string& name, int32_t& locked, int32_t& unlocked, std::string& why);
  void dropRegistration(Registry& registry, const std::string& name,
                        const std::shared_ptr<EventConnection>& event, const std::string& why);
  void acceptOne(std::chrono::steady_clock::time_point& pausedUntil);
  void refuse(int fd, const std::string& reason);
  // Connections of a client process: its handles are freed when the last one goes.
  void addOwner(pid_t owner);
  void dropOwner(pid_t owner);
  // A reply sent within the request timeout as a whole (not per send); false when it was not.
  bool sendReply(int fd, const std::string& reply);
  void wake();          // makes run() look again (finished connections, registrations, stop)
  void reapFinished();  // connectionsMutex_ held
  void simulate();

  kalpstore::Store& store_;
  const Options options_;
  std::string path_;
  int listenFd_ = -1;
  int spareFd_ = -1;          // held back, so that a client can be told why when descriptors run out
  int wakeFd_[2] = {-1, -1};  // written by wake(), read by run()
  std::atomic<bool> stopping_{false};
  std::atomic<int> open_{0};  // client connections open, registrations included
  // Episodes logged once, at their start: out of descriptors, at the connection limit, out of
  // threads (run()'s thread only).
  bool outOfDescriptors_ = false;
  bool atLimit_ = false;
  bool outOfThreads_ = false;

  EpisodeLog log_;
  std::mutex ownersMutex_;       // guards owners_
  std::map<pid_t, int> owners_;  // open connections per client process, registrations included

  std::mutex connectionsMutex_;  // guards connections_
  std::vector<std::unique_ptr<Connection>> connections_;

  std::mutex registryMutex_;  // guards components_ and providers_ (not the connections in them)
  Registry components_;
  Registry providers_;

  std::thread simulator_;
  std::mutex simulatorMutex_;  // with simulatorWake_: lets stop() end the simulator at once
  std::condition_variable simulatorWake_;
};

}  // namespace kalpserver

#endif
