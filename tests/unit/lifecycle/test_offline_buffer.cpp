// The offline buffer: bounded, oldest dropped first, order kept, counted.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "OfflineBuffer.h"

namespace {

// An entry whose topic and payload together take size bytes; the payload names it.
BufferedPayload entry(const std::string& name, size_t size) {
  BufferedPayload e;
  e.topic = "t";
  e.payload = std::string(size - 1, '.');  // allocated at its size, as a payload copied into the buffer
  e.payload.replace(0, name.size(), name);
  return e;
}

std::vector<std::string> drain(OfflineBuffer& buffer) {
  std::vector<std::string> names;
  BufferedPayload out;
  while (buffer.takeFront(out)) names.push_back(out.payload.substr(0, out.payload.find('.')));
  return names;
}

}  // namespace

TEST(OfflineBuffer, DropsTheOldestWhenFullAndKeepsTheOrder) {
  const uint64_t each = OfflineBuffer::entryCost(entry("p0", 30));
  OfflineBuffer buffer("ZAL_MQTT_publish:0", 3 * each + each / 3);
  const uint64_t droppedBefore = offlineBufferTotals.dropped.load();
  for (int i = 0; i < 5; ++i) buffer.append(entry("p" + std::to_string(i), 30));
  EXPECT_EQ(buffer.size(), 3u);
  EXPECT_EQ(buffer.bytes(), 3 * each);
  EXPECT_EQ(buffer.bufferedCount(), 5u);
  EXPECT_EQ(buffer.droppedCount(), 2u);
  EXPECT_EQ(offlineBufferTotals.dropped.load() - droppedBefore, 2u);
  EXPECT_EQ(buffer.takeDroppedSinceReport(), 2u);
  EXPECT_EQ(buffer.takeDroppedSinceReport(), 0u);  // reported once

  // A big payload pushes out as many old ones as it needs.
  const BufferedPayload big = entry("big", 150);
  ASSERT_GT(OfflineBuffer::entryCost(big), each + each / 3);
  ASSERT_LE(OfflineBuffer::entryCost(big), 2 * each + each / 3);
  buffer.append(big);
  EXPECT_EQ(drain(buffer), (std::vector<std::string>{"p4", "big"}));
  EXPECT_EQ(buffer.bytes(), 0u);
  EXPECT_EQ(buffer.takeDroppedSinceReport(), 2u);

  // One that can never fit is dropped itself; what waits stays.
  buffer.append(entry("a", 40));
  buffer.append(entry("huge", 600));
  EXPECT_EQ(buffer.takeDroppedSinceReport(), 1u);
  EXPECT_EQ(drain(buffer), (std::vector<std::string>{"a"}));
}

// The limit counts memory, not text bytes: a kept payload of a few bytes still costs its slot in
// the queue, and a long one its heap block besides. (64 KB of 3-byte payloads on a short topic
// once held 21,845 entries in 1.8 MB.)
TEST(OfflineBuffer, TheLimitCountsWhatAnEntryCostsInMemory) {
  const BufferedPayload tiny = entry("x", 3);
  const uint64_t slot = OfflineBuffer::entryCost(tiny);
  EXPECT_GE(slot, sizeof(BufferedPayload));
  OfflineBuffer buffer("ZAL_MQTT_publish:0", 64 * 1024);
  for (int i = 0; i < 30000; ++i) buffer.append(tiny);
  EXPECT_EQ(buffer.size(), 64 * 1024 / slot);
  EXPECT_LE(buffer.bytes(), 64u * 1024);

  // A text too long to live inside its string object adds its heap block, at least its bytes.
  const BufferedPayload longer = entry("y", 1000);
  EXPECT_GE(OfflineBuffer::entryCost(longer), slot + 1000);
  EXPECT_LE(OfflineBuffer::entryCost(longer), slot + 1000 + 32);
}

TEST(OfflineBuffer, RestoredEntryComesFirstAgainAndDiscardCounts) {
  OfflineBuffer buffer("ZAL_MQTT_publish:1", 1000);
  for (int i = 0; i < 3; ++i) buffer.append(entry("p" + std::to_string(i), 10));
  BufferedPayload first;
  ASSERT_TRUE(buffer.takeFront(first));
  buffer.countSent();
  ASSERT_TRUE(buffer.takeFront(first));
  buffer.restoreFront(first);  // its publish did not go out
  EXPECT_EQ(buffer.sentCount(), 1u);
  EXPECT_EQ(buffer.bytes(), 2 * OfflineBuffer::entryCost(entry("p1", 10)));

  const uint64_t discardedBefore = offlineBufferTotals.discarded.load();
  buffer.append(entry("p3", 10));
  EXPECT_EQ(buffer.discard(), 3u);
  EXPECT_TRUE(buffer.empty());
  EXPECT_EQ(buffer.bytes(), 0u);
  EXPECT_EQ(offlineBufferTotals.discarded.load() - discardedBefore, 3u);
}
