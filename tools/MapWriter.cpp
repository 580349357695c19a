// Build step: writes the link map of a linked executable (see the README's
// "Diagnostics" section for the format).
//   wirepeek_mapwriter <executable> <project source folder> <map file>
//   wirepeek_mapwriter --pe <image base> <build-id> <ELF copy> <source folder> <map file>
// The second form is for a Windows executable, given as an ELF copy of it
// (objcopy keeps the debug sections and the addresses): its addresses are
// made relative to the image base, its build-id is the one the linker wrote
// into the PE's debug directory, and its procedures come from the debug
// information, for a PE's symbol table has no sizes.
// Only compile units whose source lies under the project folder count as the
// program's own code, so toolkit and runtime code linked in stay out of it.
// Code inlined from outside that folder (a standard library accessor, say) is
// given the project line that inlined it, so a report names the program's
// own line rather than a library header.
#include <cxxabi.h>
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwelf.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <queue>
#include <string>
#include <string_view>
#include <vector>

#include "MapNames.h"

namespace {

// A procedure's file index when its unit compiles several source files
// together: it is the file of the procedure's first line.
constexpr std::size_t FileOfFirstLine = static_cast<std::size_t>(-1);

struct TRange {
  Dwarf_Addr Start;
  Dwarf_Addr End;
  std::size_t File;  // the compile unit's file, or FileOfFirstLine
};

struct TProcedure {
  Dwarf_Addr Start;
  Dwarf_Addr Size;
  std::size_t File;
  std::string Name;
};

struct TRow {
  Dwarf_Addr Address;
  std::size_t File;
  int Line;
  bool Own;  // a line of the project's sources
};

class TFileTable {
 public:
  std::size_t IndexOf(const std::string& Name) {
    auto [it, added] = Index.try_emplace(Name, Names.size());
    if (added) Names.push_back(Name);
    return it->second;
  }
  std::vector<std::string> Names;

 private:
  std::map<std::string, std::size_t> Index;
};

std::string BaseName(std::string_view Path) {
  const auto slash = Path.rfind('/');
  return std::string(slash == std::string_view::npos ? Path : Path.substr(slash + 1));
}

// A unit the build made of several source files ("unity_0_cxx.cxx"), kept
// in the build folder.
bool IsBatchUnit(std::string_view Name) { return Name.starts_with("unity_") && Name.ends_with("_cxx.cxx"); }

bool IsUnder(const std::filesystem::path& Path, const std::string& Folder) {
  const std::string text = Path.lexically_normal().string();
  if (Folder == "/") return text.size() > 1 && text[0] == '/';
  return text.size() > Folder.size() && text.compare(0, Folder.size(), Folder) == 0 &&
         text[Folder.size()] == '/';
}

// A file name as the debug information records it, made absolute.
std::filesystem::path SourcePath(const char* Name, const char* CompDir) {
  std::filesystem::path path(Name);
  if (path.is_relative() && CompDir) path = std::filesystem::path(CompDir) / path;
  return path;
}

// The address range of one inlined call of code from outside the project,
// and the project line that made it.
struct TInlineSpan {
  Dwarf_Addr Start;
  Dwarf_Addr End;
  int Depth;  // inlined calls around it, itself included
  const char* SiteFile;
  int SiteLine;
};

struct TCallSite {
  const char* File = nullptr;
  int Line = 0;
};

struct TUnitContext {
  Dwarf_Files* Files = nullptr;
  std::size_t FileCount = 0;
  const char* CompDir = nullptr;
  const std::string* SourceFolder = nullptr;
};

// Walks the unit's tree of debug entries and records, for every inlined call,
// the call site of the innermost inlined call around it (itself included)
// that lies in the project's sources: the line a reader of the project knows.
void CollectInlineSpans(Dwarf_Die& Parent, const TUnitContext& Unit, TCallSite Enclosing, int Depth,
                        std::vector<TInlineSpan>& Spans) {
  Dwarf_Die child;
  if (dwarf_child(&Parent, &child) != 0) return;
  do {
    TCallSite site = Enclosing;
    int depth = Depth;
    if (dwarf_tag(&child) == DW_TAG_inlined_subroutine) {
      ++depth;
      Dwarf_Attribute attribute;
      Dwarf_Word file = 0;
      Dwarf_Word line = 0;
      if (dwarf_formudata(dwarf_attr(&child, DW_AT_call_file, &attribute), &file) == 0 &&
          dwarf_formudata(dwarf_attr(&child, DW_AT_call_line, &attribute), &line) == 0 && line > 0 &&
          file < Unit.FileCount) {
        const char* name = dwarf_filesrc(Unit.Files, file, nullptr, nullptr);
        if (name && IsUnder(SourcePath(name, Unit.CompDir), *Unit.SourceFolder)) {
          site = {name, static_cast<int>(line)};
        }
      }
      if (site.File) {
        Dwarf_Addr base = 0;
        Dwarf_Addr start = 0;
        Dwarf_Addr end = 0;
        for (ptrdiff_t offset = 0; (offset = dwarf_ranges(&child, offset, &base, &start, &end)) > 0;) {
          if (end > start) Spans.push_back({start, end, depth, site.File, site.Line});
        }
      }
    }
    CollectInlineSpans(child, Unit, site, depth, Spans);
  } while (dwarf_siblingof(&child, &child) == 0);
}

// One line-table row of a unit, before its file gets a map index.
struct TUnitRow {
  Dwarf_Addr Address;
  const char* Source;
  bool Outside;  // from a file outside the project's sources
  int Line;
};

// Rows of code inlined from outside the project take the project line that
// inlined it; rows outside any such call (an out-of-line library template,
// say) keep their own.
void MoveInlinedRowsToCallSites(std::vector<TUnitRow>& Rows, std::vector<TInlineSpan>& Spans) {
  std::vector<std::size_t> outside;
  for (std::size_t i = 0; i < Rows.size(); ++i) {
    if (Rows[i].Outside && Rows[i].Line > 0) outside.push_back(i);
  }
  if (outside.empty() || Spans.empty()) return;
  std::sort(outside.begin(), outside.end(),
            [&](std::size_t a, std::size_t b) { return Rows[a].Address < Rows[b].Address; });
  std::sort(Spans.begin(), Spans.end(), [](const TInlineSpan& a, const TInlineSpan& b) { return a.Start < b.Start; });
  // One sweep: the spans begun so far, deepest on top; ended ones leave as
  // they reach the top.
  const auto shallower = [&](std::size_t a, std::size_t b) { return Spans[a].Depth < Spans[b].Depth; };
  std::priority_queue<std::size_t, std::vector<std::size_t>, decltype(shallower)> open(shallower);
  std::size_t next = 0;
  for (const std::size_t i : outside) {
    const Dwarf_Addr address = Rows[i].Address;
    while (next < Spans.size() && Spans[next].Start <= address) open.push(next++);
    while (!open.empty() && Spans[open.top()].End <= address) open.pop();
    if (open.empty()) continue;
    const TInlineSpan& span = Spans[open.top()];
    Rows[i].Source = span.SiteFile;
    Rows[i].Line = span.SiteLine;
  }
}

int Fail(const char* What, const std::string& Detail) {
  std::fprintf(stderr, "wirepeek_mapwriter: %s: %s\n", What, Detail.c_str());
  return 1;
}

}  // namespace

