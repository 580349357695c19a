#pragma once
// Ready-made notify targets: one that runs its handler right on the capture
// thread, and one that hands each notification to an owner thread and waits.
#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <utility>

#include "capture/XIoctlUnit.h"

// For owners that do nothing else while the capture runs (the headless
// report): the capture thread itself is the target's thread.
class TDirectNotifyTarget final : public TCaptureNotifyTarget {
 public:
  explicit TDirectNotifyTarget(std::function<void()> handler) : Handler(std::move(handler)) {}
  void CaptureNotify() override { Handler(); }

 private:
  std::function<void()> Handler;
};

// For an owner with an event loop (the window). CaptureNotify asks Wake to
// get ServePending called on the owner's thread (for example by posting to
// its event loop) and blocks until the handler has run there.
class TQueuedNotifyTarget final : public TCaptureNotifyTarget {
 public:
  TQueuedNotifyTarget(std::function<void()> handler, std::function<void()> wake)
      : Handler(std::move(handler)), Wake(std::move(wake)) {}

  // Capture thread.
  void CaptureNotify() override {
    std::unique_lock lock(Mutex);
    const unsigned long long ticket = ++Requested;
    lock.unlock();
    Wake();
    lock.lock();
    Served.wait(lock, [&] { return Done >= ticket; });
  }

  // Owner thread. The capture thread is released however the handler ends:
  // returned, thrown, or abandoned by a guard inside it.
  void ServePending() override {
    unsigned long long ticket = 0;
    {
      std::lock_guard lock(Mutex);
      if (Done >= Requested) return;
      ticket = Requested;
    }
    struct TRelease {
      TQueuedNotifyTarget& Target;
      unsigned long long Ticket;
      ~TRelease() {
        {
          std::lock_guard lock(Target.Mutex);
          Target.Done = std::max(Target.Done, Ticket);
        }
        Target.Served.notify_all();
      }
    } release{*this, ticket};
    Handler();
  }

 private:
  std::function<void()> Handler;
  std::function<void()> Wake;
  std::mutex Mutex;
  std::condition_variable Served;
  unsigned long long Requested = 0;
  unsigned long long Done = 0;
};
