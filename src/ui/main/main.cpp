#include <cstdio>

#include "support/Settings.h"

int main() {
  SetProgramPaths();
  std::printf("Wirepeek: the capture core is built; the window is not there yet.\n");
  std::printf("Settings file: %s\n", GlobalSettings.IniPath.c_str());
  return 0;
}
