#include "diagnostics/TraceReport.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "diagnostics/FaultState.h"
#include "diagnostics/LinkMap.h"
#include "support/DateTimeText.h"
#include "support/FaultInjection.h"
#include "support/OwnedMutex.h"
#include "support/TextDevs.h"
#include "support/UserFolders.h"

std::string LastExceptionMessage;

namespace {

// Owned, so that a jump out of a report that held it gives it back.
TOwnedMutex SinkLock;
TTraceAlertSink AlertSink;
TDebugModeSwitch DebugSwitch;
TReportKeeper Keeper;
TReportPoster Poster;
std::thread::id PosterThread;

__attribute__((format(printf, 1, 0))) std::string FormatV(const char* Format, va_list Arguments) {
  va_list copy;
  va_copy(copy, Arguments);
  char small[256];
  const int length = std::vsnprintf(small, sizeof small, Format, copy);
  va_end(copy);
  if (length < 0) return {};
  if (static_cast<std::size_t>(length) < sizeof small) return std::string(small, static_cast<std::size_t>(length));
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), Format, Arguments);
  text.resize(static_cast<std::size_t>(length));
  return text;
}

std::string Hex(std::uint64_t Value, int Digits) {
  char text[24];
  std::snprintf(text, sizeof text, "$%0*llX", Digits, static_cast<unsigned long long>(Value));
  return text;
}

// A report is made in full first and handed to TraceOutput afterwards: it may
// be made for a fault of code that holds the channel's lock on this very
// thread, and then it waits until that code has been left.
struct TReportPiece {
  enum class TKind { Text, Line, ModeSwitch };
  TKind Kind;
  std::string Text;
};
thread_local std::vector<TReportPiece>* Collecting = nullptr;
thread_local std::vector<TReportPiece> Pending;

void Put(TReportPiece::TKind Kind, std::string Text) {
  if (Collecting) {
    Collecting->push_back({Kind, std::move(Text)});
  } else if (Kind == TReportPiece::TKind::Line) {
    TraceOutput.WriteLine(Text);
  } else {
    TraceOutput.Write(Text);
  }
}

void SwitchToDebugMode() {
  TDebugModeSwitch debugSwitch;
  {
    std::lock_guard guard(SinkLock);
    debugSwitch = DebugSwitch;
  }
  if (debugSwitch) {
    debugSwitch();
  } else {
    DebugMode = true;
  }
}

void WriteReport(std::string_view Title, const TclExceptionInformation& EI, TclStackTracer& StackTracer) {
  std::vector<TReportPiece> pieces;
  {
    Collecting = &pieces;
    struct TDone {
      ~TDone() { Collecting = nullptr; }
    } done;
    Put(TReportPiece::TKind::Line, std::string(Title));
    FaultPoint(TFaultPoint::Report);
    WriteExceptionHeader(EI);
    WriteStackFrames(StackTracer.Trace(EI));
  }
  for (auto& piece : pieces) Pending.push_back(std::move(piece));
  FlushPendingReports();
}

}  // namespace

void fault_state::ForgetAbandonedReport() noexcept { Collecting = nullptr; }

void SetTraceAlertSink(TTraceAlertSink Sink) {
  std::lock_guard guard(SinkLock);
  AlertSink = std::move(Sink);
}

void SetReportKeeper(TReportKeeper NewKeeper) {
  std::lock_guard guard(SinkLock);
  Keeper = std::move(NewKeeper);
}

void SetReportPoster(TReportPoster Post) {
  std::lock_guard guard(SinkLock);
  Poster = std::move(Post);
  PosterThread = std::this_thread::get_id();
}

void SetDebugModeSwitch(TDebugModeSwitch Switch) {
  std::lock_guard guard(SinkLock);
  DebugSwitch = std::move(Switch);
}

void TraceLine(const char* Format, ...) {
  va_list arguments;
  va_start(arguments, Format);
  const std::string text = FormatV(Format, arguments);
  va_end(arguments);
  TraceOutput.WriteLine(text);
}

int TraceAlert(const char* Format, ...) {
  va_list arguments;
  va_start(arguments, Format);
  const std::string text = FormatV(Format, arguments);
  va_end(arguments);
  TraceOutput.WriteLine(text);
  TTraceAlertSink sink;
  {
    std::lock_guard guard(SinkLock);
    sink = AlertSink;
  }
  if (sink) return sink(text);
  std::fprintf(stderr, "%s: %s\n", std::string(TraceAlertCaption).c_str(), text.c_str());
  return AlertResultYes;
}

