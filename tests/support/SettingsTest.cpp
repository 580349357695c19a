#include "support/Settings.h"
#include "common/Files.h"
#include "common/TestNetwork.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace fs = std::filesystem;

namespace {

class SettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "settings-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    Dir = pattern;
    Settings.IniPath = (Dir / "wirepeek.ini").string();
    Settings.ScreenHeight = 1080;
    Settings.ScreenWidth = 1920;
    Settings.FormHeight = 301;
    Settings.FormWidth = 640;
  }
  void TearDown() override { fs::remove_all(Dir); }

  void Spit(std::string_view text) const { std::ofstream(Settings.IniPath, std::ios::binary) << text; }
  std::string Slurp() const { return ReadWholeFile(Settings.IniPath); }

  fs::path Dir;
  TGlobalSettings Settings;
};

}  // namespace

TEST(SettingsPathsTest, IniPathReplacesOrAppendsTheExtension) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"/a/b/wirepeek", "/a/b/wirepeek.ini"},     {"/a/b/wirepeek.exe", "/a/b/wirepeek.ini"},
      {"/a/b.c/wirepeek", "/a/b.c/wirepeek.ini"}, {"/a/b/wire.peek.bin", "/a/b/wire.peek.ini"},
      {"/a/b/.wirepeek", "/a/b/.wirepeek.ini"},   {"wirepeek", "wirepeek.ini"},
      {"./wirepeek", "./wirepeek.ini"},
  };
  for (const auto& [exe, ini] : cases) EXPECT_EQ(IniPathOf(exe), ini) << exe;
}

TEST(SettingsPathsTest, ProgramPathsNameTheRunningTestBinary) {
  TGlobalSettings settings;
  SetProgramPaths(settings);
  ASSERT_FALSE(settings.ExePath.empty());
  EXPECT_TRUE(fs::equivalent(settings.ExePath, "/proc/self/exe"));
  EXPECT_EQ(settings.IniPath, IniPathOf(settings.ExePath));
}

TEST_F(SettingsFileTest, FirstRunCentresAndWritesTheFourKeys) {
  ReadSettings(Settings);
  EXPECT_EQ(Settings.Top, (1080 - 301) / 2);
  EXPECT_EQ(Settings.Left, (1920 - 640) / 2);
  EXPECT_EQ(Settings.StayOnTop, 0);
  EXPECT_EQ(Settings.Prot_IPAdr, 0);
  Settings.Top = -20;
  Settings.Left = 15;
  WriteSettings(Settings);
  EXPECT_EQ(Slurp(), "[Form]\r\nTop=-20\r\nLeft=15\r\nStayOnTop=0\r\nProt_IPAdr=0\r\n\r\n");
}

TEST_F(SettingsFileTest, StoredPositionsAndCentring) {
  const struct {
    const char* stored;  // Top and Left
    std::int32_t screenHeight, formHeight, expectedTop;
  } cases[] = {
      {"0", 1080, 301, 389},     // 0 means not placed: centred, odd difference truncated
      {"0", 100, 301, -100},     // toward zero, not down to -101
      {"-5", 1080, 301, -5},     // a screen left of or above the primary one
      {"$40", 1080, 301, 64},
      {"abc", 1080, 300, 390},   // unreadable: default 0, so centred
  };
  for (const auto& c : cases) {
    Spit(std::string("[form]\nTOP=") + c.stored + "\nleft=" + c.stored + "\n");
    Settings.ScreenHeight = c.screenHeight;
    Settings.FormHeight = c.formHeight;
    Settings.ScreenWidth = c.screenHeight;
    Settings.FormWidth = c.formHeight;
    ReadSettings(Settings);
    EXPECT_EQ(Settings.Top, c.expectedTop) << c.stored;
    EXPECT_EQ(Settings.Left, c.expectedTop) << c.stored;
  }
}

TEST_F(SettingsFileTest, FlagsReadAsNumbersAndWrittenAsZeroOrOne) {
  const struct {
    const char* stored;
    std::uint8_t value;
  } cases[] = {{"2", 1}, {"-1", 1}, {"0", 0}, {"yes", 0}};
  for (const auto& c : cases) {
    Spit(std::string("[Form]\r\nTop=1\r\nLeft=2\r\nStayOnTop=") + c.stored + "\r\nProt_IPAdr=" + c.stored + "\r\n");
    ReadSettings(Settings);
    EXPECT_EQ(Settings.StayOnTop, c.value) << c.stored;
    EXPECT_EQ(Settings.Prot_IPAdr, c.value) << c.stored;
    WriteSettings(Settings);
    const std::string flag = std::to_string(c.value);
    EXPECT_EQ(Slurp(), "[Form]\r\nTop=1\r\nLeft=2\r\nStayOnTop=" + flag + "\r\nProt_IPAdr=" + flag + "\r\n\r\n")
        << c.stored;
  }
}

