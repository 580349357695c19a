#include "capture/InterfaceWatch.h"

#include <utility>

#include "support/WorkerGuard.h"

TInterfaceWatch::TInterfaceWatch(std::string interface, THostAddressSource source, std::chrono::milliseconds period)
    : Interface(std::move(interface)), Source(std::move(source)) {
  Read();
  // Under the program's guard: a fault in a reading ends the following, not
  // the capture, which goes on with the addresses last read.
  Worker = std::thread([this, period] {
    try {
      RunWorker([&] {
        std::unique_lock lock(Mutex);
        while (!Wake.wait_for(lock, period, [this] { return Stop; })) {
          lock.unlock();
          Read();
          lock.lock();
        }
      });
    } catch (...) {
    }
  });
}

TInterfaceWatch::~TInterfaceWatch() {
  {
    std::lock_guard lock(Mutex);
    Stop = true;
  }
  Wake.notify_all();
  if (Worker.joinable()) Worker.join();
}

// The watch's thread (and its constructor's).
void TInterfaceWatch::Read() {
  std::vector<THostAddress> host;
  // A listing that fails keeps the addresses known: the interface did not
  // lose them for that.
  if (!Source || !Source(host)) return;
  std::vector<TIpAddress> now = InterfaceAddresses(host, Interface);
  std::lock_guard lock(Mutex);
  if (now == Current) return;
  Current = std::move(now);
  Generation.fetch_add(1, std::memory_order_release);
}

// Capture thread.
bool TInterfaceWatch::Take(std::vector<TIpAddress>& out) {
  std::unique_lock lock(Mutex, std::try_to_lock);
  if (!lock.owns_lock()) return false;
  out = Current;
  Seen = Generation.load(std::memory_order_relaxed);
  return true;
}
