// The publish worker's cost per published scalar over the socket stand-in (kalpapi-server and
// the client library libKalpApi.so.2), against a bare loop; the body is PublishBenchBody.h.
// bench_publish_inproc measures the same without the transport.
#include "PublishBenchBody.h"

int main() {
  return publishbench::run("publish_socket",
                           [](const std::string& tree) { return bench::startServer(tree); });
}
