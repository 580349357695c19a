#include "support/IniFile.h"
#include "common/Files.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace fs = std::filesystem;
using namespace std::string_view_literals;

namespace {

class IniFileDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "inifile-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    Dir = pattern;
  }
  void TearDown() override { fs::remove_all(Dir); }

  static void Spit(const fs::path& path, std::string_view text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  std::size_t FileCount() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(Dir), fs::directory_iterator()));
  }

  fs::path Dir;
};

}  // namespace

TEST(IniFileParseTest, SavedTextKeepsSectionsEntriesAndHeldLines) {
  const struct {
    const char* name;
    std::string_view input;
    std::string_view saved;
  } cases[] = {
      {"empty", "", ""},
      {"before first section and comments dropped",
       "orphan=1\n; note\n[Form]\n  ; indented note\n\nTop=5\n",
       "[Form]\r\nTop=5\r\n\r\n"},
      {"blanks around key and value trimmed", "[A]\n \tkey \t=  some value\t \n", "[A]\r\nkey=some value\r\n\r\n"},
      {"CR LF and LF mixed, last line unterminated", "[A]\r\nx=1\r\ny=2\nz=3", "[A]\r\nx=1\r\ny=2\r\nz=3\r\n\r\n"},
      {"line without = held byte for byte", "[A]\n  just text \t\nk=v\n", "[A]\r\n  just text \t\r\nk=v\r\n\r\n"},
      {"first = splits, later ones belong to the value", "[A]\nurl=a=b=c\n", "[A]\r\nurl=a=b=c\r\n\r\n"},
      {"header trimmed, name kept as written", "  [My Sec]  \nk=v\n", "[My Sec]\r\nk=v\r\n\r\n"},
      {"repeated header continues its section", "[A]\na=1\n[B]\nb=1\n[a]\nc=1\n",
       "[A]\r\na=1\r\nc=1\r\n\r\n[B]\r\nb=1\r\n\r\n"},
      {"empty section survives", "[Empty]\n[Full]\nk=v\n", "[Empty]\r\n\r\n[Full]\r\nk=v\r\n\r\n"},
      {"NUL bytes are ordinary characters", "[A]\nk=a\0b\n"sv, "[A]\r\nk=a\0b\r\n\r\n"sv},
  };
  for (const auto& c : cases) {
    const auto ini = TIniFile::FromText("x.ini", c.input);
    EXPECT_EQ(ini.Text(), c.saved) << c.name;
    EXPECT_EQ(TIniFile::FromText("x.ini", ini.Text()).Text(), c.saved) << c.name << " (parsed again)";
  }
}

TEST(IniFileParseTest, LookupsIgnoreLetterCase) {
  const auto ini = TIniFile::FromText("x.ini", "[Form]\nTop=7\ntop=8\n=nameless\n[other]\nKey=v\n");
  EXPECT_EQ(ini.ReadString("FORM", "tOP", "-"), "7");  // the first of two entries wins
  EXPECT_EQ(ini.ReadString("Other", "KEY", "-"), "v");
  EXPECT_TRUE(ini.ValueExists("form", "TOP"));
  EXPECT_FALSE(ini.ValueExists("Form", "Key"));
  EXPECT_FALSE(ini.ValueExists("Formx", "Top"));
  EXPECT_EQ(ini.ReadString("Form", "Left", "dflt"), "dflt");
  EXPECT_EQ(ini.ReadString("Form", "", "-"), "nameless");
}

TEST(IniFileWriteTest, ReplacesInPlaceAppendsToSectionAndAddsSectionsLast) {
  auto ini = TIniFile::FromText("x.ini", "[Form]\nTOP=1\nnote\nLeft=2\n[Other]\nk=v\n");
  ini.WriteString("form", "Top", "10");    // keeps its place and its spelling
  ini.WriteInteger("Form", "Width", -3);   // after the last line of the section
  ini.WriteBool("New", "Flag", true);      // after all sections
  ini.WriteString("Other", " k ", " w ");  // blanks would not survive a reload
  EXPECT_EQ(ini.Text(),
            "[Form]\r\nTOP=10\r\nnote\r\nLeft=2\r\nWidth=-3\r\n\r\n"
            "[Other]\r\nk=w\r\n\r\n"
            "[New]\r\nFlag=1\r\n\r\n");
}

TEST(IniFileWriteTest, RefusesWhatTheFileCannotHold) {
  auto ini = TIniFile::FromText("x.ini", "[A]\nk=v\n");
  EXPECT_THROW(ini.WriteString("A", "k", "two\nlines"), EIniFileError);
  EXPECT_THROW(ini.WriteString("A\r\n[B]", "k", "v"), EIniFileError);
  EXPECT_THROW(ini.WriteString("A", "a=b", "v"), EIniFileError);
  EXPECT_THROW(ini.WriteString("A", ";k", "v"), EIniFileError);
  EXPECT_THROW(ini.WriteString("A", "[k", "v]"), EIniFileError);
  EXPECT_EQ(ini.Text(), "[A]\r\nk=v\r\n\r\n");
}

