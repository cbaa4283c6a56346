// Change test over a struct of 1,000 scalars through the socket client (its own kalpapi-server on
// a temporary socket), against bare client-library reads of the same scalars; the body is
// GvpChangedBenchBody.h. The benchmark runs on CPU 0, the server on CPU 1 (when the machine has
// two). bench_gvp_changed_inproc measures the same without the socket.
#include "GvpChangedBenchBody.h"

int main() {
  return gvpchangedbench::run("gvp_changed_socket", std::chrono::milliseconds(300), false,
                              [](const std::string& tree) {
                                bench::pin(0);
                                return bench::startServer(tree);
                              });
}
