// Abandon points (RunAbandonable, SafeCall) and the way from a fault to the
// innermost one. Runs in normal context: the signal handler has returned and
// resumed the faulting thread in LeaveFault, on its own stack below the
// faulting frame (or on the report stack after a stack overflow).
#define UNW_LOCAL_ONLY
#include <cxxabi.h>
#include <libunwind.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <typeinfo>

#include "diagnostics/FaultState.h"
#include "diagnostics/ZExWatcher.h"
#include "support/TextDevs.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WIREPEEK_ADDRESS_CHECKS 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define WIREPEEK_ADDRESS_CHECKS 1
#endif
#if WIREPEEK_ADDRESS_CHECKS
#include <sanitizer/asan_interface.h>
#endif

namespace fault_state {

thread_local TAbandonPoint* AbandonTop = nullptr;
thread_local bool InNotification = false;
thread_local sigjmp_buf* NotificationGuard = nullptr;
thread_local TFault Fault;
thread_local bool LeavingFault = false;
thread_local bool FaultThrowInFlight = false;
thread_local std::uintptr_t OverflowLow = 0;

namespace {

TFatalFaultHook FatalHook;
std::terminate_handler PreviousTerminate = nullptr;

bool IsStackOverflow() { return OverflowLow != 0; }

// Written into the abandon point without allocating: the fault may have
// happened with the allocator's lock held.
void FaultMessage(const TFault& F, char* Text, std::size_t Size) {
  const auto rip = static_cast<unsigned long>(F.Context.uc_mcontext.gregs[REG_RIP]);
  const auto address = reinterpret_cast<unsigned long>(F.Info.si_addr);
  if (IsStackOverflow()) {
    std::snprintf(Text, Size, "Stack overflow");
    return;
  }
  switch (F.Signal) {
    case SIGSEGV: {
      // Bit 1 of the page-fault error code: the access was a write.
      const bool write = (F.Context.uc_mcontext.gregs[REG_ERR] & 2) != 0;
      std::snprintf(Text, Size, "Access violation at address $%016lX. %s of address $%016lX", rip,
                    write ? "Write" : "Read", address);
      return;
    }
    case SIGFPE:
      if (F.Info.si_code == FPE_INTDIV) {
        std::snprintf(Text, Size, "Division by zero");
      } else if (F.Info.si_code == FPE_INTOVF) {
        std::snprintf(Text, Size, "Integer overflow");
      } else {
        std::snprintf(Text, Size, "Floating point exception at address $%016lX", rip);
      }
      return;
    case SIGILL:
      std::snprintf(Text, Size, "Illegal instruction at address $%016lX", rip);
      return;
    default:
      std::snprintf(Text, Size, "Bus error at address $%016lX of address $%016lX", rip, address);
  }
}

// The full report, in a normal context.
void ReportFault(TAbandonPoint* Point, bool& NotifyTarget) {
  TclExceptionRecord record;
  record.ExceptionCode = SignalExceptionCode(Fault.Signal);
  record.ExceptionFlags = ExceptionNonContinuable;
  record.ExceptionAddress = reinterpret_cast<const void*>(Fault.Context.uc_mcontext.gregs[REG_RIP]);
  record.NumberParameters = 2;
  record.ExceptionInformation[0] = static_cast<std::uintptr_t>(Fault.Info.si_code);
  record.ExceptionInformation[1] = reinterpret_cast<std::uintptr_t>(Fault.Info.si_addr);
  if (!WatcherReports()) return;
  GuardedNotify([&] {
    TclExceptWatcher& watcher = *CurrentWatcher;
    if (Point && Point->IsSafeCall) {
      NotifyTarget = watcher.HandleSafeCallException(Point->Target, Fault.Context, true, record);
    } else {
      watcher.HandleException(Fault.Context, true, record);
    }
  });
}

// Whether the unwinder can leave the faulting frame: it has unwind rules.
// The program's own code is compiled so that any instruction may throw
// (-fnon-call-exceptions), so its clean-ups run; frames of libraries have
// none to run but are passed through to ours.
bool CanThrowFrom(std::uintptr_t Address) {
  unw_proc_info_t info{};
  return unw_get_proc_info_by_ip(unw_local_addr_space, Address, &info, nullptr) == 0 && info.start_ip != 0;
}

// After a jump back to an abandon point: what the skipped destructors would
// have released. The address checker unpoisons the abandoned frames at a
// jump itself, but not for one that starts on the report stack (it cannot
// tell that stack's extent): do it here.
void AfterAbandonJump(const TAbandonPoint& Point) {
#if WIREPEEK_ADDRESS_CHECKS
  if (OverflowLow) {
    const auto low = OverflowLow & ~std::uintptr_t{4095};
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (here > low) __asan_unpoison_memory_region(reinterpret_cast<void*>(low), here - low);
  }
#endif
  ForgetAbandonedReport();
  TraceOutput.ReleaseAbandoned(Point.Held);
}

thread_local bool WatchdogHeldForFault = false;

// The fault is left: whatever waits from here on is the caller's own.
void EndFault() {
  LeavingFault = false;
  FaultThrowInFlight = false;
  OverflowLow = 0;
  if (WatchdogHeldForFault) {
    WatchdogHeldForFault = false;
    DisarmWatchdog();
  }
}

// At an abandon point, the fault's way out taken.
void Land(TAbandonPoint& Point, std::string* Message, const TAbandonHandler& OnAbandon) {
  AbandonTop = Point.Outer;
  // Still under the watchdog: these allocate.
  try {
    if (Message) *Message = Point.Message;
    if (OnAbandon) OnAbandon(Point.Message);
  } catch (...) {
  }
  EndFault();
}

// A fault's throw that cannot leave (a frame that may not throw, one without
// unwind rules) goes to the abandon point by a jump instead.
[[noreturn]] void FaultTerminate() {
  if (FaultThrowInFlight && AbandonTop) {
    FaultThrowInFlight = false;
    // The runtime has taken the exception as caught before calling here;
    // end that, so the object goes and the thread's exception stack is
    // clean for the next throw.
    const std::type_info* type = abi::__cxa_current_exception_type();
    if (type && *type == typeid(TclFaultAbandon)) abi::__cxa_end_catch();
    siglongjmp(AbandonTop->Buffer, 1);
  }
  if (PreviousTerminate) PreviousTerminate();
  std::abort();
}

}  // namespace

void LeaveFault() {
  ArmWatchdog();
  WatchdogHeldForFault = true;
  TAbandonPoint* const point = AbandonTop;
  bool notifyTarget = true;
  ReportFault(point, notifyTarget);
  if (!point) {
    // Nobody goes on after this fault: save what the run asks to be saved.
    if (FatalHook && !InNotification) GuardedNotify([] { FatalHook(); });
    DieBySignal(Fault.Signal);
  }
  FaultMessage(Fault, point->Message, sizeof point->Message);
  const auto rip = static_cast<std::uintptr_t>(Fault.Context.uc_mcontext.gregs[REG_RIP]);
  point->Address = reinterpret_cast<const void*>(rip);
  point->NotifyTarget = notifyTarget;
  if (!IsStackOverflow() && CanThrowFrom(rip)) {
    FaultThrowInFlight = true;
    throw TclFaultAbandon();
  }
  siglongjmp(point->Buffer, 1);
}

void InstallFaultTerminate() { PreviousTerminate = std::set_terminate(FaultTerminate); }

}  // namespace fault_state

