#include "Trace.h"

#include <cstdio>
#include <ctime>

std::atomic<uint32_t> traceLevel{0};
std::mutex traceMutex;

void setTraceLevel(uint32_t level) { traceLevel.store(level, std::memory_order_relaxed); }

std::string tracePrefix() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char buffer[100];
  size_t length = std::strftime(buffer, sizeof buffer, "ZAL_MQTT  %Y-%m-%d %H:%M:%S.000| ", &local);
  return std::string(buffer, length);
}

void traceWriteLine(const std::string& text) {
  std::lock_guard<std::mutex> lock(traceMutex);  // std::system_error when it cannot be locked
  std::string line = tracePrefix();
  line += text;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

std::string hexString(uint64_t value) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "%llx", static_cast<unsigned long long>(value));
  return buffer;
}
