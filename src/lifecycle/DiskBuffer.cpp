// The offline buffer on disk: opening it per publish configuration, the drain, the
// acknowledgements.
#include "DiskBuffer.h"

#include <mosquitto.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "Mqtt5.h"
#include "OfflineBuffer.h"
#include "Trace.h"
#include "ZAL_MQTT_item.h"
#include "ZAL_MQTT_lifecycle.h"

std::atomic<uint64_t> offlineExpiredTotal{0};

namespace {

using SteadyClock = std::chrono::steady_clock;

// Acknowledged payloads are removed from the file once this many wait, or this long after the
// last removal, and whenever a drain returns.
constexpr size_t kRemoveBatch = 256;
constexpr auto kRemoveEvery = std::chrono::milliseconds(100);
// Kept payloads a drain reads from the file at once.
constexpr size_t kReadAhead = 256;

// How long an acknowledgement that matches no payload in flight is kept: a drain may learn the
// id of its publish only after the acknowledgement came.
constexpr auto kUnmatchedKept = std::chrono::seconds(10);

struct InFlight {
  DiskBuffer* buffer;
  int64_t id;
};
struct Unmatched {
  int mid;
  SteadyClock::time_point at;
};

// Guarded by diskAckMutex (see DiskBuffer.h).
std::mutex diskAckMutex;
std::condition_variable diskAckArrived;
std::deque<int> ackedMids;              // from the publish callback, not yet matched
std::map<int, InFlight> inFlightByMid;  // payloads of every disk buffer handed to the library
std::deque<Unmatched> unmatchedMids;    // acknowledgements of ids no drain had registered yet
std::atomic<int> openBuffers{0};        // the callback records ids only while a buffer is open

// Matches the acknowledgements that came in against the payloads in flight. diskAckMutex held.
void matchAcknowledgementsLocked() {
  const auto now = SteadyClock::now();
  while (!unmatchedMids.empty() && now - unmatchedMids.front().at > kUnmatchedKept) unmatchedMids.pop_front();
  for (const int mid : ackedMids) {
    const auto found = inFlightByMid.find(mid);
    if (found == inFlightByMid.end()) {
      unmatchedMids.push_back({mid, now});  // a status message's, a live sample's, or not yet registered
      continue;
    }
    found->second.buffer->acknowledgedLocked(found->second.id, mid);
    inFlightByMid.erase(found);
  }
  ackedMids.clear();
}

// Registers message mid of buffer (id 0: a live payload); false when its acknowledgement had
// come already.
bool registerInFlightLocked(int mid, DiskBuffer* buffer, int64_t id) {
  for (auto it = unmatchedMids.begin(); it != unmatchedMids.end(); ++it)
    if (it->mid == mid) {
      unmatchedMids.erase(it);
      return false;
    }
  inFlightByMid[mid] = {buffer, id};
  return true;
}

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The disk buffers by publish configuration index; a failed slot is remembered, so that a file
// that cannot be used is traced once, not every cycle. Guarded by registryMutex.
struct Slot {
  std::shared_ptr<DiskBuffer> buffer;
  std::string path;
  bool failed = false;
};
std::mutex registryMutex;
std::vector<Slot> registry;

std::string labelOf(const ZAL_MQTT_publish& publish) {
  const std::string path = publish.getName();
  const size_t dot = path.rfind('.');
  return "Offline buffer of " + (dot == std::string::npos ? path : path.substr(dot + 1));
}

}  // namespace

DiskBuffer::DiskBuffer(std::unique_ptr<DiskQueue> queue, std::string label, uint32_t maxAgeS, size_t window)
    : queue_(std::move(queue)), label_(std::move(label)), maxAgeS_(maxAgeS), window_(window) {
  ++openBuffers;
}

DiskBuffer::~DiskBuffer() {
  std::lock_guard<std::mutex> lock(diskAckMutex);
  for (auto it = inFlightByMid.begin(); it != inFlightByMid.end();)
    it = it->second.buffer == this ? inFlightByMid.erase(it) : std::next(it);
  --openBuffers;
}

