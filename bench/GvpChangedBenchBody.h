// The body of bench_gvp_changed (through the socket client) and bench_gvp_changed_inproc (over
// the in-process store, no socket to hide the change test's own cost): GVPvariable::hasChanged
// over a struct of 1,000 scalars against bare KalpApiVarRead calls on the same scalars (handles
// opened beforehand, each beside its member's node), in alternating pairs of blocks. Each pair
// gives one ratio (change-test rate / bare read rate); prints both rates and the median pair
// ratio with its middle half.
#pragma once

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "GVPvariable.h"
#include "KalpApi.h"

namespace gvpchangedbench {

constexpr int kScalars = 1000;
constexpr int kPairs = 15;

// Scalar kinds of the struct, in turn: the four widths of the change test.
struct Kind {
  const char* typeName;
  uint16_t bytes;
};
const Kind kKinds[] = {{"UINT32", 4}, {"REAL", 4}, {"BOOL", 1}, {"UINT16", 2}, {"LREAL", 8}};
constexpr int kKindCount = sizeof kKinds / sizeof kKinds[0];

inline std::string tree() {
  std::string json =
      R"({"deviceState": 300, "variables": {"APPL.Bench.data": {"type": "STRUCT", "members": {)";
  for (int i = 0; i < kScalars; ++i) {
    if (i > 0) json += ",";
    json += "\"m" + std::to_string(i) + "\": {\"type\": \"" + kKinds[i % kKindCount].typeName +
            "\", \"value\": " + std::to_string(i % 2) + "}";
  }
  return json + "}}}}";
}

// Runs the benchmark with blocks of block; name starts every printed line. transport(treeJson)
// makes the tree readable through the KalpApi calls and returns what has to stay alive while it
// runs. ownCost adds a line with the nanoseconds per scalar the change test adds to a bare read.
template <typename Transport>
int run(const char* name, bench::Clock::duration block, bool ownCost, Transport&& transport) {
  try {
    [[maybe_unused]] const auto keep = transport(tree());

    // The store finds a handle through a hash table whose chains hold the handles of one bucket
    // in an order set by when they were opened (newest first until the table grows): handles
    // opened after the whole tree were found faster than the tree's own, and the reference
    // gained time for nothing the change test does. So each member's node and its reference
    // handle are opened side by side, in turn one before the other, and both sides hold the
    // same places in that table. The members are the nodes the member walk builds: the same
    // constructor, with the path text shared by all of them.
    auto data = std::make_shared<GVPvariable>("APPL.Bench.", "data", true);
    const auto memberPath = std::make_shared<const std::string>("APPL.Bench.data.");
    std::vector<uint32_t> handles(kScalars);
    auto& members = data->getChildren();
    members.reserve(kScalars);
    for (int i = 0; i < kScalars; ++i) {
      const std::string name = "m" + std::to_string(i);
      auto openReference = [&] {
        if (KalpApiVarOpenHdlA((*memberPath + name).c_str(), &handles[i]) != KALPAPI_OK)
          throw std::runtime_error("open " + *memberPath + name);
      };
      if (i % 2 == 0) openReference();
      members.push_back(std::make_shared<GVPvariable>(memberPath, name, false));
      if (i % 2 != 0) openReference();
    }
    uint8_t buffer[8];
    auto bareRound = [&] {
      for (int i = 0; i < kScalars; ++i) {
        if (KalpApiVarRead(buffer, handles[i], kKinds[i % kKindCount].bytes) != KALPAPI_OK)
          throw std::runtime_error("read");
      }
    };
    auto changedRound = [&] { data->hasChanged(); };

    bareRound();  // warm up both paths
    changedRound();
    std::vector<double> changedRates, bareRates, ratios, extraNs;
    for (int pair = 0; pair < kPairs; ++pair) {
      const auto [changed, bare] = bench::inTurn(
          pair, [&] { return bench::ratePerSecond(changedRound, block, kScalars); },
          [&] { return bench::ratePerSecond(bareRound, block, kScalars); });
      changedRates.push_back(changed);
      bareRates.push_back(bare);
      ratios.push_back(changed / bare);
      extraNs.push_back(1e9 / changed - 1e9 / bare);
    }
    for (uint32_t& handle : handles) KalpApiVarCloseHdl(&handle);

    std::printf("%s: hasChanged over %d scalars: %.0f scalars/s (median of %d blocks)\n", name, kScalars,
                bench::median(changedRates), kPairs);
    std::printf("%s: bare KalpApiVarRead of the same scalars: %.0f scalars/s (median of %d blocks)\n", name,
                bench::median(bareRates), kPairs);
    std::printf("%s: ratio hasChanged/bare: %s\n", name, bench::ratioSummary(ratios).c_str());
    if (ownCost)
      std::printf("%s: change test's own cost: median %.0f ns per scalar\n", name, bench::median(extraNs));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_%s: %s\n", name, error.what());
    return 1;
  }
  return 0;
}

}  // namespace gvpchangedbench
