#pragma once
// An event that stays signalled until reset, with a timed wait.
#include <chrono>
#include <condition_variable>
#include <mutex>

class TManualResetEvent {
 public:
  enum class TWaitResult { Signaled, Timeout };

  void Set() {
    {
      std::lock_guard lock(Mutex);
      Signaled = true;
    }
    Changed.notify_all();
  }
  void Reset() {
    std::lock_guard lock(Mutex);
    Signaled = false;
  }
  bool IsSet() const {
    std::lock_guard lock(Mutex);
    return Signaled;
  }
  TWaitResult WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(Mutex);
    return Changed.wait_for(lock, timeout, [this] { return Signaled; }) ? TWaitResult::Signaled
                                                                         : TWaitResult::Timeout;
  }

 private:
  mutable std::mutex Mutex;
  std::condition_variable Changed;
  bool Signaled = false;
};
