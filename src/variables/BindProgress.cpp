// Progress of a long bind: a per-thread counter and its level-2 lines.
#include "BindProgress.h"

#include <cstdio>
#include <utility>

#include "Trace.h"

namespace {
thread_local BindProgress* currentProgress = nullptr;
}  // namespace

BindProgress::BindProgress(std::string configurationPath, std::chrono::milliseconds intervalIn)
    : outer(currentProgress),
      current(std::move(configurationPath)),
      interval(intervalIn),
      start(Clock::now()),
      nextLine(start + intervalIn) {
  currentProgress = this;
}

BindProgress::~BindProgress() {
  currentProgress = outer;
  const Clock::duration taken = Clock::now() - start;
  if (taken < interval) return;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f",
                std::chrono::duration_cast<std::chrono::milliseconds>(taken).count() / 1000.0);
  TRACE(2, "Binding variables: ", bound, " bound in ", seconds, " s.");
}

void BindProgress::setCurrent(const std::string& configurationPath) {
  if (currentProgress != nullptr) currentProgress->current = configurationPath;
}

void BindProgress::noteBound() {
  BindProgress* progress = currentProgress;
  if (progress == nullptr) return;
  ++progress->bound;
  const Clock::time_point now = Clock::now();
  if (now < progress->nextLine) return;
  progress->nextLine = now + progress->interval;
  TRACE(2, "Binding variables: ", progress->bound, " bound so far, now binding ", progress->current, ".");
}
