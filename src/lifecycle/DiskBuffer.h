// The offline buffer on disk (strOfflineBufferFile): the hooks of the life cycle around the
// store's DiskQueue. While the connection is lost, the configuration's sampler appends each
// cycle's payloads as one batch; once connected, its publish worker sends what is kept, oldest
// first and before any newer payload, at each payload's own QoS and retain flag, with at most a
// window of payloads unacknowledged at once; a payload is removed from the file once the broker
// acknowledged it (QoS 1 and 2) or the MQTT library took it (QoS 0). What is kept stays kept
// across a requested disconnect, an error, SIGINT, a crash and a power cut; the next connection
// sends it.
//
// Lock rules: diskAckMutex (DiskBuffer.cpp) guards the payloads in flight of every disk buffer
// and the ids acknowledged; taken by the network thread (publish callback), the publish workers
// and samplers, and state actions, for a few statements, never while the store writes, never
// together with another lock of the service.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "DiskQueue.h"

class ZAL_MQTT_item;
class ZAL_MQTT_publish;
struct mosquitto;

// Payloads kept on disk that were older than their configuration's uiOfflineMaxAgeS when their
// turn came, since the service started (the statistics message's expiredFromBuffer).
extern std::atomic<uint64_t> offlineExpiredTotal;

// The MQTT library's in-flight window (MOSQ_OPT_SEND_MAXIMUM's default), which a drain fills at
// most unless uiMaxInflightMessages says otherwise.
constexpr size_t kDiskDrainWindow = 20;

class DiskBuffer {
 public:
  // How the drain reports the result of one publish: the payload's set, its topic, the result.
  using PublishReport = std::function<void(size_t set, const std::string& topic, int result)>;
  // How the drain publishes one kept payload, given how long it was kept: the MQTT library's
  // result, or kPayloadExpired (Mqtt5.h) for one that expired unsent, which is removed like a
  // sent one. Empty: mosquitto_publish as it stands.
  using PublishRecord = std::function<int(const StoredRecord& record, int64_t ageMs, int* mid)>;

  DiskBuffer(std::unique_ptr<DiskQueue> queue, std::string label, uint32_t maxAgeS, size_t window);
  ~DiskBuffer();

  // A record for a payload sampled now.
  static StoredRecord record(size_t set, const std::string& topic, const std::string& payload, int qos,
                             bool retain);
  // Appends the batch in one transaction and empties it; counts kept and dropped payloads.
  void append(std::vector<StoredRecord>& batch);
  // Kept payloads not yet handed to the MQTT library: a new payload must wait behind them.
  bool pending() const;
  // Sends kept payloads, oldest first, keeping at most the window unacknowledged, and removes
  // those acknowledged; returns at deadline, when stop is set, when nothing is left to send or
  // acknowledge, or when there is no connection.
  void drain(mosquitto* client, std::chrono::steady_clock::time_point deadline,
             const std::atomic<uint8_t>& stop, const PublishReport& report,
             const PublishRecord& publishRecord = nullptr);
  // Publish worker: a new payload was published directly at QoS 1 or 2 as message mid. It is
  // held here until the broker acknowledges it, so that a connection that breaks before the
  // loss is noticed does not leave it in the MQTT library's memory only.
  void publishedLive(int mid, StoredRecord record);
  // Entry of ST_CONNECTIONLOST, before the samplers start: the live payloads not acknowledged
  // go into the file, ahead of what the outage brings.
  void keepUnacknowledgedLive();
  // Removes the payloads acknowledged so far (also done by append and drain).
  void removeAcknowledged();
  // The connection's library state is gone (the client is made anew): payloads sent but not
  // acknowledged are sent again by the next drain.
  void forgetInFlight();

  uint64_t takeDroppedSinceReport() { return droppedSinceReport_.exchange(0); }
  const std::string& label() const { return label_; }
  const DiskQueue& queue() const { return *queue_; }

  // Under diskAckMutex: the payload with this id, or the live payload with this mid (id 0), was
  // acknowledged.
  void acknowledgedLocked(int64_t id, int mid);

 private:
  void expire();

  const std::unique_ptr<DiskQueue> queue_;
  const std::string label_;
  const uint32_t maxAgeS_;
  const size_t window_;
  // Guarded by diskAckMutex:
  int64_t sentUpTo_ = 0;                           // the newest id handed to the library
  size_t inFlight_ = 0;                            // handed over at QoS 1 or 2, not yet acknowledged
  std::vector<int64_t> acked_;                     // acknowledged, not yet removed
  std::deque<std::pair<int, StoredRecord>> live_;  // published directly, not acknowledged, oldest first
  uint64_t sentSinceReport_ = 0;
  std::atomic<uint64_t> droppedSinceReport_{0};
};

// The disk buffer of the publish configuration at index, opened on first use; an empty pointer
// when it has none, or when its file cannot be used (traced once; the buffer is then in memory).
std::shared_ptr<DiskBuffer> diskBufferFor(size_t index, const ZAL_MQTT_publish& publish);

// Network thread (the library's publish callback): the broker acknowledged message id mid.
void diskBufferAcknowledged(int mid);
// Entry of ST_CONNECTED (with the samplers joined): traces, per disk buffer, the payloads
// dropped during the outage, as the memory buffers do.
void reportDiskBufferDrops();
// A requested disconnect, an error or SIGINT: the samplers are joined; removes what was
// acknowledged, forgets what is in flight, traces per file how much stays kept, and closes the
// files (the next use opens them again, perhaps from a new configuration).
void releaseDiskBuffers(const char* why);
// Entry of ST_CONNECTIONLOST: keepUnacknowledgedLive for every disk buffer.
void diskBuffersConnectionLost();
// Connection set-up: with uiMaxInflightMessages, sets the MQTT library's in-flight window
// (MOSQ_OPT_SEND_MAXIMUM); false, traced, when the library refuses it.
bool setInflightWindow(mosquitto* client, const ZAL_MQTT_item& item);
// Whether any publish configuration has a maximum age (the statistics message then counts).
bool anyOfflineMaxAge();
