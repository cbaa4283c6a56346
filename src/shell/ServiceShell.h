// The service shell: the status-report callbacks, the provider lock and the banner.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>

#include "MainThreadPost.h"
#include "ServiceIdentity.h"  // kServiceName

// A lock that the provider facility may take and release from its own thread(s); held while
// the state report is written. Unlike a std::mutex it may be released by another thread than
// the one that took it, and releasing it when it is free is reported, not undefined.
class StateReportLock {
 public:
  void lock();
  // 0 on success, EPERM when the lock was not held.
  int unlock();

 private:
  std::mutex mutex;
  std::condition_variable released;
  bool held = false;
};
extern StateReportLock stateReportMutex;

// When the service started (calendar time); the state report gives the seconds since then.
extern std::time_t serviceStartTime;

// Writes "<directory>/ZAL_CLOUD_MQTT_OOP/state.txt". 0, 0x80000003 (cannot open) or
// 0x80000004 (write or close failed).
int32_t stateReportCallback(const char* directory);
// 1 locks stateReportMutex, any other value unlocks it; 0 on success.
int32_t providerLockCallback(int operation);

// The start-up banner, as ordinary level-1 trace lines.
void writeBanner();