// A procedure of the debug information: a subprogram with code, named by
// its linkage name where it has one.
void CollectSubprograms(Dwarf_Die& Parent, std::size_t File, std::vector<TProcedure>& Out) {
  Dwarf_Die child;
  if (dwarf_child(&Parent, &child) != 0) return;
  do {
    const int tag = dwarf_tag(&child);
    if (tag == DW_TAG_namespace || tag == DW_TAG_class_type || tag == DW_TAG_structure_type) {
      CollectSubprograms(child, File, Out);
      continue;
    }
    if (tag != DW_TAG_subprogram) continue;
    Dwarf_Addr low = 0, high = 0;
    if (dwarf_lowpc(&child, &low) != 0 || dwarf_highpc(&child, &high) != 0 || high <= low) continue;
    Dwarf_Attribute attribute;
    const char* raw = dwarf_formstring(dwarf_attr_integrate(&child, DW_AT_linkage_name, &attribute));
    std::string name;
    if (raw) {
      int status = 0;
      std::unique_ptr<char, decltype(&std::free)> demangled(abi::__cxa_demangle(raw, nullptr, nullptr, &status),
                                                            &std::free);
      name = QualifiedProcedureName(status == 0 && demangled ? demangled.get() : raw);
    } else if (const char* plain = dwarf_diename(&child)) {
      name = plain;
    }
    if (!name.empty()) Out.push_back({low, high - low, File, name});
  } while (dwarf_siblingof(&child, &child) == 0);
}

