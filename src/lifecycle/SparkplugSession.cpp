// The Sparkplug B edge node's hooks in the life cycle: will, births, data, commands, death.
#include "SparkplugSession.h"

#include <mosquitto.h>

#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "EdgeNode.h"
#include "StatusTopic.h"
#include "Trace.h"
#include "ZAL_MQTT_item.h"
#include "ZAL_MQTT_lifecycle.h"

namespace {

using sparkplug::EdgeNode;

// The edge node of the current configuration, the configuration it was built for, and the
// device index of each variable-topic set (by publish configuration, then set). Guarded by
// sessionMutex, held only to copy or replace them (never while publishing or reading
// variables); users keep their own reference to the node.
std::mutex sessionMutex;
std::shared_ptr<EdgeNode> sessionNode;
const ZAL_MQTT_item* sessionBuiltFor = nullptr;
std::vector<std::vector<size_t>> sessionDevices;
// False while no configuration with a Sparkplug group was prepared: the hooks then return at
// once, without a lock (the subscribe path asks for every received message).
std::atomic<bool> sessionEverBuilt{false};

// The hold for the primary host when no publish configuration has an offline buffer.
constexpr size_t kDefaultHoldBytes = 1024 * 1024;

std::shared_ptr<EdgeNode> currentNode() {
  std::lock_guard<std::mutex> lock(sessionMutex);
  return sessionNode;
}

// QoS 0 and no retain for births and data, as Sparkplug B asks; the death certificate is QoS 1.
sparkplug::Publisher publisherFor(mosquitto* client) {
  return [client](const std::string& topic, const std::string& payload) {
    return mosquitto_publish(client, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                             0, false);
  };
}

bool setWill(mosquitto* client, EdgeNode& node) {
  const std::string death = node.nextDeathCertificate();
  const std::string topic = node.nodeTopic("NDEATH");
  const int result =
      mosquitto_will_set(client, topic.c_str(), static_cast<int>(death.size()), death.data(), 1, false);
  if (result != MOSQ_ERR_SUCCESS) {
    TRACE(1, "Error: cannot set the Sparkplug death certificate on '", topic,
          "': ", mosquitto_strerror(result));
    return false;
  }
  TRACE(2, "Sparkplug: death certificate registered with bdSeq ", node.bdSeq(), ".");
  return true;
}

void buildNode(const ZAL_MQTT_item& item) {
  std::vector<sparkplug::DeviceDefinition> devices;
  std::vector<std::vector<size_t>> index;
  std::string bdSeqFile;
  size_t holdBytes = 0;  // the hold for the primary host: the offline buffers' sizes together
  for (const auto& publish : item.getPublishConfigurations()) {
    holdBytes += size_t{publish->getOfflineBufferKB()} * 1024;
    index.emplace_back();
    if (bdSeqFile.empty() && !publish->getOfflineBufferFile().empty())
      bdSeqFile = publish->getOfflineBufferFile() + ".bdseq";
    for (const auto& set : publish->getVariableTopicSets()) {
      index.back().push_back(devices.size());
      devices.push_back({set->getTopic(), set->getVariables()});
    }
  }
  std::vector<sparkplug::CommandTarget> targets;
  for (const auto& subscription : item.getSubscribeConfigurations())
    targets.push_back({subscription->getTopic(), subscription->getVariables()});

  std::lock_guard<std::mutex> lock(sessionMutex);
  // A new configuration object of the same process goes on from the last bdSeq used.
  std::optional<uint64_t> previous;
  if (sessionNode) previous = sessionNode->bdSeq();
  sessionNode = std::make_shared<EdgeNode>(item.getSparkplugGroupId(), item.getSparkplugEdgeNodeId(),
                                           std::move(devices), std::move(targets), bdSeqFile, previous);
  if (!item.getSparkplugPrimaryHostId().empty())
    sessionNode->setPrimaryHost(item.getSparkplugPrimaryHostId(),
                                holdBytes != 0 ? holdBytes : kDefaultHoldBytes);
  sessionBuiltFor = &item;
  sessionDevices = std::move(index);
  sessionEverBuilt = true;
}

uint64_t msOf(std::chrono::system_clock::time_point time) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count());
}

}  // namespace

