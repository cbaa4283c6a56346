// Progress of a long bind. Binding the variables of a large configuration takes minutes at the
// default member pause; while a BindProgress lives on a thread, every variable bound on that
// thread is counted, and once per interval a level-2 line tells how many are bound so far and
// which configuration is being bound:
//     "Binding variables: <n> bound so far, now binding <configuration path>."
// When the scope ends and the bind took at least one interval, a last line gives the total and
// the time taken:
//     "Binding variables: <n> bound in <s.s> s."
// A bind shorter than one interval writes no line at all, so quick starts trace as before.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

class BindProgress {
 public:
  static constexpr std::chrono::milliseconds kDefaultInterval{5000};

  explicit BindProgress(std::string configurationPath, std::chrono::milliseconds interval = kDefaultInterval);
  ~BindProgress();
  BindProgress(const BindProgress&) = delete;
  BindProgress& operator=(const BindProgress&) = delete;

  // Names the configuration now being bound, for the next progress lines of this thread.
  static void setCurrent(const std::string& configurationPath);
  // Counts one variable bound on this thread; writes a progress line when an interval has
  // passed since the start or the last line. Does nothing without a BindProgress.
  static void noteBound();

 private:
  using Clock = std::chrono::steady_clock;
  BindProgress* outer;
  std::string current;
  std::chrono::milliseconds interval;
  Clock::time_point start;
  Clock::time_point nextLine;
  uint64_t bound = 0;
};
