#pragma once
// One sample of a metric in the text exposition format.
#include <cstdlib>
#include <string>

// The value of the line that starts with Series (its name and labels), or -1.
inline long long MetricSample(const std::string& text, const std::string& series) {
  const auto at = text.find("\n" + series + " ");
  return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + series.size() + 2);
}
