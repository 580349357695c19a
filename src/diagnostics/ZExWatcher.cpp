#include "diagnostics/ZExWatcher.h"
#include "diagnostics/ZExWatcherHooks.h"

#define UNW_LOCAL_ONLY
#include <cxxabi.h>
#include <dlfcn.h>
#include <libunwind.h>
#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>

thread_local TclExceptWatcher* CurrentWatcher = nullptr;

namespace {

// An abandon point of RunAbandonable or SafeCall.
struct TAbandonPoint {
  sigjmp_buf Buffer;
  TAbandonPoint* Outer = nullptr;
  bool IsSafeCall = false;
  TclSafeCallTarget* Target = nullptr;
  bool NotifyTarget = true;
  std::string Message;
  const void* Address = nullptr;
};

// The state a fault hands from the signal handler to the normal stack.
struct TFault {
  ucontext_t Context;
  siginfo_t Info;
  int Signal;
};

thread_local TAbandonPoint* AbandonTop = nullptr;
thread_local bool InNotification = false;
thread_local sigjmp_buf* NotificationGuard = nullptr;
thread_local TFault Fault;
thread_local void* AltStack = nullptr;

constexpr std::size_t AltStackSize = 256 * 1024;
constexpr int FaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

std::atomic<TRealThrow> RealThrow{nullptr};
std::atomic<TRealRethrow> RealRethrow{nullptr};

}  // namespace

void ResolveRuntimeEntries() {
  if (!RealThrow.load(std::memory_order_acquire)) {
    RealThrow.store(reinterpret_cast<TRealThrow>(::dlsym(RTLD_NEXT, "__cxa_throw")), std::memory_order_release);
  }
  if (!RealRethrow.load(std::memory_order_acquire)) {
    RealRethrow.store(reinterpret_cast<TRealRethrow>(::dlsym(RTLD_NEXT, "__cxa_rethrow")), std::memory_order_release);
  }
}

TRealThrow RealThrowEntry() {
  ResolveRuntimeEntries();
  return RealThrow.load(std::memory_order_acquire);
}

TRealRethrow RealRethrowEntry() {
  ResolveRuntimeEntries();
  return RealRethrow.load(std::memory_order_acquire);
}

namespace {

// Runs a notification under the guard: a fault or an exception inside it is
// abandoned, and nothing inside it is reported again.
template <class F>
void GuardedNotify(F&& Notify) {
  if (InNotification) return;
  InNotification = true;
  sigjmp_buf guard;
  sigjmp_buf* const outer = NotificationGuard;
  if (sigsetjmp(guard, 1) == 0) {
    NotificationGuard = &guard;
    try {
      Notify();
    } catch (...) {
    }
  }
  NotificationGuard = outer;
  InNotification = false;
}

bool WatcherReports() {
  const TclExceptWatcher* watcher = CurrentWatcher;
  return watcher && watcher->Active() && !InNotification;
}

}  // namespace