void LanguageExceptionReport(TclExceptWatcher&, const TclThrownObject* E, const TclExceptionInformation& EI,
                             TclStackTracer& StackTracer) {
  // A rethrow carries no object: the class name stays empty.
  WriteReport(std::string(LanguageExceptionTitle) + (E ? E->ClassName() : std::string()), EI, StackTracer);
}

void SystemExceptionReport(TclExceptWatcher&, const TclExceptionInformation& EI, TclStackTracer& StackTracer) {
  WriteReport(SystemExceptionTitle, EI, StackTracer);
}

void LanguageSafeCallReport(TclExceptWatcher&, TclSafeCallTarget*, const TclThrownObject*,
                            const TclExceptionInformation& EI, TclStackTracer& StackTracer) {
  WriteReport(LanguageSafeCallTitle, EI, StackTracer);
}

void SystemSafeCallReport(TclExceptWatcher&, TclSafeCallTarget*, const TclExceptionInformation& EI, bool&,
                          TclStackTracer& StackTracer) {
  WriteReport(SystemSafeCallTitle, EI, StackTracer);
}

void SubscribeTraceReports(TclExceptWatcher& Watcher) {
  Watcher.OnLanguageException = LanguageExceptionReport;
  Watcher.OnSystemException = SystemExceptionReport;
  Watcher.OnLanguageSafeCallException = LanguageSafeCallReport;
  Watcher.OnSystemSafeCallException = SystemSafeCallReport;
}

void WriteExceptionHeader(const TclExceptionInformation& EI) {
  using TKind = TReportPiece::TKind;
  if (!DebugMode) {
    if (Collecting) {
      // Before the report's title: the switch empties the memo, and the
      // report is to begin with its title.
      Collecting->insert(Collecting->begin(), {TKind::ModeSwitch, {}});
    } else {
      SwitchToDebugMode();
    }
  }
  const TclContext r = EI.Registers();
  Put(TKind::Text, "[ 0] RIP=" + Hex(r.Rip, 16));
  Put(TKind::Text, " RBP=" + Hex(r.Rbp, 16));
  Put(TKind::Text, " RSP=" + Hex(r.Rsp, 16));
  Put(TKind::Line, " EFLAGS=" + Hex(r.EFlags, 8));
  Put(TKind::Text, "[ 0] RAX=" + Hex(r.Rax, 16));
  Put(TKind::Text, " RBX=" + Hex(r.Rbx, 16));
  Put(TKind::Text, " RCX=" + Hex(r.Rcx, 16));
  Put(TKind::Line, " RDX=" + Hex(r.Rdx, 16));
  Put(TKind::Line, "[ 0] ExceptAddr=" + Hex(r.Rip, 16));
  // A throw's context holds a return address: its line is the call's, one byte back.
  const void* location = EI.LocationAddress();
  Put(TKind::Line, "[ 0] FileName=" + SourceFileOfAddress(location));
  Put(TKind::Line, "[ 0] LineNumber=" + std::to_string(LineOfAddress(location)));
  Put(TKind::Line, "[ 0] ErrorCode=" + Hex(EI.ExceptionRecord().ExceptionCode, 8));
}

