// Whole captures read from files through the monitor: the same decoding and
// counting as a live capture, with no privilege needed.
#include <gtest/gtest.h>

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

}  // namespace
