// Life-cycle machine: the subscribe path.
//
// The MQTT library's network thread hands every received message to callback_on_message, which
// copies it into subscribeQueue (bounded by the configured limit, payload bytes only) and never
// waits for the variable server or the worker. The subscribe worker, one per connected period,
// takes the copies out in arrival order and writes each into the variables of the first
// subscribe configuration whose topic filter matches, as JSON or as raw text.
//
// The byte count subscribeQueueBytes always equals the sum of the payload lengths of the
// messages in subscribeQueue: every append adds, every removal subtracts (or sets 0 when the
// queue becomes empty, which is then exact), and the reset of the connection set-up recomputes
// it from the queue rather than zeroing it under waiting messages. A removal can therefore never
// underflow it.
//
// Lock rules: subscribeQueueMutex is held only to append, take out or count; trace lines are
// written after it has been released, and nothing else is locked while it is held.
#include <mosquitto.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>

#include "KalpApi.h"
#include "MainThreadPost.h"
#include "Mqtt5.h"
#include "PayloadCodec.h"
#include "SparkplugSession.h"
#include "StatusTopic.h"
#include "SubscribePath.h"
#include "Trace.h"
#include "ZAL_MQTT_item.h"
#include "ZAL_MQTT_lifecycle.h"
#include "ZAL_MQTT_stateMachine.h"

std::deque<mosquitto_message*> subscribeQueue;
std::mutex subscribeQueueMutex;
std::condition_variable subscribeQueueCondition;
uint32_t subscribeQueueBytes = 0;

namespace {

// At process exit, releases the message copies still queued (a wake-up message the last worker
// did not need, messages that arrived after it ended). Defined after the queue, so it runs
// before the queue itself is destroyed.
struct SubscribeQueueRelease {
  ~SubscribeQueueRelease();
} subscribeQueueRelease;

// Payload bytes a message occupies in the queue; the wake-up message (nullptr when it could
// not be allocated) occupies none.
uint32_t queuedBytes(const mosquitto_message* message) {
  return (message && message->payloadlen > 0) ? static_cast<uint32_t>(message->payloadlen) : 0;
}

// The queue limit in bytes for the next message: the configured kB (read under the
// configuration's lock without taking a reference, so that this thread can never end up
// releasing the last reference and closing variable handles itself), or the default when no
// configuration object exists. The byte count is 32 bits wide: a larger limit is capped there.
struct QueueLimit {
  uint64_t kB;
  uint64_t bytes;
};
QueueLimit currentQueueLimit() {
  uint64_t kB = kDefaultSubscribeQueueMemLimitKB;
  {
    std::lock_guard<std::mutex> lock(configurationMutex);
    if (configuration) kB = configuration->getSubscribeQueueMemLimitKB();
  }
  return {kB, std::min<uint64_t>(kB * 1024, std::numeric_limits<uint32_t>::max())};
}

// Owns a message taken out of the queue until it has been processed.
struct MessageRelease {
  void operator()(mosquitto_message* message) const { releaseSubscribeMessage(message); }
};
using MessagePtr = std::unique_ptr<mosquitto_message, MessageRelease>;

// Writes the payload of message into the variables of configuration; true when it was written
// (a raw write succeeded, a JSON payload parsed). Throws on an empty payload and passes on what
// the writes throw.
bool handleSubscribeMessage(const ZAL_MQTT_VarTopicSet& configuration, const mosquitto_message& message) {
  if (!message.payload || message.payloadlen <= 0)
    throw std::runtime_error("subscribe message without payload");
  const char* bytes = static_cast<const char*>(message.payload);
  const std::string text(bytes, strnlen(bytes, static_cast<size_t>(message.payloadlen)));
  if (configuration.getRaw() != 0) {
    const auto variables = configuration.getVariables();
    return !variables.empty() && subscribeRawWrite(configuration.getRawPath(), text) == 0;
  }
  return payloadToVariables(text, configuration.getVariables());
}

// Set after a failed raw write has been reported; one per worker thread.
thread_local bool rawWriteWarned = false;

}  // namespace

