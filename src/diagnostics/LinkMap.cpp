#include "diagnostics/LinkMap.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <mutex>

#include <platform/Paths.h>

#include "support/OwnedMutex.h"
#include "support/Settings.h"

namespace {

// Splits off the next space-separated field; false when there is none.
bool NextField(std::string_view& Rest, std::string_view& Field) {
  const auto start = Rest.find_first_not_of(' ');
  if (start == std::string_view::npos) return false;
  Rest.remove_prefix(start);
  const auto end = Rest.find(' ');
  Field = Rest.substr(0, end);
  Rest = end == std::string_view::npos ? std::string_view() : Rest.substr(end + 1);
  return true;
}

template <class T>
bool ParseNumber(std::string_view Text, T& Value, int Base) {
  if (Text.empty()) return false;
  const auto* last = Text.data() + Text.size();
  const auto [ptr, ec] = std::from_chars(Text.data(), last, Value, Base);
  return ec == std::errc() && ptr == last;
}

template <class T>
bool NextNumber(std::string_view& Rest, T& Value, int Base) {
  std::string_view field;
  return NextField(Rest, field) && ParseNumber(field, Value, Base);
}

std::string_view WithoutExtension(std::string_view Name) {
  const auto dot = Name.rfind('.');
  return dot == std::string_view::npos || dot == 0 ? Name : Name.substr(0, dot);
}

std::string FolderOf(const std::string& Path) {
  const auto slash = Path.find_last_of(PathSeparators);
  return slash == std::string::npos ? std::string() : Path.substr(0, slash);
}

// Maps already looked for, one node per module, published without a lock so
// that readers never block; nodes live until the process ends.
struct TMapNode {
  std::string Path;
  std::string BuildId;
  std::unique_ptr<TLinkMap> Map;
  TMapNode* Next;
};
std::atomic<TMapNode*> MapList{nullptr};
TOwnedMutex MapLoadLock;
// The lock that serializes the three named lookups.
TOwnedMutex LookupLock;

const TMapNode* FindNode(const TModuleInfo& Module) {
  for (const TMapNode* node = MapList.load(std::memory_order_acquire); node; node = node->Next) {
    if (node->Path == Module.Path && node->BuildId == Module.BuildId) return node;
  }
  return nullptr;
}

const TLinkMap* MapOfAddress(const void* Address, std::uint64_t& Offset) {
  TModuleInfo module;
  if (!FindModuleOfAddress(Address, module)) return nullptr;
  Offset = reinterpret_cast<std::uintptr_t>(Address) - module.Base;
  return LinkMapOfModule(module);
}

}  // namespace

