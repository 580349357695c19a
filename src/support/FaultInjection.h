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
#include <atomic>
#include <string>

enum class TFaultPoint : unsigned {
  Timer,           // the window's timer handler
  Action,          // a command reached through a button or a menu
  CaptureNotify,   // the window's handler of the capture thread's notification
  TableModel,      // a summary table's model answering the view
  Counting,        // the capture thread counting a datagram
  ReceiveLoop,     // the capture thread's receive loop
  DumpFormatter,   // the thread that writes the packet dump
  MetricsRequest,  // an endpoint request
  StartUp,         // after the trace window, before the main window
  Shutdown,        // after the main window is gone
  Count
};

extern std::atomic<unsigned> ArmedFaultPoints;

// Arms what Value asks for (a WIREPEEK_FAULT value); the error text for a
// value it cannot use, or empty.
std::string ArmFaults(const char* Value);

[[gnu::cold, gnu::noinline]] void ReachFaultPoint(TFaultPoint Point);

inline void FaultPoint(TFaultPoint Point) {
  if (ArmedFaultPoints.load(std::memory_order_relaxed) & (1U << static_cast<unsigned>(Point))) [[unlikely]]
    ReachFaultPoint(Point);
}

// False when a lock taken around a fault made here is still held: the way
// out of that fault skipped the lock's clean-up.
bool InjectedLocksFree();
