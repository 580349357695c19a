#pragma once
// The version block of an executable, read back from the file on disk, and
// what the About dialog makes of it: the build date, the twelve values it
// asks for and the diagnostic lines it writes.
//
// The block sits in the ELF section VersionSectionName; the build writes it
// (cmake/VersionBlock.cmake, which also documents the layout). Only ELF64
// files are read, of either byte order; anything else, a truncated file or a
// garbled block counts as "no version information".
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::string_view VersionSectionName = ".wirepeek.version";
// The string table the dialog consults, and the only one.
inline constexpr std::string_view VersionTableName = "041103A4";

// The entries the dialog asks for, in this order; the dialog numbers them
// from 1 (ProductName is 8, ProductVersion 9, LegalCopyright 5, Comments 12).
inline constexpr std::size_t VersionKeyCount = 12;
inline constexpr std::array<std::string_view, VersionKeyCount> VersionKeys = {
    "CompanyName",      "FileDescription", "FileVersion",  "InternalName",
    "LegalCopyright",   "LegalTradeMarks", "OriginalFileName", "ProductName",
    "ProductVersion",   "PrivateBuild",    "SpecialBuild", "Comments"};

struct TVersionTranslation {
  std::uint16_t Language = 0;
  std::uint16_t CodePage = 0;
  bool operator==(const TVersionTranslation&) const = default;
};

struct TVersionEntry {
  std::string Key;
  std::string Value;
};

struct TVersionTable {
  std::string Name;  // language and code page as eight hex digits
  std::vector<TVersionEntry> Entries;
};

// A parsed version block; default-constructed it is "none" (size 0).
class TVersionInfo {
 public:
  // Reads the block of the executable at Path. Never throws for bad input:
  // a missing, unreadable, non-ELF64, truncated or garbled file, a missing
  // section and a malformed block all give an empty TVersionInfo.
  static TVersionInfo FromFile(const std::string& Path);
  // Parses the bytes of a block as the section holds them (bytes beyond the
  // block's own size are ignored). Malformed: empty TVersionInfo.
  static TVersionInfo FromBytes(std::string_view Bytes);

  // Size of the block in bytes; 0 when there is none.
  std::uint32_t Size() const { return Size_; }
  // The value of Key in the table TableName; keys match without regard to
  // ASCII letter case. nullopt when the table or the key is missing; an
  // entry with an empty value is found (and empty).
  std::optional<std::string> Query(std::string_view TableName, std::string_view Key) const;
  // Query in VersionTableName.
  std::optional<std::string> Value(std::string_view Key) const {
    return Query(VersionTableName, Key);
  }
  const std::vector<TVersionTranslation>& Translations() const { return Translations_; }
  const std::vector<TVersionTable>& Tables() const { return Tables_; }
  const std::array<std::uint16_t, 4>& FileVersion() const { return FileVersion_; }
  const std::array<std::uint16_t, 4>& ProductVersion() const { return ProductVersion_; }

 private:
  std::uint32_t Size_ = 0;
  std::array<std::uint16_t, 4> FileVersion_{};
  std::array<std::uint16_t, 4> ProductVersion_{};
  std::vector<TVersionTable> Tables_;
  std::vector<TVersionTranslation> Translations_;
};

// The raw bytes of the section Name of the ELF64 file at Path; nullopt when
// the file cannot be read, is not ELF64, is truncated or garbled, or has no
// such section (or one without file contents). At most MaxSectionBytes.
inline constexpr std::uint64_t MaxSectionBytes = 1u << 20;
std::optional<std::string> ReadElfSection(const std::string& Path, std::string_view Name);

// The last-write time of the file at Path in local time, as
// "year/month/day,hour:minute:second" without leading zeros
// (2004/3/2,9:5:7); empty when the file cannot be examined.
std::string BuildDateTextOf(const std::string& Path);

// What the About dialog reads when it is first shown.
struct TAboutVersionInfo {
  std::string AboutExePath;
  std::string BuildDateText;
  std::uint32_t VersionInfoSize = 0;  // 0: no version information
  // Values of VersionKeys, same order; empty when not found.
  std::array<std::string, VersionKeyCount> VersionValues;
  // The lines the reading writes, in order: "No version information found"
  // (which goes to TraceOutput as it is) or "VersionInfoSize =<size>"
  // (through TraceLine).
  std::vector<std::string> LoadLines;
};

// Reads the version information and build date of the executable at
// ExePath. Values are taken from table VersionTableName only.
TAboutVersionInfo LoadVersionInfo(const std::string& ExePath);
// The same for the running executable (RunningExecutablePath of Settings.h).
TAboutVersionInfo LoadVersionInfo();

// The fourteen lines the Home key writes: "Load=<path>", the build date, and
// "ix=%2d (<value>)" for the twelve values.
std::vector<std::string> VersionTraceLines(const TAboutVersionInfo& Info);