std::unique_ptr<TLinkMap> TLinkMap::Parse(std::string_view Text) {
  auto map = std::make_unique<TLinkMap>();
  // The closing line gives the counts: room for them at once spares the
  // program's start the copies of a growing table. A count larger than the
  // text could hold is not believed.
  {
    std::string_view last = Text.substr(0, Text.find_last_not_of("\r\n") + 1);
    last.remove_prefix(std::min(last.size(), last.rfind('\n') + 1));
    std::string_view tag;
    std::size_t procedures = 0, lines = 0;
    if (NextField(last, tag) && tag == "END" && NextNumber(last, procedures, 10) && NextNumber(last, lines, 10)) {
      map->FProcedures.reserve(std::min(procedures, Text.size() / 10));
      map->FLines.reserve(std::min(lines, Text.size() / 8));
    }
  }
  bool sawHeader = false;
  bool sawEnd = false;
  while (!Text.empty()) {
    const auto newline = Text.find('\n');
    if (newline == std::string_view::npos) return nullptr;  // cut off mid-line
    std::string_view line = Text.substr(0, newline);
    Text.remove_prefix(newline + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (sawEnd) {
      if (!line.empty()) return nullptr;
      continue;
    }
    // Most of a map is line rows as the writer spaces them: read at once.
    if (sawHeader && line.starts_with("L ")) {
      TLine row{};
      const char* const end = line.data() + line.size();
      std::from_chars_result r = std::from_chars(line.data() + 2, end, row.Address, 16);
      if (r.ec == std::errc() && r.ptr != end && *r.ptr == ' ') r = std::from_chars(r.ptr + 1, end, row.File, 10);
      if (r.ec == std::errc() && r.ptr != end && *r.ptr == ' ') r = std::from_chars(r.ptr + 1, end, row.Line, 10);
      if (r.ec == std::errc() && r.ptr == end && row.Line >= 0 && row.File < map->FFiles.size()) {
        map->FLines.push_back(row);
        continue;
      }
    }
    std::string_view rest = line;
    std::string_view tag;
    if (!NextField(rest, tag)) return nullptr;
    if (!sawHeader) {
      std::uint32_t version = 0;
      if (tag != "WPMAP" || !NextNumber(rest, version, 10) || version != 1) return nullptr;
      sawHeader = true;
    } else if (tag == "L") {
      TLine row{};
      if (!NextNumber(rest, row.Address, 16) || !NextNumber(rest, row.File, 10) ||
          !NextNumber(rest, row.Line, 10) || !rest.empty() || row.Line < 0 ||
          row.File >= map->FFiles.size()) {
        return nullptr;
      }
      map->FLines.push_back(row);
    } else if (tag == "P") {
      TProcedure procedure{};
      if (!NextNumber(rest, procedure.Start, 16) || !NextNumber(rest, procedure.Size, 16) ||
          !NextNumber(rest, procedure.File, 10) || procedure.File >= map->FFiles.size() ||
          rest.empty() || procedure.Size == 0 || procedure.Start + procedure.Size < procedure.Start) {
        return nullptr;
      }
      procedure.Name = std::string(rest);
      map->FProcedures.push_back(std::move(procedure));
    } else if (tag == "F") {
      std::size_t index = 0;
      if (!NextNumber(rest, index, 10) || index != map->FFiles.size() || rest.empty()) return nullptr;
      map->FFiles.emplace_back(rest);
    } else if (tag == "BUILDID") {
      std::string_view id;
      if (!map->FBuildId.empty() || !NextField(rest, id) || !rest.empty()) return nullptr;
      if (id.find_first_not_of("0123456789abcdef") != std::string_view::npos) return nullptr;
      map->FBuildId = std::string(id);
    } else if (tag == "END") {
      std::size_t procedures = 0;
      std::size_t lines = 0;
      if (!NextNumber(rest, procedures, 10) || !NextNumber(rest, lines, 10) || !rest.empty() ||
          procedures != map->FProcedures.size() || lines != map->FLines.size()) {
        return nullptr;
      }
      sawEnd = true;
    } else {
      return nullptr;
    }
  }
  if (!sawEnd || map->FBuildId.empty()) return nullptr;
  // The writer sorts already; sorting what is not keeps a hand-edited map
  // usable.
  const auto byStart = [](const TProcedure& a, const TProcedure& b) { return a.Start < b.Start; };
  if (!std::is_sorted(map->FProcedures.begin(), map->FProcedures.end(), byStart))
    std::sort(map->FProcedures.begin(), map->FProcedures.end(), byStart);
  const auto byAddress = [](const TLine& a, const TLine& b) {
    // A sequence end at the address where the next sequence starts goes first.
    return a.Address != b.Address ? a.Address < b.Address : (a.Line == 0 && b.Line != 0);
  };
  if (!std::is_sorted(map->FLines.begin(), map->FLines.end(), byAddress))
    std::stable_sort(map->FLines.begin(), map->FLines.end(), byAddress);
  return map;
}

std::unique_ptr<TLinkMap> TLinkMap::Load(const std::string& Path) {
  // Read in one piece: the map is megabytes, and read at every start.
  std::ifstream file(Path, std::ios::binary | std::ios::ate);
  if (!file) return nullptr;
  const std::streamoff size = file.tellg();
  if (size < 0 || size > std::numeric_limits<std::streamsize>::max()) return nullptr;
  std::string text(static_cast<std::size_t>(size), '\0');
  file.seekg(0);
  if (!file.read(text.data(), static_cast<std::streamsize>(size))) return nullptr;
  return Parse(text);
}

const TLinkMap::TProcedure* TLinkMap::ProcedureOf(std::uint64_t Offset) const {
  auto next = std::upper_bound(FProcedures.begin(), FProcedures.end(), Offset,
                               [](std::uint64_t a, const TProcedure& p) { return a < p.Start; });
  if (next == FProcedures.begin()) return nullptr;
  const TProcedure& p = *(next - 1);
  return Offset - p.Start < p.Size ? &p : nullptr;
}

const TLinkMap::TLine* TLinkMap::LineOf(std::uint64_t Offset) const {
  auto next = std::upper_bound(FLines.begin(), FLines.end(), Offset,
                               [](std::uint64_t a, const TLine& l) { return a < l.Address; });
  if (next == FLines.begin()) return nullptr;
  const TLine& l = *(next - 1);
  return l.Line == 0 ? nullptr : &l;
}

bool TLinkMap::Locate(std::uint64_t Offset, TAddressLocation& Location) const {
  const TProcedure* procedure = ProcedureOf(Offset);
  if (!procedure) return false;
  const TLine* line = LineOf(Offset);
  Location.ProcedureName = procedure->Name;
  Location.UnitName = std::string(WithoutExtension(FFiles[procedure->File]));
  Location.FileName = line ? FFiles[line->File] : std::string();
  Location.LineNumber = line ? line->Line : 0;
  return true;
}

std::string TLinkMap::ProcedureAt(std::uint64_t Offset) const {
  const TProcedure* procedure = ProcedureOf(Offset);
  return procedure ? procedure->Name : std::string();
}

std::string TLinkMap::SourceFileAt(std::uint64_t Offset) const {
  const TLine* line = ProcedureOf(Offset) ? LineOf(Offset) : nullptr;
  return line ? FFiles[line->File] : std::string();
}

std::int32_t TLinkMap::LineAt(std::uint64_t Offset) const {
  const TLine* line = ProcedureOf(Offset) ? LineOf(Offset) : nullptr;
  return line ? line->Line : 0;
}

std::string MapFileNameOf(std::string_view ModulePath) {
  const auto slash = ModulePath.find_last_of(PathSeparators);
  const std::string_view name = slash == std::string_view::npos ? ModulePath : ModulePath.substr(slash + 1);
  return std::string(WithoutExtension(name)) + ".map";
}

std::string BuildSymbolSearchPath() {
  std::string path;
  for (const char* variable : {"_NT_SYMBOL_PATH", "_NT_ALT_SYMBOL_PATH", "SystemRoot"}) {
    const char* value = std::getenv(variable);
    if (value && *value) {
      path += value;
      path += ';';
    }
  }
  // The module holding this very code: the executable itself when the
  // diagnostics are linked in statically.
  std::string ownModule;
  TModuleInfo module;
  if (FindModuleOfAddress(reinterpret_cast<const void*>(&BuildSymbolSearchPath), module)) ownModule = module.Path;
  path += FolderOf(ownModule);
  path += ';';
  path += FolderOf(RunningExecutablePath());
  return path;
}

std::vector<std::string> SymbolSearchFolders(std::string_view SearchPath) {
  SearchPath = SearchPath.substr(0, MaxSymbolSearchPath);
  std::vector<std::string> folders;
  while (!SearchPath.empty()) {
    const auto semicolon = SearchPath.find(';');
    const std::string_view folder = SearchPath.substr(0, semicolon);
    if (!folder.empty()) folders.emplace_back(folder);
    if (semicolon == std::string_view::npos) break;
    SearchPath.remove_prefix(semicolon + 1);
  }
  return folders;
}

const TLinkMap* LinkMapOfModule(const TModuleInfo& Module) {
  if (const TMapNode* node = FindNode(Module)) return node->Map.get();
  // A fault report while this thread was loading a map: no map this time.
  if (MapLoadLock.HeldByMe()) return nullptr;
  std::lock_guard guard(MapLoadLock);
  if (const TMapNode* node = FindNode(Module)) return node->Map.get();
  auto node = std::make_unique<TMapNode>();
  node->Path = Module.Path;
  node->BuildId = Module.BuildId;
  if (!Module.BuildId.empty()) {
    const std::string fileName = MapFileNameOf(Module.Path);
    for (const std::string& folder : SymbolSearchFolders(BuildSymbolSearchPath())) {
      auto map = TLinkMap::Load(folder + "/" + fileName);
      if (map && map->BuildId() == Module.BuildId) {
        node->Map = std::move(map);
        break;
      }
    }
  }
  node->Next = MapList.load(std::memory_order_relaxed);
  TMapNode* published = node.release();
  MapList.store(published, std::memory_order_release);
  return published->Map.get();
}

namespace {

// One of the three locked lookups: a miss or a failure inside gives Empty.
template <class TResult, class TLookup>
TResult LockedLookup(const void* Address, TResult Empty, TLookup&& Lookup) {
  // A fault report from inside a lookup of this thread: no answer this time.
  if (LookupLock.HeldByMe()) return Empty;
  try {
    std::lock_guard guard(LookupLock);
    std::uint64_t offset = 0;
    const TLinkMap* map = MapOfAddress(Address, offset);
    return map ? Lookup(*map, offset) : Empty;
  } catch (...) {
    return Empty;
  }
}

}  // namespace

std::string SourceFileOfAddress(const void* Address) {
  return LockedLookup(Address, std::string(),
                      [](const TLinkMap& map, std::uint64_t offset) { return map.SourceFileAt(offset); });
}

std::string ProcedureOfAddress(const void* Address) {
  return LockedLookup(Address, std::string(),
                      [](const TLinkMap& map, std::uint64_t offset) { return map.ProcedureAt(offset); });
}

std::int32_t LineOfAddress(const void* Address) {
  return LockedLookup(Address, std::int32_t{0},
                      [](const TLinkMap& map, std::uint64_t offset) { return map.LineAt(offset); });
}

bool LocationOfAddress(const void* Address, TAddressLocation& Location) {
  try {
    std::uint64_t offset = 0;
    const TLinkMap* map = MapOfAddress(Address, offset);
    TAddressLocation found;
    if (!map || !map->Locate(offset, found)) return false;
    Location = std::move(found);
    return true;
  } catch (...) {
    return false;
  }
}

namespace {
// The call instruction itself: the return address may already belong to the
// next source line.
const void* CallSite(const void* ReturnAddress) {
  return static_cast<const char*>(ReturnAddress) - 1;
}
}  // namespace

bool CallerLocation(TAddressLocation& Location) {
  return LocationOfAddress(CallSite(__builtin_return_address(0)), Location);
}
std::string CallerFile() { return SourceFileOfAddress(CallSite(__builtin_return_address(0))); }
std::string CallerProc() { return ProcedureOfAddress(CallSite(__builtin_return_address(0))); }
std::int32_t CallerLine() { return LineOfAddress(CallSite(__builtin_return_address(0))); }
