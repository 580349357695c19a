#include "ui/win32/TraceLog.h"

#include <commctrl.h>

#include <fstream>
#include <iostream>

#include "diagnostics/win/AbandonPointWin.h"
#include "support/DateTimeText.h"
#include "support/FaultInjection.h"
#include "support/Settings.h"
#include "ui/win32/MainUnit.h"

namespace {

constexpr wchar_t TraceClass[] = L"TTraceForm";
constexpr int MenuMainForm = 201, MenuSave = 202, MenuClear = 203;
constexpr UINT_PTR TimerShowLines = 1;

}  // namespace

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
  if (TraceForm) DestroyWindow(TraceForm);
  // At the end of the run there is nobody else to tell.
  if (SaveOnClose && Save() == "-") std::cerr << "wirepeek: the trace log could not be saved" << std::endl;
}

// The log, now: its file's name, "" when there is nothing to save, "-" when
// it could not be written.
std::string TTraceLog::Save() const {
  const std::vector<std::string> text = LogText();
  if (!DebugMode || text.empty()) return {};
  const std::string name = TraceLogFileName(LocalDateNumber(), LocalTimeNumber());
  std::string file;
  for (const std::string& line : text) file += line + "\r\n";
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << file;
  out.close();
  return out ? name : "-";
}

void TTraceLog::mmiMainFormClick() {
  FaultPoint(TFaultPoint::TraceMenu);
  ShowWindow(Form, SW_SHOWNORMAL);
  SetForegroundWindow(Form);
}

void TTraceLog::mmiSaveClick() {
  if (Save() == "-") MessageBoxW(TraceForm, L"ログを保存できません", L"Wirepeek", MB_OK | MB_ICONWARNING);
}

void TTraceLog::mmiClearClick() {
  Clear();
  ShowLines();
}

// The window of the trace: the left half of the screen, titled after the
// executable; closing it only hides it, the main window ends the program.
void TTraceLog::ShowTraceForm() {
  if (!TraceForm) {
    RegisterWindowClass(TraceClass, WindowProc);
    HMENU file = CreatePopupMenu();
    AppendMenuW(file, MF_STRING, MenuMainForm, L"メインフォーム表示(&M)");
    AppendMenuW(file, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(file, MF_STRING, MenuSave, L"保存(&S)");
    AppendMenuW(file, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(file, MF_STRING, MenuClear, L"トレース情報クリア");
    HMENU bar = CreateMenu();
    AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), L"ファイル(&F)");
    const std::string& exe = GlobalSettings.ExePath;
    const std::wstring title = WideText(exe.substr(exe.find_last_of("\\/") + 1));
    const int width = GetSystemMetrics(SM_CXSCREEN) / 2, height = GetSystemMetrics(SM_CYSCREEN) * 90 / 100;
    TraceForm = CreateWindowExW(0, TraceClass, title.c_str(), WS_OVERLAPPEDWINDOW, 10, 10, width, height, nullptr, bar,
                                GetModuleHandleW(nullptr), this);
    if (!TraceForm) return;
    pcTrace = ChildControl(TraceForm, WC_TABCONTROLW, L"", WS_CLIPSIBLINGS, 0, 0, 0, 0);
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<wchar_t*>(L"トレース");
    SendMessageW(pcTrace, TCM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    // The lines are asked for as the list draws them: any number costs the same.
    memoTrace = ChildControl(TraceForm, WC_LISTVIEWW, L"",
                             LVS_REPORT | LVS_OWNERDATA | LVS_NOCOLUMNHEADER | LVS_SINGLESEL | WS_BORDER, 0, 0, 0, 0);
    LVCOLUMNW column{};
    column.mask = LVCF_WIDTH;
    column.cx = 4000;
    SendMessageW(memoTrace, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column));
    sbarTrace = ChildControl(TraceForm, STATUSCLASSNAMEW, L"", 0, 0, 0, 0, 0);
    RECT client{};
    GetClientRect(TraceForm, &client);
    SendMessageW(TraceForm, WM_SIZE, 0, MAKELPARAM(client.right, client.bottom));
    SetTimer(TraceForm, TimerShowLines, 200, nullptr);
  }
  ShowWindow(TraceForm, SW_SHOWNOACTIVATE);
  ShowLines();
}

void TTraceLog::ShowLines() {
  if (!memoTrace) return;
  const auto count = static_cast<WPARAM>(Lines.size());
  SendMessageW(memoTrace, LVM_SETITEMCOUNT, count, LVSICF_NOSCROLL);
  if (count > 0) SendMessageW(memoTrace, LVM_ENSUREVISIBLE, count - 1, FALSE);
  InvalidateRect(memoTrace, nullptr, FALSE);
}

LRESULT CALLBACK TTraceLog::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE)
    SetWindowLongPtrW(window, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
  auto* trace = reinterpret_cast<TTraceLog*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!trace) return DefWindowProcW(window, message, wParam, lParam);
  return RunWindowEntry([&] { return trace->HandleMessage(window, message, wParam, lParam); });
}

LRESULT TTraceLog::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (LOWORD(wParam) == MenuMainForm) mmiMainFormClick();
      if (LOWORD(wParam) == MenuSave) mmiSaveClick();
      if (LOWORD(wParam) == MenuClear) mmiClearClick();
      return 0;
    case WM_TIMER:
      if (wParam == TimerShowLines && static_cast<std::size_t>(SendMessageW(memoTrace, LVM_GETITEMCOUNT, 0, 0)) !=
                                          Lines.size())
        ShowLines();
      return 0;
    case WM_SIZE: {
      const int width = LOWORD(lParam), height = HIWORD(lParam);
      SendMessageW(sbarTrace, WM_SIZE, 0, 0);
      RECT bar{};
      GetWindowRect(sbarTrace, &bar);
      RECT page{0, 0, width, height - (bar.bottom - bar.top)};
      MoveWindow(pcTrace, page.left, page.top, page.right, page.bottom, TRUE);
      SendMessageW(pcTrace, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&page));
      MoveWindow(memoTrace, page.left, page.top, page.right - page.left, page.bottom - page.top, TRUE);
      return 0;
    }
    case WM_NOTIFY: {
      auto* header = reinterpret_cast<NMHDR*>(lParam);
      if (header->hwndFrom != memoTrace || header->code != LVN_GETDISPINFOW) return 0;
      auto& info = reinterpret_cast<NMLVDISPINFOW*>(lParam)->item;
      if (!(info.mask & LVIF_TEXT) || info.iItem < 0 || static_cast<std::size_t>(info.iItem) >= Lines.size()) return 0;
      lstrcpynW(info.pszText, WideText(Lines[static_cast<std::size_t>(info.iItem)]).c_str(), info.cchTextMax);
      return 0;
    }
    case WM_CLOSE:
      // Not a window whose closing ends the program; the main window is.
      ShowWindow(window, SW_HIDE);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

void TTraceLog::Open(HWND form) {
  Form = form;
  Collecting = DebugMode;
  if (Collecting) {
    TraceOutput.AssignLinesDevice(*this);
    ShowTraceForm();
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
    ShowTraceForm();
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
