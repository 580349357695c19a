// The window program as a user starts it: the real executable with its map
// (or a tampered one), the switches and the toolkit's options, and faults
// at start-up, in child processes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <QRegularExpression>

#include "common/TestNetwork.h"
#include "common/ChildProcess.h"
#include "common/Files.h"
#include "common/Reachable.h"

namespace {

namespace fs = std::filesystem;

// Map with Change applied to each line (an empty answer: the line stays, a
// map has no empty line); false when no line changed. A map has hundreds of
// thousands of lines: each is looked at in place, and only a changed one is
// made anew.
using TLineEdit = std::function<std::string(std::string_view)>;
bool EditLines(std::string& Map, const TLineEdit& Change) {
  std::string result;
  result.reserve(Map.size());
  bool changed = false;
  for (std::size_t at = 0; at < Map.size();) {
    const std::size_t end = std::min(Map.find('\n', at), Map.size());
    const std::string_view line(Map.data() + at, end - at);
    const std::string edited = Change(line);
    changed = changed || (!edited.empty() && edited != line);
    result += edited.empty() ? line : std::string_view(edited);
    result += '\n';
    at = end + 1;
  }
  Map = std::move(result);
  return changed;
}

// Both records of the check: the compiler splits it into a hot and a cold part.
bool IsCheckRecord(std::string_view line) { return line.starts_with("P ") && line.ends_with(" TMainForm.CheckMapFile"); }

// The first four fields of a map line, split at spaces.
std::array<std::string_view, 4> MapLineFields(std::string_view line) {
  std::array<std::string_view, 4> fields{};
  for (auto& field : fields) {
    const std::size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    line.remove_prefix(start);
    field = line.substr(0, line.find(' '));
    line.remove_prefix(field.size());
  }
  return fields;
}

// Every line row of the file that holds the map check moved to line 5: the
// line answer then lies too close to the location answer.
bool ShiftMainUnitLines(std::string& Map) {
  std::string file;  // the F records come first
  return EditLines(Map, [&](std::string_view l) {
    const auto [tag, a, b, c] = MapLineFields(l);
    if (tag == "F" && b == "MainUnit.cpp") file = a;
    return tag == "L" && b == file && c != "0" ? "L " + std::string(a) + " " + file + " 5" : std::string();
  });
}

// The shipped program, copied with its map changed by Change (false: no
// map), started as a user would start it: a map that passes lets the capture
// run and the program quit on its own; one that fails is named in the alert,
// and no settings file is written.
TEST(StartUpProgram, ATamperedMapIsReportedAndEndsTheProgram) {
  struct TCase {
    const char* Name;
    std::function<bool(std::string&)> Change;
    std::string Alert;  // empty: the map passes
  };
  const TCase cases[] = {
      {"matching", [](std::string&) { return true; }, ""},
      {"missing", [](std::string&) { return false; }, "map ファイルがありません:wirepeek.map"},
      {"other build",
       [](std::string& m) {
         return EditLines(m, [](auto l) { return std::string(l.starts_with("BUILDID ") ? "BUILDID 0123" : ""); });
       },
       "map ファイルが異常です(FILE):wirepeek.map"},
      {"wrong procedure name",
       [](std::string& m) {
         return EditLines(m, [](auto l) { return IsCheckRecord(l) ? std::string(l) + "X" : ""; });
       },
       "map ファイルが異常です(PROC):wirepeek.map"},
      {"moved procedure address",
       [](std::string& m) {
         return EditLines(m, [](auto l) { return IsCheckRecord(l) ? "P 1" + std::string(l.substr(2)) : ""; });
       },
       "map ファイルが異常です(FILE):wirepeek.map"},
      {"shifted lines", ShiftMainUnitLines, "map ファイルが異常です(LINE):wirepeek.map"},
      {"garbled", [](std::string& m) { m.resize(m.size() / 2); return true; }, "map ファイルが異常です(FILE):wirepeek.map"},
  };
  const fs::path dir = fs::temp_directory_path() / ("wirepeek-map-" + std::to_string(getpid()));
  const std::string original = ReadWholeFile(std::string(WIREPEEK_BINARY) + ".map");
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::copy_file(WIREPEEK_BINARY, dir / "wirepeek");
    std::string map = original;
    if (c.Change(map)) std::ofstream(dir / "wirepeek.map", std::ios::binary) << map;
    // The toolkit's own options are left to it; -D still counts (the report then has "dumps").
    TChildProcess program(nullptr, {"./wirepeek", "-style", "fusion", "-session", "abc", "-sync", "-D", "--start", "127.0.0.1",
                           "--quit-after", "0"}, dir, "run",
                          {.WorkingFolder = dir,
                           .Environment = {"XDG_STATE_HOME=" + dir.string(), "QT_QPA_PLATFORM=offscreen"}});
    if (c.Alert.empty()) {
      EXPECT_EQ(program.Wait(std::chrono::seconds(30)), 0) << program.Errors();
      EXPECT_EQ(program.Errors().find("wirepeek: map "), std::string::npos) << program.Errors();
      EXPECT_EQ(program.Output().rfind("{\"schema\":2,\"adapter\":\"127.0.0.1\"", 0), 0u) << program.Output();
      EXPECT_NE(program.Output().find("\"dumps\":"), std::string::npos) << program.Output();
    } else {
      // The alert's box waits for an answer: the run ends once it is out.
      EXPECT_TRUE(program.WaitForError("wirepeek: " + c.Alert + "\n", std::chrono::seconds(30))) << program.Errors();
      program.Stop(SIGKILL);
      EXPECT_FALSE(fs::exists(dir / "wirepeek.ini"));
    }
  }
  fs::remove_all(dir);
}

