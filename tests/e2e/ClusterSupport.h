// A two-node clustered broker on loopback for the cluster tests: Debian's rabbitmq-server with
// its MQTT plugin, nodes a@localhost and b@localhost with their own ports, folders and a private
// epmd, clustered at test time; and HAProxy in TCP mode in front of them (a normal, b backup).
// Every process is started here and stopped here by PID (the Erlang VM of a node by the PID
// under its start script), also when a test fails.
#pragma once

#include <dirent.h>

#include <fstream>
#include <random>

#include "IntegrationHarness.h"

namespace zaltest {

// The PIDs of pid's descendants, children first found first (from /proc).
inline std::vector<pid_t> descendantsOf(pid_t pid) {
  std::map<pid_t, std::vector<pid_t>> children;
  if (DIR* proc = opendir("/proc")) {
    while (dirent* entry = readdir(proc)) {
      const pid_t child = static_cast<pid_t>(std::atoi(entry->d_name));
      if (child <= 0) continue;
      std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
      std::string line;
      if (!std::getline(stat, line)) continue;
      const size_t close = line.rfind(')');
      if (close == std::string::npos) continue;
      std::istringstream rest(line.substr(close + 2));
      char state = 0;
      pid_t parent = 0;
      rest >> state >> parent;
      children[parent].push_back(child);
    }
    closedir(proc);
  }
  std::vector<pid_t> out;
  std::vector<pid_t> todo{pid};
  while (!todo.empty()) {
    const pid_t next = todo.back();
    todo.pop_back();
    for (const pid_t c : children[next]) {
      out.push_back(c);
      todo.push_back(c);
    }
  }
  return out;
}

class RabbitCluster {
 public:
  struct Node {
    std::string name;
    int amqpPort = 0, distPort = 0, mqttPort = 0;
    std::unique_ptr<Process> process;  // the start script; the VM runs below it
  };

