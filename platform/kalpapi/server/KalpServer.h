// kalpapi-server: the variable store behind a unix socket.
#ifndef KALPSERVER_H
#define KALPSERVER_H

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KalpStore.h"

namespace kalpserver {

class Server {
 public:
  explicit Server(kalpstore::Store& store) : store_(store) {}
  ~Server();
  // Binds and listens on path; throws std::runtime_error (for example when another server is
  // already listening there).
  void listen(const std::string& path);
  // Serves until stop() or one of the signals in stopSignalFd arrives (a signalfd, or -1).
  void run(int stopSignalFd);
  void stop();

 private:
  // A connection that registered a component or provider: the server sends it requests.
  struct EventConnection {
    int fd = -1;
    std::mutex mutex;  // one request at a time on fd
    ~EventConnection();
  };
  struct Connection {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
    std::atomic<bool> handedOver{false};  // fd now belongs to an EventConnection
  };

  void serve(Connection& connection);
  // Handles one request; false when the connection must end (protocol error or hand-over).
  bool handle(Connection& connection, const std::string& request, std::string& reply);
  // Sends one request over a registered connection and waits (bounded) for its i32 answer.
  uint32_t callRegistered(std::map<std::string, std::shared_ptr<EventConnection>>& registry,
                          const std::string& name, uint8_t op, const std::string& argument,
                          int32_t argumentNumber, int32_t& result);
  void reapFinished();  // connectionsMutex_ held
  void simulate();

  kalpstore::Store& store_;
  std::string path_;
  int listenFd_ = -1;
  int wakeFd_[2] = {-1, -1};  // stop() writes here to end run()
  std::atomic<bool> stopping_{false};

  std::mutex connectionsMutex_;  // guards connections_
  std::vector<std::unique_ptr<Connection>> connections_;

  std::mutex registryMutex_;  // guards components_ and providers_ (not the connections in them)
  std::map<std::string, std::shared_ptr<EventConnection>> components_;
  std::map<std::string, std::shared_ptr<EventConnection>> providers_;

  std::thread simulator_;
  std::mutex simulatorMutex_;  // with simulatorWake_: lets stop() end the simulator at once
  std::condition_variable simulatorWake_;
};

}  // namespace kalpserver

#endif
