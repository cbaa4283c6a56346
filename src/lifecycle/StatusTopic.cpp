// The status topic: last will, birth, offline and statistics messages; the service counters.
//
// Lock rules: statusMutex guards the statistics thread's stop flag and the set of acknowledged
// message ids; it is held for a few statements only, never while publishing or tracing, and
// never together with another lock of the service.
#include "StatusTopic.h"

#include <mosquitto.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "BrokerFailover.h"
#include "DiskBuffer.h"
#include "Mqtt5.h"
#include "OfflineBuffer.h"
#include "ServiceIdentity.h"
#include "Trace.h"
#include "ZAL_MQTT_item.h"
#include "ZAL_MQTT_lifecycle.h"

ServiceCounters serviceCounters;

namespace {

using Clock = std::chrono::steady_clock;
using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

const Clock::time_point serviceStart = Clock::now();

// The counters of the statistics message, in payload order. A new counter is one row here.
struct StatisticsField {
  const char* name;
  const std::atomic<uint64_t>* counter;
};
const StatisticsField kStatisticsFields[] = {
    {"published", &serviceCounters.published},
    {"publishFailures", &serviceCounters.publishFailures},
    {"received", &serviceCounters.received},
    {"applied", &serviceCounters.applied},
    {"queueDrops", &serviceCounters.queueDrops},
    {"connectionsMade", &serviceCounters.connectionsMade},
    {"connectionsLost", &serviceCounters.connectionsLost},
    {"bufferedOffline", &offlineBufferTotals.buffered},
    {"sentFromBuffer", &offlineBufferTotals.sentFromBuffer},
    {"droppedFromBuffer", &offlineBufferTotals.dropped},
    {"discardedFromBuffer", &offlineBufferTotals.discarded},
};

// How long a disconnect waits for the broker to acknowledge the offline message.
constexpr auto kOfflineDeliveryWait = std::chrono::seconds(3);

std::mutex statusMutex;
std::condition_variable statusChanged;
bool statisticsStop = true;       // the statistics thread ends when set
std::deque<int> acknowledgedIds;  // ids of QoS 1 messages the broker acknowledged, newest last
constexpr size_t kAcknowledgedKept = 64;
std::thread statisticsThread;           // started and joined by the connected state (main thread)
std::atomic<bool> statusLinkUp{false};  // a connection is up on which offline can be sent

void addString(Writer& writer, const char* key, const std::string& value) {
  writer.Key(key);
  writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
}

std::string rfc3339(std::time_t time) {
  std::tm utc{};
  gmtime_r(&time, &utc);
  char text[32] = {};
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// Publishes a status message; returns the library's result (traced when it is not success).
int publishStatus(mosquitto* client, const std::string& topic, const std::string& payload, int qos,
                  bool retain, int* mid) {
  const int result = mosquitto_publish(client, mid, topic.c_str(), static_cast<int>(payload.size()),
                                       payload.data(), qos, retain);
  if (result != MOSQ_ERR_SUCCESS)
    TRACE(1, "Error: cannot publish on status topic '", topic, "': ", mosquitto_strerror(result));
  return result;
}

// Network thread: the broker acknowledged a QoS 1 message.
void callback_on_publish(mosquitto*, void*, int mid) {
  CancellationDisabled guard;
  publishSettled(mid);
}

}  // namespace

void publishSettled(int mid) {
  diskBufferAcknowledged(mid);
  {
    std::lock_guard<std::mutex> lock(statusMutex);
    acknowledgedIds.push_back(mid);
    if (acknowledgedIds.size() > kAcknowledgedKept) acknowledgedIds.pop_front();
  }
  statusChanged.notify_all();
}

namespace {

void statisticsLoop(mosquitto* client, std::string topic, uint32_t periodS) {
  std::unique_lock<std::mutex> lock(statusMutex);
  for (;;) {
    if (statusChanged.wait_for(lock, std::chrono::seconds(periodS), [] { return statisticsStop; })) return;
    lock.unlock();
    publishStatus(client, topic, statisticsPayload(), 0, false, nullptr);
    lock.lock();
  }
}

}  // namespace

std::string statusOfflinePayload(const std::string& clientId, const char* reason) {
  rapidjson::StringBuffer buffer;
  Writer writer(buffer);
  writer.StartObject();
  addString(writer, "status", "offline");
  addString(writer, "clientId", clientId);
  addString(writer, "reason", reason);
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string statusOnlinePayload(const std::string& clientId, std::time_t connectedAt,
                                const std::string& broker) {
  rapidjson::StringBuffer buffer;
  Writer writer(buffer);
  writer.StartObject();
  addString(writer, "status", "online");
  addString(writer, "clientId", clientId);
  addString(writer, "service", kServiceName);
  addString(writer, "version", kServiceVersion);
  addString(writer, "connectedAt", rfc3339(connectedAt));
  if (!broker.empty()) addString(writer, "broker", broker);
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string statisticsPayload() {
  rapidjson::StringBuffer buffer;
  Writer writer(buffer);
  writer.StartObject();
  for (const StatisticsField& field : kStatisticsFields) {
    writer.Key(field.name);
    writer.Uint64(field.counter->load());
  }
  if (anyOfflineMaxAge()) {
    writer.Key("expiredFromBuffer");
    writer.Uint64(offlineExpiredTotal.load());
  }
  if (anyMessageExpiry()) {
    writer.Key("expiredBeforeSending");
    writer.Uint64(expiredPayloadCount());
  }
  if (anyIgnoreRetained()) {
    writer.Key("retainedIgnored");
    writer.Uint64(retainedIgnoredCount());
  }
  writer.Key("uptimeS");
  writer.Uint64(static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - serviceStart).count()));
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

void warnStatusTopicSubscribed(const ZAL_MQTT_item& item) {
  const std::string topic = item.getStatusTopic();
  if (topic.empty()) return;
  std::vector<std::string> topics{topic};
  if (item.getStatusPeriodS() != 0) topics.push_back(topic + "/stats");
  for (const std::shared_ptr<ZAL_MQTT_VarTopicSet>& subscription : item.getSubscribeConfigurations()) {
    const std::string filter = subscription->getTopic();
    for (const std::string& published : topics) {
      bool matches = false;
      if (mosquitto_topic_matches_sub(filter.c_str(), published.c_str(), &matches) != MOSQ_ERR_SUCCESS ||
          !matches)
        continue;
      TRACE(1, "Warning: the status topic '", published, "' matches the subscribe filter '", filter,
            "' of ", subscription->getName(), ": the service's own status messages would be written into its variables.");
    }
  }
}

bool prepareStatusTopic(mosquitto* client, const ZAL_MQTT_item& item) {
  statusLinkUp = false;
  const std::string topic = item.getStatusTopic();
  // Acknowledgements are wanted by the status topic and by offline buffers on disk.
  mosquitto_publish_callback_set(client, callback_on_publish);
  if (topic.empty()) return true;
  // No window: what the library kept from before a loss is resent right after the connect
  // callback, and the birth published in that callback then goes first (with a window, a
  // backlog of 20 or more would keep the birth queued behind them).
  mosquitto_max_inflight_messages_set(client, 0);
  const std::string will = statusOfflinePayload(item.getClientID(), "lost");
  const int result =
      mosquitto_will_set(client, topic.c_str(), static_cast<int>(will.size()), will.data(), 1, true);
  if (result != MOSQ_ERR_SUCCESS) {
    TRACE(1, "Error: cannot set the last will on status topic '", topic, "': ", mosquitto_strerror(result));
    return false;
  }
  return true;
}

void statusTopicBirth(mosquitto* client) {
  const std::shared_ptr<ZAL_MQTT_item> item = getConfiguration();
  if (!item || item->getStatusTopic().empty()) return;
  statusLinkUp = true;
  publishStatus(client, item->getStatusTopic(),
                statusOnlinePayload(item->getClientID(), std::time(nullptr), failoverBirthBroker()), 1, true,
                nullptr);
}

void statusTopicConnected(mosquitto* client, const ZAL_MQTT_item& item) {
  ++serviceCounters.connectionsMade;
  const std::string topic = item.getStatusTopic();
  if (topic.empty()) return;

  const uint32_t periodS = item.getStatusPeriodS();
  if (periodS == 0) return;
  statusTopicLeftConnected();  // never expected: the exit action stops the thread
  {
    std::lock_guard<std::mutex> lock(statusMutex);
    statisticsStop = false;
  }
  statisticsThread = std::thread(statisticsLoop, client, topic + "/stats", periodS);
}

void statusTopicLeftConnected() {
  {
    std::lock_guard<std::mutex> lock(statusMutex);
    statisticsStop = true;
  }
  statusChanged.notify_all();
  if (statisticsThread.joinable()) statisticsThread.join();
}

void statusTopicConnectionLost() {
  ++serviceCounters.connectionsLost;
  statusLinkUp = false;
}

void publishOfflineStatus(mosquitto* client, const char* reason) {
  if (client == nullptr || !statusLinkUp.exchange(false)) return;
  const std::shared_ptr<ZAL_MQTT_item> item = getConfiguration();
  if (!item || item->getStatusTopic().empty()) return;
  {
    std::lock_guard<std::mutex> lock(statusMutex);
    acknowledgedIds.clear();
  }
  int mid = 0;
  if (publishStatus(client, item->getStatusTopic(), statusOfflinePayload(item->getClientID(), reason), 1,
                    true, &mid) != MOSQ_ERR_SUCCESS)
    return;
  std::unique_lock<std::mutex> lock(statusMutex);
  const bool acknowledged = statusChanged.wait_for(lock, kOfflineDeliveryWait, [mid] {
    for (const int id : acknowledgedIds)
      if (id == mid) return true;
    return false;
  });
  lock.unlock();
  if (!acknowledged) TRACE(1, "Warning: the broker did not acknowledge the offline status in time.");
}
