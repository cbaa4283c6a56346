// Test helper: runs a real kalpapi-server on a temporary tree file and socket, and runs other
// programs (kalpvar, the service) with their output captured. Header-only; POSIX.
//
//   KalpServerProcess server(KALPAPI_SERVER_PATH, treeJson);   // started and accepting
//   server.exportSocket();             // KALPAPI_SOCKET for this process and its children
//   auto r = runProgram({KALPVAR_PATH, "get", "APPL.X"});       // r.exitCode, r.out, r.err
//   server.stop();  server.start();    // a restart on the same tree file and socket
//
// Every process is stopped by its PID (SIGTERM, then SIGKILL after a deadline); the temporary
// directory is removed by the destructor.
#ifndef KALPSERVERPROCESS_H
#define KALPSERVERPROCESS_H

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kalptest {

inline std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A fresh directory under $TMPDIR (or /tmp), removed by the destructor.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kalptest.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buffer.data();
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Starts argv[0] with stdout and stderr sent to the given files ("" keeps the parent's).
inline pid_t spawnProgram(const std::vector<std::string>& argv, const std::string& outFile,
                          const std::string& errFile) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (!outFile.empty()) {
      int fd = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) ::dup2(fd, 1);
    }
    if (!errFile.empty()) {
      int fd = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) ::dup2(fd, 2);
    }
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  return pid;
}

// Waits for pid until deadline; its exit status (128 + signal when killed), or -1 if still running.
inline int waitProgram(pid_t pid, std::chrono::milliseconds deadline) {
  auto until = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (r < 0) return -2;
    if (std::chrono::steady_clock::now() >= until) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Ends pid: SIGTERM, and SIGKILL if it has not ended after the deadline. Its exit status.
inline int stopProgram(pid_t pid, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
  ::kill(pid, SIGTERM);
  int status = waitProgram(pid, deadline);
  if (status == -1) {
    ::kill(pid, SIGKILL);
    status = waitProgram(pid, std::chrono::seconds(10));
  }
  return status;
}

struct ProgramResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs a program to its end (killed after the deadline) and returns its exit code and output.
inline ProgramResult runProgram(const std::vector<std::string>& argv,
                                std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
  TempDir dir;
  std::string outFile = dir.path() + "/out", errFile = dir.path() + "/err";
  pid_t pid = spawnProgram(argv, outFile, errFile);
  ProgramResult result;
  result.exitCode = waitProgram(pid, deadline);
  if (result.exitCode == -1) result.exitCode = stopProgram(pid);
  result.out = readWholeFile(outFile);
  result.err = readWholeFile(errFile);
  return result;
}

// Whether something accepts connections on the unix socket path.
inline bool socketAccepts(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) ::close(fd);
  return ok;
}

class KalpServerProcess {
 public:
  // Writes treeJson to DIR/tree.json and starts serverPath on DIR/kalpapi.sock (or socketPath),
  // with extraArguments (server options) after its tree and socket.
  KalpServerProcess(std::string serverPath, const std::string& treeJson,
                    std::string socketPath = std::string(), std::vector<std::string> extraArguments = {})
      : serverPath_(std::move(serverPath)), extraArguments_(std::move(extraArguments)) {
    treeFile_ = dir_.path() + "/tree.json";
    socket_ = socketPath.empty() ? dir_.path() + "/kalpapi.sock" : socketPath;
    std::ofstream(treeFile_) << treeJson;
    start();
  }
  ~KalpServerProcess() {
    if (pid_ > 0) stop();
  }
  KalpServerProcess(const KalpServerProcess&) = delete;
  KalpServerProcess& operator=(const KalpServerProcess&) = delete;

  // Starts the server (again) and waits until it accepts connections; throws if it does not.
  void start() {
    if (pid_ > 0) throw std::logic_error("kalpapi-server is already running");
    std::vector<std::string> argv = {serverPath_, "--tree", treeFile_, "--socket", socket_};
    argv.insert(argv.end(), extraArguments_.begin(), extraArguments_.end());
    pid_ = spawnProgram(argv, "", logFile());
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!socketAccepts(socket_)) {
      int status = waitProgram(pid_, std::chrono::milliseconds(0));
      if (status != -1) {
        pid_ = -1;
        throw std::runtime_error("kalpapi-server ended with " + std::to_string(status) + ": " + log());
      }
      if (std::chrono::steady_clock::now() > until) {
        stop();
        throw std::runtime_error("kalpapi-server did not start listening: " + log());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  // SIGTERM by PID; the server's exit status (0 for a clean end).
  int stop() {
    if (pid_ <= 0) return -1;
    int status = stopProgram(pid_);
    pid_ = -1;
    return status;
  }
  // Rewrites the tree file; takes effect at the next start().
  void setTree(const std::string& treeJson) { std::ofstream(treeFile_) << treeJson; }
  // Sets KALPAPI_SOCKET in this process (inherited by programs it starts).
  void exportSocket() const { ::setenv("KALPAPI_SOCKET", socket_.c_str(), 1); }

  pid_t pid() const { return pid_; }
  const std::string& socketPath() const { return socket_; }
  const std::string& directory() const { return dir_.path(); }
  const std::string& treeFile() const { return treeFile_; }
  std::string logFile() const { return dir_.path() + "/server.log"; }
  std::string log() const { return readWholeFile(logFile()); }

 private:
  TempDir dir_;
  std::string serverPath_;
  std::vector<std::string> extraArguments_;
  std::string treeFile_;
  std::string socket_;
  pid_t pid_ = -1;
};

}  // namespace kalptest

#endif
