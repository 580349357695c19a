#pragma once
// An INI file held in memory: read once, changed in memory, saved whole.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

class EIniFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TIniFile {
 public:
  // Loads FileName when it exists; a missing file gives no sections. A file
  // that exists but cannot be read throws EIniFileError.
  explicit TIniFile(std::string FileName);
  // Parses text as the file's contents (no file is read).
  static TIniFile FromText(std::string FileName, std::string_view Text);

  const std::string& FileName() const noexcept { return Path; }

  bool ValueExists(std::string_view Section, std::string_view Key) const;
  std::string ReadString(std::string_view Section, std::string_view Key, std::string_view Default) const;
  std::int32_t ReadInteger(std::string_view Section, std::string_view Key, std::int32_t Default) const;
  bool ReadBool(std::string_view Section, std::string_view Key, bool Default) const;

  // Blanks around key and value are dropped, as a read of the saved file would.
  // Throws EIniFileError for what the file cannot hold: a line break anywhere,
  // or a key containing "=" or starting with ";" or "[".
  void WriteString(std::string_view Section, std::string_view Key, std::string_view Value);
  void WriteInteger(std::string_view Section, std::string_view Key, std::int32_t Value);
  void WriteBool(std::string_view Section, std::string_view Key, bool Value);

  // The file's text as it would be saved (CR LF line ends).
  std::string Text() const;
  // Writes the text to FileName through a temporary file beside it, renamed
  // into place, so a failed save leaves the old file whole. Throws
  // EIniFileError with the reason on failure.
  void UpdateFile() const;

 private:
  struct TLine {
    bool IsEntry = false;
    std::string Key;    // entries only
    std::string Value;  // entries: the value; other lines: the text as read
  };
  struct TSection {
    std::string Name;
    std::vector<TLine> Lines;
  };
  TIniFile() = default;
  void Parse(std::string_view Text);
  const TSection* FindSection(std::string_view Name) const;
  TSection* FindSection(std::string_view Name);

  std::string Path;
  std::vector<TSection> Sections;
};

// Integer text as the settings file takes it: optional sign, decimal or
// hexadecimal with "0x", "0X" or "$"; false when it is not an int32.
bool ParseIniInteger(std::string_view Text, std::int32_t& Value);