// Copies the thrower's registers (as they are at its call of the throw) into
// a context the tracer can walk while the thrower's frames still exist.
void NotifyThrow(void* Object, const void* TypeInfo, const void* ThrowAddress, bool Rethrow) {
  const std::uint32_t Code = Rethrow ? LanguageReraiseCode : LanguageExceptionCode;
  const auto* Type = static_cast<const std::type_info*>(TypeInfo);
  if (!WatcherReports()) return;
  unw_context_t here;
  unw_getcontext(&here);
  ucontext_t context;
  std::memcpy(&context, &here, sizeof context);
  unw_cursor_t cursor;
  if (unw_init_local(&cursor, &here) == 0) {
    for (int i = 0; i < 4 && unw_step(&cursor) > 0; ++i) {
      unw_word_t ip = 0;
      unw_get_reg(&cursor, UNW_REG_IP, &ip);
      if (ip != reinterpret_cast<unw_word_t>(ThrowAddress)) continue;
      static constexpr std::pair<int, int> saved[] = {
          {REG_RIP, UNW_X86_64_RIP}, {REG_RSP, UNW_X86_64_RSP}, {REG_RBP, UNW_X86_64_RBP},
          {REG_RBX, UNW_X86_64_RBX}, {REG_R12, UNW_X86_64_R12}, {REG_R13, UNW_X86_64_R13},
          {REG_R14, UNW_X86_64_R14}, {REG_R15, UNW_X86_64_R15}};
      for (const auto& [greg, unwReg] : saved) {
        unw_word_t value = 0;
        if (unw_get_reg(&cursor, unwReg, &value) == 0) context.uc_mcontext.gregs[greg] = static_cast<greg_t>(value);
      }
      break;
    }
  }
  // A call leaves no flags worth showing.
  context.uc_mcontext.gregs[REG_EFL] = 0;
  TclExceptionRecord record;
  record.ExceptionCode = Code;
  record.ExceptionFlags = ExceptionNonContinuable;
  record.ExceptionAddress = ThrowAddress;
  if (Code == LanguageExceptionCode) {
    record.NumberParameters = 3;
    record.ExceptionInformation[0] = reinterpret_cast<std::uintptr_t>(ThrowAddress);
    record.ExceptionInformation[1] = reinterpret_cast<std::uintptr_t>(Object);
    record.ExceptionInformation[2] = reinterpret_cast<std::uintptr_t>(Type);
  }
  TAbandonPoint* const point = AbandonTop;
  GuardedNotify([&] {
    TclExceptWatcher& watcher = *CurrentWatcher;
    if (point && point->IsSafeCall) {
      watcher.HandleSafeCallException(point->Target, context, false, record);
    } else {
      watcher.HandleException(context, false, record);
    }
  });
}

