// Runs a piece of code that must end in StateMachine::FaultHandler in a child process, and
// returns what the child wrote to standard output before it got stuck there. The child is
// killed once the three fault lines have arrived or the deadline has passed.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

inline const char* kFaultLines =
    "-------------------------\n"
    "! FaultHandler() called !\n"
    "-------------------------\n";

inline std::string runExpectingFault(const std::function<void()>& body,
                                     std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  std::fflush(stdout);
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    dup2(fds[1], STDOUT_FILENO);
    body();
    std::fputs("body returned\n", stdout);
    std::fflush(stdout);
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  auto end = std::chrono::steady_clock::now() + deadline;
  while (out.size() < std::string(kFaultLines).size()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[256];
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  // A faulted child never returns from the handler: it must still be alive here.
  bool stillRunning = waitpid(child, nullptr, WNOHANG) == 0;
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(fds[0]);
  if (!stillRunning) out += "[child ended]";
  return out;
}
