#include "VariableServer.h"

#include <KalpApi.h>

#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

// Guards pauseFunction: set by tests, read by whichever thread waits for the server.
std::mutex pauseMutex;
VariableServerPause pauseFunction;

void pauseOneSecond() {
  VariableServerPause pause;
  {
    std::lock_guard<std::mutex> lock(pauseMutex);
    pause = pauseFunction;
  }
  if (pause)
    pause();
  else
    std::this_thread::sleep_for(std::chrono::seconds(1));
}

constexpr int kOpenAttempts = 10;
constexpr int kStatePolls = 60;
constexpr const char* kProbePath = "stronzo";

}  // namespace

void setVariableServerPause(VariableServerPause pause) {
  std::lock_guard<std::mutex> lock(pauseMutex);
  pauseFunction = std::move(pause);
}

uint32_t readVariableByName(const std::string& path, void* destination, uint16_t size) {
  uint32_t handle = 0;
  uint32_t status = KalpApiVarOpenHdlA(path.c_str(), &handle);
  if (status != KALPAPI_OK) return status;
  status = KalpApiVarRead(destination, handle, size);
  KalpApiVarCloseHdl(&handle);
  return status;
}

uint32_t readUint32Member(const std::string& path, uint32_t& value) {
  uint32_t handle = 0;
  uint32_t status = KalpApiVarOpenHdlA(path.c_str(), &handle);
  if (status != KALPAPI_OK) return status;
  uint32_t type = 0;
  status = KalpApiVarGetType(handle, &type);
  if (status == KALPAPI_OK && type != KALPAPI_TYPE_SINT32 && type != KALPAPI_TYPE_UINT32 &&
      type != KALPAPI_TYPE_DWORD) {
    status = KALPAPI_E_INVALID_PARAMETER;
  }
  uint32_t read = 0;
  if (status == KALPAPI_OK) status = KalpApiVarRead(&read, handle, sizeof read);
  if (status == KALPAPI_OK) value = read;
  KalpApiVarCloseHdl(&handle);
  return status;
}

uint32_t waitForVariableServer() {
  // Step 1: wait until the server answers at all. Any answer but "no communication" (normally
  // "not found") means it is there.
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    uint32_t handle = 0;
    uint32_t status = KalpApiVarOpenHdlA(kProbePath, &handle);
    if (status == KALPAPI_OK)
      KalpApiVarCloseHdl(&handle);  // a variable of that name exists: do not keep it open
    if (status != KALPAPI_E_NO_COMMUNICATION) break;
    pauseOneSecond();
  }
  // Step 2: wait until the device runs. The last poll counts like every other: a device that
  // reaches running just then is ready, not "no communication".
  for (int poll = 0; poll < kStatePolls; ++poll) {
    pauseOneSecond();
    uint32_t state = 0;
    uint32_t word = 0;
    uint32_t status = KalpApiDeviceGetStateA(&state, &word, 0, 0, 0, 0, 0, 0, 0, 0);
    if (state == KALPAPI_DEVICE_STATE_RUNNING) return status;
  }
  return KALPAPI_E_NO_COMMUNICATION;
}

void readOptionalFlag(const std::string& path, uint32_t& target, const char* message) {
  uint32_t value = 0;
  const uint32_t status = readUint32Member(path, value);
  if (status == KALPAPI_E_NOT_FOUND) {
    target = 0;
    return;
  }
  if (status != KALPAPI_OK) throw std::runtime_error(message);
  target = value;
}
