// The version block is read back from files on disk: this test program's
// own executable (which the build gives a block), copies of it reworked with
// objcopy, and small ELF files made here around the same block bytes.
#include "support/VersionInfo.h"

#include "support/Settings.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::string bytes(static_cast<std::size_t>(fs::file_size(path)), '\0');
  std::ifstream in(path, std::ios::binary);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

void WriteAll(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Runs a program found on PATH; its exit code, or -1.
int RunProgram(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

class VersionInfoFilesProgram : public testing::Test {
 protected:
  void SetUp() override {
    Self = RunningExecutablePath();
    ASSERT_FALSE(Self.empty());
    ASSERT_GT(TVersionInfo::FromFile(Self).Size(), 0u)
        << "this test program carries no version block: the build must apply "
           "wirepeek_version_block(test_support)";
    std::string pattern = (fs::temp_directory_path() / "versioninfo-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    Dir = pattern;
  }
  void TearDown() override {
    if (!Dir.empty()) fs::remove_all(Dir);
  }
  // A copy of this executable, reworked by objcopy with Args.
  fs::path ObjcopiedSelf(const std::string& name, std::vector<std::string> args) {
    const fs::path copy = Dir / name;
    fs::copy_file(Self, copy);
    args.insert(args.begin(), "objcopy");
    args.push_back(copy.string());
    EXPECT_EQ(RunProgram(args), 0) << "objcopy failed";
    return copy;
  }
  std::string Self;
  fs::path Dir;
};

// Index from 1, as the dialog counts.
const std::string& ValueAt(const TAboutVersionInfo& info, std::size_t index) {
  return info.VersionValues.at(index - 1);
}

TEST_F(VersionInfoFilesProgram, OwnBlockHoldsTheProductTexts) {
  const TVersionInfo info = TVersionInfo::FromFile(Self);
  const std::string fileName = fs::path(Self).filename().string();
  struct TCase {
    std::string_view Key;
    std::optional<std::string> Expected;
  };
  const TCase cases[] = {
      {"ProductName", "Wirepeek"},
      {"ProductVersion", "1.0.0.0"},
      {"FileVersion", "1.0.0.0"},
      {"Comments", "使用ＰＣの伝送状態を簡便に監視する"},
      {"CompanyName", "The Wirepeek developers"},
      // The dialog's spellings differ in case from the block's.
      {"OriginalFileName", fileName},
      {"LegalTradeMarks", ""},
      {"productname", "Wirepeek"},
      // Present but empty, and absent.
      {"FileDescription", ""},
      {"InternalName", ""},
      {"PrivateBuild", std::nullopt},
      {"SpecialBuild", std::nullopt},
      {"Product", std::nullopt},
  };
  for (const TCase& c : cases) EXPECT_EQ(info.Value(c.Key), c.Expected) << c.Key;
  EXPECT_NE(info.Value("LegalCopyright").value_or("").find("Wirepeek developers"),
            std::string::npos);
  const std::vector<TVersionTranslation> japanese = {{0x0411, 0x03A4}};
  EXPECT_EQ(info.Translations(), japanese);
  EXPECT_EQ(info.FileVersion(), (std::array<std::uint16_t, 4>{1, 0, 0, 0}));
  EXPECT_EQ(info.ProductVersion(), info.FileVersion());
}

TEST_F(VersionInfoFilesProgram, LoadAndHomeKeyLines) {
  const TAboutVersionInfo info = LoadVersionInfo();
  const std::uint32_t size = TVersionInfo::FromFile(Self).Size();
  EXPECT_EQ(info.AboutExePath, Self);
  EXPECT_EQ(info.BuildDateText, BuildDateTextOf(Self));
  EXPECT_EQ(info.VersionInfoSize, size);
  EXPECT_EQ(info.LoadLines, std::vector<std::string>{"VersionInfoSize =" + std::to_string(size)});
  EXPECT_EQ(ValueAt(info, 8), "Wirepeek");
  EXPECT_EQ(ValueAt(info, 9), "1.0.0.0");
  EXPECT_EQ(ValueAt(info, 12), "使用ＰＣの伝送状態を簡便に監視する");
  EXPECT_EQ(ValueAt(info, 5), TVersionInfo::FromFile(Self).Value("LegalCopyright"));

  const std::vector<std::string> lines = VersionTraceLines(info);
  ASSERT_EQ(lines.size(), 14u);
  EXPECT_EQ(lines[0], "Load=" + Self);
  EXPECT_EQ(lines[1], info.BuildDateText);
  EXPECT_EQ(lines[2 + 0], "ix= 1 (The Wirepeek developers)");
  EXPECT_EQ(lines[2 + 7], "ix= 8 (Wirepeek)");
  EXPECT_EQ(lines[2 + 9], "ix=10 ()");
  EXPECT_EQ(lines[2 + 11], "ix=12 (使用ＰＣの伝送状態を簡便に監視する)");
}

TEST_F(VersionInfoFilesProgram, RemovedSectionMeansNoInformation) {
  const fs::path copy =
      ObjcopiedSelf("stripped", {"--remove-section", std::string(VersionSectionName)});
  const TAboutVersionInfo info = LoadVersionInfo(copy.string());
  EXPECT_EQ(info.VersionInfoSize, 0u);
  EXPECT_EQ(info.LoadLines, std::vector<std::string>{"No version information found"});
  for (const std::string& value : info.VersionValues) EXPECT_EQ(value, "");
  EXPECT_FALSE(info.BuildDateText.empty());
  EXPECT_EQ(VersionTraceLines(info).at(2 + 7), "ix= 8 ()");
}

TEST_F(VersionInfoFilesProgram, OtherLanguageTableOnlyLeavesValuesEmpty) {
  const fs::path dump = Dir / "block.bin";
  ObjcopiedSelf("dumped", {"--dump-section", std::string(VersionSectionName) + "=" + dump.string()});
  std::string block = ReadAll(dump);
  const std::size_t name = block.find(VersionTableName);
  const std::string pair = {'\x11', '\x04', '\xA4', '\x03'};
  const std::size_t translation = block.rfind(pair);
  ASSERT_NE(name, std::string::npos);
  ASSERT_NE(translation, std::string::npos);
  block.replace(name, 8, "040904B0");
  block.replace(translation, 4, std::string{'\x09', '\x04', '\xB0', '\x04'});
  WriteAll(dump, block);

  const fs::path copy = ObjcopiedSelf(
      "english", {"--update-section", std::string(VersionSectionName) + "=" + dump.string()});
  const TAboutVersionInfo info = LoadVersionInfo(copy.string());
  EXPECT_GT(info.VersionInfoSize, 0u);
  for (const std::string& value : info.VersionValues) EXPECT_EQ(value, "");
  // The block itself was read: the values are there, under the other name.
  EXPECT_EQ(TVersionInfo::FromFile(copy.string()).Query("040904b0", "ProductName"), "Wirepeek");
}

// ---- Small ELF files made around the real block --------------------------

// ELF header | section names | block | section headers (null, names, block).
struct TMadeElf {
  std::string Bytes;
  std::size_t Block = 0;          // offset of the block
  std::size_t NamesHeader = 0;    // offset of the names' section header
  std::size_t VersionHeader = 0;  // offset of the block's section header
};

void Put(std::string& bytes, std::size_t at, std::size_t width, std::uint64_t value, bool big) {
  for (std::size_t i = 0; i < width; ++i) {
    const std::size_t shift = 8 * (big ? width - 1 - i : i);
    bytes[at + i] = static_cast<char>((value >> shift) & 0xFF);
  }
}

TMadeElf MakeElf(std::string_view block, bool big = false) {
  TMadeElf elf;
  const std::string names = std::string("\0.shstrtab\0", 11) + std::string(VersionSectionName) + '\0';
  std::string& b = elf.Bytes;
  b.assign(64, '\0');
  b.replace(0, 4, "\x7f" "ELF");
  b[4] = 2;
  b[5] = big ? 2 : 1;
  b[6] = 1;
  b += names;
  elf.Block = b.size();
  b += block;
  const std::size_t table = b.size();
  b.append(3 * 64, '\0');
  elf.NamesHeader = table + 64;
  elf.VersionHeader = table + 128;
  Put(b, 0x28, 8, table, big);
  Put(b, 0x3A, 2, 64, big);
  Put(b, 0x3C, 2, 3, big);
  Put(b, 0x3E, 2, 1, big);
  const auto section = [&](std::size_t at, std::uint32_t name, std::size_t offset, std::size_t size) {
    Put(b, at + 0, 4, name, big);
    Put(b, at + 4, 4, 1 /* PROGBITS */, big);
    Put(b, at + 24, 8, offset, big);
    Put(b, at + 32, 8, size, big);
  };
  section(elf.NamesHeader, 1, 64, names.size());
  section(elf.VersionHeader, 11, elf.Block, block.size());
  return elf;
}

class VersionInfoElfProgram : public VersionInfoFilesProgram {
 protected:
  void SetUp() override {
    VersionInfoFilesProgram::SetUp();
    if (HasFatalFailure()) return;
    auto bytes = ReadElfSection(Self, VersionSectionName);
    ASSERT_TRUE(bytes.has_value());
    Block = *bytes;
  }
  TVersionInfo ReadMade(std::string_view bytes) {
    WriteAll(Dir / "made", bytes);
    return TVersionInfo::FromFile((Dir / "made").string());
  }
  std::string Block;
};

TEST_F(VersionInfoElfProgram, MadeFilesOfBothByteOrdersAndExtendedNumbering) {
  for (bool big : {false, true}) {
    TMadeElf elf = MakeElf(Block, big);
    EXPECT_EQ(ReadMade(elf.Bytes).Value("ProductName"), "Wirepeek") << big;
    // Section count and names index kept in entry 0, as for huge files.
    Put(elf.Bytes, 0x3C, 2, 0, big);
    Put(elf.Bytes, 0x3E, 2, 0xFFFF, big);
    const std::size_t zero = elf.NamesHeader - 64;
    Put(elf.Bytes, zero + 32, 8, 3, big);
    Put(elf.Bytes, zero + 40, 4, 1, big);
    EXPECT_EQ(ReadMade(elf.Bytes).Value("ProductName"), "Wirepeek") << big;
  }
  // A record of an unknown kind is skipped (here: the translation record).
  TMadeElf elf = MakeElf(Block);
  Put(elf.Bytes, elf.Block + Block.size() - 12, 2, 99, false);
  const TVersionInfo info = ReadMade(elf.Bytes);
  EXPECT_EQ(info.Value("ProductName"), "Wirepeek");
  EXPECT_TRUE(info.Translations().empty());
}

TEST_F(VersionInfoElfProgram, GarbledFilesHaveNoInformation) {
  enum TBase { ElfHeader, NamesHeader, VersionHeader, BlockStart, BlockEnd };
  struct TCase {
    const char* Name;
    TBase Base;
    std::int64_t Offset;
    std::size_t Width;
    std::uint64_t Value;
  };
  constexpr std::uint64_t Max = std::numeric_limits<std::uint64_t>::max();
  const TCase cases[] = {
      {"Elf32", ElfHeader, 4, 1, 1},
      {"UnknownByteOrder", ElfHeader, 5, 1, 3},
      {"TableBeyondFile", ElfHeader, 0x28, 8, Max - 10},
      {"NoTable", ElfHeader, 0x28, 8, 0},
      {"EntryTooSmall", ElfHeader, 0x3A, 2, 16},
      {"TooManySections", ElfHeader, 0x3C, 2, 0xFFFE},
      {"NamesIndexOutOfRange", ElfHeader, 0x3E, 2, 3},
      {"NamesBeyondFile", NamesHeader, 24, 8, Max - 2},
      {"NamesEmpty", NamesHeader, 32, 8, 0},
      {"NamesNoBits", NamesHeader, 4, 4, 8},
      {"NameOutsideNames", VersionHeader, 0, 4, 0xFFFFFFFF},
      {"SectionBeyondFile", VersionHeader, 24, 8, Max - 4},
      {"SectionHuge", VersionHeader, 32, 8, Max},
      {"SectionNoBits", VersionHeader, 4, 4, 8},
      {"BadMagic", BlockStart, 0, 1, 'X'},
      {"LaterFormat", BlockStart, 4, 2, 2},
      {"BlockLongerThanSection", BlockStart, 8, 4, 0xFFFFFFFF},
      {"BlockShorterThanHeader", BlockStart, 8, 4, 31},
      {"RecordSizeZero", BlockStart, 36, 4, 0},
      {"RecordSizeBelowHeader", BlockStart, 36, 4, 7},
      {"RecordBeyondBlock", BlockStart, 36, 4, 0xFFFFFF},
      {"MoreEntriesThanFit", BlockStart, 34, 2, 0xFFFF},
      {"KeyBeyondRecord", BlockStart, 48, 2, 0xFFFF},
      {"MoreTranslationsThanFit", BlockEnd, -10, 2, 2},
  };
  const TMadeElf elf = MakeElf(Block);
  ASSERT_GT(ReadMade(elf.Bytes).Size(), 0u);
  for (const TCase& c : cases) {
    const std::size_t bases[] = {0, elf.NamesHeader, elf.VersionHeader, elf.Block,
                                 elf.Block + Block.size()};
    std::string bytes = elf.Bytes;
    Put(bytes, static_cast<std::size_t>(static_cast<std::int64_t>(bases[c.Base]) + c.Offset),
        c.Width, c.Value, false);
    EXPECT_EQ(ReadMade(bytes).Size(), 0u) << c.Name;
  }
}

TEST_F(VersionInfoElfProgram, TruncatedAndOverwrittenFilesNeverCrash) {
  const TMadeElf elf = MakeElf(Block);
  // The section headers come last: any cut loses them.
  for (std::size_t length = 0; length < elf.Bytes.size(); length += 7) {
    EXPECT_EQ(ReadMade(elf.Bytes.substr(0, length)).Size(), 0u) << length;
  }
  // Each byte in turn set to 0xFF; whatever is read stays inside the block.
  for (std::size_t at = 0; at < elf.Bytes.size(); ++at) {
    std::string bytes = elf.Bytes;
    bytes[at] = '\xFF';
    EXPECT_LE(ReadMade(bytes).Size(), Block.size()) << at;
  }
  EXPECT_EQ(ReadMade(std::string(4096, '\x7f')).Size(), 0u);
  EXPECT_EQ(TVersionInfo::FromFile((Dir / "missing").string()).Size(), 0u);
  EXPECT_EQ(TVersionInfo::FromFile(Dir.string()).Size(), 0u);
  EXPECT_EQ(LoadVersionInfo((Dir / "missing").string()).BuildDateText, "");
}

// ---- Build date ------------------------------------------------------------

class VersionInfoDateTest : public testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) SavedTz = tz;
  }
  void TearDown() override {
    if (SavedTz) setenv("TZ", SavedTz->c_str(), 1); else unsetenv("TZ");
    tzset();
  }
  std::optional<std::string> SavedTz;
};

