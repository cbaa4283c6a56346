// Store and forward: the offline buffers and the samplers that fill them while the connection
// is lost.
#include "OfflineBuffer.h"

#include <thread>
#include <utility>
#include <vector>

#include "Trace.h"
#include "ZAL_MQTT_item.h"
#include "ZAL_MQTT_lifecycle.h"

OfflineBufferCounters offlineBufferTotals;

namespace {

// The queue (std::deque) keeps its entries in blocks of 512 bytes, or one entry a block when an
// entry is larger, and one pointer per block in its map.
constexpr uint64_t kDequeBlockBytes = 512;
constexpr uint64_t kEntriesPerBlock =
    sizeof(BufferedPayload) < kDequeBlockBytes ? kDequeBlockBytes / sizeof(BufferedPayload) : 1;
constexpr uint64_t kSlotBytes =
    (kEntriesPerBlock * sizeof(BufferedPayload) < kDequeBlockBytes ? kDequeBlockBytes : sizeof(BufferedPayload)) /
        kEntriesPerBlock +
    (sizeof(void*) + kEntriesPerBlock - 1) / kEntriesPerBlock;

// The heap block of a text: none when the text lives inside its string object (short texts),
// else its capacity and terminator with the allocator's 8-byte header, in 16-byte steps, at
// least 32 bytes (the general-purpose allocator's smallest block on 64-bit Linux).
uint64_t textHeapBytes(const std::string& text) {
  const char* const object = reinterpret_cast<const char*>(&text);
  if (text.data() >= object && text.data() < object + sizeof text) return 0;
  const uint64_t block = (uint64_t{text.capacity()} + 1 + 8 + 15) / 16 * 16;
  return block < 32 ? 32 : block;
}

}  // namespace

uint64_t OfflineBuffer::entryCost(const BufferedPayload& entry) {
  return kSlotBytes + textHeapBytes(entry.topic) + textHeapBytes(entry.payload);
}

OfflineBuffer::OfflineBuffer(std::string label, uint64_t limitBytes)
    : label_(std::move(label)), limitBytes_(limitBytes) {}

void OfflineBuffer::countDropped() {
  ++dropped_;
  ++droppedSinceReport_;
  ++offlineBufferTotals.dropped;
}

void OfflineBuffer::append(BufferedPayload entry) {
  const uint64_t size = entryCost(entry);  // moving the entry into the queue keeps its blocks
  std::lock_guard<std::mutex> lock(mutex_);
  if (size > limitBytes_) {
    countDropped();  // could never fit: the newest is lost, the others stay
    return;
  }
  while (bytes_ + size > limitBytes_ && !entries_.empty()) {
    bytes_ -= entryCost(entries_.front());
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
  // Counted as it was kept: a move into out may keep out's own block for a short text.
  bytes_ -= entryCost(entries_.front());
  out = std::move(entries_.front());
  entries_.pop_front();
  return true;
}

void OfflineBuffer::restoreFront(BufferedPayload entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_front(std::move(entry));
  bytes_ += entryCost(entries_.front());
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
}
