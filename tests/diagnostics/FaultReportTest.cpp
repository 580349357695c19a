// Runs the fault helper (a program with its own link map) in child processes
// and checks the reports it writes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "diagnostics/LinkMap.h"
#include "common/Files.h"

namespace {

namespace fs = std::filesystem;

struct TRun {
  std::vector<std::string> Lines;
  int Status = 0;
  bool Has(const std::string& Line) const {
    return std::find(Lines.begin(), Lines.end(), Line) != Lines.end();
  }
  std::size_t IndexOf(const std::string& Prefix) const {
    for (std::size_t i = 0; i < Lines.size(); ++i) {
      if (Lines[i].rfind(Prefix, 0) == 0) return i;
    }
    return Lines.size();
  }
};

// The sanitizers' own fault handling stays out of the child's way.
const char* const ChildEnvironment[] = {
    "ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:use_sigaltstack=0:detect_leaks=0",
    "TSAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0", "UBSAN_OPTIONS=halt_on_error=0",
    "TZ=UTC", nullptr};

TRun RunHelper(const std::string& Program, const std::vector<std::string>& Arguments, const fs::path& Folder) {
  // Minimal fault reports go to the state folder inside the test's folder.
  const std::string state = "XDG_STATE_HOME=" + (Folder / "state").string();
  std::vector<const char*> environment(std::begin(ChildEnvironment), std::end(ChildEnvironment) - 1);
  environment.push_back(state.c_str());
  environment.push_back(nullptr);
  int pipeFds[2];
  EXPECT_EQ(pipe(pipeFds), 0);
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipeFds[1], 1);
    close(pipeFds[0]);
    if (chdir(Folder.c_str()) != 0) _exit(126);
    std::vector<char*> argv{const_cast<char*>(Program.c_str())};
    for (const std::string& a : Arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execve(Program.c_str(), argv.data(), const_cast<char* const*>(environment.data()));
    _exit(127);
  }
  close(pipeFds[1]);
  std::string output;
  char buffer[4096];
  for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<std::size_t>(n));
  close(pipeFds[0]);
  TRun run;
  waitpid(child, &run.Status, 0);
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) run.Lines.push_back(line);
  return run;
}

// The line of a helper source that carries "MARK:<name>".
int MarkedLine(const std::string& Name, const std::string& File = "FaultHelper.cpp") {
  std::ifstream source(fs::path(__FILE__).parent_path() / "helper" / File);
  int number = 0;
  for (std::string line; std::getline(source, line);) {
    ++number;
    if (line.find("// MARK:" + Name) != std::string::npos) return number;
  }
  return -1;
}

class FaultReportProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    Folder = fs::temp_directory_path() / ("wp_diag_" + std::to_string(getpid()) + "_" +
                                          ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(Folder);
  }
  void TearDown() override { fs::remove_all(Folder); }
  TRun Run(const std::vector<std::string>& Arguments) { return RunHelper(WIREPEEK_FAULT_HELPER, Arguments, Folder); }
  fs::path Folder;
};

// "[ n] $<16 hex>: diagnostics_fault_helper - <procedure> - <file>(<line>)"
const std::regex FrameLine(R"(\[([ \d]\d)\] \$[0-9A-F]{16}: (\S*) - (.*) - (.*)\((\d+)\))");

