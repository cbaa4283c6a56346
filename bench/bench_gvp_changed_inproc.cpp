// The change test's own cost per scalar, without a socket to hide it: the body of
// GvpChangedBenchBody.h over the in-process store, with a line for the extra nanoseconds per
// scalar the change test adds to a bare read.
#include "GvpChangedBenchBody.h"
#include "KalpInproc.h"

int main() {
  return gvpchangedbench::run("gvp_changed_inproc", std::chrono::milliseconds(200), true,
                              [](const std::string& tree) {
                                kalpinproc::loadTree(tree);
                                return 0;
                              });
}