bool prepareSparkplug(mosquitto* client, const ZAL_MQTT_item& item) {
  if (item.getSparkplugGroupId().empty()) {
    std::lock_guard<std::mutex> lock(sessionMutex);
    if (sessionNode) sessionBuiltFor = nullptr;  // kept only for its bdSeq; not active
    return true;
  }
  bool build = false;
  {
    std::lock_guard<std::mutex> lock(sessionMutex);
    build = !sessionNode || sessionBuiltFor != &item;
  }
  if (build) buildNode(item);
  const std::shared_ptr<EdgeNode> node = currentNode();
  return setWill(client, *node);
}

bool sparkplugActive() {
  if (!sessionEverBuilt.load()) return false;
  std::lock_guard<std::mutex> lock(sessionMutex);
  if (!sessionNode || sessionBuiltFor == nullptr) return false;
  std::lock_guard<std::mutex> configurationLock(configurationMutex);
  return configuration.get() == sessionBuiltFor;
}

void sparkplugBirth(mosquitto* client) {
  if (!sparkplugActive()) return;
  const std::shared_ptr<EdgeNode> node = currentNode();
  const int result = node->publishNodeBirth(publisherFor(client));
  if (result != MOSQ_ERR_SUCCESS)
    TRACE(1, "Sparkplug: node birth not published: ", mosquitto_strerror(result));
}

void sparkplugConnectionEnded(mosquitto* client, int result) {
  if (!sparkplugActive()) return;
  const std::shared_ptr<EdgeNode> node = currentNode();
  node->connectionLost();
  if (result != 0) setWill(client, *node);
}

void sparkplugDeath(mosquitto* client) {
  if (client == nullptr || !sparkplugActive()) return;
  const std::shared_ptr<EdgeNode> node = currentNode();
  node->connectionLost();
  const std::string death = node->currentDeathCertificate();
  const std::string topic = node->nodeTopic("NDEATH");
  mosquitto_publish(client, nullptr, topic.c_str(), static_cast<int>(death.size()), death.data(), 1, false);
}

bool sparkplugSubscribe(mosquitto* client) {
  if (!sparkplugActive()) return false;
  const std::shared_ptr<EdgeNode> node = currentNode();
  std::vector<std::string> filters = node->commandFilters();
  const std::string state = node->primaryHostStateTopic();
  if (!state.empty()) filters.push_back(state);
  for (const std::string& filter : filters) {
    if (mosquitto_subscribe(client, nullptr, filter.c_str(), filter == state ? 1 : 0) == MOSQ_ERR_SUCCESS) {
      TRACE(1, "subscribed to topic '", filter, "'.");
    } else {
      TRACE(1, "Error: could not subscribe to topic '", filter, "'.");
    }
  }
  return true;
}

bool sparkplugCommand(mosquitto* client, const std::string& topic, const std::string& payload) {
  if (!sparkplugActive()) return false;
  const std::shared_ptr<EdgeNode> node = currentNode();
  const std::string state = node->primaryHostStateTopic();
  if (!state.empty() && topic == state) {
    node->handleHostState(payload, publisherFor(client));
    return true;
  }
  bool match = false;
  for (const std::string& filter : node->commandFilters()) {
    bool matches = false;
    mosquitto_topic_matches_sub(filter.c_str(), topic.c_str(), &matches);
    match = match || matches;
  }
  if (!match) return false;
  node->handleCommand(topic, payload, publisherFor(client));
  return true;
}

