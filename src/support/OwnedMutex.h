#pragma once
// A mutex that knows which thread holds it. A fault report runs on the thread
// that faulted, which may hold the lock already: waiting for it there would
// never end, so the report asks HeldByMe first and does without the lock. A
// second lock by the holder throws instead of hanging.
#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

class TOwnedMutex {
 public:
  void lock() {
    if (HeldByMe()) throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    Mutex.lock();
    Holder.store(std::this_thread::get_id(), std::memory_order_relaxed);
  }
  bool try_lock() {
    if (!Mutex.try_lock()) return false;
    Holder.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return true;
  }
  void unlock() {
    Holder.store(std::thread::id(), std::memory_order_relaxed);
    Mutex.unlock();
  }
  bool HeldByMe() const noexcept { return Holder.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

 private:
  std::mutex Mutex;
  std::atomic<std::thread::id> Holder{};
};
