// Encoding a Sparkplug B DDATA of N metrics, over the in-process store, from the values the last
// change test read (no variable reads in any round, so that only encoding is compared).
//
// The service's round is what a publish worker does for a data message: the metrics of the
// changed scalars (alias, timestamp, value from the snapshot, found by node), the payload's
// timestamp and seq, serialised. Two references in the same run, in alternating pairs of blocks:
//   - bare protobuf: the same message (same aliases, timestamps and values, from plain values in
//     memory) built and serialised with the same generated schema; the goal is at most 1.3x;
//   - JSON: snapshotToJSON of the same variables, the service's other payload format.
// Prints the cost per metric, and for each reference the median pair ratio with its middle half.
#include <sched.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "GVPvariable.h"
#include "KalpInproc.h"
#include "PayloadCodec.h"
#include "SparkplugMetrics.h"

namespace {

constexpr int kPairs = 15;
constexpr auto kBlock = std::chrono::milliseconds(100);
const char* const kTypes[] = {"SINT32", "LREAL", "BOOL", "UINT16", "REAL"};

void run(int metrics) {
  std::string json = R"({"variables": {"APPL.Bench.data": {"type": "STRUCT", "members": {)";
  for (int i = 0; i < metrics; ++i) {
    if (i > 0) json += ",";
    json += "\"member" + std::to_string(i) + "\": {\"type\": \"" + kTypes[i % 5] +
            "\", \"value\": " + std::to_string(i % 5 == 2 ? i % 2 : i * 3) + "}";
  }
  json += "}}}}";
  kalpinproc::loadTree(json);
  const std::vector<std::shared_ptr<GVPvariable>> variables = {
      std::make_shared<GVPvariable>("APPL.Bench.", "data", false)};
  for (const auto& variable : variables) variable->readSnapshot();
  const sparkplug::MetricSet set(variables, 1, "bench");

  // Plain values for the bare reference: the bits each scalar holds, with its data type.
  struct Plain {
    uint64_t alias;
    uint32_t type;
    uint64_t bits;
  };
  std::vector<Plain> plain;
  for (const auto& slot : set.slots()) plain.push_back({slot.alias, slot.type, slot.node->getSnapshotBits()});

  const uint64_t timestamp = sparkplug::nowMs();
  uint64_t seq = 0;
  std::string out;
  auto service = [&] {
    sparkplug::Payload payload;
    set.addDataMetrics(payload, variables, timestamp);
    payload.set_timestamp(timestamp);
    payload.set_seq(seq = (seq + 1) % 256);
    out = payload.SerializeAsString();
  };
  auto bare = [&] {
    sparkplug::Payload payload;
    for (const Plain& p : plain) {
      sparkplug::Metric* metric = payload.add_metrics();
      metric->set_alias(p.alias);
      metric->set_timestamp(timestamp);
      switch (p.type) {
        case sparkplug::kInt32:
        case sparkplug::kUInt16:
          metric->set_int_value(static_cast<uint32_t>(p.bits));
          break;
        case sparkplug::kDouble: {
          double value;
          std::memcpy(&value, &p.bits, sizeof value);
          metric->set_double_value(value);
          break;
        }
        case sparkplug::kFloat: {
          float value;
          const uint32_t bits = static_cast<uint32_t>(p.bits);
          std::memcpy(&value, &bits, sizeof value);
          metric->set_float_value(value);
          break;
        }
        default:
          metric->set_boolean_value(p.bits != 0);
          break;
      }
    }
    payload.set_timestamp(timestamp);
    payload.set_seq(seq = (seq + 1) % 256);
    out = payload.SerializeAsString();
  };
  rapidjson::StringBuffer buffer;
  auto jsonRound = [&] { snapshotToJSON(variables, buffer); };

  service();
  const std::string serviceBytes = out;
  bare();
  if (out.size() != serviceBytes.size())
    throw std::runtime_error("the bare message differs from the service's");

  const std::vector<std::pair<const char*, std::function<void()>>> references = {
      {"bare protobuf", bare}, {"JSON (snapshotToJSON)", jsonRound}};
  std::vector<double> serviceRates;
  std::vector<std::vector<double>> ratios(references.size()), referenceRates(references.size());
  for (int pair = 0; pair < kPairs; ++pair) {
    for (size_t r = 0; r < references.size(); ++r) {
      const auto [own, other] = bench::inTurn(
          pair + static_cast<int>(r), [&] { return bench::ratePerSecond(service, kBlock, metrics); },
          [&] { return bench::ratePerSecond(references[r].second, kBlock, metrics); });
      serviceRates.push_back(own);
      referenceRates[r].push_back(other);
      ratios[r].push_back(other / own);  // cost ratio: service time over reference time
    }
  }
  std::printf("sparkplug_inproc: DDATA of %d metrics: %.1f ns per metric (median of %zu blocks), %zu bytes\n",
              metrics, 1e9 / bench::median(serviceRates), serviceRates.size(), serviceBytes.size());
  for (size_t r = 0; r < references.size(); ++r)
    std::printf("sparkplug_inproc: DDATA of %d metrics: %s: %.1f ns per metric; cost ratio %s\n", metrics,
                references[r].first, 1e9 / bench::median(referenceRates[r]),
                bench::ratioSummary(ratios[r]).c_str());
}

}  // namespace

int main() {
  try {
    bench::pin(sched_getcpu());
    GVPvariable::setMemberPause(std::chrono::microseconds(0));
    for (const int metrics : {10, 100, 1000}) run(metrics);
    std::printf("sparkplug_inproc: goal: cost ratio against bare protobuf at most 1.3\n");
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "sparkplug_inproc: %s\n", e.what());
    return 1;
  }
}