// Every text of the windows and boxes, and the guide F1 opens, as nobody with the capture helper beside the program:
// English without a Japanese character under an English locale; under Japanese and C, the texts they have always
// had, and the program's own in Japanese. The first box of a capture without rights says why and what to do here.
TEST(StartUpProgram, TheTextsAreEnglishUnderEnglishLocalesOnlyAndTheFirstBoxSaysWhatToDo) {
  // The copy holds no rights; the guides are looked for in the working folder first, and the sources may be where
  // nobody cannot read (root's home).
  const TReachableCopy copy({WIREPEEK_PROGRAM_HELPER, WIREPEEK_BINARY "-capture", WIREPEEK_SOURCE_DIR "/docs/Wirepeek.html",
                             WIREPEEK_SOURCE_DIR "/docs/Wirepeek.en.html"});
  const std::string golden = ReadWholeFile(fs::path(WIREPEEK_SOURCE_DIR) / "tests/ui/main/golden/window-texts.txt");
  // A line with kana, CJK ideographs or symbols, or full- and half-width forms.
  const QRegularExpression japanese(QStringLiteral("^.*[\\x{3000}-\\x{30FF}\\x{3400}-\\x{9FFF}\\x{FF00}-\\x{FFEF}].*$"),
                                    QRegularExpression::MultilineOption);
  // The helper runnable by nobody (the fix: setcap) or not (the fix: join the group).
  const std::pair<std::string, fs::perms> runs[] = {
      {"en_US.UTF-8", fs::perms(0700)}, {"ja_JP.UTF-8", fs::perms(0755)}, {"C", fs::perms(0755)}};
  for (const auto& [lang, mode] : runs) {
    fs::permissions(copy(WIREPEEK_BINARY "-capture"), mode);
    const std::string dir = copy.Dir.string();
    std::string out;
    CommandOutput("cd " + dir + " && env -u LC_ALL -u LC_MESSAGES LANG=" + lang + " HOME=" + dir + "/home XDG_STATE_HOME=" +
                      dir + "/home QT_QPA_PLATFORM=offscreen timeout -s KILL 30 setpriv --reuid=65534 --regid=65534 "
                      "--clear-groups " + copy(WIREPEEK_PROGRAM_HELPER) + " texts --start 127.0.0.1 2>" + dir + "/errors",
                  out);
    const std::regex fix("wirepeek: InitAdapter : WSAIoCtl failed: lo: .*\\((the capture helper has no capture rights: "
                         "sudo setcap|add yourself to the group)");
    EXPECT_TRUE(std::regex_search(ReadWholeFile(dir + "/errors"), fix)) << lang;
    for (std::size_t at; (at = out.find(dir)) != std::string::npos;) out.replace(at, dir.size(), "DIR");
    if (lang != "en_US.UTF-8") {
      EXPECT_EQ(out, golden) << lang;
      continue;
    }
    EXPECT_EQ(japanese.match(QString::fromStdString(out)).captured(), "");
    for (const char* line : {"box\tCheck | InitAdapter : WSAIoCtl failed\\n\\nCause: this user may not capture packets."
                             "\\nFix: join the group wirepeek, then log in again:\\n  sudo adduser nobody wirepeek\n",
                             "item\tOther\n", "tab\tPorts\n", "label\tComments\n", "help\tWirepeek.en.html\n",
                             "box\tCheck | InitAdapter :WSASocket failed\nbox\tCheck | CaptureStart Error\n"})
      EXPECT_NE(out.find(line), std::string::npos) << line;
    EXPECT_EQ(out.find("overlap\t"), std::string::npos) << out;
  }
}

