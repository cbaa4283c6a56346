// Life-cycle machine: connected state and the publish workers.
#include <mosquitto.h>

#include <chrono>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <thread>

#include "AutomaticRetry.h"
#include "DiskBuffer.h"
#include "KalpApi.h"
#include "MainThreadPost.h"
#include "Mqtt5.h"
#include "OfflineBuffer.h"
#include "PayloadCodec.h"
#include "SampleTime.h"
#include "SparkplugSession.h"
#include "StatusTopic.h"
#include "Trace.h"
#include "ZAL_MQTT_item.h"
#include "ZAL_MQTT_lifecycle.h"
#include "ZAL_MQTT_stateMachine.h"

namespace {

// The payload published for a raw set whose variable cannot be read.
constexpr const char* kRawFailurePayload = "************** Error Occurred **************";
// Buffer size for the text of a raw set's variable.
constexpr uint32_t kRawBufferSize = 255;

const char* readStatusText(uint32_t status) {
  switch (status) {
    case 0:
      return " - was read again, while publishing topic: ";
    case KALPAPI_E_INVALID_PARAMETER:
      return " - had an invalid parameter, while publishing topic: ";
    case KALPAPI_E_NO_COMMUNICATION:
      return " - no com. with var. server, while publishing topic: ";
    case KALPAPI_E_UNKNOWN:
      return " - unknown error, while publishing topic: ";
    case KALPAPI_E_NOT_FOUND:
      return " - was not found, while publishing topic: ";
    case KALPAPI_E_ACCESS_DENIED:
      return " - was not permitted to be accessed, while publishing topic: ";
    default:
      return " - unhandeld error type, while publishing topic: ";
  }
}

const char* publishResultText(int result) {
  switch (result) {
    case MOSQ_ERR_SUCCESS:
      return " - was published again";
    case MOSQ_ERR_NOMEM:
      return " - invalid out of memory on service level";
    case MOSQ_ERR_PROTOCOL:
      return " - protocol error between client and broker";
    case MOSQ_ERR_INVAL:
      return " - invalid parameter on service level";
    case MOSQ_ERR_NO_CONN:
      return " - connection to broker lost during publishing";
    case MOSQ_ERR_PAYLOAD_SIZE:
      return " - the payload length is too large";
    case MOSQ_ERR_MALFORMED_UTF8:
      return " - the topic is not valid UTF-8 formated";
    case MOSQ_ERR_QOS_NOT_SUPPORTED:
      return " - the QoS is higher than the broker can accept";
    case MOSQ_ERR_OVERSIZE_PACKET:
      return " - the packet is too large for the broker";
    case MOSQ_ERR_RETAIN_NOT_SUPPORTED:
      return " - the broker does not keep retained messages";
    default:
      return " - undefined error occurs";
  }
}

// Traces text once per run of exceptions of one set: the flag is set even when the level
// suppresses the line, and cleared again after the set's next publish.
void reportOnce(std::vector<char>& exceptionReported, size_t j, const std::string& text) {
  if (!exceptionReported[j]) TRACE(1, text);
  exceptionReported[j] = true;
}

// Sends what the offline buffer kept, oldest first, with each payload's own QoS and retain flag;
// a result is traced like that of a direct publish of its set. Stops, keeping the rest, when
// there is no connection (again) or the worker is asked to stop.
void drainOfflineBuffer(OfflineBuffer& offline, std::vector<int>& lastPublishResult,
                        const std::atomic<uint8_t>& stop, const ZAL_MQTT_publish& publish,
                        const std::vector<std::shared_ptr<ZAL_MQTT_VarTopicSet>>& sets) {
  size_t sent = 0;
  BufferedPayload entry;
  while (stop.load() == 0 && offline.takeFront(entry)) {
    const bool json = entry.set < sets.size() && sets[entry.set]->getRaw() == 0;
    const auto age = std::chrono::steady_clock::now() - entry.madeAt;
    const int result =
        publishPayload(mosqClient, nullptr, publish, json, entry.topic, entry.payload, entry.qos,
                       entry.retain, std::chrono::duration_cast<std::chrono::milliseconds>(age).count());
    if (result == kPayloadExpired) continue;  // counted; reported below
    if (entry.set < lastPublishResult.size() && result != lastPublishResult[entry.set]) {
      TRACE(1, "Topic: ", entry.topic, publishResultText(result));
      lastPublishResult[entry.set] = result;
    }
    if (result == MOSQ_ERR_NO_CONN) {
      offline.restoreFront(std::move(entry));
      break;
    }
    if (result == MOSQ_ERR_SUCCESS) {
      offline.countSent();
      ++sent;
    }
  }
  if (sent > 0) TRACE(2, "Offline buffer of ", offline.label(), ": ", sent, " buffered payloads sent.");
  reportExpiredPayloads("Offline buffer of " + offline.label());
}

enum class PublishMode {
  Publish,  // connected: publish (after what the offline buffer kept)
  Buffer,   // connection lost: keep every payload in the offline buffer
};

void runPublishWorker(size_t i, PublishMode mode, const std::atomic<uint8_t>& stop);

}  // namespace