void releaseSubscribeMessage(mosquitto_message* message) {
  if (message) mosquitto_message_free(&message);
}

SubscribeQueueRelease::~SubscribeQueueRelease() {
  std::lock_guard<std::mutex> lock(subscribeQueueMutex);
  for (mosquitto_message* message : subscribeQueue) releaseSubscribeMessage(message);
  subscribeQueue.clear();
  subscribeQueueBytes = 0;
}

void resetSubscribeQueueBytes() {
  std::lock_guard<std::mutex> lock(subscribeQueueMutex);
  uint64_t total = 0;
  for (const mosquitto_message* message : subscribeQueue) total += queuedBytes(message);
  subscribeQueueBytes = static_cast<uint32_t>(total);  // bounded by the (capped) limit
}

void wakeSubscribeWorker() {
  // An empty message: empty topic, no payload. It matches no configuration; it only lets the
  // worker return to its check of subscribeRunning. Allocated as the library allocates message
  // copies, so that one release serves all. Should memory be short, a null entry does the same.
  auto* message = static_cast<mosquitto_message*>(std::calloc(1, sizeof(mosquitto_message)));
  if (message) {
    message->topic = strdup("");
    if (!message->topic) {
      std::free(message);
      message = nullptr;
    }
  }
  {
    std::lock_guard<std::mutex> lock(subscribeQueueMutex);
    subscribeQueue.push_back(message);
  }
  subscribeQueueCondition.notify_all();
}

void callback_on_message(mosquitto* /*client*/, void* /*userdata*/, const mosquitto_message* message) {
  CancellationDisabled noCancellation;
  if (!message) return;
  ++serviceCounters.received;

  auto* record = static_cast<mosquitto_message*>(std::calloc(1, sizeof(mosquitto_message)));
  if (!record) {
    ++serviceCounters.queueDrops;
    return;
  }
  if (mosquitto_message_copy(record, message) != MOSQ_ERR_SUCCESS) {
    // The library has released whatever it had copied: only the record is left.
    std::free(record);
    ++serviceCounters.queueDrops;
    return;
  }
  MessagePtr copy(record);

  // Nothing may leave this function by an exception: it returns into the library's C code. A
  // message that cannot be queued (no memory) is dropped like one beyond the limit.
  try {
    const QueueLimit limit = currentQueueLimit();
    const uint32_t length = queuedBytes(copy.get());
    bool accepted = false;
    size_t count = 0;
    uint32_t bytes = 0;
    {
      std::lock_guard<std::mutex> lock(subscribeQueueMutex);
      if (static_cast<uint64_t>(subscribeQueueBytes) + length <= limit.bytes) {
        subscribeQueue.push_back(copy.get());
        copy.release();  // owned by the queue from here
        subscribeQueueBytes += length;
        accepted = true;
        count = subscribeQueue.size();
        bytes = subscribeQueueBytes;
      }
    }
    if (!accepted) {
      ++serviceCounters.queueDrops;
      copy.reset();
      TRACE(3, "size of subscribe message queue will exceed ", limit.kB, " kB RAM. Dropped message.");
      return;
    }
    subscribeQueueCondition.notify_all();
    TRACE(3, "Enqueueing subscribe message. ", count, " subscribe messages in queue currently occupy ", bytes,
          " bytes of RAM.");
  } catch (...) {
  }
}

uint32_t subscribeRawWrite(const std::shared_ptr<GVPvariable>& variable, const std::string& text) {
  if (!variable) throw std::runtime_error("raw write without a variable");
  return subscribeRawWrite(variable->getPath() + variable->getName(), text);
}