// The title as the X server holds it is English for English only; three pings in a namespace count alike under each.
TEST(StartUpLive, TheWindowIsEnglishForEnglishLocalesOnly) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "under a real display the window runs the X and GLib libraries' own threads, which the thread "
                  "checker cannot see into; the other builds run this";
#endif
  SKIP_WITHOUT_TEST_NAMESPACES();
  if (!RunCommand("command -v xvfb-run xwininfo")) GTEST_SKIP() << "needs Xvfb";
  const std::pair<std::string, std::string> rows[] = {
      {"en_US.UTF-8", "Wirepeek monitor"}, {"ja_JP.UTF-8", "ワイヤピーク監視"}, {"C", "ワイヤピーク監視"}};
  // The locales run side by side, each in a namespace of its own (its window counts only its own pings) and on a
  // display of its own, looked for from a number of its own so that two do not take the same one.
  std::vector<std::unique_ptr<TTestNamespace>> spaces;
  std::vector<std::future<std::string>> runs;
  for (std::size_t row = 0; row < std::size(rows); ++row) {
    spaces.push_back(std::make_unique<TTestNamespace>("wp-locale-" + std::to_string(getpid()) + "-" + std::to_string(row)));
    const std::string inside = "ip netns exec " + spaces.back()->Name + " ";
    const std::string display = std::to_string(200 + getpid() % 50 * 30 + static_cast<int>(row) * 10);
    const std::string lang = rows[row].first, title = rows[row].second;
    runs.push_back(std::async(std::launch::async, [=] {
      std::string out;
      CommandOutput("cd /tmp && timeout -s KILL 60 xvfb-run -a -n " + display + " sh -c '" + inside +
                        "env -u LC_ALL -u LC_MESSAGES LANG=" + lang + " QT_QPA_PLATFORM=xcb " WIREPEEK_BINARY
                        " --start 127.0.0.1 --quit-after 6 2>&1 & "
                        "for i in $(seq 300); do xwininfo -root -tree | grep -qF \"\\\"" + title +
                        "\" && echo TITLE && break; sleep 0.1; done; sleep 1; " + inside +
                        "ping -c 3 -i 0.2 -q 127.0.0.1 >/dev/null; wait'",
                    out);
      return out;
    }));
  }
  for (std::size_t row = 0; row < std::size(rows); ++row) {
    const std::string out = runs[row].get();
    const std::string& lang = rows[row].first;
    EXPECT_NE(out.find("TITLE"), std::string::npos) << lang << ": " << out;
    EXPECT_NE(out.find("\"total_packets\":6,\"total_bytes\":504"), std::string::npos) << lang << ": " << out;
  }
}

}  // namespace

