// Whole captures read from files through the monitor and the headless report:
// the same decoding and counting as a live capture, with no privilege needed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "capture/Datagrams.h"
#include "capture/HeadlessReport.h"
#include "capture/LinkLayer.h"
#include "capture/PcapFiles.h"
#include "capture/XIoctlUnit.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> Ethernet(const std::vector<std::uint8_t>& ip, std::vector<std::uint8_t> tags = {}) {
  std::vector<std::uint8_t> frame;
  frame.reserve(14 + tags.size() + ip.size());
  frame.resize(12, 0x02);
  for (auto b : tags) frame.push_back(b);
  frame.push_back(0x08);
  frame.push_back(0x00);
  for (auto b : ip) frame.push_back(b);
  if (frame.size() < 60) frame.resize(60, 0);  // wire padding
  return frame;
}

std::vector<std::uint8_t> Cooked2(const std::vector<std::uint8_t>& ip) {
  std::vector<std::uint8_t> frame = {0x08, 0x00, 0, 0, 0, 0, 0, 2, 0, 1, 0, 6, 1, 2, 3, 4, 5, 6, 0, 0};
  for (auto b : ip) frame.push_back(b);
  return frame;
}

class CaptureFile : public testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("wirepeek-files-" + std::to_string(getpid()));
    fs::create_directories(Dir);
    SetErrorBoxSink([this](std::string_view text) {
      Boxes.emplace_back(text);
      return 1;
    });
  }
  void TearDown() override {
    SetErrorBoxSink(nullptr);
    fs::remove_all(Dir);
  }

  // A capture seen from 10.0.0.2, written by hand; the expected report below
  // was worked out from it by hand.
  std::vector<TFrame> Traffic(bool ethernet) {
    const auto wrap = [&](const std::vector<std::uint8_t>& ip, std::vector<std::uint8_t> tags = {}) {
      return ethernet ? Ethernet(ip, std::move(tags)) : Cooked2(ip);
    };
    std::vector<TFrame> frames;
    // 09:05:03 UTC: a DNS query and its answer.
    frames.push_back({wrap(MakeDatagram({.Protocol = 17, .Source = "10.0.0.2", .Dest = "9.1.2.3",
                                         .SourcePort = 40000, .DestPort = 53, .TotalLength = 60, .Delivered = 60})),
                      1767603903, 250000});
    frames.push_back({wrap(MakeDatagram({.Protocol = 17, .Source = "9.1.2.3", .Dest = "10.0.0.2",
                                         .SourcePort = 53, .DestPort = 40000, .TotalLength = 120,
                                         .Delivered = 120})),
                      1767603903, 900000});
    // A web request behind a VLAN tag, and a ping reply that is only 28 bytes
    // (padded on the wire).
    frames.push_back({wrap(MakeDatagram({.Protocol = 6, .Source = "10.0.0.2", .Dest = "192.168.0.10",
                                         .SourcePort = 1025, .DestPort = 80, .TotalLength = 40,
                                         .Delivered = 40}),
                           {0x81, 0x00, 0x00, 0x05}),
                      1767603904, 0});
    frames.push_back({wrap(MakeDatagram({.Protocol = 1, .Source = "192.168.0.10", .Dest = "10.0.0.2",
                                         .TotalLength = 28, .Delivered = 28})),
                      1767603904, 500000});
    // Between two other hosts: counted in the totals only.
    frames.push_back({wrap(MakeDatagram({.Protocol = 6, .Source = "10.0.0.7", .Dest = "10.0.0.8",
                                         .SourcePort = 80, .DestPort = 3000, .TotalLength = 1500,
                                         .Delivered = 1500})),
                      1767603905, 0});
    // An IPv6 frame the engine does not take at all.
    std::vector<std::uint8_t> v6(80, 0);
    v6[12] = 0x86;
    v6[13] = 0xDD;
    v6[14] = 0x60;
    if (ethernet) frames.push_back({v6, 1767603905, 100});
    // A datagram to ourselves, as on loopback: counted once each way.
    frames.push_back({wrap(MakeDatagram({.Protocol = 6, .Source = "10.0.0.2", .Dest = "10.0.0.2",
                                         .SourcePort = 1025, .DestPort = 110, .TotalLength = 52,
                                         .Delivered = 52})),
                      1767603906, 0});
    return frames;
  }

  static constexpr const char* kExpectedJson =
      "{\"adapter\":\"10.0.0.2\",\"total_packets\":6,\"total_bytes\":1800,"
      "\"sent\":{\"packets\":[3,0,0,1,0,1,0,0,0,0,0,1,0,0,0,0,0],\"bytes\":[152,0,0,60,0,40,0,0,0,0,0,52,0,0,0,0,0]},"
      "\"received\":{\"packets\":[3,1,0,1,0,0,0,0,0,0,1,0,0,0,0,0,0],\"bytes\":[200,28,0,120,0,0,0,0,0,0,52,0,0,0,0,0,0]},"
      "\"dropped\":0,\"addresses\":["
      "{\"addr\":\"9.1.2.3\",\"sent_bytes\":60,\"recv_bytes\":120,\"last_category\":\"DNS Client\",\"last_time\":\"09:05:03\"},"
      "{\"addr\":\"10.0.0.2\",\"sent_bytes\":52,\"recv_bytes\":52,\"last_category\":\"POP3 Server\",\"last_time\":\"09:05:06\"},"
      "{\"addr\":\"192.168.0.10\",\"sent_bytes\":40,\"recv_bytes\":28,\"last_category\":\"ICMP\",\"last_time\":\"09:05:04\"}]}\n";

  int Report(const std::vector<std::string>& args, std::string& out, std::string& err) {
    std::ostringstream o, e;
    const int code = RunHeadlessReport(args, o, e);
    out = o.str();
    err = e.str();
    return code;
  }

  fs::path Dir;
  std::vector<std::string> Boxes;
};

