// Live captures on private test hosts: two network namespaces joined by a
// veth pair, made here, with known traffic sent between them. Root only.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <numeric>
#include <sstream>

#include "capture/AddrTotals.h"
#include "common/Datagrams.h"
#include "common/Reachable.h"
#include "capture/backend/HostAddresses.h"
#include "capture/NotifyTargets.h"
#include "common/TestNetwork.h"
#include "common/TestSockets.h"
#include "capture/IPMonitor.h"
#include "capture/XIoctlUnit.h"

namespace {

using namespace std::chrono_literals;

// Documentation-range addresses, used only inside the test namespaces.
constexpr const char* kOurs = "203.0.113.1";
constexpr const char* kOther = "203.0.113.3";  // a second address on our side of the link
constexpr const char* kPeer = "203.0.113.2";

// Sends a datagram whose IP header the test writes itself.
void SendRaw(const std::vector<std::uint8_t>& datagram, const char* to) {
  TFd fd(socket(AF_INET, SOCK_RAW, IPPROTO_RAW));
  const auto to_ = Endpoint(to, 0);
  if (sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_) < 0)
    throw std::runtime_error(std::string("raw sendto: ") + std::strerror(errno));
}

std::vector<std::uint8_t> Header(std::uint8_t protocol, std::uint16_t length, std::size_t headerBytes) {
  auto d = MakeDatagram({.Protocol = protocol, .Source = kOurs, .Dest = kPeer, .TotalLength = length,
                         .Delivered = std::max<std::size_t>(length, 24)});
  d.resize(length);
  d[0] = static_cast<std::uint8_t>(0x40 | (headerBytes / 4));
  return d;
}

class CaptureLive : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!TestNamespacesUnavailable().empty()) return;
    const std::string tag = std::to_string(getpid());
    Ours = std::make_unique<TTestNamespace>("wpa" + tag);
    Peer = std::make_unique<TTestNamespace>("wpb" + tag);
    const std::string a = "wva" + tag, b = "wvb" + tag;
    Ours->Run("ip link add " + a + " type veth peer name " + b + " netns " + Peer->Name);
    for (const auto* ns : {Ours.get(), Peer.get()})
      ns->Run("sysctl -q -w net.ipv6.conf.all.disable_ipv6=1");  // keeps the link free of other traffic
    Ours->Run("ip addr add " + std::string(kOurs) + "/24 dev " + a);
    Ours->Run("ip addr add " + std::string(kOther) + "/24 dev " + a);
    Ours->Run("ip link set " + a + " up");
    Peer->Run("ip addr add " + std::string(kPeer) + "/24 dev " + b);
    Peer->Run("ip link set " + b + " up");
    OursLink = a;
    // Resolve the peer's link address now, so no ARP exchange is pending later.
    Ours->Run("ping -c 1 -w 10 " + std::string(kPeer));
  }
  static void TearDownTestSuite() {
    Peer.reset();
    Ours.reset();
  }
  void SetUp() override {
    SKIP_WITHOUT_TEST_NAMESPACES();
    ASSERT_TRUE(Ours && Peer) << "the test networks were not made";
    SetErrorBoxSink([this](std::string_view text, std::string_view) {
      Boxes.emplace_back(text);
      return 1;
    });
  }
  void TearDown() override { SetErrorBoxSink(nullptr); }

  // Opens the monitor inside our namespace and selects the address.
  void Select(TIPMonitor& monitor, const char* addr) {
    ASSERT_GE(monitor.WSA_Open(), 1);
    TXIoctl& s = *monitor.Ioctl;
    for (int i = 1; i <= s.AdapterCount; ++i)
      if (s.Adapters[i] == Addr(addr)) s.SelectedAdapter = i;
    ASSERT_EQ(s.Adapters[s.SelectedAdapter], Addr(addr));
  }

  static inline std::unique_ptr<TTestNamespace> Ours, Peer;
  static inline std::string OursLink;
  std::vector<std::string> Boxes;
};

