#pragma once
// The value of a metric's line (its name and labels) in the text format, or -1.
#include <cstdlib>
#include <string>
inline long long Sample(const std::string& text, const std::string& series) {
  const auto at = text.find("\n" + series + " ");
  return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + series.size() + 2);
}
