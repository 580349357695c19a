#pragma once
// Host names of remote addresses, looked up on threads of their own so that
// neither the capture thread nor the window ever waits for the network. Any
// thread may ask; an answer, named or not, is kept for its TTL in a bounded
// cache, so an address is not asked about again while its answer holds.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "names/NameResolver.h"

// How long an answer is kept: a name for its TTL, an address without one for
// its zone's negative TTL, each within bounds, so that a TTL of 0 does not
// make every repaint a query and a long one does not outlive a renumbering.
// A failure is kept a fixed while.
inline constexpr std::chrono::seconds ShortestKeep{30}, LongestNameKeep{86'400}, LongestNoNameKeep{3'600},
    FailedKeep{300};
std::chrono::seconds KeepFor(const TNameAnswer& Answer);

// Addresses to their answers, the least recently asked dropped beyond
// Capacity; an address being looked up holds a place too. O(1) per call.
class THostNameCache {
 public:
  using TClock = std::chrono::steady_clock;
  enum class TState { Unknown, Pending, Named, NoName };
  explicit THostNameCache(std::size_t Capacity) : Limit(Capacity) {}

  // What is known of Addr at Now (an answer past its time is forgotten), and
  // its name when it has one.
  TState Find(const TIpAddress& Addr, TClock::time_point Now, std::string* Name = nullptr);
  void SetPending(const TIpAddress& Addr);
  void Put(const TIpAddress& Addr, const TNameAnswer& Answer, TClock::time_point Now);
  std::size_t Size() const noexcept { return Index.size(); }

 private:
  struct TEntry {
    TIpAddress Addr;
    TState State = TState::Pending;
    std::string Name;
    TClock::time_point Expires;
  };
  TEntry& Place(const TIpAddress& Addr);

  std::size_t Limit;
  std::list<TEntry> Entries;  // most recently asked first
  std::unordered_map<TIpAddress, std::list<TEntry>::iterator, TIpAddressHash> Index;
};

class THostNames {
 public:
  struct TLimits {
    std::size_t Entries = 65'536;  // answers kept
    std::size_t Waiting = 4'096;   // addresses queued; more are asked again when next needed
    std::size_t InFlight = 4;      // look-ups at once, one per thread
    // Look-ups started a second at most: a flood of made-up addresses does
    // not become a flood of queries.
    int PerSecond = 100;
  };
  explicit THostNames(std::shared_ptr<TNameResolver> Resolver, TLimits Limits);
  explicit THostNames(std::shared_ptr<TNameResolver> Resolver) : THostNames(std::move(Resolver), TLimits{}) {}
  // Threads still waiting on a server are left to end on their own.
  ~THostNames();
  THostNames(const THostNames&) = delete;
  THostNames& operator=(const THostNames&) = delete;

  // Any thread: the name of Addr when known; otherwise it is looked up
  // unless its answer is known, it is queued, or the queue is full.
  std::string Name(const TIpAddress& Addr);
  // Any thread: the name when known, without asking.
  std::string Known(const TIpAddress& Addr);
  // Told, on a look-up thread, when a name has come.
  void SetAnswered(std::function<void()> Answered);
  // Waits until nothing is queued or being looked up, at most Timeout.
  void Flush(std::chrono::milliseconds Timeout);

 private:
  struct TShared;
  // A look-up thread.
  static void Work(const std::shared_ptr<TShared>& Shared);
  std::shared_ptr<TShared> Shared;
  std::vector<std::thread> Threads;
};
