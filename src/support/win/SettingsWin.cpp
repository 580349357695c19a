// Where the program and its settings are, on Windows: the settings file
// lives beside the executable, as the program has always kept it there.
#include <windows.h>

#include <string>

#include "support/Settings.h"

std::string RunningExecutablePath() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    // Cut short; try again with more room.
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

bool MayWrite(const std::string& Path) {
  const DWORD attributes = GetFileAttributesA(Path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

void SetProgramPaths(TGlobalSettings& Settings) {
  Settings.ExePath = RunningExecutablePath();
  Settings.IniPath = Settings.ExePath.empty() ? std::string() : IniPathOf(Settings.ExePath);
}
