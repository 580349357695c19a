#pragma once
// The link map the build writes beside each executable, and the
// address-location service that answers from it.
//
// Map file (plain text, one record a line, '\n' or "\r\n" line ends; numbers
// in lower-case hexadecimal unless said otherwise; addresses are relative to
// the module's load base):
//   WPMAP 1                          first line, format version
//   BUILDID <hex>                    GNU build-id of the module it describes
//   F <index> <name>                 source file names (no folder), index decimal
//   P <start> <size> <file> <name>   procedure: unit = file <file> without extension
//   L <address> <file> <line>        line table row; line 0 ends a sequence
//   END <procedures> <lines>         last line, counts in decimal
// Anything else, or a file that does not end with a matching END line, makes
// the whole map unusable: a half-read map would name the wrong code.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Where a code address lies according to a map.
struct TAddressLocation {
  std::string FileName;       // source file name, no folder
  std::string UnitName;       // the procedure's source file name without extension
  std::string ProcedureName;  // "TMainForm.CheckMapFile" form
  std::int32_t LineNumber = 0;
};

// One parsed map. Immutable once parsed, so lookups need no lock.
class TLinkMap {
 public:
  // Empty (nullptr) when Text is not a complete, well-formed map.
  static std::unique_ptr<TLinkMap> Parse(std::string_view Text);
  // Reads and parses a file; nullptr when missing or unusable.
  static std::unique_ptr<TLinkMap> Load(const std::string& Path);

  const std::string& BuildId() const noexcept { return FBuildId; }
  std::size_t ProcedureCount() const noexcept { return FProcedures.size(); }
  std::size_t LineCount() const noexcept { return FLines.size(); }

  // Lookups on an address relative to the module's load base. Locate gives
  // false and leaves Location untouched when the address is in no procedure.
  bool Locate(std::uint64_t Offset, TAddressLocation& Location) const;
  std::string ProcedureAt(std::uint64_t Offset) const;
  std::string SourceFileAt(std::uint64_t Offset) const;
  std::int32_t LineAt(std::uint64_t Offset) const;

 private:
  struct TProcedure {
    std::uint64_t Start;
    std::uint64_t Size;
    std::uint32_t File;
    std::string Name;
  };
  struct TLine {
    std::uint64_t Address;
    std::uint32_t File;
    std::int32_t Line;
  };
  const TProcedure* ProcedureOf(std::uint64_t Offset) const;
  const TLine* LineOf(std::uint64_t Offset) const;

  std::string FBuildId;
  std::vector<std::string> FFiles;
  std::vector<TProcedure> FProcedures;  // sorted by Start
  std::vector<TLine> FLines;            // sorted by Address, sequence ends first
};

// A loaded module (the executable or a shared library) holding an address.
struct TModuleInfo {
  std::string Path;          // full path
  std::uintptr_t Base = 0;   // load base: map addresses are relative to it
  std::string BuildId;       // lower-case hex, empty when the module has none
};
bool FindModuleOfAddress(const void* Address, TModuleInfo& Module);

// The map file name of a module: its file name with ".map" in place of the
// extension (appended when it has none).
std::string MapFileNameOf(std::string_view ModulePath);

// The search path for maps, ";"-separated: "_NT_SYMBOL_PATH",
// "_NT_ALT_SYMBOL_PATH" and "SystemRoot" when set and not empty, then the
// folder of the module holding this code, then the executable's folder.
std::string BuildSymbolSearchPath();
// The path as the service uses it: cut to 4095 characters.
inline constexpr std::size_t MaxSymbolSearchPath = 4095;
std::vector<std::string> SymbolSearchFolders(std::string_view SearchPath);

// The map of the module holding Address: the first map named after the
// module in the search folders whose build-id matches the running module.
// Parsed once per module and kept for the whole run; nullptr when none fits.
const TLinkMap* LinkMapOfModule(const TModuleInfo& Module);

// The address-location service. The first three are serialized by one
// process-wide lock; all answer empty / 0 outside mapped code.
std::string SourceFileOfAddress(const void* Address);
std::string ProcedureOfAddress(const void* Address);
std::int32_t LineOfAddress(const void* Address);
// Takes no lock; false (Location untouched) on a miss.
bool LocationOfAddress(const void* Address, TAddressLocation& Location);

// The same lookups for the code address the call returns to: each answers
// for the point it is called from, read from the map at run time.
[[gnu::noinline]] bool CallerLocation(TAddressLocation& Location);
[[gnu::noinline]] std::string CallerFile();
[[gnu::noinline]] std::string CallerProc();
[[gnu::noinline]] std::int32_t CallerLine();
