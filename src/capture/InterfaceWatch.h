#pragma once
// The addresses a capture counts as its own, and, for a whole interface, a
// worker that follows the interface's addresses while the capture runs
// (DHCP, temporary IPv6 addresses, renumbering).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/backend/HostAddresses.h"
#include "capture/backend/IpAddress.h"

// One address, or every address of an interface. The set is a handful of
// addresses: a scan is as quick as any table.
class TWatchedSet {
 public:
  // Which families the totals count: an address's own, or both for an
  // interface (whatever addresses it holds at the moment).
  bool Count4 = true;
  bool Count6 = false;

  void Assign(const std::vector<TIpAddress>& Addresses) {
    Four.clear();
    Six.clear();
    for (const TIpAddress& a : Addresses) {
      if (a.IsV6())
        Six.push_back(a);
      else
        Four.push_back(a.Raw4());
    }
  }
  bool Has4(std::uint32_t NetworkOrder) const noexcept {
    for (const std::uint32_t a : Four)
      if (a == NetworkOrder) return true;
    return false;
  }
  bool Has6(const TIpAddress& Addr) const noexcept {
    for (const TIpAddress& a : Six)
      if (a == Addr) return true;
    return false;
  }

 private:
  std::vector<std::uint32_t> Four;
  std::vector<TIpAddress> Six;
};

// Reads the interface's addresses at once, then again every Period on a
// thread of its own until destroyed.
class TInterfaceWatch {
 public:
  TInterfaceWatch(std::string Interface, THostAddressSource Source,
                  std::chrono::milliseconds Period = std::chrono::milliseconds(500));
  ~TInterfaceWatch();
  TInterfaceWatch(const TInterfaceWatch&) = delete;
  TInterfaceWatch& operator=(const TInterfaceWatch&) = delete;

  // Capture thread: the addresses into Out when they changed since the last
  // call (the first call always gives them). Never waits for the worker:
  // while it is storing a change, the change comes at the next call.
  bool Changed(std::vector<TIpAddress>& Out) {
    if (Generation.load(std::memory_order_acquire) == Seen) return false;
    return Take(Out);
  }

 private:
  void Read();
  bool Take(std::vector<TIpAddress>& Out);

  const std::string Interface;
  const THostAddressSource Source;
  std::mutex Mutex;  // guards Current and Stop
  std::condition_variable Wake;
  std::vector<TIpAddress> Current;
  bool Stop = false;
  std::atomic<std::uint64_t> Generation{1};
  std::uint64_t Seen = 0;  // the capture thread's
  std::thread Worker;
};
