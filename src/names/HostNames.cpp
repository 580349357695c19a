#include "names/HostNames.h"

#include <algorithm>

#include "support/WorkerGuard.h"

std::chrono::seconds KeepFor(const TNameAnswer& answer) {
  using std::chrono::seconds;
  const auto within = [&](seconds longest) {
    return answer.TtlSeconds < 0 ? FailedKeep : std::clamp(seconds(answer.TtlSeconds), ShortestKeep, longest);
  };
  switch (answer.Kind) {
    case TNameAnswer::TKind::Named:
      return within(LongestNameKeep);
    case TNameAnswer::TKind::NoName:
      return within(LongestNoNameKeep);
    case TNameAnswer::TKind::Failed:
      break;
  }
  return FailedKeep;
}

THostNameCache::TEntry& THostNameCache::Place(const TIpAddress& addr) {
  if (const auto found = Index.find(addr); found != Index.end()) {
    Entries.splice(Entries.begin(), Entries, found->second);
    return Entries.front();
  }
  if (Index.size() >= Limit && !Entries.empty()) {
    Index.erase(Entries.back().Addr);
    Entries.pop_back();
  }
  Entries.push_front(TEntry{});
  Entries.front().Addr = addr;
  Index.emplace(addr, Entries.begin());
  return Entries.front();
}

THostNameCache::TState THostNameCache::Find(const TIpAddress& addr, TClock::time_point now, std::string* name) {
  const auto found = Index.find(addr);
  if (found == Index.end()) return TState::Unknown;
  const TEntry& entry = *found->second;
  if (entry.State != TState::Pending && entry.Expires <= now) {
    Entries.erase(found->second);
    Index.erase(found);
    return TState::Unknown;
  }
  Entries.splice(Entries.begin(), Entries, found->second);
  if (name && entry.State == TState::Named) *name = entry.Name;
  return entry.State;
}

void THostNameCache::SetPending(const TIpAddress& addr) { Place(addr).State = TState::Pending; }

void THostNameCache::Put(const TIpAddress& addr, const TNameAnswer& answer, TClock::time_point now) {
  TEntry& entry = Place(addr);
  entry.State = answer.Kind == TNameAnswer::TKind::Named ? TState::Named : TState::NoName;
  entry.Name = entry.State == TState::Named ? answer.Name : std::string();
  entry.Expires = now + KeepFor(answer);
}

struct THostNames::TShared {
  explicit TShared(std::shared_ptr<TNameResolver> resolver, std::size_t entries)
      : Resolver(std::move(resolver)), Cache(entries) {}
  std::shared_ptr<TNameResolver> Resolver;
  std::mutex Mutex;
  std::condition_variable Wake;  // work queued, or the end
  std::condition_variable Idle;  // a look-up done, or a thread ended
  THostNameCache Cache;
  std::deque<TIpAddress> Queue;
  std::size_t QueueLimit = 0;
  std::size_t Busy = 0;
  std::size_t Running = 0;
  std::size_t Calling = 0;  // threads telling of an answer
  THostNameCache::TClock::duration Spacing{};
  THostNameCache::TClock::time_point NextStart{};
  bool Stop = false;
  std::function<void()> Answered;
};

THostNames::THostNames(std::shared_ptr<TNameResolver> resolver, TLimits limits)
    : Shared(std::make_shared<TShared>(std::move(resolver), limits.Entries)) {
  Shared->QueueLimit = limits.Waiting;
  Shared->Spacing = std::chrono::microseconds(1'000'000 / std::max(limits.PerSecond, 1));
  Shared->Running = std::max<std::size_t>(limits.InFlight, 1);
  for (std::size_t i = 0; i < Shared->Running; ++i) Threads.emplace_back([shared = Shared] { Work(shared); });
}

THostNames::~THostNames() {
  std::unique_lock lock(Shared->Mutex);
  Shared->Stop = true;
  Shared->Queue.clear();
  Shared->Answered = nullptr;
  Shared->Wake.notify_all();
  // The one told of answers may be going away: no thread may still be telling it.
  Shared->Idle.wait(lock, [&] { return Shared->Calling == 0; });
  // Idle threads end at once; one in a look-up ends when its server answers
  // or gives up, which neither the window nor the capture waits for.
  const bool ended = Shared->Idle.wait_for(lock, std::chrono::milliseconds(100), [&] { return Shared->Running == 0; });
  lock.unlock();
  for (std::thread& thread : Threads) ended ? thread.join() : thread.detach();
}

void THostNames::Work(const std::shared_ptr<TShared>& shared) {
  RunWorker([&] {
    std::unique_lock lock(shared->Mutex);
    while (true) {
      shared->Wake.wait(lock, [&] { return shared->Stop || !shared->Queue.empty(); });
      if (shared->Stop) break;
      const TIpAddress addr = shared->Queue.front();
      shared->Queue.pop_front();
      ++shared->Busy;
      const auto start = std::max(shared->NextStart, THostNameCache::TClock::now());
      shared->NextStart = start + shared->Spacing;
      if (shared->Wake.wait_until(lock, start, [&] { return shared->Stop; })) {
        --shared->Busy;
        break;
      }
      lock.unlock();
      const TNameAnswer answer = shared->Resolver->Reverse(addr);
      lock.lock();
      --shared->Busy;
      shared->Cache.Put(addr, answer, THostNameCache::TClock::now());
      shared->Idle.notify_all();
      if (answer.Kind == TNameAnswer::TKind::Named && shared->Answered) {
        const auto answered = shared->Answered;
        ++shared->Calling;
        lock.unlock();
        answered();
        lock.lock();
        --shared->Calling;
        shared->Idle.notify_all();
      }
    }
  }, "the host name look-ups end");
  std::lock_guard lock(shared->Mutex);
  --shared->Running;
  shared->Idle.notify_all();
}

std::string THostNames::Name(const TIpAddress& addr) {
  std::string name;
  // A link-local or group address means the same on every link: no server
  // names it.
  const std::uint8_t first = addr.Bytes()[0];
  if (addr.IsLinkLocal() || (addr.IsV6() ? first == 0xff : (first & 0xf0) == 0xe0 || addr.Raw4() == 0xffffffff))
    return name;
  std::lock_guard lock(Shared->Mutex);
  if (Shared->Cache.Find(addr, THostNameCache::TClock::now(), &name) != THostNameCache::TState::Unknown) return name;
  if (Shared->Stop || Shared->Queue.size() >= Shared->QueueLimit) return name;
  Shared->Cache.SetPending(addr);
  Shared->Queue.push_back(addr);
  // All: one of them may be waiting for its turn rather than for work.
  Shared->Wake.notify_all();
  return name;
}

std::string THostNames::Known(const TIpAddress& addr) {
  std::string name;
  std::lock_guard lock(Shared->Mutex);
  Shared->Cache.Find(addr, THostNameCache::TClock::now(), &name);
  return name;
}

void THostNames::SetAnswered(std::function<void()> answered) {
  std::lock_guard lock(Shared->Mutex);
  Shared->Answered = std::move(answered);
}

void THostNames::Flush(std::chrono::milliseconds timeout) {
  std::unique_lock lock(Shared->Mutex);
  Shared->Idle.wait_for(lock, timeout, [&] { return Shared->Queue.empty() && Shared->Busy == 0; });
}
