#pragma once
// What separates the folders of a path, and where the system keeps what we read.
#include <string>
#include <string_view>

inline constexpr std::string_view PathSeparators = "/";

// The list of service names by port.
inline std::string SystemServicesFile() { return "/etc/services"; }