using namespace fault_state;

TclFaultAbandon::TclFaultAbandon() noexcept = default;
TclFaultAbandon::TclFaultAbandon(const TclFaultAbandon&) noexcept : Original(false) {}
TclFaultAbandon::~TclFaultAbandon() {
  // Caught somewhere, by whoever: the fault is left.
  if (Original) EndFault();
}

void SetFatalFaultHook(TFatalFaultHook Hook) { FatalHook = std::move(Hook); }

std::string FaultLogPath() { return FaultLogPathText(); }

bool RunAbandonable(const std::function<void()>& Fn, std::string* Message, const TAbandonHandler& OnAbandon) {
  TAbandonPoint point;
  point.Outer = AbandonTop;
  point.Held = TTextChannel::MarkHeld();
  if (sigsetjmp(point.Buffer, 0) != 0) {
    AfterAbandonJump(point);
    Land(point, Message, OnAbandon);
    return false;
  }
  AbandonTop = &point;
  // Pops the point when Fn throws too; a catch-and-rethrow here would be
  // reported as a rethrow of our own.
  struct TPop {
    TAbandonPoint& Point;
    ~TPop() { AbandonTop = Point.Outer; }
  } pop{point};
  try {
    Fn();
  } catch (const TclFaultAbandon&) {
    Land(point, Message, OnAbandon);
    return false;
  }
  return true;
}

int SafeCall(TclSafeCallTarget* Target, const std::function<void()>& Fn) noexcept {
  TAbandonPoint point;
  point.Outer = AbandonTop;
  point.IsSafeCall = true;
  point.Target = Target;
  point.Held = TTextChannel::MarkHeld();
  int result = SafeCallFailure;
  const auto answer = [&](const std::string& Message) {
    if (Target && point.NotifyTarget) result = Target->SafeCallException(Message, point.Address);
  };
  if (sigsetjmp(point.Buffer, 0) != 0) {
    AfterAbandonJump(point);
    Land(point, nullptr, answer);
    return result;
  }
  AbandonTop = &point;
  std::string message;
  try {
    Fn();
    AbandonTop = point.Outer;
    return 0;
  } catch (const TclFaultAbandon&) {
    Land(point, nullptr, answer);
    return result;
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "Unknown exception";
  }
  AbandonTop = point.Outer;
  if (!Target) return SafeCallFailure;
  try {
    return Target->SafeCallException(message, nullptr);
  } catch (...) {
    return SafeCallFailure;
  }
}
