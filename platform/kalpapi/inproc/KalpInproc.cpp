// The KalpApi calls served by one store inside the calling process (unit tests).
#include "KalpInproc.h"

#include <KalpApi.h>

#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include "KalpStore.h"

namespace {

kalpstore::Store& store() {
  static kalpstore::Store instance;
  return instance;
}

// Directory entries handed out by KalpApiVarReadDir, one per open walk: valid until the next
// ReadDir or CloseDir on the same directory handle. Guarded by registryMutex.
std::mutex registryMutex;
std::unordered_map<uint32_t, KalpApiDirEntry> dirEntries;
std::map<std::string, KalpApiStaRepCallback> components;
std::map<std::string, KalpApiProviderLockCallback> providers;
uint32_t nextProviderHandle = 1;

void copyText(char* destination, size_t capacity, const std::string& text) {
  size_t n = std::min(text.size(), capacity - 1);
  std::memcpy(destination, text.data(), n);
  destination[n] = '\0';
}

}  // namespace

namespace kalpinproc {

void loadTree(const std::string& treeFileJson) {
  store().load(treeFileJson, "tree");
  std::lock_guard<std::mutex> lock(registryMutex);
  dirEntries.clear();
}

void setFault(const std::string& path, const std::string& op, uint32_t status) {
  std::string why;
  if (store().setFault(path, op, status, &why) != KALPAPI_OK) throw std::runtime_error(why);
}

std::string getText(const std::string& path) { return store().getText(path); }
std::vector<uint8_t> getRaw(const std::string& path) { return store().getRaw(path); }
void setText(const std::string& path, const std::string& text) { store().setText(path, text); }
void setRaw(const std::string& path, const std::vector<uint8_t>& bytes) { store().setRaw(path, bytes); }
void setDeviceState(uint32_t state) { store().setDeviceState(state); }
size_t openHandleCount() { return store().openHandleCount(); }
size_t openDirCount() { return store().openDirCount(); }

std::string dump(const std::string& path) {
  std::string json;
  if (store().dump(path, json) != KALPAPI_OK) throw std::runtime_error("variable '" + path + "' not found");
  return json;
}

int32_t requestStateReport(const std::string& component, const std::string& directory) {
  KalpApiStaRepCallback callback = nullptr;
  {
    std::lock_guard<std::mutex> lock(registryMutex);
    auto it = components.find(component);
    if (it == components.end()) throw std::runtime_error("component '" + component + "' is not registered");
    callback = it->second;
  }
  return callback(directory.c_str());
}

int32_t callProviderLock(const std::string& name, int operation) {
  KalpApiProviderLockCallback callback = nullptr;
  {
    std::lock_guard<std::mutex> lock(registryMutex);
    auto it = providers.find(name);
    if (it == providers.end()) throw std::runtime_error("provider '" + name + "' is not registered");
    callback = it->second;
  }
  return callback(operation);
}

}  // namespace kalpinproc

extern "C" {

uint32_t KalpApiVarOpenHdlA(const char* path, uint32_t* handle) {
  if (!path || !handle) return KALPAPI_E_INVALID_PARAMETER;
  return store().open(path, *handle);
}

uint32_t KalpApiVarGetType(uint32_t handle, uint32_t* type) {
  if (!type) return KALPAPI_E_INVALID_PARAMETER;
  return store().getType(handle, *type);
}

uint32_t KalpApiVarRead(void* destination, uint32_t handle, uint16_t byteCount) {
  return store().read(handle, destination, byteCount);
}

uint32_t KalpApiVarWrite(uint32_t handle, const void* source, uint16_t byteCount) {
  return store().write(handle, source, byteCount);
}

uint32_t KalpApiVarCloseHdl(uint32_t* handle) {
  if (!handle) return KALPAPI_E_INVALID_PARAMETER;
  uint32_t status = store().close(*handle);
  if (status == KALPAPI_OK) *handle = 0;
  return status;
}

uint32_t KalpApiVarTxtRead(const char* path, char* buffer, uint32_t capacity) {
  if (!path || !buffer || capacity == 0) return KALPAPI_E_INVALID_PARAMETER;
  std::string text;
  uint32_t status = store().readText(path, text);
  if (status == KALPAPI_OK) copyText(buffer, capacity, text);
  return status;
}

uint32_t KalpApiVarTxtWrite(const char* path, const char* text) {
  if (!path || !text) return KALPAPI_E_INVALID_PARAMETER;
  return store().writeText(path, text);
}

uint32_t KalpApiVarOpenDir(const char* path, uint32_t* directoryHandle) {
  if (!path || !directoryHandle) return KALPAPI_E_INVALID_PARAMETER;
  return store().openDir(path, *directoryHandle);
}

uint32_t KalpApiVarReadDir(uint32_t* directoryHandle, KalpApiDirEntry** entry) {
  if (!directoryHandle || !entry) return KALPAPI_E_INVALID_PARAMETER;
  kalpstore::DirEntryData data;
  uint32_t status = store().readDir(*directoryHandle, data);
  if (status != KALPAPI_OK) return status;
  std::lock_guard<std::mutex> lock(registryMutex);
  KalpApiDirEntry& slot = dirEntries[*directoryHandle];
  slot.valid = data.valid;
  copyText(slot.memberName, sizeof slot.memberName, data.memberName);
  copyText(slot.separator, sizeof slot.separator, data.separator);
  *entry = &slot;
  return KALPAPI_OK;
}

uint32_t KalpApiVarCloseDir(uint32_t* directoryHandle) {
  if (!directoryHandle) return KALPAPI_E_INVALID_PARAMETER;
  uint32_t status = store().closeDir(*directoryHandle);
  if (status == KALPAPI_OK) {
    std::lock_guard<std::mutex> lock(registryMutex);
    dirEntries.erase(*directoryHandle);
    *directoryHandle = 0;
  }
  return status;
}

uint32_t KalpApiDeviceGetStateA(uint32_t* state, uint32_t* word, uint32_t r1, uint32_t r2, uint32_t r3,
                                uint32_t r4, uint32_t r5, uint32_t r6, uint32_t r7, uint32_t r8) {
  if (!state || (r1 | r2 | r3 | r4 | r5 | r6 | r7 | r8) != 0) return KALPAPI_E_INVALID_PARAMETER;
  *state = store().deviceState();
  if (word) *word = 0;
  return KALPAPI_OK;
}

uint32_t KalpApiStaRepAddComponentA(const char* component, KalpApiStaRepCallback callback, uint32_t flags) {
  if (!component || !*component || !callback || flags != 0) return KALPAPI_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(registryMutex);
  components[component] = callback;
  return KALPAPI_OK;
}

uint32_t KalpApiProviderCreateA(uint32_t flags, const char* name, KalpApiProviderLockCallback lockCallback,
                                uint32_t* handle) {
  if (flags != 0 || !name || !*name || !lockCallback || !handle) return KALPAPI_E_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(registryMutex);
  providers[name] = lockCallback;
  *handle = nextProviderHandle++;
  return KALPAPI_OK;
}

}  // extern "C"
