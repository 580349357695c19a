// Looks at the running window program from outside, as a user would:
// gives the main window the command of its menu entry "バージョン(&V)" and
// prints the texts the version dialog then shows, one line each (UTF-8),
// then closes both windows. With --page, turns the summary tabs N pages on
// with the arrow key, as a user would, and leaves the window open. With
// --shown, prints the caption of the window of that class once it shows.
//   window_probe COMMAND-ID
//   window_probe --page N
//   window_probe --shown CLASS
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

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

// The second tab control of the window: its summary pages.
BOOL CALLBACK FindSummaryTabs(HWND child, LPARAM found) {
  wchar_t kind[64] = {};
  GetClassNameW(child, kind, 64);
  auto& tabs = *reinterpret_cast<std::pair<int, HWND>*>(found);
  if (lstrcmpiW(kind, L"SysTabControl32") == 0 && ++tabs.first == 2) tabs.second = child;
  return tabs.second ? FALSE : TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--shown") {
    wchar_t kind[64] = {};
    MultiByteToWideChar(CP_UTF8, 0, argv[2], -1, kind, 64);
    HWND shown = WaitForWindow(kind);
    if (!shown) return 1;
    std::printf("%s\n", Text(shown).c_str());
    return 0;
  }
  if (argc != 2 && !(argc == 3 && std::string(argv[1]) == "--page")) return 2;
  HWND main = WaitForWindow(L"TMainForm");
  if (!main) return 1;
  if (argc == 3) {
    std::pair<int, HWND> tabs{0, nullptr};
    EnumChildWindows(main, FindSummaryTabs, reinterpret_cast<LPARAM>(&tabs));
    if (!tabs.second) return 1;
    for (int i = std::atoi(argv[2]); i > 0; --i) {
      PostMessageW(tabs.second, WM_KEYDOWN, VK_RIGHT, 0);
      PostMessageW(tabs.second, WM_KEYUP, VK_RIGHT, static_cast<LPARAM>(0xC0000001u));
    }
    return 0;
  }
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
