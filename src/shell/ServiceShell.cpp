#include "ServiceShell.h"

#include <openssl/crypto.h>
#include <openssl/opensslv.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>

#include "KalpApi.h"
#include "Trace.h"

StateReportLock stateReportMutex;
std::time_t serviceStartTime = std::time(nullptr);

int StateReportLock::lock() {
  std::unique_lock<std::mutex> guard(mutex);
  if (!released.wait_for(guard, waitLimit, [this] { return !held; })) return ETIMEDOUT;
  held = true;
  return 0;
}

int StateReportLock::unlock() {
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (!held) return EPERM;
    held = false;
  }
  released.notify_one();
  return 0;
}

void StateReportLock::setWaitLimit(std::chrono::milliseconds limit) {
  std::lock_guard<std::mutex> guard(mutex);
  waitLimit = limit;
}

int32_t stateReportCallback(const char* directory) {
  const std::time_t now = std::time(nullptr);
  if (directory == nullptr) return static_cast<int32_t>(KALPAPI_STAREP_E_OPEN);

  // Both paths must fit whole: a path cut to fit would name another file.
  char folder[512];
  char path[512];
  const int folderLength = std::snprintf(folder, sizeof folder, "%s/ZAL_CLOUD_MQTT_OOP", directory);
  const int pathLength = std::snprintf(path, sizeof path, "%s/ZAL_CLOUD_MQTT_OOP/state.txt", directory);
  if (folderLength < 0 || pathLength < 0 || static_cast<size_t>(pathLength) >= sizeof path)
    return static_cast<int32_t>(KALPAPI_STAREP_E_OPEN);
  mkdir(folder, 0775);  // may exist already; a real failure shows when the file is opened

  // The file is opened, written and closed under the lock (stdio writes it out on close), so
  // that whatever the provider facility does under the lock never sees a half-written report.
  if (stateReportMutex.lock() != 0) return static_cast<int32_t>(KALPAPI_STAREP_E_WRITE);
  std::FILE* file = std::fopen(path, "w");
  if (file == nullptr) {
    stateReportMutex.unlock();
    return static_cast<int32_t>(KALPAPI_STAREP_E_OPEN);
  }
  const int first = std::fprintf(file, "%s %s\n", kServiceName, kServiceVersion);
  const int second = std::fprintf(file, "Started: %.0f seconds ago\n", std::difftime(now, serviceStartTime));
  const int closed = std::fclose(file);
  stateReportMutex.unlock();

  if (first > 0 && second > 0 && closed == 0) return 0;
  return static_cast<int32_t>(KALPAPI_STAREP_E_WRITE);
}

int32_t providerLockCallback(int operation) {
  if (operation == 1) return stateReportMutex.lock();
  return stateReportMutex.unlock();
}

void followRefusedRegistration(const char* what, std::function<uint32_t()> registerAgain) {
  // The library keeps trying in the background; asking again tells whether it got the name.
  TRACE(1, what, " registration refused: another client holds the name; retrying in the background");
  std::thread([what, registerAgain] {
    while (registerAgain() != KALPAPI_OK) std::this_thread::sleep_for(std::chrono::seconds(1));
    TRACE(1, what, " registration succeeded");
  }).detach();
}

void writeBanner() {
  TRACE(1, "Service has started. (rev. no.: ", "1110", ")");
  TRACE(1, "Service was built against OpenSSL version ", OPENSSL_VERSION_MAJOR, ".", OPENSSL_VERSION_MINOR,
        ".", OPENSSL_VERSION_PATCH, "\"", OPENSSL_VERSION_PRE_RELEASE, "\"");
  TRACE(1, "Service has found OpenSSL version ", OPENSSL_version_major(), ".", OPENSSL_version_minor(), ".",
        OPENSSL_version_patch(), OPENSSL_version_pre_release());
  const char* metadata = OPENSSL_version_build_metadata();
  if (metadata != nullptr && metadata[0] != '\0') TRACE(1, "OpenSSL meta data: ", metadata);
  TRACE(1, "This software is the property of its owner. It must not be disseminated, copied or passed on");
  TRACE(1, "to third parties, in whole or in part, without the owner's written permission.");
}
