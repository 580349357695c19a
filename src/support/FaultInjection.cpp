#include "support/FaultInjection.h"

#include <platform/Symbols.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>
#include <string_view>
#include <vector>

#include "support/TextDevs.h"

std::atomic<unsigned> ArmedFaultPoints{0};

namespace {

enum class TFaultKind {
  Store,          // a null store in this frame, which holds a lock
  CalleeStore,    // a null store in a callee of a frame that holds a lock
  LibraryCopy,    // a bad pointer handed to memcpy: the fault is inside the C library
  NoexceptStore,  // a null store in a function that may not throw
  Divide,         // an integer division by zero
  Recursion,      // endless recursion: the stack overflows
  ChannelLock,    // the stack overflows while the trace channel's lock is held
  AllocatorLock,  // a null store while the allocator is held (needs the test's allocator)
  Terminate,      // std::terminate, which nothing may swallow
};

constexpr std::array<std::string_view, static_cast<std::size_t>(TFaultPoint::Count)> PointNames = {
    "timer", "action", "notify", "model", "count", "receive", "dump", "metrics", "startup", "shutdown"};
constexpr std::pair<std::string_view, TFaultKind> KindNames[] = {
    {"store", TFaultKind::Store},         {"callee", TFaultKind::CalleeStore},
    {"memcpy", TFaultKind::LibraryCopy},  {"noexcept", TFaultKind::NoexceptStore},
    {"divide", TFaultKind::Divide},       {"recursion", TFaultKind::Recursion},
    {"channel", TFaultKind::ChannelLock}, {"allocator", TFaultKind::AllocatorLock},
    {"terminate", TFaultKind::Terminate}};

struct TArmedFault {
  TFaultPoint Point;
  TFaultKind Kind;
  unsigned Arrival;
};

// Written once, before any thread that reaches a point exists.
std::vector<TArmedFault> Armed;
std::array<std::atomic<unsigned>, static_cast<std::size_t>(TFaultPoint::Count)> Arrivals{};

// The lock the lock-holding kinds take; a fault that skips its clean-up
// leaves it held, and InjectedLocksFree says so.
std::mutex InjectedLock;

int* volatile NullPointer = nullptr;
volatile int Zero = 0;
volatile bool NeverTrue = false;
using THold = void (*)();

[[gnu::noinline]] void StoreThroughNull() { *NullPointer = 1; }

[[gnu::noinline]] void StoreInFrame() {
  std::lock_guard guard(InjectedLock);
  *NullPointer = 2;
}

[[gnu::noinline]] void StoreInCallee() {
  std::lock_guard guard(InjectedLock);
  StoreThroughNull();
}

[[gnu::noinline]] void CopyToBadPointer() {
  std::lock_guard guard(InjectedLock);
  char source[64] = {};
  void* volatile target = reinterpret_cast<void*>(std::uintptr_t{16});
  std::memcpy(target, source, sizeof source);
}

[[gnu::noinline]] void StoreWithoutThrowing() noexcept { *NullPointer = 3; }

[[gnu::noinline]] void Divide() {
  std::lock_guard guard(InjectedLock);
  NullPointer = reinterpret_cast<int*>(std::uintptr_t{1} / static_cast<unsigned>(Zero));
}

[[gnu::noinline]] unsigned Recurse(unsigned Depth) {
  volatile char frame[256];
  frame[0] = static_cast<char>(Depth);
  if (NeverTrue) return Depth;
  return Recurse(Depth + 1) + static_cast<unsigned>(frame[0]);
}

void Make(TFaultKind Kind) {
  switch (Kind) {
    case TFaultKind::Store: StoreInFrame(); break;
    case TFaultKind::CalleeStore: StoreInCallee(); break;
    case TFaultKind::LibraryCopy: CopyToBadPointer(); break;
    case TFaultKind::NoexceptStore: StoreWithoutThrowing(); break;
    case TFaultKind::Divide: Divide(); break;
    case TFaultKind::Recursion: (void)Recurse(0); break;
    case TFaultKind::ChannelLock: TraceOutput.WhileLocked([] { (void)Recurse(0); }); break;
    case TFaultKind::AllocatorLock:
      // The test's allocator blocks every allocation from here on, as a
      // fault inside the allocator would.
      if (auto hold = reinterpret_cast<THold>(ProgramSymbol("WirepeekHoldAllocator"))) hold();
      StoreThroughNull();
      break;
    case TFaultKind::Terminate: std::terminate();
  }
}

}  // namespace

std::string ArmFaults(const char* Value) {
  if (!Value || !*Value) return {};
  std::string_view rest(Value);
  unsigned mask = 0;
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    const std::size_t colon = item.find(':');
    const std::size_t second = colon == std::string_view::npos ? colon : item.find(':', colon + 1);
    const std::string_view point = item.substr(0, colon);
    const std::string_view kind =
        colon == std::string_view::npos ? std::string_view() : item.substr(colon + 1, second - colon - 1);
    unsigned arrival = 1;
    if (second != std::string_view::npos) {
      arrival = 0;
      for (char c : item.substr(second + 1)) {
        if (c < '0' || c > '9' || arrival > 100000) return "bad arrival count in \"" + std::string(item) + "\"";
        arrival = arrival * 10 + static_cast<unsigned>(c - '0');
      }
      if (arrival == 0) return "bad arrival count in \"" + std::string(item) + "\"";
    }
    TArmedFault fault{TFaultPoint::Count, TFaultKind::Store, arrival};
    for (std::size_t i = 0; i < PointNames.size(); ++i)
      if (PointNames[i] == point) fault.Point = static_cast<TFaultPoint>(i);
    bool knownKind = false;
    for (const auto& [name, value] : KindNames)
      if (name == kind) fault.Kind = value, knownKind = true;
    if (fault.Point == TFaultPoint::Count || !knownKind) return "no such fault: \"" + std::string(item) + "\"";
    if (fault.Kind == TFaultKind::AllocatorLock && !ProgramSymbol("WirepeekHoldAllocator"))
      return "\"allocator\" needs an allocator that can be held (the tests preload one)";
    Armed.push_back(fault);
    mask |= 1U << static_cast<unsigned>(fault.Point);
  }
  ArmedFaultPoints.store(mask, std::memory_order_release);
  return {};
}

void ReachFaultPoint(TFaultPoint Point) {
  const unsigned arrival = Arrivals[static_cast<std::size_t>(Point)].fetch_add(1) + 1;
  for (const TArmedFault& fault : Armed)
    if (fault.Point == Point && fault.Arrival == arrival) Make(fault.Kind);
}

bool InjectedLocksFree() {
  if (!InjectedLock.try_lock()) return false;
  InjectedLock.unlock();
  return true;
}