StoredRecord DiskBuffer::record(size_t set, const std::string& topic, const std::string& payload, int qos,
                                bool retain) {
  StoredRecord r;
  r.sampledMs = nowMs();
  r.tag = static_cast<uint32_t>(set);
  r.qos = qos;
  r.retain = retain;
  r.topic = topic;
  r.payload = payload;
  return r;
}

void DiskBuffer::acknowledgedLocked(int64_t id, int mid) {
  if (id == 0) {
    for (auto it = live_.begin(); it != live_.end(); ++it)
      if (it->first == mid) {
        live_.erase(it);
        break;
      }
    return;
  }
  acked_.push_back(id);
  if (inFlight_ > 0) --inFlight_;
}

void DiskBuffer::publishedLive(int mid, StoredRecord record) {
  std::lock_guard<std::mutex> lock(diskAckMutex);
  if (registerInFlightLocked(mid, this, 0)) live_.emplace_back(mid, std::move(record));
}

void DiskBuffer::keepUnacknowledgedLive() {
  std::vector<StoredRecord> batch;
  {
    std::lock_guard<std::mutex> lock(diskAckMutex);
    matchAcknowledgementsLocked();
    for (auto& [mid, record] : live_) {
      inFlightByMid.erase(mid);
      batch.push_back(std::move(record));
    }
    live_.clear();
  }
  append(batch);
}

void DiskBuffer::removeAcknowledged() {
  std::vector<int64_t> ids;
  {
    std::lock_guard<std::mutex> lock(diskAckMutex);
    matchAcknowledgementsLocked();
    ids.swap(acked_);
  }
  if (queue_->remove(ids)) return;
  // Not removed (a full disk): tried again next time.
  std::lock_guard<std::mutex> lock(diskAckMutex);
  acked_.insert(acked_.begin(), ids.begin(), ids.end());
}

void DiskBuffer::append(std::vector<StoredRecord>& batch) {
  removeAcknowledged();
  if (batch.empty()) return;
  const uint64_t dropped = queue_->append(batch);
  offlineBufferTotals.buffered += batch.size();
  offlineBufferTotals.dropped += dropped;
  droppedSinceReport_ += dropped;
  batch.clear();
}

bool DiskBuffer::pending() const {
  const uint64_t kept = queue_->count();
  std::lock_guard<std::mutex> lock(diskAckMutex);
  // Every kept payload is either handed over (up to sentUpTo_, in flight or about to be
  // removed) or pending; the count of those handed over is what is in flight or acknowledged.
  return kept > inFlight_ + acked_.size();
}

void DiskBuffer::forgetInFlight() {
  removeAcknowledged();
  std::lock_guard<std::mutex> lock(diskAckMutex);
  for (auto it = inFlightByMid.begin(); it != inFlightByMid.end();)
    it = it->second.buffer == this ? inFlightByMid.erase(it) : std::next(it);
  inFlight_ = 0;
  sentUpTo_ = 0;
  live_.clear();
}

void DiskBuffer::expire() {
  if (maxAgeS_ == 0) return;
  int64_t after = 0;
  {
    std::lock_guard<std::mutex> lock(diskAckMutex);
    after = sentUpTo_;
  }
  const uint64_t expired = queue_->removeSampledBefore(after, nowMs() - int64_t{maxAgeS_} * 1000);
  if (expired == 0) return;
  offlineExpiredTotal += expired;
  TRACE(1, label_, ": ", expired, " kept payloads older than ", maxAgeS_, " s dropped.");
}

