// BrokerList: round robin with a time bound per broker, staying on a reached broker, and where a
// set-up starts.
#include <gtest/gtest.h>

#include "BrokerList.h"

namespace {

using namespace std::chrono_literals;
using Clock = BrokerList::Clock;

void threeBrokers(BrokerList& list, std::chrono::milliseconds after) {
  list.configure({{"a", 1}, {"b", 2}, {"c", 3}}, after);
  list.start();
}

TEST(BrokerList, MovesOnlyAfterTheBoundAndRoundRobin) {
  BrokerList list;
  threeBrokers(list, 10s);
  const Clock::time_point t0{};
  EXPECT_FALSE(list.beforeAttempt(t0));  // nothing failed yet
  list.failed(t0);
  list.failed(t0 + 5s);  // a later failure of the same outage does not restart the bound
  EXPECT_FALSE(list.beforeAttempt(t0 + 9s));
  EXPECT_TRUE(list.beforeAttempt(t0 + 10s));
  EXPECT_EQ(list.current().port, 2u);
  // The next broker gets its own time, counted from its first failure.
  EXPECT_FALSE(list.beforeAttempt(t0 + 30s));
  list.failed(t0 + 31s);
  EXPECT_FALSE(list.beforeAttempt(t0 + 40s));
  EXPECT_TRUE(list.beforeAttempt(t0 + 41s));
  EXPECT_EQ(list.current().port, 3u);
  list.failed(t0 + 42s);
  EXPECT_TRUE(list.beforeAttempt(t0 + 52s));
  EXPECT_EQ(list.current().port, 1u);  // wraps to the first
}

TEST(BrokerList, StaysOnAReachedBrokerAndASetUpStartsAtTheFirst) {
  BrokerList list;
  threeBrokers(list, 0s);
  const Clock::time_point t0{};
  list.failed(t0);
  ASSERT_TRUE(list.beforeAttempt(t0));
  list.reached();  // b holds: no move back to a, however long
  EXPECT_FALSE(list.beforeAttempt(t0 + 1h));
  EXPECT_EQ(list.current().port, 2u);
  list.start();
  EXPECT_EQ(list.currentIndex(), 0u);

  // A set-up abandoned on a broker that never answered: the next starts after it, once.
  list.abandonCurrent();
  list.configure({{"a", 1}, {"b", 2}, {"c", 3}}, 0s);  // the same list read again
  list.start();
  EXPECT_EQ(list.current().port, 2u);
  list.start();
  EXPECT_EQ(list.current().port, 1u);
}

TEST(BrokerList, OneBrokerIsNoListAndAddressesPrintAsHostPort) {
  BrokerList list;
  list.configure({{"broker.plant", 1883}}, 0s);
  list.start();
  list.failed(Clock::time_point{});
  EXPECT_FALSE(list.active());
  EXPECT_FALSE(list.beforeAttempt(Clock::time_point{} + 1h));
  EXPECT_EQ(list.current().text(), "broker.plant:1883");
  EXPECT_EQ((BrokerAddress{"::1", 8883}.text()), "[::1]:8883");
}

}  // namespace
