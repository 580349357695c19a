#pragma once
// The main window in the platform's own controls: adapter choice, the two
// byte totals, the capture buttons and the summary pages, over the one
// capture session.
#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "capture/NotifyTargets.h"
#include "session/CaptureSession.h"
#include "ui/main/RowRates.h"
#include "ui/win32/AboutUnit.h"
#include "ui/win32/RatePage.h"
#include "ui/win32/TraceLog.h"

// UTF-8 to the system's UTF-16.
std::wstring WideText(std::string_view Text);
// Registers a window class of this program with the arrow cursor; with Face,
// the dialog face as its background (none: it paints all of itself).
void RegisterWindowClass(const wchar_t* Name, WNDPROC Proc, bool Face = true);
// A child control of Parent in the dialog font.
HWND ChildControl(HWND Parent, const wchar_t* Kind, const wchar_t* Text, DWORD Style, int X, int Y, int W, int H,
                  int Id = 0);
// The system's entry into our code, in a window procedure: a fault below is
// reported, this message is left, and the loop goes on. An exception must not
// cross the system's frames either: its message is the program's last word
// on it.
LRESULT RunWindowEntry(const std::function<LRESULT()>& Work);

// The capture thread's notification, sent to the window and waited on.
inline constexpr UINT WM_CAPTURE_NOTIFY = WM_USER + 0x100;

class TMainForm {
 public:
  TMainForm();
  ~TMainForm();
  TMainForm(const TMainForm&) = delete;
  TMainForm& operator=(const TMainForm&) = delete;

  // Makes the window and its controls; false when the system refused.
  bool Create(HINSTANCE Instance);
  HWND Handle() const noexcept { return Form; }
  // The trace, bound to the diagnostic channel once the window is there.
  TTraceLog& Trace() noexcept { return TraceLines; }
  TCaptureSession& CaptureSession() noexcept { return *Session; }
  TIPMonitor& Monitor() noexcept { return Session->Monitor(); }

  // At start-up: is the link map beside the executable this build's? On a
  // mismatch it alerts; the program then ends without saving settings.
  // 0 when the map is right, -1 otherwise.
  int CheckMapFile();
  // Lists the host's addresses; false when there are none.
  bool FormActivate();
  void cbAdapterChange();
  // Chooses Address in the list; false when the host has no such address.
  bool SelectAdapter(const std::string& Address);
  // The file is counted as seen from Address, the one address in the list.
  void UseFile(const std::string& File, const std::string& Address);
  void actCaptureStartExecute();
  void actCaptureEndExecute();
  bool Capturing() const noexcept;
  void tmMainTimer();
  void cbProt_IPAdrClick();
  void actHelpExecute();

  // Controls, under the names they have always had.
  HWND pcMain = nullptr;
  HWND cbAdapter = nullptr;
  HWND stSndB = nullptr;
  HWND stRcvB = nullptr;
  HWND cbProt_IPAdr = nullptr;
  HWND btnHelp = nullptr;
  HWND btnExit = nullptr;
  HWND btnStart = nullptr;
  HWND btnEnd = nullptr;
  HWND pcSyukei = nullptr;
  HWND lvProt = nullptr;
  HWND lvIPAdr = nullptr;
  HWND lvProgram = nullptr;
  HWND sbarProt = nullptr;
  TRatePage tsRate;
  // Cleared by --no-programs: the programs page stays empty.
  bool ProgramsEnabled = true;
  HMENU mmiCapture = nullptr;

 private:
  static LRESULT CALLBACK WindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);
  LRESULT Handle(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);
  HMENU BuildMenus();
  void BuildControls();
  void SetIdleCommands(bool Idle);
  void FormCreate();
  void FormClose();
  void ShowSummary();
  void ShowPages();
  void WMCaptureNotify();
  void ShowFigures();
  void lvIPAdrGetDispInfo(NMLVDISPINFOW& Info);
  void lvProgramGetDispInfo(NMLVDISPINFOW& Info);
  // Once a second while capturing: the current rate of every row.
  void SampleRates();
  // After a call into our code: a fault's report puts the trace into debug
  // mode before anything else runs.
  void AfterFaults();

  // First made, last gone: it outlives everything that writes to it.
  TTraceLog TraceLines;
  HWND Form = nullptr;
  HWND AdapterPage[2] = {};  // the adapter list's page: its label and list
  HWND CounterPage[5] = {};  // the counters' page: labels and totals
  HWND OptionPage[3] = {};   // the options' page: the summary switch, Help, Exit
  std::unique_ptr<TCaptureSession> Session;
  std::unique_ptr<TQueuedNotifyTarget> NotifyTarget;
  std::unique_ptr<TAboutForm> AboutForm;
  TRowRates AddressRates;
  TRowRates ProgramRates;
};
