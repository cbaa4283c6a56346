// EdgeNode: topics, session numbers, births, data and commands of the Sparkplug B edge node.
#include "EdgeNode.h"

#include <rapidjson/document.h>

#include <cstdio>
#include <exception>
#include <fstream>
#include <set>

#include "Trace.h"

namespace sparkplug {

namespace {

constexpr uint64_t kSeqModulo = 256;

// The bdSeq the file holds (a decimal number 0..255), if it holds one.
std::optional<uint64_t> readBdSeqFile(const std::string& path) {
  std::ifstream in(path);
  uint64_t value = 0;
  if (!(in >> value) || value >= kSeqModulo) return std::nullopt;
  return value;
}

// Replaces the file's content with value: written aside, then renamed over it, so that a crash
// leaves the old value or the new one.
void writeBdSeqFile(const std::string& path, uint64_t value) {
  const std::string aside = path + ".new";
  {
    std::ofstream out(aside, std::ios::trunc);
    out << value << '\n';
    if (!out.flush()) {
      TRACE(1, "Sparkplug: cannot write bdSeq to '", aside, "'.");
      return;
    }
  }
  if (std::rename(aside.c_str(), path.c_str()) != 0)
    TRACE(1, "Sparkplug: cannot write bdSeq to '", path, "'.");
}

}  // namespace

bool validId(const std::string& text) {
  return !text.empty() && text.find_first_of("/+#") == std::string::npos;
}

EdgeNode::EdgeNode(std::string groupId, std::string edgeNodeId, std::vector<DeviceDefinition> devices,
                   std::vector<CommandTarget> commandTargets, std::string bdSeqFile,
                   std::optional<uint64_t> previousBdSeq)
    : groupId_(std::move(groupId)), edgeNodeId_(std::move(edgeNodeId)), bdSeqFile_(std::move(bdSeqFile)) {
  // The node's own metric Node Control/Rebirth has no alias; device metrics count from 1.
  uint64_t alias = 1;
  std::set<std::string> ids;
  for (DeviceDefinition& definition : devices) {
    Device device;
    device.id = definition.id;
    if (!validId(definition.id)) {
      TRACE(1, "Sparkplug: device id '", definition.id,
            "' (the topic of a variable-topic set) is empty or holds /, + or #: the set is left out.");
    } else if (!ids.insert(definition.id).second) {
      TRACE(1, "Sparkplug: device id '", definition.id, "' is used by an earlier set: this set is left out.");
    } else {
      device.active = true;
      device.variables = std::move(definition.variables);
      device.metrics = MetricSet(device.variables, alias, definition.id);
      alias = device.metrics.nextAlias();
    }
    devices_.push_back(std::move(device));
  }
  for (CommandTarget& target : commandTargets) {
    if (!validId(target.deviceId)) {
      TRACE(1, "Sparkplug: device id '", target.deviceId,
            "' (the topic of a subscribe configuration) is empty or holds /, + or #: it takes no commands.");
      continue;
    }
    Device* device = nullptr;
    for (Device& candidate : devices_)
      if (candidate.active && candidate.id == target.deviceId) device = &candidate;
    for (Device& candidate : commandOnlyDevices_)
      if (candidate.id == target.deviceId) device = &candidate;
    if (device == nullptr) {
      commandOnlyDevices_.push_back(Device{});
      device = &commandOnlyDevices_.back();
      device->id = target.deviceId;
    }
    // Matched by name only: these metrics are never announced, so their aliases are unused.
    device->commandOnly.emplace_back(target.variables, 0, target.deviceId);
  }

  if (previousBdSeq) {
    bdSeq_ = *previousBdSeq;
    bdSeqUsed_ = true;
  } else if (!bdSeqFile_.empty()) {
    if (const std::optional<uint64_t> stored = readBdSeqFile(bdSeqFile_)) {
      bdSeq_ = *stored;
      bdSeqUsed_ = true;
    }
  }
}

std::string EdgeNode::nodeTopic(const char* type) const {
  return std::string(kNamespace) + "/" + groupId_ + "/" + type + "/" + edgeNodeId_;
}

std::string EdgeNode::deviceTopic(const char* type, size_t device) const {
  return nodeTopic(type) + "/" + devices_[device].id;
}

std::vector<std::string> EdgeNode::commandFilters() const {
  return {nodeTopic("NCMD"), nodeTopic("DCMD") + "/+"};
}

bool EdgeNode::deviceActive(size_t device) const {
  return device < devices_.size() && devices_[device].active;
}

std::string EdgeNode::deathPayload(uint64_t bdSeq) const {
  Payload payload;
  const uint64_t now = nowMs();
  payload.set_timestamp(now);
  Metric* metric = payload.add_metrics();
  metric->set_name(kBdSeqMetric);
  metric->set_timestamp(now);
  metric->set_datatype(kUInt64);
  metric->set_long_value(bdSeq);
  return payload.SerializeAsString();
}

std::string EdgeNode::nextDeathCertificate() {
  uint64_t bdSeq = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bdSeqUsed_) bdSeq_ = (bdSeq_ + 1) % kSeqModulo;
    bdSeqUsed_ = true;
    bdSeq = bdSeq_;
  }
  if (!bdSeqFile_.empty()) writeBdSeqFile(bdSeqFile_, bdSeq);
  return deathPayload(bdSeq);
}

