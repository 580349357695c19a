// The trace window, driven offscreen.
#include "ui/trace/TraceUnit.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QTextBlock>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "diagnostics/TraceReport.h"
#include "support/Settings.h"
#include "ui/QtTestEnvironment.h"
#include "common/Files.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> MemoLines(TTraceForm& form) {
  form.MemoLines().Flush();
  std::vector<std::string> lines;
  const QString text = form.memoTrace->toPlainText();
  if (text.isEmpty()) return lines;
  for (const auto& line : text.split('\n')) lines.push_back(line.toStdString());
  return lines;
}

class TraceWindowTest : public testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("wirepeek-trace-" + std::to_string(getpid()));
    fs::create_directories(Dir);
    Previous = fs::current_path();
    fs::current_path(Dir);  // where logs are saved
    GlobalSettings.ExePath = "/opt/wirepeek/bin/wirepeek";
    DebugMode = false;
  }
  void TearDown() override {
    Form.reset();
    DebugMode = false;
    fs::current_path(Previous);
    fs::remove_all(Dir);
  }
  std::vector<fs::path> Logs() {
    std::vector<fs::path> logs;
    for (const auto& entry : fs::directory_iterator(Dir))
      if (entry.path().filename().string().rfind("ALOG", 0) == 0) logs.push_back(entry.path());
    return logs;
  }
  fs::path Dir, Previous;
  std::unique_ptr<TTraceForm> Form;
};

TEST_F(TraceWindowTest, NormalModeIsHiddenAndDiscards) {
  Form = std::make_unique<TTraceForm>();
  EXPECT_FALSE(Form->isVisible());
  EXPECT_FALSE(TraceOutput.WantsText());
  TraceLine("nobody sees %d", 1);
  EXPECT_TRUE(MemoLines(*Form).empty());
  EXPECT_EQ(Form->windowTitle(), "wirepeek");
  Form.reset();
  EXPECT_TRUE(Logs().empty());  // no report, no log
}

TEST_F(TraceWindowTest, DebugModeCollectsLinesAndRefusesToClose) {
  DebugMode = true;
  Form = std::make_unique<TTraceForm>();
  EXPECT_TRUE(Form->isVisible());
  TraceLine("first %s", "line");
  TraceOutput.Write("unfinished ");
  TraceOutput.WriteLine("then finished");
  EXPECT_EQ(MemoLines(*Form), (std::vector<std::string>{"first line", "unfinished then finished"}));
  QCloseEvent close;
  QCoreApplication::sendEvent(Form.get(), &close);
  EXPECT_FALSE(close.isAccepted());
  EXPECT_TRUE(Form->isVisible());

  Form->mmiClearClick();
  EXPECT_TRUE(MemoLines(*Form).empty());
  TraceLine("after clearing");
  EXPECT_EQ(MemoLines(*Form), (std::vector<std::string>{"after clearing"}));

  Form->mmiSaveClick();
  const auto logs = Logs();
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(ReadWholeFile(logs[0]), "after clearing\r\n");
}

TEST_F(TraceWindowTest, LinesFromAnotherThreadArriveWholeOnTheWindowThread) {
  DebugMode = true;
  Form = std::make_unique<TTraceForm>();
  std::thread writer([] {
    for (int i = 0; i < 200; ++i) TraceOutput.WriteLine("dump " + std::to_string(i) + std::string(150, '.'));
  });
  writer.join();
  for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();
  const auto lines = MemoLines(*Form);
  ASSERT_EQ(lines.size(), 200u);
  EXPECT_EQ(lines[0], "dump 0" + std::string(150, '.'));
  EXPECT_EQ(lines[199], "dump 199" + std::string(150, '.'));
}