void DiskBuffer::drain(mosquitto* client, SteadyClock::time_point deadline, const std::atomic<uint8_t>& stop,
                       const PublishReport& report, const PublishRecord& publishRecord) {
  expire();
  auto lastRemoval = SteadyClock::now();
  std::deque<StoredRecord> ahead;  // read from the file, not yet sent (ids above sentUpTo_)
  for (;;) {
    // Acknowledged payloads leave the file in batches (one synced transaction each), so that
    // the removals neither hold up the window nor wear the medium one payload at a time.
    size_t acked = 0;
    {
      std::lock_guard<std::mutex> lock(diskAckMutex);
      matchAcknowledgementsLocked();
      acked = acked_.size();
    }
    const auto now = SteadyClock::now();
    if (acked >= kRemoveBatch || (acked > 0 && now - lastRemoval >= kRemoveEvery)) {
      removeAcknowledged();
      lastRemoval = now;
    }
    if (stop.load() == 1) {
      removeAcknowledged();
      return;
    }
    size_t room = 0;
    int64_t after = 0;
    {
      std::lock_guard<std::mutex> lock(diskAckMutex);
      room = window_ > inFlight_ ? window_ - inFlight_ : 0;
      after = sentUpTo_;
    }
    if (room > 0 && ahead.empty()) {
      std::vector<StoredRecord> read = queue_->readOldest(after, std::max(room, kReadAhead));
      ahead.assign(std::make_move_iterator(read.begin()), std::make_move_iterator(read.end()));
    }
    bool connectionGone = false;
    for (; room > 0 && !ahead.empty(); --room, ahead.pop_front()) {
      const StoredRecord& r = ahead.front();
      int mid = 0;
      const int result =
          publishRecord ? publishRecord(r, nowMs() - r.sampledMs, &mid)
                        : mosquitto_publish(client, &mid, r.topic.c_str(), static_cast<int>(r.payload.size()),
                                            r.payload.data(), r.qos, r.retain);
      if (result == kPayloadExpired) {  // expired unsent: removed like a sent one
        std::lock_guard<std::mutex> lock(diskAckMutex);
        sentUpTo_ = r.id;
        acked_.push_back(r.id);
        continue;
      }
      report(r.tag, r.topic, result);
      if (result == MOSQ_ERR_NO_CONN) {
        connectionGone = true;
        break;
      }
      std::lock_guard<std::mutex> lock(diskAckMutex);
      sentUpTo_ = r.id;
      if (result != MOSQ_ERR_SUCCESS || r.qos == 0) {
        acked_.push_back(r.id);  // taken at QoS 0; or refused, and it would be refused again
        if (result == MOSQ_ERR_SUCCESS) ++sentSinceReport_, ++offlineBufferTotals.sentFromBuffer;
        continue;
      }
      ++sentSinceReport_;
      ++offlineBufferTotals.sentFromBuffer;
      ++inFlight_;
      if (!registerInFlightLocked(mid, this, r.id)) acknowledgedLocked(r.id, mid);  // acknowledged already
    }
    if (connectionGone) {
      removeAcknowledged();
      return;
    }

    bool idle = false;
    uint64_t sentReport = 0;
    const uint64_t kept = queue_->count();
    {
      std::unique_lock<std::mutex> lock(diskAckMutex);
      const bool nothingToSend = kept <= inFlight_ + acked_.size();
      if (nothingToSend) std::swap(sentReport, sentSinceReport_);
      idle = nothingToSend && inFlight_ == 0;
      if (!idle && (room == 0 || ahead.empty() || nothingToSend)) {
        // The window is full (or only acknowledgements are awaited): wait for one, in short
        // slices so that a stop is seen.
        const auto until = std::min(deadline, SteadyClock::now() + std::chrono::milliseconds(50));
        diskAckArrived.wait_until(lock, until, [] { return !ackedMids.empty(); });
      }
    }
    if (sentReport > 0) TRACE(2, label_, ": ", sentReport, " buffered payloads sent.");
    if (idle || SteadyClock::now() >= deadline) {
      removeAcknowledged();
      return;
    }
  }
}

