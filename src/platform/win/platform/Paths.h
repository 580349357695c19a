#pragma once
// What separates the folders of a path: either slash; and where the system
// keeps what we read.
#include <cstdlib>
#include <string>
#include <string_view>

inline constexpr std::string_view PathSeparators = "\\/";

// The list of service names by port, in the system folder.
inline std::string SystemServicesFile() {
  const char* root = std::getenv("SystemRoot");
  return std::string(root ? root : "C:\\Windows") + "\\System32\\drivers\\etc\\services";
}
