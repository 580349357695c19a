#pragma once
// Faults made on purpose in the shipped program, so that tests can show what
// a user sees when the program's own code goes wrong. Nothing is armed unless
// the environment asks for it:
//
//   WIREPEEK_FAULT=POINT:KIND[:N][,POINT:KIND[:N]...]
//
// makes the Nth arrival at POINT (the first by default) fault in the way KIND
// names. The names are listed in FaultInjection.cpp and in
// docs/fault-handling.md. A point costs one relaxed load while unarmed.
//
// FaultPoint is a macro: the faulting instruction of the kinds that fault
// in place (store, memcpy, noexcept, divide) is then the handler's own, as
// the handler is compiled for the product, and its report names the
// handler's file and line.
#include <atomic>
#include <cstddef>
#include <string>

#include "support/OwnedMutex.h"

enum class TFaultPoint : unsigned {
  Timer,           // the window's timer handler
  Action,          // a command reached through a button or a menu
  CaptureNotify,   // the window's handler of the capture thread's notification
  TableModel,      // a summary table's model taking in records
  Counting,        // the capture thread counting a datagram
  ReceiveLoop,     // the capture thread's receive loop
  DumpFormatter,   // the thread that writes the packet dump
  MetricsRequest,  // an endpoint request
  StartUp,         // after the trace window, before the main window
  Shutdown,        // after the main window is gone
  Paint,           // the rate page's chart painting itself
  ModelData,       // the protocol table's model answering the view
  TraceMenu,       // a menu command of the trace window
  Tray,            // the tray icon's handler
  Report,          // inside an exception report
  Count
};

enum class TFaultKind : unsigned {
  None,
  Store,          // a null store in this frame, which holds a lock
  CalleeStore,    // a null store in a callee of a frame that holds a lock
  LibraryCopy,    // memcpy (the C library's) into a bad pointer, with a lock held
  NoexceptStore,  // a null store in a function that may not throw
  Divide,         // an integer division by zero, with a lock held
  Recursion,      // endless recursion: the stack overflows
  ChannelLock,    // the stack overflows while the trace channel's lock is held
  AllocatorLock,  // a null store while the allocator is held (needs the test's allocator)
  Terminate,      // std::terminate, which nothing may swallow
  Throw,          // a C++ exception (std::runtime_error)
  Hang,           // waits for ever (the watchdog's business)
};

extern std::atomic<unsigned> ArmedFaultPoints;

// Arms what Value asks for (a WIREPEEK_FAULT value); the error text for a
// value it cannot use, or empty.
std::string ArmFaults(const char* Value);

// Counts an arrival at Point; the kind of fault armed for this one.
[[gnu::cold, gnu::noinline]] TFaultKind TakeFault(TFaultPoint Point);
// The kinds that do not fault in place.
[[gnu::cold, gnu::noinline]] void MakeFault(TFaultKind Kind);

namespace fault_injection {
// The lock the lock-holding kinds take; owned, so that a jump out of the
// fault gives it back like any owned lock. A fault that leaves it held all
// the same skipped its clean-up, and InjectedLocksFree says so.
extern TOwnedMutex InjectedLock;
extern int* volatile NullPointer;
extern void* volatile BadPointer;
extern volatile unsigned Zero;
extern volatile unsigned Sink;
// The C library's memcpy, called through a pointer so that the compiler
// cannot lay the copy out inline.
extern void* (*volatile Copy)(void*, const void*, std::size_t);
}  // namespace fault_injection

// clang-format off
#define FaultPoint(Point)                                                                          \
  do {                                                                                             \
    if (ArmedFaultPoints.load(std::memory_order_relaxed) & (1U << static_cast<unsigned>(Point)))   \
      [[unlikely]] {                                                                               \
      namespace wfi = fault_injection;                                                             \
      switch (const TFaultKind wirepeekFaultKind = TakeFault(Point)) {                             \
        case TFaultKind::None: break;                                                              \
        case TFaultKind::Store: { std::lock_guard wfiGuard(wfi::InjectedLock); *wfi::NullPointer = 2; break; } \
        case TFaultKind::LibraryCopy: {                                                            \
          std::lock_guard wfiGuard(wfi::InjectedLock);                                             \
          char wfiSource[64] = {};                                                                 \
          wfi::Copy(wfi::BadPointer, wfiSource, sizeof wfiSource);                                 \
          break;                                                                                   \
        }                                                                                          \
        case TFaultKind::NoexceptStore: [&]() noexcept { *wfi::NullPointer = 3; }(); break;        \
        case TFaultKind::Divide: { std::lock_guard wfiGuard(wfi::InjectedLock); wfi::Sink = 1U / wfi::Zero; break; } \
        default: MakeFault(wirepeekFaultKind);                                                     \
      }                                                                                            \
    }                                                                                              \
  } while (false)
// clang-format on

// False when a lock taken around a fault made here is still held: the way
// out of that fault skipped the lock's clean-up.
bool InjectedLocksFree();
