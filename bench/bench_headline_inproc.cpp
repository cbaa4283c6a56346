// Headline throughput over the in-process store (a controller's transport is shared memory, not
// the stand-in's socket): the service's process entry, run in a child process of this one that
// first loads the store with the 100,000 scalars. The body is HeadlineBenchBody.h.
#include <fcntl.h>
#include <sys/wait.h>

#include <ctime>
#include <thread>

#include "HeadlineBenchBody.h"
#include "KalpApi.h"
#include "KalpInproc.h"
#include "MainThreadPost.h"
#include "ServiceShell.h"
#include "Trace.h"
#include "ZAL_MQTT_stateMachine.h"

namespace {

// The child: loads the store, reports its RSS through the pipe, then runs as the service's
// process entry does, on CPU 0. Never returns.
[[noreturn]] void serviceChild(const std::string& tree, int report) {
  const int null = open("/dev/null", O_WRONLY);
  if (null >= 0) {
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
  }
  bench::pin(0);
  kalpinproc::loadTree(tree);
  const double rss = headline::residentBytes(getpid());
  if (write(report, &rss, sizeof rss) != static_cast<ssize_t>(sizeof rss)) _exit(1);
  close(report);

  serviceStartTime = std::time(nullptr);
  KalpApiStaRepAddComponentA(kServiceName, stateReportCallback, 0);
  uint32_t providerHandle = 0;
  KalpApiProviderCreateA(0, "ZAL_CLOUD_MQTT_OOP.clf", providerLockCallback, &providerHandle);
  setTraceLevel(0);
  static ZAL_MQTT_stateMachine machine;
  std::thread startThread([] { machine.StartStateMachine(); });
  startThread.detach();
  mainThreadJobs.runForever(machine);
  _exit(0);
}

// Stops the child by its PID.
struct Child {
  pid_t pid = 0;
  ~Child() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
};

}  // namespace

int main() {
  return headline::run("headline_inproc", "in-process", [](const std::string& tree) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) throw std::runtime_error("pipe failed");
    // This process has threads by now (the subscriber's, the harness's readers): the child
    // only runs code that is safe after fork until it has loaded the store and starts anew.
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
      close(pipeEnds[0]);
      serviceChild(tree, pipeEnds[1]);
    }
    close(pipeEnds[1]);
    auto child = std::make_shared<Child>();
    child->pid = pid;
    headline::Started started;
    started.pid = pid;
    if (read(pipeEnds[0], &started.baselineRss, sizeof started.baselineRss) !=
        static_cast<ssize_t>(sizeof started.baselineRss))
      throw std::runtime_error("the service child did not load the store");
    close(pipeEnds[0]);
    started.keep = child;
    return started;
  });
}
