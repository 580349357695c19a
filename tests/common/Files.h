#pragma once
// Reading a whole file in tests: its bytes as they are ("" when it cannot be
// read, which the test's expectations then show).
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

inline std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return std::move(text).str();
}