std::string EdgeNode::currentDeathCertificate() const { return deathPayload(bdSeq()); }

uint64_t EdgeNode::bdSeq() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bdSeq_;
}

uint64_t EdgeNode::nextSeq() {
  seq_ = (seq_ + 1) % kSeqModulo;
  return seq_;
}

int EdgeNode::send(const std::string& topic, Payload& payload, const Publisher& publish) {
  payload.set_timestamp(nowMs());
  return publish(topic, payload.SerializeAsString());
}

int EdgeNode::publishNodeBirth(const Publisher& publish) {
  std::lock_guard<std::mutex> lock(mutex_);
  Payload payload;
  const uint64_t now = nowMs();
  payload.set_seq(0);
  seq_ = 0;
  Metric* bdSeq = payload.add_metrics();
  bdSeq->set_name(kBdSeqMetric);
  bdSeq->set_timestamp(now);
  bdSeq->set_datatype(kUInt64);
  bdSeq->set_long_value(bdSeq_);
  Metric* rebirth = payload.add_metrics();
  rebirth->set_name(kRebirthMetric);
  rebirth->set_timestamp(now);
  rebirth->set_datatype(kBoolean);
  rebirth->set_boolean_value(false);
  nodeBorn_ = true;
  for (Device& device : devices_) device.birthDue = true;
  return send(nodeTopic("NBIRTH"), payload, publish);
}

void EdgeNode::connectionLost() {
  std::lock_guard<std::mutex> lock(mutex_);
  nodeBorn_ = false;
  if (!primaryHost_.empty()) hostOnline_ = false;
}

void EdgeNode::setPrimaryHost(std::string hostId, size_t limitBytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  primaryHost_ = std::move(hostId);
  heldLimit_ = limitBytes;
  hostOnline_ = primaryHost_.empty();
}

std::string EdgeNode::primaryHostStateTopic() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return primaryHost_.empty() ? std::string() : std::string(kNamespace) + "/STATE/" + primaryHost_;
}

bool EdgeNode::hostOnline() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return hostOnline_;
}

size_t EdgeNode::heldMessages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_.size();
}

void EdgeNode::handleHostState(const std::string& payload, const Publisher& publish) {
  std::optional<bool> online;
  if (payload == "ONLINE") online = true;
  if (payload == "OFFLINE") online = false;
  if (!online) {
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(payload.data(), payload.size());
    if (!document.HasParseError() && document.IsObject() && document.HasMember("online") &&
        document["online"].IsBool())
      online = document["online"].GetBool();
  }
  if (!online) {
    TRACE(2, "Sparkplug: the primary host's STATE message is neither online nor offline, ignored.");
    return;
  }
  size_t held = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (primaryHost_.empty() || hostOnline_ == *online) return;
    hostOnline_ = *online;
    held = held_.size();
    if (hostOnline_) sendHeld(publish);
  }
  if (*online) {
    TRACE(1, "Sparkplug: primary host ", primaryHostStateTopic(), " online; ", held,
          " held data messages due.");
  } else {
    TRACE(1, "Sparkplug: primary host ", primaryHostStateTopic(), " offline: data messages are held.");
  }
}

void EdgeNode::sendHeld(const Publisher& publish) {
  if (!hostOnline_ || !nodeBorn_) return;
  // In their order; a device whose birth is still due keeps its messages (and the ones after
  // them stay behind it, so that the order of each device holds).
  std::deque<Held> kept;
  std::vector<char> blocked(devices_.size(), false);
  for (Held& entry : held_) {
    if (blocked[entry.device] || devices_[entry.device].birthDue) {
      blocked[entry.device] = true;
      kept.push_back(std::move(entry));
      continue;
    }
    entry.payload.set_seq(nextSeq());
    publish(deviceTopic("DDATA", entry.device), entry.payload.SerializeAsString());
    heldBytes_ -= entry.bytes;
  }
  held_.swap(kept);
  if (heldDropped_ > 0 && held_.empty()) {
    TRACE(1, "Sparkplug: ", heldDropped_, " held data messages were dropped (the hold was full).");
    heldDropped_ = 0;
  }
}

bool EdgeNode::deviceBirthDue(size_t device) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return device < devices_.size() && devices_[device].birthDue;
}

