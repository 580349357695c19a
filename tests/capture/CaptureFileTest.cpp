// Whole captures read from files through the monitor: the same decoding and
// counting as a live capture, with no privilege needed.
#include <gtest/gtest.h>

#include "common/Datagrams.h"
#include "common/SampleTraffic.h"
#include "capture/IPMonitor.h"
#include "capture/NotifyTargets.h"
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
    int Category;  // of its record; 0: not ours
    std::int64_t Length;
    int Protocol, LocalPort, RemotePort;
  };
  const TBytes http = {4, 1, 0, 80}, dns = {0, 53, 0, 53};  // 1025 -> 80, 53 -> 53
  const std::vector<TCase> cases = {
      {"tcp to port 80", {6, http, 20}, 5, 60, 6, 1025, 80},
      {"received", {6, http, 20, "2001:db8::9", "2001:db8::1"}, 4, 60, 6, 80, 1025},
      {"hop-by-hop, routing, destination options",
       {0, Ipv6Options(43, 0) + Ipv6Options(60, 1) + Ipv6Options(6, 0) + http, 64}, 5, 104, 6, 1025, 80},
      {"AH is (length + 2) * 4", {51, TBytes{17, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0} + dns, 20}, 3, 60, 17, 53, 53},
      {"first fragment", {44, Ipv6Options(17, 0) + TBytes{0x9c, 0x40, 0, 53}, 1200}, 3, 1240, 17, 40000, 53},
      {"later fragment", {44, TBytes{17, 0, 0, 8, 0, 0, 0, 0} + dns, 100}, 16, 140, 17, 0, 0},
      {"ICMPv6", {58, {128, 0, 0, 0, 0, 80, 0, 80}, 64}, 1, 104, 58, 0, 0},
      {"IPv4's ICMP", {1, {8, 0, 0, 0}, 8}, 16, 48, 1, 0, 0},
      {"tcp without its port bytes", {6, {0, 80}, 20}, 16, 60, 6, 0, 0},
      {"walk cut short", {0, {6}, 40}, 16, 80, 0, 0, 0},
      {"no next header", {59, {}, 0}, 16, 40, 59, 0, 0},
      {"someone else's", {6, http, 1000, "2001:db8::7", "2001:db8::8"}, 0, 1040, 0, 0, 0},
  };
  // IPv4 is not counted at all when the watched address is IPv6.
  std::vector<TFrame> frames = {{MakeDatagram({.Source = "10.0.0.2", .Dest = "10.0.0.1"}), 1767603903, 0}};
  for (const TCase& c : cases) frames.push_back({MakeDatagram6(c.Spec), 1767603903, 0});
  WritePcap((Dir / "six.pcap").string(), 12, frames);
  TIPMonitor monitor;
  TXIoctl& state = *monitor.Ioctl;
  state.CaptureFile = (Dir / "six.pcap").string();
  ASSERT_TRUE(TIpAddress::Parse("2001:db8::1", state.Adapters[1]));
  state.SelectedAdapter = 1;
  TDirectNotifyTarget quiet([] {});
  state.NotifyWindow = &quiet;
  ASSERT_EQ(monitor.CaptureStart(), 0);
  ASSERT_EQ(state.StopEvent.WaitFor(std::chrono::seconds(10)), TManualResetEvent::TWaitResult::Signaled);
  monitor.CaptureEnd();
  std::int64_t total = 0;
  auto got = state.RecordQueue.begin();
  for (const TCase& c : cases) {
    total += c.Length;
    if (c.Category == 0) continue;
    ASSERT_NE(got, state.RecordQueue.end());
    const std::string remote = got->Direction == DirectionSent ? c.Spec.Dest : c.Spec.Source;
    EXPECT_EQ(std::tuple(int{got->Category}, got->Length, int{got->Protocol}, int{got->LocalPort}, int{got->RemotePort},
                         got->RemoteAddr.Text()),
              std::tuple(c.Category, c.Length, c.Protocol, c.LocalPort, c.RemotePort, remote))
        << c.What;
    ++got;
  }
  EXPECT_EQ(got, state.RecordQueue.end());
  EXPECT_EQ(std::pair(state.TotalPackets, state.TotalBytes), std::pair(static_cast<std::int64_t>(cases.size()), total));
}

}  // namespace
