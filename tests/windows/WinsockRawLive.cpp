// The capture loop fed by a real Winsock raw socket. Receive-all mode is
// refused under Wine, so the socket is one of the UDP protocol, which gets
// whole IPv4 datagrams from their header on all the same (run as root).
#include <gtest/gtest.h>
#include <ws2tcpip.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "capture/CaptureThread.h"
#include "capture/NotifyTargets.h"
#include "capture/XIoctlUnit.h"
#include "capture/backend/win/WinsockCapture.h"

namespace {

TEST(WinsockRawLive, TheCaptureLoopCountsDatagramsFromARawSocketAndEndsWhenItIsClosed) {
  const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
  TXIoctl state;
  TOpenFailure failure;
  TWinsockCaptureOptions options;
  options.Protocol = IPPROTO_UDP;
  options.ReceiveAll = false;
  auto capture = TWinsockCaptureSocket::Open(loopback, failure, SystemWinsock(), options);
  if (!capture && failure.PermissionDenied) GTEST_SKIP() << "raw sockets need root: " << failure.Reason;
  ASSERT_TRUE(capture) << failure.Reason;
  state.CaptureSocket = std::move(capture);
  state.Adapters[1] = loopback;
  state.AdapterCount = 1;
  state.SelectedAdapter = 1;
  std::atomic<int> notifications{0};
  TDirectNotifyTarget target([&] { ++notifications; });
  state.NotifyWindow = &target;
  TCaptureThread thread(state);

  // Five datagrams of 100 bytes to the discard port, from a plain socket.
  const SOCKET sender = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  ASSERT_NE(sender, INVALID_SOCKET);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9);
  to.sin_addr.s_addr = loopback;
  const char payload[100] = {};
  constexpr int Sent = 5;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (int i = 0; i < Sent; ++i)
    sendto(sender, payload, sizeof payload, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  while (notifications.load() < Sent + 1 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  closesocket(sender);

  // The stop closes the socket under the blocked receive.
  state.TermAdapter();
  thread.WaitFor();
  EXPECT_EQ(thread.ExitCode(), 2);
  EXPECT_EQ(state.TotalPackets, Sent);
  EXPECT_EQ(state.TotalBytes, Sent * (20 + 8 + 100));
  // From the address to itself: sent and received alike.
  EXPECT_EQ(state.Counters[0][0][0], Sent);
  EXPECT_EQ(state.Counters[1][0][0], Sent);
  EXPECT_EQ(state.Counters[1][1][0], Sent * 128);
}

}  // namespace
