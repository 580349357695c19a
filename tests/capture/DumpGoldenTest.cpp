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

#include "common/Datagrams.h"
#include "common/DumpFiles.h"
#include "common/PcapFiles.h"
#include "capture/IPMonitor.h"
#include "capture/XIoctlUnit.h"
#include "support/Settings.h"
#include "support/TextDevs.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Starts reading File with the monitor as Watched.
void StartFileCapture(TIPMonitor& monitor, const std::string& file, const std::string& watched = "10.0.0.2") {
  static struct TTarget : TCaptureNotifyTarget {
    void CaptureNotify() override {}
  } target;
  TXIoctl& state = *monitor.Ioctl;
  state.CaptureFile = file;
  ASSERT_TRUE(TIpAddress::Parse(watched, state.Adapters[1]));
  state.SelectedAdapter = 1;
  state.NotifyWindow = &target;
  ASSERT_EQ(monitor.CaptureStart(), 0);
}

// Reads File with the monitor as Watched until its end.
void ReadToTheEnd(TIPMonitor& monitor, const std::string& file, const std::string& watched = "10.0.0.2") {
  ASSERT_NO_FATAL_FAILURE(StartFileCapture(monitor, file, watched));
  TXIoctl& state = *monitor.Ioctl;
  ASSERT_EQ(state.StopEvent.WaitFor(10s), TManualResetEvent::TWaitResult::Signaled);
  monitor.CaptureEnd();
}

class DumpGoldenTest : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("wirepeek-golden-" + std::to_string(getpid()));
    fs::create_directories(Dir);
    SetErrorBoxSink([](std::string_view, std::string_view) { return 1; });
  }
  void TearDown() override {
    SetErrorBoxSink(nullptr);
    fs::remove_all(Dir);
  }
  fs::path Dir;
};

// Full and limited dumps of IPv4 traffic, and the IPv6 form from a raw-IPv6
// file: there the upper layer behind the extension headers names the
// protocol and gives the ports.
TEST_P(DumpGoldenTest, CaptureFileGivesTheGoldenDump) {
  const bool six = GetParam() == 2;
  const auto limit = static_cast<std::uint8_t>(GetParam() == 1);
  const auto pcap = (Dir / "golden.pcap").string();
  std::vector<TFrame> frames;
  for (const TDatagram6Spec& spec : std::vector<TDatagram6Spec>{
           {0, {6, 0, 1, 4, 0, 0, 0, 0, 4, 1, 0, 80}, 28, "2001:db8::1", "2001:db8::2", 68},
           {58, {128, 0, 0x12, 0x34}, 20, "fe80::1", "2001:db8::1", 60},
           {44, {17, 0, 0x05, 0xa8, 0, 0, 0, 1, 0, 53, 0, 53}, 300, "2001:db8::1", "2001:db8::2", 340},
           {17, {0, 53, 0, 53}, 8, "2001:db8::7", "2001:db8::8"}})
    frames.push_back({MakeDatagram6(spec), 1767603903, 0});
  WritePcap(pcap, six ? 229 : 1, six ? frames : GoldenTraffic());

  TStringLineList lines;
  TraceOutput.AssignLinesDevice(lines);
  TraceOutput.Rewrite();
  {
    TIPMonitor monitor;
    monitor.Ioctl->DumpLimit = limit;
    ASSERT_NO_FATAL_FAILURE(ReadToTheEnd(monitor, pcap, six ? "2001:db8::1" : "10.0.0.2"));
    ASSERT_TRUE(AwaitDumps(*monitor.Ioctl, 10s));
  }
  TraceOutput.Close();
  TraceOutput.AssignNullDevice();

  const std::vector<std::string> got = NormalisedDump(lines.Lines);
  const fs::path golden = six ? GoldenPath(0).parent_path() / "dump-ipv6.txt" : GoldenPath(limit);
  if (std::getenv("WIREPEEK_WRITE_GOLDEN")) WriteGolden(golden, got);
  EXPECT_EQ(got, ReadGolden(golden));
  EXPECT_EQ(DateLinesSeen(lines.Lines), six ? 3 : DumpedInGoldenTraffic);
}

INSTANTIATE_TEST_SUITE_P(Limits, DumpGoldenTest, testing::Values(0, 1, 2), [](const auto& p) {
  return std::string(p.param == 2 ? "Ipv6" : p.param ? "Limited" : "Full");
});

}  // namespace

