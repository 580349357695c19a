// Fault handling on Windows. A vectored exception handler sees a hardware
// fault first, before any frame's handler: it copies the exception record
// and the processor context and has a fresh thread write the report (the
// faulting stack may be exhausted), once per process. The unhandled-
// exception filter reports what the vectored handler did not see, then ends
// the process with the exception code as its exit status.
#include <windows.h>

#include <atomic>
#include <string>

#include "diagnostics/DiagnosticHooks.h"
#include "diagnostics/win/FaultReportWin.h"
#include "support/TextDevs.h"

namespace {

std::atomic<bool> Reported{false};
EXCEPTION_RECORD SavedRecord;
CONTEXT SavedContext;
LPTOP_LEVEL_EXCEPTION_FILTER PreviousFilter = nullptr;
// How long the report may take before the process ends without it.
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

// The report thread: the lines to standard error, and to the trace channel
// where it keeps them.
DWORD WINAPI WriteReport(void*) {
  try {
    std::string text;
    for (const std::string& line : ExceptionReportLines(SavedRecord, SavedContext)) {
      text += line;
      text += '\n';
      if (TraceOutput.WantsText()) TraceOutput.WriteLine(line);
    }
    WriteError(text);
  } catch (...) {
    WriteError("wirepeek: the fault report could not be written\n");
  }
  return 0;
}

// Runs on the faulting thread, inside the system's exception dispatch.
void Report(const EXCEPTION_POINTERS* pointers) {
  if (Reported.exchange(true)) return;
  SavedRecord = *pointers->ExceptionRecord;
  SavedContext = *pointers->ContextRecord;
  // The report's own thread: a stack of its own, whatever the fault left.
  const HANDLE thread = CreateThread(nullptr, 1 << 20, WriteReport, nullptr, 0, nullptr);
  if (!thread) return;
  WaitForSingleObject(thread, ReportTimeoutMs);
  CloseHandle(thread);
}

LONG CALLBACK OnVectoredException(EXCEPTION_POINTERS* pointers) {
  if (IsFault(pointers->ExceptionRecord->ExceptionCode)) Report(pointers);
  // The frames' own handlers, and then the filter, decide what follows.
  return EXCEPTION_CONTINUE_SEARCH;
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
  if (!IsFault(pointers->ExceptionRecord->ExceptionCode))
    return PreviousFilter ? PreviousFilter(pointers) : EXCEPTION_CONTINUE_SEARCH;
  Report(pointers);
  // The process ends with the exception code.
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void InstallDiagnosticHooks() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  // No error box from the system: the report is the program's own.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  AddVectoredExceptionHandler(1, OnVectoredException);
  PreviousFilter = SetUnhandledExceptionFilter(OnUnhandledException);
}

// Any thread the program starts: a fault is reported by the handlers above
// and ends the process, so the work runs as it is.
bool RunThreadWork(const std::function<void()>& Fn, std::string_view) {
  Fn();
  return true;
}