uint32_t subscribeRawWrite(const std::string& path, const std::string& text) {
  const uint32_t status = KalpApiVarTxtWrite(path.c_str(), text.c_str());
  if (status != 0 && !rawWriteWarned) {
    TRACE(1, "Warning: last raw write to '", path, "' failed with state: 0x", hexString(status));
    rawWriteWarned = true;
  } else if (status == 0 && rawWriteWarned) {
    TRACE(1, "Raw write to '", path, "' is ok, again.");
    rawWriteWarned = false;
  }
  return status;
}

void subscribeWorker() {
  TRACE(1, "subscribe thread started..");
  rawWriteWarned = false;

  while (subscribeRunning.load() == 1) {
    MessagePtr message;
    bool last = false;
    size_t left = 0;
    uint32_t bytes = 0;
    {
      std::unique_lock<std::mutex> lock(subscribeQueueMutex);
      subscribeQueueCondition.wait(lock, [] { return !subscribeQueue.empty(); });
      message.reset(subscribeQueue.front());
      subscribeQueue.pop_front();
      if (subscribeQueue.empty()) {
        last = true;
        subscribeQueueBytes = 0;
      } else {
        subscribeQueueBytes -= queuedBytes(message.get());
        left = subscribeQueue.size();
        bytes = subscribeQueueBytes;
      }
    }
    if (last) {
      TRACE(2, "Processing last subscribe message in queue.");
    } else {
      TRACE(2, "Dequeuing subscribe message. ", left, " subscribe messages in queue currently occupy ", bytes,
            " bytes of RAM.");
    }

    const std::shared_ptr<ZAL_MQTT_item> config = getConfiguration();
    if (!config) {
      TRACE(1, "Error: subscribe thread started without valid MQTT configuration object!");
      // The message goes back to the head of the queue for the next worker, counted again.
      {
        std::lock_guard<std::mutex> lock(subscribeQueueMutex);
        subscribeQueue.push_front(message.get());
        subscribeQueueBytes += queuedBytes(message.release());
      }
      // The main thread may be joining this worker while it holds its job: posting never
      // waits for a running job, so this cannot hold up the join.
      try {
        postToMainThread(&ZAL_MQTT_stateMachine::error);
      } catch (const std::exception& e) {
        TRACE(1, "Error: cannot post the error event: ", e.what());
      }
      break;
    }

    const char* topic = message ? message->topic : nullptr;
    if (!topic || topic[0] == '\0') continue;  // the wake-up message: matches nothing
    try {
      // A Sparkplug edge node's commands (binary payloads, the whole length).
      if (message->payloadlen > 0 && sparkplugActive() &&
          sparkplugCommand(mosqClient, topic,
                           std::string(static_cast<const char*>(message->payload),
                                       static_cast<size_t>(message->payloadlen)))) {
        ++serviceCounters.applied;
        continue;
      }
      for (const auto& subscription : config->getSubscribeConfigurations()) {
        if (!subscription) continue;
        bool match = false;
        mosquitto_topic_matches_sub(subscription->getTopic().c_str(), topic, &match);
        if (!match) continue;
        if (skipRetainedMessage(*subscription, *message)) break;
        if (handleSubscribeMessage(*subscription, *message)) ++serviceCounters.applied;
        break;
      }
    } catch (...) {
      TRACE(1, "Error: could not parse and/or transfer subscribe message payload.");
      TRACE(1, "Affected topic is ", topic, ".");
    }
  }

  TRACE(1, "end subscribe thread.");
}

size_t dropQueuedSubscribeMessages() {
  std::deque<mosquitto_message*> dropped;
  {
    std::lock_guard<std::mutex> lock(subscribeQueueMutex);
    dropped.swap(subscribeQueue);
    subscribeQueueBytes = 0;
  }
  size_t count = 0;
  for (mosquitto_message* message : dropped) {
    if (message && message->topic && message->topic[0] != '\0') ++count;  // not a wake-up message
    releaseSubscribeMessage(message);
  }
  serviceCounters.queueDrops += count;
  if (count > 0) TRACE(1, "Subscribe queue: ", count, " received messages dropped (error).");
  return count;
}
