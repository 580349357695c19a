// The exception watcher component, the throw notifications that feed it,
// and the installation of the hooks. The signal side lives in
// FaultSignalHandler.cpp, the way out of a fault in AbandonPoints.cpp, the
// watchdog in FaultWatchdog.cpp; docs/fault-handling.md shows how they meet.
#include "diagnostics/ZExWatcher.h"
#include "diagnostics/ZExWatcherHooks.h"

#define UNW_LOCAL_ONLY
#include <cxxabi.h>
#include <dlfcn.h>
#include <libunwind.h>
#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>

#include "diagnostics/FaultState.h"

thread_local TclExceptWatcher* CurrentWatcher = nullptr;

using namespace fault_state;

namespace {

std::atomic<TRealThrow> RealThrow{nullptr};
std::atomic<TRealRethrow> RealRethrow{nullptr};

constexpr std::size_t AltStackSize = 256 * 1024;

// What PrepareThreadForFaults made for its thread, freed when the thread ends.
struct TThreadFaultResources {
  void* AltStack = nullptr;
  ~TThreadFaultResources() {
    if (AltStack) {
      stack_t off{};
      off.ss_flags = SS_DISABLE;
      ::sigaltstack(&off, nullptr);
      ::munmap(AltStack, AltStackSize);
    }
    if (ReportStack) ::munmap(ReportStack, ReportStackSize);
    ReportStack = nullptr;
    ReleaseWatchdog();
  }
};
thread_local TThreadFaultResources ThreadResources;

std::once_flag HooksInstalled;

}  // namespace

namespace fault_state {

thread_local void* ReportStack = nullptr;

bool WatcherReports() {
  const TclExceptWatcher* watcher = CurrentWatcher;
  return watcher && watcher->Active() && !InNotification;
}

}  // namespace fault_state

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

// Copies the thrower's registers (as they are at its call of the throw) into
// a context the tracer can walk while the thrower's frames still exist.
void NotifyThrow(void* Object, const void* TypeInfo, const void* ThrowAddress, bool Rethrow) {
  const std::uint32_t Code = Rethrow ? LanguageReraiseCode : LanguageExceptionCode;
  const auto* Type = static_cast<const std::type_info*>(TypeInfo);
  if (!WatcherReports()) return;
  // A fault on its way out has been reported already.
  if (Type && *Type == typeid(TclFaultAbandon)) return;
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

void InstallDiagnosticHooks() {
  std::call_once(HooksInstalled, [] {
    ResolveRuntimeEntries();
    InstallFaultHandlers();
    InstallWatchdog();
    InstallFaultTerminate();
  });
}

void PrepareThreadForFaults() {
  if (!ThreadResources.AltStack) {
    void* memory = ::mmap(nullptr, AltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory != MAP_FAILED) {
      stack_t stack{};
      stack.ss_sp = memory;
      stack.ss_size = AltStackSize;
      if (::sigaltstack(&stack, nullptr) == 0) {
        ThreadResources.AltStack = memory;
      } else {
        ::munmap(memory, AltStackSize);
      }
    }
  }
  if (!ReportStack) {
    void* memory = ::mmap(nullptr, ReportStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory != MAP_FAILED) {
      ::mprotect(memory, 4096, PROT_NONE);  // a guard page at its end
      ReportStack = memory;
    }
  }
  PrepareWatchdog();
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
    PrepareThreadForFaults();
    PrepareFaultLog();
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

