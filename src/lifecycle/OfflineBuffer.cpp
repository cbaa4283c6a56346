// Store and forward: the offline buffers and the samplers that fill them while the connection
// is lost.
#include "OfflineBuffer.h"

#include <thread>
#include <utility>
#include <vector>

#include "DiskBuffer.h"
#include "Trace.h"
#include "ZAL_MQTT_item.h"
#include "ZAL_MQTT_lifecycle.h"

OfflineBufferCounters offlineBufferTotals;

OfflineBuffer::OfflineBuffer(std::string label, uint64_t limitBytes)
    : label_(std::move(label)), limitBytes_(limitBytes) {}

void OfflineBuffer::countDropped() {
  ++dropped_;
  ++droppedSinceReport_;
  ++offlineBufferTotals.dropped;
}

void OfflineBuffer::append(BufferedPayload entry) {
  const uint64_t size = cost(entry);
  std::lock_guard<std::mutex> lock(mutex_);
  if (size > limitBytes_) {
    countDropped();  // could never fit: the newest is lost, the others stay
    return;
  }
  while (bytes_ + size > limitBytes_ && !entries_.empty()) {
    bytes_ -= cost(entries_.front());
    entries_.pop_front();
    countDropped();
  }
  bytes_ += size;
  entries_.push_back(std::move(entry));
  ++buffered_;
  ++offlineBufferTotals.buffered;
}

bool OfflineBuffer::takeFront(BufferedPayload& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (entries_.empty()) return false;
  out = std::move(entries_.front());
  entries_.pop_front();
  bytes_ -= cost(out);
  return true;
}

void OfflineBuffer::restoreFront(BufferedPayload entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  bytes_ += cost(entry);
  entries_.push_front(std::move(entry));
}

void OfflineBuffer::countSent() {
  ++sent_;
  ++offlineBufferTotals.sentFromBuffer;
}

size_t OfflineBuffer::discard() {
  std::lock_guard<std::mutex> lock(mutex_);
  const size_t count = entries_.size();
  entries_.clear();
  bytes_ = 0;
  offlineBufferTotals.discarded += count;
  return count;
}

bool OfflineBuffer::empty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.empty();
}

size_t OfflineBuffer::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

uint64_t OfflineBuffer::bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

namespace {

// The buffers by publish configuration index, kept from the first use until a discard (the
// configuration may be built anew after a discard). Guarded by buffersMutex: the workers and
// samplers look their buffer up, the state actions discard.
std::mutex buffersMutex;
std::vector<std::shared_ptr<OfflineBuffer>> buffers;

// The samplers of the current outage; started and joined by state actions on the main thread.
std::vector<std::thread> samplers;
std::atomic<uint8_t> samplersStop{1};

// "ZAL_MQTT_publish:<n>", the last component of the configuration's path.
std::string labelOf(const ZAL_MQTT_publish& publish) {
  const std::string path = publish.getName();
  const size_t dot = path.rfind('.');
  return dot == std::string::npos ? path : path.substr(dot + 1);
}

std::vector<std::shared_ptr<OfflineBuffer>> allBuffers() {
  std::lock_guard<std::mutex> lock(buffersMutex);
  return buffers;
}

void reportDrops() {
  for (const std::shared_ptr<OfflineBuffer>& buffer : allBuffers()) {
    if (!buffer) continue;
    const uint64_t dropped = buffer->takeDroppedSinceReport();
    if (dropped > 0)
      TRACE(1, "Offline buffer of ", buffer->label(), ": ", dropped,
            " oldest payloads dropped during the outage (", buffer->limitBytes() / 1024, " KB full).");
  }
}

}  // namespace

std::shared_ptr<OfflineBuffer> offlineBufferFor(size_t index, const ZAL_MQTT_publish& publish) {
  const uint32_t kb = publish.getOfflineBufferKB();
  if (kb == 0) return nullptr;
  std::lock_guard<std::mutex> lock(buffersMutex);
  if (buffers.size() <= index) buffers.resize(index + 1);
  if (!buffers[index])
    buffers[index] = std::make_shared<OfflineBuffer>(labelOf(publish), uint64_t{kb} * 1024);
  return buffers[index];
}

void startOfflineSampling() {
  const std::shared_ptr<ZAL_MQTT_item> item = getConfiguration();
  if (!item) return;
  const auto configurations = item->getPublishConfigurations();
  diskBuffersConnectionLost();  // before the samplers' first batch
  samplersStop = 0;
  for (size_t i = 0; i < configurations.size(); ++i) {
    if (configurations[i]->getOfflineBufferKB() == 0) continue;
    TRACE(2, "Offline buffer of ", labelOf(*configurations[i]),
          ": sampling on while the connection is lost.");
    samplers.emplace_back(offlineSampler, i, std::cref(samplersStop));
  }
}

void stopOfflineSampling() {
  samplersStop = 1;
  for (std::thread& sampler : samplers)
    if (sampler.joinable()) sampler.join();
  samplers.clear();
  reportDrops();
  reportDiskBufferDrops();
}

void discardOfflineBuffers(const char* why) {
  stopOfflineSampling();
  size_t discarded = 0;
  for (const std::shared_ptr<OfflineBuffer>& buffer : allBuffers())
    if (buffer) discarded += buffer->discard();
  {
    std::lock_guard<std::mutex> lock(buffersMutex);
    buffers.clear();
  }
  if (discarded > 0) TRACE(1, "Offline buffers: ", discarded, " buffered payloads discarded (", why, ").");
  releaseDiskBuffers(why);  // what is on disk stays there
}
