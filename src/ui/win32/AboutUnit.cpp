#include "ui/win32/AboutUnit.h"

#include "diagnostics/win/AbandonPointWin.h"
#include "support/TextDevs.h"
#include "ui/win32/MainUnit.h"

namespace {

constexpr wchar_t AboutClassName[] = L"TAboutForm";
constexpr int LabelFirst = 200, LabelLast = 210;

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

HFONT Font(int height) {
  return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, SHIFTJIS_CHARSET, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, L"ＭＳ Ｐゴシック");
}

HWND Child(HWND parent, const wchar_t* kind, const wchar_t* text, DWORD style, int x, int y, int w, int h, int id,
           HFONT font) {
  HWND control = CreateWindowExW(0, kind, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  return control;
}

}  // namespace

TAboutForm::TAboutForm(HWND owner) : Owner(owner) {
  RegisterWindowClass(AboutClassName, WindowProc);
  Fonts[0] = Font(-15);
  Fonts[1] = Font(-17);
  Fonts[2] = Font(-18);
  // A fixed dialog border, 415 by 269 inside, centred on the screen.
  const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
  RECT frame{0, 0, 415, 269};
  AdjustWindowRectEx(&frame, style, FALSE, WS_EX_DLGMODALFRAME);
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  Form = CreateWindowExW(WS_EX_DLGMODALFRAME, AboutClassName, L"バージョン情報", style,
                         (GetSystemMetrics(SM_CXSCREEN) - width) / 2, (GetSystemMetrics(SM_CYSCREEN) - height) / 2,
                         width, height, owner, nullptr, GetModuleHandleW(nullptr), this);
  paneAbout = Child(Form, L"STATIC", L"", SS_SUNKEN, 9, 9, 392, 192, 0, Fonts[0]);
  // The labels over the pane; the values beside them, empty until shown.
  Child(Form, L"STATIC", L"製品名", 0, 9 + 93, 9 + 18, 72, 20, LabelFirst, Fonts[2]);
  Child(Form, L"STATIC", L"バージョン", 0, 9 + 89, 9 + 51, 84, 20, LabelFirst + 1, Fonts[2]);
  Child(Form, L"STATIC", L"著作権表記", 0, 9 + 9, 9 + 84, 100, 20, LabelFirst + 2, Fonts[1]);
  Child(Form, L"STATIC", L"コンパイル日付", 0, 9 + 9, 9 + 108, 110, 20, LabelFirst + 3, Fonts[1]);
  Child(Form, L"STATIC", L"コメント", 0, 9 + 13, 9 + 134, 70, 20, LabelFirst + 4, Fonts[1]);
  stProductName = Child(Form, L"STATIC", L"", SS_SUNKEN, 9 + 176, 9 + 16, 201, 19, LabelFirst + 5, Fonts[0]);
  stProductVersion = Child(Form, L"STATIC", L"", SS_SUNKEN, 9 + 176, 9 + 48, 201, 19, LabelFirst + 6, Fonts[0]);
  stLegalCopyRight = Child(Form, L"STATIC", L"", SS_SUNKEN, 9 + 128, 9 + 80, 249, 19, LabelFirst + 7, Fonts[0]);
  stCDate = Child(Form, L"STATIC", L"", SS_SUNKEN, 9 + 128, 9 + 108, 249, 19, LabelFirst + 8, Fonts[0]);
  stComments = Child(Form, L"STATIC", L"", SS_SUNKEN, 9 + 88, 9 + 136, 289, 41, LabelFirst + 9, Fonts[0]);
  OKButton = Child(Form, L"BUTTON", L"OK", BS_DEFPUSHBUTTON | WS_TABSTOP, 160, 217, 81, 40, IDOK, Fonts[0]);
}

TAboutForm::~TAboutForm() {
  if (Form) DestroyWindow(Form);
  for (HFONT font : Fonts)
    if (font) DeleteObject(font);
}

// Read once, at the first showing: later showings keep these texts.
void TAboutForm::FormShow() {
  if (!VersionPending) return;
  VersionPending = false;
  Info = LoadVersionInfo();
  for (const std::string& line : Info.LoadLines) TraceOutput.WriteLine(line);
  SetWindowTextW(stCDate, Wide(Info.BuildDateText).c_str());
  SetWindowTextW(stProductName, Wide(Info.VersionValues[7]).c_str());
  SetWindowTextW(stProductVersion, Wide(Info.VersionValues[8]).c_str());
  SetWindowTextW(stLegalCopyRight, Wide(Info.VersionValues[4]).c_str());
  SetWindowTextW(stComments, Wide(Info.VersionValues[11]).c_str());
}

// Home writes what was read to the trace.
void TAboutForm::FormKeyUp(WPARAM key) {
  if (key != VK_HOME) return;
  for (const std::string& line : VersionTraceLines(Info)) TraceOutput.WriteLine(line);
}

void TAboutForm::ShowModal() {
  FormShow();
  EnableWindow(Owner, FALSE);
  ShowWindow(Form, SW_SHOWNORMAL);
  SetFocus(OKButton);
  Showing = true;
  MSG message;
  while (Showing && GetMessageW(&message, nullptr, 0, 0) > 0) {
    // The dialog sees its keys before its controls do.
    if (message.message == WM_KEYUP && (message.hwnd == Form || IsChild(Form, message.hwnd)))
      RunAbandonable([&] { FormKeyUp(message.wParam); });
    if (IsDialogMessageW(Form, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  // The loop's end was asked for while the dialog showed: the main loop
  // sees it too.
  if (Showing) PostQuitMessage(static_cast<int>(message.wParam));
  EnableWindow(Owner, TRUE);
  ShowWindow(Form, SW_HIDE);
  SetActiveWindow(Owner);
}

LRESULT CALLBACK TAboutForm::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* form = static_cast<TAboutForm*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
  }
  auto* form = reinterpret_cast<TAboutForm*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!form) return DefWindowProcW(window, message, wParam, lParam);
  LRESULT result = 0;
  RunAbandonable([&] { result = form->Handle(window, message, wParam, lParam); });
  return result;
}

LRESULT TAboutForm::Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) Showing = false;
      return 0;
    case WM_CLOSE:
      // Closing only hides the dialog.
      Showing = false;
      return 0;
    case WM_CTLCOLORSTATIC: {
      // The texts are white on the pane.
      const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
      if (id < LabelFirst || id > LabelLast) break;
      auto* context = reinterpret_cast<HDC>(wParam);
      SetTextColor(context, RGB(255, 255, 255));
      SetBkMode(context, TRANSPARENT);
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_DESTROY:
      Form = nullptr;
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}
