#pragma once
// What the pieces of the fault machinery share: the signal handler
// (FaultSignalHandler.cpp), the way out of a fault (AbandonPoints.cpp), the
// watchdog (FaultWatchdog.cpp) and the watcher (ZExWatcher.cpp). Every field
// here belongs to one thread; docs/fault-handling.md says who reads and
// writes which, and in what context.
#include <signal.h>
#include <ucontext.h>

#include <csetjmp>
#include <cstdint>
#include <string>

#include "support/TextDevs.h"

class TclSafeCallTarget;

// An abandon point of RunAbandonable or SafeCall.
struct TAbandonPoint {
  sigjmp_buf Buffer;
  TAbandonPoint* Outer = nullptr;
  bool IsSafeCall = false;
  TclSafeCallTarget* Target = nullptr;
  bool NotifyTarget = true;
  // Filled before the way out is taken; fixed size, for the fault may have
  // happened with the allocator's lock held.
  char Message[160] = {};
  const void* Address = nullptr;
  // What the thread held when the point was set up: a jump back to it gives
  // up what was taken since.
  TTextChannel::TMark Held;
};

// The fault being left, handed from the signal handler to the normal stack.
struct TFault {
  ucontext_t Context;
  siginfo_t Info;
  int Signal;
};

namespace fault_state {

extern thread_local TAbandonPoint* AbandonTop;
// A notification (a report) is running; nothing inside it is reported again.
extern thread_local bool InNotification;
extern thread_local sigjmp_buf* NotificationGuard;
extern thread_local TFault Fault;
// From the handler's redirect until the fault is left: a second fault in
// that time is one on the way out, not a new one.
extern thread_local bool LeavingFault;
// A TclFaultAbandon thrown for the fault is on its way out.
extern thread_local bool FaultThrowInFlight;
// The stack's lowest point reached by an overflow that was left by a jump.
extern thread_local std::uintptr_t OverflowLow;

// The report stack of the calling thread (after a stack overflow the
// report runs there), created by PrepareThreadForFaults.
extern thread_local void* ReportStack;
inline constexpr std::size_t ReportStackSize = 1024 * 1024;

bool WatcherReports();

void ArmWatchdog();
void DisarmWatchdog();

// After a jump out of a report: the report's own state of the thread (the
// pieces it was collecting) is forgotten. TraceReport.cpp.
void ForgetAbandonedReport() noexcept;

// Runs a notification under the guard: a fault or an exception inside it is
// abandoned, and nothing inside it is reported again. The watchdog abandons
// it too when it takes too long. A jump out of it gives up the locks and
// counters the report took, so the code it reported on, and every later
// writer, finds them as they were before the report.
template <class F>
void GuardedNotify(F&& Notify) {
  if (InNotification) return;
  InNotification = true;
  sigjmp_buf guard;
  sigjmp_buf* const outer = NotificationGuard;
  TAbandonPoint* const top = AbandonTop;
  const TTextChannel::TMark held = TTextChannel::MarkHeld();
  ArmWatchdog();
  if (sigsetjmp(guard, 0) == 0) {
    NotificationGuard = &guard;
    try {
      Notify();
    } catch (...) {
    }
  } else {
    AbandonTop = top;
    ForgetAbandonedReport();
    TraceOutput.ReleaseAbandoned(held);
  }
  DisarmWatchdog();
  NotificationGuard = outer;
  InNotification = false;
}

// The watchdog (ArmWatchdog above): armed while a report or a way out of a
// fault may wait on something the faulting code holds; nested arms count.
// When it expires on the way out of a fault, the process ends by the
// fault's signal (its minimal report is written); during a report of a
// throw, the report is abandoned.
void InstallWatchdog();
void PrepareWatchdog();
void ReleaseWatchdog();

// The signal handler, its minimal report and what it falls back to.
void InstallFaultHandlers();
void PrepareFaultLog();
const char* FaultLogPathText();
bool OnAlternateStack();
// The action that was installed before ours for Signal: taken for what the
// watcher does not handle.
[[noreturn]] void PassOnSignal(int Signal, siginfo_t* Info, void* Context);
[[noreturn]] void DieBySignal(int Signal);

// Entered in place of the faulting instruction (FaultFrame.S's frame above
// it), or on the report stack after a stack overflow.
[[noreturn]] void LeaveFault();
void InstallFaultTerminate();

}  // namespace fault_state

extern "C" char WirepeekFaultFrameReturn[];
