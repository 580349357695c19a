#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "../../tools/MapNames.h"
#include "support/Assertion.h"
#include "diagnostics/LinkMap.h"
#include "diagnostics/MapCheck.h"
#include "diagnostics/TraceReport.h"
#include "support/DateTimeText.h"
#include "support/Settings.h"
#include "support/TextDevs.h"
#include "common/Files.h"

#include <unistd.h>

namespace {

const std::string GoodMap =
    "WPMAP 1\n"
    "BUILDID 00ff\n"
    "F 0 MainUnit.cpp\n"
    "F 1 vector.h\n"
    "P 100 40 0 TMainForm.CheckMapFile\n"
    "P 200 10 0 TMainForm.FormCreate\n"
    "L 100 0 10\n"
    "L 110 1 300\n"
    "L 120 0 12\n"
    "L 140 0 0\n"
    "L 200 0 20\n"
    "L 210 0 0\n"
    "END 2 6\n";

TEST(LinkMapTest, LookupsAnswerInsideProceduresOnly) {
  const auto map = TLinkMap::Parse(GoodMap);
  ASSERT_TRUE(map);
  EXPECT_EQ(map->BuildId(), "00ff");
  struct Case {
    std::uint64_t Offset;
    const char* Procedure;
    const char* File;
    std::int32_t Line;
  };
  const Case cases[] = {
      {0x100, "TMainForm.CheckMapFile", "MainUnit.cpp", 10},
      {0x10f, "TMainForm.CheckMapFile", "MainUnit.cpp", 10},
      {0x115, "TMainForm.CheckMapFile", "vector.h", 300},
      {0x13f, "TMainForm.CheckMapFile", "MainUnit.cpp", 12},
      {0x140, "", "", 0},  // one past the procedure's end
      {0x1ff, "", "", 0},
      {0x20f, "TMainForm.FormCreate", "MainUnit.cpp", 20},
      {0x0, "", "", 0},
      {~std::uint64_t{0}, "", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Offset);
    EXPECT_EQ(map->ProcedureAt(c.Offset), c.Procedure);
    EXPECT_EQ(map->SourceFileAt(c.Offset), c.File);
    EXPECT_EQ(map->LineAt(c.Offset), c.Line);
    TAddressLocation location;
    location.UnitName = "untouched";
    EXPECT_EQ(map->Locate(c.Offset, location), *c.Procedure != '\0');
    EXPECT_EQ(location.UnitName, *c.Procedure ? "MainUnit" : "untouched");
  }
}

TEST(LinkMapTest, DamagedMapsAreRefusedWhole) {
  const auto replace = [](std::string text, const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const std::pair<const char*, std::string> cases[] = {
      {"cut before END", GoodMap.substr(0, GoodMap.find("END"))},
      {"cut mid-line", GoodMap.substr(0, GoodMap.size() - 3)},
      {"count mismatch", replace(GoodMap, "END 2 6", "END 2 5")},
      {"bad hex", replace(GoodMap, "L 120 0 12", "L 12g 0 12")},
      {"file index out of range", replace(GoodMap, "L 120 0 12", "L 120 7 12")},
      {"negative line", replace(GoodMap, "L 120 0 12", "L 120 0 -12")},
      {"unknown record", replace(GoodMap, "F 1 vector.h", "X 1 vector.h")},
      {"no build-id", replace(GoodMap, "BUILDID 00ff\n", "")},
      {"wrong header", replace(GoodMap, "WPMAP 1", "WPMAP 2")},
      {"zero size", replace(GoodMap, "P 200 10", "P 200 0")},
      {"wrapping size", replace(GoodMap, "P 200 10", "P 200 ffffffffffffffff")},
      {"binary garbage", std::string("\x7f" "ELF\0\0\n\xff\xfe\n", 10)},
      {"empty", ""},
  };
  for (const auto& [name, text] : cases) {
    EXPECT_FALSE(TLinkMap::Parse(text)) << name;
  }
  EXPECT_TRUE(TLinkMap::Parse(replace(GoodMap, "\n", "\r\n")));
}

TEST(LinkMapTest, AddressesOutsideMappedCodeGiveEmptyAnswers) {
  int onStack = 0;
  TAddressLocation location;
  location.ProcedureName = "untouched";
  EXPECT_FALSE(LocationOfAddress(&onStack, location));
  EXPECT_EQ(location.ProcedureName, "untouched");
  EXPECT_EQ(ProcedureOfAddress(&onStack), "");
  EXPECT_EQ(LineOfAddress(nullptr), 0);
  // This test program has no map: its own code is unnamed too.
  EXPECT_EQ(CallerProc(), "");
}

TEST(SymbolSearchPathTest, EnvironmentFirstThenModuleFolders) {
  const std::string folder = std::filesystem::path(RunningExecutablePath()).parent_path().string();
  struct Case {
    const char* Symbol;
    const char* Alt;
    const char* Root;
    std::string Expected;
  };
  const Case cases[] = {
      {nullptr, nullptr, nullptr, folder + ";" + folder},
      {"", "", "", folder + ";" + folder},
      {nullptr, nullptr, "/sysroot", "/sysroot;" + folder + ";" + folder},
      {"/a;/b", "/alt", "/root", "/a;/b;/alt;/root;" + folder + ";" + folder},
  };
  for (const Case& c : cases) {
    const std::pair<const char*, const char*> variables[] = {
        {"_NT_SYMBOL_PATH", c.Symbol}, {"_NT_ALT_SYMBOL_PATH", c.Alt}, {"SystemRoot", c.Root}};
    for (const auto& [name, value] : variables) {
      if (value) {
        setenv(name, value, 1);
      } else {
        unsetenv(name);
      }
    }
    EXPECT_EQ(BuildSymbolSearchPath(), c.Expected);
  }
  for (const char* name : {"_NT_SYMBOL_PATH", "_NT_ALT_SYMBOL_PATH", "SystemRoot"}) unsetenv(name);
}

TEST(SymbolSearchPathTest, FoldersAreCutAt4095Characters) {
  const std::string longFolder(5000, 'x');
  const auto folders = SymbolSearchFolders("/first;;" + longFolder + ";/last");
  ASSERT_EQ(folders.size(), 2u);
  EXPECT_EQ(folders[0], "/first");
  EXPECT_EQ(folders[1].size(), MaxSymbolSearchPath - std::string("/first;;").size());
}

TEST(MapNamesTest, DemangledNamesBecomeQualifiedProcedureNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"TMainForm::CheckMapFile()", "TMainForm.CheckMapFile"},
      {"wp::TMainForm::FormCreate(QObject*, int)", "wp.TMainForm.FormCreate"},
      {"(anonymous namespace)::Fill(char*)", "Fill"},
      {"int Max<int>(int, int)", "Max<int>"},
      {"std::vector<int, std::allocator<int> >::push_back(int const&)", "std.vector<int, std::allocator<int> >.push_back"},
      {"TFoo::operator()(int)", "TFoo.operator()"},
      {"TFoo::operator<<(TBar const&)", "TFoo.operator<<"},
      {"MapFileNameOf[abi:cxx11](std::basic_string_view<char>)", "MapFileNameOf"},
      {"main", "main"},
  };
  for (const auto& [demangled, expected] : cases) EXPECT_EQ(QualifiedProcedureName(demangled), expected) << demangled;
}

