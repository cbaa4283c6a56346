// The metrics of one Sparkplug B device (or of the node): the scalars of a variable tree, each
// with its name, data type and alias, and the conversions between their values and a metric's.
//
// Names: the root variable's name, then each level below it: a struct or directory member as
// "/<member>", an array element as "[<index>]" ("Drive/Speed", "aTemp[2]", "Line/aAxis[0]/Pos").
// Scalars whose type has no Sparkplug data type (20, 23, unknown codes) are left out with one
// trace line each when the set is built; an array without elements gives no metric.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "GVPvariable.h"
#include "SparkplugTypes.h"
#include "sparkplug_b.pb.h"

namespace sparkplug {

using Payload = zal::sparkplug::Payload;
using Metric = zal::sparkplug::Payload::Metric;

struct MetricSlot {
  std::string name;
  std::shared_ptr<GVPvariable> node;  // a scalar or STRING node of the tree
  DataType type = kNoDataType;
  uint64_t alias = 0;
};

class MetricSet {
 public:
  MetricSet() = default;
  // The scalars of variables, in tree order, with the aliases firstAlias, firstAlias + 1, ...
  // label names the device in the trace line of a refused type.
  MetricSet(const std::vector<std::shared_ptr<GVPvariable>>& variables, uint64_t firstAlias,
            const std::string& label);

  const std::vector<MetricSlot>& slots() const { return slots_; }
  // The alias after the last one of this set.
  uint64_t nextAlias() const { return nextAlias_; }

  // Appends one metric per slot with its name, alias, data type, value from the node's snapshot
  // and timestamp (milliseconds since 1970): a birth.
  void addBirthMetrics(Payload& payload, uint64_t timestampMs) const;
  // Appends one metric (alias, value from the snapshot, timestamp) for each scalar of this set
  // found in roots (trees of this set or reduced trees that share its scalar nodes): data.
  void addDataMetrics(Payload& payload, const std::vector<std::shared_ptr<GVPvariable>>& roots,
                      uint64_t timestampMs) const;
  // The slot a received metric addresses: by its alias when it has one, else by its name; null
  // when none matches.
  const MetricSlot* find(const Metric& metric) const;

 private:
  void add(const std::shared_ptr<GVPvariable>& node, const std::string& name, const std::string& label);
  void addFound(Payload& payload, const std::shared_ptr<GVPvariable>& node, uint64_t timestampMs) const;

  std::vector<MetricSlot> slots_;
  std::unordered_map<const GVPvariable*, size_t> byNode_;
  std::unordered_map<std::string, size_t> byName_;
  std::unordered_map<uint64_t, size_t> byAlias_;
  uint64_t nextAlias_ = 0;
};

// Sets metric's value field from the snapshot of node, as type says (signed types in two's
// complement, UInt32 in long_value as the common decoders read it, STRING converted from
// Latin-1 when the strings are Latin-1).
void setMetricValue(Metric& metric, const GVPvariable& node, DataType type);

// Writes the value of a received metric into node with the rules of JSON write-back (kind and
// range of the node's type). Returns an empty text when written, else why not ("no value",
// "value refused for the variable's type or range"); a write the variable server refuses
// throws std::runtime_error as the typed writes do.
std::string writeMetricValue(const Metric& metric, const std::shared_ptr<GVPvariable>& node);

// Milliseconds since 1970-01-01 UTC of the system clock now.
uint64_t nowMs();

}  // namespace sparkplug