namespace {
// A script that names an address this host does not have gets a failure at
// once, not a window that waits for ever (the timeout would say 124).
TEST(StartUpProgram, AStartAddressNotOfThisHostEndsTheRunAtOnceAsAFailure) {
  const std::string command = "cd /tmp && QT_QPA_PLATFORM=offscreen timeout -s KILL 20 " WIREPEEK_BINARY
                              " --start=192.0.2.1 --quit-after=2 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char line[1024];
  while (fgets(line, sizeof line, pipe)) output += line;
  const int status = pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << output;
  EXPECT_NE(output.find("wirepeek: 192.0.2.1 is not an address of this host\n"), std::string::npos) << output;
  EXPECT_EQ(output.find("\"total_packets\""), std::string::npos) << output;
}

// A capture file read by the window gives the report the golden files hold
// for it, which the Linux exporter made; the window adds its clicks.
TEST(StartUpProgram, AFileReadByTheWindowGivesTheGoldenReport) {
  const auto canonical = [](std::string json) {
    json = std::regex_replace(json, std::regex(R"("time":"[^"]*")"), R"("time":"T")");
    return std::regex_replace(json, std::regex(R"(,"clicks":\{[^}]*\})"), "");
  };
  for (const std::string file : {"traffic.pcap", "traffic.pcapng", "cooked.pcap"}) {
    std::string out;
    EXPECT_EQ(CommandOutput("cd /tmp && QT_QPA_PLATFORM=offscreen timeout -s KILL 30 " WIREPEEK_BINARY " --read " +
                                std::string(WIREPEEK_TEST_DATA) + "/files/" + file +
                                " --adapter 10.0.0.2 --quit-after 1 2>/dev/null", out), 0) << file;
    const std::string golden = std::string(WIREPEEK_TEST_DATA) + "/golden/report/" +
                               file.substr(0, file.find('.')) + "-" + file.substr(file.find('.') + 1) + ".json";
    EXPECT_EQ(canonical(out), canonical(ReadWholeFile(golden))) << file;
  }
}

// The window program run by the helper in a folder of its own.
class WindowProgram : public testing::Test {
 protected:
  struct TRun {
    std::string Out, Err;
    int Status = 0;
  };
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("wirepeek-program-" + std::to_string(getpid()) + "-" +
                                       testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(Dir);
  }
  void TearDown() override { fs::remove_all(Dir); }
  TRun Run(const std::vector<std::string>& arguments, const std::string& before = "") {
    std::string command = "cd " + Dir.string() + " && " + before + "env XDG_STATE_HOME=" + (Dir / "state").string() +
                          " QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:use_sigaltstack=0:detect_leaks=0 timeout -s KILL 60 " +
                          WIREPEEK_PROGRAM_HELPER;
    for (const auto& a : arguments) command += " '" + a + "'";
    command += " 2>" + (Dir / "stderr.txt").string();
    FILE* pipe = popen(command.c_str(), "r");
    TRun run;
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.Out.append(buffer, n);
    run.Status = pclose(pipe);
    run.Err = ReadWholeFile(Dir / "stderr.txt");
    return run;
  }
  std::vector<std::string> Log() {
    for (const auto& entry : fs::directory_iterator(Dir)) {
      if (entry.path().filename().string().rfind("ALOG", 0) != 0) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::vector<std::string> lines;
      for (std::string line; std::getline(in, line);) lines.push_back(line.substr(0, line.find('\r')));
      return lines;
    }
    return {};
  }
  static bool Has(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  }
  fs::path Dir;
};

// With the current folder gone, the log goes to the state folder (made the user's alone), replacing a link
// planted at its name instead of writing through it, and is the user's alone.
TEST_F(WindowProgram, TheLogIsPrivateAndNeverWrittenThroughALink) {
  const std::string state = (Dir / "state" / "wirepeek").string();
  const TRun run = Run({"build"}, "mkdir -p " + state + " gone && cd " + state + " && echo theirs >victim && for s in" +
                                      " $(seq 0 59); do ln -s victim ALOG$(date -d +${s}sec +%Y%m%d_%H%M%S).txt; done" +
                                      " && cd " + Dir.string() + "/gone && rmdir ../gone && ");
  std::vector<fs::path> logs;
  for (const auto& entry : fs::directory_iterator(state))
    if (entry.path().filename().string().rfind("ALOG", 0) == 0 && !entry.is_symlink()) logs.push_back(entry.path());
  ASSERT_EQ(logs.size(), 1u) << run.Err;
  EXPECT_EQ(fs::status(logs[0]).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(state).permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::file_size(fs::path(state) / "victim"), 7u);
}

TEST_F(WindowProgram, AMainWindowThatCannotBeBuiltIsReportedAndEndsTheProgram) {
  const TRun run = Run({"build"});
  ASSERT_TRUE(WIFEXITED(run.Status)) << run.Status << run.Err;
  EXPECT_EQ(WEXITSTATUS(run.Status), 1);
  EXPECT_NE(run.Err.find("wirepeek: the main window could not be created: no window today"), std::string::npos)
      << run.Err;
  const auto log = Log();
  EXPECT_TRUE(Has(log, "[ 0] ErrorCode=$0EEDFADE"));
  EXPECT_TRUE(Has(log, "no window today"));
}

TEST_F(WindowProgram, AFailedMapCheckEndsWithAFailureStatus) {
  const fs::path copy = Dir / "wirepeek_program_helper";
  fs::copy_file(WIREPEEK_PROGRAM_HELPER, copy);  // without its map
  std::string command = "cd " + Dir.string() + " && QT_QPA_PLATFORM=offscreen timeout -s KILL 60 " + copy.string() +
                        " badmap 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buffer[512];
  while (fgets(buffer, sizeof buffer, pipe)) out += buffer;
  const int status = pclose(pipe);
  EXPECT_NE(out.find("ALERT map ファイルがありません:wirepeek_program_helper.map"), std::string::npos) << out;
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

}  // namespace
