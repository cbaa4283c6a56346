// The metrics of a Sparkplug B device: names, aliases and values of a variable tree's scalars.
#include "SparkplugMetrics.h"

#include <rapidjson/document.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

#include "KalpApi.h"
#include "PayloadCodec.h"
#include "Trace.h"

namespace sparkplug {

namespace {

template <typename To, typename From>
To bitsAs(From bits) {
  To value;
  static_assert(sizeof value == sizeof bits, "same width");
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::string latin1ToUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const unsigned char c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

bool structured(uint32_t type) {
  return type == KALPAPI_TYPE_ARRAY || type == KALPAPI_TYPE_STRUCT || type == KALPAPI_TYPE_DIRECTORY;
}

}  // namespace

uint64_t nowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

MetricSet::MetricSet(const std::vector<std::shared_ptr<GVPvariable>>& variables, uint64_t firstAlias,
                     const std::string& label)
    : nextAlias_(firstAlias) {
  for (const std::shared_ptr<GVPvariable>& variable : variables) add(variable, variable->getName(), label);
}

void MetricSet::add(const std::shared_ptr<GVPvariable>& node, const std::string& name,
                    const std::string& label) {
  const uint32_t type = node->getType();
  if (structured(type)) {
    for (const std::shared_ptr<GVPvariable>& child : node->getChildren()) {
      const std::string& member = child->getName();
      add(child, !member.empty() && member.front() == '[' ? name + member : name + "/" + member, label);
    }
    return;
  }
  const DataType dataType = sparkplugDataType(type);
  if (dataType == kNoDataType) {
    TRACE(1, "Sparkplug: ", label, ": variable ", name, " of type ", type,
          " has no Sparkplug data type and is left out.");
    return;
  }
  byNode_[node.get()] = slots_.size();
  byName_[name] = slots_.size();
  byAlias_[nextAlias_] = slots_.size();
  slots_.push_back({name, node, dataType, nextAlias_++});
}

void MetricSet::addBirthMetrics(Payload& payload, uint64_t timestampMs) const {
  for (const MetricSlot& slot : slots_) {
    Metric* metric = payload.add_metrics();
    metric->set_name(slot.name);
    metric->set_alias(slot.alias);
    metric->set_timestamp(timestampMs);
    metric->set_datatype(slot.type);
    setMetricValue(*metric, *slot.node, slot.type);
  }
}

void MetricSet::addDataMetrics(Payload& payload, const std::vector<std::shared_ptr<GVPvariable>>& roots,
                               uint64_t timestampMs) const {
  for (const std::shared_ptr<GVPvariable>& root : roots) addFound(payload, root, timestampMs);
}

void MetricSet::addFound(Payload& payload, const std::shared_ptr<GVPvariable>& node,
                         uint64_t timestampMs) const {
  if (structured(node->getType())) {
    for (const std::shared_ptr<GVPvariable>& child : node->getChildren())
      addFound(payload, child, timestampMs);
    return;
  }
  const auto found = byNode_.find(node.get());
  if (found == byNode_.end()) return;
  const MetricSlot& slot = slots_[found->second];
  Metric* metric = payload.add_metrics();
  metric->set_alias(slot.alias);
  metric->set_timestamp(timestampMs);
  setMetricValue(*metric, *slot.node, slot.type);
}

const MetricSlot* MetricSet::find(const Metric& metric) const {
  if (metric.has_alias()) {
    const auto found = byAlias_.find(metric.alias());
    return found == byAlias_.end() ? nullptr : &slots_[found->second];
  }
  const auto found = byName_.find(metric.name());
  return found == byName_.end() ? nullptr : &slots_[found->second];
}

void setMetricValue(Metric& metric, const GVPvariable& node, DataType type) {
  if (type == kString) {
    const std::string* text = node.getSnapshotText();
    if (text == nullptr)
      throw std::runtime_error("Sparkplug: variable " + node.getName() + " holds no text.");
    metric.set_string_value(getStringEncoding() == StringEncoding::kLatin1 ? latin1ToUtf8(*text) : *text);
    return;
  }
  const uint64_t bits = node.getSnapshotBits();
  switch (type) {
    case kBoolean:
      metric.set_boolean_value(bits != 0);
      break;
    case kInt8:
      metric.set_int_value(static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(bits))));
      break;
    case kInt16:
      metric.set_int_value(static_cast<uint32_t>(static_cast<int32_t>(static_cast<int16_t>(bits))));
      break;
    case kInt32:
    case kUInt8:
    case kUInt16:
      metric.set_int_value(static_cast<uint32_t>(bits));
      break;
    case kUInt32:
      metric.set_long_value(static_cast<uint32_t>(bits));
      break;
    case kInt64:
    case kUInt64:
    case kDateTime:
      metric.set_long_value(bits);
      break;
    case kFloat:
      metric.set_float_value(bitsAs<float>(static_cast<uint32_t>(bits)));
      break;
    case kDouble:
      metric.set_double_value(bitsAs<double>(bits));
      break;
    default:
      metric.set_is_null(true);
      break;
  }
}

std::string writeMetricValue(const Metric& metric, const std::shared_ptr<GVPvariable>& node) {
  rapidjson::Document holder;  // owns a copied string value
  rapidjson::Value value;
  const uint32_t type = metric.datatype();
  switch (metric.value_case()) {
    case Metric::kBooleanValue:
      value.SetBool(metric.boolean_value());
      break;
    case Metric::kIntValue:
      if (type == kInt8 || type == kInt16 || type == kInt32)
        value.SetInt(static_cast<int32_t>(metric.int_value()));
      else
        value.SetUint(metric.int_value());
      break;
    case Metric::kLongValue:
      if (type == kInt64)
        value.SetInt64(static_cast<int64_t>(metric.long_value()));
      else
        value.SetUint64(metric.long_value());
      break;
    case Metric::kFloatValue:
      value.SetDouble(static_cast<double>(metric.float_value()));
      break;
    case Metric::kDoubleValue:
      value.SetDouble(metric.double_value());
      break;
    case Metric::kStringValue:
      value.SetString(metric.string_value().data(),
                      static_cast<rapidjson::SizeType>(metric.string_value().size()), holder.GetAllocator());
      break;
    default:
      return "no value of a kind the service writes";
  }
  if (metric.is_null()) return "no value (null)";
  JSONvalueintoIECnode(node, value);
  return lastValueRefused() ? "value refused for the variable's type or range" : "";
}

}  // namespace sparkplug
