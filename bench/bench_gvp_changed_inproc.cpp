// The change test's own cost per scalar, without a socket to hide it: GVPvariable::hasChanged
// over a struct of 1,000 scalars in the in-process store, against bare KalpApiVarRead calls on
// the same scalars, in alternating pairs of blocks. Prints both rates, the median pair ratio
// with its middle half, and the extra nanoseconds per scalar the change test adds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "GVPvariable.h"
#include "KalpApi.h"
#include "KalpInproc.h"

namespace {

constexpr int kScalars = 1000;
constexpr int kPairs = 15;
constexpr auto kBlock = std::chrono::milliseconds(200);

struct Kind {
  const char* typeName;
  uint16_t bytes;
};
const Kind kKinds[] = {{"UINT32", 4}, {"REAL", 4}, {"BOOL", 1}, {"UINT16", 2}, {"LREAL", 8}};
constexpr int kKindCount = sizeof kKinds / sizeof kKinds[0];

template <typename Round>
double rate(Round&& round) {
  const auto start = std::chrono::steady_clock::now();
  long rounds = 0;
  auto now = start;
  do {
    round();
    ++rounds;
    now = std::chrono::steady_clock::now();
  } while (now - start < kBlock);
  return rounds * static_cast<double>(kScalars) / std::chrono::duration<double>(now - start).count();
}

double quantile(std::vector<double> values, double q) {
  std::sort(values.begin(), values.end());
  const double position = q * (values.size() - 1);
  const size_t low = static_cast<size_t>(position);
  const size_t high = std::min(low + 1, values.size() - 1);
  return values[low] + (values[high] - values[low]) * (position - low);
}

}  // namespace

int main() {
  try {
    std::string json = R"({"variables": {"APPL.Bench.data": {"type": "STRUCT", "members": {)";
    for (int i = 0; i < kScalars; ++i) {
      if (i > 0) json += ",";
      json += "\"m" + std::to_string(i) + "\": {\"type\": \"" + kKinds[i % kKindCount].typeName +
              "\", \"value\": " + std::to_string(i % 2) + "}";
    }
    json += "}}}}";
    kalpinproc::loadTree(json);

    GVPvariable::setMemberPause(std::chrono::microseconds(0));
    auto tree = std::make_shared<GVPvariable>("APPL.Bench.", "data", false);

    std::vector<uint32_t> handles(kScalars);
    for (int i = 0; i < kScalars; ++i) {
      const std::string path = "APPL.Bench.data.m" + std::to_string(i);
      if (KalpApiVarOpenHdlA(path.c_str(), &handles[i]) != KALPAPI_OK) throw std::runtime_error("open " + path);
    }
    uint8_t buffer[8];
    auto bareRound = [&] {
      for (int i = 0; i < kScalars; ++i) {
        if (KalpApiVarRead(buffer, handles[i], kKinds[i % kKindCount].bytes) != KALPAPI_OK) {
          throw std::runtime_error("read");
        }
      }
    };
    auto changedRound = [&] { tree->hasChanged(); };

    bareRound();
    changedRound();
    std::vector<double> changedRates, bareRates, ratios, extraNs;
    for (int pair = 0; pair < kPairs; ++pair) {
      double changed, bare;
      if (pair % 2 == 0) {
        changed = rate(changedRound);
        bare = rate(bareRound);
      } else {
        bare = rate(bareRound);
        changed = rate(changedRound);
      }
      changedRates.push_back(changed);
      bareRates.push_back(bare);
      ratios.push_back(changed / bare);
      extraNs.push_back(1e9 / changed - 1e9 / bare);
    }
    for (uint32_t& handle : handles) KalpApiVarCloseHdl(&handle);

    std::printf("gvp_changed_inproc: hasChanged over %d scalars: %.0f scalars/s (median of %d blocks)\n",
                kScalars, quantile(changedRates, 0.5), kPairs);
    std::printf("gvp_changed_inproc: bare KalpApiVarRead of the same scalars: %.0f scalars/s (median of %d blocks)\n",
                quantile(bareRates, 0.5), kPairs);
    std::printf("gvp_changed_inproc: ratio hasChanged/bare: median %.3f, middle half %.3f .. %.3f (%d pairs)\n",
                quantile(ratios, 0.5), quantile(ratios, 0.25), quantile(ratios, 0.75), kPairs);
    std::printf("gvp_changed_inproc: change test's own cost: median %.0f ns per scalar\n", quantile(extraNs, 0.5));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_gvp_changed_inproc: %s\n", error.what());
    return 1;
  }
  return 0;
}