TEST(MapCheckTest, TestsRunInOrderAndTheFirstFailureDecides) {
  TMapCheckAnswers good;
  good.MapFileName = "wirepeek.map";
  good.MapExists = true;
  good.LocationFound = true;
  good.Location = {"MainUnit.cpp", "MainUnit", "TMainForm.CheckMapFile", 100};
  good.File = "MainUnit.cpp";
  good.Proc = "TMainForm.CheckMapFile";
  good.Line = 111;
  struct Case {
    const char* Name;
    void (*Change)(TMapCheckAnswers&);
    const char* Alert;
  };
  const Case cases[] = {
      {"matching", [](TMapCheckAnswers&) {}, ""},
      {"missing", [](TMapCheckAnswers& a) { a.MapExists = false; }, "map ファイルがありません:wirepeek.map"},
      {"file", [](TMapCheckAnswers& a) { a.File = "mainunit.cpp"; a.Proc = ""; }, "map ファイルが異常です(FILE):wirepeek.map"},
      {"proc", [](TMapCheckAnswers& a) { a.Proc = "TMainForm.FormCreate"; a.Line = 0; }, "map ファイルが異常です(PROC):wirepeek.map"},
      {"line too close", [](TMapCheckAnswers& a) { a.Line = 110; }, "map ファイルが異常です(LINE):wirepeek.map"},
      {"no line", [](TMapCheckAnswers& a) { a.Line = 0; a.Location.LineNumber = -20; }, "map ファイルが異常です(LINE):wirepeek.map"},
  };
  for (const Case& c : cases) {
    TMapCheckAnswers answers = good;
    c.Change(answers);
    const TMapCheckVerdict verdict = EvaluateMapCheck(answers);
    EXPECT_EQ(verdict.Alert, c.Alert) << c.Name;
    EXPECT_EQ(verdict.Result, *c.Alert ? -1 : 0) << c.Name;
  }
  EXPECT_EQ(MapLine(good.Location), "__MAP__ MainUnit.cpp(100) (TMainForm.CheckMapFile in MainUnit )");
  EXPECT_EQ(MapFilePathOf("/opt/wp/wirepeek"), "/opt/wp/wirepeek.map");
  EXPECT_EQ(MapFilePathOf("/opt/wp.d/tool.bin"), "/opt/wp.d/tool.map");
}