TEST_F(FaultReportProgram, EventHandlerFaultsAreReportedAtTheFaultingLineAndTheLoopGoesOn) {
  const TRun run = Run({"events", "-D"});
  ASSERT_TRUE(WIFEXITED(run.Status)) << run.Status;
  struct Case {
    const char* Title;
    const char* Mark;
    const char* Procedure;
    const char* Message;
    const char* Code;
  };
  const Case cases[] = {
      {"// System Exception:", "null", "TFaultEvents.NullDereference", "Access violation at address $", "$C000000B"},
      {"// System Exception:", "div", "TFaultEvents.DivideByZero", "Division by zero", "$C0000008"},
      {"// C++ Exception: Classname=std::runtime_error", "throw", "TFaultEvents.ThrowRuntimeError", "bad state",
       "$0EEDFADE"},
  };
  std::size_t from = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Mark);
    auto title = std::find(run.Lines.begin() + static_cast<std::ptrdiff_t>(from), run.Lines.end(), c.Title);
    ASSERT_NE(title, run.Lines.end());
    const auto at = static_cast<std::size_t>(title - run.Lines.begin());
    ASSERT_LT(at + 7, run.Lines.size());
    const std::string line = std::to_string(MarkedLine(c.Mark));
    EXPECT_TRUE(std::regex_match(run.Lines[at + 1], std::regex(R"(\[ 0\] RIP=\$[0-9A-F]{16} RBP=\$[0-9A-F]{16} RSP=\$[0-9A-F]{16} EFLAGS=\$[0-9A-F]{8})")))
        << run.Lines[at + 1];
    EXPECT_TRUE(std::regex_match(run.Lines[at + 2], std::regex(R"(\[ 0\] RAX=\$[0-9A-F]{16} RBX=\$[0-9A-F]{16} RCX=\$[0-9A-F]{16} RDX=\$[0-9A-F]{16})")));
    EXPECT_EQ(run.Lines[at + 3], "[ 0] ExceptAddr=" + run.Lines[at + 1].substr(9, 17));
    EXPECT_EQ(run.Lines[at + 4], "[ 0] FileName=FaultHelper.cpp");
    EXPECT_EQ(run.Lines[at + 5], "[ 0] LineNumber=" + line);
    EXPECT_EQ(run.Lines[at + 6], std::string("[ 0] ErrorCode=") + c.Code);
    std::smatch frame;
    ASSERT_TRUE(std::regex_match(run.Lines[at + 7], frame, FrameLine)) << run.Lines[at + 7];
    EXPECT_EQ(frame[1], " 1");
    EXPECT_EQ(frame[2], "diagnostics_fault_helper");
    EXPECT_EQ(frame[3], c.Procedure);
    EXPECT_EQ(frame[4], "FaultHelper.cpp");
    EXPECT_EQ(frame[5], line);
    // The frames go on to the event loop's caller: the report is a real walk.
    bool sawEvent = false;
    std::size_t i = at + 7;
    for (; i < run.Lines.size() && std::regex_match(run.Lines[i], frame, FrameLine); ++i) {
      sawEvent = sawEvent || frame[3] == "Event";
    }
    EXPECT_TRUE(sawEvent);
    // The application-wide handler's message line follows the report.
    ASSERT_LT(i, run.Lines.size());
    EXPECT_EQ(run.Lines[i].rfind(c.Message, 0), 0u) << run.Lines[i];
    from = i;
  }
  EXPECT_TRUE(run.Has("later event handled"));
  EXPECT_TRUE(run.Has("EVENT later done"));
  EXPECT_EQ(run.IndexOf("LOG "), run.Lines.size()) << "debug from the start: no automatic log";
}

TEST_F(FaultReportProgram, FirstReportInNormalModeSwitchesToDebugAndSavesTheLog) {
  const TRun run = Run({"events"});
  ASSERT_TRUE(WIFEXITED(run.Status));
  ASSERT_FALSE(run.Lines.empty());
  // The first report begins with its title, though the switch came first.
  EXPECT_EQ(run.Lines[0], "// System Exception:");
  EXPECT_EQ(run.Lines[1].rfind("[ 0] RIP=$", 0), 0u) << run.Lines[1];
  const std::size_t log = run.IndexOf("LOG ALOG");
  ASSERT_LT(log, run.Lines.size());
  const std::string name = run.Lines[log].substr(4);
  EXPECT_TRUE(std::regex_match(name, std::regex(R"(ALOG\d{8}_\d{6}\.txt)"))) << name;
  std::ifstream file(Folder / name, std::ios::binary);
  std::string first;
  ASSERT_TRUE(std::getline(file, first));
  EXPECT_EQ(first, run.Lines[0] + "\r");
}

TEST_F(FaultReportProgram, SpecialFrames) {
  {
    SCOPED_TRACE("deep recursion stops at 100 frames");
    const TRun run = Run({"deep", "-D"});
    EXPECT_LT(run.IndexOf("[100] $"), run.Lines.size());
    EXPECT_EQ(run.IndexOf("[101] $"), run.Lines.size());
    EXPECT_TRUE(run.Has("[ 0] LineNumber=" + std::to_string(MarkedLine("deep"))));
  }
  {
    SCOPED_TRACE("fault in a shared library: module name, no procedure");
    const TRun run = Run({"shared", "-D"});
    const std::size_t first = run.IndexOf("[ 1] $");
    ASSERT_LT(first, run.Lines.size());
    std::smatch frame;
    ASSERT_TRUE(std::regex_match(run.Lines[first], frame, FrameLine)) << run.Lines[first];
    EXPECT_EQ(frame[2].str().rfind("libc.so", 0), 0u);
    EXPECT_EQ(frame[3], "");
    EXPECT_EQ(frame[5], "0");
    EXPECT_TRUE(run.Has("[ 0] FileName="));
    // Its caller is named again (a sanitizer build has its interceptor in between).
    bool sawCaller = false;
    for (std::size_t i = first + 1; i < run.Lines.size() && i < first + 3; ++i) {
      sawCaller = sawCaller || run.Lines[i].find(" - TFaultEvents.InSharedLibrary - FaultHelper.cpp(") != std::string::npos;
    }
    EXPECT_TRUE(sawCaller);
  }
  {
    SCOPED_TRACE("rethrow carries no object");
    const TRun run = Run({"rethrow", "-D"});
    EXPECT_TRUE(run.Has("// C++ Exception: Classname=std::logic_error"));
    const std::size_t rethrow = run.IndexOf("// C++ Exception: Classname=");
    EXPECT_TRUE(run.Has("// C++ Exception: Classname="));
    EXPECT_TRUE(run.Has("[ 0] LineNumber=" + std::to_string(MarkedLine("rethrow"))));
    EXPECT_LT(rethrow, run.Lines.size());
  }
}


