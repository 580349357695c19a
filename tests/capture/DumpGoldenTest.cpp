// The packet dump of a whole capture file read in debug mode, against a
// golden text: whatever way the dumps leave the capture thread, the text and
// its order stay the same.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "capture/Datagrams.h"
#include "capture/DumpFiles.h"
#include "capture/PcapFiles.h"
#include "capture/XIoctlUnit.h"
#include "support/Settings.h"
#include "support/TextDevs.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class DumpGolden : public testing::TestWithParam<std::uint8_t> {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("wirepeek-golden-" + std::to_string(getpid()));
    fs::create_directories(Dir);
    SetErrorBoxSink([](std::string_view) { return 1; });
  }
  void TearDown() override {
    GlobalSettings.DumpLimit = 0;
    SetErrorBoxSink(nullptr);
    fs::remove_all(Dir);
  }
  fs::path Dir;
};

TEST_P(DumpGolden, CaptureFileGivesTheGoldenDump) {
  const std::uint8_t limit = GetParam();
  const auto pcap = (Dir / "golden.pcap").string();
  WritePcap(pcap, 1, GoldenTraffic());
  GlobalSettings.DumpLimit = limit;

  TStringLineList lines;
  TraceOutput.AssignLinesDevice(lines);
  TraceOutput.Rewrite();
  {
    TIPMonitor monitor;
    TXIoctl& state = *monitor.Ioctl;
    state.CaptureFile = pcap;
    state.Adapters[1] = Addr("10.0.0.2");
    state.SelectedAdapter = 1;
    struct TTarget : TCaptureNotifyTarget {
      void CaptureNotify() override {}
    } target;
    state.NotifyWindow = &target;
    ASSERT_EQ(monitor.CaptureStart(), 0);
    ASSERT_EQ(state.StopEvent.WaitFor(10s), TManualResetEvent::TWaitResult::Signaled);
    monitor.CaptureEnd();
    ASSERT_TRUE(AwaitDumps(state, 10s));
  }
  TraceOutput.Close();
  TraceOutput.AssignNullDevice();

  const std::vector<std::string> got = NormalisedDump(lines.Lines);
  const fs::path golden = GoldenPath(limit);
  if (std::getenv("WIREPEEK_WRITE_GOLDEN")) WriteGolden(golden, got);
  EXPECT_EQ(got, ReadGolden(golden));
  EXPECT_EQ(DateLinesSeen(lines.Lines), DumpedInGoldenTraffic);
}

INSTANTIATE_TEST_SUITE_P(Limits, DumpGolden, testing::Values(std::uint8_t{0}, std::uint8_t{1}));

}  // namespace