TEST_F(TraceWindowTest, FirstReportSwitchesToDebugModeAndSavesTheLogAtTheEnd) {
  Form = std::make_unique<TTraceForm>();
  ASSERT_FALSE(Form->isVisible());
  // Why a capture could not start is shown outside debug mode, and stays.
  Form->MemoLines().Add("capture: no rights");
  try {
    throw std::runtime_error("reported");
  } catch (const std::exception&) {
  }
  EXPECT_TRUE(DebugMode);
  EXPECT_TRUE(Form->isVisible());
  EXPECT_TRUE(Form->SaveOnClose);
  const auto lines = MemoLines(*Form);
  ASSERT_GE(lines.size(), 9u);
  EXPECT_EQ(lines[0], "capture: no rights");
  // The report begins with its title, though the switch emptied the memo.
  EXPECT_EQ(lines[1], "// C++ Exception: Classname=std::runtime_error");
  EXPECT_EQ(lines[2].rfind("[ 0] RIP=$", 0), 0u) << lines[2];
  EXPECT_EQ(lines[4].rfind("[ 0] ExceptAddr=$", 0), 0u);
  EXPECT_EQ(lines[7], "[ 0] ErrorCode=$0EEDFADE");
  EXPECT_EQ(lines[8].rfind("[ 1] $", 0), 0u);
  EXPECT_TRUE(Logs().empty());
  Form.reset();
  ASSERT_EQ(Logs().size(), 1u);
}

TEST_F(TraceWindowTest, AnExceptionEscapingAnEventHandlerIsReportedAndTheLoopGoesOn) {
  DebugMode = true;
  Form = std::make_unique<TTraceForm>();
  struct TThrower : QObject {
    bool event(QEvent* e) override {
      if (e->type() == QEvent::User) throw std::runtime_error("handler failed");
      ++Handled;
      return true;
    }
    int Handled = 0;
  } thrower;
  App()->GuardEvents = true;
  QEvent bad(QEvent::User);
  QCoreApplication::sendEvent(&thrower, &bad);
  QEvent good(static_cast<QEvent::Type>(QEvent::User + 1));
  QCoreApplication::sendEvent(&thrower, &good);
  App()->GuardEvents = false;
  EXPECT_EQ(thrower.Handled, 1);
  const auto lines = MemoLines(*Form);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front().rfind("// C++ Exception: Classname=std::runtime_error", 0), 0u) << lines.front();
  EXPECT_EQ(lines.back(), "handler failed");
  EXPECT_EQ(LastExceptionMessage, "handler failed");
}

}  // namespace

namespace {

TEST_F(TraceWindowTest, AFloodOfLinesKeepsTheNewestAndStaysBounded) {
  DebugMode = true;
  Form = std::make_unique<TTraceForm>();
  const std::size_t total = TMemoLines::MaxLines + TMemoLines::MaxLines / 2;
  for (std::size_t i = 0; i < total; ++i) {
    TraceOutput.WriteLine("line " + std::to_string(i));
    if (i % 50000 == 0) Form->MemoLines().Flush();  // the window keeps up now and then
  }
  const auto& kept = Form->MemoLines().Text();
  EXPECT_LE(kept.size(), TMemoLines::MaxLines);
  EXPECT_EQ(kept.back(), "line " + std::to_string(total - 1));
  Form->MemoLines().Flush();
  EXPECT_LE(Form->memoTrace->blockCount(), static_cast<int>(TMemoLines::MaxLines));
  EXPECT_EQ(Form->memoTrace->document()->lastBlock().text().toStdString(), kept.back());
  EXPECT_EQ(Form->memoTrace->document()->firstBlock().text().toStdString(),
            kept[kept.size() - static_cast<std::size_t>(Form->memoTrace->blockCount())]);
  EXPECT_LE(Form->memoTrace->blockCount(), static_cast<int>(TMemoLines::MaxFlushLines));  // the newest of a burst
}

}  // namespace

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

volatile int* volatile NoWhere = nullptr;

// A fault in a timer's handler, delivered by the real event loop: reported,
// that handler abandoned, and the loop goes on to the next events.
TEST_F(TraceWindowTest, AFaultInAnEventHandlerIsReportedAndTheLoopGoesOn) {
  if (kAddressSanitizer) GTEST_SKIP() << "the address checker takes the fault signal for itself";
  DebugMode = true;
  Form = std::make_unique<TTraceForm>();
  App()->GuardEvents = true;
  int later = 0;
  QTimer::singleShot(0, [] { *NoWhere = 1; });
  QTimer::singleShot(5, [] {
    volatile int zero = 0;
    volatile int quotient = 7 / zero;
    (void)quotient;
  });
  QTimer::singleShot(10, [&] { ++later; });
  for (int i = 0; i < 200 && later == 0; ++i) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  App()->GuardEvents = false;
  EXPECT_EQ(later, 1);
  const auto lines = MemoLines(*Form);
  int reports = 0;
  for (const auto& line : lines) reports += line == "// System Exception:";
  EXPECT_EQ(reports, 2);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "[ 0] ErrorCode=$C000000B"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "[ 0] ErrorCode=$C0000008"), lines.end());
}

}  // namespace

