#include "support/IniFile.h"

#include "support/AsciiCase.h"
#include "support/IniFileIo.h"

#include <limits>
#include <map>
#include <utility>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string LowerName(std::string_view name) {
  std::string lower(name);
  for (char& c : lower) c = AsciiLower(c);
  return lower;
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool ParseIniInteger(std::string_view Text, std::int32_t& Value) {
  std::string_view rest = Text;
  bool negative = false;
  if (!rest.empty() && (rest.front() == '+' || rest.front() == '-')) {
    negative = rest.front() == '-';
    rest.remove_prefix(1);
  }
  int base = 10;
  if (rest.size() >= 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
    base = 16;
    rest.remove_prefix(2);
  } else if (!rest.empty() && rest.front() == '$') {
    base = 16;
    rest.remove_prefix(1);
  }
  if (rest.empty()) return false;
  // One past the int32 maximum is the magnitude of the minimum.
  const std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + (negative ? 1 : 0);
  std::int64_t magnitude = 0;
  for (char c : rest) {
    const int digit = HexDigit(c);
    if (digit < 0 || digit >= base) return false;
    magnitude = magnitude * base + digit;
    if (magnitude > limit) return false;  // stops before a long digit run can overflow
  }
  Value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
  return true;
}

TIniFile::TIniFile(std::string FileName) : Path(std::move(FileName)) {
  if (const auto text = ReadSettingsText(Path)) Parse(*text);
}

TIniFile TIniFile::FromText(std::string FileName, std::string_view Text) {
  TIniFile ini;
  ini.Path = std::move(FileName);
  ini.Parse(Text);
  return ini;
}

void TIniFile::Parse(std::string_view Text) {
  Sections.clear();
  // Index by lower-case name so that a file with many sections parses in
  // linear time and a repeated header finds its earlier section.
  std::map<std::string, std::size_t> byName;
  TSection* current = nullptr;
  while (!Text.empty()) {
    const auto end = Text.find('\n');
    std::string_view line = Text.substr(0, end);
    Text.remove_prefix(end == std::string_view::npos ? Text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    const std::string_view trimmed = TrimBlanks(line);
    if (trimmed.empty() || trimmed.front() == ';') continue;
    if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']') {
      const std::string_view name = trimmed.substr(1, trimmed.size() - 2);
      const auto [slot, added] = byName.try_emplace(LowerName(name), Sections.size());
      if (added) Sections.push_back(TSection{std::string(name), {}});
      current = &Sections[slot->second];
      continue;
    }
    if (current == nullptr) continue;
    const auto equals = trimmed.find('=');
    if (equals == std::string_view::npos) {
      current->Lines.push_back(TLine{false, {}, std::string(line)});
    } else {
      current->Lines.push_back(TLine{true, std::string(TrimBlanks(trimmed.substr(0, equals))),
                                     std::string(TrimBlanks(trimmed.substr(equals + 1)))});
    }
  }
}

const TIniFile::TSection* TIniFile::FindSection(std::string_view Name) const {
  for (const auto& section : Sections) {
    if (EqualNoCase(section.Name, Name)) return &section;
  }
  return nullptr;
}

TIniFile::TSection* TIniFile::FindSection(std::string_view Name) {
  return const_cast<TSection*>(std::as_const(*this).FindSection(Name));
}

bool TIniFile::ValueExists(std::string_view Section, std::string_view Key) const {
  const TSection* section = FindSection(Section);
  if (section == nullptr) return false;
  for (const auto& line : section->Lines) {
    if (line.IsEntry && EqualNoCase(line.Key, Key)) return true;
  }
  return false;
}

std::string TIniFile::ReadString(std::string_view Section, std::string_view Key,
                                 std::string_view Default) const {
  if (const TSection* section = FindSection(Section)) {
    for (const auto& line : section->Lines) {
      if (line.IsEntry && EqualNoCase(line.Key, Key)) return line.Value;
    }
  }
  return std::string(Default);
}

std::int32_t TIniFile::ReadInteger(std::string_view Section, std::string_view Key,
                                   std::int32_t Default) const {
  std::int32_t value = 0;
  return ParseIniInteger(ReadString(Section, Key, ""), value) ? value : Default;
}

bool TIniFile::ReadBool(std::string_view Section, std::string_view Key, bool Default) const {
  return ReadInteger(Section, Key, Default ? 1 : 0) != 0;
}

void TIniFile::WriteString(std::string_view Section, std::string_view Key, std::string_view Value) {
  // Store what a later read of the saved file would give back, and refuse what
  // the file cannot hold: a line break would split the entry, and a key with
  // "=" or starting like a comment or header would read back as something else.
  const std::string_view key = TrimBlanks(Key);
  const std::string_view value = TrimBlanks(Value);
  if (HasLineBreak(Section) || HasLineBreak(key) || HasLineBreak(value) ||
      key.find('=') != std::string_view::npos || (!key.empty() && (key.front() == ';' || key.front() == '['))) {
    throw EIniFileError("Cannot store key \"" + std::string(Key) + "\" in section \"" + std::string(Section) +
                        "\" of settings file \"" + Path + "\"");
  }
  TSection* section = FindSection(Section);
  if (section == nullptr) {
    Sections.push_back(TSection{std::string(Section), {}});
    section = &Sections.back();
  }
  for (auto& line : section->Lines) {
    if (line.IsEntry && EqualNoCase(line.Key, key)) {
      line.Value = std::string(value);
      return;
    }
  }
  section->Lines.push_back(TLine{true, std::string(key), std::string(value)});
}

void TIniFile::WriteInteger(std::string_view Section, std::string_view Key, std::int32_t Value) {
  WriteString(Section, Key, std::to_string(Value));
}

void TIniFile::WriteBool(std::string_view Section, std::string_view Key, bool Value) {
  WriteString(Section, Key, Value ? "1" : "0");
}

std::string TIniFile::Text() const {
  std::string text;
  for (const auto& section : Sections) {
    text += '[';
    text += section.Name;
    text += "]\r\n";
    for (const auto& line : section.Lines) {
      if (line.IsEntry) {
        text += line.Key;
        text += '=';
      }
      text += line.Value;
      text += "\r\n";
    }
    text += "\r\n";
  }
  return text;
}

void TIniFile::UpdateFile() const { ReplaceSettingsFile(Path, Text()); }
