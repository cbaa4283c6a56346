// Cost growth of the publish worker with the size of a payload: CPU time per published scalar
// for one set bound to a structure of 10, 1,000 and 100,000 scalars, over the in-process store
// (no transport to hide the worker's own cost), each next to the bare loop of PublishBenchBody.h
// (same reads, RapidJSON encoding and QoS 1 publish) in pairs of blocks of the same run. Printed
// per size: both costs and the pair ratio; last, the growth from the smallest to the largest
// set: worker CPU per scalar at 100,000 / at 10 (goal: no more than 1.2), with the bare loop's
// own growth beside it.
#include "KalpInproc.h"
#include "PublishBenchBody.h"

int main() {
  try {
    const int sizes[] = {10, 1000, 100000};
    double first = 0, last = 0, firstBare = 0, lastBare = 0;
    for (int scalars : sizes) {
      const int pairs = scalars >= 100000 ? 10 : publishbench::kPairs;
      const publishbench::Figures f = publishbench::measure(scalars, pairs, [](const std::string& tree) {
        kalpinproc::loadTree(tree);
        return 0;
      });
      const double worker = bench::median(f.workerNs), bare = bench::median(f.bareNs);
      std::printf(
          "publish_growth: %d scalars per payload: worker %.1f ns, bare %.1f ns CPU per published scalar; "
          "ratio "
          "worker/bare %s\n",
          scalars, worker, bare, bench::ratioSummary(f.ratios).c_str());
      if (first == 0) {
        first = worker;
        firstBare = bare;
      }
      last = worker;
      lastBare = bare;
    }
    std::printf(
        "publish_growth: growth of the worker's CPU per scalar from 10 to 100000 scalars: %.3f (bare %.3f)\n",
        last / first, lastBare / firstBare);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_publish_growth_inproc: %s\n", error.what());
    return 1;
  }
  return 0;
}