namespace {

// Datagrams numbered by their source port, from 10.0.0.2.
std::vector<TFrame> Numbered(std::uint16_t first, std::uint16_t count) {
  std::vector<TFrame> frames;
  for (std::uint16_t i = 0; i < count; ++i) {
    const auto port = static_cast<std::uint16_t>(first + i);
    frames.push_back({GoldenEthernet(MakeDatagram({.Protocol = 17, .Source = "10.0.0.2", .Dest = "9.1.2.3",
                                                   .SourcePort = port, .DestPort = 53, .TotalLength = 40,
                                                   .Delivered = 40})),
                      1767603903, i});
  }
  return frames;
}

std::vector<std::uint16_t> PortsDumped(const std::vector<std::string>& lines) {
  std::vector<std::uint16_t> ports;
  for (const auto& line : lines)
    if (line.rfind("Source Port: ", 0) == 0) ports.push_back(static_cast<std::uint16_t>(std::stoi(line.substr(13))));
  return ports;
}

// The owner takes nothing in while two captures run, so the formatter soon
// waits and the dumps pile up in the ring: ending the captures loses none of
// them, and the second capture's dumps follow all of the first's.
TEST(DumpHandOffTest, CapturesEndedWithDumpsQueuedLoseNoneAndKeepTheirOrder) {
  const auto dir = fs::temp_directory_path() / ("wirepeek-queued-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const auto first = (dir / "first.pcap").string(), second = (dir / "second.pcap").string();
  WritePcap(first, 1, Numbered(1000, 4000));
  WritePcap(second, 1, Numbered(5000, 1000));

  TStringLineList lines;
  TraceOutput.AssignLinesDevice(lines);
  TraceOutput.Rewrite();
  std::vector<std::uint16_t> expected;
  {
    TIPMonitor monitor;
    TXIoctl& state = *monitor.Ioctl;
    for (const auto& file : {first, second}) ASSERT_NO_FATAL_FAILURE(ReadToTheEnd(monitor, file));
    EXPECT_FALSE(state.Dumps.Idle());  // 5,000 dumps are more than the formatter may queue
    ASSERT_TRUE(AwaitDumps(state, 20s));
    EXPECT_EQ(state.Dumps.Written(), 5000u);
    EXPECT_EQ(state.Dumps.Skipped(), 0u);
  }
  TraceOutput.Close();
  TraceOutput.AssignNullDevice();
  fs::remove_all(dir);

  for (std::uint16_t port = 1000; port < 6000; ++port) expected.push_back(port);
  EXPECT_EQ(PortsDumped(lines.Lines), expected);
  EXPECT_EQ(lines.Lines.size(), 5000u * 8);
}

}  // namespace

namespace {

// Keeps only the ports of the dumps it is given, and counts skip lines.
struct TPortList final : TLineList {
  int Count() const override { return static_cast<int>(Total); }
  void Add(std::string_view line) override {
    ++Total;
    if (line.rfind("Source Port: ", 0) == 0) Ports.push_back(static_cast<std::uint16_t>(std::stoi(std::string(line.substr(13)))));
    if (line.rfind("-- ", 0) == 0) ++SkipLines;
  }
  void AppendToLast(std::string_view) override {}
  void Clear() override {}
  std::size_t Total = 0;
  int SkipLines = 0;
  std::vector<std::uint16_t> Ports;
};

// A capture file holds more than the ring: with no wire to lose datagrams
// on, reading waits for room, and every datagram is dumped, in order.
TEST(DumpHandOffTest, AFileLargerThanTheRingIsDumpedWhole) {
  const auto dir = fs::temp_directory_path() / ("wirepeek-bigfile-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const auto file = (dir / "big.pcap").string();
  constexpr std::uint16_t count = 13000;  // 13,000 entries of 1,448 bytes: more than 16 MiB
  std::vector<TFrame> frames;
  for (std::uint16_t i = 0; i < count; ++i)
    frames.push_back({GoldenEthernet(MakeDatagram({.Protocol = 17, .Source = "10.0.0.2", .Dest = "9.1.2.3",
                                                   .SourcePort = static_cast<std::uint16_t>(1000 + i), .DestPort = 53,
                                                   .TotalLength = 1400, .Delivered = 1400})),
                      1767603903, i});
  WritePcap(file, 1, frames);
  ASSERT_GT(std::uint64_t{count} * TDumpRing::EntrySize(1400), TDumpRing::DefaultCapacity);

  TPortList lines;
  TraceOutput.AssignLinesDevice(lines);
  TraceOutput.Rewrite();
  {
    TIPMonitor monitor;
    TXIoctl& state = *monitor.Ioctl;
    ASSERT_NO_FATAL_FAILURE(StartFileCapture(monitor, file));
    // This thread owns the channel: it takes the lines in while the file is read.
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    while (!state.StopEvent.IsSet() && std::chrono::steady_clock::now() < deadline) {
      TraceOutput.DrainPending();
      std::this_thread::sleep_for(1ms);
    }
    monitor.CaptureEnd();
    ASSERT_TRUE(AwaitDumps(state, 60s));
    EXPECT_EQ(state.TotalPackets, count);
    EXPECT_EQ(state.Dumps.Written(), count);
    EXPECT_EQ(state.Dumps.Skipped(), 0u);
  }
  TraceOutput.Close();
  TraceOutput.AssignNullDevice();
  fs::remove_all(dir);
  EXPECT_EQ(lines.SkipLines, 0);
  ASSERT_EQ(lines.Ports.size(), count);
  for (std::uint16_t i = 0; i < count; ++i) ASSERT_EQ(lines.Ports[i], 1000 + i) << i;
}

}  // namespace