namespace {

std::vector<std::string> ReadLog(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

TEST_F(TraceWindowTest, TheSavedLogKeepsTheReportsWhateverCameAfterThem) {
  Form = std::make_unique<TTraceForm>();
  RunEventHandler([] { throw std::runtime_error("first failure"); });
  ASSERT_TRUE(Form->SaveOnClose);
  // A flood of dump lines, far beyond what the memo keeps.
  for (int i = 0; i < 300000; ++i) TraceLine("dump %d", i);
  RunEventHandler([] { throw std::runtime_error("second failure"); });
  Form.reset();
  ASSERT_EQ(Logs().size(), 1u);
  const auto log = ReadLog(Logs()[0]);
  ASSERT_GE(log.size(), 8u);
  // The first report, whole, from its title to its message line.
  EXPECT_EQ(log[0], "// C++ Exception: Classname=std::runtime_error");
  EXPECT_EQ(log[1].rfind("[ 0] RIP=$", 0), 0u) << log[1];
  EXPECT_EQ(log[6], "[ 0] ErrorCode=$0EEDFADE");
  const auto first = std::find(log.begin(), log.end(), "first failure");
  ASSERT_NE(first, log.end());
  // Then the memo from the oldest line it kept, which follows on exactly.
  const auto reportLines = static_cast<int>(first - log.begin()) + 1;
  int dropped = 0;
  ASSERT_EQ(std::sscanf((first + 1)->c_str(), "-- %d older lines dropped --", &dropped), 1) << *(first + 1);
  EXPECT_GE(dropped, 100000);
  EXPECT_EQ(*(first + 2), "dump " + std::to_string(dropped - reportLines));
  EXPECT_EQ(std::count(log.begin(), log.end(), "first failure"), 1);
  EXPECT_EQ(log.back(), "second failure");
  EXPECT_EQ(std::count(log.begin(), log.end(), "// C++ Exception: Classname=std::runtime_error"), 2);
}

TEST_F(TraceWindowTest, ReportsBeyondTheKeptOnesAreCountedOnceEach) {
  Form = std::make_unique<TTraceForm>();
  const std::size_t beyond = 3;
  for (std::size_t i = 0; i < TMemoLines::MaxKeptReports + beyond; ++i) {
    RunEventHandler([] { throw std::runtime_error("failure"); });
    TraceLine("between");
  }
  for (std::size_t i = 0; i < TMemoLines::MaxLines; ++i) TraceLine("dump %zu", i);
  const auto log = Form->MemoLines().LogText();
  EXPECT_EQ(std::count(log.begin(), log.end(), "-- " + std::to_string(beyond) +
                                                   " more exception reports; only the first 100 are kept whole --"),
            1);
}

TEST_F(TraceWindowTest, AFailedSaveAtTheEndGoesToTheStateFolderAndClosesTheChannel) {
  const fs::path state = Dir / "state";
  setenv("XDG_STATE_HOME", state.c_str(), 1);
  const fs::path gone = Dir / "gone";
  fs::create_directories(gone);
  Form = std::make_unique<TTraceForm>();
  RunEventHandler([] { throw std::runtime_error("failure"); });
  fs::current_path(gone);
  fs::remove(gone);  // the current folder takes no file now, not even root's
  testing::internal::CaptureStderr();
  Form.reset();
  const std::string err = testing::internal::GetCapturedStderr();
  fs::current_path(Dir);
  unsetenv("XDG_STATE_HOME");
  std::vector<fs::path> saved;
  for (const auto& entry : fs::directory_iterator(state / "wirepeek"))
    if (entry.path().filename().string().rfind("ALOG", 0) == 0) saved.push_back(entry.path());
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_NE(err.find("the trace log is saved as " + saved[0].string()), std::string::npos) << err;
  EXPECT_TRUE(std::find(ReadLog(saved[0]).begin(), ReadLog(saved[0]).end(), "failure") != ReadLog(saved[0]).end());
  // The channel no longer points at the window's lines.
  EXPECT_FALSE(TraceOutput.IsOpen());
  EXPECT_THROW(TraceOutput.WriteLine("after"), ETextChannelError);
}

}  // namespace
