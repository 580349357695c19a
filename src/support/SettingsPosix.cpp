// Where the program and its settings are, on Linux.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support/Settings.h"

std::string RunningExecutablePath() {
  std::string path(256, '\0');
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) return {};
    if (static_cast<std::size_t>(length) < path.size()) {
      path.resize(static_cast<std::size_t>(length));
      return path;
    }
    // The link may have been cut short; try again with more room.
    if (path.size() >= 65536) return {};
    path.resize(path.size() * 2);
  }
}

bool MayWrite(const std::string& Path) { return ::access(Path.c_str(), W_OK) == 0; }

void SetProgramPaths(TGlobalSettings& Settings) {
  Settings.ExePath = RunningExecutablePath();
  std::string configHome;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/')
    configHome = xdg;
  else if (const char* home = std::getenv("HOME"); home && *home == '/')
    configHome = std::string(home) + "/.config";
  Settings.IniPath = SettingsPathFor(Settings.ExePath, configHome);
}