  // Starts epmd and both nodes, clusters b with a; throws with the logs when that does not
  // happen within startDeadline.
  explicit RabbitCluster(Clock::duration startDeadline = 180s) {
    std::mt19937_64 random{std::random_device{}()};
    std::ostringstream cookie;
    cookie << std::hex << random() << random();
    const std::string cookieFile = dir_.file(".erlang.cookie");
    writeFile(cookieFile, cookie.str());
    chmod(cookieFile.c_str(), 0400);
    epmdPort_ = freePort();
    env_ = {{"HOME", dir_.path()}, {"ERL_EPMD_PORT", std::to_string(epmdPort_)}};
    epmd_ = std::make_unique<Process>(
        std::vector<std::string>{EPMD_PATH, "-port", std::to_string(epmdPort_), "-address", "127.0.0.1"},
        env_);
    for (const char* name : {"a", "b"}) startNode(name);

    const auto deadline = Clock::now() + startDeadline;
    for (Node& node : nodes_)
      while (!portAccepts(node.mqttPort)) {
        if (!node.process->running() || Clock::now() >= deadline)
          throw std::runtime_error("node " + node.name + " did not start:\n" + node.process->log().dump());
        std::this_thread::sleep_for(200ms);
      }
    bootedAfter_ = Clock::now() - started_;
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"-n", "b@localhost", "stop_app"},
          std::vector<std::string>{"-n", "b@localhost", "join_cluster", "a@localhost"},
          std::vector<std::string>{"-n", "b@localhost", "start_app"}})
      ctl(command);
    while (!portAccepts(nodes_[1].mqttPort)) {
      if (Clock::now() >= deadline) throw std::runtime_error("node b did not come back after joining");
      std::this_thread::sleep_for(200ms);
    }
    clusteredAfter_ = Clock::now() - started_;
  }
  ~RabbitCluster() {
    for (size_t i = 0; i < nodes_.size(); ++i) kill(i);
    if (epmd_) epmd_->stop();
  }
  RabbitCluster(const RabbitCluster&) = delete;
  RabbitCluster& operator=(const RabbitCluster&) = delete;

  int mqttPort(size_t node) const { return nodes_.at(node).mqttPort; }
  Clock::duration bootedAfter() const { return bootedAfter_; }
  Clock::duration clusteredAfter() const { return clusteredAfter_; }
  const LineLog& log(size_t node) const { return nodes_.at(node).process->log(); }

  // The node's VM and everything below its start script, SIGKILL; then the script.
  void kill(size_t node) {
    Node& n = nodes_.at(node);
    if (!n.process) return;
    for (const pid_t pid : descendantsOf(n.process->pid())) ::kill(pid, SIGKILL);
    n.process->stop(5s);
  }

  // rabbitmqctl with the cluster's cookie and epmd; throws on failure.
  void ctl(std::vector<std::string> args) const {
    args.insert(args.begin(), RABBITMQCTL_PATH);
    std::string out;
    if (runCommand(args, &out, env_) != 0) throw std::runtime_error("rabbitmqctl failed: " + out);
  }

 private:
  void startNode(const std::string& name) {
    Node node;
    node.name = name;
    node.amqpPort = freePort();
    node.distPort = freePort();
    node.mqttPort = freePort();
    const std::string base = dir_.file(name);
    std::filesystem::create_directories(base);
    writeFile(base + "/rabbitmq.conf", "listeners.tcp.default = 127.0.0.1:" + std::to_string(node.amqpPort) +
                                           "\nmqtt.listeners.tcp.default = 127.0.0.1:" +
                                           std::to_string(node.mqttPort) + "\nmqtt.allow_anonymous = true\n");
    writeFile(base + "/enabled_plugins", "[rabbitmq_mqtt].\n");
    writeFile(base + "/rabbitmq-env.conf", "");
    std::map<std::string, std::string> env = env_;
    env.insert({{"RABBITMQ_NODENAME", name + "@localhost"},
                {"RABBITMQ_NODE_PORT", std::to_string(node.amqpPort)},
                {"RABBITMQ_DIST_PORT", std::to_string(node.distPort)},
                {"RABBITMQ_MNESIA_BASE", base + "/mnesia"},
                {"RABBITMQ_LOG_BASE", base + "/log"},
                {"RABBITMQ_LOGS", "-"},
                {"RABBITMQ_CONFIG_FILE", base + "/rabbitmq.conf"},
                {"RABBITMQ_PID_FILE", base + "/pid"},
                {"RABBITMQ_ENABLED_PLUGINS_FILE", base + "/enabled_plugins"},
                {"RABBITMQ_CONF_ENV_FILE", base + "/rabbitmq-env.conf"},
                {"RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS", "-kernel inet_dist_use_interface {127,0,0,1}"}});
    node.process = std::make_unique<Process>(std::vector<std::string>{RABBITMQ_SERVER_PATH}, env);
    nodes_.push_back(std::move(node));
  }

  TempDir dir_;
  int epmdPort_ = 0;
  std::map<std::string, std::string> env_;
  std::unique_ptr<Process> epmd_;
  std::vector<Node> nodes_;
  const Clock::time_point started_ = Clock::now();
  Clock::duration bootedAfter_{}, clusteredAfter_{};
};

// HAProxy in TCP mode on a free loopback port: the first backend normal, the second a backup,
// health checks every 500 ms; sessions to a server marked down are shut.
class LoadBalancer {
 public:
  LoadBalancer(int primaryPort, int backupPort) : port_(freePort()) {
    const std::string check = " check inter 500ms fall 2 rise 2 on-marked-down shutdown-sessions";
    writeFile(dir_.file("haproxy.cfg"),
              "global\n  maxconn 256\n"
              "defaults\n  mode tcp\n  timeout connect 2s\n  timeout client 120s\n  timeout server 120s\n"
              "frontend mqtt\n  bind 127.0.0.1:" +
                  std::to_string(port_) +
                  "\n  default_backend nodes\n"
                  "backend nodes\n  server a 127.0.0.1:" +
                  std::to_string(primaryPort) + check +
                  "\n  server b 127.0.0.1:" + std::to_string(backupPort) + check + " backup\n");
    process_ = startListening({HAPROXY_PATH, "-db", "-f", dir_.file("haproxy.cfg")}, {port_}, "haproxy");
  }
  int port() const { return port_; }

 private:
  TempDir dir_;
  int port_;
  std::unique_ptr<Process> process_;
};

}  // namespace zaltest
