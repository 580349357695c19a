#pragma once
// A mutex that knows which thread holds it. A fault report runs on the thread
// that faulted, which may hold the lock already: waiting for it there would
// never end, so the report asks HeldByMe first and does without the lock. A
// second lock by the holder throws instead of hanging.
//
// Each thread also keeps the list of owned mutexes it holds, in the order it
// took them: a jump out of a fault or out of a report skips the destructors
// that would unlock them, and the jump's landing place gives back those taken
// since it was set up (ReleaseOwnedLocksAbove).
#include <atomic>
#include <cstddef>
#include <mutex>
#include <system_error>
#include <thread>

class TOwnedMutex;

namespace owned_mutex {
// Fixed size: pushed and popped on paths that may run while the allocator's
// lock is held. Nesting deeper than this is not tracked (and never happens).
inline constexpr std::size_t MaxHeld = 32;
// Trivial, so that each thread's copy is zeroed without an initialisation
// function (one that some linkers then find defined twice).
struct THeld {
  TOwnedMutex* Items[MaxHeld];
  std::size_t Count;
};
inline thread_local THeld Held;
}  // namespace owned_mutex

class TOwnedMutex {
 public:
  void lock() {
    if (HeldByMe()) throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    Mutex.lock();
    Taken();
  }
  bool try_lock() {
    if (!Mutex.try_lock()) return false;
    Taken();
    return true;
  }
  void unlock() {
    auto& held = owned_mutex::Held;
    for (std::size_t i = held.Count; i-- > 0;) {
      if (held.Items[i] != this) continue;
      for (std::size_t j = i + 1; j < held.Count; ++j) held.Items[j - 1] = held.Items[j];
      --held.Count;
      break;
    }
    Holder.store(std::thread::id(), std::memory_order_relaxed);
    Mutex.unlock();
  }
  bool HeldByMe() const noexcept { return Holder.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

 private:
  void Taken() {
    Holder.store(std::this_thread::get_id(), std::memory_order_relaxed);
    auto& held = owned_mutex::Held;
    if (held.Count < owned_mutex::MaxHeld) held.Items[held.Count++] = this;
  }

  std::mutex Mutex;
  std::atomic<std::thread::id> Holder{};
};

// How many owned mutexes the calling thread holds.
inline std::size_t OwnedLocksHeld() noexcept { return owned_mutex::Held.Count; }

// Whether the calling thread took Mutex after it held Count owned mutexes.
inline bool OwnedLockTakenSince(const TOwnedMutex& Mutex, std::size_t Count) noexcept {
  const auto& held = owned_mutex::Held;
  for (std::size_t i = Count; i < held.Count; ++i)
    if (held.Items[i] == &Mutex) return true;
  return false;
}

// After a jump skipped the destructors that would have unlocked them: gives
// back, newest first, the owned mutexes the calling thread took after it held
// Count of them.
inline void ReleaseOwnedLocksAbove(std::size_t Count) noexcept {
  auto& held = owned_mutex::Held;
  while (held.Count > Count) {
    TOwnedMutex* const mutex = held.Items[held.Count - 1];
    if (mutex->HeldByMe()) {
      mutex->unlock();
    } else {
      --held.Count;
    }
  }
}
