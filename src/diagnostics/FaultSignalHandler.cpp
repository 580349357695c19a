// The signal handler for SIGSEGV, SIGBUS, SIGFPE and SIGILL, and the minimal
// report it writes.
//
// Everything in this file up to the installation at its end runs inside the
// handler, possibly on an alternate signal stack, while the faulting code
// may hold any lock of the process (the allocator's, stdio's, the dynamic
// linker's). It calls async-signal-safe functions only (write, open, linkat,
// close, sigaction, raise, _exit, sigaltstack, siglongjmp) and libunwind's
// local walk, never the allocator, stdio or a lock.
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#define UNW_LOCAL_ONLY
#include <libunwind.h>

#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>

#include "diagnostics/FaultState.h"
#include "support/UserFolders.h"

namespace fault_state {

namespace {

constexpr int FaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
// What was installed before ours, per signal number.
struct sigaction Previous[NSIG];

// The file the minimal report also goes to, prepared before any fault: a
// nameless file in the user's state folder that gets its name at the first
// fault.
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

// One minimal report at a time: two threads faulting together would name the
// fault file twice (and close each other's descriptor) and mix their lines.
// A spin on an atomic, for a lock would not be async-signal-safe; a thread
// that faults again inside its own report does not wait for itself, and a
// holder that never lets go is waited for two seconds at most.
std::atomic<pid_t> MinimalReportHolder{0};

pid_t ThreadId() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

bool TakeMinimalReport() {
  const pid_t me = ThreadId();
  if (MinimalReportHolder.load(std::memory_order_acquire) == me) return false;
  for (int tries = 0; tries < 2000; ++tries) {
    pid_t none = 0;
    if (MinimalReportHolder.compare_exchange_strong(none, me, std::memory_order_acq_rel)) return true;
    const timespec pause{0, 1000000};
    ::nanosleep(&pause, nullptr);
  }
  return false;
}

// The register block and the raw return addresses.
void WriteMinimalReport(int Signal, const siginfo_t& Info, ucontext_t& Context) {
  const bool taken = TakeMinimalReport();
  struct TGive {
    bool Taken;
    ~TGive() {
      if (Taken) MinimalReportHolder.store(0, std::memory_order_release);
    }
  } give{taken};
  if (FaultLog.Fd >= 0 && !FaultLog.Named) {
    // Give the prepared file its name; where that fails, open one by name,
    // never through a link someone planted there.
    if (::linkat(AT_FDCWD, FaultLog.ProcPath, AT_FDCWD, FaultLog.Path, AT_SYMLINK_FOLLOW) != 0) {
      ::close(FaultLog.Fd);
      FaultLog.Fd = ::open(FaultLog.Path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
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

bool IsStackOverflow(const siginfo_t& Info, const ucontext_t& Context, int Signal) {
  if (Signal != SIGSEGV && Signal != SIGBUS) return false;
  const auto address = reinterpret_cast<std::uintptr_t>(Info.si_addr);
  const auto rsp = static_cast<std::uintptr_t>(Context.uc_mcontext.gregs[REG_RSP]);
  return address <= rsp + 4096 && address + 65536 >= rsp;
}

void FaultHandler(int Signal, siginfo_t* Info, void* RawContext) {
  auto* uc = static_cast<ucontext_t*>(RawContext);
  // A fault inside the minimal report's walk: end the walk.
  if (InMinimalReport) siglongjmp(MinimalGuard, 1);
  // A fault inside a report: abandon the report. Its minimal report is
  // written all the same; the full one would be made by what just faulted.
  if (InNotification && NotificationGuard) {
    if (Info->si_code > 0) WriteMinimalReport(Signal, *Info, *uc);
    siglongjmp(*NotificationGuard, 1);
  }
  // Sent by someone, not raised by an instruction: not ours to handle.
  if (Info->si_code <= 0) PassOnSignal(Signal, Info, RawContext);
  // A second fault on the way out of the first (a destructor of an
  // abandoned frame, the unwinder on a smashed stack): straight to the
  // abandon point, without a second report.
  if (LeavingFault) {
    if (AbandonTop) siglongjmp(AbandonTop->Buffer, 1);
    DieBySignal(Signal);
  }
  // Nobody here wants it: what would have happened without us.
  if (!AbandonTop && !WatcherReports()) PassOnSignal(Signal, Info, RawContext);
  WriteMinimalReport(Signal, *Info, *uc);
  std::memcpy(&Fault.Context, uc, sizeof Fault.Context);
  Fault.Context.uc_mcontext.fpregs = nullptr;
  Fault.Info = *Info;
  Fault.Signal = Signal;
  LeavingFault = true;
  auto& gregs = uc->uc_mcontext.gregs;
  if (IsStackOverflow(*Info, *uc, Signal)) {
    OverflowLow = static_cast<std::uintptr_t>(gregs[REG_RSP]);
    if (!ReportStack) DieBySignal(Signal);
    // A call from nowhere on the report stack: the report's own walk starts
    // from the saved context.
    auto top = (reinterpret_cast<std::uintptr_t>(ReportStack) + ReportStackSize) & ~std::uintptr_t{15};
    top -= 8;
    *reinterpret_cast<std::uintptr_t*>(top) = 0;
    gregs[REG_RSP] = static_cast<greg_t>(top);
    gregs[REG_RIP] = static_cast<greg_t>(reinterpret_cast<std::uintptr_t>(&LeaveFault));
    return;
  }
  // Below the faulting frame and its red zone: a copy of the signal context
  // and, under it, the return address into the frame that hands the copy to
  // the unwinder (FaultFrame.S). Without an alternate stack this handler
  // runs on the same stack, just below the faulting frame: the copy then
  // goes below the handler's own frame, which it must not overwrite.
  auto rsp = static_cast<std::uintptr_t>(gregs[REG_RSP]) - 512;
  if (!OnAlternateStack()) {
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) - 8192;
    if (here < rsp) rsp = here;
  }
  rsp = (rsp - sizeof(ucontext_t)) & ~std::uintptr_t{15};
  auto* frame = reinterpret_cast<ucontext_t*>(rsp);
  std::memcpy(frame, uc, sizeof *frame);
  frame->uc_mcontext.fpregs = nullptr;
  rsp -= 8;
  const auto marker = reinterpret_cast<std::uintptr_t>(WirepeekFaultFrameReturn);
  std::memcpy(reinterpret_cast<void*>(rsp), &marker, sizeof marker);
  gregs[REG_RSP] = static_cast<greg_t>(rsp);
  gregs[REG_RIP] = static_cast<greg_t>(reinterpret_cast<std::uintptr_t>(&LeaveFault));
}

}  // namespace

bool OnAlternateStack() {
  stack_t current{};
  return ::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_ONSTACK) != 0;
}

void DieBySignal(int Signal) {
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

void PassOnSignal(int Signal, siginfo_t* Info, void* Context) {
  const struct sigaction& before = Previous[Signal];
  if (before.sa_flags & SA_SIGINFO) {
    if (before.sa_sigaction) {
      // Theirs from now on: a fault it returns from comes straight back to it.
      ::sigaction(Signal, &before, nullptr);
      before.sa_sigaction(Signal, Info, Context);
      ::_exit(128 + Signal);
    }
  } else if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN && before.sa_handler) {
    ::sigaction(Signal, &before, nullptr);
    before.sa_handler(Signal);
    ::_exit(128 + Signal);
  }
  DieBySignal(Signal);
}

void InstallFaultHandlers() {
  struct sigaction action {};
  action.sa_sigaction = FaultHandler;
  // SA_NODEFER: a fault inside a report made on the alternate stack must
  // reach the guard instead of killing the process; and no jump out of a
  // report then has a signal mask to restore.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  for (int signal : FaultSignals) ::sigaction(signal, &action, &Previous[signal]);
}

void PrepareFaultLog() {
  std::call_once(FaultLogPrepared, [] {
    // The user's alone (0700), never through a link.
    std::string folder;
    try {
      folder = MakeUserStateFolder();
    } catch (const std::exception&) {
      return;
    }
    if (folder.empty()) return;
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

const char* FaultLogPathText() { return FaultLog.Path; }

}  // namespace fault_state