// The start of the procedure of that name that holds Distance bytes of code
// after its start (a compiler may split a function into a hot and a cold
// part of the same name); 0 when none does.
std::uint64_t ProcedureStart(const std::string& Map, const std::string& Name, std::uint64_t Distance) {
  std::istringstream lines(Map);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string tag, start, size, file, name;
    fields >> tag >> start >> size >> file >> name;
    if (tag == "P" && name == Name && Distance < std::stoull(size, nullptr, 16)) return std::stoull(start, nullptr, 16);
  }
  return 0;
}

TEST_F(FaultReportProgram, AFaultInInlinedLibraryCodeNamesTheProjectLineThatInlinedIt) {
  const TRun run = Run({"inlined", "-D"});
  ASSERT_TRUE(WIFEXITED(run.Status)) << run.Status;
  const int marked = MarkedLine("inlined", "InlinedAccess.cpp");
  const std::string line = std::to_string(marked);
  const std::size_t title = run.IndexOf("// System Exception:");
  ASSERT_LT(title + 7, run.Lines.size());
  EXPECT_EQ(run.Lines[title + 4], "[ 0] FileName=InlinedAccess.cpp");
  EXPECT_EQ(run.Lines[title + 5], "[ 0] LineNumber=" + line);
  std::smatch frame;
  ASSERT_TRUE(std::regex_match(run.Lines[title + 7], frame, FrameLine)) << run.Lines[title + 7];
  EXPECT_EQ(frame[3], "ReadGauge");
  EXPECT_EQ(frame[4], "InlinedAccess.cpp");
  EXPECT_EQ(frame[5], line);

  // The faulting instruction, relative to the map's addresses.
  const std::size_t gauge = run.IndexOf("GAUGE ");
  ASSERT_LT(gauge, run.Lines.size());
  const std::string exceptAddr = "[ 0] ExceptAddr=$";
  ASSERT_EQ(run.Lines[title + 3].rfind(exceptAddr, 0), 0u);
  const std::uint64_t function = std::stoull(run.Lines[gauge].substr(6), nullptr, 16);
  const std::uint64_t fault = std::stoull(run.Lines[title + 3].substr(exceptAddr.size()), nullptr, 16);
  const std::string mapText = ReadWholeFile(WIREPEEK_FAULT_HELPER ".map");
  ASSERT_GE(fault, function);
  const std::uint64_t start = ProcedureStart(mapText, "ReadGauge", fault - function);
  ASSERT_NE(start, 0u);
  const std::uint64_t offset = start + (fault - function);
  const auto map = TLinkMap::Parse(mapText);
  ASSERT_TRUE(map);
  EXPECT_EQ(map->SourceFileAt(offset), "InlinedAccess.cpp");
  EXPECT_EQ(map->LineAt(offset), marked);

  // The fault really lies in inlined library code: a map that takes every
  // file for the project's own keeps the library's lines, and names a
  // library header there.
  const fs::path raw = Folder / "library-lines.map";
  const std::string command = std::string(WIREPEEK_MAPWRITER) + " " + WIREPEEK_FAULT_HELPER + " / " + raw.string();
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const auto libraryLines = TLinkMap::Parse(ReadWholeFile(raw));
  ASSERT_TRUE(libraryLines);
  EXPECT_EQ(libraryLines->ProcedureAt(offset), "ReadGauge");
  const std::string header = libraryLines->SourceFileAt(offset);
  EXPECT_NE(header, "InlinedAccess.cpp");
  EXPECT_NE(header, "");
}

