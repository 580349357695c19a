#pragma once
// The text side of the exception report window: the report lines the four
// watcher events write into TraceOutput, the two line writers, the log file
// and the application-wide exception handler. The window itself plugs in
// through the sinks below; without them everything still works (alerts go
// to standard error, the debug-mode switch only sets DebugMode).
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/DiagnosticHooks.h"
#include "diagnostics/StackTracer.h"
#include "diagnostics/ZExWatcher.h"

// The name of the program's language in the report titles.
inline constexpr std::string_view LanguageExceptionTitle = "// C++ Exception: Classname=";
inline constexpr std::string_view LanguageSafeCallTitle = "// C++ SafeCall Exception:";
inline constexpr std::string_view SystemExceptionTitle = "// System Exception:";
inline constexpr std::string_view SystemSafeCallTitle = "// System SafeCall Exception:";

// TraceAlert's dialog: an error dialog with this title and one button.
inline constexpr std::string_view TraceAlertCaption = "エラー";
inline constexpr std::string_view TraceAlertButton = "はい(&Y)";
inline constexpr int AlertResultYes = 6;
// Shows Text modally, returns the dialog's result. Default: standard error, AlertResultYes.
using TTraceAlertSink = std::function<int(const std::string& Text)>;
void SetTraceAlertSink(TTraceAlertSink Sink);

// Called by the first report while DebugMode is false, before the register
// lines: the window closes TraceOutput, sets SaveOnClose, sets DebugMode and
// reopens TraceOutput on its lines (showing itself). Default: DebugMode := true.
using TDebugModeSwitch = std::function<void()>;
void SetDebugModeSwitch(TDebugModeSwitch Switch);

// printf-style line writers. TraceLine writes one line to TraceOutput;
// TraceAlert writes the same line, then shows it and returns the result.
void TraceLine(const char* Format, ...) __attribute__((format(printf, 1, 2)));
int TraceAlert(const char* Format, ...) __attribute__((format(printf, 1, 2)));

// The four report handlers, to subscribe to the watcher's events.
void LanguageExceptionReport(TclExceptWatcher& Sender, const TclThrownObject* E, const TclExceptionInformation& EI,
                             TclStackTracer& StackTracer);
void SystemExceptionReport(TclExceptWatcher& Sender, const TclExceptionInformation& EI, TclStackTracer& StackTracer);
void LanguageSafeCallReport(TclExceptWatcher& Sender, TclSafeCallTarget* Target, const TclThrownObject* E,
                            const TclExceptionInformation& EI, TclStackTracer& StackTracer);
void SystemSafeCallReport(TclExceptWatcher& Sender, TclSafeCallTarget* Target, const TclExceptionInformation& EI,
                          bool& NotifyTarget, TclStackTracer& StackTracer);
// Subscribes all four.
void SubscribeTraceReports(TclExceptWatcher& Watcher);

// The register block: x86_64 registers, pointer-sized ones as 16 upper-case
// hex digits, EFLAGS and the error code as 8.
void WriteExceptionHeader(const TclExceptionInformation& EI);
// One line per frame: "[%2d] $<address>: <module file> - <procedure> - <file>(<line>)".
void WriteStackFrames(const TclStackFrames& Frames);

// Is given the lines of each report (and the message line that ends it) as
// they are handed to TraceOutput, so that the log can keep them whatever the
// memo drops later.
using TReportKeeper = std::function<void(const std::vector<std::string>& Lines)>;
void SetReportKeeper(TReportKeeper Keeper);

// Reports are made whole, then handed to TraceOutput; one made while this
// thread was inside the channel (a fault there) waits for the next call.
// False when reports are still waiting.
bool FlushPendingReports();

// The message of the last exception that reached ApplicationExceptionHandler.
extern std::string LastExceptionMessage;
// The application-wide exception handler: records Message and writes it to
// TraceOutput as one line; no dialog.
void ApplicationExceptionHandler(const std::string& Message);
// One event of the main loop: runs Fn abandonably; a fault abandons it and a
// C++ exception escaping it is caught; either ends in ApplicationExceptionHandler.
// False when the handler did not complete.
bool RunEventHandler(const std::function<void()>& Fn);

// Reports made on other threads reach the trace window through Post, which
// runs its argument soon on the thread that set it (the window thread).
using TReportPoster = std::function<void(std::function<void()>)>;
void SetReportPoster(TReportPoster Post);

// "ALOG" yyyymmdd "_" hhmmss ".txt".
std::string TraceLogFileName(std::int32_t Date, std::int32_t Time);
// Writes Lines, each ended by CR LF, into TraceLogFileName(now) in Folder
// (the current directory when empty), mode 0600, replacing whatever has that
// name without following a link (WritePrivateFile). Does nothing (returns "")
// when not in debug mode or Lines is empty; returns the file's path. Throws
// std::runtime_error when the file cannot be written.
std::string SaveTraceLog(const std::vector<std::string>& Lines, const std::string& Folder = {});
