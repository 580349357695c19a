// Looks at the running window program from outside, as a user would:
// gives the main window the command of its menu entry "バージョン(&V)" and
// prints the texts the version dialog then shows, one line each (UTF-8),
// then closes both windows.
//   window_probe COMMAND-ID
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

HWND WaitForWindow(const wchar_t* className) {
  for (int i = 0; i < 400; ++i) {
    HWND window = FindWindowW(className, nullptr);
    if (window && IsWindowVisible(window)) return window;
    Sleep(50);
  }
  return nullptr;
}

std::string Text(HWND window) {
  wchar_t wide[512] = {};
  GetWindowTextW(window, wide, 512);
  char text[1024] = {};
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr, nullptr);
  return text;
}

BOOL CALLBACK PrintChild(HWND child, LPARAM) {
  std::printf("%s\n", Text(child).c_str());
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  HWND main = WaitForWindow(L"TMainForm");
  if (!main) return 1;
  // The menu entry's command: the menu itself cannot be read from another
  // process under Wine.
  PostMessageW(main, WM_COMMAND, static_cast<WPARAM>(std::atoi(argv[1])), 0);
  HWND about = WaitForWindow(L"TAboutForm");
  if (!about) return 1;
  std::printf("%s\n", Text(about).c_str());
  EnumChildWindows(about, PrintChild, 0);
  PostMessageW(about, WM_CLOSE, 0, 0);
  Sleep(200);
  PostMessageW(main, WM_CLOSE, 0, 0);
  return 0;
}
