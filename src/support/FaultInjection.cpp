#include "support/FaultInjection.h"

#include <platform/Symbols.h>

#include <array>
#include <chrono>
#include <thread>
#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "support/TextDevs.h"

std::atomic<unsigned> ArmedFaultPoints{0};

namespace fault_injection {
TOwnedMutex InjectedLock;
int* volatile NullPointer = nullptr;
void* volatile BadPointer = reinterpret_cast<void*>(std::uintptr_t{16});
volatile unsigned Zero = 0;
volatile unsigned Sink = 0;
void* (*volatile Copy)(void*, const void*, std::size_t) = &std::memcpy;
}  // namespace fault_injection

namespace {

constexpr std::array<std::string_view, static_cast<std::size_t>(TFaultPoint::Count)> PointNames = {
    "timer", "action", "notify", "model", "count", "receive", "dump", "metrics", "startup", "shutdown",
    "paint", "data", "menu", "tray", "report"};
constexpr std::pair<std::string_view, TFaultKind> KindNames[] = {
    {"store", TFaultKind::Store},         {"callee", TFaultKind::CalleeStore},
    {"memcpy", TFaultKind::LibraryCopy},  {"noexcept", TFaultKind::NoexceptStore},
    {"divide", TFaultKind::Divide},       {"recursion", TFaultKind::Recursion},
    {"channel", TFaultKind::ChannelLock}, {"allocator", TFaultKind::AllocatorLock},
    {"terminate", TFaultKind::Terminate}, {"throw", TFaultKind::Throw},
    {"hang", TFaultKind::Hang}};

struct TArmedFault {
  TFaultPoint Point;
  TFaultKind Kind;
  unsigned Arrival;
};

// Written once, before any thread that reaches a point exists.
std::vector<TArmedFault> Armed;
std::array<std::atomic<unsigned>, static_cast<std::size_t>(TFaultPoint::Count)> Arrivals{};

volatile bool NeverTrue = false;
using THold = void (*)();

[[gnu::noinline]] void StoreThroughNull() { *fault_injection::NullPointer = 1; }

[[gnu::noinline]] void StoreInCallee() {
  std::lock_guard guard(fault_injection::InjectedLock);
  StoreThroughNull();
}

[[gnu::noinline]] unsigned Recurse(unsigned Depth) {
  volatile char frame[256];
  frame[0] = static_cast<char>(Depth);
  if (NeverTrue) return Depth;
  return Recurse(Depth + 1) + static_cast<unsigned>(frame[0]);
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
    TArmedFault fault{TFaultPoint::Count, TFaultKind::None, arrival};
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

TFaultKind TakeFault(TFaultPoint Point) {
  const unsigned arrival = Arrivals[static_cast<std::size_t>(Point)].fetch_add(1) + 1;
  for (const TArmedFault& fault : Armed)
    if (fault.Point == Point && fault.Arrival == arrival) return fault.Kind;
  return TFaultKind::None;
}

void MakeFault(TFaultKind Kind) {
  switch (Kind) {
    case TFaultKind::CalleeStore: StoreInCallee(); break;
    case TFaultKind::Recursion: (void)Recurse(0); break;
    case TFaultKind::ChannelLock: TraceOutput.WhileLocked([] { (void)Recurse(0); }); break;
    case TFaultKind::AllocatorLock:
      // The test's allocator blocks every allocation from here on, as a
      // fault inside the allocator would.
      if (auto hold = reinterpret_cast<THold>(ProgramSymbol("WirepeekHoldAllocator"))) hold();
      StoreThroughNull();
      break;
    case TFaultKind::Terminate: std::terminate();
    case TFaultKind::Throw: throw std::runtime_error("a fault made on purpose");
    case TFaultKind::Hang:
      while (!NeverTrue) std::this_thread::sleep_for(std::chrono::seconds(1));
      break;
    default: break;
  }
}

bool InjectedLocksFree() {
  auto& lock = fault_injection::InjectedLock;
  if (!lock.try_lock()) return false;
  lock.unlock();
  return true;
}
