#pragma once
// A parameterised case's name made of the words of Text, so that it says what
// the case checks and stays the same from build to build: letters and digits
// only, each word capitalised ("no address given" -> NoAddressGiven).
#include <cctype>
#include <string>
#include <string_view>

inline std::string CaseName(std::string_view text) {
  std::string name;
  bool wordStart = true;
  for (const char c : text) {
    const bool alnum = std::isalnum(static_cast<unsigned char>(c)) != 0;
    if (alnum) name += wordStart ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
    wordStart = !alnum;
  }
  return name;
}
