#pragma once
// Procedure names as the link map writes them: the demangled name without
// return type and parameter list, scopes joined by a point
// ("TMainForm::CheckMapFile(int)" gives "TMainForm.CheckMapFile").
#include <string>
#include <string_view>

inline std::string QualifiedProcedureName(std::string_view Demangled) {
  static constexpr std::string_view anonymous = "(anonymous namespace)::";
  std::string text(Demangled);
  for (auto at = text.find(anonymous); at != std::string::npos; at = text.find(anonymous, at)) {
    text.erase(at, anonymous.size());
  }
  // ABI tags ("[abi:cxx11]") are no part of the name a reader knows.
  for (auto at = text.find("[abi:"); at != std::string::npos; at = text.find("[abi:", at)) {
    const auto end = text.find(']', at);
    text.erase(at, end == std::string::npos ? std::string::npos : end - at + 1);
  }
  std::string result;
  int depth = 0;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (depth == 0 && text.compare(i, 8, "operator") == 0) {
      // The operator's own symbol may hold '(' or '<' that are not syntax.
      std::size_t end = i + 8;
      if (text.compare(end, 2, "()") == 0) {
        end += 2;
      } else {
        while (end < text.size() && text[end] != '(') ++end;
      }
      result.append(text, i, end - i);
      i = end;
      continue;
    }
    if (c == '<') ++depth;
    if (c == '>' && depth > 0) --depth;
    if (depth == 0 && c == '(') break;
    if (depth == 0 && c == ' ') {
      result.clear();  // what came before was a return type
      ++i;
      continue;
    }
    if (depth == 0 && c == ':' && i + 1 < text.size() && text[i + 1] == ':') {
      result += '.';
      i += 2;
      continue;
    }
    result += c;
    ++i;
  }
  return result;
}
