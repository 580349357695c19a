#include "ui/win32/MainUnit.h"

#include <commctrl.h>
#include <platform/Sockets.h>
#include <shellapi.h>

#include <algorithm>
#include <array>
#include <string_view>

#include "capture/AddrTotals.h"
#include "catalogue/Global.h"
#include "diagnostics/MapCheck.h"
#include "diagnostics/win/AbandonPointWin.h"
#include "support/FaultInjection.h"
#include "support/Settings.h"
#include "support/TextDevs.h"

namespace {

constexpr wchar_t MainClassName[] = L"TMainForm";
constexpr wchar_t IdleCaption[] = L"ワイヤピーク監視■■■■";
// Commands, shared by the buttons and the menu entries that run them.
constexpr int ButtonStart = 101, ButtonEnd = 102, CheckProt_IPAdr = 103, ButtonHelp = 104, ButtonExit = 105,
              MenuVersion = 106, ComboAdapter = 107, ComboRateCategory = 108;
constexpr UINT_PTR TimerMain = 1;
constexpr int SummaryHeight = 300;

// Byte totals grouped in thousands; empty for 0.
std::wstring TotalText(std::int64_t value) {
  if (value == 0) return {};
  std::wstring digits = std::to_wstring(value < 0 ? -value : value);
  for (auto at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3)
    digits.insert(static_cast<std::size_t>(at), 1, L',');
  return value < 0 ? L"-" + digits : digits;
}

// A line of the trace that also stops the user: the error box, and the line
// on standard error for whoever started the program.
void TraceAlert(const std::string& text) {
  if (TraceOutput.WantsText()) TraceOutput.WriteLine(text);
  const std::string line = "wirepeek: " + text + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  MessageBoxW(nullptr, WideText(text).c_str(), L"エラー", MB_OK | MB_ICONERROR);
}

// What an exception that reached the window procedure says: a line of the
// trace, and of standard error.
void ReportException(const std::string& message) {
  if (TraceOutput.WantsText()) TraceOutput.WriteLine(message);
  const std::string line = message + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void AddTab(HWND tabs, int index, const wchar_t* caption) {
  TCITEMW item{};
  item.mask = TCIF_TEXT;
  item.pszText = const_cast<wchar_t*>(caption);
  SendMessageW(tabs, TCM_INSERTITEMW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
}

// A list view in report style with its columns; the figures' columns (Right)
// are aligned right, as the Linux window aligns them.
HWND ReportView(HWND parent, int x, int y, int w, int h, DWORD style,
                std::initializer_list<std::pair<const wchar_t*, int>> columns, std::initializer_list<int> right) {
  HWND view = ChildControl(parent, WC_LISTVIEWW, L"", LVS_REPORT | LVS_SINGLESEL | WS_BORDER | style, x, y, w, h);
  SendMessageW(view, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
  int index = 0;
  for (const auto& [caption, width] : columns) {
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    column.fmt = std::find(right.begin(), right.end(), index) != right.end() ? LVCFMT_RIGHT : LVCFMT_LEFT;
    column.cx = width;
    column.pszText = const_cast<wchar_t*>(caption);
    SendMessageW(view, LVM_INSERTCOLUMNW, static_cast<WPARAM>(index++), reinterpret_cast<LPARAM>(&column));
  }
  return view;
}

void SetCell(HWND view, int row, int column, const std::wstring& text) {
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = const_cast<wchar_t*>(text.c_str());
  SendMessageW(view, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

}  // namespace

std::wstring WideText(std::string_view text) {
  if (text.empty()) return {};
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

void RegisterWindowClass(const wchar_t* name, WNDPROC proc, bool face) {
  WNDCLASSEXW type{};
  type.cbSize = sizeof type;
  type.lpfnWndProc = proc;
  type.hInstance = GetModuleHandleW(nullptr);
  type.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  if (face) type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  type.lpszClassName = name;
  RegisterClassExW(&type);
}

HWND ChildControl(HWND parent, const wchar_t* kind, const wchar_t* text, DWORD style, int x, int y, int w, int h,
                  int id) {
  HWND control = CreateWindowExW(0, kind, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
  return control;
}

LRESULT RunWindowEntry(const std::function<LRESULT()>& work) {
  LRESULT result = 0;
  try {
    RunAbandonable([&] { result = work(); });
  } catch (const std::exception& error) {
    ReportException(error.what());
  } catch (...) {
    ReportException("Unknown exception");
  }
  return result;
}

TMainForm::TMainForm() : Session(std::make_unique<TCaptureSession>()) {
  // Window thread: serves the notification the capture thread waits on.
  // Its own abandon point: a fault in it leaves the handler, and the capture
  // thread is let go all the same.
  NotifyTarget = std::make_unique<TQueuedNotifyTarget>([this] {
    // The capture thread goes on once this returns: after a fault, the
    // datagrams that follow are dumped into the trace.
    if (!RunAbandonable([this] { WMCaptureNotify(); })) AfterFaults();
  }, [this] {
    // Capture thread: the window serves it when its loop gets there.
    PostMessageW(Form, WM_CAPTURE_NOTIFY, 0, 0);
  });
  // As many rows as the window has always listed.
  Session->ListAddresses(65535);
}

TMainForm::~TMainForm() {
  if (Monitor().Thread) Monitor().CaptureEnd();
  AboutForm.reset();
  if (Form) DestroyWindow(Form);
}

bool TMainForm::Create(HINSTANCE instance) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_TAB_CLASSES | ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);
  RegisterWindowClass(MainClassName, WindowProc);
  RECT frame{0, 0, 544, 102 + SummaryHeight + 8};
  AdjustWindowRect(&frame, WS_OVERLAPPEDWINDOW, TRUE);
  Form = CreateWindowExW(0, MainClassName, IdleCaption, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                         frame.right - frame.left, frame.bottom - frame.top, nullptr, BuildMenus(), instance, this);
  if (!Form) return false;
  BuildControls();
  TraceLines.Open(Form);
  AboutForm = std::make_unique<TAboutForm>(Form);
  FormCreate();
  return true;
}

// Settings from the file beside the executable: the position (centred when
// none is stored) and whether the summary pages show.
void TMainForm::FormCreate() {
  RECT frame{};
  GetWindowRect(Form, &frame);
  GlobalSettings.ScreenHeight = GetSystemMetrics(SM_CYSCREEN);
  GlobalSettings.ScreenWidth = GetSystemMetrics(SM_CXSCREEN);
  GlobalSettings.FormHeight = frame.bottom - frame.top;
  GlobalSettings.FormWidth = frame.right - frame.left;
  try {
    ReadSettings();
  } catch (const EIniFileError& error) {
    // Defaults are in place; the file is left alone, and saving will say so.
    MessageBoxW(Form, WideText(error.what()).c_str(), L"Wirepeek", MB_OK | MB_ICONWARNING);
  }
  SetWindowPos(Form, nullptr, GlobalSettings.Left, GlobalSettings.Top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  SendMessageW(cbProt_IPAdr, BM_SETCHECK, GlobalSettings.Prot_IPAdr ? BST_CHECKED : BST_UNCHECKED, 0);
  ShowSummary();
}

// The position is kept for the next start.
void TMainForm::FormClose() {
  RECT frame{};
  GetWindowRect(Form, &frame);
  GlobalSettings.Top = frame.top;
  GlobalSettings.Left = frame.left;
  try {
    WriteSettings();
  } catch (const EIniFileError& error) {
    MessageBoxW(Form, WideText(error.what()).c_str(), L"Wirepeek", MB_OK | MB_ICONWARNING);
  }
}

// The summary pages, and the window's height with them.
void TMainForm::ShowSummary() {
  const int show = GlobalSettings.Prot_IPAdr ? SW_SHOW : SW_HIDE;
  ShowWindow(pcSyukei, show);
  RECT client{0, 0, 544, GlobalSettings.Prot_IPAdr ? 102 + SummaryHeight + 8 : 104};
  AdjustWindowRect(&client, WS_OVERLAPPEDWINDOW, TRUE);
  SetWindowPos(Form, nullptr, 0, 0, client.right - client.left, client.bottom - client.top,
               SWP_NOMOVE | SWP_NOZORDER);
  ShowPages();
}

void TMainForm::cbProt_IPAdrClick() {
  GlobalSettings.Prot_IPAdr = SendMessageW(cbProt_IPAdr, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
  ShowSummary();
}

// The guide in the working folder, opened by the desktop.
void TMainForm::actHelpExecute() {
  if (GetFileAttributesW(L"Wirepeek.html") == INVALID_FILE_ATTRIBUTES) {
    MessageBoxW(Form, L"HelpFileが　ありません", L"Wirepeek", MB_OK);
    return;
  }
  ShellExecuteW(Form, L"open", L"Wirepeek.html", nullptr, nullptr, SW_SHOWNORMAL);
}

HMENU TMainForm::BuildMenus() {
  mmiCapture = CreatePopupMenu();
  AppendMenuW(mmiCapture, MF_STRING, ButtonStart, L"Capture 開始");
  AppendMenuW(mmiCapture, MF_STRING | MF_GRAYED, ButtonEnd, L"Capture 終了");
  HMENU file = CreatePopupMenu();
  AppendMenuW(file, MF_POPUP, reinterpret_cast<UINT_PTR>(mmiCapture), L"Capture(&C)");
  AppendMenuW(file, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(file, MF_STRING, ButtonExit, L"ﾌﾟﾛｸﾞﾗﾑ終了(&X)");
  HMENU misc = CreatePopupMenu();
  AppendMenuW(misc, MF_STRING, ButtonHelp, L"ヘルプ(&H)");
  AppendMenuW(misc, MF_STRING, MenuVersion, L"バージョン(&V)");
  HMENU bar = CreateMenu();
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), L"ファイル(&F)");
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(misc), L"ヘルプ(&H)");
  return bar;
}

// The capture commands, on the buttons and in the menu alike.
void TMainForm::SetIdleCommands(bool idle) {
  EnableWindow(btnStart, idle ? TRUE : FALSE);
  EnableWindow(btnEnd, idle ? FALSE : TRUE);
  constexpr UINT on = MF_BYCOMMAND | MF_ENABLED, off = MF_BYCOMMAND | MF_GRAYED;
  EnableMenuItem(mmiCapture, ButtonStart, idle ? on : off);
  EnableMenuItem(mmiCapture, ButtonEnd, idle ? off : on);
}

void TMainForm::BuildControls() {
  pcMain = ChildControl(Form, WC_TABCONTROLW, L"", WS_CLIPSIBLINGS, 0, 0, 276, 103);
  AddTab(pcMain, 0, L"アダプタ選択");
  AddTab(pcMain, 1, L"カウンタ");
  AddTab(pcMain, 2, L"オプション");
  // The pages' controls are the form's own, shown with their page.
  AdapterPage[0] = ChildControl(Form, L"STATIC", L"ｱﾀﾞﾌﾟﾀIPｱﾄﾞﾚｽ", 0, 13, 30, 200, 18);
  cbAdapter = ChildControl(Form, WC_COMBOBOXW, L"", CBS_DROPDOWNLIST | WS_VSCROLL, 13, 56, 237, 200, ComboAdapter);
  AdapterPage[1] = cbAdapter;
  CounterPage[0] = ChildControl(Form, L"STATIC", L"送信", 0, 10, 40, 44, 18);
  CounterPage[1] = ChildControl(Form, L"STATIC", L"受信", 0, 10, 66, 44, 18);
  CounterPage[2] = ChildControl(Form, L"STATIC", L"ﾊﾞｲﾄ数", SS_RIGHT, 160, 24, 94, 16);
  stSndB = CounterPage[3] = ChildControl(Form, L"STATIC", L"", SS_RIGHT | SS_SUNKEN, 58, 40, 196, 20);
  stRcvB = CounterPage[4] = ChildControl(Form, L"STATIC", L"", SS_RIGHT | SS_SUNKEN, 58, 66, 196, 20);
  cbProt_IPAdr = OptionPage[0] =
      ChildControl(Form, L"BUTTON", L"プロトコル別／ＩＰアドレス別集計", BS_AUTOCHECKBOX, 19, 37, 240, 20, CheckProt_IPAdr);
  btnHelp = OptionPage[1] = ChildControl(Form, L"BUTTON", L"ヘルプ(&H)", BS_PUSHBUTTON, 19, 69, 103, 29, ButtonHelp);
  btnExit = OptionPage[2] =
      ChildControl(Form, L"BUTTON", L"ﾌﾟﾛｸﾞﾗﾑ終了(&X)", BS_PUSHBUTTON, 134, 67, 104, 31, ButtonExit);
  btnStart = ChildControl(Form, L"BUTTON", L"Capture 開始", BS_PUSHBUTTON, 288, 10, 77, 58, ButtonStart);
  btnEnd = ChildControl(Form, L"BUTTON", L"Capture 終了", BS_PUSHBUTTON, 377, 35, 77, 58, ButtonEnd);
  EnableWindow(btnEnd, FALSE);

  pcSyukei = ChildControl(Form, WC_TABCONTROLW, L"", WS_CLIPSIBLINGS, 6, 102, 532, SummaryHeight);
  AddTab(pcSyukei, 0, L"プロトコル別集計");
  AddTab(pcSyukei, 1, L"ＩＰアドレス別集計");
  AddTab(pcSyukei, 2, L"プログラム別集計");
  AddTab(pcSyukei, 3, L"推移");
  lvProt = ReportView(Form, 10, 126, 524, SummaryHeight - 52, 0,
                      {{L"Protocol", 96}, {L"送信バイト数", 192}, {L"受信ﾊﾞｲﾄ数", 192}}, {1, 2});
  // The address rows are the session's own, asked for as the view draws
  // them: any number of rows costs the same.
  lvIPAdr = ReportView(Form, 10, 126, 524, SummaryHeight - 52, LVS_OWNERDATA,
                       {{L"#", 24}, {L"IP-Address", 144}, {L"送信ﾊﾞｲﾄ数", 168}, {L"受信ﾊﾞｲﾄ数", 168}, {L"PROT", 96},
                        {L"LASTTIME", 84}, {L"現在の速度", 96}},
                       {2, 3, 6});
  // The program as wide as the address, the user as the category, so that
  // the page shows its rate sooner.
  lvProgram = ReportView(Form, 10, 126, 524, SummaryHeight - 52, LVS_OWNERDATA,
                         {{L"プログラム", 144}, {L"ユーザー", 96}, {L"送信ﾊﾞｲﾄ数", 168}, {L"受信ﾊﾞｲﾄ数", 168},
                          {L"PROT", 96}, {L"LASTTIME", 84}, {L"現在の速度", 96}},
                         {2, 3, 6});
  tsRate.Create(Form, {10, 126, 534, 126 + SummaryHeight - 52}, ComboRateCategory);
  sbarProt = ChildControl(Form, STATUSCLASSNAMEW, L"", SBARS_SIZEGRIP, 0, 0, 0, 0);
  for (int row = 0; row < static_cast<int>(ServiceCategoryCount); ++row) {
    const std::wstring name = WideText(ServiceCategoryNames[static_cast<std::size_t>(row)]);
    LVITEMW item{};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.pszText = const_cast<wchar_t*>(name.c_str());
    SendMessageW(lvProt, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
  }
  ShowPages();
}

// Each page's controls are shown only while its tab is the current one.
void TMainForm::ShowPages() {
  const auto main = SendMessageW(pcMain, TCM_GETCURSEL, 0, 0);
  for (HWND control : AdapterPage) ShowWindow(control, main == 0 ? SW_SHOW : SW_HIDE);
  for (HWND control : CounterPage) ShowWindow(control, main == 1 ? SW_SHOW : SW_HIDE);
  for (HWND control : OptionPage) ShowWindow(control, main == 2 ? SW_SHOW : SW_HIDE);
  const auto summary = GlobalSettings.Prot_IPAdr ? SendMessageW(pcSyukei, TCM_GETCURSEL, 0, 0) : -1;
  ShowWindow(lvProt, summary == 0 ? SW_SHOW : SW_HIDE);
  ShowWindow(lvIPAdr, summary == 1 ? SW_SHOW : SW_HIDE);
  ShowWindow(lvProgram, summary == 2 ? SW_SHOW : SW_HIDE);
  tsRate.Show(summary == 3);
}

// The answers come from the map at run time, for the code addresses of the
// calls below; the second line answer must be asked more than ten lines
// below the first.
int TMainForm::CheckMapFile() {
  TMapCheckAnswers answers;
  const std::string mapPath = MapFilePathOf(GlobalSettings.ExePath);
  answers.MapFileName = MapFileNameOf(GlobalSettings.ExePath);
  answers.MapExists = GetFileAttributesW(WideText(mapPath).c_str()) != INVALID_FILE_ATTRIBUTES;
  if (answers.MapExists) {
    answers.LocationFound = CallerLocation(answers.Location);
    if (TraceOutput.WantsText()) TraceOutput.WriteLine(MapLine(answers.Location));
    answers.File = CallerFile();
    answers.Proc = CallerProc();
    // The line asked here must lie more than ten lines below the one asked
    // for the location above. A map of an older build, where the code of
    // this operation sat elsewhere, then answers with lines that are too
    // close, too far or missing, and the check fails on them. Keep these
    // two calls apart by at least this comment when editing; every run of
    // the window under Wine in the tests checks the map of its own build,
    // and fails on an alert when they come closer than that.
    answers.Line = CallerLine();
  }
  const TMapCheckVerdict verdict = EvaluateMapCheck(answers);
  if (verdict.Result < 0) {
    TraceAlert(verdict.Alert);
    return verdict.Result;
  }
  if (TraceOutput.WantsText()) TraceOutput.WriteLine(MapOkLine(CallerFile(), CallerLine(), CallerProc()));
  return verdict.Result;
}

// The host's addresses, as the capture engine lists them: the address first,
// then its interface; false when there are none.
bool TMainForm::FormActivate() {
  if (Monitor().WSA_Open() < 0) return false;
  const TXIoctl& state = Session->State();
  for (int i = 1; i <= state.AdapterCount; ++i) {
    const std::string address = TAddrTotalsTable::AddressText(state.Adapters[i]);
    const std::string& name = state.AdapterNames[i];
    const std::wstring text = WideText(name.empty() ? address : address + " (" + name + ")");
    SendMessageW(cbAdapter, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }
  SendMessageW(cbAdapter, CB_SETCURSEL, 0, 0);
  cbAdapterChange();
  return state.AdapterCount > 0;
}

// The address listed at the combo's place; 0 when none is chosen.
void TMainForm::cbAdapterChange() {
  Session->State().SelectedAdapter = static_cast<std::int32_t>(SendMessageW(cbAdapter, CB_GETCURSEL, 0, 0)) + 1;
}

bool TMainForm::SelectAdapter(const std::string& address) {
  const TXIoctl& state = Session->State();
  for (int i = 1; i <= state.AdapterCount; ++i) {
    if (TAddrTotalsTable::AddressText(state.Adapters[i]) != address) continue;
    SendMessageW(cbAdapter, CB_SETCURSEL, static_cast<WPARAM>(i - 1), 0);
    cbAdapterChange();
    return true;
  }
  return false;
}

void TMainForm::UseFile(const std::string& file, const std::string& address) {
  TXIoctl& state = Session->State();
  state.CaptureFile = file;
  TIpAddress parsed;
  std::string scope;
  TIpAddress::Parse(address, parsed, &scope);
  state.Adapters[1] = parsed;
  state.AdapterNames[1] = scope;
  state.AdapterCount = 1;
  state.SelectedAdapter = 1;
  const std::wstring text = WideText(address);
  SendMessageW(cbAdapter, CB_RESETCONTENT, 0, 0);
  SendMessageW(cbAdapter, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
  SendMessageW(cbAdapter, CB_SETCURSEL, 0, 0);
}

bool TMainForm::Capturing() const noexcept { return IsWindowEnabled(btnEnd) != FALSE; }

void TMainForm::actCaptureStartExecute() {
  TXIoctl& state = Session->State();
  state.NotifyWindow = NotifyTarget.get();
  state.ExePath = GlobalSettings.ExePath;
  // The sockets of a capture file are not this host's.
  const bool live = state.CaptureFile.empty() && state.SelectedAdapter >= 1 && state.SelectedAdapter <= state.Adapters.Count();
  Session->Restart(ProgramsEnabled && live, live ? state.Adapters[state.SelectedAdapter] : TIpAddress{});
  AddressRates.Clear();
  ProgramRates.Clear();
  if (Monitor().CaptureStart() != 0) return;
  SendMessageW(pcMain, TCM_SETCURSEL, 1, 0);
  ShowPages();
  SetIdleCommands(false);
  state.IdleTicks = 0;
  tsRate.CaptureStarted();
  SetTimer(Form, TimerMain, 1000, nullptr);
}

void TMainForm::actCaptureEndExecute() {
  KillTimer(Form, TimerMain);
  Monitor().CaptureEnd();
  // What the capture thread queued after its last notification.
  Session->Take({});
  ShowFigures();
  SetIdleCommands(true);
  SetWindowTextW(Form, IdleCaption);
}

// Window thread, while the capture thread waits.
void TMainForm::WMCaptureNotify() {
  FaultPoint(TFaultPoint::CaptureNotify);
  Session->State().IdleTicks = 0;
  Session->Take({});
  ShowFigures();
  const TXIoctl& state = Session->State();
  const std::wstring title =
      (state.CurDirection == DirectionSent ? L"送信:" : L"受信:") + std::to_wstring(state.CurLength);
  SetWindowTextW(Form, (L"ワイヤピーク監視:" + title).c_str());
}

// Every second while capturing: from the fourth tick without a packet on,
// the caption blinks.
void TMainForm::tmMainTimer() {
  FaultPoint(TFaultPoint::Timer);
  // A fault ended the capture thread: the capture ends as the command would.
  if (Monitor().Thread && Monitor().Thread->ExitCode() == TCaptureThread::ExitAbandoned) {
    actCaptureEndExecute();
    return;
  }
  const TFiguresSnapshot figures = Session->Snapshot(false);
  RateBytes totals{};
  for (std::size_t d = 0; d < 2; ++d) totals[d] = figures.Counters[d][KindBytes];
  tsRate.Tick(totals);
  SampleRates();
  TXIoctl& state = Session->State();
  state.IdleTicks += 1;
  if (state.IdleTicks < 4) return;
  SetWindowTextW(Form, GlobalSettings.BlinkPhase ? L"ワイヤピーク監視□■□■" : L"ワイヤピーク監視■□■□");
  GlobalSettings.BlinkPhase = !GlobalSettings.BlinkPhase;
}

void TMainForm::ShowFigures() {
  const TFiguresSnapshot figures = Session->Snapshot(false);
  SetWindowTextW(stSndB, TotalText(figures.Counters[DirectionSent][KindBytes][0]).c_str());
  SetWindowTextW(stRcvB, TotalText(figures.Counters[DirectionReceived][KindBytes][0]).c_str());
  for (int row = 0; row < static_cast<int>(ServiceCategoryCount); ++row) {
    const auto r = static_cast<std::size_t>(row);
    SetCell(lvProt, row, 1, std::to_wstring(figures.Counters[DirectionSent][KindBytes][r]));
    SetCell(lvProt, row, 2, std::to_wstring(figures.Counters[DirectionReceived][KindBytes][r]));
  }
  SendMessageW(lvIPAdr, LVM_SETITEMCOUNT, static_cast<WPARAM>(Session->Addresses().RowCount()),
               LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
  InvalidateRect(lvIPAdr, nullptr, FALSE);
  // The look-ups' answers, as they have come.
  Session->TakeAnswers();
  const TProgramTotalsTable* programs = Session->Programs();
  SendMessageW(lvProgram, LVM_SETITEMCOUNT, static_cast<WPARAM>(programs ? programs->RowCount() : 0),
               LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
  InvalidateRect(lvProgram, nullptr, FALSE);
}

namespace {
std::string ProgramKey(const ProgramTotals& row) { return row.Program + '\n' + row.User + '\n' + row.Unit; }
}  // namespace

void TMainForm::SampleRates() {
  const TAddrTotalsTable& addresses = Session->Addresses();
  AddressRates.Tick();
  for (int row = 0; row < addresses.RowCount(); ++row) {
    const AddrTotals& r = addresses.Row(row);
    AddressRates.Sample(TAddrTotalsTable::AddressText(r.Addr), r.SentBytes + r.RecvBytes);
  }
  InvalidateRect(lvIPAdr, nullptr, FALSE);
  Session->TakeAnswers();
  const TProgramTotalsTable* programs = Session->Programs();
  if (!programs) return;
  ProgramRates.Tick();
  for (int row = 0; row < programs->RowCount(); ++row) {
    const ProgramTotals& r = programs->Row(row);
    ProgramRates.Sample(ProgramKey(r), r.SentBytes + r.RecvBytes);
  }
  SendMessageW(lvProgram, LVM_SETITEMCOUNT, static_cast<WPARAM>(programs->RowCount()),
               LVSICF_NOINVALIDATEALL | LVSICF_NOSCROLL);
  InvalidateRect(lvProgram, nullptr, FALSE);
}

// The text of one cell of the programs list, as the view asks for it.
void TMainForm::lvProgramGetDispInfo(NMLVDISPINFOW& info) {
  const TProgramTotalsTable* table = Session->Programs();
  if (!table || !(info.item.mask & LVIF_TEXT) || info.item.iItem < 0 || info.item.iItem >= table->RowCount()) return;
  const ProgramTotals& row = table->Row(info.item.iItem);
  AddrTotals moment;
  moment.LastTime = row.LastTime;
  std::wstring text;
  switch (info.item.iSubItem) {
    case 0: text = WideText(row.Program); break;
    case 1: text = WideText(row.User); break;
    case 2: text = std::to_wstring(row.SentBytes); break;
    case 3: text = std::to_wstring(row.RecvBytes); break;
    case 4: text = WideText(ServiceCategoryNames[std::min<std::size_t>(row.LastCategory, ServiceCategoryCount - 1)]); break;
    case 5: text = WideText(TAddrTotalsTable::TimeText(moment)); break;
    case 6: text = WideText(ReadableRate(ProgramRates.Rate(ProgramKey(row)))); break;
    default: break;
  }
  lstrcpynW(info.item.pszText, text.c_str(), info.item.cchTextMax);
}

// The text of one cell of the address list, as the view asks for it.
void TMainForm::lvIPAdrGetDispInfo(NMLVDISPINFOW& info) {
  const TAddrTotalsTable& table = Session->Addresses();
  if (!(info.item.mask & LVIF_TEXT) || info.item.iItem < 0 || info.item.iItem >= table.RowCount()) return;
  const AddrTotals& row = table.Row(info.item.iItem);
  std::wstring text;
  switch (info.item.iSubItem) {
    case 0: text = L"**"; break;
    case 1: text = WideText(TAddrTotalsTable::AddressText(row.Addr)); break;
    case 2: text = std::to_wstring(row.SentBytes); break;
    case 3: text = std::to_wstring(row.RecvBytes); break;
    case 4: text = WideText(ServiceCategoryNames[std::min<std::size_t>(row.LastCategory, ServiceCategoryCount - 1)]); break;
    case 5: text = WideText(TAddrTotalsTable::TimeText(row)); break;
    case 6: text = WideText(ReadableRate(AddressRates.Rate(TAddrTotalsTable::AddressText(row.Addr)))); break;
    default: break;
  }
  lstrcpynW(info.item.pszText, text.c_str(), info.item.cchTextMax);
}

LRESULT CALLBACK TMainForm::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* form = static_cast<TMainForm*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    form->Form = window;
  }
  auto* form = reinterpret_cast<TMainForm*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!form) return DefWindowProcW(window, message, wParam, lParam);
  const LRESULT result = RunWindowEntry([&] { return form->Handle(window, message, wParam, lParam); });
  form->AfterFaults();
  return result;
}

void TMainForm::AfterFaults() {
  if (TraceLines.SwitchWanted()) TraceLines.SwitchToDebugMode();
}

LRESULT TMainForm::Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CAPTURE_NOTIFY:
      NotifyTarget->ServePending();
      return 0;
    case WM_TRACE_PENDING:
      TraceLines.TakePending();
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) == ComboAdapter && HIWORD(wParam) == CBN_SELCHANGE) cbAdapterChange();
      if (LOWORD(wParam) == ComboRateCategory && HIWORD(wParam) == CBN_SELCHANGE) tsRate.cbRateCategoryChange();
      if (LOWORD(wParam) == ButtonStart) actCaptureStartExecute();
      if (LOWORD(wParam) == ButtonEnd) actCaptureEndExecute();
      if (LOWORD(wParam) == CheckProt_IPAdr) cbProt_IPAdrClick();
      if (LOWORD(wParam) == ButtonHelp) actHelpExecute();
      if (LOWORD(wParam) == ButtonExit) PostMessageW(Form, WM_CLOSE, 0, 0);
      if (LOWORD(wParam) == MenuVersion) AboutForm->ShowModal();
      return 0;
    case WM_TIMER:
      if (wParam == TimerMain) tmMainTimer();
      return 0;
    case WM_NOTIFY: {
      auto* header = reinterpret_cast<NMHDR*>(lParam);
      if (header->code == TCN_SELCHANGE) ShowPages();
      if (header->hwndFrom == lvIPAdr && header->code == LVN_GETDISPINFOW)
        lvIPAdrGetDispInfo(*reinterpret_cast<NMLVDISPINFOW*>(lParam));
      if (header->hwndFrom == lvProgram && header->code == LVN_GETDISPINFOW)
        lvProgramGetDispInfo(*reinterpret_cast<NMLVDISPINFOW*>(lParam));
      return 0;
    }
    case WM_SIZE:
      SendMessageW(sbarProt, WM_SIZE, 0, 0);
      return 0;
    case WM_CLOSE:
      // Closing is refused while a capture runs.
      if (Capturing()) {
        MessageBoxW(Form, L"パケットモニタ(Capture)が実行中です、止めてください", L"Wirepeek", MB_OK);
        return 0;
      }
      FormClose();
      break;
    case WM_DESTROY:
      Form = nullptr;
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}
