#include "support/UserFolders.h"

#include <cstdlib>

std::string UserStateFolder() {
  // A relative value is to be ignored, as if unset.
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg == '/') return std::string(xdg) + "/wirepeek";
  if (const char* home = std::getenv("HOME"); home && *home == '/') return std::string(home) + "/.local/state/wirepeek";
  return {};
}
