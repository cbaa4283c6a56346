#include "ServiceShell.h"

#include <openssl/crypto.h>
#include <openssl/opensslv.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "KalpApi.h"
#include "Trace.h"

StateReportLock stateReportMutex;
std::time_t serviceStartTime = std::time(nullptr);

void StateReportLock::lock() {
  std::unique_lock<std::mutex> guard(mutex);
  released.wait(guard, [this] { return !held; });
  held = true;
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

int32_t stateReportCallback(const char* directory) {
  const std::time_t now = std::time(nullptr);
  if (directory == nullptr) return static_cast<int32_t>(KALPAPI_STAREP_E_OPEN);

  char path[512];
  std::snprintf(path, sizeof path, "%s/ZAL_CLOUD_MQTT_OOP", directory);
  mkdir(path, 0775);  // may exist already; a real failure shows when the file is opened

  std::snprintf(path, sizeof path, "%s/ZAL_CLOUD_MQTT_OOP/state.txt", directory);
  std::FILE* file = std::fopen(path, "w");
  if (file == nullptr) return static_cast<int32_t>(KALPAPI_STAREP_E_OPEN);

  stateReportMutex.lock();
  int first = std::fprintf(file, "ZAL_CLOUD_MQTT_OOP %s\n", "1.0");
  int second = std::fprintf(file, "Started: %.0f seconds ago\n", std::difftime(now, serviceStartTime));
  stateReportMutex.unlock();

  int closed = std::fclose(file);
  if (first > 0 && second > 0 && closed == 0) return 0;
  return static_cast<int32_t>(KALPAPI_STAREP_E_WRITE);
}

int32_t providerLockCallback(int operation) {
  if (operation == 1) {
    stateReportMutex.lock();
    return 0;
  }
  return stateReportMutex.unlock();
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
