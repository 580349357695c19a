#include "ui/win32/Program.h"

#include <windows.h>

#include <iostream>
#include <string>
#include <string_view>

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
  // Until the trace window keeps it, the diagnostic text goes nowhere.
  TraceOutput.AssignNullDevice();
  TraceOutput.Rewrite();
  struct TCloseTrace {
    ~TCloseTrace() { TraceOutput.Close(); }
  } closeTrace;
  TMainForm form;
  if (!form.Create(GetModuleHandleW(nullptr))) {
    std::cerr << "wirepeek: the main window could not be created\n";
    return 1;
  }
  // A map that does not belong to this build ends the program at once.
  if (form.CheckMapFile() < 0) return 1;
  form.CaptureSession().Monitor().Ioctl->DumpLimit = options.DumpLimit ? 1 : 0;
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
  }
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
