// The change test with a deadband (rDeadband) against the exact change test, per scalar, over
// the in-process store (no socket to hide the test's own cost): two trees over the same 1,000
// REAL and LREAL members, one with a deadband, tested with hasChanged in alternating pairs of
// blocks. Each pair gives one ratio (deadband time per scalar / exact time per scalar); the goal
// is at most 1.2. The values jitter inside the band between blocks, so the deadband tree takes
// its compare-against-published path, and the exact tree sees a change at every test.
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "GVPvariable.h"
#include "KalpApi.h"
#include "KalpInproc.h"

namespace {

constexpr int kScalars = 1000;
constexpr int kPairs = 15;

std::string tree() {
  std::string json =
      R"({"deviceState": 300, "variables": {"APPL.Bench.data": {"type": "STRUCT", "members": {)";
  for (int i = 0; i < kScalars; ++i) {
    if (i > 0) json += ",";
    json += "\"m" + std::to_string(i) + "\": {\"type\": \"" + (i % 2 ? "LREAL" : "REAL") + "\", \"value\": 20}";
  }
  return json + "}}}}";
}

}  // namespace

int main() {
  const char* name = "deadband_inproc";
  try {
    kalpinproc::loadTree(tree());
    GVPvariable::setMemberPause(std::chrono::microseconds(0));
    auto exact = std::make_shared<GVPvariable>("APPL.Bench.", "data", false);
    auto banded = std::make_shared<GVPvariable>("APPL.Bench.", "data", false);
    if (exact->getChildren().size() != kScalars || banded->getChildren().size() != kScalars)
      throw std::runtime_error("tree has the wrong size");
    banded->setDeadband(0.5);
    banded->hasChanged();
    banded->markPublished();

    // A jitter inside the band, written between rounds (outside the timed part of neither: both
    // rounds write the same way, so it cancels in the ratio).
    std::vector<uint32_t> handles(kScalars);
    for (int i = 0; i < kScalars; ++i) {
      const std::string path = "APPL.Bench.data.m" + std::to_string(i);
      if (KalpApiVarOpenHdlA(path.c_str(), &handles[i]) != KALPAPI_OK) throw std::runtime_error("open " + path);
    }
    int flip = 0;
    auto jitter = [&] {
      flip ^= 1;
      const float real = flip ? 20.25f : 19.75f;
      const double lreal = flip ? 20.25 : 19.75;
      // Only every 16th member moves: the reads dominate as in a real plant.
      for (int i = 0; i < kScalars; i += 16) {
        if (i % 2)
          KalpApiVarWrite(handles[i], &lreal, sizeof lreal);
        else
          KalpApiVarWrite(handles[i], &real, sizeof real);
      }
    };
    auto exactRound = [&] {
      jitter();
      exact->hasChanged();
    };
    auto bandedRound = [&] {
      jitter();
      if (banded->hasChanged()) throw std::runtime_error("a jitter inside the band counted as a change");
    };

    exactRound();
    bandedRound();
    std::vector<double> exactRates, bandedRates, ratios;
    const auto block = std::chrono::milliseconds(200);
    for (int pair = 0; pair < kPairs; ++pair) {
      const auto [banded_, exact_] =
          bench::inTurn(pair, [&] { return bench::ratePerSecond(bandedRound, block, kScalars); },
                        [&] { return bench::ratePerSecond(exactRound, block, kScalars); });
      bandedRates.push_back(banded_);
      exactRates.push_back(exact_);
      ratios.push_back(exact_ / banded_);  // time per scalar: deadband / exact
    }
    for (uint32_t& handle : handles) KalpApiVarCloseHdl(&handle);

    std::printf("%s: exact change test over %d REAL/LREAL scalars: %.0f scalars/s (median of %d blocks)\n", name,
                kScalars, bench::median(exactRates), kPairs);
    std::printf("%s: change test with a deadband, same scalars: %.0f scalars/s (median of %d blocks)\n", name,
                bench::median(bandedRates), kPairs);
    std::printf("%s: ratio deadband/exact time per scalar (goal <= 1.2): %s\n", name,
                bench::ratioSummary(ratios).c_str());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_%s: %s\n", name, error.what());
    return 1;
  }
  return 0;
}