TEST_F(CaptureFile, ReportMatchesHandCountsInBothFileFormats) {
  ASSERT_STREQ(getenv("TZ"), "UTC");
  const auto pcap = (Dir / "traffic.pcap").string();
  const auto pcapng = (Dir / "traffic.pcapng").string();
  const auto cooked = (Dir / "cooked.pcap").string();
  WritePcap(pcap, 1, Traffic(true));
  WritePcapNg(pcapng, 1, Traffic(true));
  WritePcap(cooked, 276, Traffic(false));
  for (const auto& file : {pcap, pcapng, cooked}) {
    std::string out, err;
    EXPECT_EQ(Report({"--report", "--adapter", "10.0.0.2", "--read", file, "--json"}, out, err), 0) << err;
    EXPECT_EQ(out, kExpectedJson) << file;
    EXPECT_EQ(err, "");
  }
}

TEST_F(CaptureFile, TextReportNamesEveryCategory) {
  const auto pcap = (Dir / "traffic.pcap").string();
  WritePcap(pcap, 1, Traffic(true));
  std::string out, err;
  ASSERT_EQ(Report({"--report", "--adapter", "10.0.0.2", "--read", pcap}, out, err), 0) << err;
  for (auto name : ServiceCategoryNames) EXPECT_NE(out.find(name), std::string::npos) << name;
  EXPECT_NE(out.find("192.168.0.10"), std::string::npos);
  EXPECT_NE(out.find("09:05:06"), std::string::npos);
}

