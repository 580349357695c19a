#pragma once
// The trace of the window program: in debug mode (-D, or from a fault's
// report on) the diagnostic lines are kept, the newest MaxLines of them, and
// shown in the trace window (its page "トレース", its menu: the main window,
// save, clear); the run that had a fault saves them at its end as the dated
// log "ALOG" yyyymmdd "_" hhmmss ".txt" in the current folder, lines ended
// by CR LF.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/TextDevs.h"

// Other threads' finished lines wait for the window thread: this message
// takes them in.
inline constexpr UINT WM_TRACE_PENDING = WM_USER + 0x101;

class TTraceLog final : public TLineList {
 public:
  static constexpr std::size_t MaxLines = 200000;

  TTraceLog();
  // Closes the trace, and saves the log when a fault asked for it.
  ~TTraceLog() override;
  TTraceLog(const TTraceLog&) = delete;
  TTraceLog& operator=(const TTraceLog&) = delete;

  // Window thread, once the main window is there: the diagnostic channel is
  // bound to the lines in debug mode (and the trace window shown), to
  // nothing otherwise.
  void Open(HWND Form);
  // Window thread, after a fault's report: debug mode, the report's lines
  // first, and the log saved at the end.
  void SwitchToDebugMode();
  // Window thread: whether a report asks for the switch (once open: debug
  // mode from the command line is no report's).
  bool SwitchWanted() const noexcept { return Form && !Collecting && DebugMode; }
  // Window thread, for WM_TRACE_PENDING: takes in other threads' lines.
  void TakePending();
  // The log's text as it would be saved.
  std::vector<std::string> LogText() const;
  bool SaveOnClose = false;
  // The menu's commands.
  void mmiMainFormClick();
  void mmiSaveClick();
  void mmiClearClick();
  HWND Handle() const noexcept { return TraceForm; }

  int Count() const override { return static_cast<int>(Lines.size()); }
  void Add(std::string_view Line) override;
  void AppendToLast(std::string_view Text) override;
  void Clear() override;
  void TextPending() override;

 private:
  static LRESULT CALLBACK WindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);
  LRESULT HandleMessage(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);
  void ShowTraceForm();
  // The list shows the lines as they are now, the newest in view.
  void ShowLines();
  std::string Save() const;

  HWND Form = nullptr;
  HWND TraceForm = nullptr;
  HWND pcTrace = nullptr;
  HWND memoTrace = nullptr;
  HWND sbarTrace = nullptr;
  bool Collecting = false;
  std::deque<std::string> Lines;
  std::uint64_t DroppedLines = 0;
  std::atomic<bool> DrainPosted{false};
  // Reports the channel did not take, from the report thread.
  mutable std::mutex KeptLock;
  std::vector<std::string> Kept;
};

// "ALOG" yyyymmdd "_" hhmmss ".txt".
std::string TraceLogFileName(std::int32_t Date, std::int32_t Time);
