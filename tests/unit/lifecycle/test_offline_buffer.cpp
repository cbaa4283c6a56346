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
  e.payload = name + std::string(size - 1 - name.size(), '.');
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
  OfflineBuffer buffer("ZAL_MQTT_publish:0", 100);
  const uint64_t droppedBefore = offlineBufferTotals.dropped.load();
  for (int i = 0; i < 5; ++i) buffer.append(entry("p" + std::to_string(i), 30));  // 150 bytes offered
  EXPECT_EQ(buffer.size(), 3u);
  EXPECT_EQ(buffer.bytes(), 90u);
  EXPECT_EQ(buffer.bufferedCount(), 5u);
  EXPECT_EQ(buffer.droppedCount(), 2u);
  EXPECT_EQ(offlineBufferTotals.dropped.load() - droppedBefore, 2u);
  EXPECT_EQ(buffer.takeDroppedSinceReport(), 2u);
  EXPECT_EQ(buffer.takeDroppedSinceReport(), 0u);  // reported once

  // A big payload pushes out as many old ones as it needs.
  buffer.append(entry("big", 70));
  EXPECT_EQ(drain(buffer), (std::vector<std::string>{"p4", "big"}));
  EXPECT_EQ(buffer.bytes(), 0u);
  EXPECT_EQ(buffer.takeDroppedSinceReport(), 2u);

  // One that can never fit is dropped itself; what waits stays.
  buffer.append(entry("a", 40));
  buffer.append(entry("huge", 101));
  EXPECT_EQ(buffer.takeDroppedSinceReport(), 1u);
  EXPECT_EQ(drain(buffer), (std::vector<std::string>{"a"}));
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
  EXPECT_EQ(buffer.bytes(), 20u);

  const uint64_t discardedBefore = offlineBufferTotals.discarded.load();
  buffer.append(entry("p3", 10));
  EXPECT_EQ(buffer.discard(), 3u);
  EXPECT_TRUE(buffer.empty());
  EXPECT_EQ(buffer.bytes(), 0u);
  EXPECT_EQ(offlineBufferTotals.discarded.load() - discardedBefore, 3u);
}
