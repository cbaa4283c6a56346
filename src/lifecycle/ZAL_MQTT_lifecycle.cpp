// Definitions of the life cycle's process-wide objects.
#include "ZAL_MQTT_lifecycle.h"

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
int sigintDisconnectResult = 0;
uint32_t lastErrorRetry = 0;

std::atomic<uint8_t> subscribeRunning{0};
std::atomic<uint8_t> publishStop{1};
std::thread subscribeThread;
std::vector<std::unique_ptr<std::thread>> publishThreads;