TEST_F(CaptureFile, BadArgumentsAndBadFilesFailClearly) {
  struct TCase {
    std::vector<std::string> Args;
    int Code;
    const char* Says;
  };
  const auto missing = (Dir / "missing.pcap").string();
  const auto junk = (Dir / "junk.pcap").string();
  std::ofstream(junk) << "this is not a capture file";
  const TCase cases[] = {
      {{"--report"}, 2, "--adapter is missing"},
      {{"--report", "--adapter", "10.0.0.2"}, 2, "either --read FILE or --seconds N"},
      {{"--report", "--adapter", "10.0.0.2", "--read", junk, "--seconds", "3"}, 2, "either"},
      {{"--report", "--adapter", "10.0.0.2", "--seconds", "soon"}, 2, "whole number"},
      {{"--report", "--adapter", "10.0.0.2", "--frobnicate"}, 2, "unknown option"},
      {{"--report", "--adapter", "ten", "--read", junk}, 1, "not an IPv4 address"},
      {{"--report", "--adapter", "10.0.0.2", "--read", missing}, 1, "No such file"},
      {{"--report", "--adapter", "10.0.0.2", "--read", junk}, 1, "InitAdapter :WSASocket failed"},
      {{"--report", "--adapter", "198.51.100.250", "--seconds", "1"}, 1, "is not an address of this host"},
  };
  for (const auto& c : cases) {
    std::string out, err;
    EXPECT_EQ(Report(c.Args, out, err), c.Code) << c.Args.back();
    EXPECT_NE(err.find(c.Says), std::string::npos) << err;
    EXPECT_EQ(out, "");
  }
}

TEST_F(CaptureFile, TruncatedFileReportsWhatWasReadAndFails) {
  const auto pcap = (Dir / "cut.pcap").string();
  WritePcap(pcap, 1, Traffic(true));
  fs::resize_file(pcap, fs::file_size(pcap) - 10);
  std::string out, err;
  EXPECT_EQ(Report({"--report", "--adapter", "10.0.0.2", "--read", pcap, "--json"}, out, err), 1);
  EXPECT_NE(out.find("\"total_packets\":5"), std::string::npos) << out;
  EXPECT_NE(err.find("ended early"), std::string::npos) << err;
}

TEST_F(CaptureFile, UnsupportedLinkTypeGivesBothBoxesAndNoThread) {
  const auto pcap = (Dir / "wifi.pcap").string();
  WritePcap(pcap, 105, {});
  TIPMonitor monitor;
  monitor.Ioctl->CaptureFile = pcap;
  monitor.Ioctl->Adapters[1] = Addr("10.0.0.2");
  monitor.Ioctl->SelectedAdapter = 1;
  EXPECT_LT(monitor.CaptureStart(), 0);
  EXPECT_EQ(Boxes, (std::vector<std::string>{"InitAdapter :WSASocket failed", "CaptureStart Error"}));
  EXPECT_EQ(monitor.Thread, nullptr);
  EXPECT_EQ(monitor.Ioctl->Running, 0);
  EXPECT_EQ(monitor.Ioctl->CaptureSocket, nullptr);
}

TEST_F(CaptureFile, MonitorEndsAFinishedCaptureWithoutWaiting) {
  const auto pcap = (Dir / "traffic.pcap").string();
  WritePcap(pcap, 1, Traffic(true));
  TIPMonitor monitor;
  TXIoctl& state = *monitor.Ioctl;
  state.CaptureFile = pcap;
  state.Adapters[1] = Addr("10.0.0.2");
  state.SelectedAdapter = 1;
  int notifications = 0;
  struct TTarget : TCaptureNotifyTarget {
    explicit TTarget(int& n) : N(n) {}
    void CaptureNotify() override { ++N; }
    int& N;
  } target(notifications);
  state.NotifyWindow = &target;
  ASSERT_EQ(monitor.CaptureStart(), 0);
  while (state.StopEvent.WaitFor(std::chrono::seconds(5)) != TManualResetEvent::TWaitResult::Signaled) {
  }
  EXPECT_EQ(monitor.Thread->ExitCode(), 0);  // the end of the file ends the run like a stop
  monitor.CaptureEnd();
  EXPECT_EQ(monitor.Thread, nullptr);
  EXPECT_EQ(notifications, 2);  // the start, then the one group the small file makes
  EXPECT_EQ(state.TotalPackets, 6);
  EXPECT_EQ(state.RecordQueue.size(), 6u);  // 3 sent + 3 received records
  EXPECT_TRUE(Boxes.empty());
}

}  // namespace
