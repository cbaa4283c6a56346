// Definitions of the life cycle's process-wide objects.
#include "ZAL_MQTT_lifecycle.h"

#include <algorithm>

#include "ZAL_MQTT_item.h"

std::shared_ptr<ZAL_MQTT_item> configuration;
std::mutex configurationMutex;

std::shared_ptr<ZAL_MQTT_item> getConfiguration() {
  std::lock_guard<std::mutex> lock(configurationMutex);
  return configuration;
}

void setConfiguration(std::shared_ptr<ZAL_MQTT_item> item) {
  std::shared_ptr<ZAL_MQTT_item> old;
  {
    std::lock_guard<std::mutex> lock(configurationMutex);
    old = std::move(configuration);
    configuration = std::move(item);
  }
  // The old object (and its variable handles) is released outside the lock.
}

mosquitto* mosqClient = nullptr;

std::atomic<bool> activationWatcherRun{false};
bool initEntryFailed = false;

uint8_t prepareToConnectNextState = 0;
int connectResult = 0;

int disconnectResult = 0;
std::atomic<bool> disconnectAsked{false};
int sigintDisconnectResult = 0;
uint32_t lastErrorRetry = 0;

std::atomic<uint8_t> subscribeRunning{0};
std::atomic<uint8_t> publishStop{1};
std::thread subscribeThread;
std::vector<std::unique_ptr<std::thread>> publishThreads;

void sleepUntilOrStop(std::chrono::steady_clock::time_point deadline, const std::atomic<uint8_t>& stop) {
  constexpr auto kSlice = std::chrono::milliseconds(50);
  for (;;) {
    if (stop.load() == 1) return;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(deadline - now, kSlice));
  }
}
