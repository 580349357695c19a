// Fault handling on Windows. A vectored exception handler sees a hardware
// fault first, before any frame's handler: it copies the exception record
// and the processor context and has a fresh thread write the report (the
// faulting stack may be exhausted). A thread that runs its work under an
// abandon point is then sent there: the handler changes the context it
// resumes with so that the thread enters a routine that jumps to the point,
// and the work ends while the program goes on. A fault with no abandon
// point is reported once, and the unhandled-exception filter ends the
// process with the exception code as its exit status.
#include <malloc.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "diagnostics/DiagnosticHooks.h"
#include "diagnostics/win/AbandonPointWin.h"
#include "diagnostics/win/FaultReportWin.h"
#include "diagnostics/win/ProcessorWin.h"
#include "support/TextDevs.h"

namespace {

// Where a thread's work is left after a fault. The jump is the compiler's
// own non-local goto, which restores the frame and stack pointers and
// nothing else: no unwinding, so nothing the fault left half done is run.
struct TAbandonPoint {
  void* Buffer[5] = {};
  TAbandonPoint* Outer = nullptr;
  // What the thread held when the point was set up: given back on landing.
  TTextChannel::TMark Held;
  void* HandlerChain = nullptr;
};

thread_local TAbandonPoint* AbandonTop = nullptr;
// From the handler's redirect until the landing: a fault in that time is
// one on the way out, and ends the process.
thread_local bool LeavingFault = false;
thread_local bool LeavingOverflow = false;
// The report thread: a fault in the report abandons the report, unreported.
thread_local bool InReport = false;

std::atomic<bool> ReportedFatal{false};
// One report at a time: the copies below are the report thread's input.
SRWLOCK ReportLock = SRWLOCK_INIT;
EXCEPTION_RECORD SavedRecord;
CONTEXT SavedContext;
// The faulting thread held the trace channel: the report keeps out of it.
bool ChannelHeld = false;
LPTOP_LEVEL_EXCEPTION_FILTER PreviousFilter = nullptr;
// Set before any fault, at start-up; read by the report thread.
TFaultReportKeeper ReportKeeper;
// How long the report may take: it may wait on something the faulting
// thread holds (the allocator's lock, say), and then the process ends.
constexpr DWORD ReportTimeoutMs = 20000;

bool IsFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_STACK_OVERFLOW:
      return true;
    default:
      return false;
  }
}

void WriteError(const std::string& text) {
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  if (err && err != INVALID_HANDLE_VALUE) WriteFile(err, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// A line of a fault's report: to standard error, and to the trace channel
// where it keeps text.
void WriteReportLine(const std::string& line) {
  if (TraceOutput.WantsText()) TraceOutput.WriteLine(line);
  WriteError(line + '\n');
}

// Enters the thread's innermost abandon point; the handler sends a faulting
// thread here, on its own stack below the faulting frame.
[[noreturn]] void ResumeAtAbandonPoint() { __builtin_longjmp(AbandonTop->Buffer, 1); }

// The report thread: the lines to standard error, and to the trace channel
// where it keeps them.
DWORD WINAPI WriteReport(void*) {
  InReport = true;
  const bool whole = RunAbandonable([] {
    std::string text;
    const std::vector<std::string> lines = ExceptionReportLines(SavedRecord, SavedContext);
    const bool traced = !ChannelHeld && TraceOutput.WantsText();
    for (const std::string& line : lines) {
      text += line;
      text += '\n';
      if (traced) TraceOutput.WriteLine(line);
    }
    WriteError(text);
    if (!traced && ReportKeeper) ReportKeeper(lines);
  });
  // As after any report: the program goes on in debug mode.
  DebugMode = true;
  if (!whole) WriteError("wirepeek: the fault report could not be written\n");
  return 0;
}

// Runs on the faulting thread, inside the system's exception dispatch.
void Report(const EXCEPTION_POINTERS* pointers) {
  AcquireSRWLockExclusive(&ReportLock);
  SavedRecord = *pointers->ExceptionRecord;
  SavedContext = *pointers->ContextRecord;
  ChannelHeld = TraceOutput.HeldByCallingThread();
  // The report's own thread: a stack of its own, whatever the fault left.
  const HANDLE thread = CreateThread(nullptr, 1 << 20, WriteReport, nullptr, 0, nullptr);
  if (thread) {
    if (WaitForSingleObject(thread, ReportTimeoutMs) == WAIT_TIMEOUT) {
      WriteError("wirepeek: the report of this fault did not finish in time; the program ends\n");
      TerminateProcess(GetCurrentProcess(), pointers->ExceptionRecord->ExceptionCode);
    }
    CloseHandle(thread);
  }
  ReleaseSRWLockExclusive(&ReportLock);
}

LONG CALLBACK OnVectoredException(EXCEPTION_POINTERS* pointers) {
  const DWORD code = pointers->ExceptionRecord->ExceptionCode;
  if (!IsFault(code)) return EXCEPTION_CONTINUE_SEARCH;
  if (InReport && AbandonTop) {
    ResumeIn(*pointers->ContextRecord, ResumeAtAbandonPoint);
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  if (!AbandonTop || LeavingFault) {
    // Nobody goes on after this fault: the frames' own handlers, and then
    // the filter, decide what follows.
    if (!ReportedFatal.exchange(true)) Report(pointers);
    return EXCEPTION_CONTINUE_SEARCH;
  }
  LeavingFault = true;
  LeavingOverflow = code == EXCEPTION_STACK_OVERFLOW;
  Report(pointers);
  ResumeIn(*pointers->ContextRecord, ResumeAtAbandonPoint);
  return EXCEPTION_CONTINUE_EXECUTION;
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
  if (!IsFault(pointers->ExceptionRecord->ExceptionCode))
    return PreviousFilter ? PreviousFilter(pointers) : EXCEPTION_CONTINUE_SEARCH;
  if (!ReportedFatal.exchange(true)) Report(pointers);
  // The process ends with the exception code.
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

// GCC never inlines a function that sets up a non-local goto.
bool RunAbandonable(const std::function<void()>& Fn) {
  TAbandonPoint point;
  point.Outer = AbandonTop;
  point.Held = TTextChannel::MarkHeld();
  point.HandlerChain = HandlerChain();
  if (__builtin_setjmp(point.Buffer) != 0) {
    AbandonTop = point.Outer;
    SetHandlerChain(point.HandlerChain);
    // The overflow used up the stack's guard page: set it again.
    if (LeavingOverflow) _resetstkoflw();
    // The locks the skipped frames held, given back as their destructors
    // would have.
    TraceOutput.ReleaseAbandoned(point.Held);
    LeavingFault = LeavingOverflow = false;
    return false;
  }
  AbandonTop = &point;
  struct TPop {
    TAbandonPoint& Point;
    ~TPop() { AbandonTop = Point.Outer; }
  } pop{point};
  Fn();
  return true;
}

void SetFaultReportKeeper(TFaultReportKeeper Keeper) { ReportKeeper = std::move(Keeper); }

void InstallDiagnosticHooks() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  // No error box from the system: the report is the program's own.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  AddVectoredExceptionHandler(1, OnVectoredException);
  PreviousFilter = SetUnhandledExceptionFilter(OnUnhandledException);
}

// Any thread the program starts: a fault in its work is reported, the work
// is left at its abandon point, and the program goes on.
bool RunThreadWork(const std::function<void()>& Fn, std::string_view AfterFault) {
  if (RunAbandonable(Fn)) return true;
  if (!AfterFault.empty()) WriteReportLine(std::string(AfterFault));
  return false;
}