TEST_F(CaptureLive, CountsKnownTrafficExactly) {
  TInNamespace inside(*Ours);
  TIPMonitor monitor;
  Select(monitor, kOurs);
  TXIoctl& state = *monitor.Ioctl;
  TAddrTotalsTable addresses;
  TDirectNotifyTarget target([&] { addresses.Drain(state); });
  state.NotifyWindow = &target;

  // Listeners on the peer, so nothing is answered with an ICMP error.
  std::atomic<bool> peerReady{false}, done{false};
  std::thread peer([&] {
    TInNamespace there(*Peer);
    TFd udp(socket(AF_INET, SOCK_DGRAM, 0));
    Bind(udp, kPeer, 9000);
    TFd raw(socket(AF_INET, SOCK_RAW, 253));  // takes the experimental protocol
    TFd tcp(socket(AF_INET, SOCK_STREAM, 0));
    int one = 1;
    setsockopt(tcp, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    Bind(tcp, kPeer, 80);
    listen(tcp, 1);
    peerReady = true;
    const int conn = accept(tcp, nullptr, nullptr);
    char buffer[4096];
    while (conn >= 0 && recv(conn, buffer, sizeof buffer, 0) > 0) {
    }
    if (conn >= 0) close(conn);
    while (!done) std::this_thread::sleep_for(5ms);
  });
  while (!peerReady) std::this_thread::sleep_for(1ms);
  TFd dnsServer(socket(AF_INET, SOCK_DGRAM, 0));
  Bind(dnsServer, kOurs, 53);

  ASSERT_EQ(monitor.CaptureStart(), 0);
  SendUdp(kOurs, 40000, kPeer, 9000, 100, 10);  // 10 x 128 bytes sent, no service
  RunIn(*Peer, [] { SendUdp(kPeer, 5353, kOurs, 53, 200, 5); });  // 5 x 228 received, our DNS server
  {
    // 3 echo requests of 84 bytes, answered by the peer's kernel.
    TFd icmp(socket(AF_INET, SOCK_RAW, IPPROTO_ICMP));
    for (std::uint16_t seq = 1; seq <= 3; ++seq) {
      std::uint8_t packet[64] = {8, 0, 0, 0, 0x12, 0x34, 0, static_cast<std::uint8_t>(seq)};
      std::uint32_t sum = 0;
      for (std::size_t i = 0; i < sizeof packet; i += 2) sum += static_cast<std::uint32_t>(packet[i] << 8 | packet[i + 1]);
      while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
      const auto check = static_cast<std::uint16_t>(~sum);
      packet[2] = static_cast<std::uint8_t>(check >> 8);
      packet[3] = static_cast<std::uint8_t>(check);
      const auto to = Endpoint(kPeer, 0);
      ASSERT_GT(sendto(icmp, packet, sizeof packet, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
      char reply[256];
      ASSERT_GT(recv(icmp, reply, sizeof reply, 0), 0);
    }
  }
  {
    // A short TCP exchange with a web server on the peer.
    TFd tcp(socket(AF_INET, SOCK_STREAM, 0));
    const auto to = Endpoint(kPeer, 80);
    ASSERT_EQ(connect(tcp, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    const std::string request(1000, 'x');
    ASSERT_EQ(send(tcp, request.data(), request.size(), 0), 1000);
  }
  SendUdp(kOther, 40001, kPeer, 9000, 50, 4);  // between two other addresses: 4 x 78
  SendRaw(Header(253, 20, 20), kPeer);         // shorter than 24 bytes
  SendRaw(Header(253, 22, 20), kPeer);
  {
    // Options: bytes 20 to 23 are NOP, NOP, EOL and a padding byte 0x35, so
    // they read as ports 257 and 53 and classify as a DNS client, although the
    // real UDP ports behind them are 9000 and 9000.
    auto d = Header(17, 24 + 8 + 10, 24);
    const std::uint8_t options[] = {0x01, 0x01, 0x00, 0x35, 0x23, 0x28, 0x23, 0x28, 0x00, 18, 0, 0};
    std::memcpy(d.data() + 20, options, sizeof options);
    SendRaw(d, kPeer);
  }
  {
    // 3,000 bytes of UDP in three fragments; the later fragments carry bytes
    // that read as ports 53 and 53 where the engine looks for ports.
    std::vector<std::uint8_t> payload(3000, 0x11);
    for (std::size_t at : {1472u, 2952u}) {
      payload[at] = 0x00;
      payload[at + 1] = 0x35;
      payload[at + 2] = 0x00;
      payload[at + 3] = 0x35;
    }
    SendUdp(kOurs, 40002, kPeer, 9000, payload.size(), 1, payload);
  }
  // Self-to-self through the veth address is local delivery: it crosses no
  // interface of ours here; loopback is tested on its own.
  std::this_thread::sleep_for(300ms);
  monitor.CaptureEnd();
  done = true;
  peer.join();

  const auto& c = state.Counters;
  using enum ServiceCategory;
  const auto at = [](ServiceCategory k) { return static_cast<std::size_t>(k); };
  // TCP segment counts depend on the stack; they must all be web-client ones.
  const std::int64_t tcpSent = c[0][KindPackets][at(HttpClient)], tcpRecv = c[1][KindPackets][at(HttpClient)];
  EXPECT_GE(tcpSent, 3);  // SYN, data, FIN at least
  EXPECT_GE(tcpRecv, 2);

  EXPECT_EQ(c[0][KindPackets][at(Sonota)], 10 + 2 + 1);  // udp, two short datagrams, first fragment
  EXPECT_EQ(c[0][KindBytes][at(Sonota)], 10 * 128 + 20 + 22 + 1500);
  EXPECT_EQ(c[1][KindPackets][at(DnsServer)], 5);
  EXPECT_EQ(c[1][KindBytes][at(DnsServer)], 5 * 228);
  EXPECT_EQ(c[0][KindPackets][at(Icmp)], 3);
  EXPECT_EQ(c[1][KindPackets][at(Icmp)], 3);
  EXPECT_EQ(c[0][KindBytes][at(Icmp)], 3 * 84);
  EXPECT_EQ(c[0][KindPackets][at(DnsClient)], 1 + 2);  // options datagram, two later fragments
  EXPECT_EQ(c[0][KindBytes][at(DnsClient)], 42 + 1500 + 68);
  EXPECT_EQ(c[0][KindPackets][0], 10 + 2 + 1 + 3 + 3 + tcpSent);
  EXPECT_EQ(c[1][KindPackets][0], 5 + 3 + tcpRecv);
  for (int d = 0; d < 2; ++d)
    for (int kind = 0; kind < 2; ++kind) {
      const auto& row = c[static_cast<std::size_t>(d)][static_cast<std::size_t>(kind)];
      EXPECT_EQ(row[0], std::accumulate(row.begin() + 1, row.end(), std::int64_t{0}));
    }
  // Everything of ours, plus the 4 datagrams between two other addresses.
  EXPECT_EQ(state.TotalPackets, c[0][KindPackets][0] + c[1][KindPackets][0] + 4);
  EXPECT_EQ(state.TotalBytes, c[0][KindBytes][0] + c[1][KindBytes][0] + 4 * 78);
  ASSERT_EQ(addresses.RowCount(), 1);
  EXPECT_EQ(TAddrTotalsTable::AddressText(addresses.Row(0).Addr), kPeer);
  EXPECT_EQ(addresses.Row(0).SentBytes, c[0][KindBytes][0]);
  EXPECT_EQ(addresses.Row(0).RecvBytes, c[1][KindBytes][0]);
  EXPECT_TRUE(Boxes.empty());
}

TEST_F(CaptureLive, LoopbackSelfToSelfIsCountedOnceEachWay) {
  TInNamespace inside(*Ours);
  TIPMonitor monitor;
  Select(monitor, "127.0.0.1");
  // Loopback is the last address listed; the interfaces as wholes follow.
  int last = monitor.Ioctl->AdapterCount;
  while (monitor.Ioctl->AdapterIsInterface[last]) --last;
  EXPECT_EQ(monitor.Ioctl->Adapters[last], Addr("127.0.0.1"));
  TXIoctl& state = *monitor.Ioctl;
  std::atomic<int> notifications{0};
  TDirectNotifyTarget target([&] { ++notifications; });
  state.NotifyWindow = &target;
  TFd sink(socket(AF_INET, SOCK_DGRAM, 0));
  Bind(sink, "127.0.0.1", 9100);
  ASSERT_EQ(monitor.CaptureStart(), 0);
  SendUdp("127.0.0.1", 9101, "127.0.0.1", 9100, 72, 7);
  std::this_thread::sleep_for(200ms);
  monitor.CaptureEnd();
  EXPECT_EQ(state.TotalPackets, 7);
  EXPECT_EQ(state.Counters[0][KindPackets][0], 7);
  EXPECT_EQ(state.Counters[1][KindPackets][0], 7);
  EXPECT_EQ(state.Counters[0][KindBytes][0], 7 * 100);
  EXPECT_GE(notifications, 2);
}

TEST_F(CaptureLive, StopWhileBlockedIsPrompt) {
  TInNamespace inside(*Ours);
  TIPMonitor monitor;
  Select(monitor, kOurs);
  TDirectNotifyTarget target([] {});
  monitor.Ioctl->NotifyWindow = &target;
  auto best = std::chrono::steady_clock::duration::max();
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(monitor.CaptureStart(), 0);
    std::this_thread::sleep_for(100ms);  // well inside its receive by now
    const auto before = std::chrono::steady_clock::now();
    monitor.CaptureEnd();
    best = std::min(best, std::chrono::steady_clock::now() - before);
  }
  EXPECT_LT(best, 100ms);
}

TEST_F(CaptureLive, StopWhileASlowNotificationIsHandled) {
  TInNamespace inside(*Ours);
  TIPMonitor monitor;
  Select(monitor, kOurs);
  std::atomic<int> handled{0};
  std::atomic<int> posted{0};
  // The owner never runs an event loop: only the stop's wait can serve.
  TQueuedNotifyTarget target(
      [&] {
        std::this_thread::sleep_for(30ms);
        ++handled;
      },
      [&] { ++posted; });
  monitor.Ioctl->NotifyWindow = &target;
  ASSERT_EQ(monitor.CaptureStart(), 0);
  while (posted == 0) std::this_thread::sleep_for(1ms);
  monitor.CaptureEnd();
  EXPECT_GE(handled, 1);
  EXPECT_EQ(monitor.Ioctl->Running, 0);
}

TEST_F(CaptureLive, StartFailuresShowBothBoxesAndLeaveNoThread) {
  TInNamespace inside(*Ours);
  TIPMonitor monitor;
  Select(monitor, kOurs);
  TDirectNotifyTarget target([] {});
  monitor.Ioctl->NotifyWindow = &target;

  monitor.Ioctl->Adapters[monitor.Ioctl->SelectedAdapter] = Addr("198.51.100.7");  // nobody's
  EXPECT_EQ(monitor.CaptureStart(), -1);
  EXPECT_EQ(Boxes, (std::vector<std::string>{"IntAdapter :bind failed", "CaptureStart Error"}));
  EXPECT_EQ(monitor.Thread, nullptr);

  Boxes.clear();
  monitor.Ioctl->Adapters[monitor.Ioctl->SelectedAdapter] = Addr(kOurs);
  Ours->Run("ip link set " + OursLink + " down");
  EXPECT_EQ(monitor.CaptureStart(), -1);
  Ours->Run("ip link set " + OursLink + " up");
  EXPECT_EQ(Boxes, (std::vector<std::string>{"InitAdapter : WSAIoCtl failed", "CaptureStart Error"}));
  EXPECT_EQ(monitor.Thread, nullptr);
  EXPECT_EQ(monitor.Ioctl->Running, 0);
  EXPECT_EQ(monitor.Ioctl->CaptureSocket, nullptr);
}

TEST_F(CaptureLive, WithoutCapturePrivilegeTheReportSaysWhy) {
  const std::string command = "ip netns exec " + Ours->Name +
                              " setpriv --inh-caps=-all --ambient-caps=-all --bounding-set=-net_raw -- " +
                              WIREPEEK_BINARY + " --report --adapter " + kOurs + " --seconds 1 2>&1";
  std::string output;
  EXPECT_EQ(CommandOutput(command, output), 1) << output;
  const auto first = output.find("InitAdapter : WSAIoCtl failed");
  const auto second = output.find("CaptureStart Error");
  ASSERT_NE(first, std::string::npos) << output;
  ASSERT_NE(second, std::string::npos) << output;
  EXPECT_LT(first, second);
  EXPECT_NE(output.find("cap_net_raw"), std::string::npos) << output;
}

TEST_F(CaptureLive, AdapterListHoldsEveryAddressIpv4First) {
  TTestNamespace many("wpc" + std::to_string(getpid()));
  many.Run("ip link add wm0 type veth peer name wm1");
  many.Run("ip link set wm0 up");
  for (int i = 1; i <= 11; ++i) many.Run("ip addr add 198.51.100." + std::to_string(i) + "/24 dev wm0");
  many.Run("ip addr add 2001:db8::1/64 dev wm0 nodad");
  TInNamespace inside(many);
  TIPMonitor monitor;
  ASSERT_GE(monitor.WSA_Open(), 13);
  const TXIoctl& state = *monitor.Ioctl;
  EXPECT_EQ(state.SelectedAdapter, 1);
  for (int i = 1; i <= 11; ++i) EXPECT_EQ(state.Adapters[i], Addr("198.51.100." + std::to_string(i)));
  EXPECT_EQ(state.Adapters[12], Addr("127.0.0.1"));
  EXPECT_EQ(state.Adapters[13].Text(), "2001:db8::1");
  EXPECT_EQ(state.AdapterNames[13], "wm0");
  EXPECT_TRUE(Boxes.empty());
#ifdef WIREPEEK_WINDOW
  // The window captures on the eleventh as on any other.
  const TReachableCopy copy({WIREPEEK_WINDOW});
  const std::string home = copy.Dir.string();
  std::string out;
  EXPECT_EQ(CommandOutput("ip netns exec " + many.Name + " env HOME=" + home + " XDG_STATE_HOME=" + home +
                              " XDG_CONFIG_HOME=" + home + " QT_QPA_PLATFORM=offscreen " + copy(WIREPEEK_WINDOW) +
                              " --start 198.51.100.11 --quit-after 1 2>&1",
                          out),
            0)
      << out;
  EXPECT_NE(out.find("{\"schema\":2,\"adapter\":\"198.51.100.11\",\"time\""), std::string::npos) << out;
#endif
}

TEST(HostAddressesTest, RealAddressesFirstThenLoopbackEachOnce) {
  const std::vector<THostAddress> host = {
      {"lo", Addr("127.0.0.1"), true, true},       {"eth0", Addr("10.1.1.1"), true, false},
      {"eth1", Addr("10.2.2.2"), false, false},    {"wlan0", Addr("10.3.3.3"), true, false},
      {"eth2", Addr("10.1.1.1"), true, false},     {"lo", Addr("127.0.0.2"), true, true},
  };
  EXPECT_EQ(CaptureAddresses(host),
            (std::vector<TIpAddress>{Addr("10.1.1.1"), Addr("10.3.3.3"), Addr("127.0.0.1"), Addr("127.0.0.2")}));
  EXPECT_EQ(InterfaceOwning(host, Addr("10.2.2.2")), "eth1");  // owned though down
  EXPECT_EQ(InterfaceOwning(host, Addr("10.1.1.1")), "eth0");
  EXPECT_EQ(InterfaceOwning(host, Addr("10.9.9.9")), "");
  EXPECT_TRUE(CaptureAddresses({}).empty());
}

}  // namespace
