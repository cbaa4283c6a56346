// Automatic retry from the error state: the wait, its doubling and its reset.
#include "AutomaticRetry.h"

#include <algorithm>
#include <cstdint>
#include <mutex>

#include "Trace.h"
#include "VariableServer.h"
#include "ZAL_MQTT_item.h"
#include "ZAL_MQTT_lifecycle.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kHeldConnection = std::chrono::minutes(1);
constexpr uint64_t kLongestWaitFactor = 32;
// The deadline is kept within what the clock can hold (a first wait near 2^32 s times 32 is not).
constexpr uint64_t kLongestDeadlineS = 100ull * 365 * 24 * 3600;

// Guards the two values below; taken by state actions (main or start thread) only.
std::mutex retryMutex;
uint64_t nextWaitS = 0;  // the next wait; 0: the configured first wait
std::optional<Clock::time_point> connectedSince;

uint32_t configuredFirstWaitS() {
  if (const std::shared_ptr<ZAL_MQTT_item> item = getConfiguration()) return item->getErrorRetryS();
  // No configuration (it could not be built): the member as the tree has it now, read like
  // every 4-byte member (one of another type, or unreadable, means off).
  uint32_t value = 0;
  if (readUint32Member(std::string(kConfigurationRoot) + ".uiErrorRetryS", value) != 0) return 0;
  return value;
}

}  // namespace

void automaticRetryConnected() {
  std::lock_guard<std::mutex> lock(retryMutex);
  connectedSince = Clock::now();
}

void automaticRetryLeftConnected() {
  std::lock_guard<std::mutex> lock(retryMutex);
  if (connectedSince && Clock::now() - *connectedSince >= kHeldConnection) nextWaitS = 0;
  connectedSince.reset();
}

std::optional<Clock::time_point> automaticRetryBegin() {
  const uint64_t firstS = configuredFirstWaitS();
  if (firstS == 0) return std::nullopt;
  uint64_t waitS = 0;
  {
    std::lock_guard<std::mutex> lock(retryMutex);
    const uint64_t longestS = firstS * kLongestWaitFactor;
    waitS = (nextWaitS < firstS || nextWaitS > longestS) ? firstS : nextWaitS;
    nextWaitS = std::min(waitS * 2, longestS);
  }
  TRACE(1, "Automatic retry in ", waitS, " s.");
  return Clock::now() + std::chrono::seconds(std::min(waitS, kLongestDeadlineS));
}

bool automaticRetryDue(const std::optional<Clock::time_point>& due) {
  if (!due || Clock::now() < *due) return false;
  TRACE(1, "Automatic retry: retry start of MQTT service..");
  return true;
}