std::shared_ptr<DiskBuffer> diskBufferFor(size_t index, const ZAL_MQTT_publish& publish) {
  const std::string path = publish.getOfflineBufferFile();
  if (path.empty()) return nullptr;
  std::lock_guard<std::mutex> lock(registryMutex);
  if (registry.size() <= index) registry.resize(index + 1);
  Slot& slot = registry[index];
  if (slot.buffer || slot.failed) return slot.buffer;
  const std::string label = labelOf(publish);
  for (const Slot& other : registry)
    if (other.buffer && other.path == path) {
      TRACE(1, label, ": the file '", path, "' is another configuration's; this buffer stays in memory.");
      slot.failed = true;
      return nullptr;
    }
  try {
    auto queue = std::make_unique<DiskQueue>(path, uint64_t{publish.getOfflineBufferKB()} * 1024, label);
    if (queue->count() > 0) TRACE(1, label, ": ", queue->count(), " kept payloads found in '", path, "'.");
    const std::shared_ptr<ZAL_MQTT_item> item = getConfiguration();
    const size_t window =
        item && item->getMaxInflightMessages() != 0 ? item->getMaxInflightMessages() : kDiskDrainWindow;
    slot.buffer = std::make_shared<DiskBuffer>(std::move(queue), label, publish.getOfflineMaxAgeS(), window);
    slot.path = path;
  } catch (const std::exception& e) {
    TRACE(1, label, ": ", e.what(), "; this buffer stays in memory.");
    slot.failed = true;
  }
  return slot.buffer;
}

void diskBufferAcknowledged(int mid) {
  if (openBuffers.load() == 0) return;
  {
    std::lock_guard<std::mutex> lock(diskAckMutex);
    ackedMids.push_back(mid);
  }
  diskAckArrived.notify_all();
}

void reportDiskBufferDrops() {
  std::vector<std::shared_ptr<DiskBuffer>> buffers;
  {
    std::lock_guard<std::mutex> lock(registryMutex);
    for (const Slot& slot : registry)
      if (slot.buffer) buffers.push_back(slot.buffer);
  }
  for (const std::shared_ptr<DiskBuffer>& buffer : buffers) {
    const uint64_t dropped = buffer->takeDroppedSinceReport();
    if (dropped > 0)
      TRACE(1, buffer->label(), ": ", dropped, " oldest payloads dropped during the outage (",
            buffer->queue().limitBytes() / 1024, " KB full).");
  }
}

void releaseDiskBuffers(const char* why) {
  reportDiskBufferDrops();
  std::vector<Slot> slots;
  {
    std::lock_guard<std::mutex> lock(registryMutex);
    slots.swap(registry);
  }
  for (const Slot& slot : slots) {
    if (!slot.buffer) continue;
    slot.buffer->forgetInFlight();
    const uint64_t kept = slot.buffer->queue().count();
    if (kept > 0)
      TRACE(1, slot.buffer->label(), ": ", kept, " payloads stay kept in '", slot.path, "' (", why, ").");
  }
}

void diskBuffersConnectionLost() {
  std::vector<std::shared_ptr<DiskBuffer>> buffers;
  {
    std::lock_guard<std::mutex> lock(registryMutex);
    for (const Slot& slot : registry)
      if (slot.buffer) buffers.push_back(slot.buffer);
  }
  for (const std::shared_ptr<DiskBuffer>& buffer : buffers) buffer->keepUnacknowledgedLive();
}

bool setInflightWindow(mosquitto* client, const ZAL_MQTT_item& item) {
  const uint32_t window = item.getMaxInflightMessages();
  if (window == 0) return true;
  // With a status topic the library's window stays lifted, so that the birth message goes out
  // before whatever the library still holds from before a loss; the member then paces only the
  // drain of the disk buffers, which keeps its own count of unacknowledged payloads.
  if (!item.getStatusTopic().empty()) return true;
  const int result = mosquitto_int_option(client, MOSQ_OPT_SEND_MAXIMUM, static_cast<int>(window));
  if (result == MOSQ_ERR_SUCCESS) return true;
  TRACE(1, "Error: cannot set uiMaxInflightMessages ", window, ": ", mosquitto_strerror(result));
  return false;
}

bool anyOfflineMaxAge() {
  const std::shared_ptr<ZAL_MQTT_item> item = getConfiguration();
  if (!item) return false;
  for (const std::shared_ptr<ZAL_MQTT_publish>& publish : item->getPublishConfigurations())
    if (!publish->getOfflineBufferFile().empty() && publish->getOfflineMaxAgeS() != 0) return true;
  return false;
}
