#include "ui/win32/Program.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "capture/XIoctlUnit.h"
#include "report/Report.h"
#include "diagnostics/win/AbandonPointWin.h"
#include "support/StartUp.h"
#include "support/TextDevs.h"
#include "ui/win32/MainUnit.h"

namespace {

std::wstring Wide(std::string_view text) {
  if (text.empty()) return {};
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

constexpr UINT_PTR QuitTimer = 1;
// The one main window; the quit timer's handler reaches it here.
TMainForm* QuitForm = nullptr;
std::string QuitAdapter;

// How long a click waits in the window thread's queue, as the Linux window
// measures it for the runs that benchmarks read: every 100 ms a click is
// posted to a read-only box, one at a time, and the time until the loop
// takes it out is kept.
struct TClickProbe {
  HWND Target = nullptr;
  bool InFlight = false;
  std::chrono::steady_clock::time_point PostedAt;
  std::vector<double> Waits;

  void Post() {
    if (InFlight || !Target) return;
    InFlight = true;
    PostedAt = std::chrono::steady_clock::now();
    PostMessageW(Target, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
    PostMessageW(Target, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
  }
  void Taken(const MSG& message) {
    if (!InFlight || message.hwnd != Target || message.message != WM_LBUTTONUP) return;
    InFlight = false;
    Waits.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - PostedAt).count());
  }
  double MedianMs() const {
    if (Waits.empty()) return 0;
    std::vector<double> sorted = Waits;
    std::sort(sorted.begin(), sorted.end());
    return sorted[sorted.size() / 2];
  }
  double MaxMs() const { return Waits.empty() ? 0 : *std::max_element(Waits.begin(), Waits.end()); }
} Clicks;

void CALLBACK ClickProbeElapsed(HWND, UINT, UINT_PTR, DWORD) { Clicks.Post(); }

// --quit-after: the capture ends, its report is printed as the Linux window
// prints it, and the window closes.
void QuitAfterNow() {
  TMainForm& form = *QuitForm;
  TCaptureSession& session = form.CaptureSession();
  // A file is never live, whether its reading has ended or not.
  const bool running = form.Capturing();
  const bool live = running && session.State().CaptureFile.empty();
  TCaptureStats kernel;
  if (live && session.State().CaptureSocket) kernel = session.State().CaptureSocket->Statistics();
  if (running) form.actCaptureEndExecute();
  session.FlushPrograms();
  TReportFigures figures;
  figures.Adapter = QuitAdapter;
  figures.State = &session.State();
  figures.Addresses = &session.Addresses();
  figures.Programs = session.Programs();
  figures.Ports = &session.Ports();
  figures.Live = live;
  figures.Kernel = kernel;
  if (DebugMode) {
    // The dumps taken before the end reach the trace first, so their counts
    // are final; the loop serves whatever they wait on meanwhile.
    const TDumpFormatter& dumps = session.State().Dumps;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!dumps.Idle() && std::chrono::steady_clock::now() < until) {
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
      }
      Sleep(10);
    }
    figures.HasDumps = true;
    figures.DumpsWritten = dumps.Written();
    figures.DumpsSkipped = dumps.Skipped();
  }
  figures.Clicks = static_cast<int>(Clicks.Waits.size());
  figures.ClickMedianMs = Clicks.MedianMs();
  figures.ClickMaxMs = Clicks.MaxMs();
  WriteReportJson(figures, std::cout);
  std::cout.flush();
  SendMessageW(form.Handle(), WM_CLOSE, 0, 0);
}

// The system's entry into our code: a fault below leaves it.
void CALLBACK QuitAfterElapsed(HWND, UINT, UINT_PTR timer, DWORD) {
  KillTimer(nullptr, timer);
  RunAbandonable(QuitAfterNow);
}

}  // namespace

int RunWindowProgram(const TLongOptions& options) {
  DebugMode = false;
  ApplySwitches(options);
  TMainForm form;
  if (!form.Create(GetModuleHandleW(nullptr))) {
    std::cerr << "wirepeek: the main window could not be created\n";
    return 1;
  }
  // A map that does not belong to this build ends the program at once.
  if (form.CheckMapFile() < 0) return 1;
  form.CaptureSession().Monitor().Ioctl->DumpLimit = options.DumpLimit ? 1 : 0;
  form.ProgramsEnabled = options.Programs;
  ShowWindow(form.Handle(), SW_SHOWNORMAL);
  // The engine's boxes are the system's, captioned "確認".
  SetErrorBoxSink([&form](std::string_view text, std::string_view) {
    return MessageBoxW(form.Handle(), Wide(text).c_str(), L"確認", MB_OK);
  });
  struct TUnsetSink {
    ~TUnsetSink() { SetErrorBoxSink(nullptr); }
  } unsetSink;
  std::string address = options.Adapter;
  if (!options.File.empty()) {
    form.UseFile(options.File, options.Adapter);
    form.actCaptureStartExecute();
  } else if (form.FormActivate() && !options.Start.empty()) {
    address = options.Start;
    if (form.SelectAdapter(address)) {
      form.actCaptureStartExecute();
    } else {
      std::cerr << "wirepeek: " << address << " is not an address of this host\n";
      // A script waiting for the report would wait for ever: the run ends
      // now, as a failure.
      if (options.QuitAfter >= 0) return 1;
    }
  }
  if (options.QuitAfter >= 0 && !address.empty()) {
    QuitForm = &form;
    QuitAdapter = address;
    SetTimer(nullptr, QuitTimer, static_cast<UINT>(options.QuitAfter * 1000), QuitAfterElapsed);
    Clicks.Target = form.stSndB;
    SetTimer(nullptr, 0, 100, ClickProbeElapsed);
  }
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    Clicks.Taken(message);
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