void publishWorker(size_t i) { runPublishWorker(i, PublishMode::Publish, publishStop); }

void offlineSampler(size_t index, const std::atomic<uint8_t>& stop) {
  runPublishWorker(index, PublishMode::Buffer, stop);
}

namespace {

void runPublishWorker(size_t i, PublishMode mode, const std::atomic<uint8_t>& stop) {
  // A Sparkplug edge node sends births and data of its own, and keeps nothing while the
  // connection is lost: the birth after the reconnection carries the current values.
  if (sparkplugActive()) {
    if (mode == PublishMode::Publish) sparkplugPublishWorker(i, stop);
    return;
  }
  const std::shared_ptr<ZAL_MQTT_item> item = getConfiguration();
  if (!item) return;
  const std::vector<std::shared_ptr<ZAL_MQTT_publish>> publishConfigurations =
      item->getPublishConfigurations();
  if (i >= publishConfigurations.size()) return;
  const std::shared_ptr<ZAL_MQTT_publish> publish = publishConfigurations[i];

  const uint32_t periodMs = publish->getPublishPeriodms();
  // Each publishing worker runs for one connection: its first cycle is the first after the
  // connect. A sampler of the offline buffer has no connection.
  bool firstCycle = mode == PublishMode::Publish;
  if (stop.load() == 1) return;
  // Store and forward and sample times, when configured (empty / null when not).
  // On disk when the configuration names a file that can be used, else in memory.
  const std::shared_ptr<DiskBuffer> disk = diskBufferFor(i, *publish);
  const std::shared_ptr<OfflineBuffer> offline = disk ? nullptr : offlineBufferFor(i, *publish);
  std::vector<StoredRecord> kept;  // one cycle's payloads for the disk buffer, one transaction
  const std::string timestampMember = publish->getTimestampMember();

  std::vector<int> lastPublishResult;
  std::vector<uint32_t> lastReadStatus;
  std::vector<char> exceptionReported;
  // When each set last gave a payload (published or kept), for the heartbeat of uiMaxSilenceS.
  std::vector<std::chrono::steady_clock::time_point> lastPayload;
  const uint32_t maxSilenceS = publish->getMaxSilenceS();
  // An on-change set that publishes its whole payload and whose change test failed part way
  // (a read error) is not published from half-refreshed snapshots; it publishes at its next
  // cycle whose test succeeds, so that a change the failed test consumed is not lost.
  std::vector<char> publishDue;
  std::string payload;
  rapidjson::StringBuffer buffer;

  for (;;) {
    const std::vector<std::shared_ptr<ZAL_MQTT_VarTopicSet>> sets = publish->getVariableTopicSets();
    lastPublishResult.resize(sets.size(), 0);
    lastReadStatus.resize(sets.size(), 0);
    exceptionReported.resize(sets.size(), false);
    lastPayload.resize(sets.size(), std::chrono::steady_clock::now());
    publishDue.resize(sets.size(), false);
    if (offline && mode == PublishMode::Publish)
      drainOfflineBuffer(*offline, lastPublishResult, stop, *publish, sets);
    const auto reportResult = [&lastPublishResult](size_t set, const std::string& topic, int result) {
      if (set < lastPublishResult.size() && result != lastPublishResult[set]) {
        TRACE(1, "Topic: ", topic, publishResultText(result));
        lastPublishResult[set] = result;
      }
    };
    // A kept payload goes out as a fresh one would, with the expiry it has left.
    const auto publishKept = [&publish, &sets](const StoredRecord& r, int64_t ageMs, int* mid) {
      const bool json = r.tag < sets.size() && sets[r.tag]->getRaw() == 0;
      return publishPayload(mosqClient, mid, *publish, json, r.topic, r.payload, r.qos, r.retain, ageMs);
    };
    if (disk && mode == PublishMode::Publish) {
      disk->drain(mosqClient, std::chrono::steady_clock::now(), stop, reportResult, publishKept);
      reportExpiredPayloads(disk->label());
    }

    for (size_t j = 0; j < sets.size(); ++j) {
      const std::shared_ptr<ZAL_MQTT_VarTopicSet>& set = sets[j];
      try {
        const std::string topic = set->getTopic();
        const bool onChange = set->getSendOnValueChange() != 0;
        const bool onlyChanged = set->getSendOnlyChanged() != 0;
        const std::vector<std::shared_ptr<GVPvariable>> variables = set->getVariables();
        std::vector<std::shared_ptr<GVPvariable>> changedNodes;
        auto sampledAt = std::chrono::system_clock::now();  // the change test reads the values now

        if (onChange) {
          // Every root variable is tested, so that every snapshot is refreshed. The snapshots
          // are then the payload's values: nothing is read a second time.
          bool changed = false;
          bool testFailed = false;
          std::vector<std::shared_ptr<GVPvariable>> tested;  // roots whose test went through
          for (const std::shared_ptr<GVPvariable>& variable : variables) {
            if (!onlyChanged) {
              try {
                if (variable->hasChanged()) changed = true;
              } catch (const std::exception& e) {
                testFailed = true;
                reportOnce(
                    exceptionReported, j,
                    std::string("Exception occurred during send-on-change change test: <<") + e.what());
              }
            } else {
              try {
                std::shared_ptr<GVPvariable> out;
                if (variable->getChanged(out)) {
                  if (!out)
                    throw std::runtime_error(
                        "Error in publish thread: getChanged() returned empty shared_ptr!");
                  changedNodes.push_back(out);
                  changed = true;
                }
                tested.push_back(variable);
              } catch (const std::exception& e) {
                reportOnce(
                    exceptionReported, j,
                    std::string("Exception occurred during send-only-changed change test: <<") + e.what());
              }
            }
          }
          if (firstCycle && publish->getFullOnConnect() != 0) {
            changed = true;  // the whole set, as after the start; the snapshots are fresh
            changedNodes = onlyChanged ? tested : variables;
          }
          if (testFailed) {
            publishDue[j] = true;
            continue;
          }
          if (publishDue[j]) changed = true;
          if (!changed && maxSilenceS != 0 &&
              std::chrono::steady_clock::now() - lastPayload[j] >= std::chrono::seconds(maxSilenceS)) {
            changed = true;  // heartbeat: the whole set once, so that silence means "unchanged"
            changedNodes = variables;
          }
          if (!changed) continue;
        }

        if (set->getRaw() != 0) {
          if (variables.empty()) continue;  // a raw set without a variable publishes nothing
          const std::string& path = set->getRawPath();  // the configured variable, at any depth
          char text[kRawBufferSize + 1] = {};
          const uint32_t status = KalpApiVarTxtRead(path.c_str(), text, kRawBufferSize);
          if (status != lastReadStatus[j]) TRACE(1, "Variable: ", path, readStatusText(status), topic);
          if (status == 0) {
            payload.assign(text, strnlen(text, kRawBufferSize));
          } else {
            payload = kRawFailurePayload;
          }
          lastReadStatus[j] = status;
        } else {
          if (onChange) {
            snapshotToJSON(onlyChanged ? changedNodes : variables, buffer);
          } else {
            sampledAt = std::chrono::system_clock::now();  // the values are read now
            toJSON(variables, buffer);
          }
          payload.assign(buffer.GetString(), buffer.GetSize());
          if (!timestampMember.empty())
            appendStringMember(payload, timestampMember, sampleTimeText(sampledAt));
        }

        // The payload is made: what it holds is the published value of the deadband members,
        // whether it goes out now or waits in the offline buffer.
        lastPayload[j] = std::chrono::steady_clock::now();
        if (set->getDeadband() > 0)
          for (const std::shared_ptr<GVPvariable>& node : onChange && onlyChanged ? changedNodes : variables)
            node->markPublished();

        const int qos = static_cast<int>(set->getQoS().value_or(publish->getQoS()));
        const bool retain = set->getRetain().value_or(publish->getRetain()) != 0;
        // While the connection is lost, and while older payloads still wait, a payload joins
        // the offline buffer behind them (QoS and retain flag of the direct publish below).
        if (disk && (mode == PublishMode::Buffer || disk->pending())) {
          kept.push_back(DiskBuffer::record(j, topic, payload, qos, retain));
          exceptionReported[j] = false;
          continue;
        }
        if (offline && (mode == PublishMode::Buffer || !offline->empty())) {
          offline->append({j, topic, payload, qos, retain});
          exceptionReported[j] = false;
          publishDue[j] = false;
          continue;
        }

        int mid = 0;
        const int result =
            publishPayload(mosqClient, &mid, *publish, set->getRaw() == 0, topic, payload, qos, retain, 0);
        if (disk && result == MOSQ_ERR_SUCCESS && qos > 0)
          disk->publishedLive(mid, DiskBuffer::record(j, topic, payload, qos, retain));
        ++(result == MOSQ_ERR_SUCCESS ? serviceCounters.published : serviceCounters.publishFailures);
        // Lost before the machine has noticed: kept for after the reconnection, not lost.
        if (offline && result == MOSQ_ERR_NO_CONN) offline->append({j, topic, payload, qos, retain});
        if (disk && result == MOSQ_ERR_NO_CONN)
          kept.push_back(DiskBuffer::record(j, topic, payload, qos, retain));
        if (result != lastPublishResult[j]) {
          TRACE(1, "Topic: ", topic, publishResultText(result));
          lastPublishResult[j] = result;
        }
        exceptionReported[j] = false;
        publishDue[j] = false;
      } catch (const std::exception& e) {
        reportOnce(exceptionReported, j, std::string("Exception occurred: <<") + e.what());
      }
    }

    firstCycle = false;
    if (disk) disk->append(kept);
    const auto nextCycle = std::chrono::steady_clock::now() + std::chrono::milliseconds(periodMs);
    // What the disk buffer keeps goes out while the worker waits for its next cycle.
    if (disk && mode == PublishMode::Publish) {
      disk->drain(mosqClient, nextCycle, stop, reportResult, publishKept);
      reportExpiredPayloads(disk->label());
    }
    if (periodMs > 0) sleepUntilOrStop(nextCycle, stop);
    if (stop.load() == 1) return;
  }
}

}  // namespace

