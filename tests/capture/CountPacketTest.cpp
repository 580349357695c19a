#include "capture/CountPacket.h"

#include <gtest/gtest.h>

#include <utility>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>

#include "capture/backend/PacketBytes.h"
#include "common/Datagrams.h"
#include "common/CaseName.h"

namespace {

using enum ServiceCategory;
constexpr std::uint8_t kTcp = 6, kUdp = 17, kIcmp = 1, kIgmp = 2;

struct TClassifyCase {
  const char* What;
  std::uint8_t Protocol;
  std::uint16_t SourcePort, DestPort;
  std::uint8_t Direction;
  ServiceCategory Expected;
};

class ClassifyTableTest : public testing::TestWithParam<TClassifyCase> {};

TEST_P(ClassifyTableTest, DecidesCategory) {
  const auto& c = GetParam();
  EXPECT_EQ(static_cast<int>(ClassifyService(c.Protocol, c.SourcePort, c.DestPort, c.Direction)),
            static_cast<int>(c.Expected))
      << c.What;
}

const TClassifyCase kCases[] = {
    {"http request sent", kTcp, 1025, 80, 0, HttpClient},
    {"http reply received", kTcp, 80, 1025, 1, HttpClient},
    {"our web server answers", kTcp, 80, 1025, 0, HttpServer},
    {"request to our web server", kTcp, 1025, 80, 1, HttpServer},
    {"ftp data port as client", kTcp, 3000, 20, 0, FtpClient},
    {"ftp control as server", kTcp, 21, 3000, 0, FtpServer},
    {"telnet client", kTcp, 3000, 23, 0, TelnetClient},
    {"telnet server", kTcp, 3000, 23, 1, TelnetServer},
    {"pop3 client", kTcp, 110, 3000, 1, Pop3Client},
    {"pop3 server", kTcp, 110, 3000, 0, Pop3Server},
    {"smtp client", kTcp, 3000, 25, 0, SmtpClient},
    {"smtp server", kTcp, 25, 3000, 0, SmtpServer},
    // Both sides on service ports: the remote side decides, in either direction.
    {"local 110 remote 25, sent", kTcp, 110, 25, 0, SmtpClient},
    {"remote 25 local 110, received", kTcp, 25, 110, 1, SmtpClient},
    {"local 80 remote 21", kTcp, 80, 21, 0, FtpClient},
    {"dns query", kUdp, 5353, 53, 0, DnsClient},
    {"dns answer", kUdp, 53, 5353, 1, DnsClient},
    {"dns 53 to 53 sent", kUdp, 53, 53, 0, DnsClient},
    {"dns 53 to 53 received", kUdp, 53, 53, 1, DnsClient},
    {"our dns server", kUdp, 53, 5353, 0, DnsServer},
    {"query to our dns server", kUdp, 5353, 53, 1, DnsServer},
    {"udp local 53 remote netbios", kUdp, 53, 137, 0, NetBiosClient},
    {"udp local netbios remote 53", kUdp, 138, 53, 0, DnsClient},
    {"tcp port 53 is no service", kTcp, 53, 3000, 0, Sonota},
    {"tcp remote 53 is no service", kTcp, 3000, 53, 0, Sonota},
    {"udp port 80 is no service", kUdp, 3000, 80, 0, Sonota},
    {"udp port 25 is no service", kUdp, 25, 3000, 1, Sonota},
    {"tcp netbios 137 client", kTcp, 3000, 137, 0, NetBiosClient},
    {"tcp netbios 139 server", kTcp, 139, 3000, 0, NetBiosServer},
    {"udp netbios 138 client", kUdp, 138, 3000, 1, NetBiosClient},
    {"udp netbios 139 server", kUdp, 3000, 139, 1, NetBiosServer},
    {"tcp 136 is not netbios", kTcp, 3000, 136, 0, Sonota},
    {"udp 140 is not netbios", kUdp, 140, 3000, 1, Sonota},
    {"no ports at all", kTcp, 0, 0, 0, Sonota},
    {"icmp ignores ports", kIcmp, 80, 53, 0, Icmp},
    {"icmp received", kIcmp, 0, 0, 1, Icmp},
    {"igmp", kIgmp, 0, 0, 1, Sonota},
    {"protocol 255", 255, 80, 80, 0, Sonota},
    {"protocol 0", 0, 80, 80, 0, Sonota},
};

INSTANTIATE_TEST_SUITE_P(CountPacket, ClassifyTableTest, testing::ValuesIn(kCases),
                         [](const auto& p) { return CaseName(p.param.What); });

void Load(TXIoctl& state, const std::vector<std::uint8_t>& d) {
  std::fill(state.RecvBuffer.begin(), state.RecvBuffer.begin() + 24, std::uint8_t{0});
  std::copy(d.begin(), d.end(), state.RecvBuffer.begin());
  state.CurLength = IpTotalLength(TPacketView(d.data(), d.size()));
}

std::int64_t SumOfCategories(const TXIoctl& s, int d, int kind) {
  const auto& row = s.Counters[static_cast<std::size_t>(d)][static_cast<std::size_t>(kind)];
  return std::accumulate(row.begin() + 1, row.end(), std::int64_t{0});
}

TEST(CountPacketTest, SelfToSelfCountsOnceInEachDirection) {
  TXIoctl state;
  Load(state, MakeDatagram({.Protocol = kTcp, .Source = "10.0.0.2", .Dest = "10.0.0.2",
                            .SourcePort = 1025, .DestPort = 80, .TotalLength = 60, .Delivered = 60}));
  CountPacket(state, 0);
  EXPECT_EQ(state.CurCategory, static_cast<int>(HttpClient));
  CountPacket(state, 1);
  EXPECT_EQ(state.CurDirection, 1);
  EXPECT_EQ(state.CurCategory, static_cast<int>(HttpServer));
  EXPECT_EQ(state.Counters[0][KindPackets][0], 1);
  EXPECT_EQ(state.Counters[1][KindPackets][0], 1);
  EXPECT_EQ(state.Counters[0][KindPackets][5], 1);
  EXPECT_EQ(state.Counters[1][KindPackets][4], 1);
  EXPECT_EQ(state.Counters[0][KindBytes][5], 60);
  EXPECT_EQ(state.Counters[1][KindBytes][4], 60);
}

TEST(CountPacketTest, BytesComeFromTheHeaderNotTheDelivery) {
  TXIoctl state;
  // The header claims 1500 bytes; only 30 arrived.
  Load(state, MakeDatagram({.Protocol = kUdp, .SourcePort = 5000, .DestPort = 53, .TotalLength = 1500,
                            .Delivered = 30}));
  CountPacket(state, 0);
  EXPECT_EQ(state.Counters[0][KindBytes][0], 1500);
  EXPECT_EQ(state.Counters[0][KindBytes][3], 1500);
}

TEST(CountPacketTest, ShortDatagramClassifiedWithZeroPorts) {
  TXIoctl state;
  // Leftovers of an earlier datagram must not leak into the ports.
  std::fill(state.RecvBuffer.begin(), state.RecvBuffer.begin() + 64, std::uint8_t{0xFF});
  Load(state, MakeDatagram({.Protocol = kTcp, .TotalLength = 21, .Delivered = 21}));
  CountPacket(state, 0);
  EXPECT_EQ(state.CurCategory, static_cast<int>(Sonota));
  // The source port arrived whole; the destination port's bytes are missing.
  Load(state, MakeDatagram({.Protocol = kTcp, .SourcePort = 0x0050, .DestPort = 0x0050, .TotalLength = 22,
                            .Delivered = 22}));
  CountPacket(state, 1);
  EXPECT_EQ(state.CurCategory, static_cast<int>(HttpClient));
}

TEST(CountPacketTest, CategoryZeroIsTheSumAfterAnySequence) {
  TXIoctl state;
  std::mt19937 rng(12345);
  const std::uint8_t protocols[] = {1, 2, 6, 17, 47, 200};
  const std::uint16_t ports[] = {20, 21, 23, 25, 53, 80, 110, 136, 137, 138, 139, 140, 1025, 65535};
  std::int64_t bytes[2] = {0, 0}, packets[2] = {0, 0};
  for (int i = 0; i < 5000; ++i) {
    TDatagramSpec spec;
    spec.Protocol = protocols[rng() % std::size(protocols)];
    spec.SourcePort = ports[rng() % std::size(ports)];
    spec.DestPort = ports[rng() % std::size(ports)];
    spec.TotalLength = static_cast<std::uint16_t>(rng() % 65536);
    spec.Delivered = 4 + rng() % 60;  // the length field always arrives
    Load(state, MakeDatagram(spec));
    const int directions = 1 + static_cast<int>(rng() % 3);  // sent, received, or both
    for (int d = 0; d < 2; ++d) {
      if (!(directions & (1 << d))) continue;
      CountPacket(state, static_cast<std::uint8_t>(d));
      packets[d] += 1;
      bytes[d] += spec.TotalLength;
    }
  }
  for (int d = 0; d < 2; ++d) {
    EXPECT_EQ(state.Counters[static_cast<std::size_t>(d)][KindPackets][0], packets[d]);
    EXPECT_EQ(state.Counters[static_cast<std::size_t>(d)][KindBytes][0], bytes[d]);
    EXPECT_EQ(SumOfCategories(state, d, KindPackets), packets[d]);
    EXPECT_EQ(SumOfCategories(state, d, KindBytes), bytes[d]);
  }
}

TEST(CaptureStateTest, NewCaptureResetsCountersButKeepsQueueAndLastPacket) {
  TXIoctl state;
  Load(state, MakeDatagram({.Protocol = kIcmp, .TotalLength = 84, .Delivered = 84}));
  state.TotalPackets = 3;
  state.TotalBytes = 252;
  CountPacket(state, 1);
  state.RecordQueue.push_back(PacketRecord{.RemoteAddr = Addr("9.1.2.3"), .Direction = 1, .Category = 1});
  state.ResetCounters();
  EXPECT_EQ(state.TotalPackets, 0);
  EXPECT_EQ(state.TotalBytes, 0);
  for (const auto& direction : state.Counters)
    for (const auto& kind : direction)
      for (auto v : kind) EXPECT_EQ(v, 0);
  EXPECT_EQ(state.RecordQueue.size(), 1u);
  EXPECT_EQ(state.CurCategory, 1);
  EXPECT_EQ(state.CurLength, 84);
}

TEST(CaptureStateTest, AdapterTableIsIndexedFromOne) {
  AdapterTable table;
  table[1] = Addr("10.0.0.1");
  table[10] = Addr("10.0.0.10");
  EXPECT_EQ(table[1], Addr("10.0.0.1"));
  EXPECT_EQ(table[10], Addr("10.0.0.10"));
  EXPECT_EQ(table[5], 0u);
  EXPECT_THROW(table[0], std::out_of_range);
  EXPECT_EQ(std::as_const(table)[11], 0u);
}

TEST(PacketViewTest, ReadsPastTheEndGiveZero) {
  const std::uint8_t bytes[] = {0x45, 0x00, 0x05, 0xDC, 1, 2, 3, 4, 5, 17, 0, 0, 192, 168};
  const TPacketView view(bytes, sizeof bytes);
  EXPECT_EQ(IpTotalLength(view), 1500);
  EXPECT_EQ(IpProtocol(view), 17);
  const std::uint8_t partial[4] = {192, 168, 0, 0};
  std::uint32_t expected;
  std::memcpy(&expected, partial, 4);
  EXPECT_EQ(IpSourceAddr(view), expected);
  EXPECT_EQ(IpDestAddr(view), 0u);
  EXPECT_EQ(SourcePort(view), 0);
  EXPECT_EQ(TPacketView().U8(0), 0);
}

}  // namespace
