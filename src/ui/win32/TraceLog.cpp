#include "ui/win32/TraceLog.h"

#include <fstream>
#include <iostream>

#include "diagnostics/win/AbandonPointWin.h"
#include "support/DateTimeText.h"

TTraceLog::TTraceLog() {
  // Report thread: only keeps the lines; the window thread takes them in.
  SetFaultReportKeeper([this](const std::vector<std::string>& lines) {
    std::lock_guard guard(KeptLock);
    Kept.insert(Kept.end(), lines.begin(), lines.end());
  });
}

TTraceLog::~TTraceLog() {
  SetFaultReportKeeper(nullptr);
  if (Collecting) TraceOutput.DrainPending();
  TraceOutput.Close();
  TraceOutput.AssignNullDevice();
  if (!SaveOnClose) return;
  const std::vector<std::string> text = LogText();
  if (text.empty()) return;
  const std::string name = TraceLogFileName(LocalDateNumber(), LocalTimeNumber());
  std::string file;
  for (const std::string& line : text) file += line + "\r\n";
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << file;
  out.close();
  // At the end of the run there is nobody else to tell.
  if (!out) std::cerr << "wirepeek: the trace log could not be saved as " << name << std::endl;
}

void TTraceLog::Open(HWND form) {
  Form = form;
  Collecting = DebugMode;
  if (Collecting) {
    TraceOutput.AssignLinesDevice(*this);
  } else {
    TraceOutput.AssignNullDevice();
  }
  TraceOutput.Rewrite();
}

void TTraceLog::SwitchToDebugMode() {
  std::vector<std::string> reports;
  {
    std::lock_guard guard(KeptLock);
    reports.swap(Kept);
  }
  SaveOnClose = true;
  if (!Collecting) {
    TraceOutput.Close();
    DebugMode = true;
    Collecting = true;
    TraceOutput.AssignLinesDevice(*this);
    TraceOutput.Rewrite();
  }
  for (const std::string& line : reports) TraceOutput.WriteLine(line);
}

std::vector<std::string> TTraceLog::LogText() const {
  std::vector<std::string> text;
  if (DroppedLines > 0) text.push_back("-- " + std::to_string(DroppedLines) + " older lines dropped --");
  text.insert(text.end(), Lines.begin(), Lines.end());
  return text;
}

void TTraceLog::Add(std::string_view line) {
  Lines.emplace_back(line);
  if (Lines.size() > MaxLines) {
    Lines.pop_front();
    ++DroppedLines;
  }
}

void TTraceLog::AppendToLast(std::string_view text) {
  if (Lines.empty()) Lines.emplace_back();
  Lines.back().append(text);
}

void TTraceLog::Clear() {
  Lines.clear();
  DroppedLines = 0;
}

// A writer thread: the window thread takes the text in when it gets there,
// one message for however much has come meanwhile.
void TTraceLog::TextPending() {
  if (Form && !DrainPosted.exchange(true)) PostMessageW(Form, WM_TRACE_PENDING, 0, 0);
}

void TTraceLog::TakePending() {
  DrainPosted = false;
  TraceOutput.DrainPending();
}

std::string TraceLogFileName(std::int32_t date, std::int32_t time) {
  const std::string clock = std::to_string(static_cast<std::int64_t>(time) + 1000000);
  return "ALOG" + std::to_string(date) + "_" + clock.substr(1) + ".txt";
}