bool EdgeNode::publishDeviceBirth(size_t device, uint64_t sampledAtMs, const Publisher& publish,
                                  int& result) {
  if (!deviceActive(device)) return false;
  Device& target = devices_[device];
  Payload payload;
  target.metrics.addBirthMetrics(payload, sampledAtMs);  // snapshots only: no variable read
  std::lock_guard<std::mutex> lock(mutex_);
  if (!nodeBorn_) return false;
  payload.set_seq(nextSeq());
  target.birthDue = false;
  result = send(deviceTopic("DBIRTH", device), payload, publish);
  if (!held_.empty()) sendHeld(publish);  // what this device kept follows its birth
  return true;
}

EdgeNode::DataResult EdgeNode::publishDeviceData(size_t device,
                                                 const std::vector<std::shared_ptr<GVPvariable>>& roots,
                                                 uint64_t sampledAtMs, const Publisher& publish,
                                                 int& result) {
  if (!deviceActive(device)) return DataResult::NotBorn;
  Device& target = devices_[device];
  Payload payload;
  target.metrics.addDataMetrics(payload, roots, sampledAtMs);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!nodeBorn_) return DataResult::NotBorn;
  if (target.birthDue) return DataResult::BirthDue;
  if (payload.metrics_size() == 0) return DataResult::Sent;  // nothing of this device changed
  if (!hostOnline_ || !held_.empty()) {
    // Held for the primary host (behind what is held already): historical when it goes out.
    for (Metric& metric : *payload.mutable_metrics()) metric.set_is_historical(true);
    payload.set_timestamp(nowMs());
    const size_t bytes = payload.ByteSizeLong();
    while (!held_.empty() && heldBytes_ + bytes > heldLimit_) {
      heldBytes_ -= held_.front().bytes;
      held_.pop_front();
      if (heldDropped_++ == 0)
        TRACE(1, "Sparkplug: the hold for the primary host is full: the oldest data go.");
    }
    if (bytes <= heldLimit_) {
      held_.push_back({device, std::move(payload), bytes});
      heldBytes_ += bytes;
    }
    if (hostOnline_) sendHeld(publish);
    return DataResult::Sent;
  }
  payload.set_seq(nextSeq());
  result = send(deviceTopic("DDATA", device), payload, publish);
  return DataResult::Sent;
}

void EdgeNode::handleCommand(const std::string& topic, const std::string& payloadBytes,
                             const Publisher& publish) {
  Payload payload;
  if (!payload.ParseFromString(payloadBytes)) {
    TRACE(2, "Sparkplug: command on ", topic, " is not a Sparkplug B payload, nothing written.");
    return;
  }
  try {
    if (topic == nodeTopic("NCMD")) {
      for (const Metric& metric : payload.metrics()) {
        if (metric.name() == kRebirthMetric && metric.has_boolean_value()) {
          if (!metric.boolean_value()) continue;
          TRACE(2, "Sparkplug: rebirth requested.");
          publishNodeBirth(publish);
        } else {
          TRACE(2, "Sparkplug: node command metric '", metric.name(), "' is not known, ignored.");
        }
      }
      return;
    }
    const std::string prefix = nodeTopic("DCMD") + "/";
    if (topic.compare(0, prefix.size(), prefix) != 0) {
      TRACE(2, "Sparkplug: message on ", topic, " is not a command of this node, ignored.");
      return;
    }
    const std::string deviceId = topic.substr(prefix.size());
    Device* device = nullptr;
    for (Device& candidate : devices_)
      if (candidate.active && candidate.id == deviceId) device = &candidate;
    for (Device& candidate : commandOnlyDevices_)
      if (candidate.id == deviceId) device = &candidate;
    writeCommandMetrics(device, deviceId, payload);
  } catch (const std::exception& e) {
    TRACE(1, "Sparkplug: command on ", topic, " failed: ", e.what());
  }
}

void EdgeNode::writeCommandMetrics(Device* device, const std::string& deviceId, const Payload& payload) {
  if (device == nullptr) {
    TRACE(2, "Sparkplug: command for unknown device '", deviceId, "', nothing written.");
    return;
  }
  for (const Metric& metric : payload.metrics()) {
    const std::string label = metric.has_name() ? metric.name() : "alias " + std::to_string(metric.alias());
    const MetricSlot* slot = device->metrics.find(metric);
    for (const MetricSet& extra : device->commandOnly)
      if (slot == nullptr && metric.has_name()) slot = extra.find(metric);
    if (slot == nullptr) {
      TRACE(2, "Sparkplug: device ", deviceId, ": metric ", label, " is not known, not written.");
      continue;
    }
    try {
      const std::string refused = writeMetricValue(metric, slot->node);
      if (!refused.empty())
        TRACE(2, "Sparkplug: device ", deviceId, ": metric ", label, " not written: ", refused, ".");
    } catch (const std::exception& e) {
      TRACE(2, "Sparkplug: device ", deviceId, ": metric ", label, " not written: ", e.what());
    }
  }
}

}  // namespace sparkplug