bool FlushPendingReports() {
  if (Pending.empty()) return true;
  if (TraceOutput.HeldByCallingThread()) return false;
  std::vector<TReportPiece> pieces;
  pieces.swap(Pending);
  TReportKeeper keeper;
  TReportPoster poster;
  {
    std::lock_guard guard(SinkLock);
    keeper = Keeper;
    if (PosterThread != std::this_thread::get_id()) poster = Poster;
  }
  // Made on another thread: the window thread switches modes and keeps the
  // report, in the order it takes its events.
  if (poster) {
    poster([moved = std::move(pieces)]() mutable {
      for (auto& piece : moved) Pending.push_back(std::move(piece));
      FlushPendingReports();
    });
    return true;
  }
  // The keeper gets the lines as the memo will show them: what follows a
  // switch into debug mode (which empties the memo).
  std::size_t shown = 0;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (pieces[i].Kind == TReportPiece::TKind::ModeSwitch) shown = i + 1;
  }
  std::size_t i = 0;
  try {
    for (; i < shown; ++i) {
      const TReportPiece& piece = pieces[i];
      if (piece.Kind == TReportPiece::TKind::ModeSwitch) {
        if (!DebugMode) SwitchToDebugMode();
      } else if (piece.Kind == TReportPiece::TKind::Line) {
        TraceOutput.WriteLine(piece.Text);
      } else {
        TraceOutput.Write(piece.Text);
      }
    }
    std::vector<std::string> lines;
    bool open = false;
    for (std::size_t j = shown; j < pieces.size(); ++j) {
      if (!open) lines.emplace_back();
      lines.back() += pieces[j].Text;
      open = pieces[j].Kind == TReportPiece::TKind::Text;
    }
    // One block, so that the place the keeper notes is where the memo has it.
    const bool keep = keeper && DebugMode && !lines.empty();
    TraceOutput.WriteLinesWhole(lines, [&] {
      if (keep) keeper(lines);
    });
  } catch (const std::exception&) {
    // The channel is closed (the end of the run): the report goes to
    // standard error rather than nowhere.
    for (std::size_t j = i; j < pieces.size(); ++j) {
      if (pieces[j].Kind == TReportPiece::TKind::ModeSwitch) continue;
      std::fputs(pieces[j].Text.c_str(), stderr);
      if (pieces[j].Kind == TReportPiece::TKind::Line) std::fputc('\n', stderr);
    }
  }
  return true;
}

void WriteStackFrames(const TclStackFrames& Frames) {
  for (std::size_t i = 0; i < Frames.Count(); ++i) {
    const TclStackFrame& frame = Frames.Items(i);
    const auto slash = frame.ModuleName.rfind('/');
    const std::string module = slash == std::string::npos ? frame.ModuleName : frame.ModuleName.substr(slash + 1);
    char head[48];
    std::snprintf(head, sizeof head, "[%2d] $%016llX: ", static_cast<int>(i + 1),
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(frame.Address)));
    Put(TReportPiece::TKind::Line, std::string(head) + module + " - " + frame.ProcedureName + " - " +
                                       frame.FileName + "(" + std::to_string(frame.LineNumber) + ")");
  }
}

void ApplicationExceptionHandler(const std::string& Message) {
  LastExceptionMessage = Message;
  // After the report it belongs to, which may still be waiting.
  Pending.push_back({TReportPiece::TKind::Line, Message});
  FlushPendingReports();
}

bool RunEventHandler(const std::function<void()>& Fn) {
  std::string message;
  try {
    if (RunAbandonable(Fn, &message)) {
      FlushPendingReports();
      return true;
    }
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "Unknown exception";
  }
  ApplicationExceptionHandler(message);
  return false;
}

bool RunThreadWork(const std::function<void()>& Fn, std::string_view AfterFault) {
  PrepareThreadForFaults();
  // This thread's faults are reported; its exceptions are its own business.
  TclExceptWatcher watcher(nullptr);
  watcher.OnSystemException = SystemExceptionReport;
  return RunAbandonable(Fn, nullptr, [AfterFault](const std::string& Message) {
    Pending.push_back({TReportPiece::TKind::Line, Message});
    // Handed over with the report, so it comes after it wherever the report
    // is written (the window thread writes reports made on other threads).
    if (!AfterFault.empty()) Pending.push_back({TReportPiece::TKind::Line, std::string(AfterFault)});
    FlushPendingReports();
  });
}

std::string TraceLogFileName(std::int32_t Date, std::int32_t Time) {
  const std::string time = std::to_string(static_cast<std::int64_t>(Time) + 1000000);
  return "ALOG" + std::to_string(Date) + "_" + time.substr(1) + ".txt";
}

std::string SaveTraceLog(const std::vector<std::string>& Lines, const std::string& Folder) {
  if (!DebugMode || Lines.empty()) return {};
  const std::int32_t date = LocalDateNumber();
  const std::int32_t time = LocalTimeNumber();
  const std::string name = (Folder.empty() ? std::string() : Folder + "/") + TraceLogFileName(date, time);
  std::string text;
  for (const std::string& line : Lines) text += line + "\r\n";
  // In debug mode the log holds other machines' traffic: private, and never
  // written through a link planted at its name.
  WritePrivateFile(name, text);
  return name;
}
