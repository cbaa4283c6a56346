// Store and forward: while the connection to the broker is lost, the publish configurations
// with an offline buffer (uiOfflineBufferKB) go on being sampled, and their payloads are kept in
// order in a bounded buffer in memory; after reconnecting, the publish worker sends them, oldest
// first, before any new sample. A requested disconnect, an error or SIGINT discards them.
//
// One buffer per publish configuration, shared by its sets, so that the payloads of all its
// sets keep the order in which they were sampled. Only one thread at a time fills or empties a
// buffer: the configuration's sampler while the connection is lost, its publish worker while
// connected, a state action once both are joined.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

class ZAL_MQTT_publish;

// One payload kept for later, with what its publish needs.
struct BufferedPayload {
  size_t set = 0;  // index of its variable-topic set in the publish configuration
  std::string topic;
  std::string payload;
  int qos = 1;
  bool retain = false;
  // When the payload was made (a payload's age decides its MQTT 5 message expiry).
  std::chrono::steady_clock::time_point madeAt = std::chrono::steady_clock::now();
};

// Totals over every offline buffer since the service started (for a statistics report).
struct OfflineBufferCounters {
  std::atomic<uint64_t> buffered{0};        // payloads kept in a buffer
  std::atomic<uint64_t> sentFromBuffer{0};  // kept payloads published after reconnecting
  std::atomic<uint64_t> dropped{0};         // oldest payloads dropped because a buffer was full
  std::atomic<uint64_t> discarded{0};       // payloads discarded by a disconnect, an error or SIGINT
};
extern OfflineBufferCounters offlineBufferTotals;

// A bounded FIFO of payloads. Its size counts what each kept payload costs in memory
// (entryCost): its slot in the queue and the heap blocks of its topic and payload texts; when a
// new payload does not fit, the oldest ones are dropped until it does (a payload larger than
// the whole limit is dropped itself). Safe to call from several threads.
class OfflineBuffer {
 public:
  OfflineBuffer(std::string label, uint64_t limitBytes);

  void append(BufferedPayload entry);
  // Moves the oldest payload into out and removes it; false when the buffer is empty.
  bool takeFront(BufferedPayload& out);
  // Gives back the payload takeFront took, as the oldest again (its publish did not go out).
  void restoreFront(BufferedPayload entry);
  // Counts one payload taken out and published.
  void countSent();
  // Empties the buffer; the number of payloads discarded.
  size_t discard();
  // Payloads dropped since the last call (the once-per-outage report).
  uint64_t takeDroppedSinceReport() { return droppedSinceReport_.exchange(0); }

  bool empty() const;
  size_t size() const;
  uint64_t bytes() const;
  uint64_t limitBytes() const { return limitBytes_; }
  const std::string& label() const { return label_; }

  // The memory one kept payload takes: its share of the queue's blocks (the entry itself and the
  // queue's pointer to its block) and, for each of its two texts that does not fit inside its
  // string object, the heap block that holds it (the allocator's header and rounding included).
  static uint64_t entryCost(const BufferedPayload& entry);

  // This buffer's own totals.
  uint64_t bufferedCount() const { return buffered_.load(); }
  uint64_t sentCount() const { return sent_.load(); }
  uint64_t droppedCount() const { return dropped_.load(); }

 private:
  void countDropped();

  const std::string label_;
  const uint64_t limitBytes_;
  mutable std::mutex mutex_;  // guards entries_ and bytes_
  std::deque<BufferedPayload> entries_;
  uint64_t bytes_ = 0;
  std::atomic<uint64_t> buffered_{0}, sent_{0}, dropped_{0}, droppedSinceReport_{0};
};

// The buffer of the publish configuration at index in the configuration's list, made on first
// use with its uiOfflineBufferKB; an empty pointer when that is 0 (no buffer).
std::shared_ptr<OfflineBuffer> offlineBufferFor(size_t index, const ZAL_MQTT_publish& publish);

// ---- hooks of the life-cycle states (main thread) -------------------------------------------
// Entry of ST_CONNECTIONLOST: starts one sampler thread per publish configuration with a buffer.
void startOfflineSampling();
// Entry of ST_CONNECTED, before its workers start: stops and joins the samplers, and traces, per
// buffer, how many payloads were dropped during the outage.
void stopOfflineSampling();
// A requested disconnect, an error or SIGINT: stops the samplers, empties every buffer and traces
// one line with the number discarded (none when nothing was buffered). why ends the line.
void discardOfflineBuffers(const char* why);

// The sampler's body: the publish worker of configuration index in buffering mode, until stop
// is set (defined with the publish worker).
void offlineSampler(size_t index, const std::atomic<uint8_t>& stop);