void sparkplugPublishWorker(size_t index, const std::atomic<uint8_t>& stop) {
  const std::shared_ptr<ZAL_MQTT_item> item = getConfiguration();
  const std::shared_ptr<EdgeNode> node = currentNode();
  std::vector<size_t> devices;
  {
    std::lock_guard<std::mutex> lock(sessionMutex);
    if (index < sessionDevices.size()) devices = sessionDevices[index];
  }
  if (!item || !node || index >= item->getPublishConfigurations().size()) return;
  const auto publish = item->getPublishConfigurations()[index];
  const auto sets = publish->getVariableTopicSets();
  const uint32_t periodMs = publish->getPublishPeriodms();
  const uint32_t maxSilenceS = publish->getMaxSilenceS();
  const sparkplug::Publisher publisher = publisherFor(mosqClient);
  std::vector<int> lastResult(sets.size(), MOSQ_ERR_SUCCESS);
  std::vector<char> failureReported(sets.size(), false);
  std::vector<std::chrono::steady_clock::time_point> lastPayload(sets.size(),
                                                                 std::chrono::steady_clock::now());

  const auto report = [&](size_t j, int result) {
    ++(result == MOSQ_ERR_SUCCESS ? serviceCounters.published : serviceCounters.publishFailures);
    if (result != lastResult[j])
      TRACE(1, "Sparkplug: device ", sets[j]->getTopic(), ": publish result ", mosquitto_strerror(result));
    lastResult[j] = result;
    lastPayload[j] = std::chrono::steady_clock::now();
  };
  // A device's birth: every value read now.
  const auto birth = [&](size_t j, size_t device) {
    const auto variables = sets[j]->getVariables();
    for (const auto& variable : variables) variable->readSnapshot();
    const uint64_t sampledAt = msOf(std::chrono::system_clock::now());
    int result = MOSQ_ERR_SUCCESS;
    if (!node->publishDeviceBirth(device, sampledAt, publisher, result)) return;
    for (const auto& variable : variables) variable->markPublished();
    report(j, result);
  };

  while (stop.load() == 0) {
    for (size_t j = 0; j < sets.size() && j < devices.size() && stop.load() == 0; ++j) {
      const size_t device = devices[j];
      if (!node->deviceActive(device)) continue;
      const auto& set = sets[j];
      try {
        if (node->deviceBirthDue(device)) {
          birth(j, device);
          failureReported[j] = false;
          continue;
        }
        const auto variables = set->getVariables();
        std::vector<std::shared_ptr<GVPvariable>> roots;
        if (set->getSendOnValueChange() != 0) {
          // Data of an on-change set: only what changed since the last test.
          for (const auto& variable : variables) {
            std::shared_ptr<GVPvariable> out;
            if (variable->getChanged(out) && out) roots.push_back(out);
          }
          if (roots.empty() && maxSilenceS != 0 &&
              std::chrono::steady_clock::now() - lastPayload[j] >= std::chrono::seconds(maxSilenceS))
            roots = variables;  // heartbeat: the whole device once
          if (roots.empty()) continue;
        } else {
          for (const auto& variable : variables) variable->readSnapshot();
          roots = variables;
        }
        const uint64_t sampledAt = msOf(std::chrono::system_clock::now());
        int result = MOSQ_ERR_SUCCESS;
        switch (node->publishDeviceData(device, roots, sampledAt, publisher, result)) {
          case EdgeNode::DataResult::Sent:
            for (const auto& root : roots) root->markPublished();
            report(j, result);
            break;
          case EdgeNode::DataResult::BirthDue:
            birth(j, device);  // a rebirth came between: the birth carries every value
            break;
          case EdgeNode::DataResult::NotBorn:
            break;
        }
        failureReported[j] = false;
      } catch (const std::exception& e) {
        if (!failureReported[j]) TRACE(1, "Sparkplug: device ", set->getTopic(), ": ", e.what());
        failureReported[j] = true;
      }
    }
    sleepUntilOrStop(std::chrono::steady_clock::now() + std::chrono::milliseconds(periodMs), stop);
  }
}