namespace {

std::string Hex16(std::uintptr_t Value) {
  char text[24];
  std::snprintf(text, sizeof text, "$%016lX", static_cast<unsigned long>(Value));
  return text;
}

bool IsStackOverflow(const TFault& F) {
  if (F.Signal != SIGSEGV && F.Signal != SIGBUS) return false;
  const auto address = reinterpret_cast<std::uintptr_t>(F.Info.si_addr);
  const auto rsp = static_cast<std::uintptr_t>(F.Context.uc_mcontext.gregs[REG_RSP]);
  return address <= rsp + 4096 && address + 65536 >= rsp;
}

std::string FaultMessage(const TFault& F) {
  const auto rip = static_cast<std::uintptr_t>(F.Context.uc_mcontext.gregs[REG_RIP]);
  const auto address = reinterpret_cast<std::uintptr_t>(F.Info.si_addr);
  if (IsStackOverflow(F)) return "Stack overflow";
  switch (F.Signal) {
    case SIGSEGV: {
      // Bit 1 of the page-fault error code: the access was a write.
      const bool write = (F.Context.uc_mcontext.gregs[REG_ERR] & 2) != 0;
      return "Access violation at address " + Hex16(rip) + ". " + (write ? "Write" : "Read") + " of address " +
             Hex16(address);
    }
    case SIGFPE:
      if (F.Info.si_code == FPE_INTDIV) return "Division by zero";
      if (F.Info.si_code == FPE_INTOVF) return "Integer overflow";
      return "Floating point exception at address " + Hex16(rip);
    case SIGILL:
      return "Illegal instruction at address " + Hex16(rip);
    default:
      return "Bus error at address " + Hex16(rip) + " of address " + Hex16(address);
  }
}

[[noreturn]] void DieBySignal(int Signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(Signal, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, Signal);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(Signal);
  ::_exit(128 + Signal);
}

// Reports the fault saved in Fault and leaves for the innermost abandon
// point; runs on the thread's own stack below the faulting frames (or on the
// alternate stack after a stack overflow), so the walk still sees them.
[[noreturn]] void DeliverFault() {
  TAbandonPoint* const point = AbandonTop;
  const int signal = Fault.Signal;
  {
    TclExceptionRecord record;
    record.ExceptionCode = SignalExceptionCode(signal);
    record.ExceptionFlags = ExceptionNonContinuable;
    record.ExceptionAddress = reinterpret_cast<const void*>(Fault.Context.uc_mcontext.gregs[REG_RIP]);
    record.NumberParameters = 2;
    record.ExceptionInformation[0] = static_cast<std::uintptr_t>(Fault.Info.si_code);
    record.ExceptionInformation[1] = reinterpret_cast<std::uintptr_t>(Fault.Info.si_addr);
    bool notifyTarget = true;
    if (WatcherReports()) {
      GuardedNotify([&] {
        TclExceptWatcher& watcher = *CurrentWatcher;
        if (point && point->IsSafeCall) {
          notifyTarget = watcher.HandleSafeCallException(point->Target, Fault.Context, true, record);
        } else {
          watcher.HandleException(Fault.Context, true, record);
        }
      });
    }
    if (point) {
      point->Message = FaultMessage(Fault);
      point->Address = record.ExceptionAddress;
      point->NotifyTarget = notifyTarget;
    }
  }
  if (!point) DieBySignal(signal);
  siglongjmp(point->Buffer, 1);
}

// Entered instead of the faulting instruction when the handler returns: a
// plain call on the faulting thread's stack.
[[noreturn]] void FaultTrampoline() { DeliverFault(); }

void FaultHandler(int Signal, siginfo_t* Info, void* Context) {
  auto* uc = static_cast<ucontext_t*>(Context);
  // A fault inside a notification: abandon the notification.
  if (InNotification && NotificationGuard) siglongjmp(*NotificationGuard, 1);
  const bool synchronous = Info->si_code > 0;
  if (!synchronous || (!AbandonTop && !WatcherReports())) {
    // Nobody here wants it: the default action, as without the hooks.
    DieBySignal(Signal);
  }
  std::memcpy(&Fault.Context, uc, sizeof Fault.Context);
  Fault.Context.uc_mcontext.fpregs = nullptr;
  Fault.Info = *Info;
  Fault.Signal = Signal;
  if (IsStackOverflow(Fault)) DeliverFault();  // no room below: stay on the alternate stack
  // Resume in FaultTrampoline below the faulting frame (and its red zone),
  // as if the faulting instruction had called it.
  auto& gregs = uc->uc_mcontext.gregs;
  auto rsp = static_cast<std::uintptr_t>(gregs[REG_RSP]);
  rsp = ((rsp - 512) & ~std::uintptr_t{15}) - 8;
  const greg_t rip = gregs[REG_RIP];
  std::memcpy(reinterpret_cast<void*>(rsp), &rip, sizeof rip);
  gregs[REG_RSP] = static_cast<greg_t>(rsp);
  gregs[REG_RIP] = static_cast<greg_t>(reinterpret_cast<std::uintptr_t>(&FaultTrampoline));
}

void EnsureAltStack() {
  if (AltStack) return;
  void* memory = ::mmap(nullptr, AltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return;
  stack_t stack{};
  stack.ss_sp = memory;
  stack.ss_size = AltStackSize;
  if (::sigaltstack(&stack, nullptr) != 0) {
    ::munmap(memory, AltStackSize);
    return;
  }
  AltStack = memory;  // kept for the thread's life: the handler may run on it any time
}

std::once_flag HooksInstalled;

// Module start-up.
[[maybe_unused]] const bool StartUp = (InstallDiagnosticHooks(), true);

}  // namespace

void InstallDiagnosticHooks() {
  std::call_once(HooksInstalled, [] {
    ResolveRuntimeEntries();
    struct sigaction action {};
    action.sa_sigaction = FaultHandler;
    // SA_NODEFER: a fault inside a report made on the alternate stack must
    // reach the guard instead of killing the process.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int signal : FaultSignals) ::sigaction(signal, &action, nullptr);
  });
}

std::string TclThrownObject::ClassName() const {
  if (!Type) return {};
  int status = 0;
  char* name = abi::__cxa_demangle(Type->name(), nullptr, nullptr, &status);
  std::string result = status == 0 && name ? name : Type->name();
  std::free(name);
  return result;
}

std::string TclThrownObject::Message() const {
  if (!Object || !Type) return {};
  void* adjusted = Object;
  // Asks the runtime whether a handler for std::exception would catch it.
  if (!typeid(std::exception).__do_catch(Type, &adjusted, 1)) return {};
  return static_cast<const std::exception*>(adjusted)->what();
}

int TclSafeCallTarget::SafeCallException(const std::string&, const void*) { return SafeCallFailure; }

TclExceptWatcher::TclExceptWatcher(void* Owner) : FOwner(Owner) { SetActive(true); }

TclExceptWatcher::~TclExceptWatcher() { SetActive(false); }

void TclExceptWatcher::SetActive(bool Value) {
  if (Value == FActive) return;
  FActive = Value;
  if (Value) {
    InstallDiagnosticHooks();
    EnsureAltStack();
    CurrentWatcher = this;
  } else {
    CurrentWatcher = nullptr;
  }
}

TclStackTracer& TclExceptWatcher::StackTracer() {
  if (!FStackTracer) FStackTracer = std::make_unique<TclLibunwindStackTracer>();
  return *FStackTracer;
}

void TclExceptWatcher::CaptureInformation(const ucontext_t& Context, bool IsFaultContext,
                                          const TclExceptionRecord& Record) {
  FInformation.reset();
  FInformation = std::make_unique<TclExceptionInformation>(Context, IsFaultContext, Record);
}

void TclExceptWatcher::HandleException(const ucontext_t& Context, bool IsFaultContext,
                                       const TclExceptionRecord& Record) {
  CaptureInformation(Context, IsFaultContext, Record);
  if (Record.ExceptionCode == LanguageExceptionCode || Record.ExceptionCode == LanguageReraiseCode) {
    const TclThrownObject object = ExceptionObject();
    DoLanguageException(object.Type ? &object : nullptr);
  } else {
    DoSystemException();
  }
}

bool TclExceptWatcher::HandleSafeCallException(TclSafeCallTarget* Target, const ucontext_t& Context,
                                               bool IsFaultContext, const TclExceptionRecord& Record) {
  CaptureInformation(Context, IsFaultContext, Record);
  if (Record.ExceptionCode == LanguageExceptionCode) {
    const TclThrownObject object = ExceptionObject();
    DoLanguageSafeCallException(Target, object.Type ? &object : nullptr);
    return true;
  }
  return DoSystemSafeCallException(Target);
}

TclThrownObject TclExceptWatcher::ExceptionObject() const {
  TclThrownObject object;
  if (FInformation) {
    const TclExceptionRecord& record = FInformation->ExceptionRecord();
    if (record.ExceptionCode == LanguageExceptionCode && record.NumberParameters > 2) {
      object.Object = reinterpret_cast<void*>(record.ExceptionInformation[1]);
      object.Type = reinterpret_cast<const std::type_info*>(record.ExceptionInformation[2]);
    }
  }
  return object;
}

void TclExceptWatcher::DoLanguageException(const TclThrownObject* E) {
  if (OnLanguageException) OnLanguageException(*this, E, *FInformation, StackTracer());
}

void TclExceptWatcher::DoSystemException() {
  if (OnSystemException) OnSystemException(*this, *FInformation, StackTracer());
}

void TclExceptWatcher::DoLanguageSafeCallException(TclSafeCallTarget* Target, const TclThrownObject* E) {
  if (OnLanguageSafeCallException) OnLanguageSafeCallException(*this, Target, E, *FInformation, StackTracer());
}

bool TclExceptWatcher::DoSystemSafeCallException(TclSafeCallTarget* Target) {
  bool notifyTarget = true;
  if (OnSystemSafeCallException) OnSystemSafeCallException(*this, Target, *FInformation, notifyTarget, StackTracer());
  return notifyTarget;
}

bool RunAbandonable(const std::function<void()>& Fn, std::string* Message) {
  TAbandonPoint point;
  point.Outer = AbandonTop;
  if (sigsetjmp(point.Buffer, 1) != 0) {
    AbandonTop = point.Outer;
    if (Message) *Message = point.Message;
    return false;
  }
  AbandonTop = &point;
  // Pops the point when Fn throws too; a catch-and-rethrow here would be
  // reported as a rethrow of our own.
  struct TPop {
    TAbandonPoint& Point;
    ~TPop() { AbandonTop = Point.Outer; }
  } pop{point};
  Fn();
  return true;
}

int SafeCall(TclSafeCallTarget* Target, const std::function<void()>& Fn) noexcept {
  TAbandonPoint point;
  point.Outer = AbandonTop;
  point.IsSafeCall = true;
  point.Target = Target;
  if (sigsetjmp(point.Buffer, 1) != 0) {
    AbandonTop = point.Outer;
    if (!Target || !point.NotifyTarget) return SafeCallFailure;
    try {
      return Target->SafeCallException(point.Message, point.Address);
    } catch (...) {
      return SafeCallFailure;
    }
  }
  AbandonTop = &point;
  std::string message;
  try {
    Fn();
    AbandonTop = point.Outer;
    return 0;
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
