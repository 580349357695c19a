#include "diagnostics/ZExWatcher.h"
#include "diagnostics/ZExWatcherHooks.h"

#define UNW_LOCAL_ONLY
#include <cxxabi.h>
#include <dlfcn.h>
#include <libunwind.h>
#include <signal.h>
#include <sys/mman.h>

#include <fcntl.h>
#include <link.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <mutex>

#include "support/UserFolders.h"

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

void ArmWatchdog(bool On);

// Runs a notification under the guard: a fault or an exception inside it is
// abandoned, and nothing inside it is reported again. The watchdog abandons
// it too when it takes too long.
template <class F>
void GuardedNotify(F&& Notify) {
  if (InNotification) return;
  InNotification = true;
  sigjmp_buf guard;
  sigjmp_buf* const outer = NotificationGuard;
  if (sigsetjmp(guard, 1) == 0) {
    NotificationGuard = &guard;
    ArmWatchdog(true);
    try {
      Notify();
    } catch (...) {
    }
  }
  ArmWatchdog(false);
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

// --- The minimal report: written from the signal handler itself, with
// async-signal-safe calls only, before anything that could wait or allocate.

// The file it also goes to, prepared before any fault: a nameless file in the
// user's state folder that gets its name at the first fault.
struct TFaultLog {
  int Fd = -1;
  bool Named = false;
  char Path[1024] = {};
  char ProcPath[64] = {};
};
TFaultLog FaultLog;
std::once_flag FaultLogPrepared;

void WriteAll(int Fd, const char* Text, std::size_t Length) {
  while (Fd >= 0 && Length > 0) {
    const ssize_t n = ::write(Fd, Text, Length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    Text += n;
    Length -= static_cast<std::size_t>(n);
  }
}

// A line buffer that never allocates.
struct TRawLine {
  char Text[256];
  std::size_t Length = 0;
  TRawLine& operator<<(const char* S) {
    while (*S && Length < sizeof Text - 1) Text[Length++] = *S++;
    return *this;
  }
  TRawLine& Hex(std::uint64_t Value, int Digits) {
    *this << "$";
    for (int shift = (Digits - 1) * 4; shift >= 0 && Length < sizeof Text - 1; shift -= 4)
      Text[Length++] = "0123456789ABCDEF"[(Value >> shift) & 0xF];
    return *this;
  }
  TRawLine& Decimal(long Value) {
    char digits[24];
    int n = 0;
    const bool negative = Value < 0;
    unsigned long v = negative ? 0UL - static_cast<unsigned long>(Value) : static_cast<unsigned long>(Value);
    do {
      digits[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v && n < 23);
    if (negative) *this << "-";
    while (n > 0 && Length < sizeof Text - 1) Text[Length++] = digits[--n];
    return *this;
  }
  void Emit(int LogFd) {
    Text[Length++] = '\n';
    WriteAll(STDERR_FILENO, Text, Length);
    WriteAll(LogFd, Text, Length);
    Length = 0;
  }
};

const char* SignalName(int Signal) {
  switch (Signal) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    default: return "signal";
  }
}

thread_local bool InMinimalReport = false;
thread_local sigjmp_buf MinimalGuard;

// Signal handler: the register block and the raw return addresses.
void WriteMinimalReport(int Signal, const siginfo_t& Info, ucontext_t& Context) {
  if (FaultLog.Fd >= 0 && !FaultLog.Named) {
    // Give the prepared file its name; where that fails, open one by name.
    if (::linkat(AT_FDCWD, FaultLog.ProcPath, AT_FDCWD, FaultLog.Path, AT_SYMLINK_FOLLOW) != 0) {
      ::close(FaultLog.Fd);
      FaultLog.Fd = ::open(FaultLog.Path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    }
    FaultLog.Named = true;
  }
  const int logFd = FaultLog.Fd;
  const auto& g = Context.uc_mcontext.gregs;
  TRawLine line;
  (line << "wirepeek: fault: " << SignalName(Signal) << " code ").Decimal(Info.si_code);
  (line << " address ").Hex(reinterpret_cast<std::uintptr_t>(Info.si_addr), 16);
  line.Emit(logFd);
  (line << "[ 0] RIP=").Hex(static_cast<std::uint64_t>(g[REG_RIP]), 16);
  (line << " RBP=").Hex(static_cast<std::uint64_t>(g[REG_RBP]), 16);
  (line << " RSP=").Hex(static_cast<std::uint64_t>(g[REG_RSP]), 16);
  (line << " EFLAGS=").Hex(static_cast<std::uint64_t>(g[REG_EFL]), 8);
  line.Emit(logFd);
  (line << "[ 0] RAX=").Hex(static_cast<std::uint64_t>(g[REG_RAX]), 16);
  (line << " RBX=").Hex(static_cast<std::uint64_t>(g[REG_RBX]), 16);
  (line << " RCX=").Hex(static_cast<std::uint64_t>(g[REG_RCX]), 16);
  (line << " RDX=").Hex(static_cast<std::uint64_t>(g[REG_RDX]), 16);
  line.Emit(logFd);
  // A fault inside the walk (a smashed stack) ends the walk, not the report.
  InMinimalReport = true;
  if (sigsetjmp(MinimalGuard, 0) == 0) {
    unw_cursor_t cursor;
    if (unw_init_local2(&cursor, reinterpret_cast<unw_context_t*>(&Context), UNW_INIT_SIGNAL_FRAME) == 0) {
      for (int i = 1; i <= 64 && unw_step(&cursor) > 0; ++i) {
        unw_word_t ip = 0;
        unw_get_reg(&cursor, UNW_REG_IP, &ip);
        (line << (i < 10 ? "[ " : "[")).Decimal(i) << "] ";
        line.Hex(ip, 16).Emit(logFd);
      }
    }
  }
  InMinimalReport = false;
  if (logFd >= 0) {
    line << "wirepeek: this report is also in " << FaultLog.Path;
    line.Emit(-1);
  }
}

// --- Leaving the faulting code.

// The program's own code is compiled so that a faulting instruction can throw
// (-fnon-call-exceptions); a fault there leaves by TclFaultAbandon, and the
// destructors of the abandoned frames run.
std::uintptr_t OwnCodeBegin = 0, OwnCodeEnd = 0;

int FindOwnCode(dl_phdr_info* Info, std::size_t, void*) {
  // The first module listed is the executable itself.
  for (int i = 0; i < Info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = Info->dlpi_phdr[i];
    if (header.p_type != PT_LOAD || !(header.p_flags & PF_X)) continue;
    const std::uintptr_t begin = Info->dlpi_addr + header.p_vaddr;
    if (!OwnCodeBegin || begin < OwnCodeBegin) OwnCodeBegin = begin;
    OwnCodeEnd = std::max<std::uintptr_t>(OwnCodeEnd, begin + header.p_memsz);
  }
  return 1;
}

bool InOwnCode(std::uintptr_t Address) { return Address >= OwnCodeBegin && Address < OwnCodeEnd; }

// How the fault in Fault is to be left.
thread_local bool FaultThrows = false;
// The stack's lowest point reached by an overflow that was left by a jump.
thread_local std::uintptr_t OverflowLow = 0;
// Live TclFaultAbandon objects of this thread.
thread_local int FaultsInFlight = 0;

// A stack of its own for each watching thread, where a stack overflow is
// reported: the overflowing stack has no room left.
constexpr std::size_t ReportStackSize = 1024 * 1024;
thread_local void* ReportStack = nullptr;

// The watchdog: a report that has not finished in this time is abandoned
// (it waits on something the faulting code holds, the allocator's lock say).
constexpr long ReportTimeLimitSeconds = 5;
const int WatchdogSignal = SIGRTMIN + 5;
thread_local timer_t Watchdog{};
thread_local bool HasWatchdog = false;

void ArmWatchdog(bool On) {
  if (!HasWatchdog) return;
  itimerspec limit{};
  if (On) limit.it_value.tv_sec = ReportTimeLimitSeconds;
  ::timer_settime(Watchdog, 0, &limit, nullptr);
}

void WatchdogHandler(int, siginfo_t*, void*) {
  if (InNotification && NotificationGuard) siglongjmp(*NotificationGuard, 1);
}

TFatalFaultHook FatalHook;

// The full report, in a normal context: the signal handler has returned.
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

// After the report: to the innermost abandon point, or the end of the process.
[[noreturn]] void LeaveFault() {
  TAbandonPoint* const point = AbandonTop;
  const int signal = Fault.Signal;
  bool notifyTarget = true;
  ReportFault(point, notifyTarget);
  if (!point) {
    // Nobody goes on after this fault: save what the run asks to be saved.
    if (FatalHook && !InNotification) GuardedNotify([] { FatalHook(); });
    DieBySignal(signal);
  }
  point->Message = FaultMessage(Fault);
  point->Address = reinterpret_cast<const void*>(Fault.Context.uc_mcontext.gregs[REG_RIP]);
  point->NotifyTarget = notifyTarget;
  if (FaultThrows) throw TclFaultAbandon();
  siglongjmp(point->Buffer, 1);
}

// Entered instead of the faulting instruction, on the faulting thread's stack
// below the faulting frame. Its caller, as the unwinder sees it, is a signal
// frame holding the fault's registers, so a throw from here leaves through the
// faulting instruction itself.
[[noreturn]] void FaultTrampoline() { LeaveFault(); }

// Entered after a stack overflow, on the report stack.
[[noreturn]] void OverflowTrampoline() { LeaveFault(); }

}  // namespace

// The caller of FaultTrampoline, as the unwinder sees it: a signal frame whose
// registers are those of the fault, read from the copy of the signal context
// that lies right above the return address (so rsp points at it here). Never
// executed; its unwind table entry starts one byte early, because the
// unwinder looks a return address up one byte back.
static_assert(offsetof(ucontext_t, uc_mcontext) == 40 && REG_R8 == 0 && REG_RSP == 15 && REG_RIP == 16);
asm(R"(
  .pushsection .text.wirepeek_fault_frame, "ax", @progbits
  .cfi_startproc
  .cfi_signal_frame
  /* DW_CFA_def_cfa_expression: the CFA is the saved RSP (DW_OP_breg7 with
     its offset in the context, DW_OP_deref); then, per register,
     DW_CFA_expression: saved at DW_OP_breg7 + its offset (40 + 8 x index). */
  .cfi_escape 0x0f, 4, 0x77, 0xa0, 0x01, 0x06  /* CFA = the saved RSP */
  .cfi_escape 0x10, 8, 2, 0x77, 0x28  /* R8 */
  .cfi_escape 0x10, 9, 2, 0x77, 0x30  /* R9 */
  .cfi_escape 0x10, 10, 2, 0x77, 0x38  /* R10 */
  .cfi_escape 0x10, 11, 3, 0x77, 0xc0, 0x00  /* R11 */
  .cfi_escape 0x10, 12, 3, 0x77, 0xc8, 0x00  /* R12 */
  .cfi_escape 0x10, 13, 3, 0x77, 0xd0, 0x00  /* R13 */
  .cfi_escape 0x10, 14, 3, 0x77, 0xd8, 0x00  /* R14 */
  .cfi_escape 0x10, 15, 3, 0x77, 0xe0, 0x00  /* R15 */
  .cfi_escape 0x10, 5, 3, 0x77, 0xe8, 0x00  /* RDI */
  .cfi_escape 0x10, 4, 3, 0x77, 0xf0, 0x00  /* RSI */
  .cfi_escape 0x10, 6, 3, 0x77, 0xf8, 0x00  /* RBP */
  .cfi_escape 0x10, 3, 3, 0x77, 0x80, 0x01  /* RBX */
  .cfi_escape 0x10, 1, 3, 0x77, 0x88, 0x01  /* RDX */
  .cfi_escape 0x10, 0, 3, 0x77, 0x90, 0x01  /* RAX */
  .cfi_escape 0x10, 2, 3, 0x77, 0x98, 0x01  /* RCX */
  .cfi_escape 0x10, 16, 3, 0x77, 0xa8, 0x01  /* RIP */
  nop
  .globl WirepeekFaultFrameReturn
  .hidden WirepeekFaultFrameReturn
  .type WirepeekFaultFrameReturn, @function
WirepeekFaultFrameReturn:
  hlt
  .size WirepeekFaultFrameReturn, . - WirepeekFaultFrameReturn
  .cfi_endproc
  .popsection
)");
extern "C" char WirepeekFaultFrameReturn[];

namespace {

void FaultHandler(int Signal, siginfo_t* Info, void* Context) {
  auto* uc = static_cast<ucontext_t*>(Context);
  // A fault inside the minimal report's walk: end the walk.
  if (InMinimalReport) siglongjmp(MinimalGuard, 1);
  // A fault inside a notification: abandon the notification.
  if (InNotification && NotificationGuard) siglongjmp(*NotificationGuard, 1);
  const bool synchronous = Info->si_code > 0;
  if (!synchronous) DieBySignal(Signal);
  WriteMinimalReport(Signal, *Info, *uc);
  // Nobody here wants it: the default action, as without the hooks.
  if (!AbandonTop && !WatcherReports()) DieBySignal(Signal);
  std::memcpy(&Fault.Context, uc, sizeof Fault.Context);
  Fault.Context.uc_mcontext.fpregs = nullptr;
  Fault.Info = *Info;
  Fault.Signal = Signal;
  auto& gregs = uc->uc_mcontext.gregs;
  const auto rip = static_cast<std::uintptr_t>(gregs[REG_RIP]);
  if (IsStackOverflow(Fault)) {
    FaultThrows = false;
    OverflowLow = static_cast<std::uintptr_t>(gregs[REG_RSP]);
    if (!ReportStack) DieBySignal(Signal);
    // A call from nowhere: the report's own walk starts from the saved context.
    auto top = (reinterpret_cast<std::uintptr_t>(ReportStack) + ReportStackSize) & ~std::uintptr_t{15};
    top -= 8;
    *reinterpret_cast<std::uintptr_t*>(top) = 0;
    gregs[REG_RSP] = static_cast<greg_t>(top);
    gregs[REG_RIP] = static_cast<greg_t>(reinterpret_cast<std::uintptr_t>(&OverflowTrampoline));
    return;
  }
  FaultThrows = AbandonTop != nullptr && InOwnCode(rip);
  // Below the faulting frame's red zone: a copy of the signal context, and
  // under it the return address into the frame that hands it to the unwinder.
  auto rsp = static_cast<std::uintptr_t>(gregs[REG_RSP]) - 512;
  rsp = (rsp - sizeof(ucontext_t)) & ~std::uintptr_t{15};
  auto* frame = reinterpret_cast<ucontext_t*>(rsp);
  std::memcpy(frame, uc, sizeof *frame);
  frame->uc_mcontext.fpregs = nullptr;
  rsp -= 8;
  const auto marker = reinterpret_cast<std::uintptr_t>(WirepeekFaultFrameReturn);
  std::memcpy(reinterpret_cast<void*>(rsp), &marker, sizeof marker);
  gregs[REG_RSP] = static_cast<greg_t>(rsp);
  gregs[REG_RIP] = static_cast<greg_t>(reinterpret_cast<std::uintptr_t>(&FaultTrampoline));
}

// Watching thread: the alternate signal stack, the report stack and the
// watchdog timer, kept for the thread's life.
void EnsureAltStack() {
  if (!AltStack) {
    void* memory = ::mmap(nullptr, AltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory != MAP_FAILED) {
      stack_t stack{};
      stack.ss_sp = memory;
      stack.ss_size = AltStackSize;
      if (::sigaltstack(&stack, nullptr) == 0) {
        AltStack = memory;
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
  if (!HasWatchdog) {
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = WatchdogSignal;
    event._sigev_un._tid = static_cast<pid_t>(::syscall(SYS_gettid));
    HasWatchdog = ::timer_create(CLOCK_MONOTONIC, &event, &Watchdog) == 0;
  }
}

// The user's state folder ($XDG_STATE_HOME/wirepeek, ~/.local/state/wirepeek).
void PrepareFaultLog() {
  std::call_once(FaultLogPrepared, [] {
    const std::string folder = UserStateFolder();
    if (folder.empty()) return;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const std::string path = folder + "/wirepeek-fault-" + std::to_string(::getpid()) + ".txt";
    if (path.size() >= sizeof FaultLog.Path) return;
    std::memcpy(FaultLog.Path, path.c_str(), path.size() + 1);
    FaultLog.Fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (FaultLog.Fd >= 0) {
      std::snprintf(FaultLog.ProcPath, sizeof FaultLog.ProcPath, "/proc/self/fd/%d", FaultLog.Fd);
    } else {
      FaultLog.Fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);  // named at the fault, by open
      std::snprintf(FaultLog.ProcPath, sizeof FaultLog.ProcPath, "/nonexistent");
    }
  });
}

// Back at an abandon point after a jump. The address checker unpoisons the
// abandoned frames at a jump itself, but not for one that starts on the
// report stack (it cannot tell that stack's extent): do it here.
void AfterAbandonJump() {
#if WIREPEEK_ADDRESS_CHECKS
  if (OverflowLow) {
    const auto low = OverflowLow & ~std::uintptr_t{4095};
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (here > low) __asan_unpoison_memory_region(reinterpret_cast<void*>(low), here - low);
  }
#endif
  OverflowLow = 0;
}

std::terminate_handler PreviousTerminate = nullptr;

// A fault's throw that cannot leave (a noexcept frame, a frame without unwind
// information) goes to the abandon point the old way instead.
[[noreturn]] void FaultTerminate() {
  if (FaultsInFlight > 0 && AbandonTop) siglongjmp(AbandonTop->Buffer, 1);
  if (PreviousTerminate) PreviousTerminate();
  std::abort();
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
    struct sigaction watchdog {};
    watchdog.sa_sigaction = WatchdogHandler;
    watchdog.sa_flags = SA_SIGINFO;
    sigemptyset(&watchdog.sa_mask);
    ::sigaction(WatchdogSignal, &watchdog, nullptr);
    ::dl_iterate_phdr(FindOwnCode, nullptr);
    PreviousTerminate = std::set_terminate(FaultTerminate);
  });
}

TclFaultAbandon::TclFaultAbandon() noexcept { ++FaultsInFlight; }
TclFaultAbandon::TclFaultAbandon(const TclFaultAbandon&) noexcept { ++FaultsInFlight; }
TclFaultAbandon::~TclFaultAbandon() { --FaultsInFlight; }

void SetFatalFaultHook(TFatalFaultHook Hook) { FatalHook = std::move(Hook); }

std::string FaultLogPath() { return FaultLog.Path; }

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

bool RunAbandonable(const std::function<void()>& Fn, std::string* Message) {
  TAbandonPoint point;
  point.Outer = AbandonTop;
  if (sigsetjmp(point.Buffer, 1) != 0) {
    AfterAbandonJump();
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
  try {
    Fn();
  } catch (const TclFaultAbandon&) {
    if (Message) *Message = point.Message;
    return false;
  }
  return true;
}

int SafeCall(TclSafeCallTarget* Target, const std::function<void()>& Fn) noexcept {
  TAbandonPoint point;
  point.Outer = AbandonTop;
  point.IsSafeCall = true;
  point.Target = Target;
  if (sigsetjmp(point.Buffer, 1) != 0) {
    AfterAbandonJump();
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
  const void* address = nullptr;
  try {
    Fn();
    AbandonTop = point.Outer;
    return 0;
  } catch (const TclFaultAbandon&) {
    AbandonTop = point.Outer;
    if (!Target || !point.NotifyTarget) return SafeCallFailure;
    message = point.Message;
    address = point.Address;
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "Unknown exception";
  }
  AbandonTop = point.Outer;
  if (!Target) return SafeCallFailure;
  try {
    return Target->SafeCallException(message, address);
  } catch (...) {
    return SafeCallFailure;
  }
}