TEST(TraceLogTest, NameAndFileFormat) {
  EXPECT_EQ(TraceLogFileName(20261206, 140509), "ALOG20261206_140509.txt");
  EXPECT_EQ(TraceLogFileName(20260101, 5), "ALOG20260101_000005.txt");

  const auto folder = std::filesystem::temp_directory_path() / ("wp_log_" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(folder);
  DebugMode = false;
  EXPECT_EQ(SaveTraceLog({"a"}), "");
  DebugMode = true;
  EXPECT_EQ(SaveTraceLog({}), "");
  std::ofstream(TraceLogFileName(LocalDateNumber(), LocalTimeNumber())) << "older and longer content\n";
  const std::string name = SaveTraceLog({"first", "", "ｴﾗｰ"});
  DebugMode = false;
  std::filesystem::current_path(previous);
  ASSERT_FALSE(name.empty());
  const std::string text = ReadWholeFile(folder / name);
  EXPECT_EQ(text, "first\r\n\r\nｴﾗｰ\r\n");
  std::filesystem::remove_all(folder);
}

TEST(AssertionTest, RecordsLocationAndNeverOverrunsTheBuffer) {
  std::string shown;
  int boxes = 0;
  SetAssertBoxSink([&](const std::string& Text, const std::string& Caption) {
    shown = Text;
    ++boxes;
    EXPECT_EQ(Caption, "Assert");
  });
  AssertionReport("", "C:\\src\\unit.cpp", 7, nullptr);
  EXPECT_EQ(LastAssertFile, "unit.cpp");
  EXPECT_EQ(boxes, 0);
  AssertionReport("too big", "/work/src/main.cpp", 12, reinterpret_cast<const void*>(0xABC));
  EXPECT_EQ(shown, "main.cpp(12)@0000000000000ABC@\r\ntoo big");
  AssertionReport(std::string(1000, 'm').c_str(), "d:x.cpp", 1, nullptr);
  EXPECT_EQ(LastAssertFile, "x.cpp");
  EXPECT_EQ(shown.size(), AssertTextSize - 1);
  EXPECT_EQ(boxes, 2);
  SetAssertBoxSink(nullptr);
}

}  // namespace
