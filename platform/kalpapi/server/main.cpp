// kalpapi-server --tree FILE [--socket PATH] [limits]: serves the variable tree of FILE on a unix
// socket (PATH, else $KALPAPI_SOCKET, else the default of kalpwire::socketPath()) in the
// foreground until SIGINT or SIGTERM.
#include <malloc.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "KalpServer.h"
#include "KalpStore.h"
#include "KalpWire.h"

namespace {

void usage(FILE* out) {
  kalpserver::Options defaults;
  std::fprintf(out,
               "usage: kalpapi-server --tree FILE [--socket PATH] [OPTIONS]\n"
               "Serves the variable tree of FILE (tree-file JSON) to libKalpApi.so.2 clients and kalpvar.\n"
               "The socket is PATH, else $KALPAPI_SOCKET, else %s here\n"
               "(for root /run/kalpapi/kalpapi.sock, for others $XDG_RUNTIME_DIR/kalpapi.sock or\n"
               "/tmp/kalpapi-UID/kalpapi.sock; the default folder is made when missing). The socket\n"
               "has mode 0660. Runs in the foreground, logs to stderr, ends cleanly on SIGINT or SIGTERM.\n"
               "\n"
               "  --max-connections N     client connections open at once, registrations included;\n"
               "                          past it a new connection is refused (default %d)\n"
               "  --request-timeout MS    a request that has begun to arrive, or a reply being sent,\n"
               "                          may make no progress this long; then the connection is\n"
               "                          dropped (default %lld)\n"
               "  --callback-timeout MS   how long a registered client has to answer a state-report,\n"
               "                          lock or unlock call (default %lld)\n"
               "  --max-handles N         handles and directory walks one client process may hold\n"
               "                          at once; past it opening answers 0x81000507 (default %d)\n"
               "  --allow-shared-folder   serve even when other users can write the socket's folder\n"
               "                          (refused by default: they could put a server of their own\n"
               "                          in its place)\n",
               kalpwire::defaultSocketPath(::geteuid(), std::getenv("XDG_RUNTIME_DIR")).c_str(),
               defaults.maxConnections, static_cast<long long>(defaults.requestTimeout.count()),
               static_cast<long long>(defaults.callbackTimeout.count()), defaults.maxHandles);
}

// A whole decimal number from 1 to max.
bool parsePositive(const char* text, long long max, long long& value) {
  const char* end = text + std::strlen(text);
  auto result = std::from_chars(text, end, value);
  return result.ec == std::errc() && result.ptr == end && value >= 1 && value <= max;
}

}  // namespace

int main(int argc, char** argv) {
  std::string tree, socketPath;
  bool haveTree = false, haveSocket = false;
  kalpserver::Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return 0;
    }
    if (arg == "--allow-shared-folder") {
      options.allowSharedFolder = true;
      continue;
    }
    if ((arg == "--tree" || arg == "--socket") && i + 1 < argc) {
      (arg == "--tree" ? tree : socketPath) = argv[++i];
      (arg == "--tree" ? haveTree : haveSocket) = true;
      continue;
    }
    if ((arg == "--max-connections" || arg == "--request-timeout" || arg == "--callback-timeout" ||
         arg == "--max-handles") &&
        i + 1 < argc) {
      long long value = 0;
      const long long max = arg == "--max-connections" ? 100000
                            : arg == "--max-handles"   ? 100000000
                                                       : 24LL * 3600 * 1000;
      if (!parsePositive(argv[++i], max, value)) {
        std::fprintf(stderr, "kalpapi-server: %s needs a whole number from 1 to %lld, not '%s'\n",
                     arg.c_str(), max, argv[i]);
        return 2;
      }
      if (arg == "--max-connections")
        options.maxConnections = static_cast<int>(value);
      else if (arg == "--max-handles")
        options.maxHandles = static_cast<int>(value);
      else
        (arg == "--request-timeout" ? options.requestTimeout : options.callbackTimeout) =
            std::chrono::milliseconds(value);
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
  if (!haveSocket) {
    socketPath = kalpwire::socketPath();
    options.createFolder = !kalpwire::socketFromEnvironment();
  }

  // SIGINT and SIGTERM are taken through a signalfd; every thread started later inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);

  // Large blocks (long requests and replies) go back to the system when freed, instead of
  // raising the threshold and staying in the heap: a burst of long frames leaves nothing held.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  kalpstore::Store store;
  store.setHandleLimit(static_cast<size_t>(options.maxHandles));
  try {
    store.loadFile(tree);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kalpapi-server: %s\n", e.what());
    return 1;
  }
  kalpserver::Server server(store, options);
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
