// kalpapi-server --tree FILE [--socket PATH]: serves the variable tree of FILE on a unix socket
// (PATH, else $KALPAPI_SOCKET, else /tmp/kalpapi.sock) in the foreground until SIGINT or SIGTERM.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "KalpServer.h"
#include "KalpStore.h"
#include "KalpWire.h"

namespace {

void usage(FILE* out) {
  std::fprintf(out,
               "usage: kalpapi-server --tree FILE [--socket PATH]\n"
               "Serves the variable tree of FILE (tree-file JSON) to libKalpApi.so.2 clients and kalpvar.\n"
               "The socket is PATH, else $KALPAPI_SOCKET, else %s. Runs in the foreground, logs to\n"
               "stderr, ends cleanly on SIGINT or SIGTERM.\n",
               kalpwire::kDefaultSocket);
}

}  // namespace

int main(int argc, char** argv) {
  std::string tree, socketPath = kalpwire::socketPath();
  bool haveTree = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return 0;
    }
    if ((arg == "--tree" || arg == "--socket") && i + 1 < argc) {
      (arg == "--tree" ? tree : socketPath) = argv[++i];
      haveTree = haveTree || arg == "--tree";
      continue;
    }
    std::fprintf(stderr, "kalpapi-server: unexpected argument '%s'\n", arg.c_str());
    usage(stderr);
    return 2;
  }
  if (!haveTree) {
    std::fprintf(stderr, "kalpapi-server: --tree FILE is required\n");
    usage(stderr);
    return 2;
  }

  // SIGINT and SIGTERM are taken through a signalfd; every thread started later inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);

  kalpstore::Store store;
  try {
    store.loadFile(tree);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kalpapi-server: %s\n", e.what());
    return 1;
  }
  kalpserver::Server server(store);
  try {
    server.listen(socketPath);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kalpapi-server: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "kalpapi-server: serving '%s' on '%s'\n", tree.c_str(), socketPath.c_str());
  server.run(signalFd);
  std::fprintf(stderr, "kalpapi-server: stopped\n");
  return 0;
}
