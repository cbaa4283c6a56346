// BrokerList: the brokers of a failover list (the root's broker first, then the
// ZAL_MQTT_broker:<n> children in index order) and which of them the service uses.
//
// The rule, in one place:
// - A connection set-up starts at the first broker (start()), unless the set-up before it ended
//   on a broker that never answered (abandonCurrent()): then at the broker after that one.
// - While a broker's connection holds, the service stays on it (reached()); it never leaves a
//   working broker to go back to the first one, so two brokers that both work never make it
//   flap.
// - When attempts on the current broker have failed (or its connection was lost and has not come
//   back) for failoverAfter, the next attempt goes to the next broker, round robin
//   (beforeAttempt()), and that broker gets the same time before the one after it is tried. The
//   first broker is used again when its turn comes in that round, or at the next set-up.
//
// Safe for several threads: every member takes the object's own mutex for its run and calls
// nothing outside (the network thread reports failures and connections, the main thread asks
// before each attempt).
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct BrokerAddress {
  std::string host;
  uint32_t port = 0;
  // "host:port" (an IPv6 address in brackets), as the trace and the status topic show it.
  std::string text() const;
  bool operator==(const BrokerAddress& other) const { return host == other.host && port == other.port; }
};

class BrokerList {
 public:
  using Clock = std::chrono::steady_clock;

  BrokerList() = default;

  // Replaces the list and goes back to its first broker with no failure counted; the same list
  // again keeps where the next set-up starts.
  void configure(std::vector<BrokerAddress> brokers, std::chrono::milliseconds failoverAfter);
  // True with more than one broker: only then does anything of the failover apply.
  bool active() const;
  size_t size() const;

  // A connection set-up begins: the first broker (or the one after an abandoned one), no
  // failure counted.
  void start();
  // The set-up ends on the current broker without an answer from it: the next set-up starts at
  // the broker after it.
  void abandonCurrent();
  // The broker in use (the first one when the list is empty: a default address).
  BrokerAddress current() const;
  // Position of the broker in use, from 0.
  size_t currentIndex() const;
  // An attempt on the current broker failed, or its connection was lost, at now.
  void failed(Clock::time_point now);
  // The current broker accepted a connection.
  void reached();
  // Before an attempt at now: moves to the next broker, round robin, when the current one has
  // been failing for failoverAfter; true when it moved.
  bool beforeAttempt(Clock::time_point now);

 private:
  mutable std::mutex mutex_;  // guards every member below
  std::vector<BrokerAddress> brokers_;
  std::chrono::milliseconds failoverAfter_{0};
  size_t index_ = 0;
  size_t nextStart_ = 0;  // where the next set-up starts
  // When the current broker's failures began; empty while it holds or before its first failure.
  std::optional<Clock::time_point> failingSince_;
};
