#include "support/StartUp.h"

#include "support/Settings.h"
#include "support/TextDevs.h"

void ParseCommandLine(const std::vector<std::string>& Args) {
  for (const auto& arg : Args) {
    if (arg.size() < 2 || arg[0] != '-') continue;
    switch (arg[1]) {
      case 'D':
      case 'd':
        DebugMode = true;
        break;
      case 'S':
      case 's':
        GlobalSettings.DumpLimit = 1;
        break;
      default:
        break;
    }
  }
}