TEST_F(FaultReportProgram, FaultsInsideReportsAndSafeCallsAndUnwatchedFaults) {
  {
    SCOPED_TRACE("a fault or throw inside a report does not recurse");
    const TRun run = Run({"nested", "-D"});
    ASSERT_TRUE(WIFEXITED(run.Status));
    EXPECT_EQ(std::count(run.Lines.begin(), run.Lines.end(), "// System Exception:"), 1);
    EXPECT_EQ(std::count(run.Lines.begin(), run.Lines.end(), "language report"), 1);
    EXPECT_LT(run.IndexOf("Access violation at address"), run.Lines.size());
    EXPECT_TRUE(run.Has("bad state"));
    EXPECT_TRUE(run.Has("later event handled"));
  }
  {
    SCOPED_TRACE("safecall");
    const TRun run = Run({"safecall", "-D"});
    EXPECT_TRUE(run.Has("// C++ SafeCall Exception:"));
    EXPECT_EQ(std::count(run.Lines.begin(), run.Lines.end(), "// System SafeCall Exception:"), 2);
    EXPECT_TRUE(run.Has("TARGET bad state"));
    EXPECT_TRUE(run.Has("SAFECALL throw 42"));
    EXPECT_TRUE(run.Has("SAFECALL fault 42"));
    EXPECT_TRUE(run.Has("SAFECALL none -1"));
    EXPECT_TRUE(run.Has("SAFECALL ok 0"));
  }
  {
    SCOPED_TRACE("no watcher, no abandon point: the default action");
    const TRun run = Run({"unwatched", "-D"});
    EXPECT_TRUE(WIFSIGNALED(run.Status) && WTERMSIG(run.Status) == SIGSEGV) << run.Status;
  }
}

TEST_F(FaultReportProgram, AFaultWhileTheTraceChannelIsLockedIsReportedAtItsLine) {
  const TRun run = Run({"channel", "-D"});
  ASSERT_TRUE(WIFEXITED(run.Status)) << run.Status;
  const std::size_t title = run.IndexOf("// System Exception:");
  ASSERT_LT(title, run.Lines.size());
  ASSERT_LT(title + 5, run.Lines.size());
  EXPECT_EQ(run.Lines[title + 5], "[ 0] LineNumber=" + std::to_string(MarkedLine("channel")));
  const std::size_t message = run.IndexOf("Access violation at address");
  EXPECT_GT(message, title);
  EXPECT_LT(message, run.IndexOf("EVENT channel abandoned"));
  EXPECT_TRUE(run.Has("later event handled"));
}

TEST_F(FaultReportProgram, AFaultOutsideTheEventsIsReportedSavedAndEndsTheProcess) {
  const TRun run = Run({"fatal"});
  EXPECT_TRUE(WIFSIGNALED(run.Status) && WTERMSIG(run.Status) == SIGSEGV) << run.Status;
  // Normal mode: the report switched to debug mode, so the log is saved.
  EXPECT_LT(run.IndexOf("[ 0] RIP=$"), run.Lines.size());
  const std::size_t log = run.IndexOf("FATAL LOG ALOG");
  ASSERT_LT(log, run.Lines.size());
  EXPECT_TRUE(fs::exists(Folder / run.Lines[log].substr(10)));
  // The minimal report, written before anything else, in the state folder.
  std::vector<fs::path> minimal;
  for (const auto& entry : fs::directory_iterator(Folder / "state" / "wirepeek")) minimal.push_back(entry.path());
  ASSERT_EQ(minimal.size(), 1u);
  EXPECT_EQ(minimal[0].filename().string().rfind("wirepeek-fault-", 0), 0u);
  std::ifstream in(minimal[0]);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "wirepeek: fault: SIGSEGV code 1 address $0000000000000000");
  EXPECT_EQ(lines[1].rfind("[ 0] RIP=$", 0), 0u);
  EXPECT_EQ(lines[2].rfind("[ 0] RAX=$", 0), 0u);
  EXPECT_TRUE(std::regex_match(lines[3], std::regex(R"(\[ 1\] \$[0-9A-F]{16})"))) << lines[3];
}

TEST_F(FaultReportProgram, AssertionsReportAndGoOn) {
  const TRun run = Run({"assert"});
  EXPECT_TRUE(run.Has("ASSERT FaultHelper.cpp " + std::to_string(MarkedLine("assert")) + " 1"));
  const std::size_t box = run.IndexOf("BOX Assert [FaultHelper.cpp(");
  ASSERT_LT(box, run.Lines.size());
  ASSERT_LT(box + 1, run.Lines.size());
  EXPECT_EQ(run.Lines[box + 1].rfind("zero is not one]", 0), 0u) << run.Lines[box + 1];
  EXPECT_LT(run.IndexOf("ASSERT went on"), run.Lines.size());
  // The 300-character message is cut to the 255-character box text.
  EXPECT_LT(run.IndexOf(std::string(200, 'x')), run.Lines.size());
  bool sawCut = false;
  for (const std::string& line : run.Lines) sawCut = sawCut || (line.find("x] 255") != std::string::npos);
  EXPECT_TRUE(sawCut);
}

}  // namespace
