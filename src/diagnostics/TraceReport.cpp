#include "diagnostics/TraceReport.h"

#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <stdexcept>

#include "diagnostics/LinkMap.h"
#include "support/DateTimeText.h"
#include "support/TextDevs.h"

std::string LastExceptionMessage;

namespace {

std::mutex SinkLock;
TTraceAlertSink AlertSink;
TDebugModeSwitch DebugSwitch;

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

void WriteReport(std::string_view Title, const TclExceptionInformation& EI, TclStackTracer& StackTracer) {
  TraceOutput.WriteLine(Title);
  WriteExceptionHeader(EI);
  WriteStackFrames(StackTracer.Trace(EI));
}

}  // namespace

void SetTraceAlertSink(TTraceAlertSink Sink) {
  std::lock_guard<std::mutex> guard(SinkLock);
  AlertSink = std::move(Sink);
}

void SetDebugModeSwitch(TDebugModeSwitch Switch) {
  std::lock_guard<std::mutex> guard(SinkLock);
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
    std::lock_guard<std::mutex> guard(SinkLock);
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
  if (!DebugMode) {
    TDebugModeSwitch debugSwitch;
    {
      std::lock_guard<std::mutex> guard(SinkLock);
      debugSwitch = DebugSwitch;
    }
    if (debugSwitch) {
      debugSwitch();
    } else {
      DebugMode = true;
    }
  }
  const TclContext r = EI.Registers();
  TraceOutput.Write("[ 0] RIP=" + Hex(r.Rip, 16));
  TraceOutput.Write(" RBP=" + Hex(r.Rbp, 16));
  TraceOutput.Write(" RSP=" + Hex(r.Rsp, 16));
  TraceOutput.WriteLine(" EFLAGS=" + Hex(r.EFlags, 8));
  TraceOutput.Write("[ 0] RAX=" + Hex(r.Rax, 16));
  TraceOutput.Write(" RBX=" + Hex(r.Rbx, 16));
  TraceOutput.Write(" RCX=" + Hex(r.Rcx, 16));
  TraceOutput.WriteLine(" RDX=" + Hex(r.Rdx, 16));
  TraceOutput.WriteLine("[ 0] ExceptAddr=" + Hex(r.Rip, 16));
  // A throw's context holds a return address: its line is the call's, one byte back.
  const void* location = EI.LocationAddress();
  TraceOutput.WriteLine("[ 0] FileName=" + SourceFileOfAddress(location));
  TraceOutput.WriteLine("[ 0] LineNumber=" + std::to_string(LineOfAddress(location)));
  TraceOutput.WriteLine("[ 0] ErrorCode=" + Hex(EI.ExceptionRecord().ExceptionCode, 8));
}

void WriteStackFrames(const TclStackFrames& Frames) {
  for (std::size_t i = 0; i < Frames.Count(); ++i) {
    const TclStackFrame& frame = Frames.Items(i);
    const auto slash = frame.ModuleName.rfind('/');
    const std::string module = slash == std::string::npos ? frame.ModuleName : frame.ModuleName.substr(slash + 1);
    char head[48];
    std::snprintf(head, sizeof head, "[%2d] $%016llX: ", static_cast<int>(i + 1),
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(frame.Address)));
    TraceOutput.WriteLine(std::string(head) + module + " - " + frame.ProcedureName + " - " + frame.FileName + "(" +
                          std::to_string(frame.LineNumber) + ")");
  }
}

void ApplicationExceptionHandler(const std::string& Message) {
  LastExceptionMessage = Message;
  TraceOutput.WriteLine(Message);
}

bool RunEventHandler(const std::function<void()>& Fn) {
  std::string message;
  try {
    if (RunAbandonable(Fn, &message)) return true;
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "Unknown exception";
  }
  ApplicationExceptionHandler(message);
  return false;
}

std::string TraceLogFileName(std::int32_t Date, std::int32_t Time) {
  const std::string time = std::to_string(static_cast<std::int64_t>(Time) + 1000000);
  return "ALOG" + std::to_string(Date) + "_" + time.substr(1) + ".txt";
}

std::string SaveTraceLog(const std::vector<std::string>& Lines) {
  if (!DebugMode || Lines.empty()) return {};
  const std::int32_t date = LocalDateNumber();
  const std::int32_t time = LocalTimeNumber();
  const std::string name = TraceLogFileName(date, time);
  std::ofstream file(name, std::ios::binary | std::ios::trunc);
  if (!file) throw std::runtime_error("Cannot create file \"" + name + "\"");
  for (const std::string& line : Lines) file << line << "\r\n";
  file.close();
  if (!file) throw std::runtime_error("Cannot write file \"" + name + "\"");
  return name;
}
