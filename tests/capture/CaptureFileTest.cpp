// Whole captures read from files through the monitor: the same decoding and
// counting as a live capture, with no privilege needed.
#include <gtest/gtest.h>

#include "common/Datagrams.h"
#include "common/SampleTraffic.h"
#include "capture/IPMonitor.h"
#include "capture/XIoctlUnit.h"

namespace {

class CaptureFileTest : public TCaptureFileTest {};

TEST_F(CaptureFileTest, UnsupportedLinkTypeGivesBothBoxesAndNoThread) {
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

TEST_F(CaptureFileTest, MonitorEndsAFinishedCaptureWithoutWaiting) {
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

// IPv6 counting, each rule by one datagram in a raw capture file (either
// family per frame) watched as 2001:db8::1: the length, the upper layer found
// behind the extension headers, its ports, and the category they give.
TEST_F(CaptureFileTest, Ipv6DatagramsAreCountedByTheirOwnRules) {
  struct TCase {
    const char* What;
    TDatagram6Spec Spec;
    std::uint8_t Category;  // of the first record; 0: not counted
    std::int64_t Length;
    std::uint8_t Protocol;
    std::uint16_t LocalPort, RemotePort;
  };
  using V = std::vector<std::uint8_t>;
  const V http = {0x04, 0x01, 0x00, 0x50};  // 1025 -> 80
  const auto ext = [](std::uint8_t next, std::uint8_t length, std::size_t bytes) {
    V h(bytes, 0);
    h[0] = next;
    h[1] = length;
    return h;
  };
  const auto cat = [](V a, const V& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  V fragment = ext(17, 0, 8);
  fragment[3] = 0x08;  // offset 1 (8 bytes): a later fragment
  const std::vector<TCase> cases = {
      {"tcp to port 80", {.Next = 6, .Chain = http, .PayloadLength = 20}, 5, 60, 6, 1025, 80},
      {"received: remote port is the source", {.Next = 6, .Chain = http, .Source = "2001:db8::9",
       .Dest = "2001:db8::1", .PayloadLength = 20}, 4, 60, 6, 80, 1025},
      {"hop-by-hop, routing, destination options", {.Next = 0, .Chain = cat(cat(cat(ext(43, 0, 8), ext(60, 1, 24)),
       ext(6, 0, 8)), http), .PayloadLength = 64}, 5, 104, 6, 1025, 80},
      {"AH is (length + 2) * 4", {.Next = 51, .Chain = cat(ext(17, 1, 12), {0, 53, 0, 53}), .PayloadLength = 20},
       3, 60, 17, 53, 53},
      {"first fragment has ports", {.Next = 44, .Chain = cat(ext(17, 0, 8), {0x9c, 0x40, 0, 53}), .PayloadLength = 1200},
       3, 1240, 17, 40000, 53},
      {"later fragment has none", {.Next = 44, .Chain = cat(fragment, {0, 53, 0, 53}), .PayloadLength = 100},
       16, 140, 17, 0, 0},
      {"ICMPv6", {.Next = 58, .Chain = {128, 0, 0, 0, 0, 80, 0, 80}, .PayloadLength = 64}, 1, 104, 58, 0, 0},
      {"ICMP for IPv4 is no ICMP here", {.Next = 1, .Chain = {8, 0, 0, 0}, .PayloadLength = 8}, 16, 48, 1, 0, 0},
      {"tcp without its port bytes", {.Next = 6, .Chain = {0, 80}, .PayloadLength = 20}, 16, 60, 6, 0, 0},
      {"walk cut short", {.Next = 0, .Chain = {6}, .PayloadLength = 40}, 16, 80, 0, 0, 0},
      {"no next header", {.Next = 59, .Chain = {}, .PayloadLength = 0}, 16, 40, 59, 0, 0},
      {"someone else's", {.Next = 6, .Chain = http, .Source = "2001:db8::7", .Dest = "2001:db8::8",
       .PayloadLength = 1000}, 0, 1040, 0, 0, 0},
  };
  std::vector<TFrame> frames;
  std::int64_t total = 0;
  for (const TCase& c : cases) {
    frames.push_back({MakeDatagram6(c.Spec), 1767603903, 0});
    total += c.Length;
  }
  // IPv4 is not counted at all when the watched address is IPv6.
  frames.push_back({MakeDatagram({.Source = "10.0.0.2", .Dest = "10.0.0.1"}), 1767603903, 0});
  const auto pcap = (Dir / "six.pcap").string();
  WritePcap(pcap, 12, frames);
  TIPMonitor monitor;
  TXIoctl& state = *monitor.Ioctl;
  state.CaptureFile = pcap;
  ASSERT_TRUE(TIpAddress::Parse("2001:db8::1", state.Adapters[1]));
  state.SelectedAdapter = 1;
  struct : TCaptureNotifyTarget {
    void CaptureNotify() override {}
  } target;
  state.NotifyWindow = &target;
  ASSERT_EQ(monitor.CaptureStart(), 0);
  ASSERT_EQ(state.StopEvent.WaitFor(std::chrono::seconds(10)), TManualResetEvent::TWaitResult::Signaled);
  monitor.CaptureEnd();
  EXPECT_EQ(state.TotalPackets, static_cast<std::int64_t>(cases.size()));
  EXPECT_EQ(state.TotalBytes, total);
  std::size_t r = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    if (c.Category == 0) continue;
    ASSERT_LT(r, state.RecordQueue.size());
    const PacketRecord& got = state.RecordQueue[r++];
    EXPECT_EQ(got.Category, c.Category);
    EXPECT_EQ(got.Length, c.Length);
    EXPECT_EQ(got.Protocol, c.Protocol);
    EXPECT_EQ(got.LocalPort, c.LocalPort);
    EXPECT_EQ(got.RemotePort, c.RemotePort);
    EXPECT_EQ(got.RemoteAddr.Text(), got.Direction == DirectionSent ? c.Spec.Dest : c.Spec.Source);
  }
  EXPECT_EQ(r, state.RecordQueue.size());
}

}  // namespace
