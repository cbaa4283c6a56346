#include "Trace.h"

#include <algorithm>
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

namespace {

bool isControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

void appendEscaped(std::string& out, const char* text, size_t length) {
  static const char hex[] = "0123456789abcdef";
  for (size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (isControl(text[i])) {
      out += "\\x";
      out += hex[byte >> 4];
      out += hex[byte & 0xF];
    } else {
      out += text[i];
    }
  }
}

}  // namespace

void traceWriteLine(const std::string& text) {
  size_t length = text.size();
  while (length > 0 && text[length - 1] == '\n') --length;
  std::lock_guard<std::mutex> lock(traceMutex);  // std::system_error when it cannot be locked
  std::string line = tracePrefix();
  if (std::none_of(text.data(), text.data() + length, isControl)) {
    line.append(text, 0, length);
  } else {
    appendEscaped(line, text.data(), length);
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

std::string hexString(uint64_t value) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "%llx", static_cast<unsigned long long>(value));
  return buffer;
}