void ZAL_MQTT_stateMachine::EN_EntryConnected(const EventData*) {
  TRACE(1, "state action: Entry connected");
  stopOfflineSampling();  // what the samplers kept is sent by the new workers first
  const std::shared_ptr<ZAL_MQTT_item> item = getConfiguration();
  if (item) statusTopicConnected(mosqClient, *item);  // the birth went out from the connect callback
  automaticRetryConnected();

  publishStop = 0;
  subscribeRunning = 1;
  if (subscribeThread.joinable()) subscribeThread.join();  // never expected: the exit action joins it
  subscribeThread = std::thread(subscribeWorker);

  if (item) {
    const size_t count = item->getPublishConfigurations().size();
    for (size_t i = 0; i < count; ++i)
      publishThreads.push_back(std::make_unique<std::thread>(publishWorker, i));

    // A Sparkplug edge node subscribes to its commands instead.
    const bool sparkplugCommands = sparkplugSubscribe(mosqClient);
    for (const std::shared_ptr<ZAL_MQTT_VarTopicSet>& subscription : item->getSubscribeConfigurations()) {
      if (sparkplugCommands) break;
      const std::string topic = subscription->getTopic();
      if (subscribeTopic(mosqClient, *subscription) == MOSQ_ERR_SUCCESS) {
        TRACE(1, "subscribed to topic '", topic, "'.");
      } else {
        TRACE(1, "Error: could not subscribe to topic '", topic, "'.");
      }
    }
  }

  try {
    if (!item) throw std::runtime_error("no ZAL_MQTT_configuration object.");
    item->writeConnectedToBroker(1);
  } catch (const std::exception& e) {
    TRACE(1, "Exception: cannot set xConnectedToBroker:");
    TRACE(1, e.what());
    // This action runs on the main thread: the event goes through a thread of its own.
    postFromNewThread(&ZAL_MQTT_stateMachine::error);
  }
}

void ZAL_MQTT_stateMachine::ST_Connected(const EventData*) {
  TRACE(1, "state: Connected");
  TRACE(1, "end of state function 'connected'");
}

void ZAL_MQTT_stateMachine::EX_ExitConnected() {
  TRACE(1, "state action: Exit connected");
  try {
    const std::shared_ptr<ZAL_MQTT_item> item = getConfiguration();
    if (!item) throw std::runtime_error("no ZAL_MQTT_configuration object.");
    item->writeConnectedToBroker(0);
  } catch (const std::exception& e) {
    TRACE(1, "Exception: cannot clear xConnectedToBroker:");
    TRACE(1, e.what());
    postFromNewThread(&ZAL_MQTT_stateMachine::error);
  }

  publishStop = 1;
  subscribeRunning = 0;
  wakeSubscribeWorker();
  statusTopicLeftConnected();
  automaticRetryLeftConnected();

  for (std::unique_ptr<std::thread>& thread : publishThreads) {
    if (thread && thread->joinable()) thread->join();
    thread.reset();
  }
  publishThreads.clear();
  TRACE(1, "All publish threads are joint and deleted");

  if (subscribeThread.joinable()) subscribeThread.join();
  TRACE(1, "subscribe thread stopped.");
}