int main(int argc, char** argv) {
  // The Windows form: the image base and the build-id come first.
  bool pe = false;
  Dwarf_Addr imageBase = 0;
  std::string peBuildId;
  if (argc == 7 && std::string_view(argv[1]) == "--pe") {
    pe = true;
    imageBase = std::strtoull(argv[2], nullptr, 16);
    peBuildId = argv[3];
    argv += 3;
    argc -= 3;
  }
  if (argc != 4) {
    std::fprintf(stderr, "usage: wirepeek_mapwriter [--pe <image base> <build-id>] <executable> <source folder> <map file>\n");
    return 2;
  }
  const std::string executable = argv[1];
  std::string sourceFolder = std::filesystem::path(argv[2]).lexically_normal().string();
  while (sourceFolder.size() > 1 && sourceFolder.back() == '/') sourceFolder.pop_back();
  const std::string mapPath = argv[3];

  elf_version(EV_CURRENT);
  const int fd = ::open(executable.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Fail("cannot open", executable);
  Elf* elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
  if (!elf) return Fail("not an ELF file", executable);

  const void* idBytes = nullptr;
  const ssize_t idSize = pe ? 0 : dwelf_elf_gnu_build_id(elf, &idBytes);
  if (!pe && idSize <= 0) return Fail("no GNU build-id (link with --build-id)", executable);
  std::string buildId = peBuildId;
  for (ssize_t i = 0; i < idSize; ++i) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", static_cast<const unsigned char*>(idBytes)[i]);
    buildId += hex;
  }

  Dwarf* dwarf = dwarf_begin_elf(elf, DWARF_C_READ, nullptr);
  if (!dwarf) return Fail("no DWARF debug information", executable);

  TFileTable files;
  std::vector<TRange> ranges;
  std::vector<TRow> rows;
  std::vector<TProcedure> procedures;
  Dwarf_CU* cu = nullptr;
  Dwarf_Die cuDie;
  while (dwarf_get_units(dwarf, cu, &cu, nullptr, nullptr, &cuDie, nullptr) == 0) {
    const char* name = dwarf_diename(&cuDie);
    if (!name) continue;
    Dwarf_Attribute attribute;
    const char* compDir = dwarf_formstring(dwarf_attr(&cuDie, DW_AT_comp_dir, &attribute));
    const std::string unit = BaseName(name);
    const bool batch = IsBatchUnit(unit);
    if (!batch && !IsUnder(SourcePath(name, compDir), sourceFolder)) continue;
    Dwarf_Lines* lines = nullptr;
    std::size_t count = 0;
    if (dwarf_getsrclines(&cuDie, &lines, &count) != 0) count = 0;
    std::vector<TUnitRow> unitRows;
    unitRows.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      Dwarf_Line* line = dwarf_onesrcline(lines, i);
      Dwarf_Addr address = 0;
      int number = 0;
      bool endSequence = false;
      if (!line || dwarf_lineaddr(line, &address) != 0) continue;
      dwarf_lineno(line, &number);
      dwarf_lineendsequence(line, &endSequence);
      const char* source = dwarf_linesrc(line, nullptr, nullptr);
      const bool outside = source && !IsUnder(SourcePath(source, compDir), sourceFolder);
      // Line 0 is the compiler's "no source line": it ends a range like a sequence end.
      unitRows.push_back({address, source, outside, endSequence ? 0 : std::max(number, 0)});
    }
    // A batch is the project's when it compiles a source file of the project.
    if (batch && std::none_of(unitRows.begin(), unitRows.end(), [](const TUnitRow& r) {
          return !r.Outside && r.Source && std::string_view(r.Source).ends_with(".cpp");
        }))
      continue;
    const std::size_t unitFile = batch ? FileOfFirstLine : files.IndexOf(unit);
    if (pe) CollectSubprograms(cuDie, unitFile, procedures);
    Dwarf_Addr base = 0;
    Dwarf_Addr start = 0;
    Dwarf_Addr end = 0;
    for (ptrdiff_t offset = 0; (offset = dwarf_ranges(&cuDie, offset, &base, &start, &end)) > 0;) {
      if (end > start) ranges.push_back({start, end, unitFile});
    }
    if (count == 0) continue;
    TUnitContext context;
    context.CompDir = compDir;
    context.SourceFolder = &sourceFolder;
    if (dwarf_getsrcfiles(&cuDie, &context.Files, &context.FileCount) == 0) {
      std::vector<TInlineSpan> spans;
      CollectInlineSpans(cuDie, context, {}, 0, spans);
      MoveInlinedRowsToCallSites(unitRows, spans);
    }
    for (const TUnitRow& r : unitRows) {
      rows.push_back({r.Address, files.IndexOf(r.Source ? BaseName(r.Source) : unit), r.Line, !r.Outside});
    }
  }
  std::sort(ranges.begin(), ranges.end(), [](const TRange& a, const TRange& b) { return a.Start < b.Start; });

  // Procedures from the symbol table, kept when they lie in the program's own units.
  for (Elf_Scn* section = nullptr; !pe && (section = elf_nextscn(elf, section)) != nullptr;) {
    GElf_Shdr header;
    if (!gelf_getshdr(section, &header) || header.sh_type != SHT_SYMTAB || header.sh_entsize == 0) continue;
    Elf_Data* data = elf_getdata(section, nullptr);
    if (!data) continue;
    const std::size_t symbols = header.sh_size / header.sh_entsize;
    for (std::size_t i = 0; i < symbols; ++i) {
      GElf_Sym symbol;
      if (!gelf_getsym(data, static_cast<int>(i), &symbol)) continue;
      if (GELF_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_size == 0 || symbol.st_shndx == SHN_UNDEF) continue;
      auto next = std::upper_bound(ranges.begin(), ranges.end(), symbol.st_value,
                                   [](Dwarf_Addr a, const TRange& r) { return a < r.Start; });
      if (next == ranges.begin()) continue;
      const TRange& range = *(next - 1);
      if (symbol.st_value >= range.End) continue;
      const char* raw = elf_strptr(elf, header.sh_link, symbol.st_name);
      if (!raw || !*raw) continue;
      int status = 0;
      std::unique_ptr<char, decltype(&std::free)> demangled(
          abi::__cxa_demangle(raw, nullptr, nullptr, &status), &std::free);
      const std::string name = QualifiedProcedureName(status == 0 && demangled ? demangled.get() : raw);
      if (name.empty()) continue;
      procedures.push_back({symbol.st_value, symbol.st_size, range.File, name});
    }
  }
  // In the order the reader keeps them, so that it need not sort them at
  // every start: a sequence end at the address where the next sequence
  // starts goes first.
  std::stable_sort(rows.begin(), rows.end(), [](const TRow& a, const TRow& b) {
    return a.Address != b.Address ? a.Address < b.Address : (a.Line == 0 && b.Line != 0);
  });
  // A procedure of a batch is named by the file of its first line of the
  // project (a library template's by its first line at all); the one
  // without a line has no file to give.
  for (TProcedure& p : procedures) {
    if (p.File != FileOfFirstLine) continue;
    const auto first = std::lower_bound(rows.begin(), rows.end(), p.Start,
                                        [](const TRow& r, Dwarf_Addr a) { return r.Address < a; });
    for (auto row = first; row != rows.end() && row->Address < p.Start + p.Size; ++row) {
      if (row->Line == 0) continue;
      if (p.File == FileOfFirstLine) p.File = row->File;
      if (row->Own) {
        p.File = row->File;
        break;
      }
    }
  }
  std::erase_if(procedures, [](const TProcedure& p) { return p.File == FileOfFirstLine; });
  std::sort(procedures.begin(), procedures.end(), [](const TProcedure& a, const TProcedure& b) {
    return a.Start != b.Start ? a.Start < b.Start : a.Name < b.Name;
  });
  // Aliases (constructor variants, say) share an address: one name is enough.
  procedures.erase(std::unique(procedures.begin(), procedures.end(),
                               [](const TProcedure& a, const TProcedure& b) { return a.Start == b.Start; }),
                   procedures.end());
  // A PE's addresses count from its image base, as the loaded module's do.
  // Code the linker dropped keeps address 0: it is no code of the image.
  if (pe) {
    std::erase_if(procedures, [&](const TProcedure& p) { return p.Start < imageBase; });
    std::erase_if(rows, [&](const TRow& r) { return r.Address < imageBase; });
  }
  for (TProcedure& p : procedures) p.Start -= imageBase;
  for (TRow& r : rows) r.Address -= imageBase;

  const std::string temporary = mapPath + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return Fail("cannot write", temporary);
    char buffer[96];
    out << "WPMAP 1\nBUILDID " << buildId << '\n';
    for (std::size_t i = 0; i < files.Names.size(); ++i) out << "F " << i << ' ' << files.Names[i] << '\n';
    for (const TProcedure& p : procedures) {
      std::snprintf(buffer, sizeof buffer, "P %llx %llx %zu ", static_cast<unsigned long long>(p.Start),
                    static_cast<unsigned long long>(p.Size), p.File);
      out << buffer << p.Name << '\n';
    }
    for (const TRow& r : rows) {
      std::snprintf(buffer, sizeof buffer, "L %llx %zu %d\n", static_cast<unsigned long long>(r.Address), r.File,
                    r.Line);
      out << buffer;
    }
    out << "END " << procedures.size() << ' ' << rows.size() << '\n';
    if (!out.flush()) return Fail("cannot write", temporary);
  }
  std::error_code error;
  std::filesystem::rename(temporary, mapPath, error);
  if (error) return Fail("cannot rename to", mapPath);
  dwarf_end(dwarf);
  elf_end(elf);
  ::close(fd);
  return 0;
}
