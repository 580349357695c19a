// The ports a packet record carries for finding its socket: read behind the
// header as long as it says, and only where the datagram holds them whole.
#include <gtest/gtest.h>

#include "common/Datagrams.h"
#include "capture/TransportPorts.h"

namespace {

TEST(TransportPortsTest, AreReadBehindTheRealHeaderOnlyWhereTheDatagramHoldsThem) {
  struct TCase {
    const char* Name;
    std::uint8_t Protocol;
    std::uint8_t HeaderWords;  // the header length field
    std::uint16_t Fragment;    // flags and offset field
    std::size_t Delivered;
    TTransportPorts Expected;
  };
  const TCase cases[] = {
      {"tcp", 6, 5, 0, 40, {6, 1025, 80}},
      {"udp, ports cut short", 17, 5, 0, 23, {17, 0, 0}},
      {"udp, first fragment", 17, 5, 0x2000, 28, {17, 1025, 80}},
      {"udp, later fragment", 17, 5, 0x0001, 28, {17, 0, 0}},
      {"tcp behind options", 6, 6, 0, 28, {6, 0x0102, 0x0304}},
      {"tcp behind options, cut", 6, 6, 0, 27, {6, 0, 0}},
      {"header length below 20", 6, 4, 0, 40, {6, 0, 0}},
      {"icmp", 1, 5, 0, 40, {1, 0, 0}},
  };
  for (const TCase& c : cases) {
    auto d = MakeDatagram({.Protocol = c.Protocol, .SourcePort = 1025, .DestPort = 80, .Delivered = 40});
    d[0] = static_cast<std::uint8_t>(0x40 | c.HeaderWords);
    d[6] = static_cast<std::uint8_t>(c.Fragment >> 8);
    d[7] = static_cast<std::uint8_t>(c.Fragment);
    for (std::uint8_t i = 0; i < 4; ++i) d[24u + i] = static_cast<std::uint8_t>(i + 1);  // behind a 24-byte header
    EXPECT_EQ(TransportPorts(TPacketView(d.data(), c.Delivered)), c.Expected) << c.Name;
  }
}

}  // namespace
