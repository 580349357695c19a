#pragma once
// What separates the folders of a path: either slash.
#include <string_view>

inline constexpr std::string_view PathSeparators = "\\/";
