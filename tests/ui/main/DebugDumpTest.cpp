// The trace window in debug mode shows the same dump of a capture file as
// the golden text, through the dump hand-off and the window's own thread.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <filesystem>
#include <thread>

#include "common/DumpFiles.h"
#include "ui/trace/TraceUnit.h"
#include "support/Settings.h"
#include "ui/QtTestEnvironment.h"
#include "ui/main/Dialogs.h"
#include "ui/main/MainUnit.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class DebugDumpTest : public testing::TestWithParam<std::uint8_t> {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("wirepeek-debugdump-" + std::to_string(getpid()));
    fs::create_directories(Dir);
    GlobalSettings = TGlobalSettings{};
    GlobalSettings.IniPath = (Dir / "wirepeek.ini").string();
    SetMessageBoxHook([](const QString&, const QString&) {});
    DebugMode = true;
  }
  void TearDown() override {
    Main.reset();
    Trace.reset();
    DebugMode = false;
    SetMessageBoxHook(nullptr);
    SetErrorBoxSink(nullptr);
    fs::remove_all(Dir);
  }
  fs::path Dir;
  std::unique_ptr<TTraceForm> Trace;
  std::unique_ptr<TMainForm> Main;
};

TEST_P(DebugDumpTest, WindowShowsTheGoldenDumpOfAFile) {
  const std::uint8_t limit = GetParam();
  const auto pcap = (Dir / "golden.pcap").string();
  WritePcap(pcap, 1, GoldenTraffic());
  Trace = std::make_unique<TTraceForm>();
  Main = std::make_unique<TMainForm>();
  Main->FormActivate();
  TXIoctl& state = *Main->Monitor().Ioctl;
  state.DumpLimit = limit;
  state.CaptureFile = pcap;
  state.Adapters[1] = Addr("10.0.0.2");
  state.AdapterCount = 1;
  state.SelectedAdapter = 1;
  Main->actCaptureStartExecute();
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!state.StopEvent.IsSet() && std::chrono::steady_clock::now() < deadline)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  Main->actCaptureEndExecute();
  // What the formatter still holds arrives after the capture's end, in order.
  while ((!state.Dumps.Idle() || TraceOutput.QueuedLines() != 0) && std::chrono::steady_clock::now() < deadline) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(1ms);
  }
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  Trace->MemoLines().Flush();
  const auto& text = Trace->MemoLines().Text();
  EXPECT_EQ(NormalisedDump({text.begin(), text.end()}), ReadGolden(GoldenPath(limit)));
  EXPECT_EQ(state.Dumps.Written(), static_cast<std::uint64_t>(DumpedInGoldenTraffic));
  EXPECT_EQ(state.Dumps.Skipped(), 0u);
  // The text box shows the same lines.
  const QStringList shown = Trace->memoTrace->toPlainText().split(QLatin1Char('\n'));
  ASSERT_EQ(static_cast<std::size_t>(shown.size()), Trace->MemoLines().Text().size());
  EXPECT_EQ(shown.back().toStdString(), Trace->MemoLines().Text().back());
}

INSTANTIATE_TEST_SUITE_P(Limits, DebugDumpTest, testing::Values(std::uint8_t{0}, std::uint8_t{1}),
                         [](const auto& p) { return std::string(p.param ? "Limited" : "Full"); });

}  // namespace
