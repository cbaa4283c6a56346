// The main thread's job queue: other threads post jobs, the main thread runs them one at a
// time, in posting order.
//
// A job is a plain member function of the target that raises one event (no closure, no data).
// Posting takes only the queue's own short lock and never waits for a running job, so a poster
// is never left waiting while the main thread waits for it (joining a worker, stopping the MQTT
// library's network thread). Nothing posted is lost or reordered.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

template <class Target>
class MainThreadJobQueue {
 public:
  using Job = void (Target::*)();

  // Callable from any thread. std::system_error when the lock cannot be taken.
  void post(Job job) {
    {
      std::lock_guard<std::mutex> lock(mainThreadJobMutex);
      mainThreadJob.push_back(job);
    }
    mainThreadJobSignal.notify_one();
  }

  // Waits up to timeout for a job and runs it on target outside the queue's lock. Returns
  // whether a job ran.
  bool runNext(Target& target, std::chrono::milliseconds timeout) {
    Job job = nullptr;
    {
      std::unique_lock<std::mutex> lock(mainThreadJobMutex);
      if (!mainThreadJobSignal.wait_for(lock, timeout, [this] { return !mainThreadJob.empty(); }))
        return false;
      job = mainThreadJob.front();
      mainThreadJob.pop_front();
    }
    (target.*job)();
    return true;
  }

  // The main loop: runs every posted job, forever.
  [[noreturn]] void runForever(Target& target) {
    for (;;) runNext(target, std::chrono::hours(24));
  }

 private:
  // Guards mainThreadJob only; held for a push or a pop, never while a job runs, and never
  // together with the trace lock or the subscribe queue's lock.
  std::mutex mainThreadJobMutex;
  std::condition_variable mainThreadJobSignal;  // a job was posted
  std::deque<Job> mainThreadJob;                // posted jobs, oldest first
};