TEST_F(VersionInfoDateTest, LastWriteTimeInLocalTimeWithoutLeadingZeros) {
  struct TCase {
    const char* Zone;
    int Year, Month, Day, Hour, Minute, Second;  // UTC
    const char* Expected;
  };
  const TCase cases[] = {
      {"UTC0", 2004, 3, 2, 9, 5, 7, "2004/3/2,9:5:7"},
      {"UTC0", 2023, 12, 31, 23, 59, 59, "2023/12/31,23:59:59"},
      {"UTC0", 2010, 1, 1, 0, 0, 0, "2010/1/1,0:0:0"},
      // Local time, across a date line: 00:05:07 UTC is 09:05:07 in Japan.
      {"JST-9", 2004, 3, 2, 0, 5, 7, "2004/3/2,9:5:7"},
      {"JST-9", 2004, 2, 29, 20, 0, 1, "2004/3/1,5:0:1"},
      {"EST5", 2004, 3, 1, 3, 0, 0, "2004/2/29,22:0:0"},
  };
  const fs::path file = fs::temp_directory_path() / ("versioninfo-date-" + std::to_string(getpid()));
  WriteAll(file, "x");
  for (const TCase& c : cases) {
    setenv("TZ", c.Zone, 1);
    tzset();
    std::tm utc{};
    utc.tm_year = c.Year - 1900;
    utc.tm_mon = c.Month - 1;
    utc.tm_mday = c.Day;
    utc.tm_hour = c.Hour;
    utc.tm_min = c.Minute;
    utc.tm_sec = c.Second;
    const timespec times[2] = {{timegm(&utc), 0}, {timegm(&utc), 999'000'000}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    EXPECT_EQ(BuildDateTextOf(file.string()), c.Expected) << c.Zone << " " << c.Expected;
  }
  fs::remove(file);
}

}  // namespace