TEST_F(SettingsFileTest, ForeignSectionsAndKeysSurviveCommentsDoNot) {
  Spit(
      "; written by hand\r\n[Other]\r\nColour=blue\r\n\r\n[Form]\r\nWidth = 500\r\nTop=40\r\n"
      "remark without equals\r\n; gone\r\nStayOnTop=1\r\n");
  ReadSettings(Settings);
  EXPECT_EQ(Settings.StayOnTop, 1);
  Settings.Prot_IPAdr = 1;
  WriteSettings(Settings);
  EXPECT_EQ(Slurp(),
            "[Other]\r\nColour=blue\r\n\r\n"
            "[Form]\r\nWidth=500\r\nTop=40\r\nremark without equals\r\nStayOnTop=1\r\nLeft=640\r\n"
            "Prot_IPAdr=1\r\n\r\n");
}

TEST_F(SettingsFileTest, WriteWithoutReadOrIntoNoDirectoryThrows) {
  EXPECT_THROW(WriteSettings(Settings), EIniFileError);

  std::ofstream(Dir / "plain") << "x";
  Settings.IniPath = (Dir / "plain" / "wirepeek.ini").string();
  ReadSettings(Settings);
  EXPECT_THROW(WriteSettings(Settings), EIniFileError);
}

TEST_F(SettingsFileTest, UnreadableFileKeepsDefaultsAndIsNotOverwritten) {
  fs::create_directory(Settings.IniPath);
  Settings.Top = 7;
  Settings.Prot_IPAdr = 1;
  EXPECT_THROW(ReadSettings(Settings), EIniFileError);
  EXPECT_EQ(Settings.Top, 389);
  EXPECT_EQ(Settings.Prot_IPAdr, 0);
  EXPECT_EQ(Settings.IniFile, nullptr);
  EXPECT_THROW(WriteSettings(Settings), EIniFileError);
}

