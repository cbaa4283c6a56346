// The service shell: the status-report callbacks, the provider lock and the banner.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>

#include "MainThreadPost.h"
#include "ServiceIdentity.h"  // kServiceName

// A lock that the provider facility may take and release from its own thread(s); held while
// the state report is written. It belongs to no thread: an unlock from any thread releases it,
// and releasing it when it is free is reported, not undefined. A lock request never blocks for
// good: it waits at most the wait limit for the holder and is then refused, so that a thread
// that would deliver the holder's unlock is never stuck behind a second lock request.
class StateReportLock {
 public:
  // 0 when taken; ETIMEDOUT when another holder kept it for the whole wait limit.
  int lock();
  // 0 on success, EPERM when the lock was not held.
  int unlock();
  // How long lock() waits for the holder (2 s unless set).
  void setWaitLimit(std::chrono::milliseconds limit);

 private:
  std::mutex mutex;  // guards held and waitLimit
  std::condition_variable released;
  bool held = false;
  std::chrono::milliseconds waitLimit{2000};
};
extern StateReportLock stateReportMutex;

// When the service started (calendar time); the state report gives the seconds since then.
extern std::time_t serviceStartTime;

// Writes "<directory>/ZAL_CLOUD_MQTT_OOP/state.txt". 0, 0x80000003 (the path does not fit or the
// file cannot be opened; nothing is written) or 0x80000004 (write or close failed, or the lock
// could not be had within its wait limit; then the file is left as it was).
int32_t stateReportCallback(const char* directory);
// 1 locks stateReportMutex, any other value unlocks it; 0 on success, non-zero when the lock
// was refused after its wait limit or an unlock found it free.
int32_t providerLockCallback(int operation);

// For a registration that the variable server refused because another client holds the name:
// traces that (level 1) and, on a thread of its own, calls registerAgain once a second until it
// answers 0, then traces the success. what names the registration in the lines.
void followRefusedRegistration(const char* what, std::function<uint32_t()> registerAgain);

// The start-up banner, as ordinary level-1 trace lines.
void writeBanner();
