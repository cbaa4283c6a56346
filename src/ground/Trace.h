// The service's trace log: single time-stamped lines on standard error.
//
// A line of level N is written only while traceLevel >= N. Write one with
//     TRACE(N, piece, piece, ...);
// Pieces are formatted as by a standard stream (integers in decimal, bools as 1 or 0, texts as
// they are; 8-bit integers also in decimal). When the level is off, TRACE costs one relaxed
// atomic load: no piece is evaluated, no text is built, no lock is taken.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <sstream>
#include <string>
#include <type_traits>

// Process-wide trace level; 0 writes nothing. Read without a lock, relaxed: a change takes
// effect for lines started after it.
extern std::atomic<uint32_t> traceLevel;

// Held from before a line's prefix is built until the line, with its line feed, has been
// written and flushed. Taken only by traceWriteLine; never held together with another lock of
// the service.
extern std::mutex traceMutex;

void setTraceLevel(uint32_t level);

// "ZAL_MQTT  %Y-%m-%d %H:%M:%S.000| " for the current local time.
std::string tracePrefix();

// Writes prefix + text + line feed to standard error under traceMutex and flushes. A trace line
// is always one line: line feeds at the end of text (exception texts that end in one) are
// dropped, and every other control byte (below 0x20, and 0x7F) is written as \xNN, so that a
// configured name, a topic or a received text can neither split a line nor forge another.
// Does not look at the level; TRACE does.
void traceWriteLine(const std::string& text);

inline bool traceEnabled(uint32_t level) { return traceLevel.load(std::memory_order_relaxed) >= level; }

namespace tracedetail {
template <typename T>
inline void put(std::ostringstream& out, const T& piece) {
  using Plain = std::remove_cv_t<std::remove_reference_t<T>>;
  if constexpr (std::is_same_v<Plain, signed char>) {
    out << static_cast<int>(piece);
  } else if constexpr (std::is_same_v<Plain, unsigned char>) {
    out << static_cast<unsigned int>(piece);
  } else {
    out << piece;
  }
}
}  // namespace tracedetail

// Formats the pieces into one text (the body of a line, without prefix).
template <typename... Pieces>
std::string traceText(const Pieces&... pieces) {
  std::ostringstream out;
  (tracedetail::put(out, pieces), ...);
  return out.str();
}

#define TRACE(level, ...)                         \
  do {                                            \
    if (::traceEnabled(level)) {                  \
      ::traceWriteLine(::traceText(__VA_ARGS__)); \
    }                                             \
  } while (0)

// Lower-case hexadecimal without leading zeros and without "0x" ("81000503", "0").
std::string hexString(uint64_t value);
