// The publish worker's own cost per published scalar over the in-process store (no transport),
// against a bare loop; the body is PublishBenchBody.h.
#include "KalpInproc.h"
#include "PublishBenchBody.h"

int main() {
  return publishbench::run("publish_inproc", [](const std::string& tree) {
    kalpinproc::loadTree(tree);
    return 0;
  });
}