namespace {

// Where an installed program keeps its settings.
TEST(SettingsPlaceProgram, BesideTheExecutableUnlessItCannotBeWritten) {
  const auto dir = std::filesystem::temp_directory_path() / ("wirepeek-place-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir / "bin");
  const std::string exe = (dir / "bin" / "wirepeek").string();
  const std::string config = (dir / "config").string();
  EXPECT_EQ(SettingsPathFor(exe, config), exe + ".ini");  // a writable folder
  EXPECT_EQ(SettingsPathFor("", config), "");
  // A folder nobody may write to, not even root: a path below a file.
  std::ofstream(dir / "file") << "x";
  const std::string blocked = (dir / "file" / "wirepeek").string();
  EXPECT_EQ(SettingsPathFor(blocked, config), config + "/wirepeek/wirepeek.ini");
  EXPECT_EQ(SettingsPathFor(blocked, ""), blocked + ".ini");  // nowhere else to go

  TGlobalSettings settings;
  settings.IniPath = SettingsPathFor(blocked, config);
  ReadSettings(settings);
  WriteSettings(settings);  // makes the configuration folder
  EXPECT_TRUE(std::filesystem::exists(config + "/wirepeek/wirepeek.ini"));
  std::filesystem::remove_all(dir);
}



// A program installed in <Dir>/bin, its user's configuration folder <Dir>/config.
struct TInstalled {
  explicit TInstalled(const std::string& Tag)
      : Dir(fs::temp_directory_path() / ("wirepeek-" + Tag + "-" + std::to_string(getpid()))) {
    fs::create_directories(Dir / "bin");
  }
  ~TInstalled() {
    std::error_code ignored;
    fs::remove_all(Dir, ignored);
  }
  const fs::path Dir;
  const std::string Bin = (Dir / "bin").string();
  const std::string Exe = Bin + "/wirepeek";
  const std::string Ini = Exe + ".ini";
  const std::string Config = (Dir / "config").string();
  const std::string Moved = Config + "/wirepeek/wirepeek.ini";
};

TEST(SettingsPlaceProgram, TheFolderMustTakeNewFilesForTheFileBesideToBeUsed) {
  const TInstalled program("rules");
  struct Case {
    const char* Name;
    bool FileExists, FileWritable, FolderWritable;
    std::string ConfigHome, Expected;
  };
  const Case cases[] = {
      {"writable folder, no file", false, false, true, program.Config, program.Ini},
      {"writable folder and file", true, true, true, program.Config, program.Ini},
      {"read-only file in a writable folder", true, false, true, program.Config, program.Moved},
      {"no file in a read-only folder", false, false, false, program.Config, program.Moved},
      {"writable file in a read-only folder", true, true, false, program.Config, program.Moved},
      {"read-only file and folder", true, false, false, program.Config, program.Moved},
      {"nowhere else to go", true, true, false, "", program.Ini},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove(program.Ini);
    if (c.FileExists) std::ofstream(program.Ini) << "[Form]\n";
    std::vector<std::string> asked;
    const auto writable = [&](const std::string& path) {
      asked.push_back(path);
      if (path == program.Ini) return c.FileWritable;
      if (fs::equivalent(path, program.Bin)) return c.FolderWritable;
      ADD_FAILURE() << "asked about " << path;
      return false;
    };
    EXPECT_EQ(SettingsPathFor(program.Exe, c.ConfigHome, writable), c.Expected);
    EXPECT_FALSE(asked.empty());
  }
}

// The real fault: a writable settings file in a folder that takes no new
// files. Root ignores file modes, so as root the folder is a read-only bind
// mount in a mount namespace of a child process, with the settings file
// itself bound writable over it.
TEST(SettingsPlaceProgram, WritableFileInAReadOnlyFolderMovesToTheConfigurationFolder) {
  if (::geteuid() == 0) SKIP_WITHOUT_TEST_NAMESPACES();  // root makes the folder read-only in a mount namespace
  const TInstalled program("readonly");
  const std::string store = (program.Dir / "store.ini").string();
  const std::string original = "[Other]\r\nColour=blue\r\n\r\n[Form]\r\nTop=40\r\nLeft=50\r\nStayOnTop=1\r\n\r\n";
  std::ofstream(program.Ini, std::ios::binary) << original;
  std::ofstream(store, std::ios::binary) << original;

  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeFds[0]);
    std::string report;
    const auto setup = [&]() -> bool {
      if (::geteuid() != 0) return ::chmod(program.Bin.c_str(), 0555) == 0;
      return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
             ::mount(program.Bin.c_str(), program.Bin.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
             ::mount(nullptr, program.Bin.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0 &&
             ::mount(store.c_str(), program.Ini.c_str(), nullptr, MS_BIND, nullptr) == 0;
    };
    if (!setup()) {
      report = std::string("SETUP ") + std::strerror(errno) + "\n";
    } else {
      report += std::string("FILE ") + (::access(program.Ini.c_str(), W_OK) == 0 ? "writable" : "read-only") + "\n";
      try {
        TIniFile(program.Ini).UpdateFile();
        report += "BESIDE saved\n";
      } catch (const EIniFileError&) {
        report += "BESIDE refused\n";
      }
      TGlobalSettings settings;
      settings.ExePath = program.Exe;
      settings.IniPath = SettingsPathFor(program.Exe, program.Config);
      report += "PATH " + settings.IniPath + "\n";
      try {
        ReadSettings(settings);
        report += "TOP " + std::to_string(settings.Top) + "\n";
        settings.Top = 77;
        WriteSettings(settings);
        report += "SAVED\n";
      } catch (const EIniFileError& e) {
        report += std::string("FAILED ") + e.what() + "\n";
      }
    }
    static_cast<void>(::write(pipeFds[1], report.data(), report.size()));
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  std::string report;
  char buffer[1024];
  for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) report.append(buffer, static_cast<std::size_t>(n));
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::chmod(program.Bin.c_str(), 0755);
  if (report.rfind("SETUP ", 0) == 0) {
    GTEST_SKIP() << "cannot make a read-only folder here: " << report;
  }
  // The fault is really there: the file may be written, its folder may not.
  EXPECT_NE(report.find("FILE writable\n"), std::string::npos) << report;
  EXPECT_NE(report.find("BESIDE refused\n"), std::string::npos) << report;
  EXPECT_NE(report.find("PATH " + program.Moved + "\n"), std::string::npos) << report;
  EXPECT_NE(report.find("TOP 40\n"), std::string::npos) << report;
  EXPECT_NE(report.find("SAVED\n"), std::string::npos) << report;
  EXPECT_EQ(ReadWholeFile(program.Moved), "[Other]\r\nColour=blue\r\n\r\n[Form]\r\nTop=77\r\nLeft=50\r\nStayOnTop=1\r\nProt_IPAdr=0\r\n\r\n");
  EXPECT_EQ(ReadWholeFile(program.Ini), original);
}

TEST(SettingsPlaceProgram, AMovedFileStartsFromTheOneBesideOnlyOnce) {
  const TInstalled program("seed");
  fs::create_directories(program.Config + "/wirepeek");
  TGlobalSettings settings;
  settings.ExePath = program.Exe;
  settings.IniPath = program.Moved;
  std::ofstream(program.Ini, std::ios::binary) << "[Form]\r\nTop=40\r\nProt_IPAdr=1\r\n";
  ReadSettings(settings);
  EXPECT_EQ(settings.Top, 40);
  EXPECT_EQ(settings.Prot_IPAdr, 1);
  settings.Prot_IPAdr = 0;
  WriteSettings(settings);
  // From now on the moved file is the one read.
  ReadSettings(settings);
  EXPECT_EQ(settings.Prot_IPAdr, 0);
}

}  // namespace