TEST(IniFileIntegerTest, ParsesDecimalAndHexWithinInt32) {
  const struct {
    std::string_view text;
    bool ok;
    std::int32_t value;
  } cases[] = {
      {"0", true, 0},           {"-12", true, -12},          {"+7", true, 7},
      {"0x40", true, 64},       {"0X4f", true, 79},          {"$40", true, 64},
      {"-$10", true, -16},      {"-0x10", true, -16},        {"007", true, 7},
      {"2147483647", true, 2147483647},                      {"-2147483648", true, -2147483647 - 1},
      {"0x7FFFFFFF", true, 2147483647},                      {"-0x80000000", true, -2147483647 - 1},
      {"2147483648", false, 0}, {"-2147483649", false, 0},   {"0x80000000", false, 0},
      {"99999999999999999999999", false, 0},                 {"", false, 0},
      {"abc", false, 0},        {"5x", false, 0},            {"0x", false, 0},
      {"$", false, 0},          {"-", false, 0},             {"+-5", false, 0},
      {"0x-5", false, 0},       {" 5", false, 0},            {"1 2", false, 0},
      {"12.5", false, 0},       {"$g", false, 0},
  };
  for (const auto& c : cases) {
    std::int32_t value = 12345;
    EXPECT_EQ(ParseIniInteger(c.text, value), c.ok) << '"' << c.text << '"';
    EXPECT_EQ(value, c.ok ? c.value : 12345) << '"' << c.text << '"';  // untouched on failure
  }
}

TEST(IniFileIntegerTest, ReadIntegerAndBoolFallBackToTheDefault) {
  const auto ini = TIniFile::FromText(
      "x.ini", "[S]\nhex=$40\npadded=  5  \njunk=abc\nempty=\nbig=2147483648\ntwo=2\nminus=-1\nyes=yes\nzero=0\n");
  const struct {
    const char* key;
    std::int32_t asInteger;  // with default -99
    bool boolDefaultFalse;
    bool boolDefaultTrue;
  } cases[] = {
      {"hex", 64, true, true},     {"padded", 5, true, true},   {"junk", -99, false, true},
      {"empty", -99, false, true}, {"big", -99, false, true},   {"two", 2, true, true},
      {"minus", -1, true, true},   {"yes", -99, false, true},   {"zero", 0, false, false},
      {"missing", -99, false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ini.ReadInteger("S", c.key, -99), c.asInteger) << c.key;
    EXPECT_EQ(ini.ReadBool("S", c.key, false), c.boolDefaultFalse) << c.key;
    EXPECT_EQ(ini.ReadBool("S", c.key, true), c.boolDefaultTrue) << c.key;
  }
}

TEST_F(IniFileDiskTest, LoadsAndSavesExactBytesKeepingTheMode) {
  const fs::path path = Dir / "app.ini";
  Spit(path, "; comment\r\n[Form]\r\nTop=3\r\n\r\n[Foreign]\r\nx = y\r\n");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  TIniFile ini(path.string());
  EXPECT_EQ(ini.ReadInteger("Form", "Top", 0), 3);
  ini.WriteInteger("Form", "Top", -4);
  ini.UpdateFile();
  EXPECT_EQ(ReadWholeFile(path), "[Form]\r\nTop=-4\r\n\r\n[Foreign]\r\nx=y\r\n\r\n");
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640U);
  EXPECT_EQ(FileCount(), 1U);  // no temporary file left behind
}

TEST_F(IniFileDiskTest, MissingFileIsEmptyButUnreadableOneThrows) {
  EXPECT_EQ(TIniFile((Dir / "none.ini").string()).Text(), "");
  fs::create_directory(Dir / "dir.ini");
  EXPECT_THROW(TIniFile((Dir / "dir.ini").string()), EIniFileError);
}

TEST_F(IniFileDiskTest, FailedSaveThrowsNamingThePathAndLeavesNoTrace) {
  Spit(Dir / "plain", "not a directory");
  const std::string path = (Dir / "plain" / "app.ini").string();
  TIniFile ini(path);  // its directory cannot exist, so it reads as empty
  ini.WriteString("Form", "Top", "1");
  try {
    ini.UpdateFile();
    FAIL() << "save into a non-directory succeeded";
  } catch (const EIniFileError& e) {
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
  }
  EXPECT_EQ(ReadWholeFile(Dir / "plain"), "not a directory");
  EXPECT_EQ(FileCount(), 1U);
}

TEST_F(IniFileDiskTest, SaveFailingMidWriteKeepsTheOldFile) {
  // Running as root, permissions cannot make a write fail; a file size limit can.
  const fs::path path = Dir / "app.ini";
  const std::string old = "[Form]\r\nTop=1\r\n\r\n";
  Spit(path, old);
  auto ini = TIniFile::FromText(path.string(), old);
  ini.WriteString("Form", "Long", std::string(4096, 'x'));

  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  bool threw = false;
  try {
    ini.UpdateFile();
  } catch (const EIniFileError&) {
    threw = true;
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previousHandler);

  EXPECT_TRUE(threw);
  EXPECT_EQ(ReadWholeFile(path), old);
  EXPECT_EQ(FileCount(), 1U);
}

TEST_F(IniFileDiskTest, SaveThroughSymlinkReplacesTheTargetNotTheLink) {
  fs::create_directory(Dir / "real");
  Spit(Dir / "real" / "app.ini", "[A]\r\nk=1\r\n\r\n");
  fs::create_symlink("real/app.ini", Dir / "link.ini");  // relative to the link's directory
  fs::create_symlink("real/new.ini", Dir / "dangling.ini");

  TIniFile ini((Dir / "link.ini").string());
  ini.WriteString("A", "k", "2");
  ini.UpdateFile();
  EXPECT_TRUE(fs::is_symlink(Dir / "link.ini"));
  EXPECT_EQ(ReadWholeFile(Dir / "real" / "app.ini"), "[A]\r\nk=2\r\n\r\n");

  TIniFile fresh((Dir / "dangling.ini").string());
  fresh.WriteString("B", "k", "3");
  fresh.UpdateFile();
  EXPECT_TRUE(fs::is_symlink(Dir / "dangling.ini"));
  EXPECT_EQ(ReadWholeFile(Dir / "real" / "new.ini"), "[B]\r\nk=3\r\n\r\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(Dir / "real"), fs::directory_iterator()), 2);
}
